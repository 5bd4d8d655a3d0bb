// gzip encoding through zlib, for the bodies of compressed posts and their
// answers. In a library of its own (ovxToolsGzip): only what compresses
// links zlib.
#ifndef OVX_TOOLS_OVXGZIP_H
#define OVX_TOOLS_OVXGZIP_H

#include <cstddef>
#include <string>

namespace ovxToolsLib {

// `size` bytes at `data` gzip-encoded into `out`; false when zlib fails.
bool Gzip(const void* data, size_t size, std::string& out);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXGZIP_H
