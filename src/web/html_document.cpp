#include "web/html_document.h"

#include "web/parse_pool.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <cstring>
#include <gumbo.h>
#include <new>
#include <optional>

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
constexpr char16_t kReplacementCharacter = 0xFFFD;

bool isDisguised(char32_t c) {
    return (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) ||
           (c >= 0x7F && c <= 0x9F);
}

// The UTF-8 page with its controls disguised; null when there is nothing to disguise or
// the disguise would not be undone unambiguously.
QByteArray disguiseControls(QByteArrayView html) {
    const auto *p = reinterpret_cast<const uchar *>(html.data());
    const qsizetype n = html.size();
    // The private-use characters U+F701..U+F79F are EF 9C 81 .. EF 9E 9F.
    const auto isDisguiseCharacter = [&](qsizetype i) {
        if (p[i] != 0xEF || i + 2 >= n)
            return false;
        const uchar b1 = p[i + 1], b2 = p[i + 2];
        return (b1 == 0x9C && b2 >= 0x81 && b2 <= 0xBF) ||
               (b1 == 0x9D && b2 >= 0x80 && b2 <= 0xBF) || (b1 == 0x9E && b2 >= 0x80 && b2 <= 0x9F);
    };
    // A C1 control is C2 80 .. C2 9F.
    const auto controlAt = [&](qsizetype i) -> int {
        if (isDisguised(p[i]) && p[i] < 0x80)
            return 1;
        if (p[i] == 0xC2 && i + 1 < n && p[i + 1] >= 0x80 && p[i + 1] <= 0x9F)
            return 2;
        return 0;
    };
    // Eight bytes at a time: a word none of whose bytes is a control, 0x7F, 0xC2 or 0xEF
    // needs no closer look, and most words of a page are such.
    constexpr std::uint64_t Ones = ~std::uint64_t(0) / 255;
    const auto hasZeroByte = [](std::uint64_t v) {
        return (v - Ones) & ~v & (Ones * 0x80);
    };
    const auto mayMatter = [&](std::uint64_t w) {
        return ((w - Ones * 0x20) & ~w & (Ones * 0x80)) | hasZeroByte(w ^ (Ones * 0x7F)) |
               hasZeroByte(w ^ (Ones * 0xC2)) | hasZeroByte(w ^ (Ones * 0xEF));
    };
    qsizetype controls = 0;
    qsizetype i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, sizeof word);
            if (!mayMatter(word)) {
                i += 8;
                continue;
            }
        }
        const qsizetype end = std::min(i + 8, n);
        for (; i < end; ++i) {
            if (p[i] < 0x20 || p[i] == 0x7F || p[i] == 0xC2)
                controls += controlAt(i) != 0;
            else if (p[i] == 0xEF && isDisguiseCharacter(i))
                return {};
        }
    }
    if (controls == 0)
        return {};
    QByteArray disguised;
    disguised.reserve(n + 2 * controls);
    for (qsizetype i = 0; i < n; ++i) {
        const int length = controlAt(i);
        if (length == 0) {
            disguised += char(p[i]);
            continue;
        }
        const char32_t c = length == 1 ? p[i] : p[i + 1];
        const char32_t cp = DisguiseBase + c;
        disguised += char(0xE0 | (cp >> 12));
        disguised += char(0x80 | ((cp >> 6) & 0x3F));
        disguised += char(0x80 | (cp & 0x3F));
        i += length - 1;
    }
    return disguised;
}

void undisguiseControls(QChar *begin, QChar *end) {
    for (QChar *c = begin; c != end; ++c) {
        const char16_t u = c->unicode();
        if (u > DisguiseBase && u <= DisguiseBase + 0x9F && isDisguised(char16_t(u - DisguiseBase)))
            *c = QChar(char16_t(u - DisguiseBase));
    }
}

