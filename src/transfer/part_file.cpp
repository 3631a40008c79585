#include "transfer/part_file.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <filesystem>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

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

// From UTF-16, so no name is squeezed through a local 8-bit code page on Windows; there
// also with the long-path prefix, which Qt adds to the paths it opens.
std::filesystem::path nativePath(const QString &path) {
#ifdef Q_OS_WIN
    const QString absolute = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (absolute.startsWith(u"\\\\"))
        return std::filesystem::path((u"\\\\?\\UNC"_s + absolute.mid(1)).toStdU16String());
    return std::filesystem::path((u"\\\\?\\"_s + absolute).toStdU16String());
#else
    return std::filesystem::path(path.toStdU16String());
#endif
}

} // namespace

bool PartFile::open(const QString &target) {
    const QFileInfo existing(target);
    if (target.isEmpty() || existing.isDir() || (existing.exists() && !existing.isWritable()) ||
        !nameFits(existing))
        return false;
    m_target = target;
    for (int attempt = 0; attempt < 8 && !m_created; ++attempt) {
        const quint32 tag = QRandomGenerator::global()->bounded(0x1000000u);
        // A short name of its own, not the target's name plus a suffix: a target name
        // already at the file system's length limit must still be writable.
        m_file.setFileName(
            existing.dir().filePath(u".quillmere-%1.part"_s.arg(tag, 6, 16, QChar(u'0'))));
        m_created = m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
        if (!m_created && !m_file.exists())
            return false; // the folder refuses the name, not a clash with another file
    }
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
    std::error_code error;
    std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_target), error);
    if (error)
        m_renameError = QString::fromLocal8Bit(error.message());
    m_committed = !error;
    return m_committed;
}

QFileDevice::FileError PartFile::error() const {
    // The writer has stopped touching the file once it reports a failure.
    return m_file.error();
}

QString PartFile::errorString() const {
    return m_renameError.isEmpty() ? m_file.errorString() : m_renameError;
}

} // namespace quillmere
