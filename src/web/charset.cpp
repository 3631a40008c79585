#include "web/charset.h"

#include "net/ascii.h"
#include "net/request_rules.h"
#include "text/code_page.h"

#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace quillmere {
namespace {

// Every encoding a label can name. The order matches kEncodings below.
enum class E : std::uint8_t {
    Utf8,
    Ibm866,
    Iso8859_2,
    Iso8859_3,
    Iso8859_4,
    Iso8859_5,
    Iso8859_6,
    Iso8859_7,
    Iso8859_8,
    Iso8859_8I,
    Iso8859_10,
    Iso8859_13,
    Iso8859_14,
    Iso8859_15,
    Iso8859_16,
    Koi8R,
    Koi8U,
    Macintosh,
    Windows874,
    Windows1250,
    Windows1251,
    Windows1252,
    Windows1253,
    Windows1254,
    Windows1255,
    Windows1256,
    Windows1257,
    Windows1258,
    XMacCyrillic,
    Gbk,
    Gb18030,
    Big5,
    EucJp,
    Iso2022Jp,
    ShiftJis,
    EucKr,
    Utf16BE,
    Utf16LE,
    XUserDefined,
};

enum class Engine : std::uint8_t {
    Utf8,
    Utf16LE,
    Utf16BE,
    UserDefined,
    SingleByte, // upper half read once per page from an ICU converter, lower half is ASCII
    MultiByte,  // streamed through an ICU converter
};

struct EncodingSpec {
    const char *name;
    Engine engine;
    // ICU converters to try, best match for the browsers' tables first.
    std::array<const char *, 2> converters{};
    // ICU writes U+001A instead of U+FFFD for some invalid bytes of these encodings, and its
    // Shift_JIS also swaps the 0x1A/0x1C/0x7F controls; see decodeWithControlQuirks().
    bool controlQuirks = false;
};

constexpr EncodingSpec kEncodings[] = {
    {"UTF-8", Engine::Utf8},
    {"IBM866", Engine::SingleByte, {"IBM866"}},
    {"ISO-8859-2", Engine::SingleByte, {"ISO-8859-2"}},
    {"ISO-8859-3", Engine::SingleByte, {"ISO-8859-3"}},
    {"ISO-8859-4", Engine::SingleByte, {"ISO-8859-4"}},
    {"ISO-8859-5", Engine::SingleByte, {"ISO-8859-5"}},
    {"ISO-8859-6", Engine::SingleByte, {"ISO-8859-6"}},
    {"ISO-8859-7", Engine::SingleByte, {"ISO-8859-7"}},
    {"ISO-8859-8", Engine::SingleByte, {"ISO-8859-8"}},
    // Logical and visual Hebrew share one table; only the display order differs.
    {"ISO-8859-8-I", Engine::SingleByte, {"ISO-8859-8"}},
    {"ISO-8859-10", Engine::SingleByte, {"ISO-8859-10"}},
    {"ISO-8859-13", Engine::SingleByte, {"ISO-8859-13"}},
    {"ISO-8859-14", Engine::SingleByte, {"ISO-8859-14"}},
    {"ISO-8859-15", Engine::SingleByte, {"ISO-8859-15"}},
    {"ISO-8859-16", Engine::SingleByte, {"ISO-8859-16"}},
    {"KOI8-R", Engine::SingleByte, {"KOI8-R"}},
    {"KOI8-U", Engine::SingleByte, {"KOI8-U"}},
    {"macintosh", Engine::SingleByte, {"macintosh"}},
    {"windows-874", Engine::SingleByte, {"windows-874", "TIS-620"}},
    {"windows-1250", Engine::SingleByte, {"windows-1250"}},
    {"windows-1251", Engine::SingleByte, {"windows-1251"}},
    {"windows-1252", Engine::SingleByte, {"windows-1252"}},
    {"windows-1253", Engine::SingleByte, {"windows-1253"}},
    {"windows-1254", Engine::SingleByte, {"windows-1254"}},
    {"windows-1255", Engine::SingleByte, {"windows-1255"}},
    {"windows-1256", Engine::SingleByte, {"windows-1256"}},
    {"windows-1257", Engine::SingleByte, {"windows-1257"}},
    {"windows-1258", Engine::SingleByte, {"windows-1258"}},
    {"x-mac-cyrillic", Engine::SingleByte, {"x-mac-cyrillic"}},
    // Browsers decode GBK with the GB18030 decoder, which reads every GBK byte sequence the same.
    {"GBK", Engine::MultiByte, {"GB18030"}},
    {"gb18030", Engine::MultiByte, {"GB18030"}},
    // The web's Big5 includes the Hong Kong supplement.
    {"Big5", Engine::MultiByte, {"Big5-HKSCS", "Big5"}},
    {"EUC-JP", Engine::MultiByte, {"EUC-JP"}, true},
    {"ISO-2022-JP", Engine::MultiByte, {"ISO-2022-JP"}},
    // The web's Shift_JIS is Microsoft's variant, and its EUC-KR is Microsoft's superset.
    {"Shift_JIS", Engine::MultiByte, {"windows-31j", "Shift_JIS"}, true},
    {"EUC-KR", Engine::MultiByte, {"windows-949", "EUC-KR"}, true},
    {"UTF-16BE", Engine::Utf16BE},
    {"UTF-16LE", Engine::Utf16LE},
    {"x-user-defined", Engine::UserDefined},
};
static_assert(std::size(kEncodings) == std::size_t(E::XUserDefined) + 1);

const EncodingSpec &specFor(E encoding) {
    return kEncodings[std::size_t(encoding)];
}

struct Label {
    std::string_view label;
    E encoding;
};

// The labels of the WHATWG Encoding Standard, sorted for binary search. The "replacement"
// labels (iso-2022-kr, hz-gb-2312, ...) are left out on purpose: a page declaring one of them
// is better served by the next rule than by a page made of a single U+FFFD.
constexpr Label kLabels[] = {
    {"866", E::Ibm866},
    {"ansi_x3.4-1968", E::Windows1252},
    {"arabic", E::Iso8859_6},
    {"ascii", E::Windows1252},
    {"asmo-708", E::Iso8859_6},
    {"big5", E::Big5},
    {"big5-hkscs", E::Big5},
    {"chinese", E::Gbk},
    {"cn-big5", E::Big5},
    {"cp1250", E::Windows1250},
    {"cp1251", E::Windows1251},
    {"cp1252", E::Windows1252},
    {"cp1253", E::Windows1253},
    {"cp1254", E::Windows1254},
    {"cp1255", E::Windows1255},
    {"cp1256", E::Windows1256},
    {"cp1257", E::Windows1257},
    {"cp1258", E::Windows1258},
    {"cp819", E::Windows1252},
    {"cp866", E::Ibm866},
    {"csbig5", E::Big5},
    {"cseuckr", E::EucKr},
    {"cseucpkdfmtjapanese", E::EucJp},
    {"csgb2312", E::Gbk},
    {"csibm866", E::Ibm866},
    {"csiso2022jp", E::Iso2022Jp},
    {"csiso58gb231280", E::Gbk},
    {"csiso88596e", E::Iso8859_6},
    {"csiso88596i", E::Iso8859_6},
    {"csiso88598e", E::Iso8859_8},
    {"csiso88598i", E::Iso8859_8I},
    {"csisolatin1", E::Windows1252},
    {"csisolatin2", E::Iso8859_2},
    {"csisolatin3", E::Iso8859_3},
    {"csisolatin4", E::Iso8859_4},
    {"csisolatin5", E::Windows1254},
    {"csisolatin6", E::Iso8859_10},
    {"csisolatin9", E::Iso8859_15},
    {"csisolatinarabic", E::Iso8859_6},
    {"csisolatincyrillic", E::Iso8859_5},
    {"csisolatingreek", E::Iso8859_7},
    {"csisolatinhebrew", E::Iso8859_8},
    {"cskoi8r", E::Koi8R},
    {"csksc56011987", E::EucKr},
    {"csmacintosh", E::Macintosh},
    {"csshiftjis", E::ShiftJis},
    {"csunicode", E::Utf16LE},
    {"cyrillic", E::Iso8859_5},
    {"dos-874", E::Windows874},
    {"ecma-114", E::Iso8859_6},
    {"ecma-118", E::Iso8859_7},
    {"elot_928", E::Iso8859_7},
    {"euc-jp", E::EucJp},
    {"euc-kr", E::EucKr},
    {"gb18030", E::Gb18030},
    {"gb2312", E::Gbk},
    {"gb_2312", E::Gbk},
    {"gb_2312-80", E::Gbk},
    {"gbk", E::Gbk},
    {"greek", E::Iso8859_7},
    {"greek8", E::Iso8859_7},
    {"hebrew", E::Iso8859_8},
    {"ibm819", E::Windows1252},
    {"ibm866", E::Ibm866},
    {"iso-10646-ucs-2", E::Utf16LE},
    {"iso-2022-jp", E::Iso2022Jp},
    {"iso-8859-1", E::Windows1252},
    {"iso-8859-10", E::Iso8859_10},
    {"iso-8859-11", E::Windows874},
    {"iso-8859-13", E::Iso8859_13},
    {"iso-8859-14", E::Iso8859_14},
    {"iso-8859-15", E::Iso8859_15},
    {"iso-8859-16", E::Iso8859_16},
    {"iso-8859-2", E::Iso8859_2},
    {"iso-8859-3", E::Iso8859_3},
    {"iso-8859-4", E::Iso8859_4},
    {"iso-8859-5", E::Iso8859_5},
    {"iso-8859-6", E::Iso8859_6},
    {"iso-8859-6-e", E::Iso8859_6},
    {"iso-8859-6-i", E::Iso8859_6},
    {"iso-8859-7", E::Iso8859_7},
    {"iso-8859-8", E::Iso8859_8},
    {"iso-8859-8-e", E::Iso8859_8},
    {"iso-8859-8-i", E::Iso8859_8I},
    {"iso-8859-9", E::Windows1254},
    {"iso-ir-100", E::Windows1252},
    {"iso-ir-101", E::Iso8859_2},
    {"iso-ir-109", E::Iso8859_3},
    {"iso-ir-110", E::Iso8859_4},
    {"iso-ir-126", E::Iso8859_7},
    {"iso-ir-127", E::Iso8859_6},
    {"iso-ir-138", E::Iso8859_8},
    {"iso-ir-144", E::Iso8859_5},
    {"iso-ir-148", E::Windows1254},
    {"iso-ir-149", E::EucKr},
    {"iso-ir-157", E::Iso8859_10},
    {"iso-ir-58", E::Gbk},
    {"iso8859-1", E::Windows1252},
    {"iso8859-10", E::Iso8859_10},
    {"iso8859-11", E::Windows874},
    {"iso8859-13", E::Iso8859_13},
    {"iso8859-14", E::Iso8859_14},
    {"iso8859-15", E::Iso8859_15},
    {"iso8859-2", E::Iso8859_2},
    {"iso8859-3", E::Iso8859_3},
    {"iso8859-4", E::Iso8859_4},
    {"iso8859-5", E::Iso8859_5},
    {"iso8859-6", E::Iso8859_6},
    {"iso8859-7", E::Iso8859_7},
    {"iso8859-8", E::Iso8859_8},
    {"iso8859-9", E::Windows1254},
    {"iso88591", E::Windows1252},
    {"iso885910", E::Iso8859_10},
    {"iso885911", E::Windows874},
    {"iso885913", E::Iso8859_13},
    {"iso885914", E::Iso8859_14},
    {"iso885915", E::Iso8859_15},
    {"iso88592", E::Iso8859_2},
    {"iso88593", E::Iso8859_3},
    {"iso88594", E::Iso8859_4},
    {"iso88595", E::Iso8859_5},
    {"iso88596", E::Iso8859_6},
    {"iso88597", E::Iso8859_7},
    {"iso88598", E::Iso8859_8},
    {"iso88599", E::Windows1254},
    {"iso_8859-1", E::Windows1252},
    {"iso_8859-15", E::Iso8859_15},
    {"iso_8859-1:1987", E::Windows1252},
    {"iso_8859-2", E::Iso8859_2},
    {"iso_8859-2:1987", E::Iso8859_2},
    {"iso_8859-3", E::Iso8859_3},
    {"iso_8859-3:1988", E::Iso8859_3},
    {"iso_8859-4", E::Iso8859_4},
    {"iso_8859-4:1988", E::Iso8859_4},
    {"iso_8859-5", E::Iso8859_5},
    {"iso_8859-5:1988", E::Iso8859_5},
    {"iso_8859-6", E::Iso8859_6},
    {"iso_8859-6:1987", E::Iso8859_6},
    {"iso_8859-7", E::Iso8859_7},
    {"iso_8859-7:1987", E::Iso8859_7},
    {"iso_8859-8", E::Iso8859_8},
    {"iso_8859-8:1988", E::Iso8859_8},
    {"iso_8859-9", E::Windows1254},
    {"iso_8859-9:1989", E::Windows1254},
    {"koi", E::Koi8R},
    {"koi8", E::Koi8R},
    {"koi8-r", E::Koi8R},
    {"koi8-ru", E::Koi8U},
    {"koi8-u", E::Koi8U},
    {"koi8_r", E::Koi8R},
    {"korean", E::EucKr},
    {"ks_c_5601-1987", E::EucKr},
    {"ks_c_5601-1989", E::EucKr},
    {"ksc5601", E::EucKr},
    {"ksc_5601", E::EucKr},
    {"l1", E::Windows1252},
    {"l2", E::Iso8859_2},
    {"l3", E::Iso8859_3},
    {"l4", E::Iso8859_4},
    {"l5", E::Windows1254},
    {"l6", E::Iso8859_10},
    {"l9", E::Iso8859_15},
    {"latin1", E::Windows1252},
    {"latin2", E::Iso8859_2},
    {"latin3", E::Iso8859_3},
    {"latin4", E::Iso8859_4},
    {"latin5", E::Windows1254},
    {"latin6", E::Iso8859_10},
    {"logical", E::Iso8859_8I},
    {"mac", E::Macintosh},
    {"macintosh", E::Macintosh},
    {"ms932", E::ShiftJis},
    {"ms_kanji", E::ShiftJis},
    {"shift-jis", E::ShiftJis},
    {"shift_jis", E::ShiftJis},
    {"sjis", E::ShiftJis},
    {"sun_eu_greek", E::Iso8859_7},
    {"tis-620", E::Windows874},
    {"ucs-2", E::Utf16LE},
    {"unicode", E::Utf16LE},
    {"unicode-1-1-utf-8", E::Utf8},
    {"unicode11utf8", E::Utf8},
    {"unicode20utf8", E::Utf8},
    {"unicodefeff", E::Utf16LE},
    {"unicodefffe", E::Utf16BE},
    {"us-ascii", E::Windows1252},
    {"utf-16", E::Utf16LE},
    {"utf-16be", E::Utf16BE},
    {"utf-16le", E::Utf16LE},
    {"utf-8", E::Utf8},
    {"utf8", E::Utf8},
    {"visual", E::Iso8859_8},
    {"windows-1250", E::Windows1250},
    {"windows-1251", E::Windows1251},
    {"windows-1252", E::Windows1252},
    {"windows-1253", E::Windows1253},
    {"windows-1254", E::Windows1254},
    {"windows-1255", E::Windows1255},
    {"windows-1256", E::Windows1256},
    {"windows-1257", E::Windows1257},
    {"windows-1258", E::Windows1258},
    {"windows-31j", E::ShiftJis},
    {"windows-874", E::Windows874},
    {"windows-949", E::EucKr},
    {"x-cp1250", E::Windows1250},
    {"x-cp1251", E::Windows1251},
    {"x-cp1252", E::Windows1252},
    {"x-cp1253", E::Windows1253},
    {"x-cp1254", E::Windows1254},
    {"x-cp1255", E::Windows1255},
    {"x-cp1256", E::Windows1256},
    {"x-cp1257", E::Windows1257},
    {"x-cp1258", E::Windows1258},
    {"x-euc-jp", E::EucJp},
    {"x-gbk", E::Gbk},
    {"x-mac-cyrillic", E::XMacCyrillic},
    {"x-mac-roman", E::Macintosh},
    {"x-mac-ukrainian", E::XMacCyrillic},
    {"x-sjis", E::ShiftJis},
    {"x-unicode20utf8", E::Utf8},
    {"x-user-defined", E::XUserDefined},
    {"x-x-big5", E::Big5},
};
static_assert(std::ranges::is_sorted(kLabels, {}, &Label::label));

constexpr std::size_t kLongestLabel = 19; // "cseucpkdfmtjapanese"
static_assert(std::ranges::all_of(kLabels, [](const Label &entry) {
    return entry.label.size() <= kLongestLabel;
}));

constexpr qsizetype kPrescanWindow = 1024;
constexpr char16_t kReplacement = 0xFFFD;

std::optional<E> lookupLabel(QByteArrayView label) {
    label = ascii::trimmed(label, ascii::isWhitespace);
    if (label.isEmpty() || std::size_t(label.size()) > kLongestLabel)
        return std::nullopt;
    std::array<char, kLongestLabel> lowered{};
    std::transform(label.begin(), label.end(), lowered.begin(), ascii::toLower);
    const std::string_view key(lowered.data(), std::size_t(label.size()));
    const auto *found = std::ranges::lower_bound(kLabels, key, {}, &Label::label);
    if (found == std::end(kLabels) || found->label != key)
        return std::nullopt;
    return found->encoding;
}

// ---- Prescan -----------------------------------------------------------------------------------
// What a browser finds in the first 1024 bytes before it starts parsing: a <meta> declaration
// outside comments and attribute values, else an XML declaration. Running out of bytes anywhere
// ends the scan; a declaration cut off by the window does not count.

std::optional<E> encodingFromMetaContent(QByteArrayView s) {
    qsizetype pos = 0;
    while (true) {
        qsizetype found = pos;
        while (found + 7 <= s.size() && s.sliced(found, 7).compare("charset", Qt::CaseInsensitive))
            ++found;
        if (found + 7 > s.size())
            return std::nullopt;
        pos = found + 7;
        while (pos < s.size() && ascii::isWhitespace(s[pos]))
            ++pos;
        if (pos >= s.size() || s[pos] != '=')
            continue;
        ++pos;
        while (pos < s.size() && ascii::isWhitespace(s[pos]))
            ++pos;
        if (pos >= s.size())
            return std::nullopt;
        const char first = s[pos];
        if (first == '"' || first == '\'') {
            const qsizetype close = s.indexOf(first, pos + 1);
            if (close < 0)
                return std::nullopt;
            return lookupLabel(s.sliced(pos + 1, close - pos - 1));
        }
        qsizetype end = pos;
        while (end < s.size() && !ascii::isWhitespace(s[end]) && s[end] != ';')
            ++end;
        return lookupLabel(s.sliced(pos, end - pos));
    }
}

std::optional<E> xmlDeclaredEncoding(QByteArrayView s) {
    if (!s.startsWith("<?xml") || !s.contains('>'))
        return std::nullopt;
    qsizetype pos = s.indexOf("encoding");
    if (pos < 0)
        return std::nullopt;
    pos += 8;
    const auto skipControlsAndSpaces = [&] {
        while (pos < s.size() && uchar(s[pos]) <= 0x20)
            ++pos;
    };
    skipControlsAndSpaces();
    if (pos >= s.size() || s[pos] != '=')
        return std::nullopt;
    ++pos;
    skipControlsAndSpaces();
    if (pos >= s.size() || (s[pos] != '"' && s[pos] != '\''))
        return std::nullopt;
    const qsizetype close = s.indexOf(s[pos], pos + 1);
    if (close < 0)
        return std::nullopt;
    const QByteArrayView label = s.sliced(pos + 1, close - pos - 1);
    if (std::any_of(label.begin(), label.end(), [](char c) { return uchar(c) <= 0x20; }))
        return std::nullopt;
    const std::optional<E> encoding = lookupLabel(label);
    if (encoding == E::Utf16BE || encoding == E::Utf16LE)
        return E::Utf8;
    return encoding;
}

class Prescanner {
public:
    explicit Prescanner(QByteArrayView window)
        : m_bytes(window) {}

