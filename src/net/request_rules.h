#pragma once

// The rules every request of the program follows, whoever makes it: the page loaders and
// the transfers build their requests here and judge the answers here, so a page and an
// attachment from the same forum are always asked for and read alike.

#include <QAnyStringView>
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QUrl>
#include <chrono>
#include <optional>

namespace quillmere {

// How many redirects one request may follow; the next one fails it.
inline constexpr int MaxRedirects = 20;
// How long a request may go without receiving any data before it fails.
inline constexpr std::chrono::milliseconds NoDataTimeout{60'000};

// The largest page the page loader takes, decoded; the next byte fails the load.
inline constexpr qint64 MaxPageBytes = 64 * 1024 * 1024;

// Both kinds are followed by their user, never by the session: the page loader to report
// every address it reaches, the download service to ask before each step.
enum class RequestKind {
    Page, // a page for the page loader
    File, // a file for the download service
};

// A GET request as the session sends it.
struct HttpRequest {
    QUrl url;
    RequestKind kind = RequestKind::Page;
    QList<QPair<QByteArray, QByteArray>> headers; // sent as given
    std::chrono::milliseconds noDataTimeout = NoDataTimeout;
    qint64 maxBodyBytes = -1; // decoded bytes the body may have; -1: no limit
};

// A GET request as a browser on this system would send it: the browser's User-Agent and
// Accept headers, the codings we decode ourselves (ContentDecoder), the no-data limit, a
// page's size limit, and for a link followed from a page, the Referer that page gives it.
// Cookies and the proxy are the session's (NetworkSession).
HttpRequest WebRequest(const QUrl &url, RequestKind kind,
                       std::chrono::milliseconds noDataTimeout = NoDataTimeout,
                       const QUrl &fromPage = {});
QByteArray BrowserUserAgent();

// The Referer a browser sends for a link from `page` to `target` under its default
// policy, strict-origin-when-cross-origin: the page's whole address (without fragment
// and credentials) within one origin, only its origin for another, nothing from an https
// page to an http address or from a page that is not on the web.
QByteArray RefererFor(const QUrl &page, const QUrl &target);

// http or https, with or without a host.
bool IsWebScheme(const QUrl &url);
// An address we may fetch: http or https with a host.
bool IsWebAddress(const QUrl &url);
// Whether a redirect to `target` may be followed after `followed` redirects already.
// Leaving the web for file: or anything else never is.
bool MayFollowRedirect(const QUrl &target, int followed);

// What a Content-Type header says, read the way fetch reads it, so that quoting,
// parameter order, stray white space and a header repeated by a proxy give what a
// browser would see.
struct ContentType {
    QByteArray mediaType;              // lower case, "text/html"; empty when none is valid
    std::optional<QByteArray> charset; // the charset parameter as written
};
ContentType ParseContentType(QByteArrayView header);

// A web page rather than a file: text/html or application/xhtml+xml, any letter case.
bool IsPageType(QAnyStringView mediaType);
// For an answer without Content-Type: its first bytes are an HTML page's, by the HTML
// signatures browsers sniff for (after white space, "<!DOCTYPE HTML", "<html", "<body",
// "<p", "<!--" and the like, followed by a blank or ">").
bool SniffsAsHtml(QByteArrayView head);

// The body length an answer announces, counted in the bytes we keep: -1 when it names
// none, or when the body is compressed (Content-Length then counts other bytes). "none",
// which forums send, and "identity" keep the length.
qint64 ExpectedBodyLength(QByteArrayView contentLength, QByteArrayView contentEncoding);

} // namespace quillmere
