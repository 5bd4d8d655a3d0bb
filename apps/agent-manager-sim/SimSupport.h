// What the simulator's parts share: conversions, files, escaping for JSON
// and HTML, and the making of CML answers.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMSUPPORT_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMSUPPORT_H

#include <cstdint>
#include <memory>
#include <string>

#include "cml/core/cmlMessage.h"
#include "cml/core/cmlParser.h"

namespace ovxSim {
namespace support {

extern const char kCmlType[];
extern const char kXmlType[];

std::string Narrow(const std::wstring& text);
std::wstring Wide(const std::string& text);
int64_t NowMs();
// Now, as an ISO 8601 time of UTC.
std::string Timestamp();
bool ReadFile(const std::string& path, std::string& out);
// Opens (with `access`: O_RDONLY or O_RDWR) a file that holds a secret and
// must be the simulator's own: a regular file, not a symbolic link, owned by
// this user, with no group or other permission bits. When absent and
// `create`, it is made (exclusively, 0600) and *made says so. The
// descriptor, or -1 with a message naming the file and the rule in *error.
int OpenOwnFile(const std::string& path, const std::string& what, int access, bool create, bool* made,
                std::string* error);
// A file name the sender chose must stay a plain name inside its folder.
bool SafeName(const std::string& name);
// <folder>/<name>.<any extension>, the first one found.
std::string FindByStem(const std::string& folder, const std::string& name);
std::string JsonText(const std::string& text);
std::string HtmlText(const std::string& text);

// A server request the agent is not expected to know.
class CSimRequest : public ovx::cml::CCmlRequest {
public:
    using CCmlRequest::CCmlRequest;
    CSimRequest* Clone() const override { return new CSimRequest(*this); }
};

// Parses XML of our own making into a DOM element and hands it to `use`.
template <class Use>
bool WithElement(const std::string& xml, Use use) {
    try {
        ovx::cml::CCmlParser parser(ovx::cml::kDoNotValidate);
        parser.ParseBuffer(xml.data(), xml.size(), ovx::cml::kDoNotValidate, nullptr);
        ovx::cml::CCmlDOM_Element root = parser.GetDocument().getDocumentElement();
        if (root.IsNull()) return false;
        use(root);
        return true;
    } catch (...) {
        return false;
    }
}

// Bytes as base64 content of a policy.
std::string Base64Content(const std::string& bytes);
// An empty message from the Agent Manager.
std::unique_ptr<ovx::cml::CCmlMessage> NewMessage();
std::string Text(const ovx::cml::CCmlDocumentBase& document);

}  // namespace support
}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMSUPPORT_H
