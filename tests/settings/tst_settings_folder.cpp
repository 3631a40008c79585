// Where down.ini and cookies.txt live: beside a portable copy, in the user's folder for an
// installed one or one that cannot write beside itself.

#include "settings/settings_folder.h"
#include "support/file_permissions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quillmere;

class TestSettingsFolder : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Folder modes below must bind, even for root.
    void initTestCase() { QVERIFY(test::makePermissionsBind()); }

    void choosesTheFolder_data() {
        QTest::addColumn<bool>("installedHere");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("iniBeside");
        QTest::addColumn<bool>("beside");
        QTest::newRow("portable copy") << false << true << false << true;
        QTest::newRow("installed") << true << true << false << false;
        QTest::newRow("cannot write beside itself") << false << false << false << false;
        QTest::newRow("installed, down.ini beside wins") << true << true << true << true;
        QTest::newRow("read-only, down.ini beside wins") << false << false << true << true;
    }
    void choosesTheFolder() {
        QFETCH(bool, installedHere);
        QFETCH(bool, writable);
        QFETCH(bool, iniBeside);
        QFETCH(bool, beside);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString program = dir.filePath(u"bin"_s);
        const QString user = dir.filePath(u"config/quillmere"_s);
        QVERIFY(QDir().mkdir(program));
        if (iniBeside) {
            QFile ini(program + u"/down.ini"_s);
            QVERIFY(ini.open(QIODevice::WriteOnly));
        }
        std::optional<test::NarrowedFolder> readOnly;
        if (!writable) {
            readOnly.emplace(program, test::NarrowedFolder::ReadOnly);
            QVERIFY(readOnly->isNarrowed());
            QVERIFY2(!QFile(program + u"/probe"_s).open(QIODevice::WriteOnly),
                     "the folder can still be written: file permissions do not bind here");
        }
        // The installed folder is compared as the system resolves it, not as spelt.
        const QString installed = installedHere ? program + u"/../bin/"_s : dir.filePath(u"usr"_s);
        QCOMPARE(ChooseSettingsFolder(program, installed, user), beside ? program : user);
    }

    // Made on first use, owner-only, with the parents the system would make.
    void makesTheUserFolderForItsOwnerAlone() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString user = dir.filePath(u"home/.config/quillmere"_s);
        QVERIFY(MakeUserSettingsFolder(user));
        QVERIFY(QFileInfo(user).isDir());
#ifdef Q_OS_WIN
        // It takes the access list of the user's profile it is made in, which keeps it
        // private there; Windows has no mode bits for it.
#else
        // The "user" bits are the owner's seen by whoever asks: only the others count.
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFile::permissions(user) & others, QFile::Permissions());
        QVERIFY(QFile::permissions(user).testFlags(QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner));
#endif
        QVERIFY(MakeUserSettingsFolder(user)); // and found the next time
    }
};

QTEST_GUILESS_MAIN(TestSettingsFolder)
#include "tst_settings_folder.moc"
