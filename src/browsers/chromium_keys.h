#pragma once

// The keys of Chromium's cookie values on Linux: "v10" values are AES-128-CBC under a key
// derived from a fixed password, "v11" values under one derived from the password the
// desktop's Secret Service keeps. OpenSSL and libsecret stay in this file, which the build
// leaves out on Windows: there Chromium protects its key with the user's Windows login, and
// no other program reads it.

#include <QByteArray>
#include <QString>
#include <optional>

namespace quillmere::chromium {

// The value, or empty when `data` does not decrypt under `key`.
std::optional<QByteArray> decryptAes128Cbc(const QByteArray &key, const QByteArray &data);
// The 16-byte key Chromium derives from `password`.
QByteArray chromiumKey(const QByteArray &password);
// The password the desktop's Secret Service keeps for the browser; empty when none answers.
QByteArray keyringPassword(const QString &browser);

} // namespace quillmere::chromium
