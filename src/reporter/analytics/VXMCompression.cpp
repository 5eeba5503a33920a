#include "reporter/analytics/VXMCompression.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include "platform/core/FullIO.h"

namespace {

constexpr size_t kChunk = 5120;

}  // namespace

int VXMCompressionGZipSrcToDest(int source, int destination) {
    z_stream stream{};
    // Window bits 15 + 16: the gzip wrapper; memory level 4.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 4, Z_DEFAULT_STRATEGY) != Z_OK)
        return -1;
    unsigned char in[kChunk];
    unsigned char out[kChunk];
    int result = -1;
    for (;;) {
        ssize_t n = ::read(source, in, sizeof in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = in;
        stream.avail_in = static_cast<uInt>(n);
        // Deflate until this input is consumed (and, at the end, until the
        // stream is finished): incompressible data yields more than a buffer.
        int status;
        do {
            stream.next_out = out;
            stream.avail_out = sizeof out;
            status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR) break;
            if (!platform::writeFully(destination, out, sizeof out - stream.avail_out)) {
                status = Z_STREAM_ERROR;
                break;
            }
        } while (stream.avail_out == 0);
        if (status == Z_STREAM_ERROR || stream.avail_in != 0) break;
        if (flush == Z_FINISH) {
            if (status == Z_STREAM_END) result = 0;
            break;
        }
    }
    deflateEnd(&stream);
    return result;
}
