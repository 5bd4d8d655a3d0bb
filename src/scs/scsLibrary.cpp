// The session configuration services library: destinations with their
// settings files and server lists, the agent id, and HTTP(S) posting with
// libcurl. Exports the 81 entries of ovxSessionConfigSvcs.h.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "ovxStatus.h"
#include "scs/ovxSessionConfigSvcs.h"
#include "scs/scsSettings.h"
#include "tools/c-api-error.h"
#include "tools/ovxTrace.h"
#include "tools/ovxXmlChars.h"
#include "tools/xsnprintf.h"

#define OVX_SCS_EXPORT __attribute__((visibility("default")))

extern "C" {
#define OVX_SCS_DECLARE(result, name, params) OVX_SCS_EXPORT result name params;
OVX_SCS_FUNCTIONS(OVX_SCS_DECLARE)
#undef OVX_SCS_DECLARE
}

// Every entry is defined below with exactly the type the loader binds.
#define OVX_SCS_CHECK(result, name, params) \
    static_assert(std::is_same<decltype(&name), name##_fn>::value, #name " has the wrong type");
OVX_SCS_FUNCTIONS(OVX_SCS_CHECK)
#undef OVX_SCS_CHECK

namespace ovxScs {
namespace {

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
const char* const kFieldKeys[SCS_SERVER_FIELDS] = {"name",          "url",        "caFile",    "clientCertificateFile",
                                                   "clientKeyFile", "proxy",      "proxyUser", "proxyPassword",
                                                   "site",          "description"};

struct Server {
    std::string field[SCS_SERVER_FIELDS];
};

// Idle easy handles of one server. Each handle keeps its own connection
// alive, so consecutive posts reuse it and concurrent posts each get one.
class ConnectionPool {
public:
    ~ConnectionPool() {
        for (CURL* handle : m_idle) curl_easy_cleanup(handle);
    }
    CURL* Take() {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_idle.empty()) return curl_easy_init();
        CURL* handle = m_idle.back();
        m_idle.pop_back();
        curl_easy_reset(handle);  // options go, the live connection stays
        return handle;
    }
    void Give(CURL* handle) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_idle.push_back(handle);
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
State& S() {
    static State* state = new State();
    return *state;
}

std::once_flag g_curlOnce;
CURLcode g_curlStatus = CURLE_OK;

void Trace(uint32_t level, const char* where, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Trace(uint32_t level, const char* where, const char* format, ...) {
    SS_TraceSink* sink = S().trace.load();
    if (!ovxToolsLib::TraceWanted(sink, level)) return;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    ovxToolsLib::xvsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    sink->write(sink->context, level, text, where);
}

bool ValidString(const char* text) { return text != nullptr && strnlen(text, kMaxArgument + 1) <= kMaxArgument; }
std::string Optional(const char* text) { return ValidString(text) ? text : std::string(); }

char* Duplicate(const std::string& text) {
    char* copy = new (std::nothrow) char[text.size() + 1];
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool IsServerSection(const std::string& name) { return name.compare(0, 7, "server.") == 0 && name.size() > 7; }

// What a connection test to `url` uses, the same as a post to it would: the
// CA, client certificate and proxy of the configured server with that url,
// if one is, and the certificate information the agent registered for its
// destination. A url no destination knows keeps only its own text and the
// registered certificate information of the first destination.
void TestSettingsFor(const std::string& url, Server& server, Certificate& certificate) {
    std::lock_guard<std::mutex> hold(S().lock);
    for (const auto& entry : S().destinations) {
        for (const Server& known : entry.second->servers) {
            if (known.field[kUrl] == url) {
                server = known;
                certificate = entry.second->certificate;
                return;
            }
        }
    }
    if (!S().destinations.empty()) certificate = S().destinations.begin()->second->certificate;
}

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

std::string FormatCommSettings(const Destination& destination) {
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
    return FormatIni(file);
}

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

void ApplyLocalSettings(Destination& destination, State& state) {
    destination.maxResponse = kDefaultMaxResponse;
    if (const std::string* limit = destination.local.Find("scs", "maxResponseSize")) {
        char* end = nullptr;
        unsigned long long value = std::strtoull(limit->c_str(), &end, 10);
        if (end != limit->c_str() && *end == '\0' && value > 0) destination.maxResponse = static_cast<size_t>(value);
    }
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

// Calls the settings-changed callbacks for `id`, outside every lock.
void NotifyChanged(int32_t id) {
    std::vector<std::pair<SCS_SettingsChangedFn, void*>> callbacks;
    {
        std::lock_guard<std::mutex> hold(S().lock);
        callbacks = S().callbacks;
    }
    for (const auto& callback : callbacks) {
        try {
            callback.first(id);
        } catch (...) {
        }
    }
}

std::shared_ptr<Destination> FindLocked(int32_t id) {
    auto it = S().destinations.find(id);
    return it == S().destinations.end() ? nullptr : it->second;
}

uint32_t SaveAgentIdsLocked(State& state, const std::string& id, const std::string& lastGood) {
    if (state.agentIdFile.empty()) return 0;
    if (!IsStorableValue(id) || !IsStorableValue(lastGood)) return OVX_E_INVALID_ARGUMENT;
    IniFile file;
    file.Set("agent", "id", id);
    file.Set("agent", "lastGoodId", lastGood);
    int error = 0;
    uint32_t status = WriteFileAtomically(state.agentIdFile, FormatIni(file), &error);
    if (status != 0) {
        Trace(SS_TRACE_ERROR, "SCS_SetAgentId()", "Unable to write the agent id file '%s' (error %d)",
              state.agentIdFile.c_str(), error);
    }
    return status;
}

// ---- posting --------------------------------------------------------------

struct Response {
    std::vector<uint8_t> body;
    size_t limit = kDefaultMaxResponse;
    bool tooLarge = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<Response*>(user);
    size_t length = size * count;
    if (length > response->limit - response->body.size()) {
        response->tooLarge = true;
        return 0;  // aborts the transfer
    }
    response->body.insert(response->body.end(), data, data + length);
    return length;
}

int Progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return S().stopping.load() ? 1 : 0; }

// What the TLS layer saw during the calling thread's current transfer (a
// transfer runs on its caller's thread): whether the server asked for a
// client certificate, and whether it sent an alert.
thread_local bool t_certificateRequested = false;
thread_local bool t_alertReceived = false;

void WatchTls(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_READ_ALERT) != 0) t_alertReceived = true;
    if ((where & SSL_CB_CONNECT_LOOP) != 0 && SSL_get_state(ssl) == TLS_ST_CR_CERT_REQ) t_certificateRequested = true;
}

CURLcode WatchTlsOf(CURL*, void* context, void*) {
    SSL_CTX_set_info_callback(static_cast<SSL_CTX*>(context), &WatchTls);
    return CURLE_OK;
}

// Whether a transfer that failed while writing or reading was ended by the
// server's TLS layer. A server that requires a client certificate the agent
// did not present refuses it in the handshake under TLS 1.2, but only after
// the handshake under TLS 1.3: with the "certificate required" alert, which
// the agent reads, or, when the server closed before the request was
// written, as a broken connection right after it asked for a certificate.
// Both are the same failure of the secure connection.
bool EndedByTls(CURL* handle) {
    const char* scheme = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr) return false;
    if (strcasecmp(scheme, "https") != 0) return false;
    long headerBytes = 0;
    curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
    return headerBytes == 0 && (t_alertReceived || t_certificateRequested);
}

uint32_t MapResult(CURLcode code, CURL* handle, const Response& response) {
    if (response.tooLarge || code == CURLE_FILESIZE_EXCEEDED) return OVX_E_SCS_RESPONSE_TOO_LARGE;
    switch (code) {
        case CURLE_OK: {
            long http = 0;
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http);
            if (http >= 200 && http < 300) return 0;
            if (http == 503) return OVX_E_SCS_SERVER_BUSY;
            if (http == 429) return OVX_I_SCS_BACK_OFF;
            return OVX_E_SCS_HTTP_STATUS;
        }
        case CURLE_COULDNT_CONNECT: return OVX_E_SCS_CONNECTION_REFUSED;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return OVX_E_SCS_NAME_NOT_RESOLVED;
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t connected = 0;
            curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
            return connected == 0 ? OVX_E_SCS_CONNECT_TIMEOUT : OVX_E_SCS_TRANSFER_TIMEOUT;
        }
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE: return OVX_E_SCS_CERTIFICATE_REJECTED;
        case CURLE_SSL_CERTPROBLEM: return OVX_E_SCS_CLIENT_CERTIFICATE;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED: return OVX_E_SCS_TLS_FAILURE;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING: return EndedByTls(handle) ? OVX_E_SCS_TLS_FAILURE : OVX_E_SCS_TRANSPORT;
        default: return OVX_E_SCS_TRANSPORT;
    }
}

