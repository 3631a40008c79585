#include "net/http_reply.h"

#include "net/content_coding.h"
#include "net/curl_handles.h"
#include "net/network_session.h"
#include "net/server_certificate.h"

#include <QNetworkProxy>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

// A header section longer than a browser takes is an answer that never ends its headers.
constexpr qint64 MaxHeaderBytes = 256 * 1024;
// What libcurl reads from the socket at once: larger than its default, fewer calls.
constexpr long ReceiveBufferBytes = 128 * 1024;

// The server's certificate was checked and not trusted: the user can act on that one.
bool isUntrustedCertificate(CURLcode code) {
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

bool isTls(CURLcode code) {
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

NetworkError errorFor(CURLcode code, const QString &message) {
    if (isUntrustedCertificate(code))
        return NetworkError::Certificate;
    if (isTls(code))
        return NetworkError::Tls;
    switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return NetworkError::BadAddress;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return NetworkError::CouldNotResolve;
    case CURLE_COULDNT_CONNECT:
        return NetworkError::CouldNotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return NetworkError::TimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
        return NetworkError::CutShort;
    case CURLE_RECV_ERROR:
        // libcurl says which: a chunk that is no chunk, headers past its own limit, or
        // the connection failing under it.
        if (message.contains(u"chunk"_s, Qt::CaseInsensitive))
            return NetworkError::GarbledFraming;
        if (message.contains(u"header"_s, Qt::CaseInsensitive))
            return NetworkError::HeaderTooLarge;
        return NetworkError::CutShort;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return NetworkError::GarbledFraming;
    case CURLE_BAD_CONTENT_ENCODING:
        return NetworkError::BadContentCoding;
    case CURLE_TOO_MANY_REDIRECTS:
        return NetworkError::TooManyRedirects;
    case CURLE_FILESIZE_EXCEEDED:
        return NetworkError::TooLarge;
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
        return NetworkError::Aborted;
    default:
        return NetworkError::Other;
    }
}

// The session's proxy for this address: by default the one the system names, the
// environment on Linux, the system's settings on Windows. An empty proxy keeps libcurl
// from reading the environment itself.
// True when the exchange goes through a proxy.
bool useProxy(CURL *handle, const QNetworkProxy &proxy) {
    QByteArray address;
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
        address = "http://";
        break;
    case QNetworkProxy::Socks5Proxy:
        address = "socks5h://";
        break;
    default:
        break;
    }
    if (!address.isEmpty()) {
        QUrl host;
        host.setHost(proxy.hostName());
        address +=
            host.toEncoded(QUrl::RemoveScheme).mid(2) + ':' + QByteArray::number(proxy.port());
        if (!proxy.user().isEmpty()) {
            curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy.user().toUtf8().constData());
            curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy.password().toUtf8().constData());
        }
    }
    curl_easy_setopt(handle, CURLOPT_PROXY, address.constData());
    // The proxy is chosen already, no_proxy included: libcurl is not to read it again.
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
    return !address.isEmpty();
}

} // namespace

HttpReply::HttpReply(NetworkSession &session, const HttpRequest &request)
    : m_session(&session)
    , m_easy(std::make_unique<Easy>())
    , m_url(request.url)
    , m_maxBodyBytes(request.maxBodyBytes) {
    m_noData.setSingleShot(true);
    m_noData.setInterval(request.noDataTimeout);
    connect(&m_noData, &QTimer::timeout, this, [this] {
        fail(NetworkError::TimedOut,
             u"No data for %1 s."_s.arg(double(m_noData.interval()) / 1000.0));
    });
    if (!IsWebAddress(m_url)) {
        fail(NetworkError::BadAddress, u"Not an http or https address with a host."_s);
        return;
    }

    m_easy->handle.reset(curl_easy_init());
    CURL *handle = m_easy->handle.get();
    if (!handle) {
        fail(NetworkError::Other, u"libcurl could not make a handle."_s);
        return;
    }
    curl_easy_setopt(handle, CURLOPT_URL, m_url.toEncoded().constData());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, m_easy->error);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SHARE, session.m_curl->share.get());
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, ""); // the cookie engine, on the share's jar
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    // A proxy's "200 Connection established" is not the answer.
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    UseSystemTrust(handle);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &HttpReply::onConnected);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, this);
    for (const auto &[name, value] : request.headers) {
        const QByteArray line = name + ": " + value;
        curl_slist *grown = curl_slist_append(m_easy->headers.get(), line.constData());
        if (grown) {
            (void)m_easy->headers.release();
            m_easy->headers.reset(grown);
        }
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, m_easy->headers.get());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HttpReply::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpReply::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    m_viaProxy = useProxy(handle, session.proxyFor(m_url));

    session.add(*this);
    restartNoDataTimer();
}

HttpReply::~HttpReply() {
    if (m_session)
        m_session->remove(*this);
}

QByteArray HttpReply::header(QByteArrayView name) const {
    QByteArray value;
    for (const auto &[key, text] : m_headers) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (!value.isEmpty())
            value += ", ";
        value += text;
    }
    return value;
}

