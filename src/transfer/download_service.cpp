#include "transfer/download_service.h"

#include "transfer/part_file.h"
#include "web/content_coding.h"
#include "web/request_rules.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

// Bound what Qt buffers from the socket and what waits for the disk, so memory does not
// grow with the file when the disk is slower than the network.
constexpr qint64 ReadBufferSize = 1024 * 1024;
constexpr qint64 MaxQueuedBytes = 8 * ReadBufferSize;
// About 30 progress reports a second: enough for a status line, few enough repaints.
constexpr qint64 ProgressIntervalMs = 33;

HResult fromNetworkError(QNetworkReply::NetworkError error) {
    switch (error) {
    // Every abort of our own records its reason first, so a cancel seen here is Qt's
    // transfer timeout.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return INET_E_CONNECTION_TIMEOUT;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return INET_E_CANNOT_CONNECT;
    case QNetworkReply::SslHandshakeFailedError:
        return INET_E_SECURITY_PROBLEM;
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return INET_E_REDIRECT_FAILED;
    case QNetworkReply::ProtocolUnknownError:
        return INET_E_UNKNOWN_PROTOCOL;
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentGoneError:
        return INET_E_OBJECT_NOT_FOUND;
    default:
        return INET_E_DOWNLOAD_FAILURE;
    }
}

HResult fromFileError(QFileDevice::FileError error) {
    return error == QFileDevice::ResourceError ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
}

const char16_t *utf16OrNull(const QString &text) {
    return text.isNull() ? nullptr : reinterpret_cast<const char16_t *>(text.utf16());
}

// One transfer. The pending URLDownloadToFile() holds a reference for as long as it runs;
// callers may hold more and outlive it. Network signals only record what happened and wake
// the wait; every callback is made from run() itself, so a handler that processes events
// never re-enters a callback through another network signal.
class Binding final : public IBinding {
public:
    Binding(QObject *caller, IBindStatusCallback *callback, const QUrl &url)
        : m_caller(caller)
        , m_callerWatched(caller != nullptr)
        , m_callback(callback)
        , m_address(url.toString()) {
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
        fail(E_ABORT, u"The transfer was aborted."_s);
        return S_OK;
    }

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
        return m_file->open(target);
    }
    HResult run(QNetworkAccessManager &network, QNetworkRequest request);

private:
    struct Report {
        qint64 progress;
        qint64 max;
        quint32 status;
        QString text;
    };

    ~Binding() override { m_file.reset(); }

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
    void fail(HResult code, const QString &text);
    void failWriting() { fail(fromFileError(m_file->error()), m_file->errorString()); }
    void start(QNetworkAccessManager &network, QNetworkRequest request);
    void onRedirected(const QUrl &target);
    void onMetaData();
    void onReadyRead(bool finished = false);
    void onWritten();
    void onFinished();
    bool bodyOnDisk() const { return m_replyDone && m_file && m_file->queued() == 0; }
    void finish();

    quint32 m_refs = 0;
    QPointer<QObject> m_caller;
    const bool m_callerWatched;
    IBindStatusCallback *m_callback;
    std::unique_ptr<PartFile> m_file; // reset as soon as the transfer fails: drops the temp file
    QPointer<QNetworkReply> m_reply;
    QString m_address;
    QEventLoop *m_loop = nullptr;
    QTimer m_throttle;
    QElapsedTimer m_sinceProgress;
    QList<Report> m_reports;
    bool m_progressDue = false;
    bool m_running = true;
    bool m_replyDone = false;
    bool m_headersSeen = false;
    bool m_sniffPending = false;             // no Content-Type: the first bytes are looked at
    std::optional<ContentDecoder> m_decoder; // set with the answer's headers
    int m_redirects = 0;
    qint64 m_received = 0;       // bytes of the file
    qint64 m_receivedAsSent = 0; // bytes as they came, before any decoding
    qint64 m_expected = -1;      // Content-Length of the body as it reaches the file, else -1
    HResult m_result = S_OK;
    QString m_error;
};

