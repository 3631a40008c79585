#include "analysis/attachment_discovery.h"

#include "web/html_document.h"

namespace quillmere {

using namespace Qt::StringLiterals;

bool IsAnchorTag(QStringView tagName) {
    // No other character upper-cases to "A", so a one-letter test is the whole rule
    // without allocating an upper-cased copy for each of a page's many elements.
    return tagName.size() == 1 && (tagName.front() == u'A' || tagName.front() == u'a');
}

bool IsAttachmentText(QStringView innerText) {
    return innerText.endsWith(u".rar", Qt::CaseSensitive);
}

QList<EntryParts> DiscoverAttachments(const HtmlDocument &document) {
    QList<EntryParts> links;
    for (const HtmlElement *element : document.all()) {
        if (!IsAnchorTag(element->tagName()))
            continue;
        QString text = element->innerText();
        if (IsAttachmentText(text))
            links.append({element->href(), std::move(text)});
    }
    return links;
}

QString ThreadLoadErrorMessage(const QString &address) {
    // The prompt ends in an error description; nothing here ever has one to give.
    return u"打开帖子链接"_s + address + u"发生错误："_s;
}

} // namespace quillmere
