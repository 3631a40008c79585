#include "net/request_rules.h"

#include "net/ascii.h"
#include "net/content_coding.h"

#include <QUrl>
#include <algorithm>
#include <string_view>
#include <vector>

namespace quillmere {

using namespace Qt::StringLiterals;

QByteArray BrowserUserAgent() {
    // Forums serve their full pages only to browsers they recognise.
#if defined(Q_OS_WIN)
    return QByteArrayLiteral("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                             "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36");
#else
    return QByteArrayLiteral("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
                             "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36");
#endif
}

HttpRequest WebRequest(const QUrl &url, RequestKind kind, std::chrono::milliseconds noDataTimeout,
                       const QUrl &fromPage) {
    HttpRequest request;
    request.url = url;
    request.kind = kind;
    request.noDataTimeout = noDataTimeout;
    const auto add = [&request](const char *name, const QByteArray &value) {
        request.headers.append(qMakePair(QByteArray(name), value));
    };
    add("User-Agent", BrowserUserAgent());
    switch (kind) {
    case RequestKind::Page:
        add("Accept", "text/html,application/xhtml+xml,*/*;q=0.8");
        add("Accept-Language", "zh-CN,zh;q=0.9,en;q=0.5");
        request.maxBodyBytes = MaxPageBytes;
        break;
    case RequestKind::File:
        add("Accept", "*/*");
        break;
    }
    // Decoded by us (ContentDecoder), which tells a compressed body cut short from a whole
    // one and inflates no faster than the reader reads.
    add("Accept-Encoding", AcceptedEncodings);
    if (const QByteArray referer = RefererFor(fromPage, url); !referer.isEmpty())
        add("Referer", referer);
    return request;
}

QByteArray RefererFor(const QUrl &page, const QUrl &target) {
    if (!IsWebAddress(page) || !IsWebScheme(target))
        return {};
    if (page.scheme() == u"https"_s && target.scheme() == u"http"_s)
        return {};
    const bool sameOrigin = page.scheme() == target.scheme() &&
                            page.host().compare(target.host(), Qt::CaseInsensitive) == 0 &&
                            page.port(-1) == target.port(-1);
    const QUrl::FormattingOptions strip = QUrl::RemoveUserInfo | QUrl::RemoveFragment;
    if (sameOrigin)
        return page.toEncoded(strip);
    return page.toEncoded(strip | QUrl::RemovePath | QUrl::RemoveQuery) + '/';
}

bool IsWebScheme(const QUrl &url) {
    return url.scheme() == u"http"_s || url.scheme() == u"https"_s;
}

bool IsWebAddress(const QUrl &url) {
    return IsWebScheme(url) && !url.host().isEmpty();
}

bool MayFollowRedirect(const QUrl &target, int followed) {
    return followed < MaxRedirects && IsWebAddress(target);
}

bool IsPageType(QAnyStringView mediaType) {
    return QAnyStringView::compare(mediaType, "text/html", Qt::CaseInsensitive) == 0 ||
           QAnyStringView::compare(mediaType, "application/xhtml+xml", Qt::CaseInsensitive) == 0;
}

bool SniffsAsHtml(QByteArrayView head) {
    static constexpr std::string_view Signatures[] = {"<!DOCTYPE HTML",
                                                      "<HTML",
                                                      "<HEAD",
                                                      "<SCRIPT",
                                                      "<IFRAME",
                                                      "<H1",
                                                      "<DIV",
                                                      "<FONT",
                                                      "<TABLE",
                                                      "<A",
                                                      "<STYLE",
                                                      "<TITLE",
                                                      "<B",
                                                      "<BODY",
                                                      "<BR",
                                                      "<P",
                                                      "<!--"};
    qsizetype start = 0;
    while (start < head.size() &&
           (head[start] == '\t' || head[start] == '\n' || head[start] == '\f' ||
            head[start] == '\r' || head[start] == ' '))
        ++start;
    const QByteArrayView rest = head.sliced(start);
    for (const std::string_view signature : Signatures) {
        const auto length = qsizetype(signature.size());
        if (rest.size() > length &&
            rest.first(length).compare(QByteArrayView(signature.data(), length),
                                       Qt::CaseInsensitive) == 0 &&
            (rest[length] == ' ' || rest[length] == '>'))
            return true;
    }
    return false;
}

namespace {

std::optional<qint64> contentLengthOf(QByteArrayView header) {
    bool ok = false;
    const qint64 length = header.trimmed().toLongLong(&ok);
    return ok && length >= 0 ? std::optional(length) : std::nullopt;
}

} // namespace

qint64 ExpectedBodyLength(QByteArrayView contentLength, QByteArrayView contentEncoding) {
    const QByteArray encoding = contentEncoding.trimmed().toByteArray().toLower();
    const bool inflated = encoding == "gzip" || encoding == "x-gzip" || encoding == "deflate" ||
                          encoding == "br" || encoding == "zstd";
    return inflated ? -1 : contentLengthOf(contentLength).value_or(-1);
}


namespace {

constexpr bool isHttpWhitespace(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

constexpr bool isHttpTabOrSpace(char c) {
    return c == '\t' || c == ' ';
}

constexpr bool isTokenChar(char c) {
    return ascii::isAlpha(c) || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

constexpr bool isQuotedStringTokenChar(char c) {
    const auto u = uchar(c);
    return u == '\t' || (u >= 0x20 && u <= 0x7E) || u >= 0x80;
}

bool isToken(QByteArrayView s) {
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

// Reads the quoted string whose opening quote is at pos; leaves pos after it. Returns the
// unescaped content without the quotes.
QByteArray collectQuotedString(QByteArrayView s, qsizetype &pos) {
    QByteArray value;
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"')
            break;
        if (c == '\\') {
            if (pos == s.size()) {
                value += '\\';
                break;
            }
            value += s[pos++];
            continue;
        }
        value += c;
    }
    return value;
}

// Splits a header value at the commas that join repeated headers, keeping quoted commas.
std::vector<QByteArrayView> splitHeaderValues(QByteArrayView header) {
    std::vector<QByteArrayView> values;
    qsizetype start = 0;
    qsizetype pos = 0;
    while (true) {
        while (pos < header.size() && header[pos] != '"' && header[pos] != ',')
            ++pos;
        if (pos < header.size() && header[pos] == '"') {
            collectQuotedString(header, pos);
            if (pos < header.size())
                continue;
        }
        values.push_back(ascii::trimmed(header.sliced(start, pos - start), isHttpTabOrSpace));
        if (pos >= header.size())
            return values;
        start = ++pos;
    }
}

std::optional<ContentType> parseMimeType(QByteArrayView input) {
    input = ascii::trimmed(input, isHttpWhitespace);
    const qsizetype slash = input.indexOf('/');
    if (slash < 0 || !isToken(input.first(slash)))
        return std::nullopt;
    qsizetype pos = input.indexOf(';', slash);
    if (pos < 0)
        pos = input.size();
    const QByteArrayView subtype =
        ascii::trimmedEnd(input.sliced(slash + 1, pos - slash - 1), isHttpWhitespace);
    if (!isToken(subtype))
        return std::nullopt;

    ContentType mime;
    mime.mediaType = input.first(slash + 1 + subtype.size()).toByteArray().toLower();
    while (pos < input.size()) {
        ++pos; // the ';'
        while (pos < input.size() && isHttpWhitespace(input[pos]))
            ++pos;
        const qsizetype nameStart = pos;
        while (pos < input.size() && input[pos] != ';' && input[pos] != '=')
            ++pos;
        const QByteArrayView name = input.sliced(nameStart, pos - nameStart);
        if (pos < input.size()) {
            if (input[pos] == ';')
                continue;
            ++pos; // the '='
        }
        if (pos >= input.size())
            break;
        QByteArray value;
        if (input[pos] == '"') {
            value = collectQuotedString(input, pos);
            while (pos < input.size() && input[pos] != ';')
                ++pos;
        } else {
            const qsizetype valueStart = pos;
            while (pos < input.size() && input[pos] != ';')
                ++pos;
            value = ascii::trimmedEnd(input.sliced(valueStart, pos - valueStart), isHttpWhitespace)
                        .toByteArray();
            if (value.isEmpty())
                continue;
        }
        // Only the first well-formed charset parameter counts.
        if (!mime.charset && name.compare("charset", Qt::CaseInsensitive) == 0 &&
            std::all_of(value.begin(), value.end(), isQuotedStringTokenChar))
            mime.charset = value;
    }
    return mime;
}

} // namespace

// A repeated header with the same type and no charset keeps the charset of the one before
// it; one that changes the type drops it.
ContentType ParseContentType(QByteArrayView header) {
    ContentType result;
    std::optional<QByteArray> charset;
    for (QByteArrayView value : splitHeaderValues(header)) {
        std::optional<ContentType> mime = parseMimeType(value);
        if (!mime || mime->mediaType == "*/*")
            continue;
        if (mime->mediaType != result.mediaType)
            charset = mime->charset;
        else if (!mime->charset && charset)
            mime->charset = charset;
        result = std::move(*mime);
    }
    return result;
}

} // namespace quillmere
