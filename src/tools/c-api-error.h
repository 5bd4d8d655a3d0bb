/* The C-callable form of the error services, used by the service library
 * loader. Identifiers are written "%8.8x" here. */
#ifndef OVX_TOOLS_C_API_ERROR_H
#define OVX_TOOLS_C_API_ERROR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 0 or the system error number of the failed open. */
int cOvxOpenCatalog(const char* directory, const char* catalogName, const char* locale);

/* Writes the text of status into buffer[size], always NUL-terminated. A buffer
 * of fewer than 12 bytes receives as much of "ErrMsgBufSz" as fits. Returns
 * buffer. */
const char* cOvxGetErrorText(uint32_t status, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* OVX_TOOLS_C_API_ERROR_H */
