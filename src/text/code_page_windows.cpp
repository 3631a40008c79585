#include "text/code_page.h"
#include "text/gb18030.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <windows.h>

namespace quillmere {

namespace {

struct CodePage {
    const char *converter;
    UINT codePage;
};

// The ICU names the callers ask for, and the Windows code page with the same table (Big5's
// Hong Kong supplement and ISO-8859-16 have none; the first falls back to plain Big5).
constexpr std::array kCodePages = {
    CodePage{"IBM866", 866},        CodePage{"ISO-8859-2", 28592},
    CodePage{"ISO-8859-3", 28593},  CodePage{"ISO-8859-4", 28594},
    CodePage{"ISO-8859-5", 28595},  CodePage{"ISO-8859-6", 28596},
    CodePage{"ISO-8859-7", 28597},  CodePage{"ISO-8859-8", 28598},
    CodePage{"ISO-8859-10", 28600}, CodePage{"ISO-8859-13", 28603},
    CodePage{"ISO-8859-14", 28604}, CodePage{"ISO-8859-15", 28605},
    CodePage{"KOI8-R", 20866},      CodePage{"KOI8-U", 21866},
    CodePage{"macintosh", 10000},   CodePage{"windows-874", 874},
    CodePage{"windows-1250", 1250}, CodePage{"windows-1251", 1251},
    CodePage{"windows-1252", 1252}, CodePage{"windows-1253", 1253},
    CodePage{"windows-1254", 1254}, CodePage{"windows-1255", 1255},
    CodePage{"windows-1256", 1256}, CodePage{"windows-1257", 1257},
    CodePage{"windows-1258", 1258}, CodePage{"x-mac-cyrillic", 10007},
    CodePage{"GB18030", 54936},     CodePage{"GBK", 936},
    CodePage{"Big5", 950},          CodePage{"EUC-JP", 20932},
    CodePage{"ISO-2022-JP", 50220}, CodePage{"windows-31j", 932},
    CodePage{"Shift_JIS", 932},     CodePage{"windows-949", 949},
    CodePage{"EUC-KR", 949},
};

constexpr UINT kGb18030 = 54936;
constexpr UINT kGbk = 936;

struct System {
    UINT codePage = 0; // 0: none
    // GB18030 proper is an optional part of some Windows installations (and of Wine); its
    // two-byte half, GBK (936), is always there and is what the forums send. Its four-byte
    // codes are then read and written here.
    bool fourByteCodes = false;
};

System systemFor(const char *converter) {
    for (CodePage entry : kCodePages) {
        if (std::strcmp(entry.converter, converter) != 0)
            continue;
        if (entry.codePage == kGb18030 && !IsValidCodePage(kGb18030))
            return IsValidCodePage(kGbk) ? System{kGbk, true} : System{};
        return IsValidCodePage(entry.codePage) ? System{entry.codePage, false} : System{};
    }
    return {};
}

// ISO-2022-JP shifts between character sets, so it is decoded whole; the system takes no
// flags for it.
bool isStateful(UINT codePage) {
    return codePage == 50220;
}

// Appends the decoded bytes, false when any is no character of the code page.
bool appendStrict(UINT codePage, const char *bytes, int length, QString &text) {
    const DWORD flags = isStateful(codePage) ? 0 : MB_ERR_INVALID_CHARS;
    const int units = MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
    if (units <= 0)
        return false;
    const qsizetype at = text.size();
    text.resize(at + units);
    MultiByteToWideChar(codePage, flags, bytes, length,
                        reinterpret_cast<wchar_t *>(text.data() + at), units);
    return true;
}

// How many bytes the character at `pos` claims.
qsizetype characterLength(UINT codePage, QByteArrayView bytes, qsizetype pos) {
    using namespace gb18030;
    const auto at = [&](qsizetype i) {
        return i < bytes.size() ? uchar(bytes[i]) : uchar(0);
    };
    const uchar b = at(pos);
    if (codePage == kGb18030) {
        if (!IsLead(b))
            return 1;
        if (IsDigit(at(pos + 1)) && IsLead(at(pos + 2)) && IsDigit(at(pos + 3)))
            return 4;
    } else if (!IsDBCSLeadByteEx(codePage, b)) {
        return 1;
    }
    return pos + 1 < bytes.size() ? 2 : 1;
}

// The system writes its own stand-ins (a '?', a PUA character, a middle dot) for bytes that are
// no character; browsers write U+FFFD, and a page must read the same everywhere. A broken
// sequence ends before an ASCII byte, which is read anew.
void appendReplacingErrors(UINT codePage, QByteArrayView bytes, QString &text) {
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const uchar b = uchar(bytes[pos]);
        if (b < 0x80 && characterLength(codePage, bytes, pos) == 1) {
            text += QChar(char16_t(b));
            ++pos;
            continue;
        }
        const qsizetype length = characterLength(codePage, bytes, pos);
        if (appendStrict(codePage, bytes.data() + pos, int(length), text)) {
            pos += length;
            continue;
        }
        text += QChar::ReplacementCharacter;
        pos += length == 2 && uchar(bytes[pos + 1]) < 0x80 ? 1 : length;
    }
}

// Appends `bytes` decoded; false when the system refuses them.
bool appendDecoded(UINT codePage, QByteArrayView bytes, QString &text) {
    // In chunks, so that bytes in error send only their own chunk the slow way. Each ends
    // after a byte below 0x30: none of these encodings has one inside a character.
    constexpr qsizetype kChunk = 64 * 1024;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        qsizetype end = isStateful(codePage) ? bytes.size() : std::min(bytes.size(), pos + kChunk);
        while (end < bytes.size() && uchar(bytes[end - 1]) >= 0x30)
            ++end;
        const QByteArrayView chunk = bytes.sliced(pos, end - pos);
        if (!appendStrict(codePage, chunk.data(), int(chunk.size()), text)) {
            if (isStateful(codePage) || GetLastError() != ERROR_NO_UNICODE_TRANSLATION)
                return false;
            appendReplacingErrors(codePage, chunk, text);
        }
        pos = end;
    }
    return true;
}