// The "display" of an inline style attribute, when it sets one ("" otherwise).
QString inlineDisplay(const QString &style) {
    static const QRegularExpression re(uR"((?:^|;)\s*display\s*:\s*([a-z-]+))"_s,
                                       QRegularExpression::CaseInsensitiveOption);
    const auto match = re.match(style);
    return match.hasMatch() ? match.captured(1).toLower() : QString();
}

// gumbo's allocator hooks.
// Nothing may unwind through the parser's C code, and it cannot go on without the block.
void *poolAllocate(void *pool, size_t size) noexcept {
    try {
        return static_cast<ParsePool *>(pool)->take(size);
    } catch (const std::bad_alloc &) {
        qFatal("Out of memory while parsing a page (a block of %zu bytes)", size);
    }
}
void poolDeallocate(void *pool, void *block) noexcept {
    static_cast<ParsePool *>(pool)->give(block);
}

// A relative reference that resolves against a base directory by appending it, and that
// QUrl would encode as it stands: no scheme, no leading "/", "." or "?", no dot segments,
// no fragment, nothing QUrl would percent-encode or decode.
bool isPlainRelative(QStringView ref) {
    if (ref.isEmpty() || ref.front() == u'/' || ref.front() == u'.' || ref.front() == u'?' ||
        ref.contains(u"/."))
        return false;
    return std::all_of(ref.begin(), ref.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
               u == u'-' || u == u'_' || u == u'.' || u == u'~' || u == u'/' || u == u'?' ||
               u == u'&' || u == u'=';
    });
}

// What plain relative references resolve against: the base address up to the last "/" of
// its path, as QUrl writes it. Empty where appending would not be what QUrl resolves to.
QString plainBaseDirectory(const QUrl &base) {
    const QString scheme = base.scheme();
    if (!base.isValid() || base.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        return {};
    const QString directory = QString::fromUtf8(
        base.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveFilename).toEncoded());
    const QStringView path = QStringView(directory).sliced(scheme.size() + 3);
    if (!directory.endsWith(u'/') || path.contains(u"/./") || path.contains(u"/../") ||
        path.contains(u"%2E", Qt::CaseInsensitive))
        return {};
    return directory;
}

} // namespace

// Builds our tree from gumbo's, deciding each element's default display on the way.
struct HtmlTreeBuilder {
    HtmlDocument &doc;
    bool disguised = false; // the page's controls crossed the parser disguised

    using Display = HtmlElement::Display;
    using Slice = HtmlDocument::Slice;

    // What every element of one name shares, worked out once per parse: a thread page
    // has a hundred thousand elements and a few dozen names.
    struct NameFacts {
        Display display = Display::Inline; // by the name alone
        bool html = true;
        bool atomicInline = false;
        bool preformatted = false;
        bool lineBreak = false;
        bool body = false;
        bool base = false;
        bool input = false;  // hidden by type=hidden
        bool dialog = false; // hidden without open
    };
    std::vector<NameFacts> nameFacts; // parallel to doc.m_names
    std::array<std::uint32_t, GUMBO_TAG_UNKNOWN> knownHtmlNames;
    QHash<QString, std::uint32_t> otherNames[2]; // [html]: by local name
    QHash<QByteArray, std::uint32_t> attributeNames;
    qsizetype textUsed = 0; // of doc.m_text, sized ahead

    ParsePool &pool; // gumbo's tree, given back node by node once copied

    explicit HtmlTreeBuilder(HtmlDocument &d, ParsePool &gumboPool, bool controlsDisguised,
                             qsizetype pageBytes)
        : doc(d)
        , disguised(controlsDisguised)
        , pool(gumboPool) {
        knownHtmlNames.fill(UINT32_MAX);
        // Decoded text never takes more UTF-16 units than its UTF-8 source has bytes; the
        // pages the parser itself copies (formatting elements reopened) grow it beyond.
        // Pages of it that are never written are never touched either.
        doc.m_text.resize(std::max<qsizetype>(pageBytes, 64));
    }

