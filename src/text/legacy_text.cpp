#include "text/code_page.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace quillmere {

std::optional<QString> DecodeLegacy(const char *converter, QByteArrayView bytes) {
    QStringDecoder decode(converter, QStringConverter::Flag::Stateless);
    if (decode.isValid())
        return QString(decode(bytes));
    return DecodeWithCodePage(converter, bytes);
}

std::optional<QByteArray> EncodeLegacy(const char *converter, QStringView text) {
    QStringEncoder encode(converter);
    if (encode.isValid())
        return QByteArray(encode(text));
    return EncodeWithCodePage(converter, text);
}

} // namespace quillmere
