#pragma once

// The document object model the page loader offers: a parsed HTML5 tree with the few
// properties the window reads — every element in document order, tag names, rendered
// text, absolute link addresses and the body's markup.

#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <QUrl>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

class HtmlDocument;

class HtmlElement {
public:
    // Upper case for HTML elements ("A", "DIV"), as written for SVG and MathML ones.
    const QString &tagName() const;
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

    enum class Display : std::uint8_t { None, Inline, Block, Paragraph, TableRow, TableCell };

    const QString &localName() const;
    std::optional<QStringView> findAttribute(QStringView name) const;

    // A thread page holds a hundred thousand elements: each is a few indices into the
    // document's shared tables rather than strings and lists of its own.
    const HtmlDocument *m_document = nullptr;
    const HtmlElement *m_parent = nullptr;
    std::uint32_t m_index = 0;      // in the document's all()
    std::uint32_t m_name = 0;       // in the document's names
    std::uint32_t m_firstChild = 0; // a run of the document's child list
    std::uint32_t m_childCount = 0;
    std::uint32_t m_firstAttribute = 0; // a run of the document's attributes
    std::uint32_t m_attributeCount = 0;
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
    // The same for a page already in UTF-8, which the parser reads as it is.
    static std::shared_ptr<const HtmlDocument> parseUtf8(QByteArrayView html, const QUrl &address);
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

    // A run of one of the two text buffers.
    struct Slice {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    struct Name {
        QString localName;
        QString tagName;
    };
    struct Attribute {
        std::uint32_t name; // in m_attributeNames
        Slice value;        // in m_text
    };
    struct CharacterData {
        Slice text;     // as parsed, entities decoded; in m_text
        Slice rendered; // after CSS white-space processing in its line
        bool comment = false;
        bool renderedInText = false; // rendered is a run of m_text rather than m_rendered
        bool spaceAfter = false;     // the blank this node owes its line follows rendered
    };
    // A child is an element (its index in m_all) or character data (its index in m_data
    // with this bit set).
    static constexpr std::uint32_t CharacterDataBit = 0x8000'0000u;
    static bool isCharacterData(std::uint32_t child) { return child & CharacterDataBit; }
    static std::uint32_t dataIndex(std::uint32_t child) { return child & ~CharacterDataBit; }
    std::span<const std::uint32_t> children(const HtmlElement &e) const {
        return std::span(m_children).subspan(e.m_firstChild, e.m_childCount);
    }

    QStringView text(Slice s) const { return QStringView(m_text).sliced(s.offset, s.length); }
    QStringView rendered(const CharacterData &d) const {
        return QStringView(d.renderedInText ? m_text : m_rendered)
            .sliced(d.rendered.offset, d.rendered.length);
    }

    static constexpr std::size_t ElementBlock = 4096;
    std::vector<std::unique_ptr<HtmlElement[]>> m_elementBlocks; // owns; addresses stay put
    std::size_t m_lastBlockUsed = ElementBlock;
    std::vector<const HtmlElement *> m_all;
    std::vector<std::uint32_t> m_children;
    std::vector<Attribute> m_attributes;
    std::vector<CharacterData> m_data;
    std::vector<Name> m_names;
    std::vector<QString> m_attributeNames;
    QString m_text;     // every attribute value and character data, one after another
    QString m_rendered; // rendered text that differs from the parsed text
    std::vector<const HtmlElement *> m_roots; // top-level elements (normally just <html>)
    const HtmlElement *m_body = nullptr;
    QUrl m_url;
    QUrl m_baseUrl;
    QString m_baseDirectory; // see plainBaseDirectory()
};

} // namespace quillmere
