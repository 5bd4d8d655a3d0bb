// What the simulator reads of a heartbeat, in one pass of a streaming XML
// parser (expat). A heartbeat arrives with every post; building the
// library's document tree for its modules and schemas cost the simulator
// most of its time, and none of that tree outlived the answer.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMHEARTBEAT_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMHEARTBEAT_H

#include <cstdint>
#include <string>
#include <vector>

namespace ovxSim {

struct HeartbeatPost {
    std::string messageId;
    // The sender (the envelope's source): attributes by name, and its groups.
    std::string sourceName, sourceNamespace, sourceAgentId, sourceIpAddress, sourceHostName, sourceAuthToken,
        sourceAuthHash;
    std::vector<std::string> sourceGroups;
    struct Announcement {
        std::string requestId, name, nameSpace, groupHint;
        // The inventory as it comes: each module's name and version, each
        // schema's namespace, version and name, every field followed by a
        // NUL. An agent lists the same one heartbeat after heartbeat: kept
        // so, it is compared with the last one whole and costs no string a
        // field.
        std::string modules, schemas;
    };
    std::vector<Announcement> announcements;
    struct PolicyItem {
        std::string name, nameSpace, version, schemaVersion, token;
    };
    struct PolicyAsk {
        std::string requestId;
        std::vector<PolicyItem> items;
    };
    std::vector<PolicyAsk> policyAsks;
    // The agent's answers to earlier server requests.
    struct Reply {
        std::string tag, requestId, text;
        uint32_t code = 0;
    };
    std::vector<Reply> replies;
};

// False when `body` is not a well-formed message (an "ovx" root with an
// envelope that has a message id), or declares a document type.
bool ReadHeartbeat(const std::string& body, HeartbeatPost& post);

}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMHEARTBEAT_H
