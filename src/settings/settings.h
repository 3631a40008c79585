#pragma once

// The program's one settings file, "down.ini" in the program's own folder.

#include "settings/ini_file.h"

#include <QString>
#include <QStringView>

namespace quillmere {

// The program's folder with a trailing native separator. Start-up sets it before the
// first ReadIni.
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