int HttpReply::onConnected(void *self, char *, char *, int, int) {
    auto *reply = static_cast<HttpReply *>(self);
    const QString untrusted = UntrustedServerCertificate(reply->m_easy->handle.get(), reply->m_url);
    if (untrusted.isEmpty())
        return CURL_PREREQFUNC_OK;
    const bool wasInside = std::exchange(reply->m_insideCurl, true);
    reply->fail(NetworkError::Certificate, untrusted);
    reply->m_insideCurl = wasInside;
    return CURL_PREREQFUNC_ABORT;
}

size_t HttpReply::onHeader(char *data, size_t size, size_t count, void *self) {
    auto *reply = static_cast<HttpReply *>(self);
    const QByteArrayView line(data, qsizetype(size * count));
    const bool wasInside = std::exchange(reply->m_insideCurl, true);
    reply->headerLine(line);
    reply->m_insideCurl = wasInside;
    return reply->m_result ? 0 : line.size();
}

void HttpReply::headerLine(QByteArrayView line) {
    m_headerBytes += line.size();
    if (m_headerBytes > MaxHeaderBytes) {
        fail(NetworkError::HeaderTooLarge,
             u"The answer's headers went on past %1 KiB."_s.arg(MaxHeaderBytes / 1024));
        return;
    }
    restartNoDataTimer();
    if (line.startsWith("HTTP/")) {
        // A new answer: the first, or the one after an interim 1xx.
        const qsizetype blank = line.indexOf(' ');
        const QByteArrayView code = blank < 0 ? QByteArrayView() : line.sliced(blank + 1);
        m_status = code.first(std::min<qsizetype>(3, code.size())).toInt();
        m_headers.clear();
        m_headersComplete = false;
        return;
    }
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty()) {
        // The end of an interim answer's headers, or of the trailers after a chunked body.
        if ((m_status >= 100 && m_status < 200) || m_headersComplete)
            return;
        m_headersComplete = true;
        std::optional<ContentDecoder> decoder =
            ContentDecoder::forEncoding(header("Content-Encoding"));
        if (!decoder) {
            fail(NetworkError::BadContentCoding,
                 u"The answer is in a coding that was not asked for (%1)."_s.arg(
                     QString::fromLatin1(header("Content-Encoding"))));
            return;
        }
        m_decoder = std::make_unique<ContentDecoder>(std::move(*decoder));
        const qint64 expected =
            ExpectedBodyLength(header("Content-Length"), header("Content-Encoding"));
        if (m_maxBodyBytes >= 0 && expected > m_maxBodyBytes) {
            fail(NetworkError::TooLarge,
                 u"The answer announces %1 bytes, more than %2."_s.arg(expected).arg(
                     m_maxBodyBytes));
            return;
        }
        m_headersDue = true;
        post();
        return;
    }
    if (m_headersComplete)
        return; // a trailer: nothing we read
    if (line.startsWith(' ') || line.startsWith('\t')) {
        if (!m_headers.isEmpty())
            m_headers.last().second += ' ' + text.toByteArray();
        return;
    }
    const qsizetype colon = text.indexOf(':');
    if (colon <= 0)
        return;
    const QByteArray name = text.first(colon).trimmed().toByteArray();
    m_headers.append({name, text.sliced(colon + 1).trimmed().toByteArray()});
    if (name.compare("Set-Cookie", Qt::CaseInsensitive) == 0 && m_session)
        m_session->noteCookieHeader();
}

size_t HttpReply::onBody(char *data, size_t size, size_t count, void *self) {
    auto *reply = static_cast<HttpReply *>(self);
    const bool wasInside = std::exchange(reply->m_insideCurl, true);
    const size_t taken = reply->body(QByteArrayView(data, qsizetype(size * count)));
    reply->m_insideCurl = wasInside;
    return taken;
}

size_t HttpReply::body(QByteArrayView piece) {
    if (m_result)
        return 0;
    if (!m_raw.isEmpty() || m_buffer.size() >= m_bufferLimit) {
        // libcurl keeps the piece and hands it over again once we resume.
        m_paused = true;
        m_noData.stop();
        return CURL_WRITEFUNC_PAUSE;
    }
    m_receivedAsSent += piece.size();
    restartNoDataTimer();
    if (!m_decoder || m_decoder->isPassThrough()) {
        // Straight into the buffer: one copy, and libcurl's pieces are small.
        m_buffer.append(piece);
        if (!counted(piece.size()))
            return 0;
    } else {
        m_raw = piece.toByteArray();
        if (!decodeSome())
            return 0;
    }
    announce();
    return size_t(piece.size());
}

bool HttpReply::counted(qint64 decoded) {
    m_decodedTotal += decoded;
    if (m_maxBodyBytes >= 0 && m_decodedTotal > m_maxBodyBytes) {
        fail(NetworkError::TooLarge, u"The body goes on past %1 bytes."_s.arg(m_maxBodyBytes));
        return false;
    }
    return true;
}

void HttpReply::announce() {
    if (!m_buffer.isEmpty()) {
        m_readyReadDue = true;
        post();
    }
}

