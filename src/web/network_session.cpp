#include "web/network_session.h"

#include <QNetworkProxyFactory>

namespace quillmere {

NetworkSession::NetworkSession(QObject *parent)
    : QNetworkAccessManager(parent) {
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

} // namespace quillmere