// Code page 936 between the four-byte codes, which it does not know.
std::optional<QString> decodeWithFourByteCodes(QByteArrayView bytes) {
    using namespace gb18030;
    QString text;
    qsizetype runStart = 0;
    qsizetype pos = 0;
    const auto at = [&](qsizetype i) {
        return i < bytes.size() ? uchar(bytes[i]) : uchar(0);
    };
    while (pos < bytes.size()) {
        if (!IsLead(at(pos))) {
            ++pos;
            continue;
        }
        if (!IsDigit(at(pos + 1))) {
            const uchar trail = at(pos + 1);
            pos += trail >= 0x40 && trail <= 0xFE && trail != 0x7F ? 2 : 1;
            continue;
        }
        if (!appendDecoded(kGbk, bytes.sliced(runStart, pos - runStart), text))
            return std::nullopt;
        if (IsLead(at(pos + 2)) && IsDigit(at(pos + 3))) {
            // Four bytes of the right kind that name no character are one bad character.
            const std::optional<char32_t> c = DecodeFourBytes(bytes.data() + pos);
            if (c)
                text += QStringView(QChar::fromUcs4(*c));
            else
                text += QChar::ReplacementCharacter;
            pos += 4;
        } else {
            // Cut short: the lead is the one bad byte, and the digit is read anew.
            text += QChar::ReplacementCharacter;
            pos += 1;
        }
        runStart = pos;
    }
    if (!appendDecoded(kGbk, bytes.sliced(runStart), text))
        return std::nullopt;
    return text;
}

// Appends `text` encoded, characters the code page lacks replaced by `substitute` (or the
// system's own choice when null).
bool appendEncoded(UINT codePage, QStringView text, const char *substitute, QByteArray &bytes) {
    // Best fit would write another character than the one asked for; some code pages refuse
    // to be asked not to.
    const DWORD flags = codePage == kGb18030 || isStateful(codePage) ? 0 : WC_NO_BEST_FIT_CHARS;
    constexpr qsizetype kChunk = qsizetype(1) << 24;
    qsizetype pos = 0;
    while (pos < text.size()) {
        qsizetype end = std::min(text.size(), pos + kChunk);
        if (end < text.size() && text[end - 1].isHighSurrogate())
            --end;
        const int length = int(end - pos);
        const auto *units = reinterpret_cast<const wchar_t *>(text.utf16() + pos);
        const int size =
            WideCharToMultiByte(codePage, flags, units, length, nullptr, 0, substitute, nullptr);
        if (size <= 0)
            return false;
        const qsizetype at = bytes.size();
        bytes.resize(at + size);
        WideCharToMultiByte(codePage, flags, units, length, bytes.data() + at, size, substitute,
                            nullptr);
        pos = end;
    }
    return true;
}

// Code page 936 between the characters only four-byte codes have.
std::optional<QByteArray> encodeWithFourByteCodes(QStringView text) {
    // What GB18030 writes for a character it has no code for (a lone surrogate).
    const char *substitute = "\x1A";
    QByteArray bytes;
    qsizetype runStart = 0;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const QChar c = text[pos];
        qsizetype size = 1;
        char32_t codePoint = c.unicode();
        if (c.isHighSurrogate() && pos + 1 < text.size() && text[pos + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(c, text[pos + 1]);
            size = 2;
        }
        const std::optional<std::array<char, 4>> four = gb18030::EncodeFourBytes(codePoint);
        if (!four && !c.isSurrogate()) {
            pos += size;
            continue;
        }
        if (!appendEncoded(kGbk, text.sliced(runStart, pos - runStart), substitute, bytes))
            return std::nullopt;
        if (four)
            bytes.append(four->data(), 4);
        else
            bytes += substitute;
        pos += size;
        runStart = pos;
    }
    if (!appendEncoded(kGbk, text.sliced(runStart), substitute, bytes))
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<QString> DecodeWithCodePage(const char *converter, QByteArrayView bytes) {
    const System system = systemFor(converter);
    if (!system.codePage)
        return std::nullopt;
    if (system.fourByteCodes)
        return decodeWithFourByteCodes(bytes);
    QString text;
    if (!appendDecoded(system.codePage, bytes, text))
        return std::nullopt;
    return text;
}

std::optional<QByteArray> EncodeWithCodePage(const char *converter, QStringView text) {
    const System system = systemFor(converter);
    if (!system.codePage)
        return std::nullopt;
    if (system.fourByteCodes)
        return encodeWithFourByteCodes(text);
    QByteArray bytes;
    if (!appendEncoded(system.codePage, text, nullptr, bytes))
        return std::nullopt;
    return bytes;
}

} // namespace quillmere
