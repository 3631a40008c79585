#include "settings/settings_folder.h"

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
    if (sameFolder(programFolder, installedFolder) || !QFileInfo(programFolder).isWritable())
        return userFolder;
    return programFolder;
}

bool MakeUserSettingsFolder(const QString &folder) {
    if (QFileInfo(folder).isDir())
        return true;
    // ~/.config as the system makes it; ours owner-only from the start, not narrowed
    // after: no moment in which others could look in.
    const QFileInfo info(folder);
    return QDir().mkpath(info.absolutePath()) &&
           QDir().mkdir(info.absoluteFilePath(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace quillmere
