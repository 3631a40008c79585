#pragma once

// A small INI file kept the way the Windows private-profile functions keep it: "[Section]"
// lines, "Key=value" lines, CR LF line ends, section and key names matched without regard
// to ASCII letter case. Every other line of the file is left byte for byte as it was, so a
// file that people or other programs also edit keeps their lines (a UTF-16 file's lines
// are kept in the usual encoding; one too large to read is started afresh).
//
// A regular file under the name is ours, whatever it holds (a binary, a NUL in a value):
// a write replaces it. A file that starts with a UTF-16 byte-order mark (Notepad's
// "Unicode") reads as UTF-16 and is written back in the usual encoding, without the mark.
// A write leaves alone only a symbolic link, even one to nowhere (read through, but
// replacing it would cut it and writing through it would change a file we were never
// given), what is not a regular file (a folder, a pipe, a device: never read either), a
// file its owner made read-only, and a file that fails to read, whose lines would be lost.

#include <QString>
#include <QStringView>

namespace quillmere {

class IniFile {
public:
    // Larger files cannot be read, so a wrong path cannot swallow memory: they read as
    // holding nothing, and a write replaces one with a file of just its section and key.
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    explicit IniFile(QString path);

    QString path() const { return m_path; }

    // The value with blanks trimmed from both ends, or an empty text when the file, the
    // section or the key is missing or the file cannot be read.
    QString value(QStringView section, QStringView key) const;

    // Replaces the key's line where it stands, or adds the key at the end of its section,
    // or the section at the end of the file, creating the file if needed. Line breaks in
    // the value become blanks. The file is replaced whole (a new file renamed over it) or
    // not at all; false when it could not be written or is left alone (see above), in
    // which case it is unchanged. Should the file grow past MaxFileSize, only the section
    // and the key are kept.
    bool setValue(QStringView section, QStringView key, QStringView value);

private:
    QString m_path;
};

} // namespace quillmere
