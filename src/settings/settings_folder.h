#pragma once

// Where the program keeps down.ini and cookies.txt. A copy run from a folder of its own (a
// build folder, a portable copy, a Windows folder the user unpacked) keeps them beside
// itself. Installed, it cannot write there, and would forget the last folder and the
// sign-in at every start: it keeps them in the user's configuration folder instead.

#include <QString>

namespace quillmere {

// ~/.config/quillmere (or $XDG_CONFIG_HOME/quillmere); %APPDATA%\Quillmere on Windows.
QString UserSettingsFolder();

// The folder for down.ini and cookies.txt: the program's own unless it is the folder the
// program was installed to (`installedFolder`, empty when it has none) or one it cannot
// write. A down.ini already beside the program always wins, so a portable copy stays
// portable.
QString ChooseSettingsFolder(const QString &programFolder, const QString &installedFolder,
                             const QString &userFolder);

// Makes the user's folder on first use, readable by its owner alone: it holds a sign-in.
bool MakeUserSettingsFolder(const QString &folder);

} // namespace quillmere
