#pragma once

// The user's own proxy, set for as long as a SystemProxy lives and put back as it was
// afterwards, in the place this platform keeps it: what the program finds there is what
// QNetworkProxyFactory::systemProxyForQuery answers. On Windows that is the user's Internet
// settings in the registry (the environment means nothing to it there); elsewhere it is
// the http_proxy environment variable.

#include <QString>
#include <QtGlobal>
#include <memory>

namespace quillmere::test {

class SystemProxy {
public:
    // `address` is an http proxy as "http://host:port".
    explicit SystemProxy(const QString &address);
    ~SystemProxy();
    Q_DISABLE_COPY_MOVE(SystemProxy)

    // False, with a warning saying why, when the proxy could not be set.
    bool isSet() const { return m_set; }

private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
    bool m_set = false;
};

} // namespace quillmere::test
