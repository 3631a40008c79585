#include "web/content_coding.h"

#include <zlib.h>

namespace quillmere {

struct ContentDecoder::Stream {
    z_stream z{};
    bool started = false; // the first bytes decided between zlib-wrapped and raw deflate
    bool ended = false;
    bool gzip = false;
    ~Stream() {
        if (started)
            inflateEnd(&z);
    }
};

std::optional<ContentDecoder> ContentDecoder::forEncoding(QByteArrayView contentEncoding) {
    const QByteArray coding = contentEncoding.toByteArray().trimmed().toLower();
    ContentDecoder decoder;
    if (coding.isEmpty() || coding == "identity" || coding == "none")
        return decoder;
    if (coding != "gzip" && coding != "x-gzip" && coding != "deflate")
        return std::nullopt;
    decoder.m_stream = std::make_unique<Stream>();
    decoder.m_stream->gzip = coding != "deflate";
    return decoder;
}

ContentDecoder::ContentDecoder(ContentDecoder &&) noexcept = default;
ContentDecoder &ContentDecoder::operator=(ContentDecoder &&) noexcept = default;
ContentDecoder::~ContentDecoder() = default;

bool ContentDecoder::decode(QByteArrayView input, QByteArray &output) {
    if (!m_stream) {
        output.append(input);
        return true;
    }
    Stream &s = *m_stream;
    if (input.isEmpty())
        return true;
    if (!s.started) {
        // "deflate" is meant to be zlib-wrapped, but servers also send it raw.
        const bool zlibHeader = input.size() >= 2 && (uchar(input[0]) & 0x0f) == 8 &&
                                ((uchar(input[0]) << 8) | uchar(input[1])) % 31 == 0;
        const int windowBits = s.gzip ? 15 + 16 : zlibHeader ? 15 : -15;
        if (inflateInit2(&s.z, windowBits) != Z_OK)
            return false;
        s.started = true;
    }
    if (s.ended)
        return true; // what follows a finished stream is not part of the file
    s.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.data()));
    s.z.avail_in = uInt(input.size());
    char buffer[64 * 1024];
    while (s.z.avail_in > 0 && !s.ended) {
        s.z.next_out = reinterpret_cast<Bytef *>(buffer);
        s.z.avail_out = sizeof buffer;
        const int result = inflate(&s.z, Z_NO_FLUSH);
        output.append(buffer, qsizetype(sizeof buffer - s.z.avail_out));
        if (result == Z_STREAM_END)
            s.ended = true;
        else if (result != Z_OK && !(result == Z_BUF_ERROR && s.z.avail_out != 0))
            return false;
    }
    // Output still held back by zlib comes with the next bytes or at the stream's end.
    while (!s.ended && s.z.avail_in == 0) {
        s.z.next_out = reinterpret_cast<Bytef *>(buffer);
        s.z.avail_out = sizeof buffer;
        const int result = inflate(&s.z, Z_SYNC_FLUSH);
        const auto produced = qsizetype(sizeof buffer - s.z.avail_out);
        output.append(buffer, produced);
        if (result == Z_STREAM_END)
            s.ended = true;
        if (produced == 0 || (result != Z_OK && result != Z_STREAM_END))
            break;
    }
    return true;
}

bool ContentDecoder::isComplete() const {
    return !m_stream || m_stream->ended;
}

} // namespace quillmere
