#pragma once

// The program's one network session: one cookie jar, the system proxy and a browser's
// User-Agent for every request, shared by the page loaders, the release check and the
// transfers, so a forum log-in seen by one is seen by all.

#include <QNetworkAccessManager>

namespace quillmere {

class NetworkSession : public QNetworkAccessManager {
    Q_OBJECT
public:
    explicit NetworkSession(QObject *parent = nullptr);

    static QByteArray userAgent();

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;
};

} // namespace quillmere
