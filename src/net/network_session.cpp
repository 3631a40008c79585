#include "net/network_session.h"

#include "net/cookie_file.h"
#include "net/cookie_store.h"
#include "net/curl_handles.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkProxyFactory>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace quillmere {

void InitialiseNetwork() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What libcurl watches on one socket.
struct NetworkSession::Socket {
    std::unique_ptr<QSocketNotifier, DeferredDelete> read;
    std::unique_ptr<QSocketNotifier, DeferredDelete> write;
};

NetworkSession::NetworkSession(QObject *parent)
    : QObject(parent)
    , m_curl(std::make_unique<Curl>())
    , m_cookies(nullptr) {
    InitialiseNetwork();
    m_curl->multi.reset(curl_multi_init());
    m_curl->share.reset(curl_share_init());
    m_curl->cookieHandle.reset(curl_easy_init());
    Q_CHECK_PTR(m_curl->multi.get());
    Q_CHECK_PTR(m_curl->share.get());
    Q_CHECK_PTR(m_curl->cookieHandle.get());

    // Everything runs on this thread, so the share needs no locks.
    CURLSH *share = m_curl->share.get();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    // The jar is read and filled through a handle of its own that never transfers.
    curl_easy_setopt(m_curl->cookieHandle.get(), CURLOPT_SHARE, share);
    curl_easy_setopt(m_curl->cookieHandle.get(), CURLOPT_COOKIEFILE, "");

    CURLM *multi = m_curl->multi.get();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Curl::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Curl::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });

    m_cookies = new CookieStore(*this, this);
}

NetworkSession::~NetworkSession() {
    // Replies outliving the session fail; theirs is the easy handle they free.
    const QList<HttpReply *> replies = m_curl->replies;
    for (HttpReply *reply : replies)
        reply->detach();
    delete m_cookies;
    m_cookies = nullptr;
    m_curl->cookieHandle.reset();
    m_curl->multi.reset();
    m_curl->share.reset();
    qDeleteAll(std::exchange(m_curl->sockets, {}));
}

std::unique_ptr<HttpReply> NetworkSession::get(const HttpRequest &request) {
    std::unique_ptr<HttpReply> reply(new HttpReply(*this, request));
    return reply;
}

void NetworkSession::add(HttpReply &reply) {
    m_curl->replies.append(&reply);
    curl_multi_add_handle(m_curl->multi.get(), reply.m_easy->handle.get());
    // Under way at once rather than at the timer's turn: on a kept connection the request
    // is sent before the caller goes on to its own preparations (a transfer creates its
    // file meanwhile).
    act(CURL_SOCKET_TIMEOUT, 0);
}

void NetworkSession::remove(HttpReply &reply) {
    if (m_curl->replies.removeOne(&reply))
        curl_multi_remove_handle(m_curl->multi.get(), reply.m_easy->handle.get());
}

int NetworkSession::Curl::onSocket(CURL *, curl_socket_t socket, int what, void *self,
                                   void *socketData) {
    auto *session = static_cast<NetworkSession *>(self);
    auto *watched = static_cast<Socket *>(socketData);
    if (what == CURL_POLL_REMOVE) {
        // Notifiers may be the very ones whose signal is running: they go from the loop.
        session->m_curl->sockets.removeOne(watched);
        delete watched;
        return 0;
    }
    if (!watched) {
        watched = new Socket;
        session->m_curl->sockets.append(watched);
        curl_multi_assign(session->m_curl->multi.get(), socket, watched);
    }
    const auto watch = [&](std::unique_ptr<QSocketNotifier, DeferredDelete> &notifier,
                           QSocketNotifier::Type type, bool wanted, int event) {
        if (!wanted) {
            if (notifier)
                notifier->setEnabled(false);
            return;
        }
        if (!notifier) {
            // A child as well: one whose deferred deletion never came goes with the session.
            notifier.reset(new QSocketNotifier(qintptr(socket), type, session));
            QObject::connect(notifier.get(), &QSocketNotifier::activated, session,
                             [session, socket, event] { session->act(qintptr(socket), event); });
        }
        notifier->setEnabled(true);
    };
    watch(watched->read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT,
          CURL_CSELECT_IN);
    watch(watched->write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT,
          CURL_CSELECT_OUT);
    return 0;
}

