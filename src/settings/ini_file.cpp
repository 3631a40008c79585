#include "settings/ini_file.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <optional>
#include <utility>

namespace quillmere {

namespace {

// A superset of code page 936 that leaves every one of its characters' bytes as they were
// and encodes all other characters in four bytes, so older files read unchanged and no
// folder name is lost on the way to disk.
constexpr char FileEncoding[] = "GB18030";
constexpr char LineBreak[] = "\r\n";

// Byte offsets of one line: its text runs from begin to textEnd, its line break (if any)
// from textEnd to end.
struct Line {
    qsizetype begin = 0;
    qsizetype textEnd = 0;
    qsizetype end = 0;
};

QList<Line> splitLines(const QByteArray &bytes) {
    QList<Line> lines;
    for (qsizetype begin = 0; begin < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', begin);
        Line line{begin, newline, newline + 1};
        if (newline < 0)
            line.textEnd = line.end = bytes.size();
        else if (newline > begin && bytes[newline - 1] == '\r')
            --line.textEnd;
        lines.append(line);
        begin = line.end;
    }
    return lines;
}

QStringView trimBlanks(QStringView text) {
    // A lone CR is left over when the last line of a CR LF file lost its LF.
    const auto isBlank = [](QChar c) {
        return c == u' ' || c == u'\t' || c == u'\r';
    };
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

// ASCII only: the system functions fold no other letters, and a file they wrote must keep
// matching the same lines.
bool sameName(QStringView a, QStringView b) {
    const auto fold = [](QChar c) {
        const char16_t u = c.unicode();
        return u >= u'A' && u <= u'Z' ? char16_t(u - u'A' + u'a') : u;
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](QChar x, QChar y) { return fold(x) == fold(y); });
}

bool containsAny(QStringView text, QStringView chars) {
    return std::any_of(text.begin(), text.end(), [&](QChar c) { return chars.contains(c); });
}

// Names that would read back as some other kind of line are refused.
bool isSectionName(QStringView name) {
    return !name.isEmpty() && !containsAny(name, u"]\r\n");
}

bool isKeyName(QStringView name) {
    return !name.isEmpty() && !name.startsWith(u'[') && !name.startsWith(u';') &&
           !containsAny(name, u"=\r\n");
}

// A missing file reads as empty; nullopt means a file is there but cannot be taken as ours.
std::optional<QByteArray> readBytes(const QString &path) {
    const QFileInfo info(path);
    // A link that leads nowhere would be written through, to wherever it points.
    if (info.isSymLink() && !info.exists())
        return std::nullopt;
    if (!info.exists())
        return QByteArray();
    // A pipe or a device would block the read or never end: not a settings file.
    if (!info.isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(IniFile::MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > IniFile::MaxFileSize)
        return std::nullopt;
    return bytes;
}

// Only a settings file is ever replaced: every line blank, a [section], a comment or a
// key=value line. Anything else under the name (a file behind a link, a binary) is
// someone's data.
bool isSettingsText(const QByteArray &bytes) {
    if (bytes.contains('\0'))
        return false;
    for (const Line &line : splitLines(bytes)) {
        const QByteArray text = bytes.sliced(line.begin, line.textEnd - line.begin).trimmed();
        if (!text.isEmpty() && !text.startsWith('[') && !text.startsWith(';') &&
            !text.startsWith('#') && !text.contains('='))
            return false;
    }
    return true;
}

struct Location {
    qsizetype section = -1; // line of the first header with the section's name
    qsizetype key = -1;     // line of the key within that section
    qsizetype lastKey = -1; // the section's last key line, or its header: new keys go after
    QString value;
};

// As the system's profile functions read them: one pair of matching quotes around a value
// is not part of it.
QStringView unquoted(QStringView value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.sliced(1, value.size() - 2);
    return value;
}

Location locate(const QByteArray &bytes, const QList<Line> &lines, QStringView section,
                QStringView key) {
    // Stateless, so a broken sequence at the end of one line cannot swallow the next line.
    QStringDecoder decode(FileEncoding, QStringConverter::Flag::Stateless);
    Location found;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line &raw = lines[i];
        const QString decoded =
            decode(QByteArrayView(bytes).sliced(raw.begin, raw.textEnd - raw.begin));
        const QStringView text = trimBlanks(decoded);
        if (text.startsWith(u'[')) {
            // Only the first section of a name counts, as with the system functions.
            if (found.section >= 0)
                break;
            const qsizetype close = text.indexOf(u']');
            const QStringView name = close < 0 ? text.sliced(1) : text.sliced(1, close - 1);
            if (sameName(trimBlanks(name), section))
                found.section = found.lastKey = i;
            continue;
        }
        const qsizetype equals = text.indexOf(u'=');
        if (found.section < 0 || text.startsWith(u';') || equals < 0)
            continue;
        found.lastKey = i;
        if (sameName(trimBlanks(text.first(equals)), key)) {
            found.key = i;
            found.value = unquoted(trimBlanks(text.sliced(equals + 1))).toString();
            break;
        }
    }
    return found;
}

// A line break in a value would start a line of its own, which could even open a section.
QString singleLine(QStringView value) {
    QString line = value.toString();
    line.replace(u'\r', u' ');
    line.replace(u'\n', u' ');
    return line;
}

} // namespace

IniFile::IniFile(QString path)
    : m_path(std::move(path)) {}

QString IniFile::value(QStringView section, QStringView key) const {
    section = trimBlanks(section);
    key = trimBlanks(key);
    if (!isSectionName(section) || !isKeyName(key))
        return {};
    const std::optional<QByteArray> bytes = readBytes(m_path);
    if (!bytes)
        return {};
    return locate(*bytes, splitLines(*bytes), section, key).value;
}

bool IniFile::setValue(QStringView section, QStringView key, QStringView value) {
    section = trimBlanks(section);
    key = trimBlanks(key);
    QStringEncoder encode(FileEncoding);
    if (!encode.isValid() || !isSectionName(section) || !isKeyName(key))
        return false;
    const std::optional<QByteArray> old = readBytes(m_path);
    if (!old || !isSettingsText(*old))
        return false;

    const QList<Line> lines = splitLines(*old);
    const Location found = locate(*old, lines, section, key);
    const QByteArray keyLine = encode(key.toString() + u'=' + singleLine(value));
    QByteArray updated;
    if (found.key >= 0) {
        // The line keeps its place and its own line break.
        const Line &line = lines[found.key];
        updated = old->first(line.begin) + keyLine + old->sliced(line.textEnd);
    } else {
        const qsizetype at = found.section >= 0 ? lines[found.lastKey].end : old->size();
        QByteArray added = keyLine + LineBreak;
        if (found.section < 0)
            added.prepend(encode(u'[' + section.toString() + u']') + LineBreak);
        if (at > 0 && old->at(at - 1) != '\n')
            added.prepend(LineBreak);
        updated = old->first(at) + added + old->sliced(at);
    }
    // What is written must stay readable.
    if (updated.size() > MaxFileSize)
        return false;

    // QSaveFile refuses an existing file that is read-only: its temporary file and rename
    // never replace one.
    QSaveFile file(m_path);
    return file.open(QIODevice::WriteOnly) && file.write(updated) == updated.size() &&
           file.commit();
}

} // namespace quillmere
