#pragma once

// The program's one network session: one cookie jar and the system proxy for every
// request, shared by the page loaders, the release check and the transfers, so a forum
// sign-in seen by one is seen by all. The jar is a CookieStore, in memory until it is
// given its file. How each request is built and judged is in request_rules.h.

#include <QNetworkAccessManager>

namespace quillmere {

class CookieStore;

class NetworkSession : public QNetworkAccessManager {
    Q_OBJECT
public:
    explicit NetworkSession(QObject *parent = nullptr);

    CookieStore *cookieStore() const { return m_cookies; }

private:
    CookieStore *m_cookies; // owned by the manager, as every jar it is given
};

} // namespace quillmere
