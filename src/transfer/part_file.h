#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quillmere {

// A download's body file: written under a temporary name beside the target and renamed
// over it only once complete, so the target is never seen half written.
//
// Past the first few MiB the bytes go to the disk on a thread of its own. A disk that
// stalls — a slow stick, a network share, the kernel flushing gigabytes — must not freeze
// the window, and the transfer runs on the UI thread. Unlike the program's small files
// (ReplaceFile) nothing is forced to the disk before the rename: for a body of gigabytes that
// sync froze the window for seconds, and a lost download can be fetched again.
class PartFile {
public:
    // Called on the writer thread after each chunk it wrote, and when its writing fails.
    using WrittenHandler = std::function<void()>;

    // Called on the writer thread before each chunk goes to the disk, with its size and
    // the bytes queued, this chunk included: the disk as tests see it, and make slow.
    using DiskWait = std::function<void(qint64 chunk, qint64 queued)>;

    explicit PartFile(WrittenHandler onWritten = {}, DiskWait diskWait = {});
    ~PartFile(); // stops the writer and removes the temporary file unless committed
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Creates the temporary file; false when the target cannot be written there.
    bool open(const QString &target);
    // Writes or queues bytes; they are ignored once the writing has failed.
    void write(QByteArray data);
    // Bytes queued and not yet on the disk.
    qint64 queued() const;
    bool failed() const;
    // Puts the file under the target name. Only when nothing is queued any more.
    bool commit();

    QFileDevice::FileError error() const;
    QString errorString() const;

private:
    void writeQueued(std::stop_token stop);

    WrittenHandler m_onWritten;
    DiskWait m_diskWait;
    QString m_target;
    QFile m_file;
    QString m_error; // ours, where the file's own says nothing
    bool m_created = false;
    bool m_committed = false;

    mutable std::mutex m_mutex;
    std::condition_variable_any m_wake;
    static constexpr qint64 InlineBytes = 4 * 1024 * 1024;
    qint64 m_inlineWritten = 0;
    std::deque<QByteArray> m_queue;
    qint64 m_queued = 0;
    bool m_failed = false;
    std::jthread m_writer; // last: stopped and joined before anything above goes
};

} // namespace quillmere
