#include "SimHeartbeat.h"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "SimXml.h"

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

// The value of an attribute, "" when absent.
const char* Value(const char** attributes, const char* wanted) {
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        const char* name = attributes[i];
        if (name[0] != wanted[0] && std::strchr(name, ':') == nullptr) continue;  // cheap and most often
        if (std::strcmp(Local(name), wanted) == 0) return attributes[i + 1];
    }
    return "";
}

std::string Attribute(const char** attributes, const char* wanted) { return Value(attributes, wanted); }

// Appends the values of `names`, each followed by a NUL.
void AppendFields(std::string& to, const char** attributes, std::initializer_list<const char*> names) {
    for (const char* name : names) to.append(Value(attributes, name)).push_back('\0');
}

// The elements the reader steers by; any other is kOther. The path from the
// root is kept as these (no string a level), since a heartbeat has some two
// hundred elements and the read is most of the simulator's work.
enum Name : unsigned char {
    kOther,
    kOvx,
    kEnvelope,
    kSource,
    kGroup,
    kBody,
    kRequest,
    kResponse,
    kAnnouncement,
    kPolicyAsk,
    kModuleList,
    kModule,
    kSchemaList,
    kSchemaInfo,
    kPolicyItem,
};

Name NameOf(const char* local) {
    static const char* const kNames[] = {"",
                                         "ovx",
                                         "message-envelope",
                                         "source",
                                         "agent-group",
                                         "message-body",
                                         "request",
                                         "response",
                                         "agent-startup-announcement",
                                         "get-policy-request",
                                         "module-list",
                                         "module",
                                         "schema-list",
                                         "schema-info",
                                         "policy-item"};
    for (size_t i = 1; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (local[0] == kNames[i][0] && std::strcmp(local, kNames[i]) == 0) return static_cast<Name>(i);
    }
    return kOther;
}

struct Reader {
    HeartbeatPost& post;
    XML_Parser parser;
    std::vector<Name> path;  // from the root down
    bool rooted = false;

    Name Up(size_t levels) const { return path.size() >= levels ? path[path.size() - levels] : kOther; }

    void Source(const char** attributes) {
        post.sourceName = Attribute(attributes, "name");
        post.sourceNamespace = Attribute(attributes, "namespace");
        post.sourceAgentId = Attribute(attributes, "agent-id");
        post.sourceIpAddress = Attribute(attributes, "ip-address");
        post.sourceHostName = Attribute(attributes, "host-name");
        post.sourceAuthToken = Attribute(attributes, "auth-token");
        post.sourceAuthHash = Attribute(attributes, "auth-hash");
    }

    // Under message-body/request: an announcement, a policy ask, or an
    // item of one of them.
    void Request(Name name, const char** attributes) {
        if (name == kAnnouncement) {
            post.announcements.push_back({Attribute(attributes, "request-id"),
                                          Attribute(attributes, "name"),
                                          Attribute(attributes, "namespace"),
                                          Attribute(attributes, "groupname-hint"),
                                          {},
                                          {}});
        } else if (name == kPolicyAsk) {
            post.policyAsks.push_back({Attribute(attributes, "request-id"), {}});
        }
    }

    void Start(const char* qualified, const char** attributes) {
        const char* local = Local(qualified);
        const Name name = NameOf(local), parent = Up(1), grand = Up(2);
        if (path.empty()) {
            rooted = name == kOvx;
        } else if (name == kEnvelope) {
            post.messageId = Attribute(attributes, "message-id");
        } else if (name == kSource && parent == kEnvelope) {
            Source(attributes);
        } else if (name == kGroup && parent == kSource) {
            post.sourceGroups.push_back(Attribute(attributes, "name"));
        } else if (parent == kRequest && grand == kBody) {
            Request(name, attributes);
        } else if (parent == kResponse && grand == kBody) {
            const std::string code = Attribute(attributes, "code");
            const unsigned long value = std::strtoul(code.c_str(), nullptr, 0);
            post.replies.push_back({local, Attribute(attributes, "request-id"), Attribute(attributes, "text"),
                                    static_cast<uint32_t>(value > UINT32_MAX ? 0 : value)});
        } else if (name == kModule && parent == kModuleList && grand == kAnnouncement && Up(3) == kRequest &&
                   Up(4) == kBody) {
            AppendFields(post.announcements.back().modules, attributes, {"name", "version"});
        } else if (name == kSchemaInfo && parent == kSchemaList && grand == kAnnouncement && Up(3) == kRequest &&
                   Up(4) == kBody) {
            AppendFields(post.announcements.back().schemas, attributes, {"namespace", "version", "name"});
        } else if (name == kPolicyItem && parent == kPolicyAsk && grand == kRequest && Up(3) == kBody) {
            post.policyAsks.back().items.push_back(
                {Attribute(attributes, "name"), Attribute(attributes, "namespace"), Attribute(attributes, "version"),
                 Attribute(attributes, "schema-version"), Attribute(attributes, "token")});
        }
        path.push_back(name);
    }
};

}  // namespace

bool ReadHeartbeat(const std::string& body, HeartbeatPost& post) {
    const XmlStart start = [](void* data, const char* name, const char** attributes) {
        static_cast<Reader*>(data)->Start(name, attributes);
    };
    const XmlEnd end = [](void* data, const char*) { static_cast<Reader*>(data)->path.pop_back(); };
    // Agents post plain XML, which the plain reader takes at a fraction of
    // the parser's cost; anything else is read again by the parser.
    {
        Reader reader{post, nullptr, {}, false};
        reader.path.reserve(16);
        if (ReadPlainXml(body.data(), body.size(), &reader, start, end) == PlainXml::kRead) {
            return reader.rooted && !post.messageId.empty();
        }
    }
    post = HeartbeatPost();
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) return false;
    Reader reader{post, parser, {}, false};
    reader.path.reserve(16);
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(parser, start, end);
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
