#pragma once

// The numeric reading of classic BASIC's Val: the number a text begins with, 0 when it begins
// with none.

#include <QStringView>

namespace quillmere::release {

// Blanks, tabs and line feeds are skipped wherever they stand. A decimal number (optional
// sign, digits with at most one point, optional exponent after E or D) or a whole number
// after &H (hexadecimal) or &O (octal) is read up to the first character that cannot continue
// it. A value beyond the range of a double reads as an infinity of its sign; one too small to
// hold reads as 0.
double Val(QStringView text);

} // namespace quillmere::release
