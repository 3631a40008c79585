#include "settings/settings_folder.h"

#include "files/file_io.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

bool sameFolder(const QString &a, const QString &b) {
    const QString left = QFileInfo(a).canonicalFilePath();
    return !left.isEmpty() && left == QFileInfo(b).canonicalFilePath();
}

bool canWriteIn(const QString &folder) {
#ifdef Q_OS_WIN
    // Who may write in a folder is in its access list, which QFileInfo does not read (it
    // looks at the read-only attribute, which means nothing for a folder): a copy unpacked
    // under Program Files would be taken as writable. Only making a file tells.
    QFile probe;
    if (!CreateFileBeside(probe, QDir(folder).filePath(u"down.ini"_s), u".tmp"))
        return false;
    probe.close();
    probe.remove();
    return true;
#else
    return QFileInfo(folder).isWritable();
#endif
}

} // namespace

QString UserSettingsFolder() {
#ifdef Q_OS_WIN
    // Roaming, as the user's settings go with the user from machine to machine.
    const QString appData = qEnvironmentVariable("APPDATA");
    if (!appData.isEmpty())
        return QDir(QDir::fromNativeSeparators(appData)).filePath(u"Quillmere"_s);
#endif
    // Read from the environment, so it needs no application object: --help names it too.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(u"quillmere"_s);
}

QString ChooseSettingsFolder(const QString &programFolder, const QString &installedFolder,
                             const QString &userFolder) {
    if (QFileInfo::exists(QDir(programFolder).filePath(u"down.ini"_s)))
        return programFolder;
    if (sameFolder(programFolder, installedFolder) || !canWriteIn(programFolder))
        return userFolder;
    return programFolder;
}

bool MakeUserSettingsFolder(const QString &folder) {
    if (QFileInfo(folder).isDir())
        return true;
#ifdef Q_OS_WIN
    // In the user's profile, which the user alone (with the system and the administrators)
    // may open, and whose access list a new folder inherits: private from the start. A list
    // of its own would shut out no one more.
    return QDir().mkpath(folder);
#else
    // ~/.config as the system makes it; ours owner-only from the start, not narrowed
    // after: no moment in which others could look in.
    const QFileInfo info(folder);
    return QDir().mkpath(info.absolutePath()) &&
           QDir().mkdir(info.absoluteFilePath(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
#endif
}

} // namespace quillmere
