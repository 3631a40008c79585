#include "analysis/attachment_list.h"

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

void AttachmentList::AddItem(const QString &text) {
    const int row = ListCount();
    beginInsertRows({}, row, row);
    m_entries.push_back({text, false});
    endInsertRows();
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
    return {};
}

bool AttachmentList::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole)
        return false;
    setSelected(index.row(), value.value<Qt::CheckState>() == Qt::Checked);
    return true;
}

Qt::ItemFlags AttachmentList::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
           Qt::ItemNeverHasChildren;
}

} // namespace quillmere
