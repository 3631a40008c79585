#include "web/html_document.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <cstring>
#include <gumbo.h>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

bool isOneOf(QStringView name, std::initializer_list<QStringView> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool isCollapsibleSpace(QChar c) {
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\n' || u == u'\r' || u == u'\f';
}

QString fromUtf8(const char *data, std::size_t length) {
    return QString::fromUtf8(data, static_cast<qsizetype>(length));
}

QString fromUtf8(const char *text) {
    return QString::fromUtf8(text);
}

// Control characters a page holds as they are (U+007F, U+0085, ...) are parse errors the
// HTML parser must keep; gumbo replaces them with U+FFFD. They cross it disguised as
// characters of a private-use block and come back on the other side. A page that already
// uses that block is parsed as it is.
constexpr char16_t DisguiseBase = 0xF700;

bool isDisguised(char16_t c) {
    return (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) ||
           (c >= 0x7F && c <= 0x9F);
}

// The page with its controls disguised; null when there is nothing to disguise or the
// disguise would not be undone unambiguously.
QString disguiseControls(QStringView html) {
    const auto needs =
        std::find_if(html.begin(), html.end(), [](QChar c) { return isDisguised(c.unicode()); });
    if (needs == html.end())
        return {};
    if (std::any_of(html.begin(), html.end(), [](QChar c) {
            return c.unicode() > DisguiseBase && c.unicode() <= DisguiseBase + 0x9F;
        }))
        return {};
    QString disguised = html.toString();
    for (QChar &c : disguised) {
        if (isDisguised(c.unicode()))
            c = QChar(char16_t(DisguiseBase + c.unicode()));
    }
    return disguised;
}

void undisguiseControls(QString &text) {
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u > DisguiseBase && u <= DisguiseBase + 0x9F && isDisguised(char16_t(u - DisguiseBase)))
            c = QChar(char16_t(u - DisguiseBase));
    }
}

// The "display" of an inline style attribute, when it sets one ("" otherwise).
QString inlineDisplay(const QString &style) {
    static const QRegularExpression re(uR"((?:^|;)\s*display\s*:\s*([a-z-]+))"_s,
                                       QRegularExpression::CaseInsensitiveOption);
    const auto match = re.match(style);
    return match.hasMatch() ? match.captured(1).toLower() : QString();
}

// Gumbo allocates and frees millions of small blocks while it parses, and freeing its
// tree costs as much again. A per-parse pool of power-of-two size classes serves those
// blocks from large chunks and drops the whole tree at once.
class GumboPool {
public:
    static void *allocate(void *pool, size_t size) {
        return static_cast<GumboPool *>(pool)->take(size);
    }
    static void deallocate(void *pool, void *block) {
        if (block)
            static_cast<GumboPool *>(pool)->give(block);
    }

private:
    static constexpr std::size_t Header = 16; // keeps payloads 16-byte aligned
    static constexpr std::size_t ChunkSize = std::size_t(1) << 20;
    struct FreeBlock {
        FreeBlock *next;
    };

    void *take(std::size_t size) {
        std::size_t sizeClass = 4; // 16 bytes at least
        while ((std::size_t(1) << sizeClass) < size)
            ++sizeClass;
        char *block;
        if (FreeBlock *reused = m_free[sizeClass]) {
            m_free[sizeClass] = reused->next;
            block = reinterpret_cast<char *>(reused) - Header;
        } else {
            block = carve(Header + (std::size_t(1) << sizeClass));
        }
        std::memcpy(block, &sizeClass, sizeof sizeClass);
        return block + Header;
    }

    void give(void *payload) {
        char *block = static_cast<char *>(payload) - Header;
        std::size_t sizeClass;
        std::memcpy(&sizeClass, block, sizeof sizeClass);
        auto *freed = static_cast<FreeBlock *>(payload);
        freed->next = m_free[sizeClass];
        m_free[sizeClass] = freed;
    }

    char *carve(std::size_t bytes) {
        if (bytes > m_left) {
            const std::size_t chunk = std::max(bytes, ChunkSize);
            m_chunks.push_back(std::make_unique_for_overwrite<char[]>(chunk));
            m_next = m_chunks.back().get();
            m_left = chunk;
        }
        char *block = m_next;
        m_next += bytes;
        m_left -= bytes;
        return block;
    }

