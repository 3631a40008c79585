#pragma once

// Qt for Windows is built without ICU, and its converters then know Unicode and Latin-1 only.
// There Windows' own code pages stand in for the legacy encodings, asked for by the converter
// names ICU gives them; with ICU (Linux) these answer nothing and Qt's converters are used.
// Callers ask Qt first and come here when its converter is invalid, as DecodeLegacy and
// EncodeLegacy do.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

namespace quillmere {

// `bytes` decoded from the encoding ICU calls `converter`, bytes that are no character of it
// replaced; empty when the system has no code page for it.
std::optional<QString> DecodeWithCodePage(const char *converter, QByteArrayView bytes);

// `text` encoded in the encoding ICU calls `converter`, characters it has no bytes for
// replaced; empty when the system has no code page for it.
std::optional<QByteArray> EncodeWithCodePage(const char *converter, QStringView text);

// `bytes` decoded statelessly by Qt's converter for `converter` where Qt has one, else by the
// system's code page; empty when neither knows the encoding.
std::optional<QString> DecodeLegacy(const char *converter, QByteArrayView bytes);

// `text` encoded by Qt's converter for `converter` where Qt has one, else by the system's code
// page; empty when neither knows the encoding.
std::optional<QByteArray> EncodeLegacy(const char *converter, QStringView text);

} // namespace quillmere
