#pragma once

// Compressed bodies the download service decodes itself. It asks for gzip and deflate on
// its own (AcceptedEncodings), so Qt hands the bytes over as they came: their
// Content-Length then counts what arrives, and a compressed stream that ends before its
// end is seen as cut short. (Qt's own decoding passes such a body as complete.)

#include <QByteArray>
#include <QByteArrayView>
#include <memory>
#include <optional>

namespace quillmere {

inline constexpr char AcceptedEncodings[] = "gzip, deflate";

class ContentDecoder {
public:
    // The decoder for a Content-Encoding header; none for a coding we did not ask for.
    // No coding, "identity" and "none" (which forums send) pass the bytes as they are.
    static std::optional<ContentDecoder> forEncoding(QByteArrayView contentEncoding);

    ContentDecoder(ContentDecoder &&) noexcept;
    ContentDecoder &operator=(ContentDecoder &&) noexcept;
    ~ContentDecoder();

    bool isPassThrough() const { return !m_stream; }
    // Appends what `input` decodes to; false on bytes that are no such stream.
    bool decode(QByteArrayView input, QByteArray &output);
    // The stream has come to its proper end (always so when passing bytes through).
    bool isComplete() const;

private:
    struct Stream;
    ContentDecoder() = default;
    std::unique_ptr<Stream> m_stream;
};

} // namespace quillmere
