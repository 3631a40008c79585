#include "settings/ini_file.h"

#include "files/file_io.h"
#include "text/code_page.h"

#include <QList>
#include <QStringDecoder>
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

// Notepad's "Unicode" files: UTF-16 behind a byte-order mark. They read as the system's
// profile functions read them, and turn into the file's usual encoding, so a rewrite
// leaves them in that encoding without the mark.
QByteArray inFileEncoding(QByteArray bytes) {
    QStringConverter::Encoding utf16;
    if (bytes.startsWith("\xff\xfe"))
        utf16 = QStringConverter::Utf16LE;
    else if (bytes.startsWith("\xfe\xff"))
        utf16 = QStringConverter::Utf16BE;
    else
        return bytes;
    // The mark is dropped here; one more after it would be a character of the text.
    QStringDecoder decode(utf16, QStringConverter::Flag::Stateless |
                                     QStringConverter::Flag::ConvertInitialBom);
    return EncodeLegacy(FileEncoding, QString(decode(QByteArrayView(bytes).sliced(2))))
        .value_or(QByteArray());
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
    const auto decode = [](QByteArrayView line) {
        return DecodeLegacy(FileEncoding, line).value_or(QString());
    };
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

// The file with the key's line replaced where it stands, or added at the end of its
// section, or the section added at the end of the file.
QByteArray withKeyLine(const QByteArray &old, QStringView section, QStringView key,
                       const QByteArray &header, const QByteArray &keyLine) {
    const QList<Line> lines = splitLines(old);
    const Location found = locate(old, lines, section, key);
    if (found.key >= 0) {
        // The line keeps its place and its own line break.
        const Line &line = lines[found.key];
        return old.first(line.begin) + keyLine + old.sliced(line.textEnd);
    }
    const qsizetype at = found.section >= 0 ? lines[found.lastKey].end : old.size();
    QByteArray added = keyLine + LineBreak;
    if (found.section < 0)
        added.prepend(header + LineBreak);
    if (at > 0 && old.at(at - 1) != '\n')
        added.prepend(LineBreak);
    return old.first(at) + added + old.sliced(at);
}

} // namespace

IniFile::IniFile(QString path)
    : m_path(std::move(path)) {}

QString IniFile::value(QStringView section, QStringView key) const {
    section = trimBlanks(section);
    key = trimBlanks(key);
    if (!isSectionName(section) || !isKeyName(key))
        return {};
    SmallFile file = ReadSmallFile(m_path, MaxFileSize);
    if (file.status != ReadStatus::Read)
        return {};
    const QByteArray bytes = inFileEncoding(std::move(file.bytes));
    const QString value = locate(bytes, splitLines(bytes), section, key).value;
    // The system's profile functions hand a value over as a C string: it ends at a NUL.
    const qsizetype nul = value.indexOf(QChar(u'\0'));
    return nul < 0 ? value : trimBlanks(QStringView(value).first(nul)).toString();
}

bool IniFile::setValue(QStringView section, QStringView key, QStringView value) {
    section = trimBlanks(section);
    key = trimBlanks(key);
    if (!isSectionName(section) || !isKeyName(key))
        return false;
    SmallFile file = ReadSmallFile(m_path, MaxFileSize);
    QByteArray old;
    if (file.status == ReadStatus::Read)
        old = inFileEncoding(std::move(file.bytes));
    // A file too large to read has nothing we could keep; one that cannot be read now may
    // hold lines we would lose.
    else if (file.status != ReadStatus::Missing && file.status != ReadStatus::TooLarge)
        return false;

    const std::optional<QByteArray> keyLine =
        EncodeLegacy(FileEncoding, key.toString() + u'=' + singleLine(value));
    const std::optional<QByteArray> header =
        EncodeLegacy(FileEncoding, u'[' + section.toString() + u']');
    if (!keyLine || !header)
        return false;
    QByteArray updated = withKeyLine(old, section, key, *header, *keyLine);
    // What is written must stay readable: past the cap only the value is kept.
    if (updated.size() > MaxFileSize)
        updated = withKeyLine({}, section, key, *header, *keyLine);
    if (updated.size() > MaxFileSize)
        return false;
    return ReplaceFile(m_path, updated).ok;
}

} // namespace quillmere
