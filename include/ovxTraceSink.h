/*
 * The trace sink an agent gives to SS_Init(): where the library's trace
 * lines go. A header of its own, below the public header, so that the
 * library's lower layers (threads, the service library, the signature check)
 * know the sink without knowing the session's interface.
 */
#ifndef OVX_TRACE_SINK_H
#define OVX_TRACE_SINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SS_TRACE_ERROR 0x00000001u
#define SS_TRACE_WARNING 0x00000002u
#define SS_TRACE_PROGRESS 0x00000008u
#define SS_TRACE_LOADER 0x80000000u

/* write(context, level, text, where): called only for levels in levelMask.
 * `where` names the operation, e.g. "ovxSensorSvcs::SS_Init()". The result is
 * ignored. The structure is not copied: keep it alive until SS_ShutDown()
 * returns; from then on nothing of that session writes to it (not even a
 * thread the shut-down gave up waiting for), so it may be freed. */
typedef uint32_t (*SS_TraceWriteFn)(uint32_t context, uint32_t level, const char* text, const char* where);

typedef struct SS_TraceSink {
    uint32_t context;
    uint32_t levelMask;
    SS_TraceWriteFn write;
} SS_TraceSink;

#ifdef __cplusplus
}
#endif

#endif /* OVX_TRACE_SINK_H */
