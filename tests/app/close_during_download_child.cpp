// The program as it runs for a user — real window, real desktop seam, real process end —
// with a short script: download one big attachment and close the window in the middle.
// tst_main_window starts it as a child process and inspects what is left behind.
//   close_during_download_child <program folder> <target folder> <attachment address>

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "app/platform.h"
#include "app/start_up.h"
#include "net/network_session.h"
#include "transfer/file_download.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

namespace {

class ProgramFolder : public quillmere::Platform {
public:
    explicit ProgramFolder(QString folder)
        : m_folder(std::move(folder)) {}
    QString programFolder() override { return m_folder; }
    void messageBox(QWidget *, QMessageBox::Icon, const QString &, const QString &text) override {
        // Nothing may be shown once the window is closing.
        std::printf("message: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    }

private:
    QString m_folder;
};

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QStringList args = QApplication::arguments();

    quillmere::NetworkSession network;
    ProgramFolder platform(args[1]);
    QString problems; // the start-up of the program itself: cookies.txt in the program folder
    if (quillmere::OpenCookieStore(network, {}, platform, problems))
        return 4;
    quillmere::frmMain window(&network, platform);
    window.show();
    window.Text2->setText(args[2]);
    window.attachments()->AddItem(quillmere::MakeEntry(args[3], u"big.rar"));
    window.attachments()->setSelected(0, true);

    bool closing = false;
    QObject::connect(window.fileDownload(), &quillmere::CFileDownload::OnProgress, &window,
                     [&](qint64 progress, qint64, qint32, const QString &) {
                         if (progress <= 0 || closing)
                             return;
                         closing = true;
                         std::printf("transferring\n");
                         std::fflush(stdout);
                         // Closed from the event loop that runs inside the transfer's wait.
                         QTimer::singleShot(50, &window, &QWidget::close);
                     });
    QTimer::singleShot(0, window.Command2, &QPushButton::click);
    const int result = QApplication::exec();
    std::printf("event loop returned %d\n", result);
    return 3;
}
