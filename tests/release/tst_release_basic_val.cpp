#include "release/basic_val.h"

#include <QTest>
#include <limits>

using namespace Qt::StringLiterals;
using quillmere::release::Val;

class TestBasicVal : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reads_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        constexpr double inf = std::numeric_limits<double>::infinity();

        // Versions as they stand on the release page.
        QTest::newRow("1.4") << u"1.4"_s << 1.4;
        QTest::newRow("1.40") << u"1.40"_s << 1.4;
        QTest::newRow("second point ends it") << u"1.4.2"_s << 1.4;
        QTest::newRow("1.41") << u"1.41"_s << 1.41;
        QTest::newRow("whole") << u"2"_s << 2.0;
        QTest::newRow("markup after it") << u"1.5</font><br>"_s << 1.5;

        // Blanks, tabs and line feeds do not count, wherever they stand.
        QTest::newRow("blanks inside") << u"1 . 4"_s << 1.4;
        QTest::newRow("leading white space") << u" \t\n 1.4"_s << 1.4;
        QTest::newRow("digits apart") << u"1615 198th Street"_s << 1615198.0;
        QTest::newRow("carriage return stops") << u"1\r4"_s << 1.0;
        QTest::newRow("no-break space stops") << u"1\u00a04"_s << 1.0;
        QTest::newRow("ideographic space stops") << u"\u30001.4"_s << 0.0;

        QTest::newRow("minus") << u"-1.5"_s << -1.5;
        QTest::newRow("plus") << u"+ 3"_s << 3.0;
        QTest::newRow("two signs") << u"--3"_s << 0.0;
        QTest::newRow("point first") << u".5"_s << 0.5;
        QTest::newRow("point last") << u"7."_s << 7.0;
        QTest::newRow("point alone") << u"."_s << 0.0;
        QTest::newRow("comma stops") << u"1,5"_s << 1.0;

        QTest::newRow("exponent") << u"1.5E3"_s << 1500.0;
        QTest::newRow("small e") << u"15e-1"_s << 1.5;
        QTest::newRow("D exponent") << u"2D2"_s << 200.0;
        QTest::newRow("exponent with plus and blanks") << u"2 e + 2"_s << 200.0;
        QTest::newRow("exponent without digits") << u"3E"_s << 3.0;
        QTest::newRow("exponent sign without digits") << u"3E-x"_s << 3.0;

        QTest::newRow("hex") << u"&H10"_s << 16.0;
        QTest::newRow("hex small letters") << u"&hff"_s << 255.0;
        QTest::newRow("hex stops at G") << u"&H1G"_s << 1.0;
        QTest::newRow("hex has no point") << u"&H1.8"_s << 1.0;
        QTest::newRow("octal") << u"&O17"_s << 15.0;
        QTest::newRow("octal stops at 8") << u"&O18"_s << 1.0;
        QTest::newRow("radix without digits") << u"&H"_s << 0.0;
        QTest::newRow("ampersand alone") << u"&17"_s << 0.0;

        QTest::newRow("empty") << QString() << 0.0;
        QTest::newRow("only blanks") << u"  \t"_s << 0.0;
        QTest::newRow("no number") << u"version 1.4"_s << 0.0;
        QTest::newRow("full-width digits") << u"１.４"_s << 0.0;

        QTest::newRow("huge") << u"1E999"_s << inf;
        QTest::newRow("huge negative") << u"-1D400"_s << -inf;
        QTest::newRow("huge exponent digits") << u"1E99999999999999999999"_s << inf;
        QTest::newRow("tiny") << u"1E-999"_s << 0.0;
        QTest::newRow("tiny despite its exponent")
            << u"0.0"_s.append(QString(400, u'0')).append(u"1E50") << 0.0;
        QTest::newRow("long hex") << u"&H"_s.append(QString(300, u'F')) << inf;
        QTest::newRow("long mantissa") << u"1"_s.append(QString(400, u'0')).append(u"E-400") << 1.0;
    }
    void reads() {
        QFETCH(QString, text);
        QFETCH(double, value);
        // Exact, not QCOMPARE's fuzzy match: the release check compares the reading with its
        // own version for equality.
        const double read = Val(text);
        QVERIFY2(read == value, qPrintable(QString::number(read, 'g', 17)));
    }
};

QTEST_MAIN(TestBasicVal)
#include "tst_release_basic_val.moc"
