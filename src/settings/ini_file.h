#pragma once

// A small INI file kept the way the Windows private-profile functions keep it: "[Section]"
// lines, "Key=value" lines, CR LF line ends, section and key names matched without regard
// to ASCII letter case. Everything else in the file is left byte for byte as it was, so a
// file that people or other programs also edit keeps their lines.

#include <QString>
#include <QStringView>

namespace quillmere {

class IniFile {
public:
    // Larger files are not a settings file of ours: they read as holding nothing and are
    // never rewritten, so a wrong path cannot swallow memory or destroy someone's data.
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    explicit IniFile(QString path);

    QString path() const { return m_path; }

    // The value with blanks trimmed from both ends, or an empty text when the file, the
    // section or the key is missing or the file cannot be read.
    QString value(QStringView section, QStringView key) const;

    // Replaces the key's line where it stands, or adds the key at the end of its section,
    // or the section at the end of the file, creating the file if needed. Line breaks in
    // the value become blanks. The file is replaced whole or not at all; false when it
    // could not be written, in which case it is unchanged. Only a settings file is
    // replaced: a file of other lines (as behind a link), a binary, a pipe or a link to
    // nowhere is left as it is.
    bool setValue(QStringView section, QStringView key, QStringView value);

private:
    QString m_path;
};

} // namespace quillmere
