#pragma once

// SIGTERM, SIGINT and SIGHUP close the window as its close box does, so the last folder
// and the sign-in are written as at any other end: a desktop session that ends, a service
// manager that stops us, or Ctrl+C in a terminal would otherwise end the program without
// a word. Nothing to do on Windows, where the system closes the window itself.

class QWidget;

namespace quillmere {

void CloseOnTerminationSignals(QWidget &window);

// Ends the process at once with `status`: no handler, destructor or teardown of the runtime
// runs. On Windows not even the libraries' own: a MinGW build can hang for ever in that
// teardown when a thread was just ending (see src/process_end_mingw.cpp).
[[noreturn]] void EndProcessNow(int status);

} // namespace quillmere
