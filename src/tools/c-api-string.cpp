#include "c-api-string.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

extern "C" {

int cxsnprintf(char* buffer, size_t size, const char* format, ...) {
    if (!buffer || size == 0 || !format) return -1;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(buffer, size, format, args);
    va_end(args);
    buffer[size - 1] = '\0';
    if (written < 0 || static_cast<size_t>(written) >= size) return -1;
    return written;
}

int cStrCopy(char* destination, size_t size, const char* source) {
    if (!destination || size == 0) return EINVAL;
    destination[0] = '\0';
    if (!source) return EINVAL;
    size_t length = strnlen(source, size);
    if (length >= size) return EINVAL;
    memcpy(destination, source, length + 1);
    return 0;
}

int cStrCopyN(char* destination, size_t size, const char* source, size_t count) {
    if (!destination || size == 0) return EINVAL;
    destination[0] = '\0';
    if (!source) return EINVAL;
    size_t length = strnlen(source, count);
    if (length >= size) return EINVAL;
    memcpy(destination, source, length);
    destination[length] = '\0';
    return 0;
}

int cStrAppend(char* destination, size_t size, const char* source) {
    if (!destination || size == 0) return EINVAL;
    if (!source) {
        destination[0] = '\0';
        return EINVAL;
    }
    size_t have = strnlen(destination, size);
    size_t add = strlen(source);
    if (have >= size || add >= size - have) {
        destination[0] = '\0';
        return EINVAL;
    }
    memcpy(destination + have, source, add + 1);
    return 0;
}

int cStrError(char* buffer, size_t size, int errorNumber) {
    if (!buffer || size == 0) return EINVAL;
    char local[256];
    local[0] = '\0';
    const char* text = strerror_r(errorNumber, local, sizeof local);
    if (!text) text = "";
    size_t length = strnlen(text, size - 1);
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return 0;
}

int cLocalTime(const time_t* when, struct tm* result) {
    if (!when || !result) return EINVAL;
    return localtime_r(when, result) ? 0 : EINVAL;
}

int cFileOpen(FILE** file, const char* path, const char* mode) {
    if (!file) return EINVAL;
    *file = nullptr;
    if (!path || !mode) return EINVAL;
    *file = fopen(path, mode);
    return *file ? 0 : errno;
}

char* cStrTok(char* text, const char* delimiters, char** position) {
    if (!delimiters || !position) return nullptr;
    return strtok_r(text, delimiters, position);
}

}  // extern "C"
