#pragma once

// Which links of a thread page are attachments: anchors whose rendered text ends in
// ".rar". The tests below decide, so every caller agrees on what counts, and
// DiscoverAttachments walks a loaded page with them.

#include "analysis/attachment_entry.h"

#include <QList>
#include <QString>
#include <QStringView>

namespace quillmere {

class HtmlDocument;

// The tag name, upper-cased, is exactly "A" (an <a> in any letter case).
bool IsAnchorTag(QStringView tagName);
// The text's last four characters are exactly ".rar": ".RAR" or ".rar " do not count.
bool IsAttachmentText(QStringView innerText);

// Both at once. Callers walking a large page test the tag first: the text of an
// arbitrary element can be the whole page.
inline bool IsAttachmentLink(QStringView tagName, QStringView innerText) {
    return IsAnchorTag(tagName) && IsAttachmentText(innerText);
}

// Every attachment link of the page, in document order; duplicates stay. A document
// without elements (an answer that is not HTML) has none.
QList<EntryParts> DiscoverAttachments(const HtmlDocument &document);

// What the user is told when there is nothing to analyse, or the page did not load.
inline constexpr QStringView NoThreadAddressMessage = u"请首先输入帖子链接！";
QString ThreadLoadErrorMessage(const QString &address);

} // namespace quillmere
