#include "demo_forum.h"

#include "forum_pages.h"
#include "release/release_info.h"

#include <QMap>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <httplib.h>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace quillmere::demo {

namespace {

using namespace Qt::StringLiterals;

// What one request asks for, whichever form its target came in.
struct Target {
    std::string host; // empty when asked directly: "GET /path HTTP/1.1"
    std::string path;
    std::string query;
    std::string pathAndQuery() const { return query.empty() ? path : path + '?' + query; }
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// A proxy is asked in absolute form ("GET http://host/path HTTP/1.1"), the server itself
// in origin form ("GET /path HTTP/1.1"). httplib takes both as a path, so split ourselves.
std::optional<Target> parseTarget(const std::string &raw) {
    Target target;
    std::string rest = raw;
    const std::string scheme = "http://";
    if (lower(raw.substr(0, scheme.size())) == scheme) {
        const std::size_t end = raw.find_first_of("/?", scheme.size());
        const std::string authority = raw.substr(
            scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
        target.host = lower(authority.substr(0, authority.rfind(':'))); // without the port
        rest = end == std::string::npos ? "/" : raw.substr(end);
        if (rest.front() == '?')
            rest.insert(0, "/");
    } else if (raw.empty() || raw.front() != '/') {
        return std::nullopt; // https through CONNECT, "*" and the like: not ours
    }
    const std::size_t question = rest.find('?');
    target.path = rest.substr(0, question);
    if (question != std::string::npos)
        target.query = rest.substr(question + 1);
    return target;
}

bool isOurHost(const std::string &host) {
    return host.empty() || host == release::ForumHost.toString().toStdString() ||
           host == DemoForum::FileHost.toString().toStdString() || host == "127.0.0.1" ||
           host == "localhost";
}

// The member's sign-in: what the log-in form sets, and all the members' pages ask for.
// (No "%" in it: httplib, which serves the forum, decodes escapes in most header values.)
constexpr char AuthValue[] = "c4b2XJ1x9dmK7pQ0wLzR3aVh8sNfEe6Tg";
constexpr char SaltKeyValue[] = "Kz7Qm2Vd";

// "a=1; b=2" -> the value of `name`, if the header holds it.
std::optional<std::string> cookieValue(const std::string &header, std::string_view name) {
    std::size_t pos = 0;
    while (pos < header.size()) {
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == ';'))
            ++pos;
        const std::size_t end = std::min(header.find(';', pos), header.size());
        const std::string pair = header.substr(pos, end - pos);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == name)
            return pair.substr(equals + 1);
        pos = end;
    }
    return std::nullopt;
}

bool isSignedIn(const httplib::Request &request) {
    const std::string cookies = request.get_header_value("Cookie");
    return cookieValue(cookies, DemoForum::AuthCookie) == AuthValue &&
           cookieValue(cookies, DemoForum::SaltKeyCookie) == SaltKeyValue;
}

std::optional<int> threadId(const std::string &path) {
    // "/thread-<tid>-<page>-<extra>.html"; the forum's threads all fit on their first page.
    int tid = 0;
    int pageNumber = 0;
    int extra = 0;
    char tail[8] = {};
    if (std::sscanf(path.c_str(), "/thread-%d-%d-%d%7s", &tid, &pageNumber, &extra, tail) != 4 ||
        std::string(tail) != ".html" || pageNumber != 1)
        return std::nullopt;
    return tid;
}

std::optional<int> attachmentId(const std::string &query) {
    const QByteArray text = QByteArray::fromStdString(query);
    for (const QByteArray &pair : text.split('&')) {
        if (pair.startsWith("aid=")) {
            bool ok = false;
            const int aid = pair.mid(4).toInt(&ok);
            if (ok)
                return aid;
        }
    }
    return std::nullopt;
}

std::string toStd(const QByteArray &bytes) {
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

// A small, fast generator: the same attachment always has the same bytes.
QByteArray makeFile(const Attachment &attachment) {
    QByteArray bytes(qsizetype(attachment.size), Qt::Uninitialized);
    std::uint64_t state = 0x9E3779B97F4A7C15ull * std::uint64_t(attachment.aid) + 1;
    for (qsizetype i = 0; i < bytes.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const qsizetype n = std::min<qsizetype>(8, bytes.size() - i);
        std::memcpy(bytes.data() + i, &state, std::size_t(n));
    }
    const QByteArray signature = attachment.name.trimmed().endsWith(u".zip"_s)
                                     ? QByteArrayLiteral("PK\x03\x04")
                                     : QByteArrayLiteral("Rar!\x1A\x07\x00");
    std::memcpy(bytes.data(), signature.constData(),
                std::size_t(std::min(signature.size(), bytes.size())));
    return bytes;
}

constexpr std::size_t PieceBytes = 32 * 1024;

} // namespace

struct DemoForum::Impl {
    Options options;
    httplib::Server server;
    std::thread thread;
    int port = -1;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    QString version;
    bool everythingAvailable = false;
    bool restored = false;
    std::uint64_t lastAct = 1'772'400'000;
    QMap<QString, int> hits;
    QMap<int, int> served;
    QMap<QString, httplib::Headers> lastHeaders;
    QMap<int, std::shared_ptr<const QByteArray>> files;