    // Appends text the parser wrote, always well-formed UTF-8, to the document's buffer:
    // a few hundred thousand short runs, decoded here without a call into a codec each.
    Slice text(const char *data, std::size_t length) {
        if (textUsed + qsizetype(length) > doc.m_text.size())
            doc.m_text.resize(std::max(textUsed + qsizetype(length), doc.m_text.size() * 2));
        QChar *const begin = doc.m_text.data() + textUsed;
        auto *out = reinterpret_cast<char16_t *>(begin);
        const auto *p = reinterpret_cast<const uchar *>(data);
        const uchar *const end = p + length;
        while (p < end) {
            const uchar lead = *p;
            if (lead < 0x80) {
                *out++ = lead;
                ++p;
                continue;
            }
            const int trailing = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
            if (trailing == 0 || end - p <= trailing) {
                *out++ = kReplacementCharacter; // not from the parser; never mind it
                ++p;
                continue;
            }
            char32_t c = lead & (0x3F >> trailing);
            for (int i = 1; i <= trailing; ++i)
                c = (c << 6) | (p[i] & 0x3F);
            p += trailing + 1;
            if (c >= 0x10000) {
                *out++ = QChar::highSurrogate(c);
                *out++ = QChar::lowSurrogate(c);
            } else {
                *out++ = char16_t(c);
            }
        }
        QChar *const last = reinterpret_cast<QChar *>(out);
        if (disguised)
            undisguiseControls(begin, last);
        const Slice slice{std::uint32_t(textUsed), std::uint32_t(last - begin)};
        textUsed += last - begin;
        return slice;
    }
    Slice text(const char *data) { return text(data, std::strlen(data)); }

