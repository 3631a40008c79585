#pragma once

// An attachment entry is one line of the attachment list: the link address, "__", the
// link text and a status marker, joined with nothing between them. These helpers are the
// only code that takes entries apart or puts them together.

#include <QString>
#include <QStringView>

namespace quillmere {

inline constexpr QStringView MarkerWaiting = u"[等待中]"; // found, not fetched yet
inline constexpr QStringView MarkerDone = u"[已完成]";    // fetched
inline constexpr QStringView MarkerFailed = u"[失  败]";  // the last fetch failed
inline constexpr QStringView EntrySeparator = u"__";

enum class EntryStatus { Waiting, Done, Failed };
QStringView MarkerOf(EntryStatus status);
// The status an entry's text shows: failed or done by its marker, otherwise waiting.
EntryStatus StatusOf(QStringView entry);

// Text before / after the first occurrence of delimiter; s whole when it does not occur.
QString StrBefore(QStringView s, QStringView delimiter);
QString StrAfter(QStringView s, QStringView delimiter);

// href + "__" + link text + "[等待中]"
QString MakeEntry(QStringView href, QStringView linkText);
// The marker the entry ends with: "[失  败]" when it ends so, otherwise its last 5 characters.
QStringView EntryMarker(QStringView entry);
// The entry without its whole marker (6 characters for "[失  败]", otherwise 5).
QString RemoveMarker(QStringView entry);
// The entry with its marker replaced by `marker`.
QString WithMarker(QStringView entry, QStringView marker);

struct EntryParts {
    QString address;  // text before the first "__"
    QString linkText; // text after it, without the marker
};
EntryParts SplitEntry(QStringView entry);

} // namespace quillmere
