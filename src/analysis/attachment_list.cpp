#include "analysis/attachment_list.h"

#include "analysis/attachment_entry.h"

namespace quillmere {

AttachmentList::AttachmentList(QObject *parent)
    : QAbstractListModel(parent) {}

QString AttachmentList::List(int index) const {
    return index >= 0 && index < ListCount() ? m_entries[size_t(index)].text : QString();
}

void AttachmentList::setList(int index, const QString &text) {
    if (index < 0 || index >= ListCount())
        return;
    m_entries[size_t(index)].text = text;
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, {Qt::DisplayRole});
}

bool AttachmentList::Selected(int index) const {
    return index >= 0 && index < ListCount() && m_entries[size_t(index)].checked;
}

void AttachmentList::setSelected(int index, bool checked) {
    if (index < 0 || index >= ListCount() || m_entries[size_t(index)].checked == checked)
        return;
    m_entries[size_t(index)].checked = checked;
    m_checked += checked ? 1 : -1;
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, {Qt::CheckStateRole});
    Q_EMIT ItemCheck(index);
}

QUrl AttachmentList::Page(int index) const {
    return index >= 0 && index < ListCount() ? m_entries[size_t(index)].page : QUrl();
}

std::optional<EntryParts> AttachmentList::Parts(int index) const {
    return index >= 0 && index < ListCount() ? m_entries[size_t(index)].parts : std::nullopt;
}

void AttachmentList::AddLinks(const QList<EntryParts> &links, const QUrl &page) {
    if (links.isEmpty())
        return;
    const int first = ListCount();
    beginInsertRows({}, first, first + int(links.size()) - 1);
    m_entries.reserve(m_entries.size() + size_t(links.size()));
    for (const EntryParts &link : links)
        m_entries.push_back({MakeEntry(link.address, link.linkText), false, page, link});
    endInsertRows();
}

void AttachmentList::AddItem(const QString &text, const QUrl &page) {
    const int row = ListCount();
    beginInsertRows({}, row, row);
    m_entries.push_back({text, false, page, std::nullopt});
    endInsertRows();
}

void AttachmentList::AddItems(const QStringList &texts, const QUrl &page) {
    if (texts.isEmpty())
        return;
    const int first = ListCount();
    beginInsertRows({}, first, first + int(texts.size()) - 1);
    m_entries.reserve(m_entries.size() + size_t(texts.size()));
    for (const QString &text : texts)
        m_entries.push_back({text, false, page, std::nullopt});
    endInsertRows();
}

void AttachmentList::SelectAll() {
    int first = -1, last = -1;
    for (int i = 0; i < ListCount(); ++i) {
        Entry &entry = m_entries[size_t(i)];
        if (entry.checked ||
            !(entry.text.endsWith(MarkerWaiting) || entry.text.endsWith(MarkerFailed)))
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
    if (!index.isValid() || index.row() >= ListCount())
        return {};
    const Entry &entry = m_entries[size_t(index.row())];
    if (role == Qt::DisplayRole)
        return entry.text;
    if (role == Qt::CheckStateRole)
        return entry.checked ? Qt::Checked : Qt::Unchecked;
    if (role == PageRole)
        return entry.page;
    if (role == AddressRole && entry.parts)
        return entry.parts->address;
    if (role == LinkTextRole && entry.parts)
        return entry.parts->linkText;
    return {};
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