    static Display defaultDisplay(QStringView n) {
        if (isOneOf(n, {u"area", u"base", u"basefont", u"datalist", u"head", u"link", u"meta",
                        u"noembed", u"noframes", u"param", u"rp", u"script", u"style", u"template",
                        u"title"}))
            return Display::None;
        if (n == u"p")
            return Display::Paragraph;
        if (n == u"tr")
            return Display::TableRow;
        if (n == u"td" || n == u"th")
            return Display::TableCell;
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
            return Display::Block;
        return Display::Inline;
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

    std::uint32_t addName(QString local, bool html, GumboTag tag) {
        NameFacts facts;
        facts.html = html;
        if (html) {
            facts.display = defaultDisplay(local);
            facts.atomicInline =
                isOneOf(local, {u"img", u"input", u"button", u"select", u"textarea", u"iframe",
                                u"video", u"audio", u"object", u"embed", u"canvas"});
            facts.preformatted =
                isOneOf(local, {u"pre", u"textarea", u"listing", u"plaintext", u"xmp"});
            facts.lineBreak = tag == GUMBO_TAG_BR;
            facts.body = local == u"body";
            facts.base = local == u"base";
            facts.input = local == u"input";
            facts.dialog = local == u"dialog";
        }
        facts.atomicInline = facts.atomicInline || tag == GUMBO_TAG_SVG;
        QString tagName = html ? local.toUpper() : local;
        doc.m_names.push_back({std::move(local), std::move(tagName)});
        nameFacts.push_back(facts);
        return std::uint32_t(doc.m_names.size() - 1);
    }

    std::uint32_t name(const GumboElement &g) {
        const bool html = g.tag_namespace == GUMBO_NAMESPACE_HTML;
        if (html && g.tag < GUMBO_TAG_UNKNOWN) {
            std::uint32_t &known = knownHtmlNames[g.tag];
            if (known == UINT32_MAX)
                known = addName(localName(g), true, g.tag);
            return known;
        }
        QString local = localName(g);
        auto &names = otherNames[html];
        auto it = names.constFind(local);
        if (it == names.constEnd())
            it = names.insert(local, addName(local, html, g.tag));
        return *it;
    }

    std::uint32_t attributeName(const char *name) {
        const QByteArray key = QByteArray::fromRawData(name, qsizetype(std::strlen(name)));
        auto it = attributeNames.constFind(key);
        if (it == attributeNames.constEnd()) {
            doc.m_attributeNames.push_back(fromUtf8(name));
            it = attributeNames.insert(QByteArray(name),
                                       std::uint32_t(doc.m_attributeNames.size() - 1));
        }
        return *it;
    }

    // The display an inline style or the hidden attribute gives, if any.
    static std::optional<Display> styledDisplay(const HtmlElement &e) {
        if (e.findAttribute(u"hidden"))
            return Display::None;
        const std::optional<QStringView> style = e.findAttribute(u"style");
        if (!style || style->isEmpty())
            return std::nullopt;
        const QString styled = inlineDisplay(style->toString());
        if (styled.isEmpty())
            return std::nullopt;
        if (styled == u"none")
            return Display::None;
        if (styled == u"table-row")
            return Display::TableRow;
        if (styled == u"table-cell")
            return Display::TableCell;
        if (isOneOf(styled, {u"block", u"list-item", u"table", u"flex", u"grid", u"flow-root",
                             u"table-caption"}))
            return Display::Block;
        return Display::Inline;
    }

    Display display(const HtmlElement &e, const NameFacts &facts, bool styled) {
        if (styled) {
            if (const std::optional<Display> d = styledDisplay(e))
                return *d;
        }
        if (facts.input && e.findAttribute(u"type")
                                   .value_or(QStringView())
                                   .compare(u"hidden", Qt::CaseInsensitive) == 0)
            return Display::None;
        if (facts.dialog && !e.findAttribute(u"open"))
            return Display::None;
        return facts.display;
    }

    // Browsers stop nesting elements at this depth and put deeper ones side by side under
    // the last element that may still have children; so do we, which also bounds every
    // recursive walk of the tree, whatever the page.
    static constexpr int MaxDepth = 512;

    HtmlElement &element(const GumboNode *node, const HtmlElement *parent, bool rendered,
                         int depth = 0) {
        HtmlElement &e = create(node, parent, rendered);
        if (depth + 2 >= MaxDepth) {
            flatten(node, e);
            return e;
        }
        const GumboVector &children = node->v.element.children;
        const std::uint32_t first = std::uint32_t(doc.m_children.size());
        doc.m_children.resize(first + children.length);
        std::uint32_t count = 0;
        for (unsigned i = 0; i < children.length; ++i) {
            const auto *child = static_cast<const GumboNode *>(children.data[i]);
            if (isElement(child)) {
                if (!inTemplate(node))
                    doc.m_children[first + count++] =
                        element(child, &e, e.m_rendered, depth + 1).m_index;
            } else if (isCharacterData(child)) {
                doc.m_children[first + count++] = characterData(child);
            }
        }
        // Template contents and other nodes leave slots unused at the end.
        if (doc.m_children.size() == first + children.length)
            doc.m_children.resize(first + count);
        e.m_firstChild = first;
        e.m_childCount = count;
        giveBack(node);
        return e;
    }

    // What gumbo allocated for this node itself, its children aside; as
    // gumbo_destroy_output would free it.
    void giveBack(const GumboNode *node) {
        if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
            const GumboElement &g = node->v.element;
            for (unsigned i = 0; i < g.attributes.length; ++i) {
                auto *a = static_cast<GumboAttribute *>(g.attributes.data[i]);
                pool.give(const_cast<char *>(a->name));
                pool.give(const_cast<char *>(a->value));
                pool.give(a);
            }
            pool.give(g.attributes.data);
            pool.give(g.children.data);
        } else {
            pool.give(const_cast<char *>(node->v.text.text));
        }
        pool.give(const_cast<GumboNode *>(node));
    }

