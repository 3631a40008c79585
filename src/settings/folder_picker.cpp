#include "settings/folder_picker.h"

#include <QDir>

namespace quillmere {

using namespace Qt::StringLiterals;

QString folderDialogStart() {
#ifdef Q_OS_WIN
    // The "Computer" known folder, in the form Qt's folder dialog takes for virtual folders.
    return u"clsid:0AC0837C-BBF8-452A-850D-79D08E667CA7"_s;
#else
    return u"/"_s;
#endif
}

QString tidyChosenFolder(const QString &path) {
    QString folder = QDir::toNativeSeparators(path);
    const QChar separator = QDir::separator();
    const bool drive = folder.size() >= 2 && folder[0].isLetter() && folder[1] == u':';
    if (drive && folder.size() == 2)
        return folder.append(separator); // "C:" is the drive's current folder; we mean its root
    // A root keeps its one separator: "/", or "C:\".
    const qsizetype root = drive ? 3 : 1;
    while (folder.size() > root && folder.endsWith(separator))
        folder.chop(1);
    return folder;
}

QString BrowseForFolder(QWidget *owner, const QString &title, const FolderDialog &dialog) {
    return tidyChosenFolder(dialog(owner, title, folderDialogStart()));
}

} // namespace quillmere
