#include "app/start_up.h"

#include "app/platform.h"
#include "browsers/browser_cookies.h"
#include "net/cookie_store.h"
#include "net/network_session.h"
#include "release/release_info.h"
#include "settings/settings_folder.h"

#include <QCommandLineParser>
#include <QDir>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

QString display(const QString &path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

CommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    const QCommandLineOption cookies(u"cookies"_s, QString(), u"FILE"_s);
    const QCommandLineOption fromBrowser(u"cookies-from-browser"_s, QString(),
                                         u"BROWSER[:PROFILE]"_s);
    const QCommandLineOption help(u"help"_s);
    const QCommandLineOption version(u"version"_s);
    parser.addOptions({cookies, fromBrowser, help, version});

    CommandLine result;
    // No positional arguments: anything else on the line is a mistake worth naming.
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString problem =
            parser.errorText().isEmpty()
                ? u"unexpected argument '%1'"_s.arg(parser.positionalArguments().constFirst())
                : parser.errorText();
        result.exitCode = BadUsageExitCode;
        result.error =
            u"quillmere: %1\nTry 'quillmere --help' for more information.\n"_s.arg(problem);
        return result;
    }
    if (parser.isSet(help)) {
        result.output =
            u"Usage: quillmere [--cookies FILE] [--cookies-from-browser BROWSER[:PROFILE]]\n"
            "Fetches, in one batch, the RAR archives attached to the threads of a web forum.\n"
            "\n"
            "  --cookies FILE      keep the forum sign-in in FILE, a Netscape cookies.txt as\n"
            "                      curl and wget read it, instead of cookies.txt beside\n"
            "                      down.ini\n"
            "  --cookies-from-browser BROWSER[:PROFILE]\n"
            "                      take the sign-in from a browser at start-up: firefox,\n"
            "                      librewolf, chromium or chrome (Linux); PROFILE is a\n"
            "                      profile's name or folder; nothing is written to the browser\n"
            "  --help              show this help and exit\n"
            "  --version           show the version and exit\n"
            "\n"
            "Files:\n"
            "  down.ini            the last target folder\n"
            "  cookies.txt         the forum sign-in (owner-only)\n"
            "Both are kept beside the program when it runs from a folder of its own, as a\n"
            "portable copy does, and a down.ini there always wins. Installed, or where it\n"
            "cannot write, the program keeps them in\n"
            "  %1\n"_s.arg(QDir::toNativeSeparators(UserSettingsFolder()));
        return result;
    }
    if (parser.isSet(version)) {
        result.output = u"Quillmere "_s.append(release::OwnVersionText).append(u'\n');
        return result;
    }
    const QString cookieFile = parser.value(cookies);
    const QString browser = parser.value(fromBrowser);
    if ((parser.isSet(cookies) && cookieFile.isEmpty()) ||
        (parser.isSet(fromBrowser) && browser.isEmpty())) {
        result.exitCode = BadUsageExitCode;
        result.error = parser.isSet(cookies) && cookieFile.isEmpty()
                           ? u"quillmere: --cookies needs a file name\n"_s
                           : u"quillmere: --cookies-from-browser needs a browser's name\n"_s;
        return result;
    }
    result.run = StartOptions{cookieFile, browser};
    return result;
}

QString DefaultCookieFile(const QString &settingsFolder) {
    return QDir(settingsFolder).filePath(u"cookies.txt"_s);
}

std::optional<int> OpenCookieStore(NetworkSession &session, const StartOptions &options,
                                   Platform &platform, QString &errors) {
    const bool named = !options.cookieFile.isEmpty();
    const QString path = named ? options.cookieFile : DefaultCookieFile(platform.settingsFolder());
    const CookieStore::LoadResult loaded = session.cookieStore()->load(path);
    using Status = CookieStore::LoadStatus;
    switch (loaded.status) {
    case Status::Loaded:
        if (loaded.badLines > 0)
            errors += u"quillmere: %1: skipped %2 line(s) that are not cookies\n"_s.arg(
                display(path), QString::number(loaded.badLines));
        break;
    case Status::Missing:
        break;
    case Status::NotACookieFile:
        errors += u"quillmere: %1 is not a cookies.txt (%2); it is left as it is and the "
                  "sign-ins of this session are not kept\n"_s.arg(display(path), loaded.error);
        break;
    case Status::Unreadable:
        errors +=
            u"quillmere: cannot read the cookie file %1: %2\n"_s.arg(display(path), loaded.error);
        if (named)
            return BadUsageExitCode;
        break;
    }
    if (!options.browser.isEmpty()) {
        const BrowserCookies taken = ReadBrowserCookies(options.browser);
        session.cookieStore()->addCookies(taken.cookies);
        if (!taken.problem.isEmpty())
            platform.messageBox(nullptr, QMessageBox::Warning, MessageTitle.toString(),
                                taken.problem);
    }
    // The process ends without unwinding: the last change must be written before.
    platform.atEnd([store = QPointer<CookieStore>(session.cookieStore())] {
        if (store)
            store->flush();
    });
    return std::nullopt;
}

} // namespace quillmere
