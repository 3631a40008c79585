#include "settings/ini_file.h"
#include "settings/settings.h"
#include "support/file_links.h"
#include "support/file_permissions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using quillmere::IniFile;

namespace {

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void store(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Notepad's "Unicode": a byte-order mark, then the text.
QByteArray utf16(QStringConverter::Encoding encoding, QStringView text) {
    QStringEncoder encode(encoding);
    const QByteArray mark = encoding == QStringConverter::Utf16LE ? "\xff\xfe"_ba : "\xfe\xff"_ba;
    return mark + QByteArray(encode(text));
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(936);
    std::generate(bytes.begin(), bytes.end(), [&] { return char(generator.bounded(256)); });
    return bytes;
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(quillmere::test::makePermissionsBind()); }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(u"down.ini"_s);
    }

    void readsStoredValue_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blanks trimmed, inner kept")
            << "[Option]\r\nLastDir= \t D:\\my  rar \t\r\n"_ba << u"D:\\my  rar"_s;
        QTest::newRow("empty value") << "[Option]\r\nLastDir=\r\n"_ba << QString();
        QTest::newRow("names ignore case and blanks")
            << "[ oPTION ]\r\n  lastdir = x\r\n"_ba << u"x"_s;
        QTest::newRow("LF line ends, no final break") << "[Option]\nLastDir=x"_ba << u"x"_s;
        QTest::newRow("code page 936 bytes")
            << "[Option]\r\nLastDir=D:\\\xcf\xc2\xd4\xd8\r\n"_ba << u"D:\\下载"_s;
        QTest::newRow("one pair of quotes dropped")
            << "[Option]\r\nLastDir= \"D:\\my rar \" \r\n"_ba << u"D:\\my rar "_s;
        QTest::newRow("single quotes dropped") << "[Option]\r\nLastDir='x'\r\n"_ba << u"x"_s;
        QTest::newRow("unmatched quotes kept") << "[Option]\r\nLastDir=\"x'\r\n"_ba << u"\"x'"_s;
        QTest::newRow("other section") << "[Other]\r\nLastDir=x\r\n[Option]\r\n"_ba << QString();
        QTest::newRow("commented out") << "[Option]\r\n;LastDir=x\r\n"_ba << QString();
        QTest::newRow("ends at a NUL")
            << QByteArray("[Option]\r\nLastDir=D:\\rar \0junk\r\n", 32) << u"D:\\rar"_s;
        QTest::newRow("UTF-16 LE mark")
            << utf16(QStringConverter::Utf16LE, u"[Option]\r\nLastDir=D:\\下载\r\n")
            << u"D:\\下载"_s;
        QTest::newRow("UTF-16 BE mark")
            << utf16(QStringConverter::Utf16BE, u"[Option]\r\nLastDir=D:\\下载\r\n")
            << u"D:\\下载"_s;
        QTest::newRow("binary") << randomBytes(64 * 1024) << QString();
        QTest::newRow("over the size cap")
            << "[Option]\r\nLastDir=x\r\n"_ba + QByteArray(IniFile::MaxFileSize, ';') << QString();
    }
    void readsStoredValue() {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        store(m_path, file);
        QCOMPARE(IniFile(m_path).value(u"Option", u"LastDir"), expected);
    }

    void missingFileReadsEmpty() { QCOMPARE(IniFile(m_path).value(u"Option", u"LastDir"), u""); }

    void writeStoresBytes_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << u"x"_s << "LastDir=x"_ba;
        QTest::newRow("empty") << QString() << "LastDir="_ba;
        QTest::newRow("Chinese in GBK") << u"D:\\下载"_s << "LastDir=D:\\\xcf\xc2\xd4\xd8"_ba;
        QTest::newRow("line breaks") << u"a\r\n[Evil]\nb"_s << "LastDir=a  [Evil] b"_ba;
    }
    void writeStoresBytes() {
        QFETCH(QString, value);
        QFETCH(QByteArray, line);
        QVERIFY(IniFile(m_path).setValue(u"Option", u"LastDir", value));
        QCOMPARE(contents(m_path), "[Option]\r\n"_ba + line + "\r\n");
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("inner blanks") << u"D:\\my  rar files"_s;
        QTest::newRow("300 characters") << u"/"_s + QString(299, u'a');
        QTest::newRow("long Chinese") << u"D:"_s + u"\\中文附件目录"_s.repeated(50);
        QTest::newRow("outside code page 936") << u"/home/한국어/😀/€"_s;
    }
    void roundTrip() {
        QFETCH(QString, value);
        QVERIFY(IniFile(m_path).setValue(u"Option", u"LastDir", value));
        QCOMPARE(IniFile(m_path).value(u"Option", u"LastDir"), value);
    }

    void writeKeepsTheRest_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("replaced in place") << "[OPTION]\r\n lastdir = old \r\nk=v\r\n"_ba
                                           << "[OPTION]\r\nLastDir=new\r\nk=v\r\n"_ba;
        QTest::newRow("others byte for byte")
            << "; note\n\n[A]\nk=v  \n[Option]\nLastDir=old\n[B]\r\nx=\xff\xfe\r\n"_ba
            << "; note\n\n[A]\nk=v  \n[Option]\nLastDir=new\n[B]\r\nx=\xff\xfe\r\n"_ba;
        QTest::newRow("key added to its section")
            << "[Option]\r\nk=v\r\n\r\n[B]\r\n"_ba
            << "[Option]\r\nk=v\r\nLastDir=new\r\n\r\n[B]\r\n"_ba;
        QTest::newRow("section appended") << "[A]\r\nk=v"_ba
                                          << "[A]\r\nk=v\r\n[Option]\r\nLastDir=new\r\n"_ba;
        // A regular file under the name is ours, whatever it holds.
        QTest::newRow("binary") << "\x7f"
                                   "ELF\x02\x01\x01\0\0\0=x"_ba
                                << "\x7f"
                                   "ELF\x02\x01\x01\0\0\0=x\r\n[Option]\r\nLastDir=new\r\n"_ba;
        QTest::newRow("NUL inside a value") << "[Option]\r\nLastDir=a\0b\r\nk=\0\r\n"_ba
                                            << "[Option]\r\nLastDir=new\r\nk=\0\r\n"_ba;
        QTest::newRow("UTF-16 LE mark, written back without it")
            << utf16(QStringConverter::Utf16LE, u"[Option]\r\nLastDir=old\r\n; 注释\r\n")
            << "[Option]\r\nLastDir=new\r\n; \xd7\xa2\xca\xcd\r\n"_ba;
        QTest::newRow("UTF-16 BE mark, written back without it")
            << utf16(QStringConverter::Utf16BE,
                     u"[Option]\r\nLastDir=D:\\下载\r\n[其他]\r\n目录=D:\\中文\r\n")
            << "[Option]\r\nLastDir=new\r\n[\xc6\xe4\xcb\xfb]\r\n"
               "\xc4\xbf\xc2\xbc=D:\\\xd6\xd0\xce\xc4\r\n"_ba;
        // What cannot be read has nothing to keep, and what is written stays readable.
        QTest::newRow("over the size cap")
            << QByteArray(IniFile::MaxFileSize + 1, ';') << "[Option]\r\nLastDir=new\r\n"_ba;
        QTest::newRow("grown over the size cap")
            << "[Option]\r\nLastDir=x\r\n"_ba + QByteArray(IniFile::MaxFileSize - 21, ';')
            << "[Option]\r\nLastDir=new\r\n"_ba;
    }
    void writeKeepsTheRest() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        store(m_path, before);
        QVERIFY(IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QCOMPARE(contents(m_path), after);
    }

    void secondWriteReplacesValue() {
        IniFile file(m_path);
        QVERIFY(file.setValue(u"Option", u"LastDir", u"first"));
        QVERIFY(file.setValue(u"Option", u"LastDir", u"second"));
        QCOMPARE(contents(m_path), "[Option]\r\nLastDir=second\r\n"_ba);
    }

    void failedWriteKeepsFile_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("missing folder") << u"missing/down.ini"_s << QByteArray();
    }
    void failedWriteKeepsFile() {
        QFETCH(QString, file);
        QFETCH(QByteArray, before);
        const QString path = m_dir->filePath(file);
        if (!before.isEmpty())
            store(path, before);
        QVERIFY(!IniFile(path).setValue(u"Option", u"LastDir", u"x"));
        QCOMPARE(contents(path), before);
    }

    // A link under the name stays as it is, and so does whatever it leads to.
    void foreignFilesAreLeftAlone_data() {
        QTest::addColumn<QByteArray>("target"); // behind a link; empty: a link to nowhere
        QTest::newRow("a text of other lines") << "127.0.0.1 localhost\n::1 localhost\n"_ba;
        QTest::newRow("a binary") << "\x7f"
                                     "ELF\x02\x01\x01\0\0\0=x"_ba;
        QTest::newRow("nothing") << QByteArray();
    }
    void foreignFilesAreLeftAlone() {
        QFETCH(QByteArray, target);
        const QString other = m_dir->filePath(u"elsewhere"_s);
        if (!target.isEmpty())
            store(other, target);
        QVERIFY(quillmere::test::makeSymbolicLink(other, m_path));
        QVERIFY(!IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QCOMPARE(contents(other), target);
        QCOMPARE(QFileInfo::exists(other), !target.isEmpty());
        QVERIFY(QFileInfo(m_path).isSymLink());
    }

    void aSettingsFileBehindALinkIsKeptThere() {
        const QString other = m_dir->filePath(u"shared.ini"_s);
        store(other, "; shared\r\n[Option]\r\nLastDir=old\r\n");
        QVERIFY(quillmere::test::makeSymbolicLink(other, m_path));
        QCOMPARE(IniFile(m_path).value(u"Option", u"LastDir"), u"old");
        // Read through, never written through: that file was never given to us.
        QVERIFY(!IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QCOMPARE(contents(other), "; shared\r\n[Option]\r\nLastDir=old\r\n"_ba);
        QVERIFY(QFileInfo(m_path).isSymLink());
    }

#ifdef Q_OS_UNIX
    void aPipeReadsAsNothing() {
        QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        QCOMPARE(IniFile(m_path).value(u"Option", u"LastDir"), QString()); // at once
        QVERIFY(!IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QVERIFY(!QFileInfo(m_path).isFile());
    }
#endif

    void readOnlyFileIsKept() {
        store(m_path, "[Option]\r\nLastDir=old\r\n");
        QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ReadOther));
        QVERIFY(!IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QCOMPARE(contents(m_path), "[Option]\r\nLastDir=old\r\n"_ba);
        QVERIFY(!QFile::permissions(m_path).testFlag(QFile::WriteOwner));
    }

    void unwritableFolderFails() {
        store(m_path, "[Option]\r\nLastDir=old\r\n");
        const quillmere::test::NarrowedFolder readOnly(m_dir->path(),
                                                       quillmere::test::NarrowedFolder::ReadOnly);
        QVERIFY(readOnly.isNarrowed());
        QVERIFY(!IniFile(m_path).setValue(u"Option", u"LastDir", u"new"));
        QCOMPARE(contents(m_path), "[Option]\r\nLastDir=old\r\n"_ba);
    }

    void moduleFunctionsUseProgramFolder() {
        quillmere::g_sAppPath = QDir::toNativeSeparators(m_dir->path()) + QDir::separator();
        QVERIFY(quillmere::WriteIni(u"Option", u"LastDir", u"D:\\rar"));
        QCOMPARE(contents(m_path), "[Option]\r\nLastDir=D:\\rar\r\n"_ba);
        QCOMPARE(quillmere::ReadIni(u"Option", u"LastDir"), u"D:\\rar");
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_ini_file.moc"
