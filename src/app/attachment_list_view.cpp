#include "app/attachment_list_view.h"

namespace quillmere {

AttachmentListView::AttachmentListView(QWidget *parent)
    : QListView(parent) {
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void AttachmentListView::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                     const QList<int> &roles) {
    // Skips QListView's relayout; the rows' geometry does not depend on their text.
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
}

} // namespace quillmere