    std::optional<E> run();

private:
    enum class Sniffed { Attribute, NoAttribute, OutOfBytes };
    enum class Meta { Declared, NotDeclared, OutOfBytes };

    bool atEnd() const { return m_pos >= m_bytes.size(); }
    char byte() const { return m_bytes[m_pos]; }
    Sniffed getAttribute();
    Sniffed getAttributeValue();
    Meta readMeta(E &declared);
    bool skipTag();

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
    QByteArray m_name;
    QByteArray m_value;
};

std::optional<E> Prescanner::run() {
    // A UTF-16 page without a byte order mark still starts its XML declaration readably.
    if (m_bytes.startsWith(QByteArrayView("<\0?\0x\0", 6)))
        return E::Utf16LE;
    if (m_bytes.startsWith(QByteArrayView("\0<\0?\0x", 6)))
        return E::Utf16BE;

    for (; !atEnd(); ++m_pos) {
        const QByteArrayView rest = m_bytes.sliced(m_pos);
        if (rest.startsWith("<!--")) {
            // "<!-->" already closes the comment: its dashes may be the opening ones.
            const qsizetype close = rest.indexOf("-->", 2);
            if (close < 0)
                break;
            m_pos += close + 2;
        } else if (rest.size() >= 6 && rest.first(5).compare("<meta", Qt::CaseInsensitive) == 0 &&
                   (ascii::isWhitespace(rest[5]) || rest[5] == '/')) {
            m_pos += 5;
            E declared{};
            const Meta meta = readMeta(declared);
            if (meta == Meta::Declared)
                return declared;
            if (meta == Meta::OutOfBytes)
                break;
        } else if (rest.size() >= 2 && rest[0] == '<' &&
                   (ascii::isAlpha(rest[1]) ||
                    (rest.size() >= 3 && rest[1] == '/' && ascii::isAlpha(rest[2])))) {
            // Other tags are read attribute by attribute so that "<meta" inside a value is text.
            if (!skipTag())
                break;
        } else if (rest.size() >= 2 && rest[0] == '<' &&
                   (rest[1] == '!' || rest[1] == '/' || rest[1] == '?')) {
            const qsizetype close = m_bytes.indexOf('>', m_pos + 1);
            if (close < 0)
                break;
            m_pos = close;
        }
    }
    return xmlDeclaredEncoding(m_bytes);
}

bool Prescanner::skipTag() {
    while (!atEnd() && !ascii::isWhitespace(byte()) && byte() != '>')
        ++m_pos;
    if (atEnd())
        return false;
    while (true) {
        const Sniffed sniffed = getAttribute();
        if (sniffed != Sniffed::Attribute)
            return sniffed == Sniffed::NoAttribute;
    }
}

Prescanner::Meta Prescanner::readMeta(E &declared) {
    enum class NeedPragma { Unknown, No, Yes };
    enum class Charset { Unset, Unknown, Known };
    std::vector<QByteArray> seen;
    bool gotPragma = false;
    NeedPragma needPragma = NeedPragma::Unknown;
    Charset charsetState = Charset::Unset;
    E charset{};

    while (true) {
        const Sniffed sniffed = getAttribute();
        if (sniffed == Sniffed::OutOfBytes)
            return Meta::OutOfBytes;
        if (sniffed == Sniffed::NoAttribute)
            break;
        if (std::find(seen.begin(), seen.end(), m_name) != seen.end())
            continue;
        seen.push_back(m_name);
        if (m_name == "http-equiv") {
            if (m_value == "content-type")
                gotPragma = true;
        } else if (m_name == "content") {
            const std::optional<E> fromContent = encodingFromMetaContent(m_value);
            if (fromContent && charsetState == Charset::Unset) {
                charsetState = Charset::Known;
                charset = *fromContent;
                needPragma = NeedPragma::Yes;
            }
        } else if (m_name == "charset") {
            const std::optional<E> named = lookupLabel(m_value);
            charsetState = named ? Charset::Known : Charset::Unknown;
            charset = named.value_or(E{});
            needPragma = NeedPragma::No;
        }
    }

    if (needPragma == NeedPragma::Unknown || (needPragma == NeedPragma::Yes && !gotPragma) ||
        charsetState != Charset::Known)
        return Meta::NotDeclared;
    declared = charset;
    // A page read far enough to find its own declaration cannot be UTF-16.
    if (declared == E::Utf16BE || declared == E::Utf16LE)
        declared = E::Utf8;
    else if (declared == E::XUserDefined)
        declared = E::Windows1252;
    return Meta::Declared;
}

Prescanner::Sniffed Prescanner::getAttribute() {
    m_name.clear();
    m_value.clear();
    while (!atEnd() && (ascii::isWhitespace(byte()) || byte() == '/'))
        ++m_pos;
    if (atEnd())
        return Sniffed::OutOfBytes;
    if (byte() == '>')
        return Sniffed::NoAttribute;

    for (;; ++m_pos) {
        if (atEnd())
            return Sniffed::OutOfBytes;
        const char c = byte();
        if (c == '=' && !m_name.isEmpty()) {
            ++m_pos;
            return getAttributeValue();
        }
        if (ascii::isWhitespace(c))
            break;
        if (c == '/' || c == '>')
            return Sniffed::Attribute;
        m_name += ascii::toLower(c);
    }
    while (!atEnd() && ascii::isWhitespace(byte()))
        ++m_pos;
    if (atEnd())
        return Sniffed::OutOfBytes;
    if (byte() != '=')
        return Sniffed::Attribute;
    ++m_pos;
    return getAttributeValue();
}

Prescanner::Sniffed Prescanner::getAttributeValue() {
    while (!atEnd() && ascii::isWhitespace(byte()))
        ++m_pos;
    if (atEnd())
        return Sniffed::OutOfBytes;
    if (byte() == '"' || byte() == '\'') {
        const char quote = byte();
        while (true) {
            ++m_pos;
            if (atEnd())
                return Sniffed::OutOfBytes;
            if (byte() == quote) {
                ++m_pos;
                return Sniffed::Attribute;
            }
            m_value += ascii::toLower(byte());
        }
    }
    if (byte() == '>')
        return Sniffed::Attribute;
    for (;; ++m_pos) {
        if (atEnd())
            return Sniffed::OutOfBytes;
        if (ascii::isWhitespace(byte()) || byte() == '>')
            return Sniffed::Attribute;
        m_value += ascii::toLower(byte());
    }
}

// ---- Decoders ----------------------------------------------------------------------------------

// Output buffer the decoders write into directly; grows without filling.
class Utf16Buffer {
public:
    explicit Utf16Buffer(qsizetype expected)
        : m_text(expected, Qt::Uninitialized) {}

