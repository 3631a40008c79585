#pragma once

// What the program does before its window exists: read the command line and open the
// session's cookie store. main() runs these in order; tests run the same steps.

#include <QString>
#include <QStringList>
#include <optional>

namespace quillmere {

class NetworkSession;
class Platform;

inline constexpr int BadUsageExitCode = 2;

struct StartOptions {
    QString cookieFile; // --cookies FILE; empty: cookies.txt beside the settings file
    QString browser;    // --cookies-from-browser BROWSER[:PROFILE]; empty: none
};

// The outcome of reading the command line: either options to run with, or the text to
// print and the exit status to leave with (--help, --version, a bad option).
struct CommandLine {
    std::optional<StartOptions> run;
    int exitCode = 0;
    QString output; // for stdout
    QString error;  // for stderr
};

// GNU style: --cookies FILE (or --cookies=FILE), --cookies-from-browser BROWSER[:PROFILE],
// --help, --version. `arguments` starts with the program's name.
CommandLine ParseCommandLine(const QStringList &arguments);

// The default store: cookies.txt beside down.ini, in the settings folder.
QString DefaultCookieFile(const QString &settingsFolder);

// Loads the store into the session's jar, before any request is made, adds the cookies of
// the browser named on the command line, and has the platform write the store a last time
// when the process ends. Problems with the store go to `errors` as one line each; a
// browser that cannot be read is one message box, and the program goes on with the
// cookies it has. Returns the exit status to leave with when a file named on the command
// line cannot be read.
std::optional<int> OpenCookieStore(NetworkSession &session, const StartOptions &options,
                                   Platform &platform, QString &errors);

} // namespace quillmere
