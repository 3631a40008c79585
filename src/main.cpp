#include "app/main_window.h"
#include "app/platform.h"
#include "web/network_session.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationVersion(QStringLiteral("1.4"));

    quillmere::NetworkSession network;
    quillmere::Platform platform;
    quillmere::frmMain window(&network, platform);
    window.show();
    return QApplication::exec();
}
