#include "text/code_page.h"

namespace quillmere {

// Qt's ICU converters do it all.

std::optional<QString> DecodeWithCodePage(const char *, QByteArrayView) {
    return std::nullopt;
}

std::optional<QByteArray> EncodeWithCodePage(const char *, QStringView) {
    return std::nullopt;
}

} // namespace quillmere
