#include "transfer/download_service.h"

#include "net/network_session.h"
#include "net/request_rules.h"
#include "transfer/part_file.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

// Bound what waits in the session and what waits for the disk, so memory does not grow
// with the file when the disk is slower than the network: the session pauses the
// network once ReadBufferSize waits there, and no more is taken from it than the disk's
// queue has room for.
constexpr qint64 ReadBufferSize = 1024 * 1024;
constexpr qint64 MaxQueuedBytes = 8 * ReadBufferSize;
// About 30 progress reports a second: enough for a status line, few enough repaints.
constexpr qint64 ProgressIntervalMs = 33;
// How much of an answer without Content-Type is looked at before its first byte is kept.
constexpr qint64 SniffBytes = 512;

HResult resultFor(const NetworkFailure &failure) {
    switch (failure.kind) {
    case NetworkError::None:
        return S_OK;
    case NetworkError::BadAddress:
        return INET_E_INVALID_URL;
    case NetworkError::CouldNotResolve:
    case NetworkError::CouldNotConnect:
    case NetworkError::Proxy:
        return INET_E_CANNOT_CONNECT;
    case NetworkError::Certificate:
    case NetworkError::Tls:
        return INET_E_SECURITY_PROBLEM;
    case NetworkError::TimedOut:
        return INET_E_CONNECTION_TIMEOUT;
    case NetworkError::TooManyRedirects:
        return INET_E_REDIRECT_FAILED;
    case NetworkError::HttpStatus:
        return failure.httpStatus == 404 || failure.httpStatus == 410 ? INET_E_OBJECT_NOT_FOUND
                                                                      : INET_E_DOWNLOAD_FAILURE;
    case NetworkError::Aborted:
        return E_ABORT;
    case NetworkError::Disk:
        return STG_E_WRITEFAULT;
    case NetworkError::DiskFull:
        return STG_E_MEDIUMFULL;
    default:
        return INET_E_DOWNLOAD_FAILURE;
    }
}

const char16_t *utf16OrNull(const QString &text) {
    return text.isNull() ? nullptr : reinterpret_cast<const char16_t *>(text.utf16());
}