    QChar *reserve(qsizetype count) {
        if (m_text.size() - m_used < count)
            m_text.resize(std::max(m_used + count, m_text.size() + m_text.size() / 2));
        return m_text.data() + m_used;
    }
    void commit(const QChar *end) { m_used = end - m_text.constData(); }
    qsizetype size() const { return m_used; }
    QChar *at(qsizetype index) { return m_text.data() + index; }

    QString take() {
        m_text.truncate(m_used);
        // Converters ask for worst-case room; hand back what a long-lived page needs.
        if (m_text.capacity() - m_used > 64 * 1024)
            m_text.squeeze();
        return std::move(m_text);
    }

private:
    QString m_text;
    qsizetype m_used = 0;
};

QChar *appendCodePoint(QChar *out, char32_t codePoint) {
    if (codePoint < 0x10000) {
        *out++ = QChar(char16_t(codePoint));
    } else {
        *out++ = QChar(QChar::highSurrogate(codePoint));
        *out++ = QChar(QChar::lowSurrogate(codePoint));
    }
    return out;
}

struct Utf8Sequence {
    qsizetype length; // bytes consumed; on error, the lead and the continuation bytes that fit
    bool valid;
    char32_t codePoint;
};

// Reads the sequence starting with the non-ASCII byte at p. Overlongs, surrogates, values past
// U+10FFFF and sequences cut short are invalid; the byte that broke a sequence is not consumed.
Utf8Sequence readUtf8Sequence(const uchar *p, qsizetype available) {
    const uchar lead = p[0];
    qsizetype needed = 0;
    uchar lower = 0x80;
    uchar upper = 0xBF;
    char32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        lower = lead == 0xE0 ? 0xA0 : 0x80;
        upper = lead == 0xED ? 0x9F : 0xBF;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        lower = lead == 0xF0 ? 0x90 : 0x80;
        upper = lead == 0xF4 ? 0x8F : 0xBF;
        codePoint = lead & 0x07;
    } else {
        return {1, false, 0};
    }
    for (qsizetype i = 1; i <= needed; ++i) {
        if (i >= available || p[i] < lower || p[i] > upper)
            return {i, false, 0};
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
        lower = 0x80;
        upper = 0xBF;
    }
    return {needed + 1, true, codePoint};
}