    std::array<FreeBlock *, 64> m_free{};
    std::vector<std::unique_ptr<char[]>> m_chunks;
    char *m_next = nullptr;
    std::size_t m_left = 0;
};

} // namespace

// Builds our tree from gumbo's, deciding each element's default display on the way.
struct HtmlTreeBuilder {
    HtmlDocument &doc;
    bool disguised = false; // the page's controls crossed the parser disguised

    QString text(const char *utf8) const {
        QString result = fromUtf8(utf8);
        if (disguised)
            undisguiseControls(result);
        return result;
    }

    using ElementDisplay = HtmlElement::Display;

    static ElementDisplay defaultDisplay(const HtmlElement &e) {
        if (!e.m_html)
            return ElementDisplay::Inline;
        const QString &n = e.m_localName;
        if (isOneOf(n, {u"area", u"base", u"basefont", u"datalist", u"head", u"link", u"meta",
                        u"noembed", u"noframes", u"param", u"rp", u"script", u"style", u"template",
                        u"title"}))
            return ElementDisplay::None;
        if (n == u"input" && e.attribute(u"type").compare(u"hidden", Qt::CaseInsensitive) == 0)
            return ElementDisplay::None;
        if (n == u"dialog" && !e.hasAttribute(u"open"))
            return ElementDisplay::None;
        if (n == u"p")
            return ElementDisplay::Paragraph;
        if (n == u"tr")
            return ElementDisplay::TableRow;
        if (n == u"td" || n == u"th")
            return ElementDisplay::TableCell;
        if (isOneOf(n,
                    {u"html",   u"body",    u"address",    u"blockquote", u"center",    u"dialog",
                     u"div",    u"figure",  u"figcaption", u"footer",     u"form",      u"header",
                     u"hr",     u"legend",  u"listing",    u"main",       u"plaintext", u"pre",
                     u"search", u"xmp",     u"dir",        u"dd",         u"dl",        u"dt",
                     u"menu",   u"ol",      u"ul",         u"li",         u"article",   u"aside",
                     u"h1",     u"h2",      u"h3",         u"h4",         u"h5",        u"h6",
                     u"hgroup", u"nav",     u"section",    u"fieldset",   u"details",   u"summary",
                     u"table",  u"caption", u"optgroup",   u"option",     u"frameset",  u"frame",
                     u"address"}))
            return ElementDisplay::Block;
        return ElementDisplay::Inline;
    }

    ElementDisplay display(const HtmlElement &e, GumboTag tag) {
        if (e.hasAttribute(u"hidden"))
            return ElementDisplay::None;
        const QString style = e.attribute(u"style");
        const QString styled = style.isEmpty() ? QString() : inlineDisplay(style);
        if (styled.isEmpty())
            return cachedDefaultDisplay(e, tag);
        if (styled == u"none")
            return ElementDisplay::None;
        if (styled == u"table-row")
            return ElementDisplay::TableRow;
        if (styled == u"table-cell")
            return ElementDisplay::TableCell;
        if (isOneOf(styled, {u"block", u"list-item", u"table", u"flex", u"grid", u"flow-root",
                             u"table-caption"}))
            return ElementDisplay::Block;
        return ElementDisplay::Inline;
    }

    static QString localName(const GumboElement &g) {
        if (g.tag != GUMBO_TAG_UNKNOWN) {
            if (g.tag_namespace == GUMBO_NAMESPACE_SVG) {
                GumboStringPiece piece = g.original_tag;
                gumbo_tag_from_original_text(&piece);
                if (const char *svgName = gumbo_normalize_svg_tagname(&piece))
                    return fromUtf8(svgName);
            }
            return fromUtf8(gumbo_normalized_tagname(g.tag));
        }
        GumboStringPiece piece = g.original_tag;
        gumbo_tag_from_original_text(&piece);
        QString name = fromUtf8(piece.data, piece.length);
        return g.tag_namespace == GUMBO_NAMESPACE_HTML ? name.toLower() : name;
    }

