#include "net/cookie_file.h"

#include <QStringDecoder>
#include <algorithm>
#include <optional>
#include <tuple>

namespace quillmere {

namespace {

constexpr QByteArrayView HttpOnlyPrefix = "#HttpOnly_";

std::optional<bool> readFlag(QByteArrayView field) {
    if (field.compare("TRUE", Qt::CaseInsensitive) == 0)
        return true;
    if (field.compare("FALSE", Qt::CaseInsensitive) == 0)
        return false;
    return std::nullopt;
}

// Anything that would end or split a line or a header: no field may hold it.
bool hasControlCharacter(QByteArrayView field) {
    return std::any_of(field.begin(), field.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

bool isValidUtf8(QByteArrayView line) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString text = decoder.decode(line);
    return !decoder.hasError();
}

std::optional<QNetworkCookie> readLine(QByteArrayView line, const QDateTime &now, bool &expired) {
    bool httpOnly = false;
    if (line.startsWith(HttpOnlyPrefix)) {
        httpOnly = true;
        line = line.sliced(HttpOnlyPrefix.size());
    }
    QList<QByteArrayView> fields;
    for (qsizetype start = 0;;) {
        const qsizetype tab = line.indexOf('\t', start);
        fields.append(line.sliced(start, (tab < 0 ? line.size() : tab) - start));
        if (tab < 0)
            break;
        start = tab + 1;
    }
    if (fields.size() != 7 || !isValidUtf8(line) ||
        std::any_of(fields.begin(), fields.end(), hasControlCharacter))
        return std::nullopt;

    QByteArrayView domain = fields[0];
    if (domain.startsWith('.'))
        domain = domain.sliced(1);
    const std::optional<bool> subdomains = readFlag(fields[1]);
    const QByteArrayView path = fields[2];
    const std::optional<bool> secure = readFlag(fields[3]);
    bool numeric = false;
    const qint64 expiry = fields[4].toByteArray().toLongLong(&numeric);
    const QByteArrayView name = fields[5];
    if (domain.isEmpty() || domain.contains(' ') || !subdomains || !path.startsWith('/') ||
        !secure || !numeric || expiry < 0 || name.isEmpty())
        return std::nullopt;

    QNetworkCookie cookie(name.toByteArray(), fields[6].toByteArray());
    const QString host = QString::fromUtf8(domain).toLower();
    cookie.setDomain(*subdomains ? u'.' + host : host);
    cookie.setPath(QString::fromUtf8(path));
    cookie.setSecure(*secure);
    cookie.setHttpOnly(httpOnly);
    if (expiry > 0) {
        const QDateTime expires = QDateTime::fromSecsSinceEpoch(expiry, Qt::UTC);
        expired = expires <= now;
        cookie.setExpirationDate(expires);
    }
    return cookie;
}

} // namespace

bool LooksLikeCookieFile(QByteArrayView text) {
    return text.size() <= MaxCookieFileBytes && !text.contains('\0');
}

CookieFileContents ParseCookieFile(QByteArrayView text, const QDateTime &now) {
    CookieFileContents contents;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        QByteArrayView line = text.sliced(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || (line.startsWith('#') && !line.startsWith(HttpOnlyPrefix)))
            continue;
        bool expired = false;
        if (std::optional<QNetworkCookie> cookie = readLine(line, now, expired)) {
            if (!expired)
                contents.cookies.append(std::move(*cookie));
        } else {
            ++contents.badLines;
        }
    }
    return contents;
}

QByteArray FormatCookieLine(const QNetworkCookie &cookie, const QDateTime &now) {
    const bool expired = !cookie.isSessionCookie() && cookie.expirationDate() <= now;
    const QByteArray domain = cookie.domain().toUtf8();
    const QByteArray path = cookie.path().isEmpty() ? "/" : cookie.path().toUtf8();
    if (expired || domain.isEmpty() || domain == "." || cookie.name().isEmpty() ||
        hasControlCharacter(domain) || hasControlCharacter(path) ||
        hasControlCharacter(cookie.name()) || hasControlCharacter(cookie.value()))
        return {};
    const qint64 expiry = cookie.isSessionCookie() ? 0 : cookie.expirationDate().toSecsSinceEpoch();
    QByteArray line;
    if (cookie.isHttpOnly())
        line += HttpOnlyPrefix.toByteArray();
    line += domain;
    line += domain.startsWith('.') ? "\tTRUE\t" : "\tFALSE\t";
    line += path;
    line += cookie.isSecure() ? "\tTRUE\t" : "\tFALSE\t";
    line += QByteArray::number(expiry);
    line += '\t';
    line += cookie.name();
    line += '\t';
    line += cookie.value();
    return line;
}

QByteArray FormatCookieFile(const QList<QNetworkCookie> &cookies, const QDateTime &now) {
    QList<std::pair<std::tuple<QString, QString, QByteArray>, QByteArray>> lines;
    lines.reserve(cookies.size());
    for (const QNetworkCookie &cookie : cookies) {
        QByteArray line = FormatCookieLine(cookie, now);
        if (!line.isEmpty())
            lines.append({{cookie.domain(), cookie.path(), cookie.name()}, std::move(line)});
    }
    std::sort(lines.begin(), lines.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });

    QByteArray file = "# Netscape HTTP Cookie File\n"
                      "# Written by Quillmere. It holds your forum sign-ins: keep it private.\n\n";
    for (const auto &[key, line] : lines) {
        file += line;
        file += '\n';
    }
    return file;
}

} // namespace quillmere
