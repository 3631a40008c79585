// The list model behind List1: the running count of checked entries must always match
// the check boxes, and the bulk commands must change many boxes with one notification.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"

#include <QSignalSpy>
#include <QTest>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

QString entry(int n, QStringView marker) {
    return WithMarker(MakeEntry(u"http://h/a?aid="_s + QString::number(n), u"f.rar"), marker);
}

int walkChecked(const AttachmentList &list) {
    int checked = 0;
    for (int i = 0; i < list.ListCount(); ++i)
        checked += list.Selected(i) ? 1 : 0;
    return checked;
}

QList<bool> checks(const AttachmentList &list) {
    QList<bool> result;
    for (int i = 0; i < list.ListCount(); ++i)
        result.append(list.Selected(i));
    return result;
}

} // namespace

class TestAttachmentList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void selectAll_data();
    void selectAll();
    void clearAll();
    void countFollowsEveryChange();
    void checkBoxFromView();
    void beyondSixteenBits();
    void filesSavedStayTheirEntrysOwn();
};

void TestAttachmentList::selectAll_data() {
    QTest::addColumn<QStringList>("markers");
    QTest::addColumn<QList<bool>>("before");
    QTest::addColumn<QList<bool>>("after");
    QTest::addColumn<int>("firstChanged"); // -1: nothing changes, nothing is reported
    QTest::addColumn<int>("lastChanged");

    const QString w = MarkerWaiting.toString(), d = MarkerDone.toString(),
                  f = MarkerFailed.toString();
    QTest::newRow("3 waiting, 2 done, 1 failed")
        << QStringList{d, w, d, w, f, w} << QList<bool>{false, false, false, false, false, false}
        << QList<bool>{false, true, false, true, true, true} << 1 << 5;
    QTest::newRow("checked done stays checked")
        << QStringList{d, w, d} << QList<bool>{true, false, false} << QList<bool>{true, true, false}
        << 1 << 1;
    QTest::newRow("all already checked")
        << QStringList{w, f} << QList<bool>{true, true} << QList<bool>{true, true} << -1 << -1;
    QTest::newRow("only done") << QStringList{d, d} << QList<bool>{false, false}
                               << QList<bool>{false, false} << -1 << -1;
    QTest::newRow("empty") << QStringList{} << QList<bool>{} << QList<bool>{} << -1 << -1;
}

void TestAttachmentList::selectAll() {
    QFETCH(QStringList, markers);
    QFETCH(QList<bool>, before);
    QFETCH(QList<bool>, after);
    QFETCH(int, firstChanged);
    QFETCH(int, lastChanged);

    AttachmentList list;
    QStringList entries;
    for (int i = 0; i < markers.size(); ++i)
        entries.append(entry(i, markers[i]));
    list.AddItems(entries);
    for (int i = 0; i < before.size(); ++i)
        list.setSelected(i, before[i]);

    QSignalSpy dataChanged(&list, &AttachmentList::dataChanged);
    QSignalSpy itemCheck(&list, &AttachmentList::ItemCheck);
    list.SelectAll();

    QCOMPARE(checks(list), after);
    QCOMPARE(list.CountChecked(), walkChecked(list));
    for (int i = 0; i < entries.size(); ++i)
        QCOMPARE(list.List(i), entries[i]); // check boxes only, never the texts
    if (firstChanged < 0) {
        QCOMPARE(dataChanged.size(), 0);
        QCOMPARE(itemCheck.size(), 0);
        return;
    }
    QCOMPARE(dataChanged.size(), 1);
    QCOMPARE(dataChanged[0][0].toModelIndex().row(), firstChanged);
    QCOMPARE(dataChanged[0][1].toModelIndex().row(), lastChanged);
    QCOMPARE(dataChanged[0][2].value<QList<int>>(), QList<int>{Qt::CheckStateRole});
    QCOMPARE(itemCheck.size(), 1);
}

void TestAttachmentList::clearAll() {
    AttachmentList list;
    list.AddItems({entry(0, MarkerDone), entry(1, MarkerWaiting), entry(2, MarkerFailed),
                   entry(3, MarkerDone)});
    list.setSelected(1, true);
    list.setSelected(2, true);

    QSignalSpy dataChanged(&list, &AttachmentList::dataChanged);
    QSignalSpy itemCheck(&list, &AttachmentList::ItemCheck);
    list.ClearAll();
    QCOMPARE(checks(list), (QList<bool>{false, false, false, false}));
    QCOMPARE(list.CountChecked(), 0);
    QCOMPARE(dataChanged.size(), 1);
    QCOMPARE(dataChanged[0][0].toModelIndex().row(), 1);
    QCOMPARE(dataChanged[0][1].toModelIndex().row(), 2);
    QCOMPARE(itemCheck.size(), 1);

    list.ClearAll(); // nothing left to change
    QCOMPARE(dataChanged.size(), 1);
    QCOMPARE(itemCheck.size(), 1);
}