// Length of the longest prefix of s made of complete, well-formed UTF-8 sequences.
qsizetype validUtf8Prefix(QByteArrayView s) {
    const auto *p = reinterpret_cast<const uchar *>(s.data());
    const qsizetype size = s.size();
    qsizetype i = 0;
    while (i < size) {
        if (p[i] < 0x80) {
            // Pages are mostly markup, so skip ASCII a word at a time.
            while (i + 8 <= size) {
                std::uint64_t word;
                std::memcpy(&word, p + i, sizeof word);
                if (word & 0x8080808080808080u)
                    break;
                i += 8;
            }
            while (i < size && p[i] < 0x80)
                ++i;
            continue;
        }
        const Utf8Sequence sequence = readUtf8Sequence(p + i, size - i);
        if (!sequence.valid)
            return i;
        i += sequence.length;
    }
    return size;
}

QString decodeUtf8(QByteArrayView bytes, qsizetype validPrefix) {
    // The valid prefix, usually all of it, goes through Qt's vectorised decoder. Keep any
    // U+FEFF: the only byte order mark to drop was removed before the encoding was chosen.
    QStringDecoder qtDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                       QStringDecoder::Flag::ConvertInitialBom);
    const qsizetype tail = bytes.size() - validPrefix;
    Utf16Buffer buffer(qtDecoder.requiredSpace(validPrefix) + tail);
    QChar *out = buffer.reserve(qtDecoder.requiredSpace(validPrefix) + tail);
    out = qtDecoder.appendToBuffer(out, bytes.first(validPrefix));

    // Past the first error, one U+FFFD per broken sequence, as browsers do.
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    for (qsizetype i = validPrefix; i < bytes.size();) {
        if (p[i] < 0x80) {
            *out++ = QChar(char16_t(p[i++]));
            continue;
        }
        const Utf8Sequence sequence = readUtf8Sequence(p + i, bytes.size() - i);
        out = appendCodePoint(out, sequence.valid ? sequence.codePoint : kReplacement);
        i += sequence.length;
    }
    buffer.commit(out);
    return buffer.take();
}

