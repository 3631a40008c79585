#pragma once

// The few files the program keeps for itself (its settings, its cookies) and the files it
// puts in place (a finished download): read whole under a cap, and replaced whole, so
// that a crash leaves the old file or the new one and never half of one.

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <QStringView>
#include <filesystem>

namespace quillmere {

// The path for the system's own file functions: from UTF-16, so no name goes through an
// 8-bit code page, and on Windows with the long-path prefix (\\?\, \\?\UNC\ for a share)
// that Qt adds to the paths it opens itself.
std::filesystem::path NativePath(const QString &path);

enum class ReadStatus {
    Read,
    Missing,    // nothing there, a link to nowhere included
    NotRegular, // a folder, a pipe or a device: never opened, as it could block
    TooLarge,   // over the cap
    Unreadable, // cannot be opened or read
};

struct SmallFile {
    ReadStatus status = ReadStatus::Missing;
    QByteArray bytes; // only when Read
    QString error;    // why not, for a message; empty when Read
};

// A regular file of at most `maxBytes`, through a link if it is one. One byte past the
// cap is read rather than the size trusted: a file may grow meanwhile.
SmallFile ReadSmallFile(const QString &path, qint64 maxBytes);

struct FileResult {
    bool ok = false;
    QString error; // empty when ok
};

// Whether ReplaceFile may put a new file under `path`. Not a symbolic link, even one to
// nowhere: replacing it would cut the link, writing through it would change a file we
// were never given. Not a folder, pipe or device. Not a file its owner made read-only:
// that is meant to stay as it is, whoever runs us. A missing file may be created.
FileResult MayReplace(const QString &path);

enum class FileAccess {
    Kept,      // the replaced file's permissions, or the system's usual ones for a new file
    OwnerOnly, // readable and writable by the owner alone, from the first byte on
};

// Opens `file` for writing as a new file with a short name of its own (".quillmere-",
// six hex digits, `suffix`) in `target`'s folder: a target name already at the file
// system's length limit still has room beside it. Kept gives it the system's usual
// permissions. False when the folder refuses it.
bool CreateFileBeside(QFile &file, const QString &target, QStringView suffix,
                      QIODevice::OpenMode extraMode = {}, FileAccess access = FileAccess::Kept);

// Renames the written file `from` over `to` in one step, replacing whatever `to` was.
FileResult RenameOver(const QString &from, const QString &to);

// Puts `bytes` under `target` when MayReplace allows it: written to a new file beside it,
// forced to the disk and renamed over it. On failure the target is as it was and nothing
// is left beside it.
FileResult ReplaceFile(const QString &target, QByteArrayView bytes,
                       FileAccess access = FileAccess::Kept);

} // namespace quillmere
