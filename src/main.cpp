#include "app/network_session.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationVersion(QStringLiteral("1.4"));

    quillmere::NetworkSession network;
    QWidget window;
    window.setWindowTitle(QStringLiteral("Quillmere  Ver 1.4"));
    window.show();
    return QApplication::exec();
}
