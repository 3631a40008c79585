#pragma once

// Choosing the target folder with the system's folder dialog. The dialog itself is handed
// in, so this part needs no widgets and tests can answer in its place.

#include <QString>
#include <QStringView>
#include <functional>

class QWidget;

namespace quillmere {

// Shows a modal folder dialog over `owner` that lets only folders be confirmed, starting at
// `startFolder`; returns the chosen folder, "" when cancelled.
using FolderDialog =
    std::function<QString(QWidget *owner, const QString &title, const QString &startFolder)>;

// Where the dialog opens: the top of the file-system namespace, never the folder the user
// has typed. On Windows that is the computer's list of drives.
QString folderDialogStart();

// The chosen folder as the window shows it: native separators, and no trailing separator
// except for a root such as "/" or "C:\".
QString tidyChosenFolder(const QString &path);

// The title of the dialog that asks for the target folder.
inline constexpr QStringView SaveFolderPrompt = u"请选择附件保存的目录.";

// The chosen folder, or "" when the user cancelled (Esc and the close box included).
QString BrowseForFolder(QWidget *owner, const QString &title, const FolderDialog &dialog);

} // namespace quillmere
