#pragma once

// The rules every request of the program follows, whoever makes it: the page loaders and
// the transfers build their requests here and judge the answers here, so a page and an
// attachment from the same forum are always asked for and read alike.

#include <QAnyStringView>
#include <QByteArray>
#include <QByteArrayView>
#include <QNetworkRequest>
#include <chrono>
#include <optional>

class QNetworkReply;
class QUrl;

namespace quillmere {

// How many redirects one request may follow; the next one fails it.
inline constexpr int MaxRedirects = 20;
// How long a request may go without receiving any data before it fails.
inline constexpr std::chrono::milliseconds NoDataTimeout{60'000};

enum class RequestKind {
    // A page for the page loader, which follows redirects itself (MayFollowRedirect) so
    // that it can report every address it reaches.
    Page,
    // A file for the download service: Qt follows the redirects and asks first.
    File,
};

// A GET request as a browser on this system would send it: the browser's User-Agent,
// the redirect handling of its kind, the no-data limit, and for a link followed from a
// page, the Referer that page gives it. Cookies and the proxy are the session's
// (NetworkSession).
QNetworkRequest WebRequest(const QUrl &url, RequestKind kind,
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

// The body length the answer announces, counted in the bytes we keep: -1 when it names
// none, or when the body is compressed (Content-Length then counts other bytes). "none",
// which forums send, and "identity" keep the length.
qint64 ExpectedBodyLength(const QNetworkReply &reply);
// A body that ended before its Content-Length, counted in the bytes as they came (before
// any decoding). Qt reports such a body as complete when it does not decode it itself,
// as for the download service's requests.
bool IsShortBody(const QNetworkReply &reply, qint64 receivedAsSent);

} // namespace quillmere
