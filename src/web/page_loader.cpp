#include "web/page_loader.h"

#include "files/file_io.h"
#include "net/network_session.h"
#include "net/request_rules.h"
#include "web/charset.h"

#include <QFutureWatcher>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString AboutBlank = u"about:blank"_s;

// Anything that does not say otherwise is taken for HTML, as browsers sniff it.
bool isHtml(const QByteArray &contentType) {
    const QByteArray type = ParseContentType(contentType).mediaType;
    return type.isEmpty() || IsPageType(type);
}

std::shared_ptr<const HtmlDocument> buildDocument(Utf8PageDecoder page,
                                                  const QByteArray &contentType, const QUrl &url) {
    if (!isHtml(contentType))
        return HtmlDocument::empty(url);
    return HtmlDocument::parseUtf8(std::move(page).finish().text, url);
}

// What a browser's address bar makes of a typed address: one without a scheme is an
// http address ("www.example.org/t.html", "localhost:8080/t.html").
QString completeAddress(const QString &typed) {
    static const QRegularExpression scheme(uR"(^([A-Za-z][A-Za-z0-9+.\-]*):(.?))"_s);
    const auto match = scheme.match(typed);
    const bool hostAndPort =
        match.hasMatch() && match.captured(2).size() == 1 && match.captured(2).front().isDigit();
    if (match.hasMatch() && !hostAndPort)
        return typed;
    return u"http://"_s + typed;
}

} // namespace

PageLoader::PageLoader(NetworkSession *network, QObject *parent)
    : QObject(parent)
    , m_network(network)
    , m_document(HtmlDocument::empty(QUrl())) {
    // A page that trickles in never trips the no-data limit; this one ends it.
    m_loadTimer.setSingleShot(true);
    connect(&m_loadTimer, &QTimer::timeout, this, [this] {
        fail(m_navigation, {NetworkError::TimedOut, 0,
                            u"The page was still arriving after %1 s."_s.arg(
                                double(m_loadTimeLimit.count()) / 1000.0)});
    });
    Navigate(InitialAddress);
}

PageLoader::~PageLoader() {
    abandon();
}

void PageLoader::Navigate(const QString &address) {
    abandon();
    const quint64 navigation = m_navigation;
    const QString typed = address.trimmed();

    if (typed.compare(AboutBlank, Qt::CaseInsensitive) == 0) {
        m_address = AboutBlank;
        QMetaObject::invokeMethod(
            this,
            [this, navigation] {
                complete(navigation, HtmlDocument::parse(QStringView(), QUrl(AboutBlank)));
            },
            Qt::QueuedConnection);
        return;
    }

    // A path typed for a saved page ("/home/me/t.html", "C:\\t.html") opens the file.
    static const QRegularExpression drivePath(uR"(^[A-Za-z]:[\\/])"_s);
    const bool localPath =
        (typed.startsWith(u'/') && !typed.startsWith(u"//")) || drivePath.match(typed).hasMatch();
    m_address = localPath ? QUrl::fromLocalFile(typed).toString() : completeAddress(typed);
    const QUrl url(m_address, QUrl::TolerantMode);
    m_loadTimer.start(m_loadTimeLimit);
    if (IsWebAddress(url))
        startHttp(url);
    else if (url.isLocalFile())
        startFile(url.toLocalFile());
    else
        failLater(navigation, {NetworkError::BadAddress, 0, u"Not a web address or a file."_s});
}

void PageLoader::Stop() {
    abandon();
}

void PageLoader::abandon() {
    // Every event still on its way checks the navigation number and finds it stale.
    ++m_navigation;
    m_loadTimer.stop();
    dropReply();
}

void PageLoader::dropReply() {
    m_page = Utf8PageDecoder();
    m_reply.reset(); // ends its exchange; no event of it comes any more
}

void PageLoader::failLater(quint64 navigation, NetworkFailure failure) {
    QMetaObject::invokeMethod(
        this, [this, navigation, failure] { fail(navigation, failure); }, Qt::QueuedConnection);
}

void PageLoader::fail(quint64 navigation, NetworkFailure failure) {
    if (navigation != m_navigation)
        return;
    abandon();
    m_failure = std::move(failure);
    retire(std::exchange(m_document, HtmlDocument::empty(QUrl(m_address))));
    // A copy: a handler that navigates again replaces m_address while later receivers
    // still have to see this navigation's address.
    const QString address = m_address;
    bool cancel = false;
    Q_EMIT NavigateError(address, &cancel);
}

void PageLoader::complete(quint64 navigation, std::shared_ptr<const HtmlDocument> document) {
    if (navigation != m_navigation)
        return;
    ++m_navigation; // this navigation is over: nothing more of it may arrive
    m_failure = {};
    retire(std::exchange(m_document, std::move(document)));
    const QString address = m_address; // see fail()
    Q_EMIT DocumentComplete(address);
}

