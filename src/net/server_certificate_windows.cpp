#include "net/server_certificate.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QtEndian>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

struct CertificateDeleter {
    void operator()(const CERT_CONTEXT *certificate) const {
        CertFreeCertificateContext(certificate);
    }
};
struct ChainDeleter {
    void operator()(const CERT_CHAIN_CONTEXT *chain) const { CertFreeCertificateChain(chain); }
};

struct LocalDeleter {
    void operator()(void *memory) const { LocalFree(memory); }
};

QByteArrayView encoded(const CERT_CONTEXT &certificate) {
    return {certificate.pbCertEncoded, qsizetype(certificate.cbCertEncoded)};
}

// A kept connection shows the certificate it showed at its first request, and a batch of
// files opens one connection after another to the same server: a certificate already found
// good for a host is not taken through the chain engine again while it is within its dates.
class TrustedCertificates {
public:
    bool contains(const QString &host, const CERT_CONTEXT &certificate) {
        if (CertVerifyTimeValidity(nullptr, certificate.pCertInfo) != 0)
            return false;
        const std::lock_guard lock(m_mutex);
        for (const auto &[name, bytes] : std::as_const(m_entries)) {
            if (name == host && bytes == encoded(certificate))
                return true;
        }
        return false;
    }
    void add(const QString &host, const CERT_CONTEXT &certificate) {
        const std::lock_guard lock(m_mutex);
        if (m_entries.size() >= 32)
            m_entries.removeFirst();
        m_entries.append({host, encoded(certificate).toByteArray()});
    }

private:
    std::mutex m_mutex;
    QList<std::pair<QString, QByteArray>> m_entries; // the oldest first
};

TrustedCertificates &trusted() {
    static TrustedCertificates certificates;
    return certificates;
}

// The SSL policy's verdict on the chain, for the server `name` (no name: the chain alone);
// nothing when the policy could not be applied.
std::optional<DWORD> policyError(const CERT_CHAIN_CONTEXT *chain, const QString &name) {
    std::wstring wide = name.toStdWString();
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name.isEmpty() ? nullptr : wide.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        return std::nullopt;
    return status.dwError;
}

// Whether the certificate is for the address `host`, by an IP address among its
// alternative names. Wine's SSL policy matches host names only, and would refuse every
// server reached by its address.
bool namesAddress(const CERT_CONTEXT &certificate, const QString &host) {
    QHostAddress address;
    if (!address.setAddress(host))
        return false;
    QByteArray wanted;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 bytes = qToBigEndian(address.toIPv4Address());
        wanted = QByteArray(reinterpret_cast<const char *>(&bytes), sizeof bytes);
    } else {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        wanted = QByteArray(reinterpret_cast<const char *>(bytes.c), sizeof bytes.c);
    }
    const CERT_EXTENSION *extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate.pCertInfo->cExtension,
                          certificate.pCertInfo->rgExtension);
    if (!extension)
        return false;
    CERT_ALT_NAME_INFO *decoded = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                             &size) ||
        !decoded)
        return false;
    const std::unique_ptr<CERT_ALT_NAME_INFO, LocalDeleter> names(decoded);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY &entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            QByteArrayView(entry.IPAddress.pbData, qsizetype(entry.IPAddress.cbData)) == wanted)
            return true;
    }
    return false;
}

QString reasonFor(DWORD error, const QString &host) {
    switch (error) {
    case DWORD(CERT_E_UNTRUSTEDROOT):
    case DWORD(CERT_E_CHAINING):
    case DWORD(TRUST_E_CERT_SIGNATURE):
        return u"The server's certificate is signed by no authority this system trusts."_s;
    case DWORD(CERT_E_CN_NO_MATCH):
        return u"The server's certificate is not for %1."_s.arg(host);
    case DWORD(CERT_E_EXPIRED):
        return u"The server's certificate has expired or is not valid yet."_s;
    case DWORD(CERT_E_WRONG_USAGE):
        return u"The server's certificate is not one for a server."_s;
    default:
        return u"The system does not trust the server's certificate (error 0x%1)."_s.arg(
            qulonglong(error), 8, 16, QChar(u'0'));
    }
}

} // namespace

void UseSystemTrust(CURL *handle) {
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA));
}

QString UntrustedServerCertificate(CURL *handle, const QUrl &url) {
    if (url.scheme().compare(u"https"_s, Qt::CaseInsensitive) != 0)
        return {};
    curl_tlssessioninfo *tls = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_TLS_SSL_PTR, &tls) != CURLE_OK || !tls)
        return u"The server's certificate could not be read."_s;
    // Any other TLS library checks the chain itself; Schannel's check is the one that may
    // not have been made.
    if (tls->backend != CURLSSLBACKEND_SCHANNEL)
        return {};
    auto *context = static_cast<CtxtHandle *>(tls->internals);
    const CERT_CONTEXT *shown = nullptr;
    if (!context ||
        QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &shown) != SEC_E_OK ||
        !shown)
        return u"The server's certificate could not be read."_s;
    const std::unique_ptr<const CERT_CONTEXT, CertificateDeleter> certificate(shown);

    // The name as libcurl hands it to Schannel: an international name in its ASCII form.
    const QString host = url.host(QUrl::EncodeUnicode);
    if (trusted().contains(host, *certificate))
        return {};

    // The intermediates the server sent are in the certificate's own store. No revocation
    // check: Schannel made that one where it checks at all, and its verdict stands.
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char *usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT *built = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate.get(), nullptr, certificate->hCertStore,
                                 &chainPara, 0, nullptr, &built) ||
        !built)
        return u"The server's certificate could not be checked."_s;
    const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> chain(built);

    std::optional<DWORD> error = policyError(chain.get(), host);
    // The name checked apart from the chain: the chain's own verdict must still be clean.
    if (error == DWORD(CERT_E_CN_NO_MATCH) && namesAddress(*certificate, host))
        error = policyError(chain.get(), {});
    if (!error)
        return u"The server's certificate could not be checked."_s;
    if (*error != 0)
        return reasonFor(*error, host);
    trusted().add(host, *certificate);
    return {};
}

} // namespace quillmere
