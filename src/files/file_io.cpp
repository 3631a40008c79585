#include "files/file_io.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <system_error>

#ifdef Q_OS_UNIX
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

QString sizeText(qint64 bytes) {
    if (bytes % (1024 * 1024) == 0)
        return u"%1 MiB"_s.arg(bytes / (1024 * 1024));
    if (bytes % 1024 == 0)
        return u"%1 KiB"_s.arg(bytes / 1024);
    return u"%1 bytes"_s.arg(bytes);
}

// Without it a power cut shortly after the rename can leave an empty file under the
// target's name on some file systems: the rename reaches the disk before the bytes.
bool syncToDisk(QFile &file) {
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#elif defined(Q_OS_WIN)
    return ::_commit(file.handle()) == 0;
#else
    Q_UNUSED(file);
    return true;
#endif
}

} // namespace

std::filesystem::path NativePath(const QString &path) {
#ifdef Q_OS_WIN
    const QString absolute = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (absolute.startsWith(u"\\\\"))
        return std::filesystem::path((u"\\\\?\\UNC"_s + absolute.mid(1)).toStdU16String());
    return std::filesystem::path((u"\\\\?\\"_s + absolute).toStdU16String());
#else
    return std::filesystem::path(path.toStdU16String());
#endif
}

SmallFile ReadSmallFile(const QString &path, qint64 maxBytes) {
    SmallFile result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.error = u"it does not exist"_s;
        return result;
    }
    // Opening a pipe waits for a writer, and a device may never end: only the type
    // tells, before the open.
    if (!info.isFile()) {
        result.status = ReadStatus::NotRegular;
        result.error = u"it is not a regular file"_s;
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = ReadStatus::Unreadable;
        result.error = file.errorString();
        return result;
    }
    QByteArray bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        result.status = ReadStatus::Unreadable;
        result.error = file.errorString();
    } else if (bytes.size() > maxBytes) {
        result.status = ReadStatus::TooLarge;
        result.error = u"it is larger than %1"_s.arg(sizeText(maxBytes));
    } else {
        result.status = ReadStatus::Read;
        result.bytes = std::move(bytes);
    }
    return result;
}

FileResult MayReplace(const QString &path) {
    const QFileInfo info(path);
    if (info.isSymLink())
        return {false, u"it is a symbolic link"_s};
    if (!info.exists())
        return {true, {}};
    if (!info.isFile())
        return {false, u"it is not a regular file"_s};
    // The file's own mode decides, not whether we could write it: root can write anything.
    if (!info.permissions().testFlag(QFileDevice::WriteOwner))
        return {false, u"it is read-only"_s};
    return {true, {}};
}

bool CreateFileBeside(QFile &file, const QString &target, QStringView suffix,
                      QIODevice::OpenMode extraMode, FileAccess access) {
    const QDir folder = QFileInfo(target).dir();
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::NewOnly | extraMode;
    // Permissions only when asked for: on Windows they become an access list of their own
    // instead of the folder's.
    const auto open = [&] {
        return access == FileAccess::OwnerOnly
                   ? file.open(mode, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                   : file.open(mode);
    };
    for (int attempt = 0; attempt < 8; ++attempt) {
        const quint32 tag = QRandomGenerator::global()->bounded(0x1000000u);
        QString name = u".quillmere-%1"_s.arg(tag, 6, 16, QChar(u'0'));
        file.setFileName(folder.filePath(name.append(suffix)));
        if (open())
            return true;
        if (!file.exists())
            return false; // the folder refuses the name, not a clash with another file
    }
    return false;
}

FileResult RenameOver(const QString &from, const QString &to) {
    std::error_code error;
    std::filesystem::rename(NativePath(from), NativePath(to), error);
    if (error)
        return {false, QString::fromLocal8Bit(error.message())};
    return {true, {}};
}

FileResult ReplaceFile(const QString &target, QByteArrayView bytes, FileAccess access) {
    if (FileResult may = MayReplace(target); !may.ok)
        return may;
    QFile file;
    if (!CreateFileBeside(file, target, u".tmp", {}, access))
        return {false, file.errorString()};
    const auto fail = [&file](QString error) {
        file.close();
        file.remove();
        return FileResult{false, std::move(error)};
    };
    if (access == FileAccess::Kept && QFileInfo::exists(target) &&
        !file.setPermissions(QFile::permissions(target)))
        return fail(file.errorString());
    if (file.write(bytes.data(), bytes.size()) != bytes.size() || !file.flush())
        return fail(file.errorString());
    if (!syncToDisk(file))
        return fail(QString::fromLocal8Bit(std::generic_category().message(errno)));
    file.close();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    FileResult renamed = RenameOver(file.fileName(), target);
    if (!renamed.ok)
        file.remove();
    return renamed;
}

} // namespace quillmere
