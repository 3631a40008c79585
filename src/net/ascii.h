#pragma once

// Byte-level helpers for the ASCII-only grammars of the web: header values, encoding
// labels, the bytes a browser prescans. Locale-free on purpose.

#include <QByteArrayView>

namespace quillmere::ascii {

constexpr bool isWhitespace(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

constexpr bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr char toLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

constexpr QByteArrayView trimmedEnd(QByteArrayView s, bool (*isSpace)(char)) {
    while (!s.isEmpty() && isSpace(s.back()))
        s.chop(1);
    return s;
}

constexpr QByteArrayView trimmed(QByteArrayView s, bool (*isSpace)(char)) {
    while (!s.isEmpty() && isSpace(s.front()))
        s = s.sliced(1);
    return trimmedEnd(s, isSpace);
}

} // namespace quillmere::ascii
