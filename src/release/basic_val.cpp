#include "release/basic_val.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

namespace quillmere::release {

namespace {

// Walks the text the way Val reads it: blanks, tabs and line feeds do not count.
class Reader {
public:
    explicit Reader(QStringView text)
        : m_text(text) {}

    char16_t peek() {
        while (m_at < m_text.size() && isSkipped(m_text[m_at].unicode()))
            ++m_at;
        return m_at < m_text.size() ? m_text[m_at].unicode() : u'\0';
    }
    void next() { ++m_at; }

    bool take(char16_t c) {
        if (peek() != c)
            return false;
        next();
        return true;
    }
    bool takeLetter(char16_t upper) { return take(upper) || take(char16_t(upper - u'A' + u'a')); }

private:
    static bool isSkipped(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

    QStringView m_text;
    qsizetype m_at = 0;
};

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

int digitValue(char16_t c, int radix) {
    int value = radix;
    if (isDigit(c))
        value = c - u'0';
    else if (c >= u'A' && c <= u'F')
        value = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f')
        value = c - u'a' + 10;
    return value < radix ? value : -1;
}

double readWhole(Reader &reader, int radix) {
    double value = 0;
    for (int digit; (digit = digitValue(reader.peek(), radix)) >= 0; reader.next())
        value = value * radix + digit;
    return value;
}

// Reads the decimal form into plain "digits.digits[e[-]digits]" and lets from_chars do the
// correctly rounded conversion, so that "1.4" reads as exactly the double 1.4.
double readDecimal(Reader &reader) {
    std::string whole;
    std::string fraction;
    bool point = false;
    for (;; reader.next()) {
        const char16_t c = reader.peek();
        if (isDigit(c))
            (point ? fraction : whole) += char(c);
        else if (c == u'.' && !point)
            point = true;
        else
            break;
    }
    if (whole.empty() && fraction.empty())
        return 0;

    long long exponent = 0;
    const char16_t e = reader.peek();
    if (e == u'E' || e == u'e' || e == u'D' || e == u'd') {
        reader.next();
        const bool negative = reader.take(u'-');
        if (!negative)
            reader.take(u'+');
        for (char16_t c; isDigit(c = reader.peek()); reader.next())
            exponent = std::min(exponent * 10 + (c - u'0'), 1'000'000'000LL);
        if (negative)
            exponent = -exponent;
    }

    const std::string number = (whole.empty() ? std::string("0") : whole) + '.' +
                               (fraction.empty() ? std::string("0") : fraction) + 'e' +
                               std::to_string(exponent);
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the position of the first significant digit
        // tells which.
        const auto inWhole = whole.find_first_not_of('0');
        const auto inFraction = fraction.find_first_not_of('0');
        const long long order = exponent + (inWhole != std::string::npos
                                                ? static_cast<long long>(whole.size() - inWhole) - 1
                                                : -static_cast<long long>(inFraction) - 1);
        return order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return value;
}

} // namespace

double Val(QStringView text) {
    Reader reader(text);
    if (reader.take(u'&')) {
        if (reader.takeLetter(u'H'))
            return readWhole(reader, 16);
        if (reader.takeLetter(u'O'))
            return readWhole(reader, 8);
        return 0;
    }
    double sign = 1;
    if (reader.take(u'-'))
        sign = -1;
    else
        reader.take(u'+');
    return sign * readDecimal(reader);
}

} // namespace quillmere::release
