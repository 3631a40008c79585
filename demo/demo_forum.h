#pragma once

// A small forum on 127.0.0.1 to try the whole program on without a network: two thread
// pages in GBK with RAR attachments (some that fail on purpose), the program's release
// thread, and an http proxy for the forum's real host name, so the program's own
// addresses reach it unchanged.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>
#include <QtGlobal>
#include <memory>

namespace quillmere::demo {

struct Attachment {
    enum class Answer {
        File,        // the archive
        MembersOnly, // the archive for a signed-in member, else a "please log in" page
        Missing,     // 404, until the forum opens up
    };
    int aid;      // attachment.php?aid=<aid>
    QString name; // the link text, and the file name the forum offers
    qint64 size;  // bytes of the file behind the link
    Answer answer = Answer::File;
    // Served by the forum's file host, which refuses requests that do not come from one
    // of the forum's pages (no Referer of the forum's origin).
    bool onFileHost = false;
};

struct Thread {
    int tid;
    QString title;
    // The links a batch must pick up, in page order. The page holds further links that
    // look alike but must not qualify (".RAR", ".zip", a text ending in a blank).
    QList<Attachment> attachments;
};

class DemoForum {
public:
    struct Options {
        int port = 0;                            // 0: any free port
        QString version = QStringLiteral("1.4"); // published in the release thread
        qint64 bytesPerSecond = 0;               // per attachment transfer; 0: unlimited
    };

    // Listens on 127.0.0.1 and serves from threads of its own until destroyed.
    explicit DemoForum(Options options);
    DemoForum();
    ~DemoForum();
    DemoForum(const DemoForum &) = delete;
    DemoForum &operator=(const DemoForum &) = delete;

    // False when the port could not be had; nothing is served then.
    bool isListening() const;
    int port() const;
    // "http://127.0.0.1:<port>": both the forum itself and the proxy for its host.
    QString proxyAddress() const;
    // The forum's own address for a path ("/thread-1001-1-1.html"), as the proxy answers it.
    static QString address(const QString &pathAndQuery);
    // Where the link of attachment `aid` points: the forum, or its file host.
    static QString attachmentAddress(int aid);
    static constexpr QStringView FileHost = u"att.diybh.test";
    // The same page asked of this server directly, for clients without the proxy.
    QString localAddress(const QString &pathAndQuery) const;

    static const QList<Thread> &threads();
    static QString threadPath(int tid);     // "/thread-<tid>-1-1.html"
    static QString attachmentPath(int aid); // "/attachment.php?aid=<aid>"
    // The bytes of attachment `aid` when it answers with its file.
    static QByteArray fileBytes(int aid);

    void setPublishedVersion(const QString &version);
    // Opens the members' attachments to everyone and puts the deleted attachment back:
    // every link then answers with its file. Visiting /forum.php?mod=restore puts the
    // deleted attachment back.
    void setEverythingAvailable(bool available);

    // The sign-in: a POST of the log-in form sets these two HttpOnly cookies, and the
    // members' attachments need both. Every answer of the forum also sets LastActCookie.
    static constexpr char AuthCookie[] = "diybh_2132_auth";
    static constexpr char SaltKeyCookie[] = "diybh_2132_saltkey";
    static constexpr char LastActCookie[] = "diybh_2132_lastact";
    static QString logInPath(); // "/member.php?mod=logging&action=login"
    // A cookies.txt that holds a member's sign-in, as a browser's export would.
    static QByteArray signedInCookieFile();
    // Requests of attachment `aid` that got the file, not a refusal.
    int filesServed(int aid) const;
    // A header of the last request for a path with its query ("Referer", "Cookie"),
    // whoever it was asked of; empty when it had none.
    QByteArray lastRequestHeader(const QString &pathAndQuery, const char *name) const;
    // Requests seen for a path with its query, whether asked directly or through the proxy.
    int hits(const QString &pathAndQuery) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quillmere::demo
