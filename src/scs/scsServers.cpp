// The server list of a destination: loading it from a file, reading,
// adding and deleting servers. Every change rebuilds the connection pools and
// tells the session, whose failover schedule counts the servers.
#include "scs/scsLibrary.h"

using namespace ovxScs;

extern "C" {

uint32_t SCS_LoadServers(int32_t destination, const char* serverListFile, uint32_t replaceExisting) {
    if (!ValidString(serverListFile) || *serverListFile == '\0') return OVX_E_INVALID_ARGUMENT;
    try {
        IniFile list;
        uint32_t status = LoadIni(serverListFile, list, "SCS_LoadServers()");
        if (status != 0) return status;
        std::vector<Server> servers;
        status = ReadCommSettings(list, servers, nullptr, nullptr);
        if (status != 0) return status;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            if (replaceExisting != 0) found->servers.clear();
            found->servers.insert(found->servers.end(), servers.begin(), servers.end());
            RebuildPools(*found);
        }
        NotifyChanged(destination);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_GetServerCount(int32_t destination, uint32_t* count) {
    if (count == nullptr) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    std::shared_ptr<Destination> found = FindLocked(destination);
    if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
    *count = static_cast<uint32_t>(found->servers.size());
    return 0;
}

uint32_t SCS_GetServerInfo(int32_t destination, int32_t index, char** name, char** url, char** caFile,
                           char** clientCertificateFile, char** clientKeyFile, char** proxy, char** proxyUser,
                           char** proxyPassword, char** site, char** description) {
    char** out[SCS_SERVER_FIELDS] = {
        name, url, caFile, clientCertificateFile, clientKeyFile, proxy, proxyUser, proxyPassword, site, description};
    for (char** slot : out) {
        if (slot == nullptr) return OVX_E_INVALID_ARGUMENT;
        *slot = nullptr;
    }
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        std::shared_ptr<Destination> found = FindLocked(destination);
        if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
        if (index < 0 || static_cast<size_t>(index) >= found->servers.size()) return OVX_E_SCS_NO_SUCH_SERVER;
        const Server& server = found->servers[static_cast<size_t>(index)];
        for (int f = 0; f < SCS_SERVER_FIELDS; ++f) {
            if (server.field[f].empty()) continue;
            *out[f] = Duplicate(server.field[f]);
            if (*out[f] == nullptr) {
                for (char** slot : out) {
                    delete[] * slot;
                    *slot = nullptr;
                }
                return OVX_E_OUT_OF_MEMORY;
            }
        }
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_AddServer(int32_t destination, int32_t position, const char* name, const char* url, const char* caFile,
                       const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                       const char* proxyUser, const char* proxyPassword, const char* site, const char* description,
                       uint8_t persist) {
    const char* in[SCS_SERVER_FIELDS] = {
        name, url, caFile, clientCertificateFile, clientKeyFile, proxy, proxyUser, proxyPassword, site, description};
    Server server;
    for (int f = 0; f < SCS_SERVER_FIELDS; ++f) {
        if (in[f] != nullptr && !ValidString(in[f])) return OVX_E_INVALID_ARGUMENT;
        server.field[f] = Optional(in[f]);
        if (!IsStorableValue(server.field[f])) return OVX_E_INVALID_ARGUMENT;
    }
    if (server.field[kUrl].empty()) return OVX_E_INVALID_ARGUMENT;
    try {
        std::string unwritable;
        bool written = true;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            std::vector<Server> servers = found->servers;
            if (position < 0 || static_cast<size_t>(position) >= servers.size()) {
                servers.push_back(server);
            } else {
                servers.insert(servers.begin() + position, server);
            }
            if (persist != 0) {
                // Persist first: a failed write leaves both the file and the list in force unchanged.
                Destination copy = *found;
                copy.servers = servers;
                std::string content;
                written = FormatCommSettings(copy, content, unwritable);
                if (written) {
                    uint32_t status = WriteFileAtomically(found->commFile, content);
                    if (status != 0) return status;
                }
            }
            if (written) {
                found->servers = std::move(servers);
                RebuildPools(*found);
            }
        }
        if (!written) {
            TraceUnwritable("SCS_AddServer()", unwritable);  // outside the lock: the sink is the agent's
            return OVX_E_SCS_SETTINGS_WRITE;
        }
        // The failover schedule counts the servers: it must hear of the change.
        NotifyChanged(destination);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_DeleteServer(int32_t destination, int32_t index) {
    try {
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            if (index < 0 || static_cast<size_t>(index) >= found->servers.size()) return OVX_E_SCS_NO_SUCH_SERVER;
            found->servers.erase(found->servers.begin() + index);
            RebuildPools(*found);
        }
        NotifyChanged(destination);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

}  // extern "C"