void PageLoader::retire(std::shared_ptr<const HtmlDocument> document) {
    // Taking a big page's tree apart takes a while too; keep it off the UI thread.
    if (document && document.use_count() == 1)
        QThreadPool::globalInstance()->start(
            [document = std::move(document)]() mutable { document.reset(); });
}

void PageLoader::startHttp(const QUrl &url, int redirects) {
    m_reply = m_network->get(WebRequest(url, RequestKind::Page, m_stallTimeout));
    // What waits to be read stays small even for an endless page while the UI thread is
    // busy elsewhere: the session pauses the network until there is room.
    m_reply->setBufferLimit(4 * 1024 * 1024);
    m_page = Utf8PageDecoder();
    HttpReply *reply = m_reply.get();
    connect(reply, &HttpReply::headersReceived, this, &PageLoader::readHeaders);
    connect(reply, &HttpReply::readyRead, this, [this, reply] { m_page.feed(reply->readAll()); });
    connect(reply, &HttpReply::finished, this, [this, redirects] { finishHttp(redirects); });
}

void PageLoader::readHeaders() {
    // The page is decoded as it comes, by what its headers say. (A redirect's body gets one
    // too, and is thrown away.)
    m_page = Utf8PageDecoder(m_reply->header("Content-Type"));
    const qint64 expected =
        ExpectedBodyLength(m_reply->header("Content-Length"), m_reply->header("Content-Encoding"));
    if (expected > 0)
        // Room for the whole page at once rather than copy after copy as it grows.
        m_page.reserve(expected);
}

void PageLoader::finishHttp(int redirects) {
    const std::unique_ptr<HttpReply> reply = std::move(m_reply);
    if (!reply)
        return;
    const quint64 navigation = m_navigation;
    if (const NetworkFailure &failure = reply->result()) {
        fail(navigation, failure);
        return;
    }
    const int status = reply->status();
    const QByteArray location = reply->header("Location");
    if (status >= 300 && status < 400 && !location.isEmpty()) {
        const QUrl target = reply->url().resolved(QUrl::fromEncoded(location));
        if (!MayFollowRedirect(target, redirects)) {
            fail(navigation, {NetworkError::TooManyRedirects, status,
                              u"Refused a redirect to %1."_s.arg(target.toString())});
            return;
        }
        m_address = QString::fromUtf8(target.toEncoded());
        startHttp(target, redirects + 1);
        return;
    }
    if (status >= 400) {
        fail(navigation, {NetworkError::HttpStatus, status, u"HTTP status %1."_s.arg(status)});
        return;
    }
    m_page.feed(reply->readAll());
    parseLater(std::exchange(m_page, Utf8PageDecoder()), reply->header("Content-Type"),
               reply->url());
}

void PageLoader::parseLater(Utf8PageDecoder page, QByteArray contentType, QUrl url) {
    // Parsing a big thread page takes a while: do it off the UI thread so the window
    // keeps painting; the result comes back as an event.
    // A lambda that moves its captures on: arguments given to run() stay referenced by the
    // task until it ends.
    deliver(QtConcurrent::run([page = std::move(page), contentType = std::move(contentType),
                               url = std::move(url)]() mutable {
        return buildDocument(std::move(page), contentType, url);
    }));
}

void PageLoader::startFile(const QString &path) {
    const QUrl url = QUrl::fromLocalFile(path);
    deliver(QtConcurrent::run([path, url]() -> std::shared_ptr<const HtmlDocument> {
        SmallFile file = ReadSmallFile(path, MaxPageBytes);
        if (file.status != ReadStatus::Read)
            return nullptr;
        QByteArray bytes = std::move(file.bytes);
        // A saved page has no Content-Type: its name and first bytes tell, and a type
        // derived from a page type (an .xhtml file, say) is a page too.
        const QMimeType mime = QMimeDatabase().mimeTypeForFileNameAndData(path, bytes);
        QStringList types = mime.allAncestors();
        types.prepend(mime.name());
        const auto page = std::find_if(types.cbegin(), types.cend(),
                                       [](const QString &type) { return IsPageType(type); });
        if (page == types.cend())
            return HtmlDocument::empty(url);
        return HtmlDocument::parseUtf8(decodeHtmlToUtf8(std::move(bytes), page->toLatin1()).text,
                                       url);
    }));
}

void PageLoader::deliver(QFuture<std::shared_ptr<const HtmlDocument>> work) {
    // A watcher rather than QFuture::then(): its result always arrives as a posted event,
    // even for work that is done before it is watched, and never once the loader is gone.
    // (then() may run inside this call, and reads the loader from the worker thread.)
    const quint64 navigation = m_navigation;
    auto *watcher = new QFutureWatcher<std::shared_ptr<const HtmlDocument>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, navigation] {
        watcher->deleteLater();
        if (std::shared_ptr<const HtmlDocument> document = watcher->result())
            complete(navigation, std::move(document));
        else
            fail(navigation, {NetworkError::Other, 0, u"The file could not be read."_s});
    });
    watcher->setFuture(std::move(work));
}

} // namespace quillmere
