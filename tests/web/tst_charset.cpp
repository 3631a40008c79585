#include "support/encoded.h"
#include "text/code_page.h"
#include "web/charset.h"

#include <QStringDecoder>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kChinese = u"简体中文网页：汉字编码测试。"_s;
const QString kTraditional = u"繁體中文網頁"_s;
const QString kJapanese = u"日本語のページです"_s;
const QString kKorean = u"한국어 페이지"_s;

QByteArray encoded(const char *encoding, const QString &text) {
    return quillmere::test::Encoded(encoding, text);
}

// Without ICU (Qt for Windows) the tables are the system's code pages, and a system may lack
// a few of them.
bool hasTable(const char *encoding) {
    return QStringDecoder(encoding).isValid() ||
           quillmere::DecodeWithCodePage(encoding, "a").has_value();
}

QByteArray page(const QByteArray &head, const QByteArray &body) {
    return "<!DOCTYPE html><html><head>" + head + "</head><body>" + body + "</body></html>";
}

QByteArray gbkPage(const QByteArray &head = {}) {
    return page(head, encoded("GB18030", kChinese));
}

QByteArray utf8Page(const QByteArray &head = {}) {
    return page(head, kChinese.toUtf8());
}

// Enough markup to push what follows past the first 1024 bytes.
QByteArray padding(qsizetype size) {
    QByteArray filler = "<p>filler</p>";
    return filler.repeated(size / filler.size() + 1).left(size);
}

} // namespace

// The page fed to the streaming decoder in pieces of `piece` bytes.
quillmere::Utf8Page streamed(const QByteArray &bytes, const QByteArray &header, qsizetype piece) {
    quillmere::Utf8PageDecoder decoder(header);
    for (qsizetype pos = 0; pos < bytes.size(); pos += piece)
        decoder.feed(QByteArrayView(bytes).sliced(pos, std::min(piece, bytes.size() - pos)));
    return std::move(decoder).finish();
}

// Whatever the pieces, the stream comes out as the whole page does.
bool streamsAsWhole(const QByteArray &bytes, const QByteArray &header) {
    const quillmere::Utf8Page whole = quillmere::decodeHtmlToUtf8(bytes, header);
    for (const qsizetype piece : {qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(7),
                                  qsizetype(1000), qsizetype(4096), qsizetype(1) << 30}) {
        const quillmere::Utf8Page page = streamed(bytes, header, piece);
        if (page.text != whole.text || page.encoding != whole.encoding) {
            qWarning("pieces of %lld bytes differ", static_cast<long long>(piece));
            return false;
        }
    }
    return true;
}

class TestCharset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void choosesEncoding_data();
    void choosesEncoding();
    void decodesText_data();
    void decodesText();
    void undeclaredUtf8IsStrict_data();
    void undeclaredUtf8IsStrict();
    void everyEncodingKeepsAscii_data();
    void everyEncodingKeepsAscii();
    void largeGbkPage();
    void largeUtf8PageWithOneBadByte();
    void gbkReachesTheParserAsTheConverterReadsIt_data();
    void gbkReachesTheParserAsTheConverterReadsIt();
    void encodingForLabel_data();
    void encodingForLabel();
};