    // Names and default display of the known HTML tags, worked out once per parse and
    // shared by every element of that tag: a thread page has a hundred thousand of them.
    struct KnownTag {
        QString localName;
        QString tagName;
        ElementDisplay display = ElementDisplay::Inline;
        bool resolved = false;
        bool displayResolved = false;
    };
    std::array<KnownTag, GUMBO_TAG_UNKNOWN> knownTags{};
    QHash<QByteArray, QString> attributeNames;

    void setNames(HtmlElement &e, const GumboElement &g) {
        if (g.tag_namespace != GUMBO_NAMESPACE_HTML || g.tag >= GUMBO_TAG_UNKNOWN) {
            e.m_localName = localName(g);
            e.m_tagName = e.m_html ? e.m_localName.toUpper() : e.m_localName;
            return;
        }
        KnownTag &known = knownTags[g.tag];
        if (!known.resolved) {
            known.localName = localName(g);
            known.tagName = known.localName.toUpper();
            known.resolved = true;
        }
        e.m_localName = known.localName;
        e.m_tagName = known.tagName;
    }

    ElementDisplay cachedDefaultDisplay(const HtmlElement &e, GumboTag tag) {
        const bool byAttributes = tag == GUMBO_TAG_INPUT; // <dialog> is unknown to gumbo
        if (!e.m_html || tag >= GUMBO_TAG_UNKNOWN || byAttributes)
            return defaultDisplay(e);
        KnownTag &known = knownTags[tag];
        if (!known.displayResolved) {
            known.display = defaultDisplay(e);
            known.displayResolved = true;
        }
        return known.display;
    }

    QString attributeName(const char *name) {
        const QByteArray key = QByteArray::fromRawData(name, qsizetype(std::strlen(name)));
        auto it = attributeNames.constFind(key);
        if (it == attributeNames.constEnd())
            it = attributeNames.insert(QByteArray(name), fromUtf8(name));
        return *it;
    }

    // Browsers stop nesting elements at this depth and put deeper ones side by side under
    // the last element that may still have children; so do we, which also bounds every
    // recursive walk of the tree, whatever the page.
    static constexpr int MaxDepth = 512;

    const HtmlElement *element(const GumboNode *node, const HtmlElement *parent, bool rendered,
                               int depth = 0) {
        HtmlElement &e = create(node, parent, rendered);
        if (depth + 2 >= MaxDepth) {
            flatten(node, e);
            return &e;
        }
        const GumboVector &children = node->v.element.children;
        e.m_children.reserve(children.length);
        for (unsigned i = 0; i < children.length; ++i) {
            const auto *child = static_cast<const GumboNode *>(children.data[i]);
            if (isElement(child)) {
                if (!inTemplate(node))
                    e.m_children.push_back({element(child, &e, e.m_rendered, depth + 1), -1});
            } else if (isCharacterData(child)) {
                e.m_children.push_back({nullptr, characterData(child)});
            }
        }
        return &e;
    }

    // Every element below `node` becomes a child of `ceiling`, in document order, and keeps
    // its own text; without recursion.
    void flatten(const GumboNode *node, HtmlElement &ceiling) {
        struct Open {
            const GumboNode *node;
            HtmlElement *element;
            unsigned next;
        };
        std::vector<Open> stack{{node, &ceiling, 0}};
        while (!stack.empty()) {
            const Open open = stack.back();
            const GumboVector &children = open.node->v.element.children;
            if (open.next == children.length) {
                stack.pop_back();
                continue;
            }
            ++stack.back().next;
            const auto *child = static_cast<const GumboNode *>(children.data[open.next]);
            if (isElement(child)) {
                if (inTemplate(open.node))
                    continue;
                HtmlElement &e = create(child, &ceiling, ceiling.m_rendered);
                ceiling.m_children.push_back({&e, -1});
                stack.push_back({child, &e, 0});
            } else if (isCharacterData(child)) {
                open.element->m_children.push_back({nullptr, characterData(child)});
            }
        }
    }

