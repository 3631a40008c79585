#include "download/fetch_notes.h"

#include <QDir>
#include <QUrl>
#include <cmath>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

// Servers send their own reason phrases, HTTP/2 none at all: the standard ones are shown.
QString statusPhrase(int status) {
    switch (status) {
    case 204:
        return u"No Content"_s;
    case 205:
        return u"Reset Content"_s;
    case 206:
        return u"Partial Content"_s;
    case 300:
        return u"Multiple Choices"_s;
    case 301:
        return u"Moved Permanently"_s;
    case 302:
        return u"Found"_s;
    case 303:
        return u"See Other"_s;
    case 304:
        return u"Not Modified"_s;
    case 307:
        return u"Temporary Redirect"_s;
    case 308:
        return u"Permanent Redirect"_s;
    case 400:
        return u"Bad Request"_s;
    case 401:
        return u"Unauthorized"_s;
    case 403:
        return u"Forbidden"_s;
    case 404:
        return u"Not Found"_s;
    case 405:
        return u"Method Not Allowed"_s;
    case 408:
        return u"Request Timeout"_s;
    case 410:
        return u"Gone"_s;
    case 429:
        return u"Too Many Requests"_s;
    case 500:
        return u"Internal Server Error"_s;
    case 501:
        return u"Not Implemented"_s;
    case 502:
        return u"Bad Gateway"_s;
    case 503:
        return u"Service Unavailable"_s;
    case 504:
        return u"Gateway Timeout"_s;
    default:
        return {};
    }
}

QString httpStatusNote(int status) {
    const QString phrase = statusPhrase(status);
    QString note = u"服务器返回 HTTP %1"_s.arg(status);
    if (!phrase.isEmpty())
        note += u' ' + phrase;
    if (status == 404 || status == 410)
        return note + u"，附件可能已被删除"_s;
    if (status == 401 || status == 403)
        return note + u"，没有下载权限，多半需要先登录论坛"_s;
    if (status == 429)
        return note + u"，下载过于频繁，请稍后再试"_s;
    if (status >= 500)
        return note + u"，服务器出错，请稍后再试"_s;
    if (status < 400)
        return note + u"，不是完整的附件"_s;
    return note;
}

QString seconds(qint64 ms) {
    return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(double(ms) / 1000, 'g', 3);
}

// The system's own words for a disk failure, when it had any.
QString withSystemMessage(const QString &note, const QString &message) {
    if (message.isEmpty() || message == u"Unknown error"_s)
        return note;
    return note + u"："_s + message;
}

QString quoted(QStringView text) {
    return u"“"_s.append(text).append(u"”");
}

} // namespace

QString NoFileNameNote() {
    return u"条目中没有附件名，无法保存"_s;
}

QString NameFaultNote(const NameFault &fault) {
    const QString lead = u"附件名不是安全的文件名："_s;
    switch (fault.kind) {
    case NameFault::None:
        return {};
    case NameFault::Empty:
        return u"附件名为空"_s;
    case NameFault::TooLong:
        return u"附件名过长（超过 255 个字符）"_s;
    case NameFault::Ending:
        return lead + (fault.detail == u" "_s ? u"以空格结尾"_s : u"以“.”结尾"_s);
    case NameFault::Character: {
        const char16_t c = fault.detail.isEmpty() ? 0 : fault.detail.front().unicode();
        const QString code = u"U+%1"_s.arg(uint(c), 4, 16, QChar(u'0')).toUpper();
        if (QChar(c).isSurrogate())
            return lead + u"含有无效的字符 "_s + code;
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
            return lead + u"含有控制字符 "_s + code;
        if (QChar(c).category() == QChar::Other_Format)
            return lead + u"含有改变文字方向的字符 "_s + code;
        return lead + u"含有"_s + quoted(fault.detail);
    }
    case NameFault::DeviceName:
        return lead + quoted(fault.detail) + u"是 Windows 保留的设备名"_s;
    }
    return lead;
}

