#pragma once

// The attachment list: the entries with their check boxes, as a model the window's list
// view shows. It keeps the number of checked entries as it goes, so the totals never
// need a walk over the list, and changes many check boxes with one notification, so a
// list of tens of thousands of entries is redrawn once, not once per entry.

#include "analysis/attachment_entry.h"

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
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
    // Appends, unchecked. `page` is the thread page the entries were found on: their
    // transfers name it as the Referer, as a browser following the link would.
    void AddItem(const QString &text, const QUrl &page = {});
    void AddItems(const QStringList &texts, const QUrl &page = {}); // in one go
    // Appends the waiting entries of links found on `page`, in one go. Each keeps its
    // address and link text beside its text: an address may itself hold "__", where the
    // text would be split.
    void AddLinks(const QList<EntryParts> &links, const QUrl &page);
    QUrl Page(int index) const;
    // The address and link text an entry was made of; none for an entry added as a text.
    std::optional<EntryParts> Parts(int index) const;
    void Clear();
    int CountChecked() const { return m_checked; }

    // Checks every entry that is waiting or failed; done entries keep their check box.
    void SelectAll();
    // Unchecks every entry, whatever its marker.
    void ClearAll();

    // Totals text: "附件总数：N / 已选择：M"
    static QString totalsText(int count, int checked);

    // QAbstractListModel; an entry's page, address and link text are also roles.
    static constexpr int PageRole = Qt::UserRole + 1;
    static constexpr int AddressRole = Qt::UserRole + 2;
    static constexpr int LinkTextRole = Qt::UserRole + 3;
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
        QUrl page; // shared by all the entries of one analysis
        std::optional<EntryParts> parts;
    };
    std::vector<Entry> m_entries;
    int m_checked = 0;
};

} // namespace quillmere
