#include "SimHeartbeat.h"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace ovxSim {

namespace {

// The elements and attributes of a heartbeat are known by local name: a
// prefix, if the sender used one, is dropped (binding every namespace would
// double the cost of the read, and no two names the simulator reads differ
// only by namespace).
const char* Local(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon != nullptr ? colon + 1 : name;
}

std::string Attribute(const char** attributes, const char* wanted) {
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        if (std::strcmp(Local(attributes[i]), wanted) == 0) return attributes[i + 1];
    }
    return std::string();
}

struct Reader {
    HeartbeatPost& post;
    XML_Parser parser;
    std::vector<std::string> path;  // local names from the root down
    bool rooted = false;

    const std::string& Up(size_t levels) const {
        static const std::string kNone;
        return path.size() >= levels ? path[path.size() - levels] : kNone;
    }

    void Source(const char** attributes) {
        post.sourceName = Attribute(attributes, "name");
        post.sourceNamespace = Attribute(attributes, "namespace");
        post.sourceAgentId = Attribute(attributes, "agent-id");
        post.sourceIpAddress = Attribute(attributes, "ip-address");
        post.sourceHostName = Attribute(attributes, "host-name");
        post.sourceAuthToken = Attribute(attributes, "auth-token");
        post.sourceAuthHash = Attribute(attributes, "auth-hash");
    }

    void Start(const char* name, const char** attributes) {
        const std::string local = Local(name);
        const std::string &parent = Up(1), &grand = Up(2);
        if (path.empty()) {
            rooted = local == "ovx";
        } else if (local == "message-envelope") {
            post.messageId = Attribute(attributes, "message-id");
        } else if (local == "source" && parent == "message-envelope") {
            Source(attributes);
        } else if (local == "agent-group" && parent == "source") {
            post.sourceGroups.push_back(Attribute(attributes, "name"));
        } else if (parent == "request" && grand == "message-body") {
            if (local == "agent-startup-announcement") {
                post.announcements.push_back({Attribute(attributes, "request-id"),
                                              Attribute(attributes, "name"),
                                              Attribute(attributes, "namespace"),
                                              Attribute(attributes, "groupname-hint"),
                                              {},
                                              {}});
            } else if (local == "get-policy-request") {
                post.policyAsks.push_back({Attribute(attributes, "request-id"), {}});
            }
        } else if (parent == "response" && grand == "message-body") {
            const std::string code = Attribute(attributes, "code");
            const unsigned long value = std::strtoul(code.c_str(), nullptr, 0);
            post.replies.push_back({local, Attribute(attributes, "request-id"), Attribute(attributes, "text"),
                                    static_cast<uint32_t>(value > UINT32_MAX ? 0 : value)});
        } else if (local == "module" && parent == "module-list" && grand == "agent-startup-announcement" &&
                   Up(3) == "request" && Up(4) == "message-body") {
            post.announcements.back().modules.push_back(
                {Attribute(attributes, "name"), Attribute(attributes, "version")});
        } else if (local == "schema-info" && parent == "schema-list" && grand == "agent-startup-announcement" &&
                   Up(3) == "request" && Up(4) == "message-body") {
            post.announcements.back().schemas.push_back(
                {Attribute(attributes, "namespace"), Attribute(attributes, "version"), Attribute(attributes, "name")});
        } else if (local == "policy-item" && parent == "get-policy-request" && grand == "request" &&
                   Up(3) == "message-body") {
            post.policyAsks.back().items.push_back(
                {Attribute(attributes, "name"), Attribute(attributes, "namespace"), Attribute(attributes, "version"),
                 Attribute(attributes, "schema-version"), Attribute(attributes, "token")});
        }
        path.push_back(local);
    }
};

}  // namespace

bool ReadHeartbeat(const std::string& body, HeartbeatPost& post) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) return false;
    Reader reader{post, parser, {}, false};
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(
        parser,
        [](void* data, const char* name, const char** attributes) {
            static_cast<Reader*>(data)->Start(name, attributes);
        },
        [](void* data, const char*) { static_cast<Reader*>(data)->path.pop_back(); });
    // A heartbeat has no document type: one that declares any is refused
    // before an entity of it could be expanded.
    XML_SetStartDoctypeDeclHandler(parser, [](void* data, const char*, const char*, const char*, int) {
        XML_StopParser(static_cast<Reader*>(data)->parser, XML_FALSE);
    });
    const bool parsed = body.size() <= INT_MAX &&
                        XML_Parse(parser, body.data(), static_cast<int>(body.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return parsed && reader.rooted && !post.messageId.empty();
}

}  // namespace ovxSim