QString TransferFailureNote(const TransferReport &report, const QString &cookieFile) {
    const NetworkFailure &failure = report.failure;
    const QUrl &url = report.url;
    const QString host = quoted(url.host());
    switch (failure.kind) {
    case NetworkError::None:
        break;
    case NetworkError::PageNotFile:
        // The store is read at start-up, and written over at exit: a file put there
        // meanwhile counts from the next start.
        return u"论坛返回了网页而不是附件，多半需要先登录论坛：退出本程序，把浏览器导出的 "
               u"cookies.txt 放到%1，再启动本程序；或用 --cookies-from-browser 浏览器名 "
               u"参数启动本程序"_s.arg(quoted(QDir::toNativeSeparators(cookieFile)));
    case NetworkError::HttpStatus:
        return httpStatusNote(failure.httpStatus);
    case NetworkError::BadAddress:
        if (!url.scheme().isEmpty() && url.scheme() != u"http"_s && url.scheme() != u"https"_s)
            return u"不支持%1地址，只能下载 http 和 https 地址"_s.arg(quoted(url.scheme() + u':'));
        return u"附件地址无效"_s;
    case NetworkError::CouldNotResolve:
        return u"无法解析主机名"_s + host;
    case NetworkError::CouldNotConnect:
        return u"无法连接服务器"_s + host;
    case NetworkError::Proxy:
        return u"无法连接代理服务器"_s;
    case NetworkError::Certificate:
        return u"服务器"_s + host + u"的证书不受信任"_s;
    case NetworkError::Tls:
        return u"无法与服务器"_s + host + u"建立安全连接"_s;
    case NetworkError::TimedOut:
        return u"%1 秒没有收到数据"_s.arg(seconds(report.noDataLimitMs));
    case NetworkError::CutShort:
        if (report.expected > 0)
            return u"传输中断：收到 %1 / %2 字节"_s.arg(GroupedNumber(report.received),
                                                        GroupedNumber(report.expected));
        return u"传输中断：收到 %1 字节"_s.arg(GroupedNumber(report.received));
    case NetworkError::GarbledFraming:
    case NetworkError::BadContentCoding:
        return u"数据损坏（分块或压缩格式错误）"_s;
    case NetworkError::HeaderTooLarge:
        return u"服务器返回的响应头过长"_s;
    case NetworkError::TooManyRedirects:
        return u"重定向次数过多，或被重定向到非 http/https 地址"_s;
    case NetworkError::TooLarge:
        return u"附件过大"_s;
    case NetworkError::Disk:
        return withSystemMessage(u"无法写入目标文件夹"_s, failure.reason);
    case NetworkError::DiskFull:
        return withSystemMessage(u"磁盘已满"_s, failure.reason);
    case NetworkError::Aborted:
        return u"下载被中止"_s;
    case NetworkError::Busy:
        return u"另一个下载仍在进行"_s;
    case NetworkError::Other:
        break;
    }
    return withSystemMessage(u"下载失败"_s, failure.reason);
}

QString SavedNote(QStringView savedName, qint64 size, QStringView linkText) {
    const QString note = u"已保存为"_s + quoted(savedName) + u"（"_s + SizeText(size) + u"）"_s;
    if (savedName == linkText)
        return note;
    return note + u"，因为列表中另一个附件已保存为"_s + quoted(linkText);
}

QString GroupedNumber(qint64 number) {
    QString digits = QString::number(number < 0 ? -number : number);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, u',');
    return number < 0 ? u'-' + digits : digits;
}

QString SizeText(qint64 bytes) {
    if (bytes < 1024)
        return u"%1 字节"_s.arg(bytes);
    static constexpr const char16_t *Units[] = {u"KB", u"MB", u"GB", u"TB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    // Judged as shown: 1,048,575 bytes is 1.0 MB, not 1024.0 KB.
    while (std::round(value * 10) >= 1024 * 10 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return u"%1 %2"_s.arg(QString::number(value, 'f', 1), QStringView(Units[unit]));
}

} // namespace quillmere
