#pragma once

// The program's one network session, on libcurl: one multi handle driven by the Qt event
// loop (a socket notifier for each socket libcurl watches, one timer for its time-outs)
// and one share of the cookie jar, DNS cache and TLS sessions; the multi handle keeps the
// open connections for the next request to the same server. The page loaders, the release
// check and the transfers all ask through it, so a forum sign-in seen by one is seen by
// all, and a transfer's nested event loop runs it like any other loop. How each request
// is built and judged is in request_rules.h; the answer is an HttpReply.

#include "net/http_reply.h"
#include "net/request_rules.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkProxy>
#include <QObject>
#include <QTimer>
#include <memory>

namespace quillmere {

class CookieStore;

// libcurl's process-wide set-up: once, before any session, as main() does first thing.
// Sessions call it too, so a test needs nothing more.
void InitialiseNetwork();

class NetworkSession : public QObject {
    Q_OBJECT
public:
    explicit NetworkSession(QObject *parent = nullptr);
    ~NetworkSession() override; // ends every exchange still running

    // Starts the exchange; its events arrive from the event loop, never from inside this call.
    std::unique_ptr<HttpReply> get(const HttpRequest &request);
    // Lets libcurl act now on sockets that are ready, without waiting for the event loop's
    // turn: a caller that made the request and then spent a while on its own preparations
    // (a transfer creating its file) has the request sent before it goes on. Nothing but
    // libcurl runs; the answers' events still come from the event loop.
    void actOnReadySockets();

    // The proxy every request goes through: the one the system names for its address
    // (QNetworkProxyFactory::systemProxyForQuery) unless one is set here.
    void setProxy(const QNetworkProxy &proxy) { m_proxy = proxy; }
    QNetworkProxy proxyFor(const QUrl &url) const;

    // The jar, for the store that keeps it on disk.
    CookieStore *cookieStore() const { return m_cookies; }
    // Every cookie of the session, session cookies included.
    QList<QNetworkCookie> cookies() const;
    // Adds cookies, each replacing the one with its name, domain and path.
    void addCookies(const QList<QNetworkCookie> &cookies);

Q_SIGNALS:
    // A server has set or changed a cookie.
    void cookiesReceived();

private:
    friend class HttpReply;
    struct Curl;
    struct Socket;

    void act(qintptr socket, int events);
    void collectDone();
    void add(HttpReply &reply);
    void remove(HttpReply &reply);
    void noteCookieHeader();

    std::unique_ptr<Curl> m_curl;
    QTimer m_timer;
    CookieStore *m_cookies; // a child
    bool m_cookieSignalPosted = false;
    QNetworkProxy m_proxy{QNetworkProxy::DefaultProxy};
    // The system's answers by scheme, host and port, for a few seconds: asking costs a
    // tenth of a millisecond, once per file of a batch.
    mutable QHash<QString, std::pair<QNetworkProxy, QDeadlineTimer>> m_systemProxies;
};

} // namespace quillmere
