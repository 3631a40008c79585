#include "text/gb18030.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

using namespace Qt::StringLiterals;
namespace gb18030 = quillmere::gb18030;

namespace {

std::array<char, 4> bytesOf(char32_t number) {
    return {char(0x81 + number / 12600), char(0x30 + number / 1260 % 10),
            char(0x81 + number / 10 % 126), char(0x30 + number % 10)};
}

QString hex(QByteArrayView bytes) {
    return QString::fromLatin1(bytes.toByteArray().toHex(' '));
}

} // namespace

// Where the system has only code page 936 these codes stand in for the whole of GB18030, so
// a file or page must come out as ICU's converter makes and reads it.
class TestGb18030 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        if (!QStringEncoder("GB18030").isValid())
            QSKIP("no ICU to hold them against");
    }

    void everyCharacterIsWrittenAsIcuWritesIt() {
        QStringEncoder encoder("GB18030", QStringConverter::Flag::Stateless);
        QStringList wrong;
        for (char32_t c = 0; c <= 0x10FFFF && wrong.size() < 10; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            const QByteArray icu = encoder.encode(QStringView(QChar::fromUcs4(c)));
            const std::optional<std::array<char, 4>> ours = gb18030::EncodeFourBytes(c);
            const QByteArrayView written =
                ours ? QByteArrayView(ours->data(), 4) : QByteArrayView();
            if (icu.size() == 4 ? written != icu : ours.has_value())
                wrong
                    << u"U+%1: %2, not %3"_s.arg(qulonglong(c), 4, 16).arg(hex(written), hex(icu));
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u"; ")));
    }

    void everyCodeIsReadAsIcuReadsIt() {
        QStringDecoder decoder("GB18030", QStringConverter::Flag::Stateless);
        QStringList wrong;
        // The basic plane's codes, then a sample of the gap after them, of the other planes'
        // and of what follows.
        const auto check = [&](char32_t number) {
            const std::array<char, 4> bytes = bytesOf(number);
            const QString icu = decoder.decode(QByteArrayView(bytes.data(), 4));
            const std::optional<char32_t> ours = gb18030::DecodeFourBytes(bytes.data());
            const QString read =
                ours ? QStringView(QChar::fromUcs4(*ours)).toString() : u"\uFFFD"_s;
            if (read != icu && wrong.size() < 10)
                wrong << u"%1: %2, not %3"_s.arg(hex(QByteArrayView(bytes.data(), 4)), read, icu);
        };
        for (char32_t number = 0; number < 39420 + 100; ++number)
            check(number);
        for (char32_t number = 39420 + 100; number < 189000 + 0x110000; number += 97)
            check(number);
        for (char32_t number : {189000u, 189000u + 0xFFFFF, 189000u + 0x100000, 1587599u})
            check(number); // the planes' first and last, the first past them, FE 39 FE 39
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u"; ")));
    }
};

QTEST_GUILESS_MAIN(TestGb18030)
#include "tst_gb18030.moc"
