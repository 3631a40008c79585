#include "loopback_server.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QSslError>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;
using quillmere::test::Request;

Q_DECLARE_METATYPE(quillmere::test::Reply)

namespace {

constexpr int FinishTimeoutMs = 10'000;

// Bodies repeat a table with a prime period: no chunk size lines up with it, so a lost,
// repeated or misplaced piece shows. memcpy and memcmp keep 64 MiB quick under ASan.
constexpr std::int64_t PatternPeriod = 65'521;

const QByteArray &patternTable() {
    static const QByteArray table = [] {
        QByteArray bytes(PatternPeriod, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7 + (i >> 5)) & 0xff);
        return bytes;
    }();
    return table;
}

// Calls step(pattern bytes, position, length) over the pattern from `offset` on.
template <typename Step> bool walkPattern(std::int64_t offset, std::size_t length, Step step) {
    std::size_t done = 0;
    while (done < length) {
        const std::int64_t at = (offset + std::int64_t(done)) % PatternPeriod;
        const auto n = std::min<std::size_t>(length - done, std::size_t(PatternPeriod - at));
        if (!step(patternTable().constData() + at, done, n))
            return false;
        done += n;
    }
    return true;
}

void fillPattern(std::int64_t offset, char *data, std::size_t length) {
    walkPattern(offset, length, [&](const char *pattern, std::size_t at, std::size_t n) {
        std::memcpy(data + at, pattern, n);
        return true;
    });
}

bool matchesPattern(std::int64_t offset, const char *data, std::size_t length) {
    return walkPattern(offset, length, [&](const char *pattern, std::size_t at, std::size_t n) {
        return std::memcmp(data + at, pattern, n) == 0;
    });
}

QByteArray patterned(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    fillPattern(0, bytes.data(), std::size_t(size));
    return bytes;
}

Reply bodyReply(const QByteArray &body) {
    Reply reply;
    reply.body = body;
    return reply;
}

// Collects a reply's body as it arrives, so bytes received before an error count too.
class Transfer {
public:
    explicit Transfer(QNetworkReply *reply)
        : m_reply(reply) {
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [this] { take(); });
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    QNetworkReply *reply() const { return m_reply.get(); }
    const QByteArray &body() const { return m_body; }
    qint64 received() const { return m_received; }
    void setConsumer(std::function<void(const QByteArray &)> consumer) {
        m_consumer = std::move(consumer);
    }

    bool finish(int timeoutMs = FinishTimeoutMs) {
        if (!m_reply->isFinished()) {
            QSignalSpy finished(m_reply.get(), &QNetworkReply::finished);
            if (!finished.wait(timeoutMs))
                return false;
        }
        take();
        return true;
    }

    int status() const {
        return m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

private:
    void take() {
        const QByteArray chunk = m_reply->readAll();
        m_received += chunk.size();
        if (m_consumer)
            m_consumer(chunk);
        else
            m_body += chunk;
    }

    std::unique_ptr<QNetworkReply> m_reply;
    QByteArray m_body;
    qint64 m_received = 0;
    std::function<void(const QByteArray &)> m_consumer;
};

// Speaks HTTP/1.1 by hand, to see exactly which bytes the server put on the wire and
// where it closed the connection.
class RawClient {
public:
    RawClient(const LoopbackServer &server, const QByteArray &target) {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket,
                         [this] { m_data += m_socket.readAll(); });
        m_socket.connectToHost(u"127.0.0.1"_s, quint16(server.port()));
        m_socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    bool waitClosed() {
        if (m_socket.state() != QAbstractSocket::UnconnectedState) {
            QSignalSpy disconnected(&m_socket, &QTcpSocket::disconnected);
            if (!disconnected.wait(FinishTimeoutMs))
                return false;
        }
        m_data += m_socket.readAll();
        return true;
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QByteArray head() const { return m_data.left(headEnd()); }
    QByteArray body() const { return headEnd() < 0 ? QByteArray() : m_data.mid(headEnd()); }

private:
    qsizetype headEnd() const {
        const qsizetype end = m_data.indexOf("\r\n\r\n");
        return end < 0 ? end : end + 4;
    }

    QTcpSocket m_socket;
    QByteArray m_data;
};

struct Dechunked {
    QByteArray payload;
    bool complete = false; // the terminating empty chunk arrived
};

Dechunked dechunk(const QByteArray &raw) {
    Dechunked out;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype lineEnd = raw.indexOf("\r\n", pos);
        if (lineEnd < 0)
            break;
        bool ok = false;
        const qsizetype size = raw.mid(pos, lineEnd - pos).toLongLong(&ok, 16);
        if (!ok)
            break;
        if (size == 0) {
            out.complete = raw.mid(lineEnd + 2) == "\r\n";
            break;
        }
        if (lineEnd + 2 + size + 2 > raw.size())
            break;
        out.payload += raw.mid(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
    }
    return out;
}

QByteArray payloadOf(const RawClient &client, bool chunked) {
    return chunked ? dechunk(client.body()).payload : client.body();
}

} // namespace

class TestLoopbackServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void replyOnTheWire_data();
    void replyOnTheWire();
    void truncatedBodies_data();
    void truncatedBodies();
    void stallHoldsBytesUntilReleased_data();
    void stallHoldsBytesUntilReleased();
    void destructionEndsHeldReplies_data();
    void destructionEndsHeldReplies();
    void destructionWithSilentClient();
    void redirectSendsLocation_data();
    void redirectSendsLocation();
    void handlerSeesRequests();
    void unroutedPathIsNotFound();
    void selfSignedCertificate_data();
    void selfSignedCertificate();
    void largeGeneratedBody_data();
    void largeGeneratedBody();

private:
    QNetworkReply *get(const QUrl &url) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        return m_network.get(request);
    }

    QNetworkAccessManager m_network;
};

