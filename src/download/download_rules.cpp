#include "download/download_rules.h"

#include "analysis/attachment_entry.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

// Windows reserves these names in every folder, whatever follows the first dot.
bool isDeviceName(QStringView name) {
    const qsizetype stem = name.indexOf(u'.');
    QStringView base = stem < 0 ? name : name.left(stem);
    while (base.endsWith(u' ')) // "CON .rar" still opens the console
        base.chop(1);
    for (const QStringView device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (base.compare(device, Qt::CaseInsensitive) == 0)
            return true;
    }
    if (base.size() != 4)
        return false;
    const QStringView prefix = base.left(3);
    if (prefix.compare(u"COM", Qt::CaseInsensitive) != 0 &&
        prefix.compare(u"LPT", Qt::CaseInsensitive) != 0)
        return false;
    const char16_t digit = base[3].unicode();
    return (digit >= u'0' && digit <= u'9') || digit == u'¹' || digit == u'²' || digit == u'³';
}

bool isForbiddenCharacter(char16_t c) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
        return true; // control characters
    switch (c) {
    case u'<':
    case u'>':
    case u':': // drive and stream colons
    case u'"':
    case u'/':
    case u'\\':
    case u'|':
    case u'?':
    case u'*':
        return true;
    // Direction marks and overrides: they make a name read as something it is not.
    case 0x061c:
    case 0x200e:
    case 0x200f:
        return true;
    default:
        return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
    }
}

} // namespace

QString WaitingText(QStringView fileName) {
    return u"正在下载“"_s.append(fileName).append(u"”，请耐心等待。。。");
}

QString ProgressText(QStringView fileName, qint32 percent) {
    return u"正在下载“"_s.append(fileName)
        .append(u"”，已下载")
        .append(QString::number(percent))
        .append(u'%');
}

qint32 ProgressPercent(qint64 progress, qint64 maxProgress) {
    if (maxProgress == 0)
        return 0;
    // Division first, then the hundred: 29 of 100 is 28, as it always has been.
    const double percent =
        std::floor(static_cast<double>(progress) / static_cast<double>(maxProgress) * 100.0);
    constexpr double lowest = std::numeric_limits<qint32>::min();
    constexpr double highest = std::numeric_limits<qint32>::max();
    return static_cast<qint32>(std::clamp(percent, lowest, highest));
}

QString SaveDirFor(const QString &typed) {
    const QChar separator = QDir::separator();
#ifdef Q_OS_WIN
    if (typed.endsWith(u'/'))
        return typed;
#endif
    return typed.endsWith(separator) ? typed : typed + separator;
}

bool IsSaveFolder(const QString &folder) {
    // The file system would stop reading at a NUL and look at another folder.
    if (folder.contains(QChar(u'\0')))
        return false;
#ifdef Q_OS_WIN
    for (const QChar c : u"<>\"|?*"_s) {
        if (folder.contains(c))
            return false;
    }
#endif
    if (!QFileInfo(folder).isDir())
        return false;
    // Without NoDotAndDotDot the listing holds "." for the folder itself, so an empty
    // folder answers too; one that cannot be read answers nothing.
    QDirIterator listing(folder, QDir::AllEntries | QDir::Hidden | QDir::System);
    if (listing.hasNext())
        return true;
#ifdef Q_OS_WIN
    // A drive's root has no "." entry to answer with.
    return QDir(folder).isRoot() && QDir(folder).isReadable();
#else
    return false;
#endif
}

std::optional<EntryParts> FetchTargetOf(QStringView entry) {
    if (StrAfter(entry, EntrySeparator).size() < MarkerWaiting.size())
        return std::nullopt;
    return SplitEntry(entry);
}

NameFault CheckFileName(QStringView name) {
    if (name.isEmpty())
        return {NameFault::Empty};
    if (name.size() > 255)
        return {NameFault::TooLong};
    // Windows drops trailing dots and blanks, so "a.rar." would land on "a.rar"; this also
    // takes care of "." and "..".
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return {NameFault::Ending, name.last(1).toString()};
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        // A lone surrogate has no file name encoding: it would be written as another name.
        if (c.isSurrogate() || isForbiddenCharacter(c.unicode()))
            return {NameFault::Character, QString(c)};
    }
    if (isDeviceName(name))
        return {NameFault::DeviceName, name.left(name.indexOf(u'.')).trimmed().toString()};
    return {};
}

bool IsPlainFileName(QStringView name) {
    return !CheckFileName(name);
}

QString NumberedName(QStringView name, int n) {
    // "a.part1.rar" becomes "a.part1 (2).rar"; a name whose only dot leads has no extension.
    const qsizetype dot = name.lastIndexOf(u'.');
    const qsizetype stemEnd = dot > 0 ? dot : name.size();
    return name.first(stemEnd).toString().append(u" (%1)"_s.arg(n)).append(name.sliced(stemEnd));
}

QString FreeName(const QString &name, const std::function<bool(const QString &)> &taken) {
    if (!taken(name))
        return name;
    for (int n = 2;; ++n) {
        QString numbered = NumberedName(name, n);
        if (!taken(numbered))
            return numbered;
    }
}

} // namespace quillmere
