#include "transfer/part_file.h"

#include "files/file_io.h"

#include <QFileInfo>
#include <system_error>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace quillmere {

PartFile::PartFile(WrittenHandler onWritten, DiskWait diskWait)
    : m_onWritten(std::move(onWritten))
    , m_diskWait(std::move(diskWait)) {}

PartFile::~PartFile() {
    if (m_writer.joinable()) {
        m_writer.request_stop();
        m_writer.join();
    }
    if (m_created && !m_committed) {
        m_file.close();
        m_file.remove();
    }
}

namespace {

// The temporary file's name says nothing about the target's, so a name the folder would
// refuse has to be caught before any byte is fetched.
bool nameFits(const QFileInfo &target) {
#ifdef Q_OS_UNIX
    const long limit =
        ::pathconf(QFile::encodeName(target.absolutePath()).constData(), _PC_NAME_MAX);
    return limit < 0 || QFile::encodeName(target.fileName()).size() <= limit;
#else
    return target.fileName().size() <= 255;
#endif
}

} // namespace

bool PartFile::open(const QString &target) {
    const QFileInfo existing(target);
    // Refused before the system is asked: its own words for each, all the same.
    const auto refuse = [this](std::errc why) {
        m_error = QString::fromLocal8Bit(std::make_error_code(why).message());
        return false;
    };
    if (target.isEmpty())
        return refuse(std::errc::no_such_file_or_directory);
    if (existing.isDir())
        return refuse(std::errc::is_a_directory);
    if (existing.exists() && !existing.isWritable())
        return refuse(std::errc::permission_denied);
    if (!nameFits(existing))
        return refuse(std::errc::filename_too_long);
    m_target = target;
    m_created = CreateFileBeside(m_file, target, u".part", QIODevice::Unbuffered);
    return m_created;
}

void PartFile::write(QByteArray data) {
    if (data.isEmpty() || !m_created)
        return;
    if (!m_writer.joinable()) {
        // The first few MiB only fill the page cache and cost microseconds: written here,
        // a small attachment needs no thread and no hand-over. Only a body that could make
        // the kernel throttle its writer gets the thread.
        if (m_inlineWritten + data.size() <= InlineBytes) {
            if (m_file.write(data) == data.size()) {
                m_inlineWritten += data.size();
            } else {
                const std::lock_guard lock(m_mutex);
                m_failed = true;
            }
            return;
        }
        m_writer = std::jthread([this](std::stop_token stop) { writeQueued(std::move(stop)); });
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_failed)
            return;
        m_queued += data.size();
        m_queue.push_back(std::move(data));
    }
    m_wake.notify_one();
}

qint64 PartFile::queued() const {
    const std::lock_guard lock(m_mutex);
    return m_queued;
}

bool PartFile::failed() const {
    const std::lock_guard lock(m_mutex);
    return m_failed;
}

void PartFile::writeQueued(std::stop_token stop) {
    for (;;) {
        QByteArray chunk;
        qint64 queuedNow = 0;
        {
            std::unique_lock lock(m_mutex);
            // A stop means the file is being thrown away: what is still queued is not
            // worth waiting for.
            if (!m_wake.wait(lock, stop, [this] { return !m_queue.empty(); }) ||
                stop.stop_requested())
                return;
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
            queuedNow = m_queued;
        }
        if (m_diskWait)
            m_diskWait(chunk.size(), queuedNow);
        const bool written = m_file.write(chunk) == chunk.size();
        {
            const std::lock_guard lock(m_mutex);
            m_queued -= chunk.size();
            if (!written) {
                m_failed = true;
                m_queue.clear();
                m_queued = 0;
            }
        }
        if (m_onWritten)
            m_onWritten();
        if (!written)
            return;
    }
}

bool PartFile::commit() {
    if (!m_created || queued() != 0 || failed())
        return false;
    if (m_writer.joinable()) {
        m_writer.request_stop();
        m_writer.join();
    }
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return false;
    const FileResult renamed = RenameOver(m_file.fileName(), m_target);
    m_error = renamed.error;
    m_committed = renamed.ok;
    return m_committed;
}

QFileDevice::FileError PartFile::error() const {
    // The writer has stopped touching the file once it reports a failure.
    return m_file.error();
}

QString PartFile::errorString() const {
    return m_error.isEmpty() ? m_file.errorString() : m_error;
}

} // namespace quillmere
