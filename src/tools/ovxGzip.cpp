#include "tools/ovxGzip.h"

#include <zlib.h>

namespace ovxToolsLib {

bool Gzip(const void* data, size_t size, std::string& out) {
    if (size > 0xFFFFFFFFu) return false;  // zlib counts in 32 bits
    z_stream stream{};
    // 15 + 16: the largest window, with a gzip header and trailer.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.resize(deflateBound(&stream, static_cast<uLong>(size)));
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END;
}

}  // namespace ovxToolsLib
