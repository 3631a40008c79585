#include "analysis/attachment_discovery.h"

namespace quillmere {

bool IsAnchorTag(QStringView tagName) {
    // No other character upper-cases to "A", so a one-letter test is the whole rule
    // without allocating an upper-cased copy for each of a page's many elements.
    return tagName.size() == 1 && (tagName.front() == u'A' || tagName.front() == u'a');
}

bool IsAttachmentText(QStringView innerText) {
    return innerText.endsWith(u".rar", Qt::CaseSensitive);
}

} // namespace quillmere
