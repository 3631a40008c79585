// The real desktop seam under the offscreen platform: its message box and folder dialog
// are found and answered by the test as a user would; opening an address goes to a URL
// handler of the test, never to a real browser. (Its process end runs in the
// close-during-download child of tst_main_window.)

#include "app/platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using quillmere::Platform;

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &address) { opened.append(address); }
};

class TestPlatform : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void aMessageBoxShowsItsTitleIconAndText() {
        struct Seen {
            QString title, text;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            bool modal = false;
        } seen;
        // Answered from the event loop the box runs, as a click on its OK button.
        QTimer::singleShot(0, this, [&seen] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen = {box->windowTitle(), box->text(), box->icon(), box->isModal()};
            QVERIFY(box->button(QMessageBox::Ok));
            box->button(QMessageBox::Ok)->click();
        });
        Platform platform;
        platform.messageBox(nullptr, QMessageBox::Warning, u"提示"_s, u"请首先输入帖子链接！"_s);
        QCOMPARE(seen.title, u"提示"_s);
        QCOMPARE(seen.text, u"请首先输入帖子链接！"_s);
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QVERIFY(seen.modal);
        QVERIFY(!QApplication::activeModalWidget()); // closed again
    }

    void theFolderDialogAnswersTheChosenFolder() {
        QTemporaryDir start;
        QVERIFY(QDir(start.path()).mkdir(u"downloads"_s));
        const QString chosen = QDir(start.path()).filePath(u"downloads"_s);
        QString title;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            title = dialog->windowTitle();
            QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
            dialog->setDirectory(chosen);
            static_cast<QDialog *>(dialog)->accept(); // the dialog's own Choose
        });
        Platform platform;
        const QString answer =
            platform.getExistingDirectory(nullptr, u"请选择附件保存的目录."_s, start.path());
        QCOMPARE(title, u"请选择附件保存的目录."_s);
        QCOMPARE(QDir(answer).canonicalPath(), QDir(chosen).canonicalPath());

        QTimer::singleShot(0, this, [] {
            if (QWidget *dialog = QApplication::activeModalWidget())
                qobject_cast<QDialog *>(dialog)->reject();
        });
        QCOMPARE(platform.getExistingDirectory(nullptr, u"t"_s, start.path()), QString());
    }

    void addressesGoToTheDesktopsHandler() {
        UrlCatcher catcher;
        for (const QString &scheme : {u"http"_s, u"mailto"_s})
            QDesktopServices::setUrlHandler(scheme, &catcher, "open");
        Platform platform;
        platform.openUrl(QUrl(u"http://bbs.diybh.test/thread-142312-1-1.html"_s));
        platform.openUrl(QUrl(u"mailto:quillmere@diybh.test"_s));
        QCOMPARE(catcher.opened,
                 (QList<QUrl>{QUrl(u"http://bbs.diybh.test/thread-142312-1-1.html"_s),
                              QUrl(u"mailto:quillmere@diybh.test"_s)}));
        for (const QString &scheme : {u"http"_s, u"mailto"_s})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void theProgramFolderIsWhereTheProgramIs() {
        Platform platform;
        QCOMPARE(platform.programFolder(), QCoreApplication::applicationDirPath());
    }
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
