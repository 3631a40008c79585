#pragma once

// A scripted HTTP server on 127.0.0.1 for the network tests. Each route answers with a
// Reply that says exactly what goes on the wire: status, headers, body bytes, chunked or
// sized framing, delays, stalls and a connection closed in the middle of the body.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>

namespace quillmere::test {

struct Reply {
    int status = 200;
    // Empty: no Content-Type header at all.
    QByteArray contentType = "text/html; charset=utf-8";
    QList<QPair<QByteArray, QByteArray>> headers; // further headers, sent as given
    QByteArray body;

    // Generated bodies for large transfers: `size` bytes, filled chunk by chunk
    // (offset, buffer, length). `body` is ignored when a generator is set.
    std::function<void(std::int64_t offset, char *data, std::size_t length)> generator;
    std::int64_t size = -1;

    bool chunked = false;              // Transfer-Encoding: chunked, no Content-Length
    std::int64_t declaredLength = -1;  // Content-Length to announce instead of the real size
    int delayMs = 0;                   // wait this long before answering at all
    std::int64_t stallAfter = -1;      // after this many body bytes, send nothing more (until stop)
    std::int64_t closeAfter = -1;      // after this many body bytes, close the connection
    std::size_t chunkSize = 64 * 1024; // bytes handed to the socket per write
};

struct Request {
    QByteArray method;
    QByteArray path;   // without the query
    QByteArray target; // path and query as requested
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray header(const QByteArray &name) const; // case-insensitive, empty if absent
};

class LoopbackServer {
public:
    enum class Tls { None, SelfSigned };

    // Listens on 127.0.0.1, port 0, and serves from a thread of its own until destroyed.
    explicit LoopbackServer(Tls tls = Tls::None);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    int port() const;
    // "http://127.0.0.1:<port><path>" (https for a TLS server); path starts with "/".
    QString url(const QString &path) const;
    QUrl qurl(const QString &path) const { return QUrl(url(path)); }

    void route(const QString &path, Reply reply);
    void route(const QString &path, std::function<Reply(const Request &)> handler);
    void redirect(const QString &path, const QString &location, int status = 302);

    // What the server has seen so far, for assertions.
    int hits(const QString &path) const;
    // Answers to `target` (a path, or a path with its query) that are over on the server's
    // side: sent whole, cut off, or dropped because the client had gone.
    int answered(const QString &target) const;
    QList<Request> requests() const;

    // Wakes every stalled reply and closes their connections.
    void releaseStalls();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quillmere::test
