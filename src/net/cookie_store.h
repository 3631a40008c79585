#pragma once

// The session's cookies, kept in a cookies.txt so that a forum sign-in outlasts the
// program: read once at start-up into the session's jar (libcurl's, which decides which
// cookie goes where), written back shortly after a server sets one and when the program
// ends. The file is replaced whole (a new file renamed over the old one), owner-
// only on Unix, never written through a symbolic link; a file we could not read as a
// cookie file, or one its owner made read-only, is never overwritten. A file put in its
// place while the program runs (a sign-in exported from a browser) is taken in before the
// next write, never written over. Cookie values never reach a message.

#include <QByteArray>
#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

namespace quillmere {

class NetworkSession;

class CookieStore : public QObject {
    Q_OBJECT
public:
    enum class LoadStatus {
        Loaded,         // read; bad lines, if any, skipped
        Missing,        // no file yet: the first change creates it
        NotACookieFile, // binary or over the size limit: left alone, never written
        Unreadable,     // not a regular file, or it cannot be opened or read
    };
    struct LoadResult {
        LoadStatus status = LoadStatus::Missing;
        int cookies = 0;
        int badLines = 0;
        QString error; // what went wrong, for the user; never a cookie's value
    };

    // The session's own store: NetworkSession makes it.
    explicit CookieStore(NetworkSession &session, QObject *parent = nullptr);
    ~CookieStore() override;

    // Adds the cookies of `path` to the jar and keeps the jar there from now on, unless
    // the file could not be read as a cookie file.
    LoadResult load(const QString &path);
    QString path() const { return m_path; }
    bool isPersistent() const { return !m_path.isEmpty(); }

    // Adds cookies from elsewhere (a browser's), each replacing the one with its name,
    // host and path; they are written to the store like any change.
    void addCookies(const QList<QNetworkCookie> &cookies);

    // Writes a change that is still waiting for its turn; nothing when there is none.
    void flush();
    // Writes the file now. False, with the file untouched, when it cannot be written.
    bool save();
    // How long after a change the file is written; changes meanwhile join it.
    void setSaveDelay(std::chrono::milliseconds delay) { m_saveTimer.setInterval(delay); }

    QList<QNetworkCookie> cookies() const;

Q_SIGNALS:
    // After each attempt to write the file.
    void saved(bool ok);

private:
    // Enough to tell the file we know from one put in its place.
    struct Stamp {
        bool exists = false;
        qint64 size = 0;
        qint64 modifiedMs = 0;
        bool operator==(const Stamp &) const = default;
    };
    static Stamp stampOf(const QString &path);
    void changed();
    bool takeInReplacedFile();

    NetworkSession &m_session;
    QString m_path;
    QTimer m_saveTimer;
    QByteArray m_written; // what the file holds since our last write
    Stamp m_stamp;        // the file as we last read or wrote it
    bool m_dirty = false;
    bool m_warned = false; // a failing store is reported once, not at every change
};

} // namespace quillmere