void TestCharset::choosesEncoding_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("encoding");

    const QByteArray big5Body = encoded("Big5", kTraditional);
    const QByteArray sjisBody = encoded("Shift_JIS", kJapanese);

    QTest::newRow("undeclared GBK") << gbkPage() << QByteArray() << "gb18030"_ba;
    QTest::newRow("undeclared UTF-8") << utf8Page() << QByteArray() << "UTF-8"_ba;
    QTest::newRow("undeclared ASCII") << "<p>hello</p>"_ba << QByteArray() << "UTF-8"_ba;
    QTest::newRow("empty") << QByteArray() << QByteArray() << "UTF-8"_ba;

    QTest::newRow("header") << gbkPage() << "text/html; charset=gbk"_ba
                            << "GBK"_ba;
    QTest::newRow("header beats meta")
        << gbkPage("<meta charset=big5>") << "text/html; charset=GB2312"_ba
        << "GBK"_ba;
    QTest::newRow("quoted header parameter")
        << page({}, sjisBody) << R"(text/html; foo="a;b, c"; CHARSET="Shift_JIS")"_ba
        << "Shift_JIS"_ba;
    QTest::newRow("header white space") << gbkPage() << "  text/html ;\tcharset=gbk  "_ba
                                        << "GBK"_ba;
    QTest::newRow("first header charset wins")
        << gbkPage() << "text/html; charset=gbk; charset=big5"_ba
        << "GBK"_ba;
    QTest::newRow("header label case and white space")
        << gbkPage() << "text/html; charset=\" GB2312\t\""_ba
        << "GBK"_ba;
    QTest::newRow("unknown header label falls through")
        << page("<meta charset=big5>", big5Body) << "text/html; charset=bogus"_ba
        << "Big5"_ba;
    QTest::newRow("header without a type is ignored") << utf8Page() << "charset=gbk"_ba
                                                      << "UTF-8"_ba;
    QTest::newRow("repeated header keeps charset")
        << gbkPage() << "text/html; charset=gbk, text/html"_ba
        << "GBK"_ba;
    QTest::newRow("repeated header with new type drops charset")
        << utf8Page() << "text/html; charset=gbk, text/plain"_ba
        << "UTF-8"_ba;
    QTest::newRow("header utf-16")
        << encoded("UTF-16LE", u"<p>x</p>"_s) << "text/html; charset=utf-16"_ba
        << "UTF-16LE"_ba;

    QTest::newRow("meta charset") << page("<meta charset=\"big5\">", big5Body) << QByteArray()
                                  << "Big5"_ba;
    QTest::newRow("meta http-equiv")
        << page(R"(<meta http-equiv="Content-Type" content="text/html; charset=shift_jis">)",
                sjisBody)
        << QByteArray() << "Shift_JIS"_ba;
    QTest::newRow("meta http-equiv single quotes")
        << page(R"(<meta http-equiv='content-type' content='text/html; charset="big5"'>)", big5Body)
        << QByteArray() << "Big5"_ba;
    QTest::newRow("meta content without http-equiv")
        << gbkPage(R"(<meta content="text/html; charset=big5">)") << QByteArray() << "gb18030"_ba;
    QTest::newRow("charset attribute beats content")
        << gbkPage(R"(<meta http-equiv=content-type content="text/html;charset=big5" charset=gbk>)")
        << QByteArray() << "GBK"_ba;
    QTest::newRow("first meta wins")
        << gbkPage("<meta charset=gbk><meta charset=big5>") << QByteArray() << "GBK"_ba;
    QTest::newRow("unknown meta label falls through")
        << page("<meta charset=nonsense><meta charset=big5>", big5Body) << QByteArray()
        << "Big5"_ba;
    QTest::newRow("meta label case and white space")
        << page(R"(<META/CHARSET=" Shift_JIS ">)", sjisBody) << QByteArray() << "Shift_JIS"_ba;
    QTest::newRow("meta utf-16 means UTF-8")
        << utf8Page("<meta charset=utf-16>") << QByteArray() << "UTF-8"_ba;
    QTest::newRow("meta x-user-defined means windows-1252")
        << page("<meta charset=x-user-defined>", "caf\xE9") << QByteArray() << "windows-1252"_ba;
    QTest::newRow("meta after 1024 bytes")
        << utf8Page(padding(1100) + "<meta charset=big5>") << QByteArray() << "UTF-8"_ba;
    QTest::newRow("meta cut by the 1024 byte window")
        << utf8Page(padding(980) + "<meta charset=big5 >") << QByteArray() << "UTF-8"_ba;
    QTest::newRow("meta just inside the window")
        << gbkPage(padding(950) + "<meta charset=gbk>") << QByteArray() << "GBK"_ba;
    QTest::newRow("meta in a comment")
        << gbkPage("<!-- <meta charset=big5> -->") << QByteArray() << "gb18030"_ba;
    QTest::newRow("meta after an empty comment")
        << page("<!--><meta charset=big5>", big5Body) << QByteArray() << "Big5"_ba;
    QTest::newRow("meta in an attribute value")
        << gbkPage(R"(<link title="<meta charset=big5>">)") << QByteArray() << "gb18030"_ba;
    QTest::newRow("XML declaration")
        << "<?xml version=\"1.0\" encoding=\"gb2312\"?>" + gbkPage() << QByteArray() << "GBK"_ba;
    QTest::newRow("UTF-16 XML declaration without BOM")
        << encoded("UTF-16LE", u"<?xml version=\"1.0\"?><p>x</p>"_s) << QByteArray()
        << "UTF-16LE"_ba;

    QTest::newRow("UTF-16LE BOM") << "\xFF\xFE" + encoded("UTF-16LE", u"<p>中文</p>"_s)
                                  << QByteArray() << "UTF-16LE"_ba;
    QTest::newRow("UTF-16BE BOM") << "\xFE\xFF" + encoded("UTF-16BE", u"<p>中文</p>"_s)
                                  << QByteArray() << "UTF-16BE"_ba;
    QTest::newRow("UTF-8 BOM beats header and meta")
        << "\xEF\xBB\xBF" + utf8Page("<meta charset=big5>") << "text/html; charset=gbk"_ba
        << "UTF-8"_ba;
}