// Only a compressed body waits undecoded in m_raw.
bool HttpReply::decodeSome() {
    while (!m_raw.isEmpty() && m_buffer.size() < m_bufferLimit) {
        const qsizetype before = m_buffer.size();
        const qsizetype used = m_decoder->decode(m_raw, m_buffer, m_bufferLimit - before);
        if (used < 0) {
            fail(NetworkError::BadContentCoding, u"The compressed body is damaged."_s);
            return false;
        }
        m_raw.remove(0, used);
        if (!counted(m_buffer.size() - before))
            return false;
        if (used == 0 && m_buffer.size() == before)
            break;
    }
    return true;
}

QByteArray HttpReply::read(qint64 maxSize) {
    QByteArray out;
    if (maxSize >= m_buffer.size()) {
        out = std::exchange(m_buffer, QByteArray());
    } else if (maxSize > 0) {
        out = m_buffer.first(maxSize);
        m_buffer.remove(0, maxSize);
    }
    if (m_result)
        return out;
    if (!m_raw.isEmpty()) {
        if (!decodeSome())
            return out;
        announce();
    }
    if (m_transferDone && !m_finished && m_raw.isEmpty())
        settle();
    resumeIfRoom();
    return out;
}

void HttpReply::resumeIfRoom() {
    if (!m_paused || m_transferDone || m_result || !m_raw.isEmpty() ||
        m_buffer.size() >= m_bufferLimit)
        return;
    m_paused = false;
    restartNoDataTimer();
    // libcurl hands over what it kept at once, from inside this call.
    const bool wasInside = std::exchange(m_insideCurl, true);
    curl_easy_pause(m_easy->handle.get(), CURLPAUSE_CONT);
    m_insideCurl = wasInside;
    if (m_result && !m_finished)
        finalize();
}

void HttpReply::transferDone(int curlCode) {
    m_transferDone = true;
    m_noData.stop();
    if (m_result || m_finished) {
        finalize();
        return;
    }
    const auto code = CURLcode(curlCode);
    if (code != CURLE_OK) {
        const QString message = m_easy->error[0] ? QString::fromUtf8(m_easy->error)
                                                 : QString::fromUtf8(curl_easy_strerror(code));
        NetworkError kind = errorFor(code, message);
        // Through a proxy, the only host libcurl connects to is the proxy.
        if (code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_PROXY ||
            (m_viaProxy && kind == NetworkError::CouldNotConnect))
            kind = NetworkError::Proxy;
        fail(kind, message);
        return;
    }
    if (m_raw.isEmpty())
        settle();
}

void HttpReply::settle() {
    // libcurl checks the framing, a body that stops short of its Content-Length included;
    // what it cannot see is a compressed stream that stops short of its own end.
    if (m_decoder && m_receivedAsSent > 0 && !m_decoder->isComplete()) {
        fail(NetworkError::BadContentCoding, u"The compressed body ended before its end."_s);
        return;
    }
    finalize();
}

void HttpReply::fail(NetworkError kind, const QString &reason, int httpStatus) {
    if (m_finished || m_result)
        return;
    m_result = {kind, httpStatus, reason};
    m_raw.clear();
    m_buffer.clear();
    m_noData.stop();
    // Inside libcurl the exchange cannot be taken off the multi handle: the callback's
    // answer ends it, and the end is made from the event loop.
    if (m_insideCurl)
        post();
    else
        finalize();
}

void HttpReply::abort(NetworkError kind, const QString &reason) {
    fail(kind, reason.isEmpty() ? u"The exchange was aborted."_s : reason);
}

void HttpReply::finalize() {
    if (m_finished)
        return;
    if (m_session && !m_insideCurl)
        m_session->remove(*this);
    m_transferDone = true;
    m_finished = true;
    m_noData.stop();
    m_finishedDue = true;
    post();
}

void HttpReply::detach() {
    abort(NetworkError::Aborted, u"The network session was closed."_s);
    if (m_easy->handle)
        curl_easy_setopt(m_easy->handle.get(), CURLOPT_SHARE, nullptr);
    m_session = nullptr;
}

void HttpReply::restartNoDataTimer() {
    if (m_noData.interval() > 0 && !m_result && !m_transferDone)
        m_noData.start();
}

void HttpReply::post() {
    if (std::exchange(m_posted, true))
        return;
    QMetaObject::invokeMethod(this, &HttpReply::deliver, Qt::QueuedConnection);
}

void HttpReply::deliver() {
    m_posted = false;
    if (m_result && !m_finished)
        finalize();
    const QPointer<HttpReply> alive(this);
    if (!m_result && std::exchange(m_headersDue, false)) {
        Q_EMIT headersReceived();
        if (!alive)
            return;
    }
    if (!m_result && std::exchange(m_readyReadDue, false) && !m_buffer.isEmpty()) {
        Q_EMIT readyRead();
        if (!alive)
            return;
    }
    if (m_finished && !m_posted && std::exchange(m_finishedDue, false))
        Q_EMIT finished();
}

} // namespace quillmere
