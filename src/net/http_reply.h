#pragma once

// One HTTP exchange of the session: the answer's status line and headers, its body as it
// arrives (decoded from gzip or deflate), and one end, a success or a failure with its
// kind. The reader holds the transfer back by not reading: once a bounded buffer is full
// the network is paused, so a slow disk or a page parsed slowly never makes memory grow
// with the body, however much a small compressed body inflates to.
//
// Redirects are not followed here: a 3xx answer is an answer like any other, and the page
// loader and the download service decide whether to go on (MayFollowRedirect).

#include "net/request_rules.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <optional>

namespace quillmere {

class NetworkSession;
class ContentDecoder;

// Why an exchange, or what was made of it, failed.
enum class NetworkError {
    None,
    BadAddress,       // not an http(s) address with a host
    CouldNotResolve,  // the host name, or the proxy's, is unknown
    CouldNotConnect,  // refused or unreachable
    Proxy,            // the proxy's name is unknown, or it would not connect
    Certificate,      // the server's certificate is not trusted
    Tls,              // the secure connection could not be made
    TimedOut,         // no byte for the no-data limit, or the page's time ran out
    CutShort,         // the connection closed before the body's announced end
    GarbledFraming,   // the chunks or the status line are no HTTP
    HeaderTooLarge,   // the header section never ends
    BadContentCoding, // a coding not asked for, or a compressed stream damaged or cut short
    TooManyRedirects, // or a redirect that leaves the web
    HttpStatus,       // the server answered 4xx or 5xx, or something other than the file
    PageNotFile,      // a web page came where a file was expected
    TooLarge,         // over the size a page may have
    Disk,             // the file could not be written
    DiskFull,         // the disk has no room for it
    Aborted,          // ended by us
    Busy,             // another transfer was running
    Other,
};

struct NetworkFailure {
    NetworkError kind = NetworkError::None;
    int httpStatus = 0;
    QString reason; // short, for the program's own messages; never a cookie or a body
    explicit operator bool() const { return kind != NetworkError::None; }
};

class HttpReply : public QObject {
    Q_OBJECT
public:
    ~HttpReply() override; // aborts a running exchange

    const QUrl &url() const { return m_url; }
    // 0 until the answer's headers are in.
    int status() const { return m_status; }
    bool headersComplete() const { return m_headersComplete; }
    // The named header, case-insensitive; repeated headers joined by ", ". Empty if absent.
    QByteArray header(QByteArrayView name) const;

    // Decoded body bytes ready to be read.
    qint64 bytesAvailable() const { return m_buffer.size(); }
    QByteArray read(qint64 maxSize);
    QByteArray readAll() { return read(bytesAvailable()); }
    // Body bytes as they came, before decoding.
    qint64 bytesReceivedAsSent() const { return m_receivedAsSent; }

    // The exchange is over: result() says how. What is still buffered can be read.
    bool isFinished() const { return m_finished; }
    const NetworkFailure &result() const { return m_result; }
    // Ends the exchange now with this failure; finished() follows from the event loop.
    void abort(NetworkError kind = NetworkError::Aborted, const QString &reason = {});

    // How much decoded body may wait to be read before the network is paused.
    void setBufferLimit(qint64 bytes) { m_bufferLimit = bytes; }

Q_SIGNALS:
    // The final answer's status and headers are in (interim 1xx answers are not reported).
    void headersReceived();
    // More body bytes can be read.
    void readyRead();
    // The exchange is over; emitted once.
    void finished();

private:
    friend class NetworkSession;
    struct Easy;

    HttpReply(NetworkSession &session, const HttpRequest &request);

    // Once the connection is made or taken for reuse, before the request goes out on it.
    static int onConnected(void *self, char *, char *, int, int);
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    void headerLine(QByteArrayView line);
    size_t body(QByteArrayView piece);
    bool decodeSome();
    bool counted(qint64 decoded);
    void announce();
    void resumeIfRoom();
    void transferDone(int curlCode);
    void settle();
    void fail(NetworkError kind, const QString &reason, int httpStatus = 0);
    void finalize();
    void detach();
    void post();
    void deliver();
    void restartNoDataTimer();

    QPointer<NetworkSession> m_session;
    std::unique_ptr<Easy> m_easy;
    QUrl m_url;
    qint64 m_maxBodyBytes;
    qint64 m_bufferLimit = 1024 * 1024;

    int m_status = 0;
    bool m_headersComplete = false;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_headerBytes = 0;
    std::unique_ptr<ContentDecoder> m_decoder;

    QByteArray m_raw;    // as it came, not yet decoded: at most one piece of the network's
    QByteArray m_buffer; // decoded, waiting to be read
    qint64 m_receivedAsSent = 0;
    qint64 m_decodedTotal = 0;
    bool m_paused = false;
    bool m_viaProxy = false;
    bool m_insideCurl = false;   // in one of libcurl's callbacks, or in a call that makes them
    bool m_transferDone = false; // the network's side is over
    bool m_finished = false;     // and so is ours: result() is final
    NetworkFailure m_result;
    QTimer m_noData;

    // What the next delivery from the event loop reports; never from inside libcurl.
    bool m_posted = false;
    bool m_headersDue = false;
    bool m_readyReadDue = false;
    bool m_finishedDue = false;
};

} // namespace quillmere