// One transfer. The pending URLDownloadToFile() holds a reference for as long as it runs;
// callers may hold more and outlive it. The answer's signals only record what happened and
// wake the wait; every callback is made from run() itself, so a handler that processes
// events never re-enters a callback through another network signal.
class Binding final : public IBinding {
public:
    Binding(QObject *caller, IBindStatusCallback *callback, HttpRequest request)
        : m_caller(caller)
        , m_callerWatched(caller != nullptr)
        , m_callback(callback)
        , m_request(std::move(request))
        , m_address(m_request.url.toString()) {
        m_sinceProgress.start();
        m_throttle.setSingleShot(true);
        m_throttle.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_throttle, &QTimer::timeout, &m_throttle, [this] { wake(); });
    }

    quint32 AddRef() override { return ++m_refs; }
    quint32 Release() override {
        const quint32 left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    HResult Abort() override {
        if (!m_running || m_result != S_OK)
            return E_FAIL;
        fail({NetworkError::Aborted, 0, u"The transfer was aborted."_s});
        return S_OK;
    }

    // Asks at once, so that the request is on its way while the file is made.
    void start(NetworkSession &network);
    // The body goes to a temporary file beside the target; only a complete transfer
    // replaces the target, so a failure never leaves a torn file under its name.
    bool open(const QString &target, PartFile::DiskWait diskWait) {
        // The writer reports from its own thread; the timer lives as long as the writer.
        m_file = std::make_unique<PartFile>(
            [this] {
                QMetaObject::invokeMethod(
                    &m_throttle, [this] { onWritten(); }, Qt::QueuedConnection);
            },
            std::move(diskWait));
        if (m_file->open(target))
            return true;
        fail({NetworkError::Disk, 0, m_file->errorString()});
        return false;
    }
    HResult run();
    // What became of it, once run() has returned.
    TransferReport report() const {
        return {m_failure, m_request.url, m_received, maxProgress() > 0 ? m_expected : -1,
                m_request.noDataTimeout.count()};
    }

private:
    struct Report {
        qint64 progress;
        qint64 max;
        quint32 status;
        QString text;
    };

    ~Binding() override {
        m_reply.reset();
        m_file.reset();
    }

    bool mayCallBack() const { return m_callback && (!m_callerWatched || m_caller); }
    qint64 maxProgress() const { return qMax<qint64>(m_expected, 0); }
    void wake() {
        if (m_loop)
            m_loop->quit();
    }
    void report(quint32 status, const QString &text) {
        m_reports.append({m_received, maxProgress(), status, text});
        wake();
    }
    // Wakes the wait once the next progress report is due.
    void scheduleProgress() {
        const qint64 wait = ProgressIntervalMs - m_sinceProgress.elapsed();
        if (wait <= 0)
            wake();
        else if (!m_throttle.isActive())
            m_throttle.start(int(wait));
    }
    void deliverReports();
    void fail(const NetworkFailure &failure);
    void failWriting() {
        fail({m_file->error() == QFileDevice::ResourceError ? NetworkError::DiskFull
                                                            : NetworkError::Disk,
              0, m_file->errorString()});
    }
    void ask();
    void onHeaders();
    void onReadyRead();
    void onWritten();
    void onFinished();
    bool bodyOnDisk() const {
        return m_replyDone && m_reply && m_reply->bytesAvailable() == 0 && m_file &&
               m_file->queued() == 0;
    }
    void finish();

    quint32 m_refs = 0;
    QPointer<QObject> m_caller;
    const bool m_callerWatched;
    IBindStatusCallback *m_callback;
    HttpRequest m_request; // its address follows the redirects
    QPointer<NetworkSession> m_network;
    std::unique_ptr<PartFile> m_file; // reset as soon as the transfer fails: drops the temp file
    std::unique_ptr<HttpReply> m_reply;
    QString m_address;
    QEventLoop *m_loop = nullptr;
    QTimer m_throttle;
    QElapsedTimer m_sinceProgress;
    QList<Report> m_reports;
    bool m_progressDue = false;
    bool m_running = true;
    bool m_replyDone = false;
    bool m_bodyHeld = false;     // a page came: none of it is kept
    bool m_sniffPending = false; // no Content-Type: the first bytes are looked at
    int m_redirects = 0;
    qint64 m_received = 0;  // bytes of the file
    qint64 m_expected = -1; // Content-Length of the body as it reaches the file, else -1
    HResult m_result = S_OK;
    NetworkFailure m_failure;
};

void Binding::start(NetworkSession &network) {
    m_network = &network;
    ask();
}

void Binding::ask() {
    if (!m_network) {
        fail({NetworkError::Other, 0, u"The network session was closed."_s});
        return;
    }
    m_replyDone = false;
    m_reply = m_network->get(m_request);
    m_reply->setBufferLimit(ReadBufferSize);
    HttpReply *reply = m_reply.get();
    QObject::connect(reply, &HttpReply::headersReceived, &m_throttle, [this] { onHeaders(); });
    QObject::connect(reply, &HttpReply::readyRead, &m_throttle, [this] { onReadyRead(); });
    QObject::connect(reply, &HttpReply::finished, &m_throttle, [this] { onFinished(); });
}

HResult Binding::run() {
    QMetaObject::Connection watch;
    if (m_caller)
        watch = QObject::connect(m_caller, &QObject::destroyed, &m_throttle, [this] { Abort(); });

    if (mayCallBack())
        m_callback->OnStartBinding(0, this);
    if (m_result == S_OK) // the callback may have aborted already
        report(BINDSTATUS_CONNECTING, m_request.url.host());

    QEventLoop loop;
    m_loop = &loop;
    for (;;) {
        deliverReports();
        if (m_result == S_OK && m_file && m_file->failed())
            failWriting();
        if (m_result != S_OK || bodyOnDisk())
            break;
        loop.exec();
    }
    m_loop = nullptr;
    finish();

    QObject::disconnect(watch);
    m_throttle.stop();
    m_reply.reset();
    m_file.reset();
    m_running = false;
    if (mayCallBack())
        m_callback->OnStopBinding(m_result, utf16OrNull(m_failure.reason));
    return m_result;
}

