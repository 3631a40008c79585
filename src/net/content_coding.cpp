#include "net/content_coding.h"

#include <algorithm>
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

qsizetype ContentDecoder::decode(QByteArrayView input, QByteArray &output, qsizetype room) {
    if (!m_stream) {
        output.append(input);
        return input.size();
    }
    Stream &s = *m_stream;
    if (input.isEmpty())
        return 0;
    if (!s.started) {
        // "deflate" is meant to be zlib-wrapped, but servers also send it raw.
        const bool zlibHeader = input.size() >= 2 && (uchar(input[0]) & 0x0f) == 8 &&
                                ((uchar(input[0]) << 8) | uchar(input[1])) % 31 == 0;
        const int windowBits = s.gzip ? 15 + 16 : zlibHeader ? 15 : -15;
        if (inflateInit2(&s.z, windowBits) != Z_OK)
            return -1;
        s.started = true;
    }
    if (s.ended)
        return input.size(); // what follows a finished stream is not part of the file
    s.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.data()));
    s.z.avail_in = uInt(input.size());
    constexpr qsizetype Step = 64 * 1024;
    while (room > 0 && !s.ended) {
        const qsizetype step = std::min(room, Step);
        const qsizetype before = output.size();
        output.resize(before + step);
        s.z.next_out = reinterpret_cast<Bytef *>(output.data() + before);
        s.z.avail_out = uInt(step);
        const int result = inflate(&s.z, Z_NO_FLUSH);
        const qsizetype produced = step - qsizetype(s.z.avail_out);
        output.resize(before + produced);
        room -= produced;
        if (result == Z_STREAM_END)
            s.ended = true;
        else if (result == Z_BUF_ERROR)
            break; // nothing more to be had before more input comes
        else if (result != Z_OK)
            return -1;
        else if (s.z.avail_in == 0 && produced < step)
            break; // everything given is out
    }
    if (s.ended)
        return input.size();
    return input.size() - qsizetype(s.z.avail_in);
}

bool ContentDecoder::isComplete() const {
    return !m_stream || m_stream->ended;
}

} // namespace quillmere
