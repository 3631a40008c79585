#pragma once

// Compressed bodies the session decodes itself. It asks for gzip and deflate on its own
// (AcceptedEncodings), so libcurl hands the bytes over as they came: a compressed stream
// that ends before its end is seen as cut short (libcurl's own decoding passes such a
// body as complete when its framing is whole), and the output is made no faster than
// the reader takes it.

#include <QByteArray>
#include <QByteArrayView>
#include <limits>
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
    // Appends what `input` decodes to, until `output` has grown by `room` bytes (a byte
    // passed through is always taken). Returns how many bytes of `input` were used; the
    // rest waits for more room. -1 on bytes that are no such stream.
    qsizetype decode(QByteArrayView input, QByteArray &output, qsizetype room);
    // All of `input`; false on bytes that are no such stream.
    bool decode(QByteArrayView input, QByteArray &output) {
        return decode(input, output, std::numeric_limits<qsizetype>::max()) == input.size();
    }
    // The stream has come to its proper end (always so when passing bytes through).
    bool isComplete() const;

private:
    struct Stream;
    ContentDecoder() = default;
    std::unique_ptr<Stream> m_stream;
};

} // namespace quillmere
