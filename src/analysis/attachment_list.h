#pragma once

// The attachment list: the entries with their check boxes and what became of them, as a
// model the window's list view shows. It keeps the number of checked entries as it goes, so the
// totals never need a walk over the list, and changes many check boxes with one notification, so a
// list of tens of thousands of entries is redrawn once, not once per entry.

#include "analysis/attachment_entry.h"

#include <QAbstractListModel>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <vector>

namespace quillmere {

class AttachmentList : public QAbstractListModel {
    Q_OBJECT
public:
    // Tells entries apart for as long as the list lives, whatever happens to their rows.
    using EntryId = quint64;

    explicit AttachmentList(QObject *parent = nullptr);

    int ListCount() const { return static_cast<int>(m_entries.size()); }
    // The entry's text, made from what it holds: address, "__", link text and the marker
    // of its status.
    QString List(int index) const;
    // In a check-box list the "selected" state of an item is its check box.
    bool Selected(int index) const;
    void setSelected(int index, bool checked);
    // Appends an entry given as its text, unchecked; its marker gives its status. `page` is
    // the thread page the entries were found on: their transfers name it as the Referer,
    // as a browser following the link would.
    void AddItem(const QString &text, const QUrl &page = {});
    void AddItems(const QStringList &texts, const QUrl &page = {}); // in one go
    // Appends the waiting entries of links found on `page`, in one go. Each keeps its
    // address and link text: an address may itself hold "__", where the text would be
    // split.
    void AddLinks(const QList<EntryParts> &links, const QUrl &page);
    QUrl Page(int index) const;
    // The address and link text an entry was made of; none for an entry added as a text.
    std::optional<EntryParts> Parts(int index) const;
    EntryId Id(int index) const;
    EntryStatus Status(int index) const;
    // Why its last fetch failed, or the file it was saved as; empty while it waits.
    QString Note(int index) const;
    // The file the entry was last saved as; empty until then.
    QString SavedPath(int index) const;
    // Records what became of the entry's fetch. Every file an entry saved is its own for as
    // long as the list lives.
    void setOutcome(int index, EntryStatus status, const QString &note,
                    const QString &savedPath = {});
    // True when another entry of this list has saved its file at `path`.
    bool SavedByAnother(int index, const QString &path) const;
    void Clear();
    int CountChecked() const { return m_checked; }

    // Checks every entry that is waiting or failed; done entries keep their check box.
    void SelectAll();
    // Unchecks every entry, whatever its status.
    void ClearAll();

    // Totals text: "附件总数：N / 已选择：M"
    static QString totalsText(int count, int checked);

    // QAbstractListModel. The note is the tooltip and Qt::AccessibleDescriptionRole, the
    // one role Qt hands screen readers for a list item; page, address and link text are
    // roles of their own.
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
    struct Entry {
        EntryId id = 0;
        QString head; // the text before the marker
        EntryStatus status = EntryStatus::Waiting;
        bool checked = false;
        QUrl page; // shared by all the entries of one analysis
        std::optional<EntryParts> parts;
        QString note;
        QString savedPath;
    };
    void append(QString head, EntryStatus status, const QUrl &page,
                std::optional<EntryParts> parts);
    void checkedRangeChanged(int first, int last);
    bool valid(int index) const { return index >= 0 && index < ListCount(); }

    std::vector<Entry> m_entries;
    EntryId m_nextId = 1;
    int m_checked = 0;
    // Where entries saved their files, so that a namesake never replaces one.
    QHash<QString, EntryId> m_savedBy;
};

} // namespace quillmere
