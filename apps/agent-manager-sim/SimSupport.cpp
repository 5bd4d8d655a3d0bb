#include "SimSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"

using namespace ovx::cml;

namespace ovxSim {
namespace support {

extern const char kCmlType[];
extern const char kXmlType[];
const char kCmlType[] = "application/x-ovx-cml-data; charset=UTF-8";
const char kXmlType[] = "application/x-ovx-xml-data; charset=UTF-8";

std::string Narrow(const std::wstring& text) { return ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(text); }
std::wstring Wide(const std::string& text) { return ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text.c_str()); }

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int OpenOwnFile(const std::string& path, const std::string& what, int access, bool create, bool* made,
                std::string* error) {
    const std::string rule = what + " " + path +
                             " must be a regular file (not a symbolic link) owned by the user running the simulator "
                             "(uid " +
                             std::to_string(geteuid()) + ") with no permission bits for group or others (0600)";
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return -1;
    };
    if (made != nullptr) *made = false;
    // O_EXCL: a file that someone else made in the meantime is never taken
    // for a new one of ours.
    int descriptor = create ? open(path.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600) : -1;
    if (descriptor >= 0) {
        if (made != nullptr) *made = true;
        return descriptor;
    }
    if (create && errno != EEXIST) return fail("cannot make " + what + " " + path + ": " + std::strerror(errno));
    descriptor = open(path.c_str(), access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        return fail(errno == ELOOP ? rule : "cannot open " + what + " " + path + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & 077) != 0) {
        close(descriptor);
        return fail(rule);
    }
    return descriptor;
}

// A file name the sender chose must stay a plain name inside its folder.
bool SafeName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name[0] == '.') return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ' '))
            return false;
    }
    return true;
}

// <folder>/<name>.<any extension>, the first one found.
std::string FindByStem(const std::string& folder, const std::string& name) {
    if (folder.empty() || !SafeName(name)) return "";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return "";
    std::string found;
    while (dirent* entry = readdir(dir)) {
        std::string file = entry->d_name;
        if (file.compare(0, name.size() + 1, name + ".") == 0) {
            found = folder + "/" + file;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string HtmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Base64Content(const std::string& bytes) {
    return "<content xmlns='" + Narrow(kNsBase64Binary) + "'>" +
           ovxToolsLib::ovxBase64Encode(bytes.data(), bytes.size()) + "</content>";
}

std::unique_ptr<CCmlMessage> NewMessage() {
    std::unique_ptr<CCmlDocumentBase> document(
        GetGlobalClassFactory()->CreateDocument(kCmlBaseUri, kVersionRoot, kTagOvx, kMatchExact));
    std::unique_ptr<CCmlMessage> message(dynamic_cast<CCmlMessage*>(document.get()));
    if (message) document.release();
    if (!message) throw std::runtime_error("no message class");
    message->SetMessageId(Wide(ovxToolsLib::ovxNewGuidText()));
    message->GetSource().SetName(L"AgentManager");
    message->GetSource().SetNamespace(kNsAgentManager);
    return message;
}

std::string Text(const CCmlDocumentBase& document) {
    std::ostringstream out;
    document.Serialize(out);
    return out.str();
}

}  // namespace support
}  // namespace ovxSim
