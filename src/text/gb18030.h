#pragma once

// GB18030's four-byte codes: every character that its one- and two-byte codes (code page
// 936, near enough) leave out. Where the system knows only code page 936 these keep such
// characters as readable, and as written, as where GB18030 is whole.

#include <array>
#include <optional>

namespace quillmere::gb18030 {

constexpr bool IsLead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}

constexpr bool IsDigit(unsigned char b) {
    return b >= 0x30 && b <= 0x39;
}

// The character the four bytes at `bytes` (lead, digit, lead, digit) stand for; none when
// they stand for none.
std::optional<char32_t> DecodeFourBytes(const char *bytes);

// The four bytes GB18030 gives `codePoint`; none when it has a shorter code or is no
// character.
std::optional<std::array<char, 4>> EncodeFourBytes(char32_t codePoint);

} // namespace quillmere::gb18030