QString decodeUtf16(QByteArrayView bytes, bool littleEndian) {
    Utf16Buffer buffer(bytes.size() / 2 + 1);
    QChar *out = buffer.reserve(bytes.size() / 2 + 1);
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    char16_t pendingHigh = 0;
    qsizetype i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        const auto unit = char16_t(littleEndian ? p[i] | p[i + 1] << 8 : p[i] << 8 | p[i + 1]);
        if (pendingHigh) {
            if (QChar::isLowSurrogate(unit)) {
                *out++ = QChar(pendingHigh);
                *out++ = QChar(unit);
                pendingHigh = 0;
                continue;
            }
            *out++ = QChar(kReplacement);
            pendingHigh = 0;
        }
        if (QChar::isHighSurrogate(unit))
            pendingHigh = unit;
        else
            *out++ = QChar(QChar::isLowSurrogate(unit) ? kReplacement : unit);
    }
    if (pendingHigh || i < bytes.size())
        *out++ = QChar(kReplacement);
    buffer.commit(out);
    return buffer.take();
}

QString decodeUserDefined(QByteArrayView bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    std::transform(bytes.begin(), bytes.end(), text.begin(), [](char c) {
        const auto b = uchar(c);
        return QChar(char16_t(b < 0x80 ? b : 0xF780 + b - 0x80));
    });
    return text;
}