    static bool isElement(const GumboNode *node) {
        return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
    }
    static bool isCharacterData(const GumboNode *node) {
        return node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_CDATA ||
               node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_COMMENT;
    }
    // A template's contents live outside the document, as in browsers: its elements are
    // not elements of the page, and only its text is kept.
    static bool inTemplate(const GumboNode *parent) { return parent->type == GUMBO_NODE_TEMPLATE; }

    // One element with its names, attributes and rendering facts, without its children.
    HtmlElement &create(const GumboNode *node, const HtmlElement *parent, bool rendered) {
        const GumboElement &g = node->v.element;
        HtmlElement &e = doc.m_elements.emplace_back();
        doc.m_all.push_back(&e);

        e.m_document = &doc;
        e.m_parent = parent;
        e.m_html = g.tag_namespace == GUMBO_NAMESPACE_HTML;
        setNames(e, g);
        e.m_attributes.reserve(g.attributes.length);
        for (unsigned i = 0; i < g.attributes.length; ++i) {
            const auto *a = static_cast<const GumboAttribute *>(g.attributes.data[i]);
            e.m_attributes.emplace_back(attributeName(a->name), text(a->value));
        }
        e.m_display = display(e, g.tag);
        e.m_lineBreak = e.m_html && g.tag == GUMBO_TAG_BR;
        e.m_atomicInline =
            (e.m_html &&
             isOneOf(e.m_localName, {u"img", u"input", u"button", u"select", u"textarea", u"iframe",
                                     u"video", u"audio", u"object", u"embed", u"canvas"})) ||
            g.tag == GUMBO_TAG_SVG;
        e.m_rendered = rendered && e.m_display != ElementDisplay::None;
        e.m_preformatted = (parent && parent->m_preformatted) ||
                           (e.m_html && isOneOf(e.m_localName, {u"pre", u"textarea", u"listing",
                                                                u"plaintext", u"xmp"}));
        if (!doc.m_body && e.m_html && e.m_localName == u"body")
            doc.m_body = &e;

        return e;
    }

    std::int32_t characterData(const GumboNode *node) {
        HtmlDocument::CharacterData data;
        data.text = text(node->v.text.text);
        data.comment = node->type == GUMBO_NODE_COMMENT;
        doc.m_data.push_back(std::move(data));
        return static_cast<std::int32_t>(doc.m_data.size() - 1);
    }
};

// CSS white-space processing over the whole document, so that each text node knows which
// of its spaces survive in its line. Leading and trailing spaces of an element depend on
// what stands around it: "<a> x.rar</a>" at the start of a block loses its blank,
// "<a>x.rar </a>more" keeps it.
struct WhiteSpaceLayout {
    HtmlDocument &doc;
    bool atLineStart = true;
    std::int32_t pendingSpace = -1; // the node owing a space to its line, if any

    void lineBreak() {
        pendingSpace = -1;
        atLineStart = true;
    }

    void content() {
        if (pendingSpace >= 0)
            doc.m_data[static_cast<std::size_t>(pendingSpace)].rendered += u' ';
        pendingSpace = -1;
        atLineStart = false;
    }

    void text(std::int32_t index, bool preformatted) {
        auto &data = doc.m_data[static_cast<std::size_t>(index)];
        if (data.comment || data.text.isEmpty())
            return;
        if (preformatted) {
            content();
            data.rendered = data.text;
            atLineStart = data.text.endsWith(u'\n');
            return;
        }
        QString out(data.text.size() + 1, Qt::Uninitialized);
        QChar *dst = out.data();
        bool changed = false;
        for (const QChar c : std::as_const(data.text)) {
            if (isCollapsibleSpace(c)) {
                if (!atLineStart && pendingSpace < 0)
                    pendingSpace = index;
                changed = true;
                continue;
            }
            if (pendingSpace == index)
                *dst++ = u' ';
            else if (pendingSpace >= 0)
                doc.m_data[static_cast<std::size_t>(pendingSpace)].rendered += u' ';
            pendingSpace = -1;
            *dst++ = c;
            atLineStart = false;
        }
        out.truncate(dst - out.constData());
        // Most text runs come out as they went in: share the parsed text then.
        data.rendered = changed || out != data.text ? std::move(out) : data.text;
    }

