#include "browsers/chromium_keys.h"

#include <memory>
#include <openssl/evp.h>
#if QUILLMERE_HAVE_LIBSECRET
#include <libsecret/secret.h>
#endif

namespace quillmere::chromium {

std::optional<QByteArray> decryptAes128Cbc(const QByteArray &key, const QByteArray &data) {
    const QByteArray iv(16, ' ');
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX *)> context(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    if (!context || data.isEmpty() || data.size() % 16 != 0 ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()),
                           reinterpret_cast<const unsigned char *>(iv.constData())) != 1)
        return std::nullopt;
    QByteArray plain(data.size() + 16, Qt::Uninitialized);
    int length = 0;
    int last = 0;
    if (EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char *>(plain.data()), &length,
                          reinterpret_cast<const unsigned char *>(data.constData()),
                          int(data.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char *>(plain.data()) + length,
                            &last) != 1)
        return std::nullopt;
    plain.resize(length + last);
    return plain;
}

QByteArray chromiumKey(const QByteArray &password) {
    QByteArray key(16, '\0');
    const QByteArray salt = "saltysalt";
    PKCS5_PBKDF2_HMAC_SHA1(password.constData(), int(password.size()),
                           reinterpret_cast<const unsigned char *>(salt.constData()),
                           int(salt.size()), 1, int(key.size()),
                           reinterpret_cast<unsigned char *>(key.data()));
    return key;
}

// The password the desktop's Secret Service keeps for the browser; empty when none answers.
QByteArray keyringPassword(const QString &browser) {
#if QUILLMERE_HAVE_LIBSECRET
    const QByteArray application = browser == u"chrome" ? "chrome" : "chromium";
    for (const char *schemaName :
         {"chrome_libsecret_os_crypt_password_v2", "chrome_libsecret_os_crypt_password_v1"}) {
        const SecretSchema schema = {schemaName,
                                     SECRET_SCHEMA_DONT_MATCH_NAME,
                                     {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                      {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                     0,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr};
        GError *error = nullptr;
        gchar *password = secret_password_lookup_sync(&schema, nullptr, &error, "application",
                                                      application.constData(), nullptr);
        if (error)
            g_error_free(error);
        if (password) {
            const QByteArray result(password);
            secret_password_free(password);
            return result;
        }
        if (error)
            break; // no Secret Service at all: the second schema would fail alike
    }
#else
    Q_UNUSED(browser)
#endif
    return {};
}

} // namespace quillmere::chromium