using ByteTable = std::array<char16_t, 256>;

// The lower half is ASCII by definition; the upper half comes from ICU, whose IBM tables would
// otherwise also remap a few ASCII controls.
std::optional<ByteTable> singleByteTable(const EncodingSpec &spec) {
    for (const char *converter : spec.converters) {
        if (!converter)
            continue;
        QStringDecoder decoder(converter, QStringDecoder::Flag::Stateless);
        if (!decoder.isValid())
            continue;
        ByteTable table;
        std::array<char, 128> upperHalf;
        for (std::size_t i = 0; i < 128; ++i) {
            table[i] = char16_t(i);
            upperHalf[i] = char(0x80 + i);
        }
        const QString decoded = decoder.decode(QByteArrayView(upperHalf.data(), 128));
        const bool oneUnitEach =
            decoded.size() == 128 &&
            std::none_of(decoded.begin(), decoded.end(), [](QChar c) { return c.isSurrogate(); });
        for (std::size_t i = 0; i < 128; ++i) {
            if (oneUnitEach) {
                table[128 + i] = decoded[qsizetype(i)].unicode();
            } else {
                const QString one = decoder.decode(QByteArrayView(&upperHalf[i], 1));
                table[128 + i] = one.size() == 1 ? one[0].unicode() : kReplacement;
            }
        }
        return table;
    }
    // Without ICU (Qt for Windows) the system's code page gives the upper half.
    for (const char *converter : spec.converters) {
        if (!converter)
            continue;
        std::array<char, 128> upperHalf;
        for (std::size_t i = 0; i < 128; ++i)
            upperHalf[i] = char(0x80 + i);
        const std::optional<QString> decoded =
            DecodeWithCodePage(converter, QByteArrayView(upperHalf.data(), 128));
        if (!decoded || decoded->size() != 128)
            continue;
        ByteTable table;
        for (std::size_t i = 0; i < 128; ++i) {
            table[i] = char16_t(i);
            table[128 + i] = (*decoded)[qsizetype(i)].unicode();
        }
        return table;
    }
    return std::nullopt;
}

QString decodeSingleByte(QByteArrayView bytes, const ByteTable &table) {
    QString text(bytes.size(), Qt::Uninitialized);
    std::transform(bytes.begin(), bytes.end(), text.begin(),
                   [&table](char c) { return QChar(table[uchar(c)]); });
    return text;
}

// Bounded chunks keep the output buffer from needing ICU's worst-case room for the whole page.
constexpr qsizetype kChunk = 64 * 1024;
// More than the longest sequence a converter can be holding back.
constexpr qsizetype kLineFeedCount = 8;

void feed(QStringDecoder &decoder, QByteArrayView bytes, Utf16Buffer &buffer) {
    for (qsizetype pos = 0; pos < bytes.size(); pos += kChunk) {
        const QByteArrayView chunk = bytes.sliced(pos, std::min(kChunk, bytes.size() - pos));
        QChar *out = buffer.reserve(decoder.requiredSpace(chunk.size()));
        buffer.commit(decoder.appendToBuffer(out, chunk));
    }
}

// Qt silently drops a sequence that the input cuts short. Line feeds, which are never part of a
// sequence in these encodings, make the converter give up on it and report it; the line feeds
// themselves are then dropped again.
void finish(QStringDecoder &decoder, Utf16Buffer &buffer) {
    const QByteArrayView lineFeeds("\n\n\n\n\n\n\n\n", kLineFeedCount);
    QChar *start = buffer.reserve(decoder.requiredSpace(lineFeeds.size()));
    QChar *end = decoder.appendToBuffer(start, lineFeeds);
    while (end > start && end[-1] == u'\n')
        --end;
    buffer.commit(end);
}

constexpr bool isQuirkControl(char c) {
    return c == '\x1A' || c == '\x1C' || c == '\x7F';
}

// Decodes around the 0x1A/0x1C/0x7F bytes so that between them any U+001A can only be ICU's
// substitute for an invalid byte. No lead or trail byte is one of these, so ending a sequence
// before each is what browsers do too.
void decodeWithControlQuirks(QStringDecoder &decoder, QByteArrayView bytes, Utf16Buffer &buffer) {
    qsizetype pos = 0;
    while (true) {
        qsizetype next = pos;
        while (next < bytes.size() && !isQuirkControl(bytes[next]))
            ++next;
        const qsizetype runStart = buffer.size();
        feed(decoder, bytes.sliced(pos, next - pos), buffer);
        finish(decoder, buffer);
        std::replace(buffer.at(runStart), buffer.at(buffer.size()), QChar(u'\x1A'),
                     QChar(kReplacement));
        if (next == bytes.size())
            return;
        QChar *out = buffer.reserve(1);
        *out = QChar(char16_t(uchar(bytes[next])));
        buffer.commit(out + 1);
        pos = next + 1;
    }
}

