// Where Qt takes the system proxy from the environment: http_proxy, and no_proxy cleared
// so that no host is let past it.

#include "support/system_proxy.h"

#include <QByteArray>

namespace quillmere::test {

struct SystemProxy::Saved {
    QByteArray proxy;
    QByteArray noProxy;
};

SystemProxy::SystemProxy(const QString &address)
    : m_saved(std::make_unique<Saved>(Saved{qgetenv("http_proxy"), qgetenv("no_proxy")})) {
    m_set = qputenv("http_proxy", address.toLatin1());
    qunsetenv("no_proxy");
}

SystemProxy::~SystemProxy() {
    // A null value was no variable at all, which is not the same as an empty one.
    m_saved->proxy.isNull() ? qunsetenv("http_proxy") : qputenv("http_proxy", m_saved->proxy);
    m_saved->noProxy.isNull() ? qunsetenv("no_proxy") : qputenv("no_proxy", m_saved->noProxy);
}

} // namespace quillmere::test
