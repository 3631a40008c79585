#include "analysis/attachment_list.h"

#include "analysis/attachment_entry.h"

#include <QDir>
#include <QFileInfo>

namespace quillmere {

namespace {

// Two paths name one file when the file system says so, and whether it ignores letter
// case is a matter of the disk (NTFS, FAT, a share), not of the system: taken as one file,
// the worst is a "(2)" that was not needed.
QString fileKey(const QString &path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toCaseFolded();
}

} // namespace

AttachmentList::AttachmentList(QObject *parent)
    : QAbstractListModel(parent) {}

QString AttachmentList::List(int index) const {
    if (!valid(index))
        return {};
    const Entry &entry = m_entries[size_t(index)];
    return QString(entry.head).append(MarkerOf(entry.status));
}

bool AttachmentList::Selected(int index) const {
    return valid(index) && m_entries[size_t(index)].checked;
}

void AttachmentList::setSelected(int index, bool checked) {
    if (!valid(index) || m_entries[size_t(index)].checked == checked)
        return;
    m_entries[size_t(index)].checked = checked;
    m_checked += checked ? 1 : -1;
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, {Qt::CheckStateRole});
    Q_EMIT ItemCheck(index);
}

QUrl AttachmentList::Page(int index) const {
    return valid(index) ? m_entries[size_t(index)].page : QUrl();
}

std::optional<EntryParts> AttachmentList::Parts(int index) const {
    return valid(index) ? m_entries[size_t(index)].parts : std::nullopt;
}

AttachmentList::EntryId AttachmentList::Id(int index) const {
    return valid(index) ? m_entries[size_t(index)].id : 0;
}

EntryStatus AttachmentList::Status(int index) const {
    return valid(index) ? m_entries[size_t(index)].status : EntryStatus::Waiting;
}

QString AttachmentList::Note(int index) const {
    return valid(index) ? m_entries[size_t(index)].note : QString();
}

QString AttachmentList::SavedPath(int index) const {
    return valid(index) ? m_entries[size_t(index)].savedPath : QString();
}

void AttachmentList::setOutcome(int index, EntryStatus status, const QString &note,
                                const QString &savedPath) {
    if (!valid(index))
        return;
    Entry &entry = m_entries[size_t(index)];
    entry.status = status;
    entry.note = note;
    if (!savedPath.isEmpty()) {
        entry.savedPath = savedPath;
        // Every file the entry saved stays its own, also one it saved in another folder
        // before: this list made it, and no namesake may replace it.
        const QString key = fileKey(savedPath);
        if (!m_savedBy.contains(key))
            m_savedBy.insert(key, entry.id);
    }
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed,
                       {Qt::DisplayRole, Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
}

bool AttachmentList::SavedByAnother(int index, const QString &path) const {
    const auto owner = m_savedBy.constFind(fileKey(path));
    return owner != m_savedBy.cend() && *owner != Id(index);
}

void AttachmentList::append(QString head, EntryStatus status, const QUrl &page,
                            std::optional<EntryParts> parts) {
    Entry entry;
    entry.id = m_nextId++;
    entry.head = std::move(head);
    entry.status = status;
    entry.page = page;
    entry.parts = std::move(parts);
    m_entries.push_back(std::move(entry));
}

void AttachmentList::AddLinks(const QList<EntryParts> &links, const QUrl &page) {
    if (links.isEmpty())
        return;
    const int first = ListCount();
    beginInsertRows({}, first, first + int(links.size()) - 1);
    m_entries.reserve(m_entries.size() + size_t(links.size()));
    for (const EntryParts &link : links)
        append(QString(link.address).append(EntrySeparator).append(link.linkText),
               EntryStatus::Waiting, page, link);
    endInsertRows();
}

void AttachmentList::AddItem(const QString &text, const QUrl &page) {
    AddItems({text}, page);
}

void AttachmentList::AddItems(const QStringList &texts, const QUrl &page) {
    if (texts.isEmpty())
        return;
    const int first = ListCount();
    beginInsertRows({}, first, first + int(texts.size()) - 1);
    m_entries.reserve(m_entries.size() + size_t(texts.size()));
    for (const QString &text : texts) {
        // A text without a marker is an entry that waits.
        const EntryStatus status = StatusOf(text);
        const bool marked = text.endsWith(MarkerOf(status));
        append(marked ? RemoveMarker(text) : text, status, page, std::nullopt);
    }
    endInsertRows();
}

void AttachmentList::SelectAll() {
    int first = -1, last = -1;
    for (int i = 0; i < ListCount(); ++i) {
        Entry &entry = m_entries[size_t(i)];
        if (entry.checked || entry.status == EntryStatus::Done)
            continue;
        entry.checked = true;
        ++m_checked;
        if (first < 0)
            first = i;
        last = i;
    }
    checkedRangeChanged(first, last);
}

void AttachmentList::ClearAll() {
    int first = -1, last = -1;
    for (int i = 0; i < ListCount(); ++i) {
        Entry &entry = m_entries[size_t(i)];
        if (!entry.checked)
            continue;
        entry.checked = false;
        if (first < 0)
            first = i;
        last = i;
    }
    m_checked = 0;
    checkedRangeChanged(first, last);
}

void AttachmentList::checkedRangeChanged(int first, int last) {
    if (first < 0)
        return;
    Q_EMIT dataChanged(index(first), index(last), {Qt::CheckStateRole});
    Q_EMIT ItemCheck(first);
}

void AttachmentList::Clear() {
    beginResetModel();
    m_entries.clear();
    m_savedBy.clear(); // a new list starts afresh
    m_checked = 0;
    endResetModel();
}

QString AttachmentList::totalsText(int count, int checked) {
    return QStringLiteral("附件总数：%1 / 已选择：%2").arg(count).arg(checked);
}

int AttachmentList::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ListCount();
}

QVariant AttachmentList::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || !valid(index.row()))
        return {};
    const Entry &entry = m_entries[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return List(index.row());
    case Qt::CheckStateRole:
        return entry.checked ? Qt::Checked : Qt::Unchecked;
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        return entry.note.isEmpty() ? QVariant() : QVariant(entry.note);
    case PageRole:
        return entry.page;
    case AddressRole:
        return entry.parts ? QVariant(entry.parts->address) : QVariant();
    case LinkTextRole:
        return entry.parts ? QVariant(entry.parts->linkText) : QVariant();
    default:
        return {};
    }
}

bool AttachmentList::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole)
        return false;
    // Views send the new state as a plain int, code may send the enum itself.
    setSelected(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags AttachmentList::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
           Qt::ItemNeverHasChildren;
}

} // namespace quillmere
