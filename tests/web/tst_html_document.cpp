#include "web/html_document.h"

#include <QTest>

using namespace Qt::StringLiterals;
using quillmere::HtmlDocument;
using quillmere::HtmlElement;

namespace {

std::shared_ptr<const HtmlDocument>
parse(const QString &html, const QString &address = u"http://forum.test/t/1.html"_s) {
    return HtmlDocument::parse(html, QUrl(address));
}

const HtmlElement *byId(const HtmlDocument &doc, const QString &id) {
    for (const HtmlElement *e : doc.all()) {
        if (e->attribute(u"id") == id)
            return e;
    }
    return nullptr;
}

QStringList tagNames(const HtmlDocument &doc) {
    QStringList names;
    for (const HtmlElement *e : doc.all())
        names << e->tagName();
    return names;
}

} // namespace

class TestHtmlDocument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void allListsEveryElementInDocumentOrder() {
        const auto doc = parse(u"<title>t</title><DIV><a href=1>x</a><P><A>y</A><b>z</b></P>"_s);
        QCOMPARE(tagNames(*doc), (QStringList{u"HTML"_s, u"HEAD"_s, u"TITLE"_s, u"BODY"_s, u"DIV"_s,
                                              u"A"_s, u"P"_s, u"A"_s, u"B"_s}));
        QVERIFY(doc->body());
        QCOMPARE(doc->body()->tagName(), u"BODY"_s);
    }

    void deeplyNestedPagesStayUsable() {
        // Unclosed tags nest without end, and every walk of the tree recurses: past the
        // browsers' depth the rest must stand side by side, keeping every element and text.
        const int depth = 5'000;
        const QString html = u"<div>"_s.repeated(depth) + u"<a href=/f id=deep>x .rar</a>"_s +
                             u"<b>tail</b>"_s + u"</div>"_s.repeated(depth);
        const auto doc = parse(html);
        QCOMPARE(qsizetype(doc->all().size()), qsizetype(3 + depth + 2));
        const HtmlElement *deep = byId(*doc, u"deep"_s);
        QVERIFY(deep);
        QCOMPARE(deep->innerText(), u"x .rar"_s);
        QCOMPARE(deep->href(), u"http://forum.test/f"_s);
        QCOMPARE(doc->all().back()->tagName(), u"B"_s);
        int ancestors = 0;
        for (const HtmlElement *e = deep->parent(); e; e = e->parent())
            ++ancestors;
        QVERIFY(ancestors <= 512);
        QCOMPARE(doc->body()->innerText(), u"x .rartail"_s);
        QVERIFY(doc->body()->innerhtml().contains(u"<a href=\"/f\" id=\"deep\">x .rar</a>"_s));
    }

    void foreignElementsKeepTheirCase() {
        const auto doc = parse(u"<svg><foreignObject></foreignObject></svg><custom-tag/>"_s);
        const QStringList names = tagNames(*doc);
        QVERIFY(names.contains(u"svg"_s));
        QVERIFY(names.contains(u"foreignObject"_s));
        QVERIFY(names.contains(u"CUSTOM-TAG"_s));
    }

    void emptyDocumentStillHasABody() {
        const auto doc = parse(QString(), u"about:blank"_s);
        QCOMPARE(tagNames(*doc), (QStringList{u"HTML"_s, u"HEAD"_s, u"BODY"_s}));
        QCOMPARE(doc->body()->innerhtml(), QString());
        QCOMPARE(doc->body()->innerText(), QString());

        const auto none = HtmlDocument::empty(QUrl(u"http://forum.test/a.png"_s));
        QVERIFY(none->all().empty());
        QVERIFY(!none->body());
    }

    void innerText_data() {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");

        QTest::newRow("nested inline markup")
            << u"<a id=t href=x><b>foo</b>-<i>bar</i><span>.rar</span></a>"_s << u"foo-bar.rar"_s;
        QTest::newRow("entities") << u"<a id=t>a&amp;b&lt;&#x4E2D;&nbsp;.rar</a>"_s
                                  << u"a&b<中\u00A0.rar"_s;
        QTest::newRow("leading blank at block start")
            << u"<div><a id=t> lead.rar</a></div>"_s << u"lead.rar"_s;
        QTest::newRow("trailing blank before more text")
            << u"<div><a id=t>x.rar </a>more</div>"_s << u"x.rar "_s;
        QTest::newRow("trailing blank at block end")
            << u"<div><a id=t>x.rar </a></div>"_s << u"x.rar"_s;
        QTest::newRow("blank shared between two inlines")
            << u"<div>a <a id=t> b.rar</a></div>"_s << u"b.rar"_s;
        QTest::newRow("runs of white space")
            << u"<p><a id=t>\n   two\t\twords  .rar\n</a></p>"_s << u"two words .rar"_s;
        QTest::newRow("line breaks and paragraphs")
            << u"<div id=t>one<br>two<p>three</p><div>four</div></div>"_s
            << u"one\ntwo\n\nthree\n\nfour"_s;
        QTest::newRow("hidden content left out")
            << u"<div id=t>a<script>s()</script><style>p{}</style><template>t</template>"
               "<span hidden>h</span><span style=\"color:red; display : none\">n</span>b</div>"_s
            << u"ab"_s;
        QTest::newRow("table cells and rows")
            << u"<table id=t><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>"_s
            << u"a\tb\nc"_s;
        QTest::newRow("preformatted") << u"<pre id=t>a  b\n c</pre>"_s << u"a  b\n c"_s;
        QTest::newRow("chinese text") << u"<a id=t>  附件 一.rar </a>"_s << u"附件 一.rar"_s;
    }

    void innerText() {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        const auto doc = parse(html);
        const HtmlElement *e = byId(*doc, u"t"_s);
        QVERIFY(e);
        QCOMPARE(e->innerText(), expected);
    }

    void hiddenElementGivesItsTextContent() {
        const auto doc = parse(u"<div id=t style='display:none'>a <b>b</b></div>"_s);
        QCOMPARE(byId(*doc, u"t"_s)->innerText(), u"a b"_s);
    }

    void href_data() {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no href") << u"<a id=t>x.rar</a>"_s << QString();
        QTest::newRow("empty href")
            << u"<a id=t href=''>x.rar</a>"_s << u"http://forum.test/t/1.html"_s;
        QTest::newRow("absolute") << u"<a id=t href='https://cdn.test/f.rar'>x</a>"_s
                                  << u"https://cdn.test/f.rar"_s;
        QTest::newRow("relative") << u"<a id=t href='../attach.php?aid=7&amp;k=1'>x</a>"_s
                                  << u"http://forum.test/attach.php?aid=7&k=1"_s;
        QTest::newRow("root relative")
            << u"<a id=t href=' /a b.rar '>x</a>"_s << u"http://forum.test/a%20b.rar"_s;
        QTest::newRow("base href")
            << u"<head><base href='http://files.test/dl/'></head><a id=t href='f.rar'>x</a>"_s
            << u"http://files.test/dl/f.rar"_s;
        QTest::newRow("relative base")
            << u"<base href='/up/'><a id=t href='f.rar'>x</a>"_s << u"http://forum.test/up/f.rar"_s;
    }

    void href() {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        const auto doc = parse(html);
        QCOMPARE(byId(*doc, u"t"_s)->href(), expected);
    }

    void hrefResolvesAsQUrlDoes() {
        // Plain references beside the page take a short way; every kind must still come out
        // exactly as QUrl resolves and writes it.
        const QStringList bases{u"http://forum.test/t/1.html"_s,
                                u"http://forum.test/"_s,
                                u"http://forum.test"_s,
                                u"https://Forum.TEST:8080/a/b/?q=1#f"_s,
                                u"http://forum.test/a/../b/./t.html"_s,
                                u"http://forum.test/%2E%2E/t.html"_s,
                                u"http://user@forum.test/t%20x/1.html"_s,
                                u"ftp://forum.test/t/1.html"_s};
        const QStringList refs{u"attachment.php?aid=7&k=1"_s,
                               u"forum.php?mod=attachment&aid=MTIzfDQ1Ng=="_s,
                               u"f.rar"_s,
                               u"dir/x~y_z-w.rar"_s,
                               u"a/./b"_s,
                               u"a/../b"_s,
                               u"a/.."_s,
                               u".hidden"_s,
                               u"..x"_s,
                               u"?q=2"_s,
                               u"#f"_s,
                               u"f.rar#x"_s,
                               u"%41b"_s,
                               u"a:b"_s,
                               u"ä.rar"_s,
                               u"a b.rar"_s,
                               u"a?b?c=d/e"_s,
                               u"a//b"_s};
        for (const QString &base : bases) {
            for (const QString &ref : refs) {
                QString attribute = ref;
                attribute.replace(u'&', u"&amp;"_s);
                const auto doc = parse(u"<a id=t href=\""_s + attribute + u"\">x</a>"_s, base);
                const QString expected =
                    QString::fromUtf8(QUrl(base).resolved(QUrl(ref)).toEncoded());
                QCOMPARE(byId(*doc, u"t"_s)->href(), expected);
            }
        }
    }

    // Control characters written raw into a page are parse errors a browser keeps as they
    // are; only NUL is dropped.
    void rawControlCharactersStay() {
        const auto doc = parse(u"<a id=t title='t\u0001i' href='x'>del\u007F.rar</a>"
                               "<p id=u>next\u0085line\u000Bv</p><p id=n>nul\u0000</p>"
                               "<p id=p>\uF7FF\uE000</p>"_s);
        QCOMPARE(byId(*doc, u"t"_s)->innerText(), u"del\u007F.rar"_s);
        QCOMPARE(byId(*doc, u"t"_s)->attribute(u"title"), u"t\u0001i"_s);
        QCOMPARE(byId(*doc, u"u"_s)->innerText(), u"next\u0085line\u000Bv"_s);
        QCOMPARE(byId(*doc, u"n"_s)->innerText(), u"nul"_s); // dropped in a body, as browsers do
        QCOMPARE(byId(*doc, u"p"_s)->innerText(), u"\uF7FF\uE000"_s); // private use as written
    }

    void rawControlCharactersStayWhereverTheyStand() {
        // The page is searched for controls several bytes at a time: every position within
        // such a stride, and beside multi-byte characters, must be found alike.
        for (int pad = 0; pad < 16; ++pad) {
            const QString text = QString(pad, u'x') + u"，\u0085\u0001全\u007F"_s;
            const auto doc = parse(u"<p id=p>"_s + text + u"</p>"_s);
            QCOMPARE(byId(*doc, u"p"_s)->innerText(), text);
        }
    }

    void innerhtmlSerialisesLikeABrowser() {
        const auto doc = parse(
            u"<body><P CLASS=a title='say \"hi\" & <go>'>x &amp; y&nbsp;<BR>z &lt;b&gt;</P>"
            "<img src=i.png><!--note--><script>if (a < b) x();</script><p>myver:1.4</body>"_s);
        QCOMPARE(doc->body()->innerhtml(),
                 u"<p class=\"a\" title=\"say &quot;hi&quot; &amp; <go>\">x &amp; y&nbsp;<br>"
                 "z &lt;b&gt;</p><img src=\"i.png\"><!--note--><script>if (a < b) x();</script>"
                 "<p>myver:1.4</p>"_s);
    }
};

QTEST_GUILESS_MAIN(TestHtmlDocument)
#include "tst_html_document.moc"
