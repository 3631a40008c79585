#include "analysis/attachment_entry.h"

namespace quillmere {

QString StrBefore(QStringView s, QStringView delimiter) {
    const qsizetype p = s.indexOf(delimiter);
    return (p < 0 ? s : s.left(p)).toString();
}

QString StrAfter(QStringView s, QStringView delimiter) {
    const qsizetype p = s.indexOf(delimiter);
    return (p < 0 ? s : s.mid(p + delimiter.size())).toString();
}

QString MakeEntry(QStringView href, QStringView linkText) {
    QString entry;
    entry.reserve(href.size() + EntrySeparator.size() + linkText.size() + MarkerWaiting.size());
    entry.append(href).append(EntrySeparator).append(linkText).append(MarkerWaiting);
    return entry;
}

QStringView EntryMarker(QStringView entry) {
    if (entry.endsWith(MarkerFailed))
        return entry.right(MarkerFailed.size());
    return entry.right(MarkerWaiting.size());
}

QString RemoveMarker(QStringView entry) {
    return entry.chopped(std::min(entry.size(), EntryMarker(entry).size())).toString();
}

QString WithMarker(QStringView entry, QStringView marker) {
    return RemoveMarker(entry).append(marker);
}

QStringView MarkerOf(EntryStatus status) {
    switch (status) {
    case EntryStatus::Done:
        return MarkerDone;
    case EntryStatus::Failed:
        return MarkerFailed;
    case EntryStatus::Waiting:
        break;
    }
    return MarkerWaiting;
}

EntryStatus StatusOf(QStringView entry) {
    if (entry.endsWith(MarkerFailed))
        return EntryStatus::Failed;
    return entry.endsWith(MarkerDone) ? EntryStatus::Done : EntryStatus::Waiting;
}

EntryParts SplitEntry(QStringView entry) {
    return {StrBefore(entry, EntrySeparator), RemoveMarker(StrAfter(entry, EntrySeparator))};
}

} // namespace quillmere
