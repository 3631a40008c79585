// The demo forum as a program of its own: serves until Ctrl+C or SIGTERM.
//   quillmere_demo_forum [--port N] [--version X] [--rate KIB_PER_SECOND] [--write-cookies FILE]

#include "demo_forum.h"

#include <QFile>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using quillmere::demo::DemoForum;

volatile std::sig_atomic_t g_stop = 0;

void requestStop(int) {
    g_stop = 1;
}

void usage(std::FILE *out) {
    std::fputs("usage: quillmere_demo_forum [--port N] [--version X] [--rate KIB_PER_SECOND]\n"
               "                            [--write-cookies FILE]\n"
               "  --port N              listen on 127.0.0.1:N (default: a free port)\n"
               "  --version X           the version the release thread publishes (default 1.4)\n"
               "  --rate K              attachment speed in KiB/s, 0 for unlimited (default\n"
               "                        1024), slow enough to watch the percentage move\n"
               "  --write-cookies FILE  write a member's sign-in to FILE as a cookies.txt, as\n"
               "                        a browser's export would, for quillmere --cookies FILE\n",
               out);
}

void print(const QString &line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

bool writeCookies(const char *path) {
    QFile file(QString::fromLocal8Bit(path));
    const QByteArray text = DemoForum::signedInCookieFile();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size()) {
        std::fprintf(stderr, "quillmere_demo_forum: cannot write %s\n", path);
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    DemoForum::Options options;
    const char *cookieFile = nullptr;
    options.bytesPerSecond = 1024 * 1024;
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            usage(stderr);
            return 2;
        }
        const char *value = argv[++i];
        char *end = nullptr;
        if (std::strcmp(option, "--port") == 0) {
            options.port = int(std::strtol(value, &end, 10));
        } else if (std::strcmp(option, "--rate") == 0) {
            options.bytesPerSecond = std::strtoll(value, &end, 10) * 1024;
        } else if (std::strcmp(option, "--version") == 0) {
            options.version = QString::fromLocal8Bit(value);
            end = argv[i] + std::strlen(argv[i]);
        } else if (std::strcmp(option, "--write-cookies") == 0) {
            cookieFile = value;
            end = argv[i] + std::strlen(argv[i]);
        }
        if (!end || *end != '\0' || options.port < 0 || options.port > 65535 ||
            options.bytesPerSecond < 0) {
            usage(stderr);
            return 2;
        }
    }

    if (cookieFile && !writeCookies(cookieFile))
        return 1;

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    DemoForum forum(options);
    if (!forum.isListening()) {
        std::fprintf(stderr, "quillmere_demo_forum: cannot listen on 127.0.0.1:%d\n", options.port);
        return 1;
    }

    // The first line is what scripts read; keep its form.
    print(QStringLiteral("Proxy: ") + forum.proxyAddress());
    print(QStringLiteral("Demo forum DIY博汇论坛 running at %1, publishing version %2.")
              .arg(forum.proxyAddress(), options.version));
    print(QStringLiteral("Paste into 帖子链接 (the program must use the proxy above):"));
    for (const auto &thread : DemoForum::threads())
        print(QStringLiteral("  ") + DemoForum::address(DemoForum::threadPath(thread.tid)));
    print(QStringLiteral("The second thread is for 新附件添加到原附件列表 (append)."));
    print(QStringLiteral("Without the proxy the same threads are at:"));
    for (const auto &thread : DemoForum::threads())
        print(QStringLiteral("  ") + forum.localAddress(DemoForum::threadPath(thread.tid)));
    print(QStringLiteral("主板BIOS刷新工具.rar is for members: it arrives only with a sign-in%1.")
              .arg(cookieFile ? QStringLiteral(" (written to %1)").arg(QString::fromLocal8Bit(cookieFile))
                              : QString()));
    print(QStringLiteral("The members' log-in form is at"));
    print(QStringLiteral("  ") + forum.localAddress(DemoForum::logInPath()));
    print(QStringLiteral("显卡超频软件合集.rar was deleted and fails. To watch a retry succeed, open"));
    print(QStringLiteral("  ") + forum.localAddress(QStringLiteral("/forum.php?mod=restore")));
    print(QStringLiteral("in a browser, then press 开始下载 again. Stop the forum with Ctrl+C."));
    std::fflush(stdout);

    while (!g_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::fputs("Demo forum stopped.\n", stdout);
    return 0;
}
