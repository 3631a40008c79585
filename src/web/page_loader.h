#pragma once

// A web page loader that is never shown: it fetches one top-level HTML document, parses it
// as a browser would (no frames, images, scripts or styles) and reports the outcome as
// events from the event loop. The main window keeps three of them.

#include "net/http_reply.h"
#include "net/request_rules.h"
#include "web/charset.h"
#include "web/html_document.h"

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <memory>

namespace quillmere {

class NetworkSession;

class PageLoader : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Silent READ Silent WRITE setSilent)
public:
    static constexpr qint64 MaxPageBytes = quillmere::MaxPageBytes;
    // Where every loader starts: an http address without a host, which fails.
    static inline const QString InitialAddress = QStringLiteral("http:///");

    // Starts loading InitialAddress at once, as the window's design asks.
    explicit PageLoader(NetworkSession *network, QObject *parent = nullptr);
    ~PageLoader() override;

    // We never show dialogs of our own; the flag is kept for those who ask.
    bool Silent() const { return m_silent; }
    void setSilent(bool silent) { m_silent = silent; }

    // Abandons whatever is loading and starts loading `address`. Returns at once; the
    // outcome arrives later as DocumentComplete or NavigateError.
    void Navigate(const QString &address);
    void Navigate2(const QString &address) { Navigate(address); }
    // Abandons the load in progress: no event of it arrives afterwards.
    void Stop();

    // The document of the last completed navigation; never null.
    const HtmlDocument *Document() const { return m_document.get(); }

    // How long a load may go without receiving data before it fails.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    // How long a load may take in all before it fails; two minutes unless set.
    void setLoadTimeLimit(std::chrono::milliseconds limit) { m_loadTimeLimit = limit; }

Q_SIGNALS:
    // `URL` is the final address: the address as given, completed with "http://" when it
    // had no scheme, or where the server redirected it.
    void DocumentComplete(const QString &URL);
    // Set *Cancel to keep the loader from going on to an error page of its own.
    void NavigateError(const QString &URL, bool *Cancel);

public:
    // Why the last navigation failed, for those who ask; empty after a success.
    const NetworkFailure &lastFailure() const { return m_failure; }

private:
    void abandon();
    void dropReply();
    void fail(quint64 navigation, NetworkFailure failure);
    void failLater(quint64 navigation, NetworkFailure failure);
    void startHttp(const QUrl &url, int redirects = 0);
    void startFile(const QString &path);
    void readHeaders();
    void finishHttp(int redirects);
    void parseLater(Utf8PageDecoder page, QByteArray contentType, QUrl url);
    void deliver(QFuture<std::shared_ptr<const HtmlDocument>> work);
    void complete(quint64 navigation, std::shared_ptr<const HtmlDocument> document);
    static void retire(std::shared_ptr<const HtmlDocument> document);

    NetworkSession *m_network;
    std::unique_ptr<HttpReply> m_reply;
    Utf8PageDecoder m_page; // what has come of the page so far
    QString m_address;      // what the events of the current navigation report
    quint64 m_navigation = 0;
    std::shared_ptr<const HtmlDocument> m_document;
    std::chrono::milliseconds m_stallTimeout = NoDataTimeout;
    std::chrono::milliseconds m_loadTimeLimit = std::chrono::minutes(2);
    QTimer m_loadTimer;
    bool m_silent = false;
    NetworkFailure m_failure;
};

} // namespace quillmere
