#pragma once

// A symbolic link as the file system keeps one. On Windows QFile::link makes a shortcut
// instead: a file of its own, which Explorer follows and the file system does not.

#include <QFile>
#include <QString>
#include <QtGlobal> // Q_OS_WIN

#ifdef Q_OS_WIN
#include <QDir>
#include <QFileInfo>
#include <windows.h>
#endif

namespace quillmere::test {

// `link` leading to `target`, which need not exist. False, with a warning saying why,
// when the system makes no link.
inline bool makeSymbolicLink(const QString &target, const QString &link) {
#ifdef Q_OS_WIN
    const auto native = [](const QString &path) {
        return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
    };
    // Without the flag only an administrator may make one; with it also a user whose
    // Windows is in developer mode.
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                        (QFileInfo(target).isDir() ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (!::CreateSymbolicLinkW(native(link).c_str(), native(target).c_str(), flags)) {
        const DWORD error = ::GetLastError();
        qWarning("no symbolic link made: error %lu%s", error,
                 error == ERROR_PRIVILEGE_NOT_HELD
                     ? " (an administrator or developer mode is needed)"
                     : "");
        return false;
    }
    // Wine 8 answers yes and makes nothing: it has no symbolic links a Windows program
    // could make or see.
    if (!QFileInfo(link).isSymLink()) {
        qWarning("no symbolic link made: the system said it made one, but there is none");
        return false;
    }
    return true;
#else
    return QFile::link(target, link);
#endif
}

} // namespace quillmere::test
