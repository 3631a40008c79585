#include "app/termination.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quillmere {

#ifdef Q_OS_UNIX
namespace {

// A signal handler may do next to nothing: it writes one byte, and the event loop reads it.
int g_wakeUp[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_wakeUp[1], &byte, 1);
}

} // namespace

void CloseOnTerminationSignals(QWidget &window) {
    if (g_wakeUp[0] < 0 && ::pipe2(g_wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_wakeUp[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window,
                     [window = QPointer<QWidget>(&window)] {
                         char bytes[16];
                         while (::read(g_wakeUp[0], bytes, sizeof bytes) > 0) {
                         }
                         if (window)
                             window->close();
                     });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
#else
void CloseOnTerminationSignals(QWidget &) {}
#endif

void EndProcessNow(int status) {
#ifdef Q_OS_WIN
    TerminateProcess(GetCurrentProcess(), UINT(status));
#endif
    std::_Exit(status);
}

} // namespace quillmere
