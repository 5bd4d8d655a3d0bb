// Destinations and their settings files: the local settings, the comm
// settings with the server list and group information, the certificate
// information the agent registers, and the group settings the server sends.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "scs/scsLibrary.h"
#include "tools/ovxSettingValue.h"
#include "tools/ovxTrace.h"
#include "tools/ovxXmlChars.h"

namespace ovxScs {
namespace {

bool IsServerSection(const std::string& name) { return name.compare(0, 7, "server.") == 0 && name.size() > 7; }

// The largest answer the local settings allow, read strictly: a value that
// is not digits or is out of range (an answer's size is told in 32 bits)
// gives the default, and a warning for the caller to write unlocked.
size_t MaxResponseOf(const IniFile& local, std::string& warning) {
    static const ovxToolsLib::ovxSettingRule kRule{"maxResponseSize", 1, UINT32_MAX, kDefaultMaxResponse};
    warning.clear();
    const std::string* limit = local.Find("scs", "maxResponseSize");
    if (limit == nullptr) return kDefaultMaxResponse;
    return static_cast<size_t>(ovxToolsLib::ReadSettingNumber(kRule, limit->c_str(), warning));
}

void WarnAboutSetting(const std::string& warning, const char* where) {
    if (!warning.empty()) Trace(SS_TRACE_WARNING, where, "%s", warning.c_str());
}

void ApplyLocalSettings(Destination& destination, State& state, size_t maxResponse) {
    destination.maxResponse = maxResponse;
    if (const std::string* file = destination.local.Find("scs", "agentIdFile")) {
        state.agentIdFile = *file;
        IniFile ids;
        if (!file->empty() && LoadIniFile(*file, ids, nullptr) == 0) {
            const std::string* id = ids.Find("agent", "id");
            const std::string* lastGood = ids.Find("agent", "lastGoodId");
            state.agentId = id != nullptr ? *id : "";
            state.lastGoodAgentId = lastGood != nullptr ? *lastGood : "";
        }
    }
}

// A group settings text fit to replace the comm settings file: it parses,
// names at least one server, and every server has an http or https url.
uint32_t CheckGroupSettingsText(const std::string& text, const char* where) {
    IniFile comm;
    int line = 0;
    uint32_t status = ParseIni(text, comm, &line);
    if (status != 0) {
        Trace(SS_TRACE_ERROR, where, "Comm settings text has a syntax error at line %d", line);
        return status;
    }
    std::vector<Server> servers;
    status = ReadCommSettings(comm, servers, nullptr, nullptr);
    if (status == 0 && servers.empty()) status = OVX_E_SCS_SETTINGS_SYNTAX;
    for (const Server& server : servers) {
        const std::string& url = server.field[kUrl];
        if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) status = OVX_E_SCS_SETTINGS_SYNTAX;
    }
    if (status != 0) {
        Trace(SS_TRACE_ERROR, where, "Comm settings text names no server, or a server without an http(s) url");
    }
    return status;
}

}  // namespace

// Servers and group information of a comm settings (or server list) file.
uint32_t ReadCommSettings(const IniFile& file, std::vector<Server>& servers, std::string* schemaVersion,
                          std::string* hint) {
    servers.clear();
    for (const auto& section : file.sections) {
        if (!IsServerSection(section.first)) continue;
        Server server;
        for (const auto& pair : section.second) {
            for (int f = 0; f < SCS_SERVER_FIELDS; ++f) {
                if (pair.first == kFieldKeys[f]) server.field[f] = pair.second;
            }
        }
        if (server.field[kUrl].empty()) return OVX_E_SCS_SETTINGS_SYNTAX;
        servers.push_back(std::move(server));
    }
    // The group values go into every heartbeat: a value XML cannot carry
    // would make each of them malformed, so the file is refused instead.
    const std::string* version = file.Find("group", "schemaVersion");
    const std::string* groupHint = file.Find("group", "groupnameHint");
    for (const std::string* value : {version, groupHint}) {
        if (value != nullptr && !ovxToolsLib::ovxIsXmlText(*value)) {
            Trace(SS_TRACE_ERROR, "ReadCommSettings()", "A [group] value holds a character XML cannot carry");
            return OVX_E_SCS_SETTINGS_SYNTAX;
        }
    }
    if (schemaVersion != nullptr) *schemaVersion = version != nullptr ? *version : "";
    if (hint != nullptr) *hint = groupHint != nullptr ? *groupHint : "";
    return 0;
}

