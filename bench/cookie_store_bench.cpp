// What a big cookies.txt costs at start-up: the store read into the session's jar and the
// first request sent with its cookies, for a store of 10,000 cookies (a browser's whole
// export) against no store at all. Both run interleaved, several rounds; every run checks
// that the request left with the stored sign-in. Also the time of one write-back.

#include "app/platform.h"
#include "app/start_up.h"
#include "bench_support.h"
#include "net/cookie_store.h"
#include "net/http_reply.h"
#include "net/network_session.h"
#include "net/request_rules.h"
#include "support/loopback_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace quillmere;

namespace {

constexpr int Cookies = 10'000;
constexpr int Rounds = 9;

class BenchPlatform : public Platform {
public:
    explicit BenchPlatform(QString folder)
        : m_folder(std::move(folder)) {}
    QString programFolder() override { return m_folder; }

private:
    QString m_folder;
};

QByteArray bigStore() {
    QByteArray file = "# Netscape HTTP Cookie File\n";
    for (int i = 0; i < Cookies; ++i) {
        const QByteArray host =
            i < 10 ? QByteArray("127.0.0.1") : "www.site" + QByteArray::number(i / 20) + ".example";
        file += (i % 3 ? "" : "#HttpOnly_") + host + (i < 10 ? "\tFALSE" : "\tTRUE") +
                "\t/\tFALSE\t" + (i % 2 ? "0" : "4102444800") + "\tname" + QByteArray::number(i) +
                '\t' + QByteArray(40, char('a' + i % 26)) + '\n';
    }
    return file;
}

struct Sample {
    double ms = 0;
    bool ok = false;
};

// From opening the store to the first answer: what start-up does before the window.
Sample startUp(const QString &folder, const QString &url, int expectedCookies) {
    QElapsedTimer clock;
    clock.start();
    NetworkSession session;
    BenchPlatform platform(folder);
    QString problems;
    if (OpenCookieStore(session, {}, platform, problems) || !problems.isEmpty())
        return {};
    const std::unique_ptr<HttpReply> reply = session.get(WebRequest(QUrl(url), RequestKind::Page));
    QSignalSpy finished(reply.get(), &HttpReply::finished);
    if (!finished.wait(30'000) || reply->result())
        return {};
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    const bool ok = session.cookieStore()->cookies().size() == expectedCookies;
    return {ms, ok};
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    test::LoopbackServer server;
    server.route(QStringLiteral("/t.html"), test::Reply{.body = "<p>"});
    const QString url = server.url(QStringLiteral("/t.html"));

    QTemporaryDir empty;
    QTemporaryDir full;
    const QByteArray store = bigStore();
    {
        QFile file(DefaultCookieFile(full.path()));
        if (!file.open(QIODevice::WriteOnly) || file.write(store) != store.size())
            return 1;
    }
    startUp(full.path(), url, Cookies); // warm the file cache and the connection code

    std::vector<double> without, with;
    bool ok = true;
    for (int round = 0; round < Rounds; ++round) {
        const Sample a = startUp(empty.path(), url, 0);
        const Sample b = startUp(full.path(), url, Cookies);
        // The stored sign-in for the server's host went out with the first request.
        const QByteArray sent = server.requests().constLast().header("Cookie");
        ok = ok && a.ok && b.ok && sent.count("name") == 10;
        without.push_back(a.ms);
        with.push_back(b.ms);
    }

    // One write-back of the whole store.
    std::vector<double> writes;
    {
        NetworkSession session;
        BenchPlatform platform(full.path());
        QString problems;
        OpenCookieStore(session, {}, platform, problems);
        for (int round = 0; round < Rounds; ++round) {
            QNetworkCookie changed("fresh", QByteArray::number(round));
            changed.setDomain(QStringLiteral("bbs.example"));
            changed.setPath(QStringLiteral("/"));
            session.cookieStore()->addCookies({changed});
            QElapsedTimer clock;
            clock.start();
            ok = ok && session.cookieStore()->save();
            writes.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
    }

    const bench::Spread a = bench::spread(without), b = bench::spread(with),
                        w = bench::spread(writes);
    const double added = b.median - a.median;
    std::printf("start-up to the first answer, %d rounds interleaved (%s):\n", Rounds,
                ok ? "every run checked" : "A RUN FAILED ITS CHECK");
    std::printf("  no store               median %6.1f ms  (min %.1f, max %.1f)\n", a.median, a.min,
                a.max);
    std::printf("  %d cookies (%.1f MB)  median %6.1f ms  (min %.1f, max %.1f)\n", Cookies,
                double(store.size()) / 1e6, b.median, b.min, b.max);
    std::printf("  added by the store     %6.1f ms  (target < 50 ms)\n", added);
    std::printf("  one write-back         median %6.1f ms  (min %.1f, max %.1f)\n", w.median, w.min,
                w.max);
    bench::figure("start-up: 10,000-cookie store, added before the first request", "< 50 ms",
                  bench::ms(added));
    bench::figure("cookie store: one write-back of 10,000 cookies", "-", bench::ms(w.median));
    return ok ? 0 : 1;
}
