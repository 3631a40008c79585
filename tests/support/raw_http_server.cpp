#include "raw_http_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <zlib.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quillmere::test {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Socket = SOCKET;
using PollEntry = WSAPOLLFD;
const Socket NoSocket = INVALID_SOCKET;
constexpr int ShutBoth = SD_BOTH;
constexpr int ShutSending = SD_SEND;
// Winsock raises no signal for a peer that has gone.
constexpr int NoSignal = 0;

void closeSocket(Socket socket) {
    ::closesocket(socket);
}

// shutdown() does not wake a Winsock accept(); closing the listener does.
bool interruptListener(Socket listener) {
    ::closesocket(listener);
    return true;
}

void makeNonBlocking(Socket socket) {
    u_long on = 1;
    ::ioctlsocket(socket, FIONBIO, &on);
}

int pollOne(PollEntry &entry, int timeoutMs) {
    return ::WSAPoll(&entry, 1, timeoutMs);
}

bool interrupted() {
    return false;
}

bool wouldBlock() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}
#else
using Socket = int;
using PollEntry = pollfd;
constexpr Socket NoSocket = -1;
constexpr int ShutBoth = SHUT_RDWR;
constexpr int ShutSending = SHUT_WR;
#ifdef MSG_NOSIGNAL
constexpr int NoSignal = MSG_NOSIGNAL;
#else
constexpr int NoSignal = 0; // SO_NOSIGPIPE on each connection instead
#endif

void closeSocket(Socket socket) {
    ::close(socket);
}

// Wakes an accept() blocked on the listener, which stays open until the acceptor is joined.
bool interruptListener(Socket listener) {
    ::shutdown(listener, SHUT_RDWR);
    return false;
}

void makeNonBlocking(Socket socket) {
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
}

int pollOne(PollEntry &entry, int timeoutMs) {
    return ::poll(&entry, 1, timeoutMs);
}

bool interrupted() {
    return errno == EINTR;
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}
#endif

void setOption(Socket socket, int level, int name, int value) {
    ::setsockopt(socket, level, name, reinterpret_cast<const char *>(&value),
                 static_cast<socklen_t>(sizeof value));
}

Socket acceptOne(Socket listener) {
#ifdef __linux__
    // A process a test starts must not inherit the connection and keep it open after the
    // script has closed it.
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
    return ::accept(listener, nullptr, nullptr);
#endif
}

// Connections never block in recv() or send(): Winsock's shutdown() does not wake a call
// that is blocked in another thread, so waits happen here instead, in slices short enough
// for a stop to be noticed. On Linux the stop's shutdown() ends them at once.
constexpr int PollSliceMs = 50;

// False when the server is stopping or the deadline has passed.
bool waitUntilReady(Socket socket, short events, const std::atomic<bool> &stopping,
                    Clock::time_point deadline) {
    for (;;) {
        if (stopping || Clock::now() >= deadline)
            return false;
        PollEntry entry{};
        entry.fd = socket;
        entry.events = events;
        const int ready = pollOne(entry, PollSliceMs);
        // Errors and hang-ups count as ready too: the call that follows reports them.
        if (ready > 0 || (ready < 0 && !interrupted()))
            return true;
    }
}

// Bytes moved; 0 at the end of the stream; negative on an error, on a stop or past the
// deadline.
qint64 receiveSome(Socket socket, char *data, std::size_t length, const std::atomic<bool> &stopping,
                   Clock::time_point deadline = Clock::time_point::max()) {
    for (;;) {
        const auto received = ::recv(socket, data, static_cast<int>(length), 0);
        if (received >= 0)
            return static_cast<qint64>(received);
        if (interrupted())
            continue;
        if (!wouldBlock() || !waitUntilReady(socket, POLLIN, stopping, deadline))
            return -1;
    }
}

qint64 sendSome(Socket socket, const char *data, std::size_t length,
                const std::atomic<bool> &stopping) {
    for (;;) {
        const auto sent = ::send(socket, data, static_cast<int>(length), NoSignal);
        if (sent >= 0)
            return static_cast<qint64>(sent);
        if (interrupted())
            continue;
        if (!wouldBlock() || !waitUntilReady(socket, POLLOUT, stopping, Clock::time_point::max()))
            return -1;
    }
}

constexpr qsizetype MaxRequestHead = 64 * 1024;

