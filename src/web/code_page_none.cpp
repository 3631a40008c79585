#include "web/code_page.h"

namespace quillmere {

std::optional<QString> DecodeWithCodePage(const char *, QByteArrayView) {
    return std::nullopt; // Qt's ICU converters do it all
}

} // namespace quillmere
