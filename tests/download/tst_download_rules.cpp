#include "analysis/attachment_entry.h"
#include "download/download_rules.h"
#include "support/file_permissions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

class TestDownloadRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(quillmere::test::makePermissionsBind()); }

    void splitsAroundTheFirstDelimiter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("delimiter");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("middle") << u"a__b"_s << u"__"_s << u"a"_s << u"b"_s;
        QTest::newRow("first of two") << u"a__b__c"_s << u"__"_s << u"a"_s << u"b__c"_s;
        QTest::newRow("three low lines") << u"a___b"_s << u"__"_s << u"a"_s << u"_b"_s;
        QTest::newRow("begins with it") << u"__b"_s << u"__"_s << QString() << u"b"_s;
        QTest::newRow("ends with it") << u"a__"_s << u"__"_s << u"a"_s << QString();
        QTest::newRow("only it") << u"__"_s << u"__"_s << QString() << QString();
        QTest::newRow("absent") << u"a_b"_s << u"__"_s << u"a_b"_s << u"a_b"_s;
        QTest::newRow("empty text") << QString() << u"__"_s << QString() << QString();
        QTest::newRow("case-sensitive") << u"aXb"_s << u"x"_s << u"aXb"_s << u"aXb"_s;
    }
    void splitsAroundTheFirstDelimiter() {
        QFETCH(QString, text);
        QFETCH(QString, delimiter);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QCOMPARE(StrBefore(text, delimiter), before);
        QCOMPARE(StrAfter(text, delimiter), after);
    }

    void takesAddressAndFileNameFromAnEntry_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("fileName");
        const QString a = u"http://bbs.example.test/attachment.php?aid=7"_s;
        QTest::newRow("waiting") << a + u"__附件 1.rar[等待中]"_s << a << u"附件 1.rar"_s;
        QTest::newRow("done") << a + u"__附件 1.rar[已完成]"_s << a << u"附件 1.rar"_s;
        QTest::newRow("failed") << a + u"__附件 1.rar[失  败]"_s << a << u"附件 1.rar"_s;
        QTest::newRow("address holds the separator") << u"http://h/dl__x.rar__real.rar[等待中]"_s
                                                     << u"http://h/dl"_s << u"x.rar__real.rar"_s;
        QTest::newRow("no separator")
            << u"http://h/a.rar[等待中]"_s << u"http://h/a.rar[等待中]"_s << u"http://h/a.rar"_s;
        QTest::newRow("no address") << u"__a.rar[等待中]"_s << QString() << u"a.rar"_s;
        QTest::newRow("rest is only a marker")
            << u"http://h__[失  败]"_s << u"http://h"_s << QString();
        QTest::newRow("rest as long as a marker")
            << u"http://h__abcde"_s << u"http://h"_s << QString();
    }
    void takesAddressAndFileNameFromAnEntry() {
        QFETCH(QString, entry);
        QFETCH(QString, address);
        QFETCH(QString, fileName);
        const std::optional<EntryParts> target = FetchTargetOf(entry);
        QVERIFY(target);
        QCOMPARE(target->address, address);
        QCOMPARE(target->linkText, fileName);
    }

    void refusesARestShorterThanAMarker() {
        QVERIFY(!FetchTargetOf(u"http://h__abcd"_s));
        QVERIFY(!FetchTargetOf(u"http://h__"_s));
        QVERIFY(!FetchTargetOf(QString()));
    }

    void roundsThePercentDown_data() {
        QTest::addColumn<qint64>("progress");
        QTest::addColumn<qint64>("maxProgress");
        QTest::addColumn<qint32>("percent");
        QTest::newRow("one third") << qint64(1) << qint64(3) << 33;
        QTest::newRow("two thirds") << qint64(2) << qint64(3) << 66;
        QTest::newRow("29 of 100") << qint64(29) << qint64(100) << 28;
        QTest::newRow("57 of 100") << qint64(57) << qint64(100) << 56;
        QTest::newRow("done") << qint64(100) << qint64(100) << 100;
        QTest::newRow("size unknown") << qint64(12345) << qint64(0) << 0;
        QTest::newRow("nothing yet") << qint64(0) << qint64(0) << 0;
        QTest::newRow("beyond the maximum") << qint64(150) << qint64(100) << 150;
        QTest::newRow("negative") << qint64(-1) << qint64(3) << -34;
        QTest::newRow("past 2^31 bytes") << qint64(3'000'000'000) << qint64(4'000'000'000) << 75;
        QTest::newRow("past 2^32 bytes") << qint64(4'294'967'296) << qint64(8'589'934'592) << 50;
        QTest::newRow("negative maximum") << qint64(1) << qint64(-1) << -100;
        QTest::newRow("beyond 32 bits") << std::numeric_limits<qint64>::max() << qint64(1)
                                        << std::numeric_limits<qint32>::max();
    }
    void roundsThePercentDown() {
        QFETCH(qint64, progress);
        QFETCH(qint64, maxProgress);
        QFETCH(qint32, percent);
        QCOMPARE(ProgressPercent(progress, maxProgress), percent);
    }

    void writesTheStatusTexts() {
        QCOMPARE(WaitingText(u"a.rar"), u"正在下载“a.rar”，请耐心等待。。。"_s);
        QCOMPARE(ProgressText(u"a.rar", 37), u"正在下载“a.rar”，已下载37%"_s);
        QCOMPARE(ProgressText(u"附 件.rar", -5), u"正在下载“附 件.rar”，已下载-5%"_s);
        QCOMPARE(ProgressText(QString(), 0), u"正在下载“”，已下载0%"_s);
    }

    void endsTheSaveFolderInOneSeparator() {
        const QString sep = QDir::separator();
        QCOMPARE(SaveDirFor(u"/srv/附件"_s), u"/srv/附件"_s + sep);
        QCOMPARE(SaveDirFor(u"/srv/附件"_s + sep), u"/srv/附件"_s + sep);
        QCOMPARE(SaveDirFor(u" d "_s), u" d "_s + sep); // typed text is never trimmed
#ifdef Q_OS_WIN
        QCOMPARE(SaveDirFor(u"C:/x/"_s), u"C:/x/"_s);
        QCOMPARE(SaveDirFor(u"C:\\x"_s), u"C:\\x\\"_s);
#else
        QCOMPARE(SaveDirFor(u"/x\\"_s), u"/x\\/"_s); // a backslash is a name character here
#endif
    }

    void acceptsOnlyAListableFolder_data() {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("folder with files") << u"full/"_s << true;
        QTest::newRow("empty folder") << u"empty/"_s << true;
        QTest::newRow("a file") << u"full/a.rar/"_s << false;
        QTest::newRow("missing folder") << u"missing/"_s << false;
        QTest::newRow("inside a missing folder") << u"missing/deeper/"_s << false;
        QTest::newRow("NUL inside") << u"full"_s + QChar(u'\0') + u"x/"_s << false;
        QTest::newRow("NUL at the end") << u"full/"_s + QChar(u'\0') + u"/"_s << false;
#ifdef Q_OS_WIN
        QTest::newRow("wildcard") << u"fu*/"_s << false;
#endif
    }
    void acceptsOnlyAListableFolder() {
        QFETCH(QString, relative);
        QFETCH(bool, accepted);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(u"full"_s) && QDir(root.path()).mkpath(u"empty"_s));
        QFile file(root.filePath(u"full/a.rar"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(IsSaveFolder(QDir::toNativeSeparators(root.path() + u'/' + relative)), accepted);
    }

    void refusesAFolderThatCannotBeListed() {
        QTemporaryDir root;
        const QString locked = root.filePath(u"locked"_s);
        QVERIFY(QDir(root.path()).mkpath(u"locked"_s));
        const test::NarrowedFolder unlisted(locked, test::NarrowedFolder::NoListing);
        QVERIFY(unlisted.isNarrowed());
        QVERIFY(QDir(locked).entryList().isEmpty()); // the folder really cannot be listed
        QVERIFY(!IsSaveFolder(locked + u'/'));
    }

    void keepsFileNamesPlain_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("plain");
        QTest::newRow("ascii") << u"a.rar"_s << true;
        QTest::newRow("ideographs and blanks") << u"第 1 部分 附件.rar"_s << true;
        QTest::newRow("leading dot") << u".a.rar"_s << true;
        QTest::newRow("two dots inside") << u"a..rar"_s << true;
        QTest::newRow("dot dot prefix") << u"..a.rar"_s << true;
        QTest::newRow("device-like word") << u"CONSOLE.rar"_s << true;
        QTest::newRow("device-like prefix") << u"xCON.rar"_s << true;
        QTest::newRow("COM10") << u"COM10.rar"_s << true;
        QTest::newRow("device in extension") << u"a.CON"_s << true;
        QTest::newRow("astral character") << u"\U0001F600.rar"_s << true;
        QTest::newRow("255 characters") << QString(251, u'a') + u".rar"_s << true;

        QTest::newRow("empty") << QString() << false;
        QTest::newRow("dot") << u"."_s << false;
        QTest::newRow("dot dot") << u".."_s << false;
        QTest::newRow("parent path") << u"../a.rar"_s << false;
        QTest::newRow("sub folder") << u"sub/a.rar"_s << false;
        QTest::newRow("absolute") << u"/etc/a.rar"_s << false;
        QTest::newRow("backslash parent") << u"..\\a.rar"_s << false;
        QTest::newRow("backslash") << u"sub\\a.rar"_s << false;
        QTest::newRow("drive colon") << u"C:a.rar"_s << false;
        QTest::newRow("stream colon") << u"a.rar:secret"_s << false;
        QTest::newRow("wildcards") << u"a*.rar"_s << false;
        QTest::newRow("question mark") << u"a?.rar"_s << false;
        QTest::newRow("angle brackets") << u"<a>.rar"_s << false;
        QTest::newRow("quote") << u"a\".rar"_s << false;
        QTest::newRow("pipe") << u"a|b.rar"_s << false;
        QTest::newRow("tab") << u"a\tb.rar"_s << false;
        QTest::newRow("newline") << u"a\nb.rar"_s << false;
        QTest::newRow("NUL") << u"a"_s + QChar(u'\0') + u".rar"_s << false;
        QTest::newRow("DEL") << u"a\x7f.rar"_s << false;
        QTest::newRow("C1 control") << u"a\u0085.rar"_s << false;
        QTest::newRow("right-to-left override") << u"a\u202Erar.exe"_s << false;
        QTest::newRow("right-to-left isolate") << u"a\u2067rar.exe"_s << false;
        QTest::newRow("right-to-left mark") << u"a\u200F.rar"_s << false;
        QTest::newRow("lone surrogate") << u"a"_s + QChar(0xd800) + u".rar"_s << false;
        QTest::newRow("CON") << u"CON"_s << false;
        QTest::newRow("con lower case") << u"con"_s << false;
        QTest::newRow("PRN with extension") << u"PRN.rar"_s << false;
        QTest::newRow("AUX with two extensions") << u"aux.tar.rar"_s << false;
        QTest::newRow("NUL device") << u"Nul.rar"_s << false;
        QTest::newRow("COM1") << u"COM1.rar"_s << false;
        QTest::newRow("COM9") << u"com9"_s << false;
        QTest::newRow("LPT1") << u"LPT1.rar"_s << false;
        QTest::newRow("LPT9") << u"lpt9.rar"_s << false;
        QTest::newRow("COM superscript") << u"COM\u00B9.rar"_s << false;
        QTest::newRow("device then blank") << u"CON .rar"_s << false;
        QTest::newRow("CONIN$") << u"CONIN$.rar"_s << false;
        QTest::newRow("trailing dot") << u"a.rar."_s << false;
        QTest::newRow("trailing dots") << u"a.rar.."_s << false;
        QTest::newRow("trailing blank") << u"a.rar "_s << false;
        QTest::newRow("256 characters") << QString(252, u'a') + u".rar"_s << false;
    }
    void keepsFileNamesPlain() {
        QFETCH(QString, name);
        QFETCH(bool, plain);
        QCOMPARE(IsPlainFileName(name), plain);
    }
};

QTEST_GUILESS_MAIN(TestDownloadRules)
#include "tst_download_rules.moc"
