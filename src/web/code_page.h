#pragma once

// Qt for Windows is built without ICU, and its decoders then know Unicode and Latin-1 only.
// There Windows' own code pages decode the legacy encodings, asked for by the converter names
// ICU gives them; with ICU (Linux) this answers nothing and Qt's decoders are used.

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace quillmere {

// `bytes` decoded from the encoding ICU calls `converter`, bytes that are no character of it
// replaced; empty when the system has no code page for it.
std::optional<QString> DecodeWithCodePage(const char *converter, QByteArrayView bytes);

} // namespace quillmere
