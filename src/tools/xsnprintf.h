// Bounded formatting: every formatting into a buffer in this system goes
// through these, so a text is always NUL-terminated and never overruns.
#ifndef OVX_TOOLS_XSNPRINTF_H
#define OVX_TOOLS_XSNPRINTF_H

#include <cstdarg>
#include <cstddef>

namespace ovxToolsLib {

// Formats into buffer[size] and always writes a NUL in the last byte. Returns
// the number of characters when they fit (fewer than size), else -1.
int xsnprintf(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int xvsnprintf(char* buffer, size_t size, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_XSNPRINTF_H
