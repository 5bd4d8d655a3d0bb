/* An agent written in plain C99 against the public header and the shared
 * library: the header must compile as C and the entries must behave before
 * SS_Init. Exits 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include "ovxSensorSvcs.h"

static int failures = 0;

static void check(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char text[256], *agentId = NULL;
    uint32_t count = 0;
    SS_HMESSAGE message = NULL;

    check(SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, text, sizeof text) == 0, "SS_GetErrorMsg returns 0");
    check(strstr(text, "[ID=0xc7560003]") != NULL, "text carries the identifier");
    check(strncmp(text, "Status ", 7) != 0, "catalog is found");
    check(SS_GetServerCount(&count) == OVX_E_NOT_INITIALIZED, "no session yet");
    check(SS_GetAgentId(&agentId) == OVX_E_NOT_INITIALIZED, "no session for the agent id");
    check(CreateHeartbeat(&message, "a", "n", "ns", "1.0", "127.0.0.1") == OVX_E_NOT_INITIALIZED,
          "builders need a session");
    check(SS_Init("4.0", "l", "c", "s", NULL, NULL) == OVX_E_INVALID_ARGUMENT, "version must begin with 5.");
    check(SS_Allocate(8) == NULL, "no allocation without a session");
    check(SS_ShutDown() == 0, "shut-down without a session");
    SS_Free(NULL);
    SS_SetMSLLibPath(NULL);
    printf("%s\n", failures == 0 ? "c99 client: all checks passed" : "c99 client: failures");
    return failures == 0 ? 0 : 1;
}
