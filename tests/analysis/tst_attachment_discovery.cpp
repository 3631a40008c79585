#include "analysis/attachment_discovery.h"
#include "analysis/attachment_entry.h"
#include "web/html_document.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

class TestAttachmentDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findsTheAttachmentLinksOfAPage_data() {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QStringList>("entries");
        const QString W = u"[等待中]"_s;
        QTest::newRow("absolute address, document order")
            << u"<a href='/b/2'>b.rar</a><p><A HREF='http://cdn.example/a'>a.rar</A>"_s
            << QStringList{u"http://bbs.example/b/2__b.rar"_s + W,
                           u"http://cdn.example/a__a.rar"_s + W};
        QTest::newRow("letter case of the text counts")
            << u"<a href=x>one.RAR</a><a href=y>two.Rar</a><a href=z>three.rar&nbsp;</a>"_s
            << QStringList{};
        QTest::newRow("no address") << u"<a>x.rar</a>"_s << QStringList{u"__x.rar"_s + W};
        QTest::newRow("only the suffix")
            << u"<a href=s>.rar</a>"_s << QStringList{u"http://bbs.example/t/s__.rar"_s + W};
        QTest::newRow("duplicates stay") << u"<a href=d>d.rar</a><a href=d>d.rar</a>"_s
                                         << QStringList{u"http://bbs.example/t/d__d.rar"_s + W,
                                                        u"http://bbs.example/t/d__d.rar"_s + W};
        QTest::newRow("rendered text, not markup")
            << u"<a href=r><b>资料</b>\n  包.rar</a>"_s
            << QStringList{u"http://bbs.example/t/r__资料 包.rar"_s + W};
        QTest::newRow("other elements never count")
            << u"<span>s.rar</span><div>d.rar</div><abbr>x.rar</abbr>"_s << QStringList{};
    }
    void findsTheAttachmentLinksOfAPage() {
        QFETCH(QString, html);
        QFETCH(QStringList, entries);
        const auto document =
            HtmlDocument::parse(html, QUrl(u"http://bbs.example/t/thread-1-1-1.html"_s));
        QStringList found;
        for (const EntryParts &link : DiscoverAttachments(*document))
            found.append(MakeEntry(link.address, link.linkText));
        QCOMPARE(found, entries);
    }

    void aDocumentWithoutElementsHasNone() {
        const auto document = HtmlDocument::empty(QUrl(u"http://bbs.example/a.txt"_s));
        QVERIFY(DiscoverAttachments(*document).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAttachmentDiscovery)
#include "tst_attachment_discovery.moc"
