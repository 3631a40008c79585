#include "web/network_session.h"

#include "web/cookie_store.h"

#include <QNetworkProxyFactory>

namespace quillmere {

NetworkSession::NetworkSession(QObject *parent)
    : QNetworkAccessManager(parent)
    , m_cookies(new CookieStore) {
    setCookieJar(m_cookies);
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

} // namespace quillmere
