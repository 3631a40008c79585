#pragma once

// How a console program here ends the lines it writes: the C runtime's text mode turns
// "\n" into CR LF on Windows, as every console program there writes its lines.

#include <QtGlobal> // Q_OS_WIN

namespace quillmere::test {

#ifdef Q_OS_WIN
inline constexpr char LineEnd[] = "\r\n";
#else
inline constexpr char LineEnd[] = "\n";
#endif

} // namespace quillmere::test