void TestCharset::choosesEncoding() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, encoding);

    QCOMPARE(quillmere::decodeHtml(bytes, header).encoding, encoding);
    // The parser's way in chooses alike.
    QCOMPARE(quillmere::decodeHtmlToUtf8(bytes, header).encoding, encoding);
    QVERIFY(streamsAsWhole(bytes, header));
}

void TestCharset::decodesText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("text");

    const QString html = u"<!DOCTYPE html><html><head></head><body>"_s;
    const QString end = u"</body></html>"_s;

    QTest::newRow("undeclared GBK") << gbkPage() << QByteArray() << html + kChinese + end;
    QTest::newRow("Big5 by meta")
        << page("<meta charset=big5>", encoded("Big5", kTraditional)) << QByteArray()
        << u"<!DOCTYPE html><html><head><meta charset=big5></head><body>"_s + kTraditional + end;
    QTest::newRow("Shift_JIS by meta") << "<meta charset=sjis>" + encoded("Shift_JIS", kJapanese)
                                       << QByteArray() << u"<meta charset=sjis>"_s + kJapanese;
    QTest::newRow("EUC-KR by header")
        << encoded("EUC-KR", kKorean) << "text/html;charset=ks_c_5601-1987"_ba << kKorean;
    QTest::newRow("ISO-2022-JP by header") << "\x1B$BF|K\\8l$N%Z!<%8$G$9"_ba
                                           << "text/html;charset=iso-2022-jp"_ba << kJapanese;
    QTest::newRow("latin1 label is windows-1252")
        << "\x80 caf\xE9"_ba
        << "text/html;charset=iso-8859-1"_ba << u"€ café"_s;
    QTest::newRow("x-user-defined") << "a\x80\xFF"_ba
                                    << "text/html;charset=x-user-defined"_ba << u"a\uF780\uF7FF"_s;

    QTest::newRow("UTF-16LE BOM is stripped")
        << "\xFF\xFE" + encoded("UTF-16LE", u"中文"_s) << QByteArray() << u"中文"_s;
    QTest::newRow("UTF-8 BOM is stripped once") << "\xEF\xBB\xBF\xEF\xBB\xBF"
                                                   "a"_ba
                                                << QByteArray() << u"\uFEFFa"_s;

    const QByteArray utf8 = "text/html; charset=utf-8";
    QTest::newRow("UTF-8 invalid byte") << "a\xFF"
                                           "b"_ba
                                        << utf8 << u"a\uFFFDb"_s;
    QTest::newRow("UTF-8 broken sequence is one U+FFFD") << "\xE4\xB8"
                                                            "A"_ba
                                                         << utf8 << u"\uFFFDA"_s;
    QTest::newRow("UTF-8 cut short") << "a\xE4\xB8"_ba << utf8 << u"a\uFFFD"_s;
    QTest::newRow("UTF-8 surrogate") << "\xED\xA0\x80"_ba << utf8 << u"\uFFFD\uFFFD\uFFFD"_s;
    QTest::newRow("UTF-8 overlong") << "\xC0\xAF"_ba << utf8 << u"\uFFFD\uFFFD"_s;
    QTest::newRow("UTF-8 valid after an error")
        << "\xFF\xF0\x9F\x98\x80\xE4\xB8\xAD"_ba << utf8 << u"\uFFFD\U0001F600中"_s;

    QTest::newRow("GBK cut short")
        << encoded("GB18030", u"中文"_s) + '\x81' << "text/html; charset=gbk"_ba << u"中文\uFFFD"_s;
    QTest::newRow("GBK invalid byte") << "\xD6\xD0\xFF\xCE\xC4"_ba
                                      << "text/html; charset=gbk"_ba << u"中\uFFFD文"_s;
    QTest::newRow("Shift_JIS invalid byte") << "a\xA0"
                                               "b"_ba
                                            << "text/html; charset=shift_jis"_ba << u"a\uFFFDb"_s;
    QTest::newRow("Shift_JIS cut short")
        << encoded("Shift_JIS", kJapanese) + '\x93' << "text/html; charset=shift_jis"_ba
        << kJapanese + u"\uFFFD"_s;
    QTest::newRow("Shift_JIS controls")
        << "\x1A\x93\x1C\x7F\x93\xFA"_ba
        << "text/html; charset=shift_jis"_ba << u"\x1A\uFFFD\x1C\x7F日"_s;
    QTest::newRow("EUC-JP invalid byte") << "a\xFF"
                                            "b"_ba
                                         << "text/html; charset=euc-jp"_ba << u"a\uFFFDb"_s;

    QTest::newRow("UTF-16 lone surrogate") << "\xFF\xFE\x00\xD8"
                                              "A\x00"_ba
                                           << QByteArray() << u"\uFFFDA"_s;
    QTest::newRow("UTF-16 odd byte") << "\xFF\xFE"
                                        "A\x00"
                                        "B"_ba
                                     << QByteArray() << u"A\uFFFD"_s;
}

