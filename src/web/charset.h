#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

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

// Canonical WHATWG encoding name for a label (any case, surrounding ASCII white space ignored),
// e.g. "gb2312" -> "GBK", "latin1" -> "windows-1252". Empty for a label no browser knows.
QByteArray encodingForLabel(QByteArrayView label);

} // namespace quillmere
