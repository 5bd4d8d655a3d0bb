/* A small agent in C99 for the tests of an installed (or unpacked) tree: it
 * starts a session with no help from the environment (no library folder, no
 * key file, no catalog path named), posts one heartbeat, waits for the
 * server's answer and shuts down.
 *
 *   installed_agent LOCAL-PROPERTY-FILE COMM-SETTINGS-FILE
 *
 * Exits 0 when the answer came back and every step returned 0. */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "ovxSensorSvcs.h"

static volatile int answered = 0;

static uint32_t OnComplete(const char* responseTo) {
    (void)responseTo;
    answered = 1;
    return 0;
}

static int Fail(const char* step, uint32_t status) {
    char text[512];
    SS_GetErrorMsg(status, text, sizeof text);
    fprintf(stderr, "installed agent: %s failed: 0x%08x %s\n", step, (unsigned)status, text);
    return 1;
}

int main(int argc, char** argv) {
    const struct timespec pause = {0, 10 * 1000 * 1000};
    SS_HMESSAGE heartbeat = NULL;
    uint32_t status;
    int waited;
    if (argc != 3) {
        fprintf(stderr, "usage: %s LOCAL-PROPERTY-FILE COMM-SETTINGS-FILE\n", argv[0]);
        return 2;
    }
    status = SS_Init("5.0", argv[1], argv[2], "installed-agent", NULL, NULL);
    if (status != 0) return Fail("SS_Init", status);
    RegisterResponseComplete(&OnComplete);
    status = CreateHeartbeat(&heartbeat, "{installed-agent}", "installed", "urn:installed", "5.0", "127.0.0.1");
    if (status != 0) return Fail("CreateHeartbeat", status);
    status = PostHeartbeat(heartbeat, NULL, NULL);
    if (status != 0) {
        FreeHeartbeat(heartbeat);
        return Fail("PostHeartbeat", status);
    }
    for (waited = 0; waited < 1000 && !answered; ++waited) nanosleep(&pause, NULL);
    status = SS_ShutDown();
    if (status != 0) return Fail("SS_ShutDown", status);
    if (!answered) {
        fprintf(stderr, "installed agent: no answer to the heartbeat\n");
        return 1;
    }
    printf("installed agent: heartbeat answered\n");
    return 0;
}