void TestCharset::decodesText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, header);
    QFETCH(QString, text);
    if (header.endsWith("iso-2022-jp") && !hasTable("ISO-2022-JP"))
        QSKIP("this system has no ISO-2022-JP table"); // Wine

    QCOMPARE(quillmere::decodeHtml(bytes, header).text, text);
    // What the parser reads is the same text, whether or not the bytes were UTF-8 already.
    QCOMPARE(quillmere::decodeHtmlToUtf8(bytes, header).text, text.toUtf8());
    QVERIFY(streamsAsWhole(bytes, header));
}

void TestCharset::undeclaredUtf8IsStrict_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("encoding");

    QTest::newRow("overlong") << "a\xC0\xAF"_ba
                              << "gb18030"_ba;
    QTest::newRow("overlong three bytes") << "\xE0\x80\xAF"_ba
                                          << "gb18030"_ba;
    QTest::newRow("surrogate") << "\xED\xA0\x80"_ba
                               << "gb18030"_ba;
    QTest::newRow("beyond U+10FFFF") << "\xF4\x90\x80\x80"_ba
                                     << "gb18030"_ba;
    QTest::newRow("cut short") << "a\xE4\xB8"_ba
                               << "gb18030"_ba;
    QTest::newRow("cut short after ASCII run") << QByteArray(1001, 'a') + '\xC3' << "gb18030"_ba;
    QTest::newRow("U+10FFFF") << "\xF4\x8F\xBF\xBF"_ba
                              << "UTF-8"_ba;
    QTest::newRow("emoji") << "\xF0\x9F\x98\x80"_ba
                           << "UTF-8"_ba;
    QTest::newRow("after ASCII run") << QByteArray(1001, 'a') + "\xC3\xA9"
                                     << "UTF-8"_ba;
}

void TestCharset::undeclaredUtf8IsStrict() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, encoding);

    QCOMPARE(quillmere::decodeHtml(bytes, {}).encoding, encoding);
    const quillmere::Utf8Page page = quillmere::decodeHtmlToUtf8(bytes, {});
    QCOMPARE(page.encoding, encoding);
    QCOMPARE(page.text, quillmere::decodeHtml(bytes, {}).text.toUtf8());
}

