// The shared internals of the session configuration services library: its
// one process-wide state (destinations with their settings and servers, the
// agent id, the transfers in flight) and the helpers every part of it uses.
// The library's entries are split by what they serve: the session state
// (scsState.cpp), settings files and destinations (scsSettingsFiles.cpp),
// servers (scsServers.cpp), posting over libcurl (scsPost.cpp) and the
// entries that exist only so that the table binds (scsUnsupported.cpp).
#ifndef OVX_SCS_SCSLIBRARY_H
#define OVX_SCS_SCSLIBRARY_H

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ovxStatus.h"
#include "scs/ovxSessionConfigSvcs.h"
#include "scs/scsSettings.h"

#define OVX_SCS_EXPORT __attribute__((visibility("default")))

extern "C" {
#define OVX_SCS_DECLARE(result, name, params) OVX_SCS_EXPORT result name params;
OVX_SCS_FUNCTIONS(OVX_SCS_DECLARE)
OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_DECLARE)
#undef OVX_SCS_DECLARE
}

namespace ovxScs {

// The largest answer accepted unless the local settings say otherwise. A
// heartbeat answer carries group settings (at most 1 MiB of text), policies
// and schemas the agent asked for: a few hundred kB in the field, 16 MiB with
// room to spare. Processing an answer may take up to eight times its size
// (the XML parser alone takes six to seven times a large attribute), so the
// default bounds that at about 150 MB.
constexpr size_t kDefaultMaxResponse = 16u * 1024 * 1024;
constexpr uint32_t kDefaultConnectTimeoutMs = 30000;
// A server that accepts and then never answers must not hold a post, and
// with it every heartbeat behind it, for ever.
constexpr uint32_t kDefaultTransferTimeoutMs = 300000;
constexpr size_t kMaxArgument = 4095;

enum ServerField {
    kName,
    kUrl,
    kCaFile,
    kClientCert,
    kClientKey,
    kProxy,
    kProxyUser,
    kProxyPassword,
    kSite,
    kDescription
};
inline constexpr const char* kFieldKeys[SCS_SERVER_FIELDS] = {
    "name",          "url",  "caFile",     "clientCertificateFile", "clientKeyFile", "proxy", "proxyUser",
    "proxyPassword", "site", "description"};

struct Server {
    std::string field[SCS_SERVER_FIELDS];
};

// Idle easy handles of one server. Each handle keeps its own connection
// alive, so consecutive posts reuse it and concurrent posts each get one.
// A pool is rebuilt whenever its server's settings or the certificate
// information change (RebuildPools), so every handle in it was set up for
// the same transport: one taken again keeps its transport options, and only
// the request's options are set again (every one of them, each time).
class ConnectionPool {
public:
    ~ConnectionPool() {
        for (CURL* handle : m_idle) curl_easy_cleanup(handle);
    }
    // `reused` tells a handle set up by an earlier post from a new one.
    CURL* Take(bool& reused) {
        std::lock_guard<std::mutex> hold(m_lock);
        reused = !m_idle.empty();
        if (!reused) return curl_easy_init();
        CURL* handle = m_idle.back();
        m_idle.pop_back();
        return handle;
    }
    // Short of memory, the handle is closed rather than kept.
    void Give(CURL* handle) {
        try {
            std::lock_guard<std::mutex> hold(m_lock);
            m_idle.push_back(handle);
        } catch (const std::bad_alloc&) {
            curl_easy_cleanup(handle);
        }
    }

private:
    std::mutex m_lock;
    std::vector<CURL*> m_idle;
};

struct Certificate {
    bool set = false;
    std::string clientCertificateFile, clientKeyFile, clientKeyPassword, caFile;
};

struct Destination {
    int32_t id = -1;
    std::string localFile, commFile;
    IniFile local;
    std::vector<Server> servers;
    std::vector<std::shared_ptr<ConnectionPool>> pools;  // parallel to servers
    std::string schemaVersion, groupnameHint, language;
    Certificate certificate;
    size_t maxResponse = kDefaultMaxResponse;
};

struct State {
    std::mutex lock;
    bool initialized = false;
    // SCS_Init calls not yet matched by SCS_ShutDown: a session that ends
    // while the next one has started must not take the new one's state.
    int sessions = 0;
    // Read without the lock by every trace line, from any thread.
    std::atomic<SS_TraceSink*> trace{nullptr};
    std::string userAgent;
    std::map<int32_t, std::shared_ptr<Destination>> destinations;
    int32_t nextId = 1;
    std::vector<std::pair<SCS_SettingsChangedFn, void*>> callbacks;
    std::string agentIdFile, agentId, lastGoodAgentId;
    std::string libraryDirectory, signatureExtension;
    // Transfers in progress; shut-down aborts them and waits for them.
    std::atomic<bool> stopping{false};
    int inFlight = 0;
    std::condition_variable idle;
};

// Never destroyed: a post of a session that SS_ShutDown gave up waiting for
// may still be inside libcurl (whose progress callback reads this state) while
// the process exits. The library is linked nodelete, so a later load finds
// this same state again; the last SCS_ShutDown empties it.
State& S();

// libcurl's global set-up, once per process; false when it failed.
bool CurlReady();

void Trace(uint32_t level, const char* where, const char* format, ...) __attribute__((format(printf, 3, 4)));

// An argument string of at most kMaxArgument bytes.
bool ValidString(const char* text);
// The text of a valid argument string, empty otherwise.
std::string Optional(const char* text);
// A copy the caller frees with SCS_Free(); NULL when memory is short.
char* Duplicate(const std::string& text);

// The destination with `id`, or none; S().lock is held.
std::shared_ptr<Destination> FindLocked(int32_t id);
// Calls the settings-changed callbacks for `id`, outside every lock.
void NotifyChanged(int32_t id);

// Servers and group information of a comm settings (or server list) file.
uint32_t ReadCommSettings(const IniFile& file, std::vector<Server>& servers, std::string* schemaVersion,
                          std::string* hint);
// Reads a settings file, tracing why it cannot be read under `where`.
uint32_t LoadIni(const std::string& path, IniFile& file, const char* where);
// The text of a comm settings file naming the destination's servers; false
// and the offending key in *unwritable when a value would not read back.
bool FormatCommSettings(const Destination& destination, std::string& out, std::string& unwritable);
// Traces under `where` why a settings file was not written.
void TraceUnwritable(const char* where, const std::string& unwritable);
// One pool per server: called whenever the server list changes.
void RebuildPools(Destination& destination);

// Counts a transfer in flight for as long as it lives: shut-down waits for
// the count to reach zero.
class InFlight {
public:
    InFlight();
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

}  // namespace ovxScs

#endif  // OVX_SCS_SCSLIBRARY_H
