#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>

namespace quillmere {

struct DecodedPage {
    QString text;
    // Canonical WHATWG name of the encoding that produced text, e.g. "UTF-8", "GBK", "gb18030".
    QByteArray encoding;
};

// Decodes an HTML page, choosing its encoding the way browsers do: byte order mark, then the
// charset of the Content-Type header, then a declaration found by prescanning the first 1024
// bytes, then UTF-8 if the bytes are valid UTF-8 and GB18030 otherwise. Never fails: bytes the
// encoding cannot decode become U+FFFD.
DecodedPage decodeHtml(QByteArrayView bytes, QByteArrayView contentTypeHeader);

struct Utf8Page {
    QByteArray text; // valid UTF-8
    QByteArray encoding;
};

// The same, to UTF-8, which is what the HTML parser reads: a page that is valid UTF-8
// already comes back as it is, without a copy.
Utf8Page decodeHtmlToUtf8(QByteArray bytes, QByteArrayView contentTypeHeader);

// Decodes a page to UTF-8 while it arrives, to exactly what decodeHtmlToUtf8() makes of all
// of its bytes. A GBK page, known as such by its Content-Type or a declaration in its first
// 1024 bytes, is decoded piece by piece as it comes; any other page, and one with a character
// the quick way does not know, is decoded at the end.
class Utf8PageDecoder {
public:
    explicit Utf8PageDecoder(QByteArray contentTypeHeader = {});
    ~Utf8PageDecoder();
    Utf8PageDecoder(Utf8PageDecoder &&) noexcept;
    Utf8PageDecoder &operator=(Utf8PageDecoder &&) noexcept;

    // Room for a page of this many bytes, as announced.
    void reserve(qsizetype pageBytes);
    void feed(QByteArrayView bytes);
    qsizetype bytesFed() const;
    // The whole page; the decoder is spent.
    Utf8Page finish() &&;

private:
    struct State;
    std::unique_ptr<State> d;
};

// Canonical WHATWG encoding name for a label (any case, surrounding ASCII white space ignored),
// e.g. "gb2312" -> "GBK", "latin1" -> "windows-1252". Empty for a label no browser knows.
QByteArray encodingForLabel(QByteArrayView label);

} // namespace quillmere