void TestAttachmentList::countFollowsEveryChange() {
    AttachmentList list;
    QSignalSpy itemCheck(&list, &AttachmentList::ItemCheck);
    list.AddItems({entry(0, MarkerWaiting), entry(1, MarkerWaiting)});
    list.AddItem(entry(2, MarkerFailed));
    QCOMPARE(list.CountChecked(), 0);

    list.setSelected(0, true);
    list.setSelected(0, true); // no change: neither counted nor reported twice
    QCOMPARE(list.CountChecked(), 1);
    QCOMPARE(itemCheck.size(), 1);
    QCOMPARE(itemCheck[0][0].toInt(), 0);

    list.setOutcome(0, EntryStatus::Done, {}); // a new marker keeps the box
    QVERIFY(list.Selected(0));
    list.SelectAll();
    QCOMPARE(list.CountChecked(), 3);
    list.setSelected(1, false);
    QCOMPARE(list.CountChecked(), walkChecked(list));

    list.Clear();
    QCOMPARE(list.CountChecked(), 0);
    list.AddItem(entry(4, MarkerWaiting));
    QCOMPARE(list.CountChecked(), 0);
    QVERIFY(!list.Selected(0));
}

void TestAttachmentList::checkBoxFromView() {
    AttachmentList list;
    list.AddItems({entry(0, MarkerWaiting), entry(1, MarkerDone)});
    const QModelIndex first = list.index(0), second = list.index(1);
    QVERIFY(list.flags(first) & Qt::ItemIsUserCheckable);
    QCOMPARE(list.data(first, Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

    // Item views hand over the new state as a plain int; code may use the enum.
    QVERIFY(list.setData(first, int(Qt::Checked), Qt::CheckStateRole));
    QVERIFY(list.setData(second, QVariant::fromValue(Qt::Checked), Qt::CheckStateRole));
    QCOMPARE(list.CountChecked(), 2);
    QCOMPARE(list.data(second, Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QVERIFY(list.setData(first, int(Qt::Unchecked), Qt::CheckStateRole));
    QCOMPARE(list.CountChecked(), 1);
    QVERIFY(!list.setData(first, u"x"_s, Qt::EditRole)); // the texts are not editable
    QCOMPARE(list.List(0), entry(0, MarkerWaiting));
}

void TestAttachmentList::beyondSixteenBits() {
    AttachmentList list;
    QStringList entries;
    for (int i = 0; i < 40'000; ++i)
        entries.append(entry(i, i % 2 ? MarkerWaiting : MarkerDone));
    list.AddItems(entries);
    QCOMPARE(list.rowCount(), 40'000);
    list.SelectAll();
    QCOMPARE(list.CountChecked(), 20'000);
    QVERIFY(list.Selected(39'999));
    QCOMPARE(AttachmentList::totalsText(list.ListCount(), list.CountChecked()),
             u"附件总数：40000 / 已选择：20000"_s);
}

// A file an entry saved is never another's to replace: not after the entry saved again
// elsewhere, not under another spelling of its letters; only a new list starts afresh.
void TestAttachmentList::filesSavedStayTheirEntrysOwn() {
    AttachmentList list;
    list.AddItems({entry(1, MarkerWaiting), entry(2, MarkerWaiting)});
    list.setOutcome(0, EntryStatus::Done, {}, u"/d1/f.rar"_s);
    list.setOutcome(0, EntryStatus::Done, {}, u"/d2/f.rar"_s);
    QVERIFY(list.SavedByAnother(1, u"/d1/f.rar"_s));
    QVERIFY(list.SavedByAnother(1, u"/d1/F.RAR"_s));
    QVERIFY(list.SavedByAnother(1, u"/d2/../d2/f.rar"_s));
    QVERIFY(!list.SavedByAnother(0, u"/d1/f.rar"_s)); // a retry replaces its own
    list.Clear();
    list.AddItems({entry(1, MarkerWaiting)});
    QVERIFY(!list.SavedByAnother(0, u"/d1/f.rar"_s));
}

QTEST_APPLESS_MAIN(TestAttachmentList)
#include "tst_attachment_list.moc"