void TestLoopbackServer::replyOnTheWire_data() {
    QTest::addColumn<Reply>("reply");

    QTest::newRow("html") << bodyReply("<p>hello</p>");

    Reply bare = bodyReply("no type at all");
    bare.contentType.clear();
    QTest::newRow("without content type") << bare;

    Reply binary = bodyReply(QByteArray("\0\x01\xff\xfe\r\n\0", 7));
    binary.contentType = "application/octet-stream";
    QTest::newRow("binary") << binary;

    QTest::newRow("empty") << bodyReply({});

    Reply chunked = bodyReply(patterned(23));
    chunked.chunked = true;
    chunked.chunkSize = 5;
    QTest::newRow("chunked") << chunked;

    Reply chunkedEmpty = bodyReply({});
    chunkedEmpty.chunked = true;
    QTest::newRow("chunked empty") << chunkedEmpty;

    Reply extra = bodyReply("created");
    extra.status = 201;
    extra.contentType = "text/plain; charset=iso-8859-1";
    extra.headers = {{"Set-Cookie", "session=42; Path=/"}, {"X-Thing", "yes"}};
    QTest::newRow("status and extra headers") << extra;

    Reply delayed = bodyReply("late");
    delayed.delayMs = 150;
    QTest::newRow("delayed") << delayed;
}

void TestLoopbackServer::replyOnTheWire() {
    QFETCH(Reply, reply);
    LoopbackServer server;
    server.route(u"/r"_s, reply);

    Transfer transfer(get(server.qurl(u"/r"_s)));
    QVERIFY(transfer.finish());
    QCOMPARE(transfer.reply()->error(), QNetworkReply::NoError);
    QCOMPARE(transfer.status(), reply.status);
    QCOMPARE(transfer.body(), reply.body);

    QNetworkReply *r = transfer.reply();
    QCOMPARE(r->hasRawHeader("Content-Type"), !reply.contentType.isEmpty());
    QCOMPARE(r->rawHeader("Content-Type"), reply.contentType);
    if (reply.chunked) {
        QVERIFY(!r->hasRawHeader("Content-Length"));
        QCOMPARE(r->rawHeader("Transfer-Encoding"), "chunked");
    } else {
        QCOMPARE(r->rawHeader("Content-Length"), QByteArray::number(reply.body.size()));
        QVERIFY(!r->hasRawHeader("Transfer-Encoding"));
    }
    QVERIFY(!r->hasRawHeader("Content-Encoding"));
    for (const auto &[name, value] : reply.headers)
        QCOMPARE(r->rawHeader(name), value);
}

