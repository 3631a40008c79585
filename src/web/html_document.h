#pragma once

// The document object model the page loader offers: a parsed HTML5 tree with the few
// properties the window reads — every element in document order, tag names, rendered
// text, absolute link addresses and the body's markup.

#include <QString>
#include <QStringView>
#include <QUrl>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace quillmere {

class HtmlDocument;

class HtmlElement {
public:
    // Upper case for HTML elements ("A", "DIV"), as written for SVG and MathML ones.
    const QString &tagName() const { return m_tagName; }
    // The text as a reader sees it under default styles: white space collapsed, line
    // breaks at <br> and block boundaries, hidden content left out.
    QString innerText() const;
    // The href attribute resolved against the document's base address; "" without one.
    QString href() const;
    // The element's children serialised back to HTML.
    QString innerhtml() const;

    QString attribute(QStringView name) const; // "" when absent
    bool hasAttribute(QStringView name) const;

    const HtmlElement *parent() const { return m_parent; }

private:
    friend class HtmlDocument;
    friend struct HtmlTreeBuilder;
    friend struct TextCollector;
    friend struct WhiteSpaceLayout;
    friend struct Serializer;

    static void textContent(const HtmlElement &e, QString &text);

    enum class Display : std::uint8_t { None, Inline, Block, Paragraph, TableRow, TableCell };

    // A child is an element or a character-data node; exactly one of the two is set.
    struct Child {
        const HtmlElement *element = nullptr;
        std::int32_t data = -1; // index into the document's character data
    };

    const HtmlDocument *m_document = nullptr;
    const HtmlElement *m_parent = nullptr;
    QString m_localName;
    QString m_tagName;
    std::vector<std::pair<QString, QString>> m_attributes;
    std::vector<Child> m_children;
    Display m_display = Display::Inline;
    bool m_html = true;     // in the HTML namespace
    bool m_rendered = true; // false inside a display:none subtree
    bool m_preformatted = false;
    bool m_lineBreak = false;    // <br>
    bool m_atomicInline = false; // images and controls: content without text
};

class HtmlDocument {
public:
    // Parses decoded HTML; `address` is the document's own address, used to resolve links.
    static std::shared_ptr<const HtmlDocument> parse(QStringView html, const QUrl &address);
    // A document without any element, for answers that are not HTML.
    static std::shared_ptr<const HtmlDocument> empty(const QUrl &address);

    ~HtmlDocument();
    HtmlDocument(const HtmlDocument &) = delete;
    HtmlDocument &operator=(const HtmlDocument &) = delete;

    // Every element, in document order (html, head and body included).
    const std::vector<const HtmlElement *> &all() const { return m_all; }
    // nullptr when the document has no body (a non-HTML answer).
    const HtmlElement *body() const { return m_body; }
    const QUrl &url() const { return m_url; }
    const QUrl &baseUrl() const { return m_baseUrl; }

private:
    friend class HtmlElement;
    friend struct HtmlTreeBuilder;
    friend struct TextCollector;
    friend struct WhiteSpaceLayout;
    friend struct Serializer;

    HtmlDocument() = default;

    struct CharacterData {
        QString text;     // as parsed, entities decoded
        QString rendered; // after CSS white-space processing in its line
        bool comment = false;
    };

    std::deque<HtmlElement> m_elements; // owns; document order, addresses stay put
    std::vector<const HtmlElement *> m_all;
    std::vector<CharacterData> m_data;
    std::vector<const HtmlElement *> m_roots; // top-level elements (normally just <html>)
    const HtmlElement *m_body = nullptr;
    QUrl m_url;
    QUrl m_baseUrl;
};

} // namespace quillmere
