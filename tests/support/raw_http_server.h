#pragma once

// Answers no well-behaved HTTP library will write: a server on 127.0.0.1 that hands each
// connection to a script writing raw bytes, for the failure tables of the network tests.
// Connections are served on threads of their own with plain sockets, so nothing here needs
// an event loop, and the tests' nested loops never have to turn for an answer to go out.

#include "loopback_server.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <functional>
#include <memory>

namespace quillmere::test {

namespace detail {
struct RawServerImpl;
} // namespace detail

// One connection as the script sees it, on the thread that serves it.
class RawConnection {
public:
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    // The request head as received, up to and including the blank line.
    const QByteArray &request() const { return m_request; }
    // Sends the bytes exactly as given. False once the client has gone or the server is
    // stopping; the script should then return.
    bool send(QByteArrayView bytes);
    // False, and early, when the server is stopping.
    bool wait(std::chrono::milliseconds delay);

private:
    friend struct detail::RawServerImpl;
    RawConnection(detail::RawServerImpl &server, qintptr socket, QByteArray request);

    detail::RawServerImpl &m_server;
    qintptr m_socket;
    QByteArray m_request;
};

class RawHttpServer {
public:
    // Runs once per connection whose request head arrived whole (at most 64 KiB); the
    // connection is closed when it returns.
    using Script = std::function<void(RawConnection &)>;

    // Listens on 127.0.0.1, port 0, at once and serves every connection until destroyed.
    explicit RawHttpServer(Script script);
    // Closes the listener and every connection, wakes every wait(), and joins the threads.
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer &) = delete;
    RawHttpServer &operator=(const RawHttpServer &) = delete;

    int port() const;
    // "http://127.0.0.1:<port><path>"; path starts with "/".
    QString url(const QString &path) const;
    // Connections accepted so far.
    int connections() const;

private:
    std::unique_ptr<detail::RawServerImpl> d;
};

// Ready-made scripts. The 200 answers carry Content-Type: application/octet-stream, and body
// byte n is always n % 251, so a test can check what reached the disk.

// Chunked: `goodBytes` in valid chunks, then a chunk-size line that is not hex, then the
// connection held open until the server stops, so only the client's parser can end it.
RawHttpServer::Script GarbledChunkAfter(qint64 goodBytes);
// Chunked: `goodBytes` in whole chunks, then a chunk announcing 0x10000 bytes of which only
// 100 arrive before the connection closes.
RawHttpServer::Script CloseInsideChunk(qint64 goodBytes);
// A status line and then 100-byte header lines without end, as fast as the client reads,
// until it hangs up.
RawHttpServer::Script EndlessHeader();
// Content-Length: `announced`, then `sent` bytes of body, then the connection closes.
RawHttpServer::Script CloseBeforeLength(qint64 announced, qint64 sent);

// For LoopbackServer: a gzip stream that inflates to `size` zero bytes, gigabytes too,
// served with Content-Encoding: gzip and its compressed length as Content-Length. The zeros
// are never compressed, nor held: the stream is a few hundred bytes repeated, so a test can
// afford a bomb far larger than any sane limit.
Reply GzipOfZeros(qint64 size);

} // namespace quillmere::test