    std::shared_ptr<const QByteArray> file(const Attachment &attachment) {
        std::lock_guard lock(mutex);
        std::shared_ptr<const QByteArray> &bytes = files[attachment.aid];
        if (!bytes)
            bytes = std::make_shared<const QByteArray>(makeFile(attachment));
        return bytes;
    }

    // False when the forum is shutting down meanwhile.
    bool pause(std::chrono::microseconds delay) {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, delay, [this] { return stopping; });
    }

    static void html(httplib::Response &response, int status, const QByteArray &page) {
        response.status = status;
        response.set_content(toStd(page), pages::HtmlType);
    }

    void serveFile(const Attachment &attachment, httplib::Response &response) {
        const std::shared_ptr<const QByteArray> bytes = file(attachment);
        {
            std::lock_guard lock(mutex);
            ++served[attachment.aid];
        }
        // The headers forums of this kind send: the name raw in their own code page, and
        // a coding that names none.
        response.set_header("Content-Disposition",
                            "attachment; filename=\"" + toStd(pages::Gbk(attachment.name)) + "\"");
        response.set_header("Content-Encoding", "none");
        const qint64 rate = options.bytesPerSecond;
        response.set_content_provider(
            std::size_t(bytes->size()), "application/octet-stream",
            [this, bytes, rate](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                const std::size_t piece = rate > 0 ? std::min(length, PieceBytes) : length;
                if (rate > 0 && offset > 0 &&
                    !pause(std::chrono::microseconds(std::int64_t(piece) * 1'000'000 / rate)))
                    return false;
                return sink.write(bytes->constData() + offset, piece);
            });
    }

    void answer(const httplib::Request &request, httplib::Response &response) {
        const std::optional<Target> target = parseTarget(request.target);
        if (!target) {
            html(response, 400, pages::notFoundPage());
            return;
        }
        if (!isOurHost(target->host)) {
            html(response, 502, pages::foreignHostPage(QByteArray::fromStdString(target->host)));
            return;
        }

        QString currentVersion;
        bool available = false;
        bool deletedBack = false;
        std::uint64_t act = 0;
        {
            std::lock_guard lock(mutex);
            const QString key = QString::fromStdString(target->pathAndQuery());
            ++hits[key];
            lastHeaders[key] = request.headers;
            currentVersion = version;
            available = everythingAvailable;
            deletedBack = restored || everythingAvailable;
            act = ++lastAct;
        }
        const bool fileHost = target->host == DemoForum::FileHost.toString().toStdString();
        // The forum notes every visit in a cookie of its own, as real ones do.
        if (!fileHost)
            response.set_header("Set-Cookie", std::string(DemoForum::LastActCookie) + '=' +
                                                  std::to_string(act) + "; path=/; HttpOnly");

        const std::string &path = target->path;
        const bool logIn =
            path == "/member.php" && target->query.find("action=login") != std::string::npos;
        if (request.method == "POST") {
            if (!logIn || !request.has_param("username") ||
                request.get_param_value("username").empty() ||
                request.get_param_value("password").empty()) {
                html(response, 200, pages::logInPage());
                return;
            }
            // A sign-in without "remember me": both cookies end with the browser session.
            response.set_header("Set-Cookie", std::string(DemoForum::SaltKeyCookie) + '=' +
                                                  SaltKeyValue + "; path=/; HttpOnly");
            response.set_header("Set-Cookie", std::string(DemoForum::AuthCookie) + '=' + AuthValue +
                                                  "; path=/; HttpOnly");
            html(response, 200, pages::loggedInPage());
            return;
        }
        if (path == "/forum.php" && target->query == "mod=restore") {
            {
                std::lock_guard lock(mutex);
                restored = true;
            }
            html(response, 200, pages::restoredPage());
            return;
        }
        if (path == "/" || path == "/index.php" || path == "/forum.php") {
            html(response, 200, pages::indexPage());
            return;
        }
        if (const std::optional<int> tid = threadId(path)) {
            const QByteArray page = pages::threadPage(*tid, currentVersion);
            html(response, page.isEmpty() ? 404 : 200,
                 page.isEmpty() ? pages::notFoundPage() : page);
            return;
        }
        if (logIn) {
            html(response, 200, pages::logInPage());
            return;
        }
        if (path == "/attachment.php") {
            const std::optional<int> aid = attachmentId(target->query);
            const Attachment *attachment = aid ? pages::findAttachment(*aid) : nullptr;
            if (!attachment || attachment->onFileHost != fileHost) {
                html(response, 404, pages::missingAttachmentPage());
                return;
            }
            // The file host serves only links followed from the forum's pages.
            const std::string forumOrigin = DemoForum::address(u"/"_s).toStdString();
            if (fileHost && request.get_header_value("Referer").rfind(forumOrigin, 0) != 0) {
                html(response, 403, pages::hotlinkPage());
                return;
            }
            switch (attachment->answer) {
            case Attachment::Answer::File:
                serveFile(*attachment, response);
                return;
            case Attachment::Answer::MembersOnly:
                if (available || isSignedIn(request))
                    serveFile(*attachment, response);
                else
                    html(response, 200, pages::logInPage());
                return;
            case Attachment::Answer::Missing:
                if (deletedBack)
                    serveFile(*attachment, response);
                else
                    html(response, 404, pages::missingAttachmentPage());
                return;
            }
        }
        html(response, 404, pages::notFoundPage());
    }
};

