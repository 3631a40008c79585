#pragma once

// The attachment list: the entries with their check boxes, as a model the window's list
// view shows. It keeps the number of checked entries as it goes, so the totals never
// need a walk over the list, and changes many check boxes with one notification, so a
// list of tens of thousands of entries is redrawn once, not once per entry.

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <vector>

namespace quillmere {

class AttachmentList : public QAbstractListModel {
    Q_OBJECT
public:
    explicit AttachmentList(QObject *parent = nullptr);

    int ListCount() const { return static_cast<int>(m_entries.size()); }
    QString List(int index) const;
    void setList(int index, const QString &text);
    // In a check-box list the "selected" state of an item is its check box.
    bool Selected(int index) const;
    void setSelected(int index, bool checked);
    void AddItem(const QString &text);       // appends, unchecked
    void AddItems(const QStringList &texts); // appends them all, unchecked, in one go
    void Clear();
    int CountChecked() const { return m_checked; }

    // Checks every entry that is waiting or failed; done entries keep their check box.
    void SelectAll();
    // Unchecks every entry, whatever its marker.
    void ClearAll();

    // Totals text: "附件总数：N / 已选择：M"
    static QString totalsText(int count, int checked);

    // QAbstractListModel
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

Q_SIGNALS:
    // The check state of entry `Item` has changed, whoever changed it. SelectAll and
    // ClearAll report once for all the entries they changed, with the first of them.
    void ItemCheck(int Item);

private:
    void checkedRangeChanged(int first, int last);

    struct Entry {
        QString text;
        bool checked = false;
    };
    std::vector<Entry> m_entries;
    int m_checked = 0;
};

} // namespace quillmere