int NetworkSession::Curl::onTimer(CURLM *, long timeoutMs, void *self) {
    auto *session = static_cast<NetworkSession *>(self);
    // Never act from inside libcurl: even a time-out due now waits for the loop.
    if (timeoutMs < 0)
        session->m_timer.stop();
    else
        session->m_timer.start(int(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void NetworkSession::act(qintptr socket, int events) {
    int running = 0;
    curl_multi_socket_action(m_curl->multi.get(), curl_socket_t(socket), events, &running);
    collectDone();
}

void NetworkSession::actOnReadySockets() {
#ifdef Q_OS_WIN
    using PollEntry = WSAPOLLFD;
#else
    using PollEntry = pollfd;
#endif
    std::vector<PollEntry> entries;
    for (const Socket *watched : std::as_const(m_curl->sockets)) {
        PollEntry entry{};
        short events = 0;
        if (watched->read && watched->read->isEnabled()) {
            entry.fd = decltype(entry.fd)(watched->read->socket());
            events |= POLLIN;
        }
        if (watched->write && watched->write->isEnabled()) {
            entry.fd = decltype(entry.fd)(watched->write->socket());
            events |= POLLOUT;
        }
        if (events == 0)
            continue;
        entry.events = events;
        entries.push_back(entry);
    }
    if (entries.empty())
        return;
#ifdef Q_OS_WIN
    const int ready = WSAPoll(entries.data(), ULONG(entries.size()), 0);
#else
    const int ready = ::poll(entries.data(), nfds_t(entries.size()), 0);
#endif
    if (ready <= 0)
        return;
    for (const PollEntry &entry : entries) {
        int events = 0;
        if (entry.revents & (POLLIN | POLLHUP | POLLERR))
            events |= CURL_CSELECT_IN;
        if (entry.revents & (POLLOUT | POLLERR))
            events |= CURL_CSELECT_OUT;
        if (events != 0)
            act(qintptr(entry.fd), events);
    }
}

void NetworkSession::collectDone() {
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_curl->multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        HttpReply *reply = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &reply);
        const CURLcode code = message->data.result;
        if (reply && m_curl->replies.contains(reply)) {
            remove(*reply);
            reply->transferDone(code);
        }
    }
}

void NetworkSession::noteCookieHeader() {
    if (std::exchange(m_cookieSignalPosted, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_cookieSignalPosted = false;
            Q_EMIT cookiesReceived();
        },
        Qt::QueuedConnection);
}

QNetworkProxy NetworkSession::proxyFor(const QUrl &url) const {
    if (m_proxy.type() != QNetworkProxy::DefaultProxy)
        return m_proxy;
    const QString origin = url.scheme() + u'|' + url.host() + u'|' + QString::number(url.port());
    auto known = m_systemProxies.find(origin);
    if (known != m_systemProxies.end() && !known->second.hasExpired())
        return known->first;
    if (m_systemProxies.size() > 64)
        m_systemProxies.clear();
    const QNetworkProxy proxy =
        QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url)).value(0);
    m_systemProxies.insert(origin, {proxy, QDeadlineTimer(std::chrono::seconds(10))});
    return proxy;
}