void Binding::deliverReports() {
    while (m_result == S_OK && mayCallBack()) {
        Report next;
        if (!m_reports.isEmpty()) {
            next = m_reports.takeFirst();
        } else if (m_progressDue && m_sinceProgress.elapsed() >= ProgressIntervalMs) {
            next = {m_received, maxProgress(), BINDSTATUS_DOWNLOADINGDATA, m_address};
        } else {
            if (m_progressDue)
                scheduleProgress();
            return;
        }
        if (next.status == BINDSTATUS_DOWNLOADINGDATA ||
            next.status == BINDSTATUS_BEGINDOWNLOADDATA) {
            m_progressDue = false;
            m_sinceProgress.start();
        }
        // Handlers run inside this call and may abort, start other transfers or destroy
        // the caller; the loop condition sees all of that.
        m_callback->OnProgress(next.progress, next.max, next.status, utf16OrNull(next.text));
        if (next.status == BINDSTATUS_MIMETYPEAVAILABLE && IsPageType(next.text))
            fail({NetworkError::PageNotFile, 0,
                  u"A web page (%1) came where the file was expected."_s.arg(next.text)});
    }
    // Without a callback to tell, a page still fails.
    if (m_result == S_OK && m_bodyHeld)
        fail({NetworkError::PageNotFile, 0, u"A web page came where the file was expected."_s});
}

void Binding::fail(const NetworkFailure &failure) {
    if (m_result != S_OK)
        return;
    m_result = resultFor(failure);
    m_failure = failure;
    // What had come when it broke off, read or not, is what the user is told of. The
    // answer may have ended before its headers were handed on, and a reply that failed
    // has dropped what it held: a body without coding counts as it came.
    if (m_reply) {
        if (m_expected < 0 && m_reply->status() == 200)
            m_expected = ExpectedBodyLength(m_reply->header("Content-Length"),
                                            m_reply->header("Content-Encoding"));
        m_received = std::max(m_received + m_reply->bytesAvailable(),
                              m_expected >= 0 ? m_reply->bytesReceivedAsSent() : 0);
    }
    m_file.reset();
    m_reports.clear();
    m_progressDue = false;
    if (m_reply && !m_reply->isFinished())
        m_reply->abort();
    wake();
}

void Binding::onHeaders() {
    const int status = m_reply->status();
    const QByteArray location = m_reply->header("Location");
    if (status / 100 == 3 && !location.isEmpty()) {
        const QUrl target = m_reply->url().resolved(QUrl::fromEncoded(location));
        if (!MayFollowRedirect(target, m_redirects++)) {
            fail({NetworkError::TooManyRedirects, 0,
                  u"Refused a redirect to %1"_s.arg(target.toString())});
            return;
        }
        // The redirect's own body is not wanted; the Referer stays the page's.
        m_request.url = target;
        m_address = target.toString();
        report(BINDSTATUS_REDIRECTING, m_address);
        ask();
        return;
    }
    // 4xx and 5xx; 206 to a request without a range, 204, 205, a 3xx that names no
    // target: not the file.
    if (status != 200) {
        fail({NetworkError::HttpStatus, status, u"HTTP status %1"_s.arg(status)});
        return;
    }
    m_expected =
        ExpectedBodyLength(m_reply->header("Content-Length"), m_reply->header("Content-Encoding"));
    const QByteArray mediaType = ParseContentType(m_reply->header("Content-Type")).mediaType;
    if (!mediaType.isEmpty())
        report(BINDSTATUS_MIMETYPEAVAILABLE, QString::fromLatin1(mediaType));
    m_bodyHeld = IsPageType(mediaType);
    m_sniffPending = mediaType.isEmpty();
}