void TestCharset::everyEncodingKeepsAscii_data() {
    QTest::addColumn<QByteArray>("encoding");

    for (const char *name :
         {"UTF-8",        "IBM866",        "ISO-8859-2",   "ISO-8859-3",     "ISO-8859-4",
          "ISO-8859-5",   "ISO-8859-6",    "ISO-8859-7",   "ISO-8859-8",     "ISO-8859-8-I",
          "ISO-8859-10",  "ISO-8859-13",   "ISO-8859-14",  "ISO-8859-15",    "ISO-8859-16",
          "KOI8-R",       "KOI8-U",        "macintosh",    "windows-874",    "windows-1250",
          "windows-1251", "windows-1252",  "windows-1253", "windows-1254",   "windows-1255",
          "windows-1256", "windows-1257",  "windows-1258", "x-mac-cyrillic", "GBK",
          "gb18030",      "Big5",          "EUC-JP",       "ISO-2022-JP",    "Shift_JIS",
          "EUC-KR",       "x-user-defined"})
        QTest::newRow(name) << QByteArray(name);
}

void TestCharset::everyEncodingKeepsAscii() {
    QFETCH(QByteArray, encoding);

    QByteArray ascii;
    for (int c = 0; c < 0x80; ++c) {
        // Escape and the shift bytes switch ISO-2022-JP's character set.
        if (encoding != "ISO-2022-JP" || (c != 0x0E && c != 0x0F && c != 0x1B))
            ascii += char(c);
    }
    const quillmere::DecodedPage decoded =
        quillmere::decodeHtml(ascii, "text/html; charset=" + encoding);

    QCOMPARE(decoded.text, QString::fromLatin1(ascii));
    // A legacy table this Qt build and this system lack degrades to UTF-8 instead of failing.
    const bool mayLack =
        QByteArrayList{"ISO-8859-10", "ISO-8859-14", "ISO-8859-16", "ISO-2022-JP"}.contains(
            encoding);
    const bool available = !mayLack || hasTable(encoding);
    QCOMPARE(decoded.encoding, available ? encoding : "UTF-8"_ba);
}

void TestCharset::largeGbkPage() {
    // An odd-length start puts two-byte characters across the decoder's chunk boundaries.
    QString text = u"<html>\n"_s;
    const QString line = u"<p>简体中文网页，汉字编码 GBK 测试 abc</p>\n"_s;
    while (text.size() < 3'200'000)
        text += line;
    const QByteArray bytes = encoded("GB18030", text);
    QVERIFY(bytes.size() > 4'000'000);

    const quillmere::DecodedPage decoded = quillmere::decodeHtml(bytes, {});

    QCOMPARE(decoded.encoding, "gb18030"_ba);
    QCOMPARE(decoded.text.size(), text.size());
    QVERIFY(decoded.text == text);
    QVERIFY(quillmere::decodeHtmlToUtf8(bytes, {}).text == text.toUtf8());
}

void TestCharset::largeUtf8PageWithOneBadByte() {
    QByteArray bytes = u"<p>简体中文</p>\n"_s.toUtf8().repeated(100'000);
    bytes[bytes.size() - 3] = '\xFF';
    const QString text = QString::fromUtf8(bytes.first(bytes.size() - 3)) + u"\uFFFD>\n"_s;

    const quillmere::DecodedPage decoded = quillmere::decodeHtml(bytes, "text/html; charset=utf-8");

    QCOMPARE(decoded.encoding, "UTF-8"_ba);
    QVERIFY(decoded.text == text);
    QVERIFY(quillmere::decodeHtmlToUtf8(bytes, "text/html; charset=utf-8").text == text.toUtf8());
}

void TestCharset::gbkReachesTheParserAsTheConverterReadsIt_data() {
    QTest::addColumn<QByteArray>("bytes");

    // Every two-byte code, valid or not, between ASCII runs of every length mod 8.
    QByteArray everyPair;
    int n = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x30; trail <= 0xFF; ++trail) {
            everyPair += QByteArray(n++ % 9, 'a') + char(lead) + char(trail) + '<';
        }
    }
    QTest::newRow("every two-byte code") << everyPair;
    QTest::newRow("four-byte sequence") << "<p>\xB0\xA1\x81\x30\x81\x30 \x95\x32\x82\x36</p>"_ba;
    QTest::newRow("euro byte") << "<p>\x80 100</p>"_ba;
    QTest::newRow("0xFF") << "<p>\xFF</p>"_ba;
    QTest::newRow("cut short") << "<p>\xB0\xA1\xB0"_ba;
    QTest::newRow("ASCII trail") << "<p>\x81\x40\x81\x7F</p>"_ba;
    // Past the point where a stream settles on GBK, then something only the converter reads.
    const QByteArray pairs = QByteArray("\xB0\xA1\xC4\xE3"
                                        "a")
                                 .repeated(400);
    QTest::newRow("four-byte sequence late") << pairs + "\x81\x30\x81\x30" + pairs;
    QTest::newRow("cut short late") << pairs + "\xB0";
    QTest::newRow("bad trail late") << pairs + "\xB0\x20" + pairs;
    QTest::newRow("declared in the page") << "<meta charset=gbk>" + pairs + "\x81\x30\x81\x30";
}