// Reads up to and including the blank line after the headers. Bytes after it (a body, a
// pipelined request) are dropped: no script answers them.
bool readHead(Socket socket, QByteArray &head, const std::atomic<bool> &stopping) {
    char buffer[4096];
    QByteArray received;
    while (received.size() < MaxRequestHead) {
        const auto room = std::min<qsizetype>(sizeof buffer, MaxRequestHead - received.size());
        const qint64 count = receiveSome(socket, buffer, static_cast<std::size_t>(room), stopping);
        if (count <= 0)
            return false;
        const qsizetype from = std::max<qsizetype>(0, received.size() - 3);
        received.append(buffer, static_cast<qsizetype>(count));
        const qsizetype end = received.indexOf("\r\n\r\n", from);
        if (end >= 0) {
            head = received.left(end + 4);
            return true;
        }
    }
    return false;
}

} // namespace

namespace detail {

struct RawServerImpl {
    struct Client {
        Socket socket = NoSocket; // NoSocket once closed
        std::thread thread;
        bool finished = false;
    };

    RawHttpServer::Script script;
    Socket listener = NoSocket;
    int port = -1;
    std::thread acceptor;
    std::atomic<int> accepted = 0;
    std::atomic<bool> stopping = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::list<Client> clients; // stable addresses: each thread holds on to its own entry

    bool waitFor(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, delay, [this] { return stopping.load(); });
    }

    void acceptLoop() {
        for (;;) {
            const Socket socket = acceptOne(listener);
            if (socket == NoSocket) {
                if (stopping)
                    return;
                // Out of descriptors and the like: let the clients finish and try again.
                if (!waitFor(std::chrono::milliseconds(10)))
                    return;
                continue;
            }
            makeNonBlocking(socket);
            setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
#ifdef SO_NOSIGPIPE
            setOption(socket, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
            ++accepted;

            std::lock_guard lock(mutex);
            // The stop has already shut down every registered socket; this one it missed.
            if (stopping) {
                closeSocket(socket);
                return;
            }
            reapFinished();
            Client &client = clients.emplace_back();
            client.socket = socket;
            client.thread = std::thread([this, &client] { serve(client); });
        }
    }

    // Called with the mutex held; the threads flagged finished need it no more.
    void reapFinished() {
        for (auto it = clients.begin(); it != clients.end();) {
            if (!it->finished) {
                ++it;
                continue;
            }
            it->thread.join();
            it = clients.erase(it);
        }
    }

    void serve(Client &client) {
        const Socket socket = client.socket;
        QByteArray head;
        if (readHead(socket, head, stopping)) {
            RawConnection connection(*this, static_cast<qintptr>(socket), std::move(head));
            script(connection);
        }
        closeGracefully(socket);

        std::lock_guard lock(mutex);
        closeSocket(socket);
        client.socket = NoSocket;
        client.finished = true;
    }

    // A close with unread bytes in the receive buffer resets the connection, and a reset
    // may discard what the client has not read yet: the tail of a short body would then
    // arrive as a reset rather than as the early end the script means. So the sending side
    // ends first, and whatever the client still sends is read until it hangs up too.
    void closeGracefully(Socket socket) {
        ::shutdown(socket, ShutSending);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        char sink[4096];
        while (receiveSome(socket, sink, sizeof sink, stopping, deadline) > 0) {
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            // Wakes every recv() and send() a connection is blocked in.
            for (const Client &client : clients) {
                if (client.socket != NoSocket)
                    ::shutdown(client.socket, ShutBoth);
            }
        }
        wake.notify_all();
        if (interruptListener(listener))
            listener = NoSocket;
        acceptor.join();
        // Nobody adds a client now that the acceptor has gone.
        for (Client &client : clients) {
            if (client.thread.joinable())
                client.thread.join();
        }
        clients.clear();
        if (listener != NoSocket)
            closeSocket(listener);
    }
};

} // namespace detail

RawConnection::RawConnection(detail::RawServerImpl &server, qintptr socket, QByteArray request)
    : m_server(server)
    , m_socket(socket)
    , m_request(std::move(request)) {}

bool RawConnection::send(QByteArrayView bytes) {
    const auto socket = static_cast<Socket>(m_socket);
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const auto piece = static_cast<std::size_t>(std::min<qsizetype>(left, 1 << 20));
        const qint64 sent = sendSome(socket, data, piece, m_server.stopping);
        if (sent <= 0)
            return false;
        data += sent;
        left -= static_cast<qsizetype>(sent);
    }
    return !m_server.stopping;
}

bool RawConnection::wait(std::chrono::milliseconds delay) {
    return m_server.waitFor(delay);
}