std::optional<QString> decodeMultiByte(QByteArrayView bytes, const EncodingSpec &spec) {
    for (const char *converter : spec.converters) {
        if (!converter)
            continue;
        QStringDecoder decoder(converter);
        if (!decoder.isValid())
            continue;
        // These encodings never produce more UTF-16 units than bytes, so room for the page plus
        // the converter's headroom for one chunk means the buffer never has to grow.
        Utf16Buffer buffer(bytes.size() + decoder.requiredSpace(std::min(bytes.size(), kChunk)) +
                           decoder.requiredSpace(kLineFeedCount));
        if (spec.controlQuirks) {
            decodeWithControlQuirks(decoder, bytes, buffer);
        } else {
            feed(decoder, bytes, buffer);
            finish(decoder, buffer);
        }
        return buffer.take();
    }
    // Without ICU (Qt for Windows) the system's code page decodes the page whole.
    for (const char *converter : spec.converters) {
        if (!converter)
            continue;
        if (std::optional<QString> text = DecodeWithCodePage(converter, bytes))
            return text;
    }
    return std::nullopt;
}

DecodedPage decodeAs(E encoding, QByteArrayView bytes) {
    const EncodingSpec &spec = specFor(encoding);
    switch (spec.engine) {
    case Engine::Utf8:
        return {decodeUtf8(bytes, validUtf8Prefix(bytes)), spec.name};
    case Engine::Utf16LE:
        return {decodeUtf16(bytes, true), spec.name};
    case Engine::Utf16BE:
        return {decodeUtf16(bytes, false), spec.name};
    case Engine::UserDefined:
        return {decodeUserDefined(bytes), spec.name};
    case Engine::SingleByte:
        if (const std::optional<ByteTable> table = singleByteTable(spec))
            return {decodeSingleByte(bytes, *table), spec.name};
        break;
    case Engine::MultiByte:
        if (std::optional<QString> text = decodeMultiByte(bytes, spec))
            return {std::move(*text), spec.name};
        break;
    }
    // No converter for it in this Qt build; UTF-8 at least keeps the markup readable.
    return decodeAs(E::Utf8, bytes);
}

} // namespace

namespace {

// GBK pages are what our users' forums mostly send. Their ASCII and two-byte characters go
// straight to UTF-8 through a table made once from the converter itself, with no UTF-16
// copy of the page between; a page with anything else (four-byte GB18030 sequences, stray
// bytes) takes the converter's way.
constexpr int GbkLeads = 0xFE - 0x81 + 1;
constexpr int GbkTrails = 0xFE - 0x40 + 1;
using GbkTable = std::array<char16_t, GbkLeads * GbkTrails>; // 0: not a simple character

bool isGbkTrail(uchar b) {
    return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

const GbkTable *gbkTable() {
    static const std::optional<GbkTable> table = []() -> std::optional<GbkTable> {
        const char *converter = specFor(E::Gbk).converters[0];
        QStringDecoder decoder(converter, QStringDecoder::Flag::Stateless);
        // Without ICU (Qt for Windows) the system's code page makes the table.
        const auto decodeRow = [&](const QByteArray &pairs) {
            return decoder.isValid() ? std::optional(decoder.decode(pairs))
                                     : DecodeWithCodePage(converter, pairs);
        };
        if (!decodeRow("a"))
            return std::nullopt;
        GbkTable t{};
        for (int lead = 0x81; lead <= 0xFE; ++lead) {
            QByteArray pairs;
            for (int trail = 0x40; trail <= 0xFE; ++trail) {
                if (isGbkTrail(uchar(trail))) {
                    pairs += char(lead);
                    pairs += char(trail);
                }
            }
            // Every pair is one character, so one call does a whole row.
            const QString row = decodeRow(pairs).value_or(QString());
            if (row.size() != pairs.size() / 2)
                continue; // leave the row to the converter
            qsizetype i = 0;
            for (int trail = 0x40; trail <= 0xFE; ++trail) {
                if (!isGbkTrail(uchar(trail)))
                    continue;
                const char16_t c = row[i++].unicode();
                if (c >= 0x80 && c != kReplacement && !QChar::isSurrogate(c))
                    t[std::size_t((lead - 0x81) * GbkTrails + trail - 0x40)] = c;
            }
        }
        return t;
    }();
    return table ? &*table : nullptr;
}

// Appends the UTF-8 of the ASCII and table characters at the start of `in` to `out`;
// returns how many bytes of `in` that took, stopping before the first byte that is neither
// (a lead byte whose trail is still to come included).
qsizetype appendGbkAsUtf8(QByteArrayView in, QByteArray &out, const GbkTable &table) {
    const auto *p = reinterpret_cast<const uchar *>(in.data());
    const qsizetype n = in.size();
    const qsizetype start = out.size();
    out.resize(start + n + n / 2 + 8); // two bytes become three at most
    auto *o = reinterpret_cast<uchar *>(out.data()) + start;
    qsizetype i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            // Markup is mostly ASCII: a word at a time.
            while (i + 8 <= n) {
                std::uint64_t word;
                std::memcpy(&word, p + i, sizeof word);
                if (word & 0x8080808080808080u)
                    break;
                std::memcpy(o, &word, sizeof word);
                o += 8;
                i += 8;
            }
            while (i < n && p[i] < 0x80)
                *o++ = p[i++];
            continue;
        }
        if (i + 1 >= n || p[i] == 0x80 || p[i] == 0xFF || !isGbkTrail(p[i + 1]))
            break;
        const char16_t c = table[std::size_t((p[i] - 0x81) * GbkTrails + p[i + 1] - 0x40)];
        if (!c)
            break;
        if (c < 0x800) {
            *o++ = uchar(0xC0 | (c >> 6));
        } else {
            *o++ = uchar(0xE0 | (c >> 12));
            *o++ = uchar(0x80 | ((c >> 6) & 0x3F));
        }
        *o++ = uchar(0x80 | (c & 0x3F));
        i += 2;
    }
    out.truncate(reinterpret_cast<char *>(o) - out.constData());
    return i;
}

std::optional<QByteArray> gbkToUtf8(QByteArrayView bytes, const GbkTable &table) {
    QByteArray utf8;
    if (appendGbkAsUtf8(bytes, utf8, table) != bytes.size())
        return std::nullopt;
    return utf8;
}

struct EncodingChoice {
    E encoding;
    qsizetype bomLength = 0;
    bool knownValidUtf8 = false;
};

