#include "settings/settings.h"

using namespace Qt::StringLiterals;

namespace quillmere {

QString g_sAppPath;

IniFile settingsFile() {
    return IniFile(g_sAppPath + u"down.ini"_s);
}

QString ReadIni(QStringView section, QStringView key) {
    return ReadIni(settingsFile(), section, key);
}

bool WriteIni(QStringView section, QStringView key, QStringView value) {
    IniFile file = settingsFile();
    return WriteIni(file, section, key, value);
}

QString ReadIni(const IniFile &file, QStringView section, QStringView key) {
    return file.value(section, key);
}

bool WriteIni(IniFile &file, QStringView section, QStringView key, QStringView value) {
    return file.setValue(section, key, value);
}

} // namespace quillmere