HResult Binding::run(QNetworkAccessManager &network, QNetworkRequest request) {
    QMetaObject::Connection watch;
    if (m_caller)
        watch = QObject::connect(m_caller, &QObject::destroyed, &m_throttle, [this] { Abort(); });

    if (mayCallBack())
        m_callback->OnStartBinding(0, this);
    if (m_result == S_OK) // the callback may have aborted already
        start(network, std::move(request));

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
    delete m_reply;
    m_file.reset();
    m_running = false;
    if (mayCallBack())
        m_callback->OnStopBinding(m_result, utf16OrNull(m_error));
    return m_result;
}

void Binding::start(QNetworkAccessManager &network, QNetworkRequest request) {
    m_reply = network.get(request);
    m_reply->setReadBufferSize(ReadBufferSize);
    QNetworkReply *reply = m_reply;
    QObject::connect(reply, &QNetworkReply::redirected, reply,
                     [this](const QUrl &target) { onRedirected(target); });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [this] { onMetaData(); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [this] { onReadyRead(); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this] { onFinished(); });
    // Should the network manager go first, its replies go with it and never finish.
    QObject::connect(reply, &QObject::destroyed, &m_throttle, [this] {
        if (!m_replyDone) {
            m_replyDone = true;
            fail(INET_E_DOWNLOAD_FAILURE, u"The network session was closed."_s);
        }
    });

    report(BINDSTATUS_CONNECTING, request.url().host());
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
    }
}

void Binding::fail(HResult code, const QString &text) {
    if (m_result != S_OK)
        return;
    m_result = code;
    m_error = text;
    m_file.reset();
    m_reports.clear();
    m_progressDue = false;
    if (m_reply && !m_reply->isFinished())
        m_reply->abort();
    wake();
}

void Binding::onRedirected(const QUrl &target) {
    if (!MayFollowRedirect(target, m_redirects++)) {
        fail(INET_E_REDIRECT_FAILED, u"Refused a redirect to %1"_s.arg(target.toString()));
        return;
    }
    m_address = target.toString();
    m_headersSeen = false;
    report(BINDSTATUS_REDIRECTING, m_address);
    Q_EMIT m_reply->redirectAllowed();
}

void Binding::onMetaData() {
    // Once more now that the answer is there: Qt hands the limit to the reply of its
    // network thread, and one set before that reply existed can be lost, leaving the
    // socket read without limit.
    m_reply->setReadBufferSize(ReadBufferSize);
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        const HResult code =
            status == 404 || status == 410 ? INET_E_OBJECT_NOT_FOUND : INET_E_DOWNLOAD_FAILURE;
        fail(code, u"HTTP status %1"_s.arg(status));
        return;
    }
    if (status / 100 != 2 || m_headersSeen)
        return; // a redirect, followed through redirected(), or a failure found at the end
    m_headersSeen = true;
    // 206 to a request without a range, 204, 205 and the like: not the file.
    if (status != 200) {
        fail(INET_E_DOWNLOAD_FAILURE, u"HTTP status %1 is not the whole file"_s.arg(status));
        return;
    }
    std::optional<ContentDecoder> decoder =
        ContentDecoder::forEncoding(m_reply->rawHeader("Content-Encoding"));
    if (!decoder) {
        fail(INET_E_DOWNLOAD_FAILURE, u"Unknown Content-Encoding %1"_s.arg(QString::fromLatin1(
                                          m_reply->rawHeader("Content-Encoding"))));
        return;
    }
    m_decoder = std::move(decoder);

    m_expected = ExpectedBodyLength(*m_reply);
    const QByteArray mediaType = ParseContentType(m_reply->rawHeader("Content-Type")).mediaType;
    if (!mediaType.isEmpty())
        report(BINDSTATUS_MIMETYPEAVAILABLE, QString::fromLatin1(mediaType));
    m_sniffPending = mediaType.isEmpty();
}