// The encoding a page's byte order mark, Content-Type or early declaration names; nullopt
// when none does. For a page still arriving (`whole` false), nullopt also while more bytes
// could still name one.
std::optional<EncodingChoice> declaredEncoding(QByteArrayView head,
                                               QByteArrayView contentTypeHeader, bool whole) {
    if (!whole && head.size() < 3)
        return std::nullopt;
    if (head.startsWith("\xEF\xBB\xBF"))
        return EncodingChoice{E::Utf8, 3};
    if (head.startsWith("\xFF\xFE"))
        return EncodingChoice{E::Utf16LE, 2};
    if (head.startsWith("\xFE\xFF"))
        return EncodingChoice{E::Utf16BE, 2};

    if (const std::optional<QByteArray> charset = ParseContentType(contentTypeHeader).charset) {
        if (const std::optional<E> encoding = lookupLabel(*charset))
            return EncodingChoice{*encoding};
    }

    if (!whole && head.size() < kPrescanWindow)
        return std::nullopt;
    if (const std::optional<E> declared =
            Prescanner(head.first(std::min(head.size(), kPrescanWindow))).run())
        return EncodingChoice{*declared};
    return std::nullopt;
}

EncodingChoice chooseEncoding(QByteArrayView bytes, QByteArrayView contentTypeHeader) {
    if (const std::optional<EncodingChoice> declared =
            declaredEncoding(bytes, contentTypeHeader, true))
        return *declared;
    // Undeclared: UTF-8 when it cannot be anything else, otherwise what our users' older
    // sites are written in.
    if (validUtf8Prefix(bytes) == bytes.size())
        return {E::Utf8, 0, true};
    return {E::Gb18030};
}

} // namespace

DecodedPage decodeHtml(QByteArrayView bytes, QByteArrayView contentTypeHeader) {
    const EncodingChoice choice = chooseEncoding(bytes, contentTypeHeader);
    return decodeAs(choice.encoding, bytes.sliced(choice.bomLength));
}

Utf8Page decodeHtmlToUtf8(QByteArray bytes, QByteArrayView contentTypeHeader) {
    const EncodingChoice choice = chooseEncoding(bytes, contentTypeHeader);
    const EncodingSpec &spec = specFor(choice.encoding);
    if (spec.engine == Engine::Utf8) {
        // Valid UTF-8 decodes and encodes back to the very same bytes.
        const QByteArrayView text = QByteArrayView(bytes).sliced(choice.bomLength);
        if (choice.knownValidUtf8 || validUtf8Prefix(text) == text.size())
            return {choice.bomLength ? text.toByteArray() : std::move(bytes), spec.name};
    }
    if (choice.encoding == E::Gbk || choice.encoding == E::Gb18030) {
        if (const GbkTable *table = gbkTable()) {
            if (std::optional<QByteArray> utf8 = gbkToUtf8(bytes, *table))
                return {std::move(*utf8), spec.name};
        }
    }
    DecodedPage page = decodeAs(choice.encoding, QByteArrayView(bytes).sliced(choice.bomLength));
    // A big page is held three times over here; let the first copy go before the third.
    bytes = QByteArray();
    return {std::move(page.text).toUtf8(), std::move(page.encoding)};
}

struct Utf8PageDecoder::State {
    enum class Mode { Undecided, Bytes, Table };
    Mode mode = Mode::Undecided;
    QByteArray contentType;
    // Every byte so far. Should the table meet a character it does not hold, the whole
    // page goes through the converter at the end: fed in other pieces, the converter can
    // read an invalid sequence differently.
    QByteArray bytes;
    QByteArray utf8; // Table: the page so far
    E encoding = E::Gbk;
    const GbkTable *table = nullptr;
    qsizetype decoded = 0; // Table: bytes of `bytes` in utf8; a trail may be due
    qsizetype expected = 0;

    void settle() {
        const std::optional<EncodingChoice> settled = declaredEncoding(bytes, contentType, false);
        if (!settled) {
            // Past the prescan window without a word on the encoding: only the whole
            // page can tell.
            if (bytes.size() >= kPrescanWindow)
                mode = Mode::Bytes;
            return;
        }
        const bool gbk = settled->encoding == E::Gbk || settled->encoding == E::Gb18030;
        table = gbk ? gbkTable() : nullptr;
        if (!table) {
            mode = Mode::Bytes;
            return;
        }
        encoding = settled->encoding;
        mode = Mode::Table;
        if (expected > 0)
            utf8.reserve(expected + expected / 2);
        decode();
    }

    void decode() {
        const QByteArrayView rest = QByteArrayView(bytes).sliced(decoded);
        const qsizetype taken = appendGbkAsUtf8(rest, utf8, *table);
        decoded += taken;
        const bool leadAwaitsTrail =
            rest.size() - taken == 1 && uchar(rest.back()) >= 0x81 && uchar(rest.back()) <= 0xFE;
        if (taken < rest.size() && !leadAwaitsTrail) {
            mode = Mode::Bytes;
            utf8 = QByteArray();
        }
    }
};

Utf8PageDecoder::Utf8PageDecoder(QByteArray contentTypeHeader)
    : d(std::make_unique<State>()) {
    d->contentType = std::move(contentTypeHeader);
}

Utf8PageDecoder::~Utf8PageDecoder() = default;
Utf8PageDecoder::Utf8PageDecoder(Utf8PageDecoder &&) noexcept = default;
Utf8PageDecoder &Utf8PageDecoder::operator=(Utf8PageDecoder &&) noexcept = default;

void Utf8PageDecoder::reserve(qsizetype pageBytes) {
    d->expected = pageBytes;
    d->bytes.reserve(pageBytes);
}

qsizetype Utf8PageDecoder::bytesFed() const {
    return d->bytes.size();
}

void Utf8PageDecoder::feed(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return;
    switch (d->mode) {
    case State::Mode::Undecided:
        d->bytes += bytes;
        d->settle();
        break;
    case State::Mode::Bytes:
        d->bytes += bytes;
        break;
    case State::Mode::Table:
        d->bytes += bytes;
        d->decode();
        break;
    }
}

Utf8Page Utf8PageDecoder::finish() && {
    State &s = *d;
    if (s.mode == State::Mode::Table && s.decoded == s.bytes.size()) {
        s.bytes = QByteArray();
        return {std::exchange(s.utf8, QByteArray()), specFor(s.encoding).name};
    }
    // Undecided, kept as bytes, or a lead byte the page ends on.
    return decodeHtmlToUtf8(std::exchange(s.bytes, QByteArray()), s.contentType);
}

QByteArray encodingForLabel(QByteArrayView label) {
    const std::optional<E> encoding = lookupLabel(label);
    return encoding ? QByteArray(specFor(*encoding).name) : QByteArray();
}

} // namespace quillmere