    // Every element below `node` becomes a child of `ceiling`, in document order, and keeps
    // its own text; without recursion.
    void flatten(const GumboNode *node, HtmlElement &ceiling) {
        struct Open {
            const GumboNode *node;
            HtmlElement *element;
            unsigned next;
        };
        std::vector<std::uint32_t> ceilingChildren;
        std::vector<std::pair<HtmlElement *, const GumboNode *>> below;
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
                ceilingChildren.push_back(e.m_index);
                below.emplace_back(&e, child);
                stack.push_back({child, &e, 0});
            } else if (isCharacterData(child) && open.element == &ceiling) {
                ceilingChildren.push_back(characterData(child, false));
            }
        }
        setChildren(ceiling, ceilingChildren);
        // The text of each element below stays its own.
        for (const auto &[e, gumboNode] : below) {
            std::vector<std::uint32_t> own;
            const GumboVector &children = gumboNode->v.element.children;
            for (unsigned i = 0; i < children.length; ++i) {
                const auto *child = static_cast<const GumboNode *>(children.data[i]);
                if (isCharacterData(child))
                    own.push_back(characterData(child, false));
            }
            setChildren(*e, own);
        }
    }

    void setChildren(HtmlElement &e, const std::vector<std::uint32_t> &children) {
        e.m_firstChild = std::uint32_t(doc.m_children.size());
        e.m_childCount = std::uint32_t(children.size());
        doc.m_children.insert(doc.m_children.end(), children.begin(), children.end());
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

    HtmlElement &newElement() {
        if (doc.m_lastBlockUsed == HtmlDocument::ElementBlock) {
            doc.m_elementBlocks.push_back(
                std::make_unique<HtmlElement[]>(HtmlDocument::ElementBlock));
            doc.m_lastBlockUsed = 0;
        }
        HtmlElement &e = doc.m_elementBlocks.back()[doc.m_lastBlockUsed++];
        e.m_index = std::uint32_t(doc.m_all.size());
        doc.m_all.push_back(&e);
        return e;
    }

    // One element with its names, attributes and rendering facts, without its children.
    HtmlElement &create(const GumboNode *node, const HtmlElement *parent, bool rendered) {
        const GumboElement &g = node->v.element;
        HtmlElement &e = newElement();
        e.m_document = &doc;
        e.m_parent = parent;
        e.m_name = name(g);
        const NameFacts &facts = nameFacts[e.m_name];
        e.m_html = facts.html;

        e.m_firstAttribute = std::uint32_t(doc.m_attributes.size());
        e.m_attributeCount = g.attributes.length;
        bool styled = false;
        for (unsigned i = 0; i < g.attributes.length; ++i) {
            const auto *a = static_cast<const GumboAttribute *>(g.attributes.data[i]);
            styled =
                styled || std::strcmp(a->name, "style") == 0 || std::strcmp(a->name, "hidden") == 0;
            doc.m_attributes.push_back({attributeName(a->name), text(a->value)});
        }
        e.m_display = display(e, facts, styled);
        e.m_lineBreak = facts.lineBreak;
        e.m_atomicInline = facts.atomicInline;
        e.m_rendered = rendered && e.m_display != Display::None;
        e.m_preformatted = (parent && parent->m_preformatted) || facts.preformatted;
        if (!doc.m_body && facts.body)
            doc.m_body = &e;
        return e;
    }

    std::uint32_t characterData(const GumboNode *node, bool copied = true) {
        HtmlDocument::CharacterData data;
        data.text = text(node->v.text.text);
        data.comment = node->type == GUMBO_NODE_COMMENT;
        doc.m_data.push_back(data);
        if (copied)
            giveBack(node);
        return std::uint32_t(doc.m_data.size() - 1) | HtmlDocument::CharacterDataBit;
    }
};