namespace {

// libcurl keeps a cookie's Path as the server wrote it and matches with a cleaned copy:
// quotes dropped, and "/" for one that does not start with "/". The file gets the copy.
QByteArrayView cleanPath(QByteArrayView path) {
    if (path.startsWith('"'))
        path = path.sliced(1);
    if (path.endsWith('"'))
        path.chop(1);
    return path.startsWith('/') ? path : QByteArrayView("/");
}

// The path field of a line of seven fields, or nothing: comments have fewer.
std::optional<std::pair<qsizetype, qsizetype>> pathField(QByteArrayView line) {
    qsizetype tabs[6];
    qsizetype found = 0;
    for (qsizetype at = line.indexOf('\t'); at >= 0; at = line.indexOf('\t', at + 1)) {
        if (found == 6)
            return std::nullopt;
        tabs[found++] = at;
    }
    if (found != 6)
        return std::nullopt;
    return std::pair{tabs[1] + 1, tabs[2]};
}

// Nearly every path is clean already: the jar's text is copied only when one is not, and
// then only the paths change.
QByteArray withCleanPaths(QByteArray lines) {
    QByteArray clean;
    qsizetype copied = 0; // how much of `lines` is in `clean`
    for (qsizetype start = 0; start < lines.size();) {
        qsizetype end = lines.indexOf('\n', start);
        if (end < 0)
            end = lines.size();
        const QByteArrayView line = QByteArrayView(lines).sliced(start, end - start);
        if (const auto field = pathField(line)) {
            const QByteArrayView path = line.sliced(field->first, field->second - field->first);
            const QByteArrayView cleaned = cleanPath(path);
            if (cleaned != path) {
                if (copied == 0)
                    clean.reserve(lines.size() + 1);
                clean.append(QByteArrayView(lines).sliced(copied, start + field->first - copied));
                clean.append(cleaned);
                copied = start + field->second;
            }
        }
        start = end + 1;
    }
    if (copied == 0)
        return lines;
    clean.append(QByteArrayView(lines).sliced(copied));
    return clean;
}

} // namespace

QList<QNetworkCookie> NetworkSession::cookies() const {
    // libcurl's own writer, into a private folder: CURLINFO_COOKIELIST builds its list in
    // time that grows with the square of the jar, a second for a large store.
    CURL *handle = m_curl->cookieHandle.get();
    QByteArray lines;
    bool flushed = false;
    if (!m_curl->jarFolder)
        m_curl->jarFolder = std::make_unique<QTemporaryDir>();
    if (m_curl->jarFolder->isValid()) {
        const QString path = m_curl->jarFolder->filePath(QStringLiteral("jar.txt"));
        curl_easy_setopt(handle, CURLOPT_COOKIEJAR, QFile::encodeName(path).constData());
        curl_easy_setopt(handle, CURLOPT_COOKIELIST, "FLUSH");
        curl_easy_setopt(handle, CURLOPT_COOKIEJAR, nullptr);
        QFile jar(path);
        flushed = jar.open(QIODevice::ReadOnly);
        lines = jar.readAll();
        jar.remove();
    }
    // A folder libcurl could not write to (a name outside its code page): the slow way.
    if (!flushed) {
        curl_slist *list = nullptr;
        curl_easy_getinfo(handle, CURLINFO_COOKIELIST, &list);
        for (const curl_slist *line = list; line; line = line->next)
            lines.append(line->data).append('\n');
        curl_slist_free_all(list);
    }
    return ParseCookieFile(withCleanPaths(std::move(lines)), QDateTime::currentDateTimeUtc())
        .cookies;
}

void NetworkSession::addCookies(const QList<QNetworkCookie> &cookies) {
    // As the lines of a cookies.txt: libcurl reads them as it reads such a file. Those with
    // an expiry first: a jar of session cookies alone is searched whole for expired ones
    // at every addition.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    CURL *handle = m_curl->cookieHandle.get();
    for (const bool session : {false, true}) {
        for (const QNetworkCookie &cookie : cookies) {
            if (cookie.isSessionCookie() != session)
                continue;
            const QByteArray line = FormatCookieLine(cookie, now);
            if (!line.isEmpty())
                curl_easy_setopt(handle, CURLOPT_COOKIELIST, line.constData());
        }
    }
}

} // namespace quillmere
