/* Bounded string helpers of the C-callable layer. Each returns 0 or 22
 * (EINVAL), never writes past the given size and leaves the destination empty
 * on failure. */
#ifndef OVX_TOOLS_C_API_STRING_H
#define OVX_TOOLS_C_API_STRING_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the formatter's count, or -1 when it reaches size (the text was cut). */
int cxsnprintf(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

int cStrCopy(char* destination, size_t size, const char* source);
int cStrCopyN(char* destination, size_t size, const char* source, size_t count);
int cStrAppend(char* destination, size_t size, const char* source);
int cStrError(char* buffer, size_t size, int errorNumber);
int cLocalTime(const time_t* when, struct tm* result);
int cFileOpen(FILE** file, const char* path, const char* mode);
/* Re-entrant tokenizer: *position keeps the place between calls. */
char* cStrTok(char* text, const char* delimiters, char** position);

#ifdef __cplusplus
}
#endif

#endif /* OVX_TOOLS_C_API_STRING_H */
