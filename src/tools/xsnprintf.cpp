#include "xsnprintf.h"

#include <cstdio>

namespace ovxToolsLib {

int xvsnprintf(char* buffer, size_t size, const char* format, va_list args) {
    if (!buffer || size == 0) return -1;
    if (!format) {
        buffer[0] = '\0';
        return -1;
    }
    int written = vsnprintf(buffer, size, format, args);
    buffer[size - 1] = '\0';
    if (written < 0 || static_cast<size_t>(written) >= size) return -1;
    return written;
}

int xsnprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = xvsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

}  // namespace ovxToolsLib
