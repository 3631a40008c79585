#pragma once

// The program's one settings file, "down.ini" beside the program or, installed, in the
// user's settings folder.

#include "settings/ini_file.h"

#include <QString>
#include <QStringView>

namespace quillmere {

// The folder of down.ini with a trailing native separator: the program's own folder, or
// the user's settings folder for an installed program (settings_folder.h). Start-up sets
// it before the first ReadIni.
extern QString g_sAppPath;

// Where the last target folder is remembered.
inline constexpr QStringView OptionSection = u"Option";
inline constexpr QStringView LastDirKey = u"LastDir";

IniFile settingsFile();

// Both return an empty text / false on any failure and never show a message.
QString ReadIni(QStringView section, QStringView key);
bool WriteIni(QStringView section, QStringView key, QStringView value);

QString ReadIni(const IniFile &file, QStringView section, QStringView key);
bool WriteIni(IniFile &file, QStringView section, QStringView key, QStringView value);

} // namespace quillmere