    void walk(const HtmlElement &e) {
        if (!e.m_rendered)
            return;
        const bool block = e.m_display != HtmlElement::Display::Inline;
        if (block || e.m_lineBreak)
            lineBreak();
        if (e.m_atomicInline) {
            content();
            return;
        }
        for (const auto &child : e.m_children) {
            if (child.element)
                walk(*child.element);
            else
                text(child.data, e.m_preformatted);
        }
        if (block)
            lineBreak();
    }
};

// The rendered-text collection of the HTML standard's innerText getter.
struct TextCollector {
    const HtmlDocument &doc;
    QString out;
    int requiredBreaks = 0;

    void append(const QString &text) {
        if (text.isEmpty())
            return;
        if (!out.isEmpty() && requiredBreaks > 0)
            out += QString(requiredBreaks, u'\n');
        requiredBreaks = 0;
        out += text;
    }

    void requireBreaks(int count) { requiredBreaks = std::max(requiredBreaks, count); }

    static bool followedBy(const HtmlElement &e, HtmlElement::Display display) {
        if (!e.m_parent)
            return false;
        const auto &siblings = e.m_parent->m_children;
        auto it = std::find_if(siblings.begin(), siblings.end(),
                               [&](const HtmlElement::Child &c) { return c.element == &e; });
        return std::any_of(std::next(it), siblings.end(), [&](const HtmlElement::Child &c) {
            return c.element && c.element->m_rendered && c.element->m_display == display;
        });
    }

    void children(const HtmlElement &e) {
        for (const auto &child : e.m_children) {
            if (child.element)
                collect(*child.element);
            else
                append(doc.m_data[static_cast<std::size_t>(child.data)].rendered);
        }
    }

    void collect(const HtmlElement &e) {
        if (!e.m_rendered)
            return;
        using D = HtmlElement::Display;
        const int breaks = e.m_display == D::Paragraph ? 2 : e.m_display == D::Block ? 1 : 0;
        requireBreaks(breaks);
        if (e.m_lineBreak)
            append(u"\n"_s);
        children(e);
        if (e.m_display == D::TableCell && followedBy(e, D::TableCell))
            append(u"\t"_s);
        if (e.m_display == D::TableRow && followedBy(e, D::TableRow))
            append(u"\n"_s);
        requireBreaks(breaks);
    }
};

// The HTML fragment serialisation algorithm.
struct Serializer {
    const HtmlDocument &doc;
    QString out;

    static bool isVoid(const HtmlElement &e) {
        return e.m_html &&
               isOneOf(e.m_localName, {u"area", u"base", u"basefont", u"bgsound", u"br", u"col",
                                       u"embed", u"frame", u"hr", u"img", u"input", u"keygen",
                                       u"link", u"meta", u"param", u"source", u"track", u"wbr"});
    }

    static bool isRawText(const HtmlElement &e) {
        return e.m_html && isOneOf(e.m_localName, {u"style", u"script", u"xmp", u"iframe",
                                                   u"noembed", u"noframes", u"plaintext"});
    }

    void escape(const QString &text, bool attribute) {
        for (const QChar c : text) {
            switch (c.unicode()) {
            case u'&':
                out += u"&amp;";
                break;
            case u'\u00A0':
                out += u"&nbsp;";
                break;
            case u'"':
                out += attribute ? u"&quot;"_s : u"\""_s;
                break;
            case u'<':
                out += attribute ? u"<"_s : u"&lt;"_s;
                break;
            case u'>':
                out += attribute ? u">"_s : u"&gt;"_s;
                break;
            default:
                out += c;
            }
        }
    }

    void children(const HtmlElement &e) {
        for (const auto &child : e.m_children) {
            if (child.element) {
                element(*child.element);
                continue;
            }
            const auto &data = doc.m_data[static_cast<std::size_t>(child.data)];
            if (data.comment)
                out += u"<!--"_s + data.text + u"-->"_s;
            else if (isRawText(e))
                out += data.text;
            else
                escape(data.text, false);
        }
    }

    void element(const HtmlElement &e) {
        out += u'<';
        out += e.m_localName;
        for (const auto &[name, value] : e.m_attributes) {
            out += u' ';
            out += name;
            out += u"=\"";
            escape(value, true);
            out += u'"';
        }
        out += u'>';
        if (isVoid(e))
            return;
        children(e);
        out += u"</";
        out += e.m_localName;
        out += u'>';
    }
};

