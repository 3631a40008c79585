#pragma once

// What the system's own certificate checks add to the TLS library's. On Windows libcurl
// leaves the check to Schannel, and Schannel as Wine has it accepts any certificate at
// all; so the chain is checked again here, through the system's chain engine, before a
// request goes out on the connection. Elsewhere the TLS library's check is the whole of
// it. Private to src/net.

#include <QString>
#include <QUrl>
#include <curl/curl.h>

namespace quillmere {

// Sets the handle to trust the authorities the system trusts.
void UseSystemTrust(CURL *handle);

// Why the server's certificate on the handle's connection is not to be trusted for `url`;
// empty when it is, or when the connection is not a secure one. Called once the
// connection is made or taken for reuse, before anything is sent on it.
QString UntrustedServerCertificate(CURL *handle, const QUrl &url);

} // namespace quillmere
