#include "settings/folder_picker.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;
using quillmere::BrowseForFolder;
using quillmere::FolderDialog;
using quillmere::tidyChosenFolder;

namespace {

// Answers like the dialog and remembers how it was asked.
struct ScriptedDialog {
    QString answer;
    QWidget *owner = nullptr;
    QString title;
    QString start;
    int shown = 0;

    FolderDialog dialog() {
        return [this](QWidget *o, const QString &t, const QString &s) {
            ++shown;
            owner = o;
            title = t;
            start = s;
            return answer;
        };
    }
};

QString native(const QString &path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

class TestFolderPicker : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void asksOnceFromTheTopOfTheNamespace() {
        ScriptedDialog scripted{.answer = u"/srv/down"_s};
        // Never dereferenced: the owner only goes through to the dialog.
        auto *owner = reinterpret_cast<QWidget *>(std::uintptr_t{0x1000});
        const QString chosen =
            BrowseForFolder(owner, u"请选择附件保存的目录."_s, scripted.dialog());
        QCOMPARE(scripted.shown, 1);
        QCOMPARE(scripted.owner, owner);
        QCOMPARE(scripted.title, u"请选择附件保存的目录."_s);
#ifdef Q_OS_WIN
        QCOMPARE(scripted.start, u"clsid:0AC0837C-BBF8-452A-850D-79D08E667CA7"_s);
#else
        QCOMPARE(scripted.start, u"/"_s);
#endif
        QCOMPARE(chosen, native(u"/srv/down"_s));
    }

    void cancelGivesNothing() {
        ScriptedDialog scripted;
        QCOMPARE(BrowseForFolder(nullptr, u"t"_s, scripted.dialog()), QString());
        QCOMPARE(scripted.shown, 1);
    }

    void tidiesTheChoice_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("folder");

        QTest::newRow("cancelled") << QString() << QString();
        QTest::newRow("file-system root") << u"/"_s << native(u"/"_s);
        QTest::newRow("doubled root") << u"//"_s << native(u"/"_s);
        QTest::newRow("ordinary folder") << u"/home/user/down"_s << native(u"/home/user/down"_s);
        QTest::newRow("trailing separator")
            << u"/home/user/down/"_s << native(u"/home/user/down"_s);
        QTest::newRow("Chinese name")
            << u"/home/用户/附件 下载/"_s << native(u"/home/用户/附件 下载"_s);
        QTest::newRow("drive root") << u"C:/"_s << native(u"C:/"_s);
        QTest::newRow("bare drive") << u"D:"_s << native(u"D:/"_s);
        QTest::newRow("folder on a drive") << u"C:/Down/"_s << native(u"C:/Down"_s);
#ifdef Q_OS_WIN
        QTest::newRow("backslashes") << u"C:\\Down\\附件\\"_s << u"C:\\Down\\附件"_s;
        QTest::newRow("network share") << u"//server/share/"_s << u"\\\\server\\share"_s;
#endif
    }
    void tidiesTheChoice() {
        QFETCH(QString, answer);
        QFETCH(QString, folder);
        ScriptedDialog scripted{.answer = answer};
        QCOMPARE(BrowseForFolder(nullptr, u"t"_s, scripted.dialog()), folder);
        QCOMPARE(tidyChosenFolder(answer), folder);
    }
};

QTEST_MAIN(TestFolderPicker)
#include "tst_folder_picker.moc"