DemoForum::DemoForum()
    : DemoForum(Options{}) {}

DemoForum::DemoForum(Options options)
    : d(std::make_unique<Impl>()) {
    d->options = std::move(options);
    d->version = d->options.version;

    httplib::Server &server = d->server;
    // No idle keep-alive connections: the forum stops within a second when told to.
    server.set_keep_alive_max_count(1);
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(2, 0);
    server.set_tcp_nodelay(true);
#ifndef _WIN32
    // httplib's default lets a second server share the port and take half the requests;
    // a port in use must be refused instead. (Windows binds exclusively already.)
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
#endif
    const auto answer = [impl = d.get()](const httplib::Request &request,
                                         httplib::Response &response) {
        impl->answer(request, response);
    };
    server.Get(".*", answer);
    server.Post(".*", answer);

    d->port = d->options.port > 0
                  ? (server.bind_to_port("127.0.0.1", d->options.port) ? d->options.port : -1)
                  : server.bind_to_any_port("127.0.0.1");
    if (d->port <= 0)
        return;
    std::atomic<bool> ended = false;
    d->thread = std::thread([impl = d.get(), &ended] {
        impl->server.listen_after_bind();
        ended = true;
    });
    // stop() only reaches a server that has started running.
    while (!server.is_running() && !ended)
        std::this_thread::yield();
    if (!server.is_running()) {
        d->thread.join();
        d->port = -1;
    }
}

DemoForum::~DemoForum() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->server.stop();
    if (d->thread.joinable())
        d->thread.join();
}

bool DemoForum::isListening() const {
    return d->port > 0;
}

int DemoForum::port() const {
    return d->port;
}

QString DemoForum::proxyAddress() const {
    return u"http://127.0.0.1:%1"_s.arg(d->port);
}

QString DemoForum::address(const QString &pathAndQuery) {
    return u"http://"_s + release::ForumHost.toString() + pathAndQuery;
}

QString DemoForum::attachmentAddress(int aid) {
    const Attachment *attachment = pages::findAttachment(aid);
    if (attachment && attachment->onFileHost)
        return u"http://"_s + FileHost.toString() + attachmentPath(aid);
    return address(attachmentPath(aid));
}

QString DemoForum::logInPath() {
    return u"/member.php?mod=logging&action=login"_s;
}

QByteArray DemoForum::signedInCookieFile() {
    const QByteArray host = release::ForumHost.toString().toUtf8();
    return "# Netscape HTTP Cookie File\n"
           "# A member of the demo forum, signed in.\n\n"
           "#HttpOnly_" +
           host + "\tFALSE\t/\tFALSE\t0\t" + SaltKeyCookie + '\t' + SaltKeyValue + "\n#HttpOnly_" +
           host + "\tFALSE\t/\tFALSE\t0\t" + AuthCookie + '\t' + AuthValue + '\n';
}

int DemoForum::filesServed(int aid) const {
    std::lock_guard lock(d->mutex);
    return d->served.value(aid);
}

QByteArray DemoForum::lastRequestHeader(const QString &pathAndQuery, const char *name) const {
    std::lock_guard lock(d->mutex);
    const httplib::Headers headers = d->lastHeaders.value(pathAndQuery);
    const auto found = headers.find(name); // httplib compares names without letter case
    return found == headers.end() ? QByteArray() : QByteArray::fromStdString(found->second);
}

QString DemoForum::localAddress(const QString &pathAndQuery) const {
    return proxyAddress() + pathAndQuery;
}

const QList<Thread> &DemoForum::threads() {
    return pages::threadCatalogue();
}

QString DemoForum::threadPath(int tid) {
    return u"/thread-%1-1-1.html"_s.arg(tid);
}

QString DemoForum::attachmentPath(int aid) {
    return u"/attachment.php?aid=%1"_s.arg(aid);
}

QByteArray DemoForum::fileBytes(int aid) {
    const Attachment *attachment = pages::findAttachment(aid);
    return attachment ? makeFile(*attachment) : QByteArray();
}

void DemoForum::setPublishedVersion(const QString &version) {
    std::lock_guard lock(d->mutex);
    d->version = version;
}

void DemoForum::setEverythingAvailable(bool available) {
    std::lock_guard lock(d->mutex);
    d->everythingAvailable = available;
    if (!available)
        d->restored = false;
}

int DemoForum::hits(const QString &pathAndQuery) const {
    std::lock_guard lock(d->mutex);
    return d->hits.value(pathAndQuery);
}

} // namespace quillmere::demo
