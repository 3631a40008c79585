#pragma once

// Which links of a thread page are attachments: anchors whose rendered text ends in
// ".rar". The page's elements are walked by whoever holds the document; these tests
// decide, so every caller agrees on what counts.

#include <QStringView>

namespace quillmere {

// The tag name, upper-cased, is exactly "A" (an <a> in any letter case).
bool IsAnchorTag(QStringView tagName);
// The text's last four characters are exactly ".rar": ".RAR" or ".rar " do not count.
bool IsAttachmentText(QStringView innerText);

// Both at once. Callers walking a large page test the tag first: the text of an
// arbitrary element can be the whole page.
inline bool IsAttachmentLink(QStringView tagName, QStringView innerText) {
    return IsAnchorTag(tagName) && IsAttachmentText(innerText);
}

} // namespace quillmere
