#include "web/code_page.h"

#include <array>
#include <cstring>
#include <windows.h>

namespace quillmere {

namespace {

struct CodePage {
    const char *converter;
    UINT codePage;
};

// The ICU names charset.cpp asks for, and the Windows code page with the same table (Big5's
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
    CodePage{"GB18030", 54936},     CodePage{"Big5", 950},
    CodePage{"EUC-JP", 20932},      CodePage{"ISO-2022-JP", 50220},
    CodePage{"windows-31j", 932},   CodePage{"Shift_JIS", 932},
    CodePage{"windows-949", 949},   CodePage{"EUC-KR", 949},
};

} // namespace

std::optional<QString> DecodeWithCodePage(const char *converter, QByteArrayView bytes) {
    for (CodePage entry : kCodePages) {
        if (std::strcmp(entry.converter, converter) != 0)
            continue;
        // GB18030 proper is an optional part of some Windows installations (and of Wine);
        // its two-byte half, GBK (936), is always there and is what the forums send.
        if (entry.codePage == 54936 && !IsValidCodePage(entry.codePage))
            entry.codePage = 936;
        if (!IsValidCodePage(entry.codePage))
            return std::nullopt;
        if (bytes.isEmpty())
            return QString();
        // Chunks well under INT_MAX; a chunk ends after an ASCII byte, so no character is cut.
        constexpr qsizetype kChunk = qsizetype(1) << 24;
        QString text;
        qsizetype pos = 0;
        while (pos < bytes.size()) {
            qsizetype end = std::min(bytes.size(), pos + kChunk);
            if (end < bytes.size()) {
                while (end > pos + 1 && uchar(bytes[end - 1]) >= 0x80)
                    --end;
            }
            const int length = int(end - pos);
            const int units =
                MultiByteToWideChar(entry.codePage, 0, bytes.data() + pos, length, nullptr, 0);
            if (units <= 0)
                return std::nullopt;
            const qsizetype at = text.size();
            text.resize(at + units);
            MultiByteToWideChar(entry.codePage, 0, bytes.data() + pos, length,
                                reinterpret_cast<wchar_t *>(text.data() + at), units);
            pos = end;
        }
        return text;
    }
    return std::nullopt;
}

} // namespace quillmere
