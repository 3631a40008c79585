#pragma once

// Pages and files in a legacy encoding: Qt's converter where it has one (ICU), the system's
// code pages where it has none (Qt for Windows).

#include "text/code_page.h"

#include <QtGlobal>

namespace quillmere::test {

inline QByteArray Encoded(const char *encoding, QStringView text) {
    if (std::optional<QByteArray> bytes = EncodeLegacy(encoding, text))
        return *bytes;
    qFatal("no encoder for %s", encoding);
}

} // namespace quillmere::test
