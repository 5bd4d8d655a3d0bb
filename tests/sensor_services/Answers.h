// Server answers as the Agent Manager writes them, and a recorder for the
// agent callbacks they reach.
#ifndef OVX_TESTS_SENSOR_SERVICES_ANSWERS_H
#define OVX_TESTS_SENSOR_SERVICES_ANSWERS_H

#include <mutex>
#include <utility>

#include "tools/ovxDigest.h"

namespace ovxTest {

inline const std::string kBase = "https://schemas.example.org/xml";
inline const std::string kMessageNs = kBase + "/cml/Message";
inline const std::string kAgentNs = kBase + "/cml/Message/AgentMessages";
inline const std::string kPolicyNs = kBase + "/cml/Message/PolicyMessages";
inline const std::string kSchemaNs = kBase + "/cml/Message/SchemaMessages";
inline const std::string kTaskNs = kBase + "/cml/Message/TaskMessages";
inline const std::string kGroupSettingsNs = kBase + "/cml/CommonDocuments/GroupSettings";
inline const std::string kBase64Ns = kBase + "/cml/CommonDocuments/Base64Binary";
inline const std::string kDestination = "<destination name='sensor' namespace='urn:sensors' agent-id='{agent}'/>";

// A whole answer message: the destination, then the requests and responses
// of the body (either may be empty).
inline std::string Answer(const std::string& requests, const std::string& responses,
                          const std::string& destination = kDestination, const std::string& responseTo = "hb-1") {
    std::string body;
    if (!requests.empty()) body += "<request>" + requests + "</request>";
    if (!responses.empty()) body += "<response>" + responses + "</response>";
    return "<?xml version='1.0' encoding='UTF-8'?><ovx xmlns='" + kBase + "' schema-version='1.0.1'><cml xmlns='" +
           kMessageNs +
           "' schema-version='1.0.0'><message-envelope broadcast='false' message-id='answer-1' response-to='" +
           responseTo + "'><source name='AgentManager'/>" + destination + "<message-body>" + body +
           "</message-body></message-envelope></cml></ovx>";
}

// One document of a body: tag, namespace, request id, attributes and content.
inline std::string Doc(const std::string& tag, const std::string& ns, const std::string& id,
                       const std::string& content = "", const std::string& attributes = "") {
    return "<" + tag + " xmlns='" + ns + "' schema-version='1.0.0' request-id='" + id + "'" + attributes + ">" +
           content + "</" + tag + ">";
}

// A policy-item carrying Base64 content (with the line layout a server's
// pretty printer gives it).
inline std::string Base64Item(const std::string& ns, const std::string& token, const std::string& bytes,
                              const std::string& name = "") {
    return "<policy-item" + (name.empty() ? std::string() : " name='" + name + "'") + " namespace='" + ns +
           "' schema-version='1.0.0' token='" + token + "'><content xmlns='" + kBase64Ns + "'>\n    " +
           ovxToolsLib::ovxBase64Encode(bytes.data(), bytes.size()) + "\n</content></policy-item>";
}

inline std::string GroupSettingsAnswer(const std::string& token, const std::string& settings) {
    return Answer("", Doc("get-policy-response", kPolicyNs, "gs-1", Base64Item(kGroupSettingsNs, token, settings)));
}

// An answer carrying one policy whose content is a single attribute of
// `bytes` bytes.
inline std::string LargePolicyAnswer(const std::string& id, size_t bytes) {
    return Answer("", Doc("get-policy-response", kPolicyNs, id,
                          "<policy-item name='large' namespace='urn:large' schema-version='1.0.0' token='1'><policy "
                          "xmlns='urn:large' blob='" +
                              std::string(bytes, 'x') + "'/></policy-item>"));
}

// Every call of an agent callback, as text, in order. Add gives 0, what a
// callback that records returns.
struct Recorder {
    std::mutex lock;
    std::vector<std::string> calls;
    uint32_t Add(const std::string& call) {
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(call);
        return 0;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(calls, {});
    }
    size_t Size() {
        std::lock_guard<std::mutex> hold(lock);
        return calls.size();
    }
};

inline std::string Str(const char* text) { return text == nullptr ? "(null)" : text; }
inline std::string Str(const char* text, uint32_t size) { return text == nullptr ? "(null)" : std::string(text, size); }

}  // namespace ovxTest

#endif  // OVX_TESTS_SENSOR_SERVICES_ANSWERS_H
