#pragma once

// Small hands for driving the real window the way a user does, shared by the window
// tests, the whole-program tests and the benchmarks.

#include "analysis/attachment_list.h"
#include "app/main_window.h"

#include <QCheckBox>
#include <QListView>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTest>

namespace quillmere::test {

// Where a user clicks to toggle row's check box: the centre of its indicator as the
// view's style draws it (the row is scrolled into view first).
inline QPoint checkBoxCentre(QListView *view, int row) {
    struct OptionDelegate : QStyledItemDelegate {
        using QStyledItemDelegate::initStyleOption;
    };
    const QModelIndex index = view->model()->index(row, 0);
    view->scrollTo(index);
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.widget = view;
    option.rect = view->visualRect(index);
    OptionDelegate().initStyleOption(&option, index);
    return view->style()
        ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view)
        .center();
}

// Every entry text, top to bottom.
inline QStringList entryTexts(const AttachmentList &list) {
    QStringList texts;
    for (int i = 0; i < list.ListCount(); ++i)
        texts.append(list.List(i));
    return texts;
}

// Ticks or clears the append box with the keyboard.
inline void setAppendMode(frmMain &window, bool append) {
    if (window.Check1->isChecked() != append)
        QTest::keyClick(window.Check1, Qt::Key_Space);
    QCOMPARE(window.Check1->checkState(), append ? Qt::Checked : Qt::Unchecked);
}

} // namespace quillmere::test
