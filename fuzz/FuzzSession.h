// One live session for the fuzzers that feed server answers to it: settings
// files in a temporary folder, no server (anything the session wants to
// post waits in its slot), every agent callback registered.
#ifndef OVX_FUZZ_FUZZSESSION_H
#define OVX_FUZZ_FUZZSESSION_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "FuzzMemory.h"
#include "ovxSensorSvcs.h"
#include "sensor_services/SensorServices.h"
#include "transport/mslLoader.h"

namespace ovxFuzz {

inline uint32_t Schema(const char*, uint32_t, uint32_t, const char*, const char*, const char*, const char*, uint32_t,
                       const char*, const char*, uint32_t, uint8_t) {
    return 0;
}
inline uint32_t Policy(const char*, uint32_t, uint32_t, const char*, const char*, const char*, const char*, const char*,
                       uint32_t, const char*, const uint8_t*, uint32_t, uint8_t) {
    return 0;
}
inline uint32_t Generic(const char*, const char*, uint32_t, const char*, uint32_t, const char*, uint8_t) { return 0; }
inline uint32_t Complete(const char*) { return 0; }
inline uint32_t Ping(const char*, uint32_t, uint32_t, const uint8_t*, uint32_t) { return 0; }

// The session, created on first use and kept for the whole run.
inline ovxSensorServices::CSensorServices* Session() {
    static ovxSensorServices::CSensorServices* session = [] {
        char pattern[] = "/tmp/ovx-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        const std::string dir = pattern;
        std::ofstream(dir + "/local.ini") << "[scs]\nagentIdFile=" << dir << "/agent-id.ini\n";
        std::ofstream(dir + "/comm.ini") << "[group]\nschemaVersion=1.0.0\n";
        mslLoader::SetMSLLoaderLibPath(OVX_FUZZ_LIBRARY_DIR);
        ovxSensorServices::RegisterSessionFactory();
        if (SS_Init("5.0", (dir + "/local.ini").c_str(), (dir + "/comm.ini").c_str(), "fuzz", nullptr, nullptr) != 0) {
            std::fprintf(stderr, "no session\n");
            abort();
        }
        RegisterGetSchemaRequest(&Schema);
        RegisterSetSchemaRequest(&Schema);
        RegisterGetSchemaResponse(&Schema);
        RegisterSetSchemaResponse(&Schema);
        RegisterGetPolicyResponse(&Policy);
        RegisterSetPolicyResponse(&Policy);
        RegisterCommSettingsResponse(&Policy);
        RegisterGenericResponse(&Generic);
        RegisterResponseComplete(&Complete);
        RegisterPingResponse(&Ping);
        return dynamic_cast<ovxSensorServices::CSensorServices*>(ovxSensorSvcs::AcquireSession());
    }();
    return session;
}

}  // namespace ovxFuzz

#endif  // OVX_FUZZ_FUZZSESSION_H
