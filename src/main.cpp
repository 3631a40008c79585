#include "app/main_window.h"
#include "app/platform.h"
#include "app/start_up.h"
#include "app/termination.h"
#include "release/release_info.h"
#include "net/cookie_store.h"
#include "net/network_session.h"

#include <QApplication>
#include <cstdio>

namespace {

void print(std::FILE *stream, const QString &text) {
    if (!text.isEmpty()) {
        std::fputs(text.toLocal8Bit().constData(), stream);
        std::fflush(stream);
    }
}

QStringList argumentsOf(int argc, char *argv[]) {
#ifdef Q_OS_WIN
    // argv is in the ANSI code page there; the wide command line keeps every name.
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return QCoreApplication::arguments();
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
#endif
}

} // namespace

int main(int argc, char *argv[]) {
    using namespace quillmere;
    // Before any thread exists: libcurl's process-wide set-up is not thread-safe everywhere.
    InitialiseNetwork();
#ifdef Q_OS_WIN
    QApplication app(argc, argv);
#endif
    // Elsewhere read before the application exists: --help and --version need no display.
    const CommandLine commandLine = ParseCommandLine(argumentsOf(argc, argv));
    print(stdout, commandLine.output);
    print(stderr, commandLine.error);
    if (!commandLine.run)
        return commandLine.exitCode;

#ifndef Q_OS_WIN
    QApplication app(argc, argv);
#endif
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationVersion(release::OwnVersionText.toString());

    NetworkSession network;
    Platform platform;
    // The stored sign-in is in the jar before the window's first request.
    QString problems;
    const std::optional<int> exitCode =
        OpenCookieStore(network, *commandLine.run, platform, problems);
    print(stderr, problems);
    if (exitCode)
        return *exitCode;

    frmMain window(&network, platform);
    CloseOnTerminationSignals(window);
    window.show();
    const int status = QApplication::exec();
    network.cookieStore()->flush();
    return status;
}