void Binding::onReadyRead(bool finished) {
    // While the disk is behind, what arrives stays in Qt's bounded buffer, and Qt stops
    // reading the socket; the writer's next report reads on. The last bytes are taken at
    // once, so nothing of the body depends on the reply living on.
    if (!m_file || !m_reply || (!finished && m_file->queued() >= MaxQueuedBytes))
        return;
    QByteArray data = m_reply->readAll();
    if (data.isEmpty() || !m_decoder)
        return;
    m_receivedAsSent += data.size();
    if (!m_decoder->isPassThrough()) {
        QByteArray decoded;
        if (!m_decoder->decode(data, decoded)) {
            fail(INET_E_DOWNLOAD_FAILURE, u"The compressed body is damaged"_s);
            return;
        }
        data = std::move(decoded);
        if (data.isEmpty())
            return;
    }
    // No Content-Type: the first bytes tell a page from a file, as a browser sniffs them,
    // before any of them is kept.
    if (std::exchange(m_sniffPending, false) && SniffsAsHtml(data))
        report(BINDSTATUS_MIMETYPEAVAILABLE, u"text/html"_s);
    m_file->write(data);
    if (m_file->failed()) {
        failWriting();
        return;
    }
    const bool first = m_received == 0;
    m_received += data.size();
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
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (m_reply->error() != QNetworkReply::NoError)
            fail(fromNetworkError(m_reply->error()), m_reply->errorString());
        else if (status / 100 != 2)
            fail(INET_E_DOWNLOAD_FAILURE, u"HTTP status %1"_s.arg(status));
        else
            onReadyRead(true);
    }
    wake();
}

// The body is in: report its end, then put it under the target name unless a handler of
// that report aborted.
void Binding::finish() {
    if (m_result != S_OK)
        return;
    if (m_reply && IsShortBody(*m_reply, m_receivedAsSent)) {
        fail(INET_E_DOWNLOAD_FAILURE, u"The body ended after %1 bytes, before its announced "
                                      "length"_s.arg(m_receivedAsSent));
        return;
    }
    if (m_decoder && !m_decoder->isComplete()) {
        fail(INET_E_DOWNLOAD_FAILURE, u"The compressed body ended before its end"_s);
        return;
    }
    if (m_received == 0)
        report(BINDSTATUS_BEGINDOWNLOADDATA, m_address);
    m_progressDue = false;
    report(BINDSTATUS_ENDDOWNLOADDATA, m_address);
    deliverReports();
    if (m_result == S_OK && !m_file->commit())
        failWriting();
}

} // namespace

DownloadService::DownloadService(QNetworkAccessManager *network)
    : m_network(network) {}

HResult DownloadService::URLDownloadToFile(QObject *caller, const QString &url,
                                           const QString &fileName, quint32 reserved,
                                           IBindStatusCallback *callback,
                                           const QUrl &fromPage) const {
    Q_UNUSED(reserved);
    const QUrl address(url);
    if (!address.isValid() || address.host().isEmpty())
        return IsWebScheme(address) || address.scheme().isEmpty() ? INET_E_INVALID_URL
                                                                  : INET_E_UNKNOWN_PROTOCOL;
    if (!IsWebScheme(address))
        return INET_E_UNKNOWN_PROTOCOL;
    if (!m_network)
        return E_FAIL;

    QNetworkRequest request = WebRequest(address, RequestKind::File,
                                         std::chrono::milliseconds(m_transferTimeoutMs), fromPage);

    // Everything below lives in the binding: a handler may destroy this service's owner
    // while the call is pending.
    QNetworkAccessManager &network = *m_network;
    const CountedRef<Binding> binding(new Binding(caller, callback, address));
    if (!binding->open(fileName, m_diskWait))
        return E_ACCESSDENIED;
    return binding->run(network, std::move(request));
}

} // namespace quillmere