// Checked with a hand-written client: QNetworkAccessManager 6.4 sometimes reports success
// for a body cut short when the whole response arrives before it has finished sending
// the request, and then even sends the request a second time.
void TestLoopbackServer::truncatedBodies_data() {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<qsizetype>("delivered");

    Reply declared = bodyReply(patterned(1000));
    declared.declaredLength = 5000;
    QTest::newRow("declared length beyond the body") << declared << qsizetype(1000);

    Reply cut = bodyReply(patterned(300'000));
    cut.closeAfter = 100'000;
    QTest::newRow("close after, sized") << cut << qsizetype(100'000);

    cut.chunked = true;
    QTest::newRow("close after, chunked") << cut << qsizetype(100'000);

    Reply atOnce = bodyReply(patterned(1000));
    atOnce.closeAfter = 0;
    QTest::newRow("close before the body") << atOnce << qsizetype(0);
}

void TestLoopbackServer::truncatedBodies() {
    QFETCH(Reply, reply);
    QFETCH(qsizetype, delivered);
    LoopbackServer server;
    server.route(u"/cut"_s, reply);

    RawClient client(server, "/cut");
    QVERIFY(client.waitClosed());
    QVERIFY(client.head().startsWith("HTTP/1.1 200 "));
    if (reply.chunked) {
        QVERIFY(client.head().contains("\r\nTransfer-Encoding: chunked\r\n"));
        QVERIFY(!dechunk(client.body()).complete);
    } else {
        const qint64 announced =
            reply.declaredLength >= 0 ? reply.declaredLength : reply.body.size();
        QVERIFY(client.head().contains("\r\nContent-Length: " + QByteArray::number(announced) +
                                       "\r\n"));
    }
    QCOMPARE(payloadOf(client, reply.chunked), reply.body.left(delivered));
}

void TestLoopbackServer::stallHoldsBytesUntilReleased_data() {
    QTest::addColumn<bool>("chunked");
    QTest::newRow("sized") << false;
    QTest::newRow("chunked") << true;
}

void TestLoopbackServer::stallHoldsBytesUntilReleased() {
    QFETCH(bool, chunked);
    LoopbackServer server;
    Reply reply = bodyReply(patterned(200'000));
    reply.chunked = chunked;
    reply.stallAfter = 50'000;
    server.route(u"/stall"_s, reply);

    RawClient client(server, "/stall");
    QTRY_COMPARE_WITH_TIMEOUT(payloadOf(client, chunked).size(), qsizetype(reply.stallAfter),
                              FinishTimeoutMs);
    QVERIFY(client.connected());

    server.releaseStalls();
    QVERIFY(client.waitClosed());
    // Nothing beyond the stall point ever left the server.
    QCOMPARE(payloadOf(client, chunked), reply.body.left(reply.stallAfter));
}

void TestLoopbackServer::destructionEndsHeldReplies_data() {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<qint64>("receivedBeforehand");

    Reply delayed = bodyReply("never");
    delayed.delayMs = 120'000;
    QTest::newRow("delay") << delayed << qint64(0);

    Reply stalled = bodyReply(patterned(100));
    stalled.stallAfter = 10;
    QTest::newRow("stall") << stalled << qint64(10);
}

void TestLoopbackServer::destructionEndsHeldReplies() {
    QFETCH(Reply, reply);
    QFETCH(qint64, receivedBeforehand);
    auto server = std::make_unique<LoopbackServer>();
    server->route(u"/held"_s, reply);

    Transfer transfer(get(server->qurl(u"/held"_s)));
    QTRY_COMPARE(server->hits(u"/held"_s), 1);
    QTRY_COMPARE(transfer.received(), receivedBeforehand);
    QVERIFY(!transfer.reply()->isFinished());

    server.reset();
    QVERIFY(transfer.finish());
    QCOMPARE(transfer.received(), receivedBeforehand);
}

void TestLoopbackServer::destructionWithSilentClient() {
    auto server = std::make_unique<LoopbackServer>();
    QTcpSocket socket;
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
    socket.connectToHost(u"127.0.0.1"_s, quint16(server->port()));
    QVERIFY(connected.wait());

    server.reset();
    QVERIFY(disconnected.wait(FinishTimeoutMs));
}

void TestLoopbackServer::redirectSendsLocation_data() {
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("status");
    QTest::newRow("relative") << u"../elsewhere?x=1"_s << 302;
    QTest::newRow("absolute path") << u"/target"_s << 301;
    QTest::newRow("other host") << u"http://example.invalid/page"_s << 307;
    QTest::newRow("other scheme") << u"file:///etc/passwd"_s << 303;
}

void TestLoopbackServer::redirectSendsLocation() {
    QFETCH(QString, location);
    QFETCH(int, status);
    LoopbackServer server;
    server.redirect(u"/from"_s, location, status);

    Transfer transfer(get(server.qurl(u"/from"_s)));
    QVERIFY(transfer.finish());
    QCOMPARE(transfer.status(), status);
    QCOMPARE(transfer.reply()->rawHeader("Location"), location.toUtf8());
    QVERIFY(!transfer.reply()->hasRawHeader("Content-Type"));
    QVERIFY(transfer.body().isEmpty());
}

void TestLoopbackServer::handlerSeesRequests() {
    LoopbackServer server;
    std::atomic<int> calls = 0;
    server.route(u"/echo"_s, [&calls](const Request &request) {
        Reply reply = bodyReply(request.header("x-probe") + ' ' + request.method);
        reply.headers = {{"Set-Cookie", "call=" + QByteArray::number(++calls)}};
        return reply;
    });
    server.route(u"/with space"_s, bodyReply("decoded"));

    QNetworkRequest request(server.qurl(u"/echo?q=1"_s));
    request.setRawHeader("X-Probe", "abc");
    for (int i = 1; i <= 2; ++i) {
        Transfer transfer(m_network.get(request));
        QVERIFY(transfer.finish());
        QCOMPARE(transfer.body(), "abc GET");
        QCOMPARE(transfer.reply()->rawHeader("Set-Cookie"), "call=" + QByteArray::number(i));
    }
    Transfer head(m_network.head(request));
    QVERIFY(head.finish());
    QCOMPARE(head.reply()->error(), QNetworkReply::NoError);
    QCOMPARE(head.reply()->rawHeader("Content-Length"), "8");
    QVERIFY(head.body().isEmpty());

    QCOMPARE(server.hits(u"/echo"_s), 3);
    const QList<Request> seen = server.requests();
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.at(0).method, "GET");
    QCOMPARE(seen.at(2).method, "HEAD");
    QCOMPARE(seen.at(0).path, "/echo");
    QCOMPARE(seen.at(0).target, "/echo?q=1");
    QCOMPARE(seen.at(0).header("X-PROBE"), "abc");
    QCOMPARE(seen.at(0).header("host"), "127.0.0.1:" + QByteArray::number(server.port()));
    QVERIFY(seen.at(0).header("X-Missing").isEmpty());

    Transfer encoded(get(server.qurl(u"/with%20space"_s)));
    QVERIFY(encoded.finish());
    QCOMPARE(encoded.body(), "decoded");
    QCOMPARE(server.hits(u"/with space"_s), 1);
    QCOMPARE(server.requests().constLast().path, "/with%20space");
}

void TestLoopbackServer::unroutedPathIsNotFound() {
    LoopbackServer server;
    Transfer transfer(get(server.qurl(u"/nowhere"_s)));
    QVERIFY(transfer.finish());
    QCOMPARE(transfer.reply()->error(), QNetworkReply::ContentNotFoundError);
    QCOMPARE(transfer.status(), 404);
    QVERIFY(transfer.reply()->rawHeader("Content-Type").startsWith("text/html"));
    QVERIFY(transfer.body().contains("Not Found"));
    QCOMPARE(server.hits(u"/nowhere"_s), 1);
}

void TestLoopbackServer::selfSignedCertificate_data() {
    QTest::addColumn<bool>("ignoreErrors");
    QTest::newRow("verifying client") << false;
    QTest::newRow("client ignoring errors") << true;
}

void TestLoopbackServer::selfSignedCertificate() {
    QFETCH(bool, ignoreErrors);
    LoopbackServer server(LoopbackServer::Tls::SelfSigned);
    server.route(u"/secure"_s, bodyReply("over tls"));
    QVERIFY(server.url(u"/secure"_s).startsWith(u"https://127.0.0.1:"_s));

    Transfer transfer(get(server.qurl(u"/secure"_s)));
    QList<QSslError::SslError> errors;
    QObject::connect(transfer.reply(), &QNetworkReply::sslErrors, transfer.reply(),
                     [&](const QList<QSslError> &sslErrors) {
                         for (const QSslError &error : sslErrors)
                             errors.append(error.error());
                         if (ignoreErrors)
                             transfer.reply()->ignoreSslErrors();
                     });
    QVERIFY(transfer.finish());
    QVERIFY(errors.contains(QSslError::SelfSignedCertificate));
    QVERIFY(!errors.contains(QSslError::HostNameMismatch));
    if (ignoreErrors) {
        QCOMPARE(transfer.reply()->error(), QNetworkReply::NoError);
        QCOMPARE(transfer.body(), "over tls");
        QCOMPARE(server.hits(u"/secure"_s), 1);
    } else {
        QCOMPARE(transfer.reply()->error(), QNetworkReply::SslHandshakeFailedError);
        QVERIFY(server.requests().isEmpty());
    }
}

void TestLoopbackServer::largeGeneratedBody_data() {
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<qint64>("size");
    QTest::newRow("sized") << false << qint64(64) * 1024 * 1024;
    QTest::newRow("chunked") << true << qint64(64) * 1024 * 1024;
}

void TestLoopbackServer::largeGeneratedBody() {
    QFETCH(bool, chunked);
    QFETCH(qint64, size);
    LoopbackServer server;
    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.size = size;
    reply.chunked = chunked;
    reply.generator = fillPattern;
    server.route(u"/big"_s, reply);

    Transfer transfer(get(server.qurl(u"/big"_s)));
    qint64 checked = 0;
    bool intact = true;
    transfer.setConsumer([&](const QByteArray &chunk) {
        intact = intact && matchesPattern(checked, chunk.constData(), std::size_t(chunk.size()));
        checked += chunk.size();
    });
    QVERIFY(transfer.finish(60'000));
    QCOMPARE(transfer.reply()->error(), QNetworkReply::NoError);
    QCOMPARE(checked, size);
    QVERIFY(intact);
    if (!chunked)
        QCOMPARE(transfer.reply()->rawHeader("Content-Length"), QByteArray::number(size));
}

QTEST_GUILESS_MAIN(TestLoopbackServer)
#include "tst_loopback_server.moc"
