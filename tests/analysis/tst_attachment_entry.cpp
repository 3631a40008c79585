// Entries and the attachment test: the marker lengths (5 and 6), the first "__" as the
// only split point, and the exact rules for what counts as an attachment link.

#include "analysis/attachment_discovery.h"
#include "analysis/attachment_entry.h"

#include <QTest>

using namespace quillmere;
using namespace Qt::StringLiterals;

class TestAttachmentEntry : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void markers();
    void changeMarker_data();
    void changeMarker();
    void split_data();
    void split();
    void attachmentLink_data();
    void attachmentLink();
};

void TestAttachmentEntry::markers() {
    QCOMPARE(MarkerWaiting.size(), 5);
    QCOMPARE(MarkerDone.size(), 5);
    QCOMPARE(MarkerFailed.size(), 6);
    QCOMPARE(MarkerFailed.toString(), u"[失\u0020\u0020败]"_s); // two ASCII blanks
    QCOMPARE(MakeEntry(u"http://h/a?aid=1", u"资料 1.rar"),
             u"http://h/a?aid=1__资料 1.rar[等待中]"_s);
}

void TestAttachmentEntry::changeMarker_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<QString>("expected");

    QTest::newRow("waiting to done")
        << u"u__a.rar[等待中]"_s << MarkerDone.toString() << u"u__a.rar[已完成]"_s;
    QTest::newRow("waiting to failed")
        << u"u__a.rar[等待中]"_s << MarkerFailed.toString() << u"u__a.rar[失  败]"_s;
    // The failed marker is one character longer: all of it goes, and only it.
    QTest::newRow("failed to done")
        << u"u__a.rar[失  败]"_s << MarkerDone.toString() << u"u__a.rar[已完成]"_s;
    QTest::newRow("failed to waiting")
        << u"u__x][失  败]"_s << MarkerWaiting.toString() << u"u__x][等待中]"_s;
    QTest::newRow("done to failed")
        << u"__.rar[已完成]"_s << MarkerFailed.toString() << u"__.rar[失  败]"_s;
}

void TestAttachmentEntry::changeMarker() {
    QFETCH(QString, entry);
    QFETCH(QString, marker);
    QFETCH(QString, expected);
    QCOMPARE(WithMarker(entry, marker), expected);
    QCOMPARE(EntryMarker(expected), marker);
    QCOMPARE(RemoveMarker(expected), RemoveMarker(entry));
}

void TestAttachmentEntry::split_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("linkText");

    QTest::newRow("plain") << u"http://h/a.php?aid=7__资料.rar[等待中]"_s
                           << u"http://h/a.php?aid=7"_s << u"资料.rar"_s;
    QTest::newRow("failed") << u"http://h/x__y.rar[失  败]"_s << u"http://h/x"_s << u"y.rar"_s;
    QTest::newRow("no address") << u"__.rar[已完成]"_s << QString() << u".rar"_s;
    QTest::newRow("__ in link text")
        << u"http://h/x__a__b.rar[等待中]"_s << u"http://h/x"_s << u"a__b.rar"_s;
    QTest::newRow("non-BMP text") << u"http://h/%F0%9F%98%80__😀.rar[等待中]"_s
                                  << u"http://h/%F0%9F%98%80"_s << u"😀.rar"_s;
}

void TestAttachmentEntry::split() {
    QFETCH(QString, entry);
    QFETCH(QString, address);
    QFETCH(QString, linkText);
    const EntryParts parts = SplitEntry(entry);
    QCOMPARE(parts.address, address);
    QCOMPARE(parts.linkText, linkText);
}

void TestAttachmentEntry::attachmentLink_data() {
    QTest::addColumn<QString>("tagName");
    QTest::addColumn<QString>("innerText");
    QTest::addColumn<bool>("qualifies");

    QTest::newRow("A, .rar") << u"A"_s << u"资料.rar"_s << true;
    QTest::newRow("a as written (svg)") << u"a"_s << u"x.rar"_s << true;
    QTest::newRow("exactly .rar") << u"A"_s << u".rar"_s << true;
    QTest::newRow(".RAR") << u"A"_s << u"x.RAR"_s << false;
    QTest::newRow(".Rar") << u"A"_s << u"x.Rar"_s << false;
    QTest::newRow("blank after .rar") << u"A"_s << u"x.rar "_s << false;
    QTest::newRow("rar without dot") << u"A"_s << u"xrar"_s << false;
    QTest::newRow("shorter than 4") << u"A"_s << u"rar"_s << false;
    QTest::newRow("empty text") << u"A"_s << QString() << false;
    QTest::newRow("ABBR") << u"ABBR"_s << u"x.rar"_s << false;
    QTest::newRow("AREA") << u"AREA"_s << u"x.rar"_s << false;
    QTest::newRow("SPAN") << u"SPAN"_s << u"x.rar"_s << false;
    QTest::newRow("full-width A") << u"Ａ"_s << u"x.rar"_s << false;
}

void TestAttachmentEntry::attachmentLink() {
    QFETCH(QString, tagName);
    QFETCH(QString, innerText);
    QFETCH(bool, qualifies);
    QCOMPARE(IsAnchorTag(tagName), tagName.toUpper() == u"A");
    QCOMPARE(IsAttachmentLink(tagName, innerText), qualifies);
}

QTEST_APPLESS_MAIN(TestAttachmentEntry)
#include "tst_attachment_entry.moc"