void TestCharset::gbkReachesTheParserAsTheConverterReadsIt() {
    QFETCH(QByteArray, bytes);
    for (const QByteArray &header :
         {"text/html; charset=gbk"_ba, "text/html; charset=gb18030"_ba}) {
        const quillmere::DecodedPage decoded = quillmere::decodeHtml(bytes, header);
        const quillmere::Utf8Page utf8 = quillmere::decodeHtmlToUtf8(bytes, header);
        QCOMPARE(utf8.encoding, decoded.encoding);
        QVERIFY(utf8.text == decoded.text.toUtf8());
        QVERIFY(streamsAsWhole(bytes, header));
    }
    QVERIFY(streamsAsWhole(bytes, {})); // settled by a declaration in the page, or not at all
}

void TestCharset::encodingForLabel_data() {
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("encoding");

    const QList<std::pair<QByteArray, QByteArray>> rows = {
        {"utf-8", "UTF-8"},
        {"UTF8", "UTF-8"},
        {" \t\n\f\rUnicode-1-1-UTF-8\r\n", "UTF-8"},
        {"latin1", "windows-1252"},
        {"ISO-8859-1", "windows-1252"},
        {"us-ascii", "windows-1252"},
        {"ascii", "windows-1252"},
        {"iso-8859-9", "windows-1254"},
        {"gb2312", "GBK"},
        {"GBK", "GBK"},
        {"x-gbk", "GBK"},
        {"chinese", "GBK"},
        {"csiso58gb231280", "GBK"},
        {"gb_2312-80", "GBK"},
        {"iso-ir-58", "GBK"},
        {"gb18030", "gb18030"},
        {"big5-hkscs", "Big5"},
        {"x-x-big5", "Big5"},
        {"sjis", "Shift_JIS"},
        {"ms932", "Shift_JIS"},
        {"windows-31j", "Shift_JIS"},
        {"ms_kanji", "Shift_JIS"},
        {"ks_c_5601-1987", "EUC-KR"},
        {"windows-949", "EUC-KR"},
        {"cseucpkdfmtjapanese", "EUC-JP"},
        {"csiso2022jp", "ISO-2022-JP"},
        {"koi8_r", "KOI8-R"},
        {"koi8-ru", "KOI8-U"},
        {"x-mac-ukrainian", "x-mac-cyrillic"},
        {"tis-620", "windows-874"},
        {"logical", "ISO-8859-8-I"},
        {"iso_8859-15", "ISO-8859-15"},
        {"866", "IBM866"},
        {"utf-16", "UTF-16LE"},
        {"unicodefffe", "UTF-16BE"},
        {"x-user-defined", "x-user-defined"},
        {"iso-2022-kr", {}},
        {"hz-gb-2312", {}},
        {"replacement", {}},
        {"utf 8", {}},
        {"utf-8;", {}},
        {"gb2312x", {}},
        {"cseucpkdfmtjapanesex", {}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto &[label, encoding] : rows) {
        const QByteArray trimmed = label.trimmed();
        const QByteArray tag = label.isEmpty()     ? "(empty)"_ba
                               : trimmed.isEmpty() ? "(blank)"_ba
                               : trimmed != label  ? "padded " + trimmed
                                                   : label;
        QTest::newRow(tag.constData()) << label << encoding;
    }
}

void TestCharset::encodingForLabel() {
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, encoding);

    QCOMPARE(quillmere::encodingForLabel(label), encoding);
}

QTEST_APPLESS_MAIN(TestCharset)
#include "tst_charset.moc"