RawHttpServer::RawHttpServer(Script script)
    : d(std::make_unique<detail::RawServerImpl>()) {
#ifdef _WIN32
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        qFatal("RawHttpServer: cannot start Winsock");
#endif
    d->script = std::move(script);
#if defined(SOCK_CLOEXEC)
    d->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
    d->listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
    if (d->listener == NoSocket)
        qFatal("RawHttpServer: cannot create a socket");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    auto length = static_cast<socklen_t>(sizeof address);
    if (::bind(d->listener, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        ::listen(d->listener, SOMAXCONN) != 0 ||
        ::getsockname(d->listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        qFatal("RawHttpServer: cannot listen on 127.0.0.1");
    }
    d->port = ntohs(address.sin_port);
    d->acceptor = std::thread([impl = d.get()] { impl->acceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
    d->stop();
#ifdef _WIN32
    ::WSACleanup();
#endif
}

int RawHttpServer::port() const {
    return d->port;
}

QString RawHttpServer::url(const QString &path) const {
    const QString separator = path.startsWith(u'/') ? QString() : QStringLiteral("/");
    return QStringLiteral("http://127.0.0.1:") + QString::number(d->port) + separator + path;
}

int RawHttpServer::connections() const {
    return d->accepted;
}

namespace {

const QByteArray ChunkedHead = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                                                 "Content-Type: application/octet-stream\r\n"
                                                 "Transfer-Encoding: chunked\r\n"
                                                 "Connection: close\r\n"
                                                 "\r\n");

constexpr qint64 PieceSize = 16 * 1024;

// 251 is prime, so the pattern never lines up with chunk or buffer sizes and a piece
// delivered at the wrong offset shows.
void appendBody(QByteArray &out, qint64 offset, qint64 length) {
    const qsizetype start = out.size();
    out.resize(start + static_cast<qsizetype>(length));
    char *data = out.data() + start;
    for (qint64 i = 0; i < length; ++i)
        data[i] = static_cast<char>((offset + i) % 251);
}

bool sendChunks(RawConnection &connection, qint64 total) {
    QByteArray chunk;
    for (qint64 sent = 0; sent < total;) {
        const qint64 length = std::min(total - sent, PieceSize);
        chunk = QByteArray::number(length, 16) + "\r\n";
        appendBody(chunk, sent, length);
        chunk += "\r\n";
        if (!connection.send(chunk))
            return false;
        sent += length;
    }
    return true;
}

} // namespace

RawHttpServer::Script GarbledChunkAfter(qint64 goodBytes) {
    return [goodBytes](RawConnection &connection) {
        if (!connection.send(ChunkedHead) || !sendChunks(connection, goodBytes) ||
            !connection.send("zz\r\nthis is no chunk\r\n")) {
            return;
        }
        while (connection.wait(std::chrono::hours(1))) {
        }
    };
}

RawHttpServer::Script CloseInsideChunk(qint64 goodBytes) {
    return [goodBytes](RawConnection &connection) {
        if (!connection.send(ChunkedHead) || !sendChunks(connection, goodBytes))
            return;
        QByteArray cut = QByteArrayLiteral("10000\r\n");
        appendBody(cut, goodBytes, 100);
        connection.send(cut);
    };
}

RawHttpServer::Script EndlessHeader() {
    return [](RawConnection &connection) {
        if (!connection.send("HTTP/1.1 200 OK\r\n"))
            return;
        constexpr qsizetype LineLength = 100;
        // A few dozen lines per write: line by line would cost a system call per 100 bytes,
        // and the socket's buffers still hold us back to the client's pace.
        constexpr int LinesPerWrite = 64;
        QByteArray batch;
        for (qint64 number = 0;;) {
            batch.clear();
            for (int i = 0; i < LinesPerWrite; ++i, ++number) {
                const qsizetype start = batch.size();
                batch += "X-Pad-" + QByteArray::number(number) + ": ";
                batch.append(LineLength - 2 - (batch.size() - start), 'a');
                batch += "\r\n";
            }
            if (!connection.send(batch))
                return;
        }
    };
}

RawHttpServer::Script CloseBeforeLength(qint64 announced, qint64 sent) {
    return [announced, sent](RawConnection &connection) {
        const QByteArray head = "HTTP/1.1 200 OK\r\n"
                                "Content-Type: application/octet-stream\r\n"
                                "Content-Length: " +
                                QByteArray::number(announced) +
                                "\r\n"
                                "Connection: close\r\n"
                                "\r\n";
        if (!connection.send(head))
            return;
        QByteArray piece;
        for (qint64 offset = 0; offset < sent;) {
            const qint64 length = std::min(sent - offset, PieceSize * 4);
            piece.clear();
            appendBody(piece, offset, length);
            if (!connection.send(piece))
                return;
            offset += length;
        }
    };
}

namespace {

constexpr qint64 ZeroUnit = 64 * 1024;

// Raw deflate, without a zlib or gzip wrapper, of `length` zeros by a compressor of its own.
// Ended by a full flush, the output stops on a byte boundary, refers to nothing before it and
// leaves the stream open: copies of it may follow one another as they are. Ended by
// Z_FINISH, it closes the stream.
QByteArray deflateZeros(qint64 length, int flush) {
    z_stream stream{};
    const int started =
        deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    if (started != Z_OK)
        qFatal("GzipOfZeros: cannot start deflate");
    QByteArray zeros(static_cast<qsizetype>(length), '\0');
    // deflateBound() counts for Z_FINISH only; a flush marker takes a few bytes more.
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(length))) + 64,
                   Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(zeros.data());
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, flush);
    const bool whole = flush == Z_FINISH
                           ? result == Z_STREAM_END
                           : result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0;
    if (!whole)
        qFatal("GzipOfZeros: deflate did not finish in one call");
    out.resize(out.size() - static_cast<qsizetype>(stream.avail_out));
    deflateEnd(&stream);
    return out;
}

// CRC-32 of `length` zero bytes, by doubling. crc32_combine() takes its length as a z_off_t,
// which is 32 bits wide on Windows, so no step is longer than 1 GiB.
quint32 crcOfZeros(qint64 length) {
    constexpr int GiBBits = 30;
    uLong powers[GiBBits + 1]; // powers[k]: CRC of 2^k zeros
    const Bytef zero = 0;
    powers[0] = crc32(0, &zero, 1);
    for (int k = 1; k <= GiBBits; ++k)
        powers[k] = crc32_combine(powers[k - 1], powers[k - 1], z_off_t(1) << (k - 1));

    uLong crc = crc32(0, nullptr, 0);
    for (qint64 gib = length >> GiBBits; gib > 0; --gib)
        crc = crc32_combine(crc, powers[GiBBits], z_off_t(1) << GiBBits);
    for (int k = 0; k < GiBBits; ++k) {
        if ((length >> k) & 1)
            crc = crc32_combine(crc, powers[k], z_off_t(1) << k);
    }
    return static_cast<quint32>(crc);
}

void appendLittleEndian(QByteArray &out, quint32 value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.append(static_cast<char>((value >> shift) & 0xff));
}

// The stream in three pieces: a head, one unit repeated, and a tail.
struct ZeroBomb {
    QByteArray head;
    QByteArray unit;
    qint64 units = 0;
    QByteArray tail;

    qint64 size() const { return head.size() + units * unit.size() + tail.size(); }

    void fill(qint64 offset, char *data, std::size_t length) const {
        const qint64 tailStart = head.size() + units * unit.size();
        while (length > 0) {
            const char *from = nullptr;
            qint64 available = 0;
            if (offset < head.size()) {
                from = head.constData() + offset;
                available = head.size() - offset;
            } else if (offset < tailStart) {
                const qint64 within = (offset - head.size()) % unit.size();
                from = unit.constData() + within;
                available = unit.size() - within;
            } else {
                from = tail.constData() + (offset - tailStart);
                available = tail.size() - (offset - tailStart);
            }
            const auto count =
                static_cast<std::size_t>(std::min<qint64>(available, qint64(length)));
            std::memcpy(data, from, count);
            data += count;
            offset += qint64(count);
            length -= count;
        }
    }
};

} // namespace

Reply GzipOfZeros(qint64 size) {
    size = std::max<qint64>(size, 0);
    auto bomb = std::make_shared<ZeroBomb>();
    // ID1 ID2, deflate, no flags, no modification time, no extra flags, OS unknown.
    bomb->head = QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    bomb->unit = deflateZeros(ZeroUnit, Z_FULL_FLUSH);
    bomb->units = size / ZeroUnit;
    bomb->tail = deflateZeros(size % ZeroUnit, Z_FINISH);
    appendLittleEndian(bomb->tail, crcOfZeros(size));
    appendLittleEndian(bomb->tail, static_cast<quint32>(size & 0xffffffff));

    Reply reply;
    reply.contentType = QByteArrayLiteral("application/octet-stream");
    reply.headers.append({QByteArrayLiteral("Content-Encoding"), QByteArrayLiteral("gzip")});
    reply.size = bomb->size();
    reply.generator = [bomb](std::int64_t offset, char *data, std::size_t length) {
        bomb->fill(offset, data, length);
    };
    return reply;
}

} // namespace quillmere::test
