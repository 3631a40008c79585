#pragma once

// List1: the attachment list's view. Every entry is one line of the same height, so a
// changed marker or check box needs its own row repainted, not the whole list laid out
// again — which QListView does on every change, once per fetched file during a run.

#include <QListView>

namespace quillmere {

class AttachmentListView : public QListView {
    Q_OBJECT
public:
    explicit AttachmentListView(QWidget *parent = nullptr);

protected:
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles = QList<int>()) override;
};

} // namespace quillmere