void HtmlElement::textContent(const HtmlElement &e, QString &text) {
    for (const auto &child : e.m_children) {
        if (child.element) {
            textContent(*child.element, text);
            continue;
        }
        const auto &data = e.m_document->m_data[static_cast<std::size_t>(child.data)];
        if (!data.comment)
            text += data.text;
    }
}

QString HtmlElement::innerText() const {
    if (!m_rendered) {
        // Not being rendered: the descendants' text content, as browsers return it.
        QString text;
        textContent(*this, text);
        return text;
    }
    TextCollector collector{*m_document, {}, 0};
    collector.children(*this);
    return collector.out;
}

QString HtmlElement::href() const {
    if (!hasAttribute(u"href"))
        return {};
    QString value = attribute(u"href").trimmed();
    value.remove(u'\t');
    value.remove(u'\n');
    value.remove(u'\r');
    if (value.isEmpty())
        return QString::fromUtf8(m_document->baseUrl().adjusted(QUrl::RemoveFragment).toEncoded());
    const QUrl relative(value);
    if (!relative.isValid())
        return attribute(u"href");
    const QUrl resolved = m_document->baseUrl().resolved(relative);
    if (!resolved.isValid() || resolved.isEmpty())
        return attribute(u"href");
    return QString::fromUtf8(resolved.toEncoded());
}

QString HtmlElement::innerhtml() const {
    Serializer serializer{*m_document, {}};
    serializer.children(*this);
    return serializer.out;
}

QString HtmlElement::attribute(QStringView name) const {
    for (const auto &[key, value] : m_attributes) {
        if (key == name)
            return value;
    }
    return {};
}

bool HtmlElement::hasAttribute(QStringView name) const {
    return std::any_of(m_attributes.begin(), m_attributes.end(),
                       [&](const auto &attribute) { return attribute.first == name; });
}

HtmlDocument::~HtmlDocument() = default;

std::shared_ptr<const HtmlDocument> HtmlDocument::empty(const QUrl &address) {
    std::shared_ptr<HtmlDocument> doc(new HtmlDocument);
    doc->m_url = address;
    doc->m_baseUrl = address;
    return doc;
}

std::shared_ptr<const HtmlDocument> HtmlDocument::parse(QStringView html, const QUrl &address) {
    std::shared_ptr<HtmlDocument> doc(new HtmlDocument);
    doc->m_url = address;
    doc->m_baseUrl = address;

    const QString disguised = disguiseControls(html);
    const QByteArray utf8 = disguised.isNull() ? html.toUtf8() : disguised.toUtf8();
    GumboPool pool;
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0; // we never look at parse errors; recording them costs time
    options.allocator = &GumboPool::allocate;
    options.deallocator = &GumboPool::deallocate;
    options.userdata = &pool;
    GumboOutput *output =
        gumbo_parse_with_options(&options, utf8.constData(), static_cast<size_t>(utf8.size()));

    HtmlTreeBuilder builder{*doc, !disguised.isNull()};
    const GumboVector &top = output->document->v.document.children;
    for (unsigned i = 0; i < top.length; ++i) {
        const auto *node = static_cast<const GumboNode *>(top.data[i]);
        if (node->type == GUMBO_NODE_ELEMENT)
            doc->m_roots.push_back(builder.element(node, nullptr, true));
    }
    // gumbo's tree goes with the pool; gumbo_destroy_output would only walk it.
    (void)output;

    // The first <base href> in tree order sets the address links resolve against.
    for (const HtmlElement *e : doc->m_all) {
        if (e->m_html && e->m_localName == u"base" && e->hasAttribute(u"href")) {
            const QUrl base = address.resolved(QUrl(e->attribute(u"href").trimmed()));
            if (base.isValid())
                doc->m_baseUrl = base;
            break;
        }
    }

    WhiteSpaceLayout layout{*doc};
    for (const HtmlElement *root : doc->m_roots)
        layout.walk(*root);
    return doc;
}

} // namespace quillmere