bool FormatCommSettings(const Destination& destination, std::string& out, std::string& unwritable) {
    IniFile file;
    if (!destination.schemaVersion.empty()) file.Set("group", "schemaVersion", destination.schemaVersion);
    if (!destination.groupnameHint.empty()) file.Set("group", "groupnameHint", destination.groupnameHint);
    for (size_t i = 0; i < destination.servers.size(); ++i) {
        std::string section = "server." + std::to_string(i + 1);
        for (int f = 0; f < SCS_SERVER_FIELDS; ++f) {
            if (!destination.servers[i].field[f].empty())
                file.Set(section, kFieldKeys[f], destination.servers[i].field[f]);
        }
        if (destination.servers[i].field[kUrl].empty()) file.Set(section, "url", "");
    }
    return FormatIni(file, out, &unwritable);
}

void TraceUnwritable(const char* where, const std::string& unwritable) {
    Trace(SS_TRACE_ERROR, where, "The value of '%s' would not read back from a settings file: nothing written",
          unwritable.c_str());
}

// Pooled handles keep the transport options they were set up with (see
// ConnectionPool): every change of a server or of the certificate
// information comes through here.
void RebuildPools(Destination& destination) {
    destination.pools.clear();
    for (size_t i = 0; i < destination.servers.size(); ++i)
        destination.pools.push_back(std::make_shared<ConnectionPool>());
}

uint32_t LoadIni(const std::string& path, IniFile& file, const char* where) {
    int line = 0;
    uint32_t status = LoadIniFile(path, file, &line);
    if (status == OVX_E_SCS_SETTINGS_SYNTAX) {
        Trace(SS_TRACE_ERROR, where, "Settings file '%s' has a syntax error at line %d", path.c_str(), line);
    } else if (status != 0) {
        Trace(SS_TRACE_ERROR, where, "Settings file '%s' cannot be read", path.c_str());
    }
    return status;
}

}  // namespace ovxScs

using namespace ovxScs;

