#include "release/version_check.h"

#include <QTest>

using namespace Qt::StringLiterals;
using quillmere::release::LatestNotice;
using quillmere::release::NewerNotice;
using quillmere::release::releaseNotice;
using quillmere::release::versionText;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

// The marker and ten characters after it, so that what follows starts at the window's
// 16th character.
const QString Lead = u"myver\">ver: ___"_s;

QString versionAt(const QString &text) {
    return u"<p>Quillmere release thread</p><span id="_s + Lead + text + u"</span>"_s;
}

const std::optional<QString> Latest = LatestNotice.toString();
const std::optional<QString> Newer = NewerNotice.toString();
const std::optional<QString> NoChange;

} // namespace

class TestVersionCheck : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QCOMPARE(Lead.size(), 15); }

    void notice_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<std::optional<QString>>("notice");

        QTest::newRow("1.4") << versionAt(u"1.4"_s) << Latest;
        QTest::newRow("1.40") << versionAt(u"1.40"_s) << Latest;
        QTest::newRow("1.4.2") << versionAt(u"1.4.2"_s) << Latest;
        QTest::newRow("1.5") << versionAt(u"1.5"_s) << Newer;
        QTest::newRow("1.41") << versionAt(u"1.41"_s) << Newer;
        QTest::newRow("1.3 is older but still announced") << versionAt(u"1.3"_s) << Newer;
        QTest::newRow("2") << versionAt(u"2"_s) << Newer;
        QTest::newRow("blanks inside") << versionAt(u"1 .\n4"_s) << Latest;
        QTest::newRow("no number reads as 0") << versionAt(u"unknown"_s) << Newer;
        QTest::newRow("huge number is an error") << versionAt(u"1E999"_s) << NoChange;

        // Exactly from the 16th character: a character earlier or later reads otherwise.
        QTest::newRow("starts at the 16th") << u"myver\">ver: __21.4"_s << Latest;
        QTest::newRow("35 characters long")
            << versionAt(u"1.4"_s.append(QString(31, u' ')).append(u'1')) << Newer;
        QTest::newRow("the 51st is outside")
            << versionAt(u"1.4"_s.append(QString(32, u' ')).append(u'1')) << Latest;

        QTest::newRow("marker near the start") << Lead + u"1.4 and more text"_s << Latest;
        QTest::newRow("marker as the page's last 15") << u"<p>text</p>"_s + Lead << Newer;
        QTest::newRow("marker at the very end") << u"<p>myver"_s << Newer;
        QTest::newRow("no marker") << u"<p>version 1.5</p>"_s << NoChange;
        QTest::newRow("empty page") << QString() << NoChange;
        QTest::newRow("upper case marker only") << u"<span>MYVER\">ver: __1.5</span>"_s << NoChange;
        QTest::newRow("first of two counts") << versionAt(u"1.5"_s) + versionAt(u"1.4"_s) << Newer;
        QTest::newRow("first of two counts, the other way")
            << versionAt(u"1.4"_s) + versionAt(u"1.5"_s) << Latest;
        QTest::newRow("upper case before the marker")
            << u"MYVER\">ver: __1.5"_s + versionAt(u"1.4"_s) << Latest;
    }
    void notice() {
        QFETCH(QString, page);
        QFETCH(std::optional<QString>, notice);
        QCOMPARE(releaseNotice(page), notice);
    }

    void versionTextIsTheWindowsTail() {
        QVERIFY(!versionText(u"no marker"_s));
        const std::optional<QStringView> empty = versionText(u"x myver0123456789"_s);
        QVERIFY(empty && empty->isEmpty());
        const QString page = Lead + QString(60, u'9');
        QCOMPARE(versionText(page)->size(), 35);
    }
};

QTEST_MAIN(TestVersionCheck)
#include "tst_release_version_check.moc"