std::string JoinUrl(const std::string& base, const char* path) {
    std::string url = base;
    if (path == nullptr || *path == '\0') return url;
    if (!url.empty() && url.back() == '/' && path[0] == '/') url.pop_back();
    if (!url.empty() && url.back() != '/' && path[0] != '/') url += '/';
    return url + path;
}

// Options common to posts and connection tests.
void SetTransportOptions(CURL* handle, const Server& server, const Certificate& certificate, char* errorBuffer) {
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string& caFile = !server.field[kCaFile].empty() ? server.field[kCaFile] : certificate.caFile;
    if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    const std::string& cert =
        !server.field[kClientCert].empty() ? server.field[kClientCert] : certificate.clientCertificateFile;
    const std::string& key = !server.field[kClientKey].empty() ? server.field[kClientKey] : certificate.clientKeyFile;
    if (!cert.empty()) curl_easy_setopt(handle, CURLOPT_SSLCERT, cert.c_str());
    if (!key.empty()) curl_easy_setopt(handle, CURLOPT_SSLKEY, key.c_str());
    if (!certificate.clientKeyPassword.empty()) {
        curl_easy_setopt(handle, CURLOPT_KEYPASSWD, certificate.clientKeyPassword.c_str());
    }
    // An empty proxy also keeps the process environment's proxy variables
    // from redirecting the agent's traffic.
    curl_easy_setopt(handle, CURLOPT_PROXY, server.field[kProxy].c_str());
    if (!server.field[kProxyUser].empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, server.field[kProxyUser].c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, server.field[kProxyPassword].c_str());
    }
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &WatchTlsOf);
    t_certificateRequested = false;
    t_alertReceived = false;
}