// CSS white-space processing over the whole document, so that each text node knows which
// of its spaces survive in its line. Leading and trailing spaces of an element depend on
// what stands around it: "<a> x.rar</a>" at the start of a block loses its blank,
// "<a>x.rar </a>more" keeps it.
struct WhiteSpaceLayout {
    HtmlDocument &doc;
    bool atLineStart = true;
    std::int64_t pendingSpace = -1; // the node owing a space to its line, if any

    void lineBreak() {
        pendingSpace = -1;
        atLineStart = true;
    }

    void content() {
        if (pendingSpace >= 0)
            doc.m_data[std::size_t(pendingSpace)].spaceAfter = true;
        pendingSpace = -1;
        atLineStart = false;
    }

    void text(std::uint32_t index, bool preformatted) {
        auto &data = doc.m_data[index];
        if (data.comment || data.text.length == 0)
            return;
        const QStringView text = doc.text(data.text);
        if (preformatted) {
            content();
            data.rendered = data.text;
            data.renderedInText = true;
            atLineStart = text.endsWith(u'\n');
            return;
        }
        // Most text runs come out as they went in: share the parsed text then.
        if (std::none_of(text.begin(), text.end(), isCollapsibleSpace)) {
            content();
            data.rendered = data.text;
            data.renderedInText = true;
            return;
        }
        const qsizetype start = doc.m_rendered.size();
        doc.m_rendered.resize(start + text.size());
        QChar *const begin = doc.m_rendered.data() + start;
        QChar *dst = begin;
        for (const QChar c : text) {
            if (isCollapsibleSpace(c)) {
                if (!atLineStart && pendingSpace < 0)
                    pendingSpace = index;
                continue;
            }
            if (pendingSpace == index)
                *dst++ = u' ';
            else if (pendingSpace >= 0)
                doc.m_data[std::size_t(pendingSpace)].spaceAfter = true;
            pendingSpace = -1;
            *dst++ = c;
            atLineStart = false;
        }
        data.rendered = {std::uint32_t(start), std::uint32_t(dst - begin)};
        doc.m_rendered.resize(start + (dst - begin));
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
        for (const std::uint32_t child : doc.children(e)) {
            if (HtmlDocument::isCharacterData(child))
                text(HtmlDocument::dataIndex(child), e.m_preformatted);
            else
                walk(*doc.m_all[child]);
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

    void append(QStringView text, bool spaceAfter = false) {
        if (text.isEmpty() && !spaceAfter)
            return;
        if (!out.isEmpty() && requiredBreaks > 0)
            out += QString(requiredBreaks, u'\n');
        requiredBreaks = 0;
        out += text;
        if (spaceAfter)
            out += u' ';
    }

    // Every text below `e`, rendered or not, comments left out.
    void textContent(const HtmlElement &e, QString &text) const {
        for (const std::uint32_t child : doc.children(e)) {
            if (!HtmlDocument::isCharacterData(child)) {
                textContent(*doc.m_all[child], text);
                continue;
            }
            const auto &data = doc.m_data[HtmlDocument::dataIndex(child)];
            if (!data.comment)
                text += doc.text(data.text);
        }
    }

    void requireBreaks(int count) { requiredBreaks = std::max(requiredBreaks, count); }

    bool followedBy(const HtmlElement &e, HtmlElement::Display display) const {
        if (!e.m_parent)
            return false;
        const std::span<const std::uint32_t> siblings = doc.children(*e.m_parent);
        const auto it = std::find(siblings.begin(), siblings.end(), e.m_index);
        return std::any_of(it == siblings.end() ? it : std::next(it), siblings.end(),
                           [&](std::uint32_t child) {
                               if (HtmlDocument::isCharacterData(child))
                                   return false;
                               const HtmlElement *sibling = doc.m_all[child];
                               return sibling->m_rendered && sibling->m_display == display;
                           });
    }

    void children(const HtmlElement &e) {
        for (const std::uint32_t child : doc.children(e)) {
            if (HtmlDocument::isCharacterData(child)) {
                const auto &data = doc.m_data[HtmlDocument::dataIndex(child)];
                append(doc.rendered(data), data.spaceAfter);
            } else {
                collect(*doc.m_all[child]);
            }
        }
    }

    void collect(const HtmlElement &e) {
        if (!e.m_rendered)
            return;
        using D = HtmlElement::Display;
        const int breaks = e.m_display == D::Paragraph ? 2 : e.m_display == D::Block ? 1 : 0;
        requireBreaks(breaks);
        if (e.m_lineBreak)
            append(u"\n");
        children(e);
        if (e.m_display == D::TableCell && followedBy(e, D::TableCell))
            append(u"\t");
        if (e.m_display == D::TableRow && followedBy(e, D::TableRow))
            append(u"\n");
        requireBreaks(breaks);
    }
};

// The HTML fragment serialisation algorithm.
struct Serializer {
    const HtmlDocument &doc;
    QString out;

    static bool isVoid(const HtmlElement &e) {
        return e.m_html &&
               isOneOf(e.localName(), {u"area", u"base", u"basefont", u"bgsound", u"br", u"col",
                                       u"embed", u"frame", u"hr", u"img", u"input", u"keygen",
                                       u"link", u"meta", u"param", u"source", u"track", u"wbr"});
    }

    static bool isRawText(const HtmlElement &e) {
        return e.m_html && isOneOf(e.localName(), {u"style", u"script", u"xmp", u"iframe",
                                                   u"noembed", u"noframes", u"plaintext"});
    }

    void escape(QStringView text, bool attribute) {
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
        for (const std::uint32_t child : doc.children(e)) {
            if (!HtmlDocument::isCharacterData(child)) {
                element(*doc.m_all[child]);
                continue;
            }
            const auto &data = doc.m_data[HtmlDocument::dataIndex(child)];
            const QStringView text = doc.text(data.text);
            if (data.comment) {
                out += u"<!--";
                out += text;
                out += u"-->";
            } else if (isRawText(e)) {
                out += text;
            } else {
                escape(text, false);
            }
        }
    }

    void element(const HtmlElement &e) {
        out += u'<';
        out += e.localName();
        for (std::uint32_t i = 0; i < e.m_attributeCount; ++i) {
            const auto &attribute = doc.m_attributes[e.m_firstAttribute + i];
            out += u' ';
            out += doc.m_attributeNames[attribute.name];
            out += u"=\"";
            escape(doc.text(attribute.value), true);
            out += u'"';
        }
        out += u'>';
        if (isVoid(e))
            return;
        children(e);
        out += u"</";
        out += e.localName();
        out += u'>';
    }
};

const QString &HtmlElement::tagName() const {
    return m_document->m_names[m_name].tagName;
}

const QString &HtmlElement::localName() const {
    return m_document->m_names[m_name].localName;
}

QString HtmlElement::innerText() const {
    if (!m_rendered) {
        // Not being rendered: the descendants' text content, as browsers return it.
        QString text;
        TextCollector{*m_document, {}, 0}.textContent(*this, text);
        return text;
    }
    TextCollector collector{*m_document, {}, 0};
    collector.children(*this);
    return collector.out;
}

QString HtmlElement::href() const {
    const std::optional<QStringView> attribute = findAttribute(u"href");
    if (!attribute)
        return {};
    QString value = attribute->trimmed().toString();
    value.remove(u'\t');
    value.remove(u'\n');
    value.remove(u'\r');
    if (value.isEmpty())
        return QString::fromUtf8(m_document->baseUrl().adjusted(QUrl::RemoveFragment).toEncoded());
    // A forum's links are mostly "attachment.php?aid=1" beside the thread: resolving those
    // is joining two strings, where going through QUrl costs a microsecond each.
    if (!m_document->m_baseDirectory.isEmpty() && isPlainRelative(value))
        return m_document->m_baseDirectory + value;
    const QUrl relative(value);
    if (!relative.isValid())
        return attribute->toString();
    const QUrl resolved = m_document->baseUrl().resolved(relative);
    if (!resolved.isValid() || resolved.isEmpty())
        return attribute->toString();
    return QString::fromUtf8(resolved.toEncoded());
}

QString HtmlElement::innerhtml() const {
    Serializer serializer{*m_document, {}};
    serializer.children(*this);
    return serializer.out;
}

std::optional<QStringView> HtmlElement::findAttribute(QStringView name) const {
    const HtmlDocument &doc = *m_document;
    for (std::uint32_t i = 0; i < m_attributeCount; ++i) {
        const auto &attribute = doc.m_attributes[m_firstAttribute + i];
        if (doc.m_attributeNames[attribute.name] == name)
            return doc.text(attribute.value);
    }
    return std::nullopt;
}

QString HtmlElement::attribute(QStringView name) const {
    return findAttribute(name).value_or(QStringView()).toString();
}

bool HtmlElement::hasAttribute(QStringView name) const {
    return findAttribute(name).has_value();
}

HtmlDocument::~HtmlDocument() = default;

std::shared_ptr<const HtmlDocument> HtmlDocument::empty(const QUrl &address) {
    std::shared_ptr<HtmlDocument> doc(new HtmlDocument);
    doc->m_url = address;
    doc->m_baseUrl = address;
    return doc;
}

std::shared_ptr<const HtmlDocument> HtmlDocument::parse(QStringView html, const QUrl &address) {
    return parseUtf8(html.toUtf8(), address);
}

std::shared_ptr<const HtmlDocument> HtmlDocument::parseUtf8(QByteArrayView page,
                                                            const QUrl &address) {
    std::shared_ptr<HtmlDocument> doc(new HtmlDocument);
    doc->m_url = address;
    doc->m_baseUrl = address;

    const QByteArray disguised = disguiseControls(page);
    const QByteArrayView utf8 = disguised.isNull() ? page : QByteArrayView(disguised);
    {
        ParsePool pool;
        GumboOptions options = kGumboDefaultOptions;
        options.max_errors = 0; // we never look at parse errors; recording them costs time
        options.allocator = &poolAllocate;
        options.deallocator = &poolDeallocate;
        options.userdata = &pool;
        GumboOutput *output =
            gumbo_parse_with_options(&options, utf8.data(), static_cast<size_t>(utf8.size()));

        pool.drain();
        HtmlTreeBuilder builder(*doc, pool, !disguised.isNull(), utf8.size());
        const GumboVector &top = output->document->v.document.children;
        for (unsigned i = 0; i < top.length; ++i) {
            const auto *node = static_cast<const GumboNode *>(top.data[i]);
            if (node->type == GUMBO_NODE_ELEMENT)
                doc->m_roots.push_back(&builder.element(node, nullptr, true));
        }
        // The first <base href> in tree order sets the address links resolve against.
        for (const HtmlElement *e : doc->m_all) {
            if (builder.nameFacts[e->m_name].base && e->hasAttribute(u"href")) {
                const QUrl base =
                    address.resolved(QUrl(e->findAttribute(u"href")->trimmed().toString()));
                if (base.isValid())
                    doc->m_baseUrl = base;
                break;
            }
        }
        // gumbo's tree goes with the pool; gumbo_destroy_output would only walk it.
        (void)output;
        doc->m_text.truncate(builder.textUsed);
        // Sized for the whole page, more than its text: what a document kept for long may
        // not hold on to.
        doc->m_text.squeeze();
    }

    doc->m_rendered.reserve(doc->m_text.size());
    doc->m_baseDirectory = plainBaseDirectory(doc->m_baseUrl);
    WhiteSpaceLayout layout{*doc};
    for (const HtmlElement *root : doc->m_roots)
        layout.walk(*root);
    return doc;
}

} // namespace quillmere
