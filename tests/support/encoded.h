#pragma once

// Pages and files in a legacy encoding: Qt's converter where it has one (ICU), the system's
// code pages where it has none (Qt for Windows).

#include "text/code_page.h"

#include <QStringEncoder>
#include <QtGlobal>

namespace quillmere::test {

inline QByteArray Encoded(const char *encoding, QStringView text) {
    QStringEncoder encoder(encoding);
    if (encoder.isValid())
        return encoder.encode(text);
    if (std::optional<QByteArray> bytes = EncodeWithCodePage(encoding, text))
        return *bytes;
    qFatal("no encoder for %s", encoding);
}

} // namespace quillmere::test