class InFlight {
public:
    InFlight() {
        std::lock_guard<std::mutex> hold(S().lock);
        ++S().inFlight;
    }
    ~InFlight() {
        std::lock_guard<std::mutex> hold(S().lock);
        if (--S().inFlight == 0) S().idle.notify_all();
    }
};

uint32_t ConnectOnly(const Server& server, const Certificate& certificate, uint32_t timeoutMs) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) return OVX_E_OUT_OF_MEMORY;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    SetTransportOptions(handle, server, certificate, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_URL, server.field[kUrl].c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(timeoutMs != 0 ? timeoutMs : kDefaultConnectTimeoutMs));
    Response unused;
    CURLcode code = curl_easy_perform(handle);
    uint32_t status = code == CURLE_OK ? 0 : MapResult(code, handle, unused);
    curl_easy_cleanup(handle);
    return status;
}

}  // namespace
}  // namespace ovxScs

using namespace ovxScs;

extern "C" {

void* SCS_Allocate(uint32_t size) { return new (std::nothrow) char[size == 0 ? 1 : size]; }
void SCS_Free(void* pointer) { delete[] static_cast<char*>(pointer); }

uint32_t SCS_Init(const char* version, const char* sessionString1, const char* sessionString2, SS_TraceSink* trace) {
    if (version == nullptr || std::strncmp(version, "5.", 2) != 0 || !ValidString(sessionString1)) {
        return OVX_E_INVALID_ARGUMENT;
    }
    std::call_once(g_curlOnce, [] { g_curlStatus = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (g_curlStatus != CURLE_OK) return OVX_E_SCS_TRANSPORT;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        S().trace = trace;
        // Session string 1 names the agent in the User-Agent header; string 2 is
        // an optional free-form detail appended to it.
        S().userAgent = std::string("ovxSessionConfigSvcs/5.9 ") + sessionString1;
        if (ValidString(sessionString2) && *sessionString2 != '\0') S().userAgent += std::string(" ") + sessionString2;
        S().initialized = true;
        ++S().sessions;
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_ShutDown(void) {
    try {
        State& state = S();
        std::unique_lock<std::mutex> hold(state.lock);
        if (state.sessions > 1) {
            --state.sessions;
            return 0;
        }
        state.sessions = 0;
        state.stopping = true;
        state.idle.wait(hold, [&] { return state.inFlight == 0; });
        state.destinations.clear();
        state.callbacks.clear();
        state.agentIdFile.clear();
        state.agentId.clear();
        state.lastGoodAgentId.clear();
        state.trace = nullptr;
        state.initialized = false;
        state.stopping = false;
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

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
        std::lock_guard<std::mutex> hold(S().lock);
        if (!S().initialized) return OVX_E_SCS_NOT_INITIALIZED;
        ApplyLocalSettings(*created, S());
        created->id = S().nextId++;
        S().destinations[created->id] = created;
        *destination = created->id;
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
        IniFile comm;
        int line = 0;
        uint32_t status = ParseIni(std::string(text, length), comm, &line);
        if (status != 0) {
            Trace(SS_TRACE_ERROR, where, "Comm settings text has a syntax error at line %d", line);
            return status;
        }
        std::vector<Server> servers;
        status = ReadCommSettings(comm, servers, nullptr, nullptr);
        if (status == 0 && servers.empty()) status = OVX_E_SCS_SETTINGS_SYNTAX;
        for (const Server& server : servers) {
            const std::string& url = server.field[kUrl];
            if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0)
                status = OVX_E_SCS_SETTINGS_SYNTAX;
        }
        if (status != 0) {
            Trace(SS_TRACE_ERROR, where, "Comm settings text names no server, or a server without an http(s) url");
            return status;
        }
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
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            found->local = std::move(local);
            found->localFile = path;
            ApplyLocalSettings(*found, S());
        }
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
        std::string target, content;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            target = (path != nullptr && *path != '\0') ? Optional(path) : found->commFile;
            content = FormatCommSettings(*found);
        }
        if (target.empty()) return OVX_E_INVALID_ARGUMENT;
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
        std::string target, content;
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
                int error = 0;
                uint32_t status = WriteFileAtomically(found->commFile, FormatCommSettings(copy), &error);
                if (status != 0) return status;
            }
            found->servers = std::move(servers);
            RebuildPools(*found);
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

uint32_t SCS_RegisterSettingsChanged(SCS_SettingsChangedFn callback, void* context) {
    if (callback == nullptr) return OVX_E_INVALID_ARGUMENT;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        S().callbacks.emplace_back(callback, context);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_UnregisterSettingsChanged(SCS_SettingsChangedFn callback) {
    std::lock_guard<std::mutex> hold(S().lock);
    auto& callbacks = S().callbacks;
    // One registration per call: two sessions may register the same function.
    for (auto it = callbacks.begin(); it != callbacks.end(); ++it) {
        if (it->first == callback) {
            callbacks.erase(it);
            break;
        }
    }
    return 0;
}

uint32_t SCS_GetAgentId(char** agentId) {
    if (agentId == nullptr) return OVX_E_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> hold(S().lock);
    *agentId = S().agentId.empty() ? nullptr : Duplicate(S().agentId);
    return 0;
}

uint32_t SCS_SetAgentId(const char* agentId) {
    if (!ValidString(agentId)) return OVX_E_INVALID_ARGUMENT;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        uint32_t status = SaveAgentIdsLocked(S(), agentId, S().lastGoodAgentId);
        if (status == 0) S().agentId = agentId;
        return status;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_SetLastGoodAgentId(const char* agentId) {
    if (!ValidString(agentId)) return OVX_E_INVALID_ARGUMENT;
    try {
        std::lock_guard<std::mutex> hold(S().lock);
        uint32_t status = SaveAgentIdsLocked(S(), S().agentId, agentId);
        if (status == 0) S().lastGoodAgentId = agentId;
        return status;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_PostData(int32_t destination, int32_t serverIndex, const char* urlPath, uint32_t, const char* contentType,
                      const uint8_t* body, uint32_t bodyLength, const uint32_t* timeouts, uint8_t** response,
                      uint32_t* responseLength) {
    if (response == nullptr || responseLength == nullptr || (body == nullptr && bodyLength != 0) ||
        !ValidString(urlPath) || (contentType != nullptr && !ValidString(contentType))) {
        return OVX_E_INVALID_ARGUMENT;
    }
    *response = nullptr;
    *responseLength = 0;
    try {
        InFlight counted;
        Server server;
        Certificate certificate;
        std::shared_ptr<ConnectionPool> pool;
        std::string language, userAgent;
        size_t limit;
        {
            std::lock_guard<std::mutex> hold(S().lock);
            if (!S().initialized || S().stopping) return OVX_E_SCS_NOT_INITIALIZED;
            std::shared_ptr<Destination> found = FindLocked(destination);
            if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
            if (serverIndex < 0 || static_cast<size_t>(serverIndex) >= found->servers.size()) {
                return OVX_E_SCS_BAD_SERVER_INDEX;
            }
            server = found->servers[static_cast<size_t>(serverIndex)];
            pool = found->pools[static_cast<size_t>(serverIndex)];
            certificate = found->certificate;
            language = found->language;
            userAgent = S().userAgent;
            limit = found->maxResponse;
        }
        SCS_Timeouts given{0, 0, 60000, 0};
        if (timeouts != nullptr) std::memcpy(&given, timeouts, sizeof(given));

        CURL* handle = pool->Take();
        if (handle == nullptr) return OVX_E_OUT_OF_MEMORY;
        char errorBuffer[CURL_ERROR_SIZE] = {0};
        SetTransportOptions(handle, server, certificate, errorBuffer);
        std::string url = JoinUrl(server.field[kUrl], urlPath);
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body != nullptr ? reinterpret_cast<const char*>(body) : "");
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
        curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent.c_str());
        curl_easy_setopt(
            handle, CURLOPT_CONNECTTIMEOUT_MS,
            static_cast<long>(given.connectTimeout != 0 ? given.connectTimeout : kDefaultConnectTimeoutMs));
        curl_easy_setopt(
            handle, CURLOPT_TIMEOUT_MS,
            static_cast<long>(given.transferTimeout != 0 ? given.transferTimeout : kDefaultTransferTimeoutMs));
        curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, static_cast<long>(given.dnsCacheTimeout / 1000));
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
        Response answer;
        answer.limit = limit;
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
        struct curl_slist* headers = nullptr;
        std::string typeHeader =
            std::string("Content-Type: ") + (contentType != nullptr ? contentType : "application/octet-stream");
        headers = curl_slist_append(headers, typeHeader.c_str());
        headers = curl_slist_append(headers, "Expect:");
        std::string languageHeader = "Accept-Language: " + language;
        if (!language.empty()) headers = curl_slist_append(headers, languageHeader.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);

        CURLcode code = curl_easy_perform(handle);
        uint32_t status = MapResult(code, handle, answer);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        if (code == CURLE_OK) {
            pool->Give(handle);
        } else {
            curl_easy_cleanup(handle);  // a failed connection is not worth keeping
        }
        if (status != 0) {
            Trace(SS_TRACE_ERROR, "SCS_PostData()", "Post to '%s' failed: %s", url.c_str(),
                  errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
            return status;
        }
        if (!answer.body.empty()) {
            auto* copy = new (std::nothrow) uint8_t[answer.body.size()];
            if (copy == nullptr) return OVX_E_OUT_OF_MEMORY;
            std::memcpy(copy, answer.body.data(), answer.body.size());
            *response = copy;
            *responseLength = static_cast<uint32_t>(answer.body.size());
        }
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_TestCommSettings(const char* serverUrl, uint32_t timeoutMs, const char*) {
    if (!ValidString(serverUrl) || *serverUrl == '\0') return OVX_E_INVALID_ARGUMENT;
    std::call_once(g_curlOnce, [] { g_curlStatus = curl_global_init(CURL_GLOBAL_DEFAULT); });
    try {
        Server server;
        server.field[kUrl] = serverUrl;
        Certificate certificate;
        TestSettingsFor(serverUrl, server, certificate);
        return ConnectOnly(server, certificate, timeoutMs);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs, const char*) {
    if (!ValidString(commSettingsFile) || *commSettingsFile == '\0') return OVX_E_INVALID_ARGUMENT;
    std::call_once(g_curlOnce, [] { g_curlStatus = curl_global_init(CURL_GLOBAL_DEFAULT); });
    try {
        IniFile comm;
        uint32_t status = LoadIni(commSettingsFile, comm, "SCS_TestCommSettingsFile()");
        if (status != 0) return status;
        std::vector<Server> servers;
        status = ReadCommSettings(comm, servers, nullptr, nullptr);
        if (status != 0) return status;
        if (servers.empty()) return OVX_E_SCS_NO_SERVERS;
        Server unused;
        Certificate certificate;
        TestSettingsFor(servers.front().field[kUrl], unused, certificate);
        return ConnectOnly(servers.front(), certificate, timeoutMs);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_GetErrorMsg(uint32_t code, char* buffer, uint32_t size) {
    if (buffer == nullptr || size < 2) return OVX_E_INVALID_ARGUMENT;
    static std::once_flag catalogOnce;
    std::call_once(catalogOnce, [] { cOvxOpenCatalog(nullptr, "ovx-ZuviDevi", ""); });
    cOvxGetErrorText(code, buffer, size);
    return 0;
}

uint32_t SCS_SERVER_GetErrorMsg(uint32_t code, char* buffer, uint32_t size) {
    return SCS_GetErrorMsg(code, buffer, size);
}

void SCS_SetMSLLibPath(const char* directory) {
    if (directory == nullptr) return;
    std::lock_guard<std::mutex> hold(S().lock);
    S().libraryDirectory = Optional(directory);
}

void SCS_SetMSLExtSigFileExtension(const char* extension) {
    if (extension == nullptr) return;
    std::lock_guard<std::mutex> hold(S().lock);
    S().signatureExtension = Optional(extension);
}

// The listener side, signed files and header helpers are not part of this
// library; they exist so that every entry of the table binds.
uint32_t SCS_SERVER_Init(const char*, const char*, const char*, SS_TraceSink*) { return OVX_E_SCS_NOT_SUPPORTED; }
uint32_t SCS_SERVER_AddListenerFiles(const char*, const char*, int32_t* listener) {
    if (listener != nullptr) *listener = -1;
    return OVX_E_SCS_NOT_SUPPORTED;
}
uint32_t SCS_SERVER_RemoveListener(int32_t) { return OVX_E_SCS_NOT_SUPPORTED; }

#define OVX_SCS_UNSUPPORTED(name) \
    uint32_t name(void) { return OVX_E_SCS_NOT_SUPPORTED; }
OVX_SCS_UNSUPPORTED(SCS_HttpPostData)
OVX_SCS_UNSUPPORTED(SCS_PostDataFile)
OVX_SCS_UNSUPPORTED(SCS_HttpPostDataFile)
OVX_SCS_UNSUPPORTED(SCS_VerifySignedFileEx)
OVX_SCS_UNSUPPORTED(SCS_VerifySignedFile)
OVX_SCS_UNSUPPORTED(SCS_VerifyAuthenticodeFile)
OVX_SCS_UNSUPPORTED(SCS_StripSignedFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_ShutDown)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetAgentId)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetLastGoodAgentId)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadLocalSettingsFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterSettingsChanged)
OVX_SCS_UNSUPPORTED(SCS_SERVER_UnregisterSettingsChanged)
OVX_SCS_UNSUPPORTED(SCS_SERVER_StartServer)
OVX_SCS_UNSUPPORTED(SCS_SERVER_AddListener)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListenerCount)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListeners)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RemoveListeners)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadLocalSettings)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RetrieveLocalSettingsValue)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListenerSettingsInfo)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadListenerSettings)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadListenerSettingsFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterOnPostData)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterOnGetFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetRequestHeader)
OVX_SCS_UNSUPPORTED(SCS_SERVER_AddResponseHeader)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetHttpStatus)
OVX_SCS_UNSUPPORTED(SCS_SERVER_StopServer)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersNew)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersFree)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersClear)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersAdd)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersAddLine)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersGet)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationBegin)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationEnd)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationNext)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationGet)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersCopy)
#undef OVX_SCS_UNSUPPORTED

}  // extern "C"