extern "C" {

uint32_t SCS_AddDestinationFiles(const char* localPropertyFile, const char* commSettingsFile, int32_t* destination) {
    if (destination == nullptr || !ValidString(localPropertyFile) || !ValidString(commSettingsFile)) {
        return OVX_E_INVALID_ARGUMENT;
    }
    *destination = -1;
    try {
        auto created = std::make_shared<Destination>();
        created->localFile = localPropertyFile;
        created->commFile = commSettingsFile;
        uint32_t status = LoadIni(created->localFile, created->local, "SCS_AddDestinationFiles()");
        if (status != 0) return status;
        IniFile comm;
        status = LoadIni(created->commFile, comm, "SCS_AddDestinationFiles()");
        if (status != 0) return status;
        status = ReadCommSettings(comm, created->servers, &created->schemaVersion, &created->groupnameHint);
        if (status != 0) return status;
        RebuildPools(*created);
        std::string warning;
        const size_t maxResponse = MaxResponseOf(created->local, warning);
        {
            std::lock_guard<std::mutex> hold(S().lock);
            if (!S().initialized) return OVX_E_SCS_NOT_INITIALIZED;
            ApplyLocalSettings(*created, S(), maxResponse);
            created->id = S().nextId++;
            S().destinations[created->id] = created;
            *destination = created->id;
        }
        WarnAboutSetting(warning, "SCS_AddDestinationFiles()");
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_AddDestination(const char*, int32_t*) { return OVX_E_SCS_NOT_SUPPORTED; }

uint32_t SCS_GetDestinationCount(uint32_t* count) {
    if (count == nullptr) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    *count = static_cast<uint32_t>(S().destinations.size());
    return 0;
}

uint32_t SCS_GetDestinations(int32_t* destinations, uint32_t* count) {
    if (count == nullptr) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    uint32_t available = static_cast<uint32_t>(S().destinations.size());
    if (destinations == nullptr || *count < available) {
        *count = available;
        return destinations == nullptr ? 0 : OVX_E_INVALID_ARGUMENT;
    }
    uint32_t i = 0;
    for (const auto& entry : S().destinations) destinations[i++] = entry.first;
    *count = available;
    return 0;
}

uint32_t SCS_RemoveDestination(int32_t destination) {
    std::lock_guard<std::mutex> hold(S().lock);
    return S().destinations.erase(destination) == 1 ? 0 : OVX_E_SCS_UNKNOWN_DESTINATION;
}

uint32_t SCS_RemoveDestinations(void) {
    std::lock_guard<std::mutex> hold(S().lock);
    S().destinations.clear();
    return 0;
}

uint32_t SCS_LoadLocalSettings(int32_t, const char*) { return OVX_E_SCS_NOT_SUPPORTED; }

// Group settings from the server arrive as a whole comm settings text. It is
// checked as strictly as a file we wrote ourselves would be, and more: it must
// parse, name at least one server, and every server must be an http or https
// url, because a text that leaves the agent without a reachable server can
// never be corrected by the server again. Only then does it replace the
// destination's comm settings file, atomically; the settings in force change
// when that file is loaded. On a failed write errno holds the system error.
uint32_t SCS_LoadCommSettings(int32_t destination, const char* text) {
    if (text == nullptr) return OVX_E_INVALID_ARGUMENT;
    const char* where = "SCS_LoadCommSettings()";
    try {
        const size_t length = strnlen(text, kMaxIniFile + 1);
        if (length > kMaxIniFile) {
            Trace(SS_TRACE_ERROR, where, "Comm settings text is larger than %zu bytes", kMaxIniFile);
            return OVX_E_SCS_SETTINGS_SYNTAX;
        }
        uint32_t status = CheckGroupSettingsText(std::string(text, length), where);
        if (status != 0) return status;
        std::string target;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            target = found->commFile;
        }
        if (target.empty()) return OVX_E_SCS_SETTINGS_WRITE;
        int error = 0;
        status = WriteFileAtomically(target, std::string(text, length), &error);
        if (status != 0) {
            Trace(SS_TRACE_ERROR, where, "Unable to write '%s' (error %d)", target.c_str(), error);
            errno = error;
        }
        return status;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_LoadLocalSettingsFile(int32_t destination, const char* path) {
    if (!ValidString(path) || *path == '\0') return OVX_E_INVALID_ARGUMENT;
    try {
        IniFile local;
        uint32_t status = LoadIni(path, local, "SCS_LoadLocalSettingsFile()");
        if (status != 0) return status;
        std::string warning;
        const size_t maxResponse = MaxResponseOf(local, warning);
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            found->local = std::move(local);
            found->localFile = path;
            ApplyLocalSettings(*found, S(), maxResponse);
        }
        WarnAboutSetting(warning, "SCS_LoadLocalSettingsFile()");
        NotifyChanged(destination);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_RetrieveLocalSettingsValue(int32_t destination, const char* section, const char* key, char** value) {
    if (value == nullptr || !ValidString(section) || !ValidString(key)) return OVX_E_INVALID_ARGUMENT;
    *value = nullptr;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        std::shared_ptr<Destination> found = FindLocked(destination);
        if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
        const std::string* text = found->local.Find(section, key);
        if (text == nullptr) return 0;  // not set: success without a value
        *value = Duplicate(*text);
        return *value != nullptr ? 0 : OVX_E_OUT_OF_MEMORY;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_LoadCommSettingsFile(int32_t destination, const char* path) {
    if (!ValidString(path) || *path == '\0') return OVX_E_INVALID_ARGUMENT;
    try {
        IniFile comm;
        uint32_t status = LoadIni(path, comm, "SCS_LoadCommSettingsFile()");
        if (status != 0) return status;
        std::vector<Server> servers;
        std::string schemaVersion, hint;
        status = ReadCommSettings(comm, servers, &schemaVersion, &hint);
        if (status != 0) {
            Trace(SS_TRACE_ERROR, "SCS_LoadCommSettingsFile()", "Settings file '%s' has a server without a url", path);
            return status;
        }
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            found->servers = std::move(servers);
            found->schemaVersion = schemaVersion;
            found->groupnameHint = hint;
            found->commFile = path;
            RebuildPools(*found);
        }
        NotifyChanged(destination);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_SaveCommSettings(int32_t destination, const char* path) {
    try {
        std::string target, content, unwritable;
        bool formatted = false;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            target = (path != nullptr && *path != '\0') ? Optional(path) : found->commFile;
            formatted = FormatCommSettings(*found, content, unwritable);
        }
        if (target.empty()) return OVX_E_INVALID_ARGUMENT;
        if (!formatted) {
            TraceUnwritable("SCS_SaveCommSettings()", unwritable);
            return OVX_E_SCS_SETTINGS_WRITE;
        }
        int error = 0;
        uint32_t status = WriteFileAtomically(target, content, &error);
        if (status != 0) {
            Trace(SS_TRACE_ERROR, "SCS_SaveCommSettings()", "Unable to write '%s' (error %d)", target.c_str(), error);
        }
        return status;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_SetGroupnameHint(int32_t destination, const char* hint) {
    // The hint goes into heartbeats: it must be text XML can carry.
    if (!ValidString(hint) || !ovxToolsLib::ovxIsXmlText(hint, std::strlen(hint))) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    std::shared_ptr<Destination> found = FindLocked(destination);
    if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
    found->groupnameHint = hint;
    return 0;
}

uint32_t SCS_GetCommSettingsInfo(int32_t destination, uint32_t, uint32_t, char** schemaVersion, char** groupnameHint) {
    if (schemaVersion != nullptr) *schemaVersion = nullptr;
    if (groupnameHint != nullptr) *groupnameHint = nullptr;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        std::shared_ptr<Destination> found = FindLocked(destination);
        if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
        if (schemaVersion != nullptr && !found->schemaVersion.empty()) *schemaVersion = Duplicate(found->schemaVersion);
        if (groupnameHint != nullptr && !found->groupnameHint.empty()) *groupnameHint = Duplicate(found->groupnameHint);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_SetLanguage(int32_t destination, const char* language) {
    if (!ValidString(language) || !IsStorableValue(language)) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    std::shared_ptr<Destination> found = FindLocked(destination);
    if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
    found->language = language;
    return 0;
}

uint32_t SCS_RegisterCertificateInfo(int32_t destination, const SS_CertificateInfo* info) {
    if (info == nullptr || info->structSize < sizeof(SS_CertificateInfo)) return OVX_E_INVALID_ARGUMENT;
    try {
        Certificate certificate;
        certificate.set = true;
        certificate.clientCertificateFile = Optional(info->clientCertificateFile);
        certificate.clientKeyFile = Optional(info->clientKeyFile);
        certificate.clientKeyPassword = Optional(info->clientKeyPassword);
        certificate.caFile = Optional(info->caFile);
        std::lock_guard<std::mutex> hold(S().lock);
        std::shared_ptr<Destination> found = FindLocked(destination);
        if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
        found->certificate = std::move(certificate);
        RebuildPools(*found);  // connections made with the old identity are not reused
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_UnregisterCertificateInfo(int32_t destination) {
    std::lock_guard<std::mutex> hold(S().lock);
    std::shared_ptr<Destination> found = FindLocked(destination);
    if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
    found->certificate = Certificate();
    RebuildPools(*found);
    return 0;
}

}  // extern "C"