void Binding::onReadyRead() {
    // No more is taken than the disk's queue has room for: the rest waits in the session,
    // which holds the network back, and the writer's next report reads on.
    if (!m_file || !m_reply || m_bodyHeld)
        return;
    // A page without Content-Type may come a few bytes at a time: judge it on as many
    // bytes as a browser looks at, or on all there is once it is whole.
    if (m_sniffPending && !m_replyDone && m_reply->bytesAvailable() < SniffBytes)
        return;
    const qint64 room = MaxQueuedBytes - m_file->queued();
    if (room <= 0)
        return;
    QByteArray data = m_reply->read(room);
    if (data.isEmpty())
        return;
    // No Content-Type: the first bytes tell a page from a file, as a browser sniffs them,
    // before any of them is kept.
    if (std::exchange(m_sniffPending, false) && SniffsAsHtml(data)) {
        m_bodyHeld = true;
        report(BINDSTATUS_MIMETYPEAVAILABLE, u"text/html"_s);
        return;
    }
    const qint64 size = data.size();
    m_file->write(std::move(data));
    if (m_file->failed()) {
        failWriting();
        return;
    }
    const bool first = m_received == 0;
    m_received += size;
    if (first) {
        report(BINDSTATUS_BEGINDOWNLOADDATA, m_address);
        return;
    }
    m_progressDue = true;
    scheduleProgress();
}

void Binding::onWritten() {
    onReadyRead();
    wake();
}

void Binding::onFinished() {
    m_replyDone = true;
    if (m_result == S_OK) {
        if (const NetworkFailure &failure = m_reply->result())
            fail(failure);
        else
            onReadyRead();
    }
    wake();
}

// The body is in: report its end, then put it under the target name unless a handler of
// that report aborted.
void Binding::finish() {
    if (m_result != S_OK)
        return;
    if (m_received == 0)
        report(BINDSTATUS_BEGINDOWNLOADDATA, m_address);
    m_progressDue = false;
    report(BINDSTATUS_ENDDOWNLOADDATA, m_address);
    deliverReports();
    if (m_result == S_OK && !m_file->commit())
        failWriting();
}

} // namespace

DownloadService::DownloadService(NetworkSession *network)
    : m_network(network) {}

HResult DownloadService::URLDownloadToFile(QObject *caller, const QString &url,
                                           const QString &fileName, quint32 reserved,
                                           IBindStatusCallback *callback, const QUrl &fromPage,
                                           TransferReport *report) const {
    Q_UNUSED(reserved);
    const QUrl address(url);
    const auto refuse = [report, &address](HResult code, NetworkError kind, const QString &reason) {
        if (report)
            *report = {{kind, 0, reason}, address};
        return code;
    };
    if (!IsWebScheme(address) && !address.scheme().isEmpty())
        return refuse(INET_E_UNKNOWN_PROTOCOL, NetworkError::BadAddress,
                      u"Not a web address: %1"_s.arg(url));
    if (!address.isValid() || address.host().isEmpty())
        return refuse(INET_E_INVALID_URL, NetworkError::BadAddress,
                      u"Not a valid address: %1"_s.arg(url));
    if (!m_network)
        return refuse(E_FAIL, NetworkError::Other, u"The network session was closed."_s);

    // Everything below lives in the binding: a handler may destroy this service's owner
    // while the call is pending.
    const CountedRef<Binding> binding(
        new Binding(caller, callback,
                    WebRequest(address, RequestKind::File,
                               std::chrono::milliseconds(m_transferTimeoutMs), fromPage)));
    NetworkSession &network = *m_network;
    binding->start(network);
    if (!binding->open(fileName, m_diskWait)) {
        if (report)
            *report = binding->report();
        return E_ACCESSDENIED;
    }
    // The connection has had the file's making to come up: the request goes now, before
    // the callbacks and their handlers.
    network.actOnReadySockets();
    const HResult result = binding->run();
    if (report)
        *report = binding->report();
    return result;
}

} // namespace quillmere
