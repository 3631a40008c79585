#pragma once

// SIGTERM, SIGINT and SIGHUP close the window as its close box does, so the last folder
// and the sign-in are written as at any other end: a desktop session that ends, a service
// manager that stops us, or Ctrl+C in a terminal would otherwise end the program without
// a word. Nothing to do on Windows, where the system closes the window itself.

class QWidget;

namespace quillmere {

void CloseOnTerminationSignals(QWidget &window);

} // namespace quillmere
