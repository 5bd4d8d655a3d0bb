// The heartbeat of a typical agent, as the benchmarks and the end-to-end
// tests post it: 50 modules, 100 schemas (with the 8 the heartbeat lists
// itself), 20 policy items; about 20 KB once the library adds the group
// settings request. Built through the public header only.
#ifndef OVX_TESTS_SUPPORT_TYPICALHEARTBEAT_H
#define OVX_TESTS_SUPPORT_TYPICALHEARTBEAT_H

#include <string>

#include "ovxSensorSvcs.h"

namespace ovxTest {

// Null when the library refuses the agent's details.
inline SS_HMESSAGE TypicalHeartbeat(const char* agentId, const char* agentName, const char* hostName,
                                    const char* domain) {
    SS_HMESSAGE heartbeat = nullptr;
    if (CreateHeartbeat(&heartbeat, agentId, agentName, "urn:sensors", "5.0.0", "127.0.0.1") != 0) return nullptr;
    SetHostInfo(heartbeat, hostName, "127.0.0.1", "Linux", 0, domain, "WORKGROUP", nullptr, nullptr);
    for (int i = 0; i < 50; ++i) AddModuleInfo(heartbeat, ("module-" + std::to_string(i)).c_str(), "1.2.3", 0, nullptr);
    for (int i = 0; i < 92; ++i)
        AddSchemaInfo(heartbeat, nullptr, ("https://schemas.example.org/xml/cml/Ext" + std::to_string(i)).c_str(),
                      "1.0.0", 0, 0, 0, 0);
    for (int i = 0; i < 20; ++i)
        AddGetPolicyRequest(heartbeat, "0", ("policy-" + std::to_string(i)).c_str(), "urn:p", nullptr, nullptr,
                            nullptr);
    return heartbeat;
}

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_TYPICALHEARTBEAT_H
