#pragma once

// The program's one network session: one cookie jar and the system proxy for every
// request, shared by the page loaders, the release check and the transfers, so a forum
// log-in seen by one is seen by all. How each request is built and judged is in
// request_rules.h.

#include <QNetworkAccessManager>

namespace quillmere {

class NetworkSession : public QNetworkAccessManager {
    Q_OBJECT
public:
    explicit NetworkSession(QObject *parent = nullptr);
};

} // namespace quillmere
