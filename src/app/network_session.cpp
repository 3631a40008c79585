#include "app/network_session.h"

#include <QNetworkProxyFactory>
#include <QNetworkRequest>

namespace quillmere {

NetworkSession::NetworkSession(QObject *parent)
    : QNetworkAccessManager(parent) {
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

QByteArray NetworkSession::userAgent() {
    // Forums serve their full pages only to browsers they recognise.
#if defined(Q_OS_WIN)
    return QByteArrayLiteral("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                             "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36");
#else
    return QByteArrayLiteral("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
                             "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36");
#endif
}

QNetworkReply *NetworkSession::createRequest(Operation op, const QNetworkRequest &request,
                                             QIODevice *outgoingData) {
    if (request.hasRawHeader("User-Agent"))
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    QNetworkRequest withAgent(request);
    withAgent.setRawHeader("User-Agent", userAgent());
    return QNetworkAccessManager::createRequest(op, withAgent, outgoingData);
}

} // namespace quillmere
