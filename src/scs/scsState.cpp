// The session state of the service library: start and shut-down, the agent
// id, settings-changed callbacks, message texts and the state every other
// part reads.
#include <pthread.h>

#include <cstdarg>
#include <cstring>
#include <new>
#include <type_traits>

#include "scs/scsLibrary.h"
#include "tools/c-api-error.h"
#include "tools/ovxTrace.h"
#include "tools/xsnprintf.h"

// Every entry is defined with exactly the type the loader binds.
#define OVX_SCS_CHECK(result, name, params) \
    static_assert(std::is_same<decltype(&name), name##_fn>::value, #name " has the wrong type");
OVX_SCS_FUNCTIONS(OVX_SCS_CHECK)
OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_CHECK)
#undef OVX_SCS_CHECK

namespace ovxScs {

namespace {
// fork() copies one thread: the state's lock is held across the copy so
// that the child never finds it held by a thread it does not have.
void LockForFork() { S().lock.lock(); }
void UnlockAfterFork() { S().lock.unlock(); }
}  // namespace

State& S() {
    static State* state = [] {
        auto* created = new State();
        pthread_atfork(&LockForFork, &UnlockAfterFork, &UnlockAfterFork);
        return created;
    }();
    return *state;
}

namespace {
std::once_flag g_curlOnce;
CURLcode g_curlStatus = CURLE_OK;

// Writes both ids to the agent id file. osError is set when the write
// itself failed, unwritable when an id would not read back (one kept from
// the file can be); the caller traces either once S().lock is released,
// since the trace sink is the agent's.
uint32_t SaveAgentIdsLocked(State& state, const std::string& id, const std::string& lastGood, int& osError,
                            std::string& unwritable) {
    osError = 0;
    if (state.agentIdFile.empty()) return 0;
    IniFile file;
    file.Set("agent", "id", id);
    file.Set("agent", "lastGoodId", lastGood);
    std::string content;
    if (!FormatIni(file, content, &unwritable)) return OVX_E_SCS_SETTINGS_WRITE;
    return WriteFileAtomically(state.agentIdFile, content, &osError);
}

// Sets the agent id, or the last good one, and writes both to the file.
uint32_t SetAgentIdAndSave(const char* agentId, bool lastGood) {
    const char* where = lastGood ? "SCS_SetLastGoodAgentId()" : "SCS_SetAgentId()";
    std::string file, unwritable;
    int error = 0;
    uint32_t status = 0;
    {
        std::lock_guard<std::mutex> hold(S().lock);
        State& state = S();
        // Only an id kept in a file is bound by what the file can hold.
        if (!state.agentIdFile.empty() && !IsStorableValue(agentId)) return OVX_E_INVALID_ARGUMENT;
        status = lastGood ? SaveAgentIdsLocked(state, state.agentId, agentId, error, unwritable)
                          : SaveAgentIdsLocked(state, agentId, state.lastGoodAgentId, error, unwritable);
        if (status == 0) (lastGood ? state.lastGoodAgentId : state.agentId) = agentId;
        file = state.agentIdFile;
    }
    if (!unwritable.empty()) {
        TraceUnwritable(where, unwritable);
    } else if (status == OVX_E_SCS_SETTINGS_WRITE) {
        Trace(SS_TRACE_ERROR, where, "Unable to write the agent id file '%s' (error %d)", file.c_str(), error);
    }
    return status;
}
}  // namespace

bool CurlReady() {
    std::call_once(g_curlOnce, [] { g_curlStatus = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return g_curlStatus == CURLE_OK;
}

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

std::shared_ptr<Destination> FindLocked(int32_t id) {
    auto it = S().destinations.find(id);
    return it == S().destinations.end() ? nullptr : it->second;
}

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

InFlight::InFlight() {
    std::lock_guard<std::mutex> hold(S().lock);
    ++S().inFlight;
}

InFlight::~InFlight() {
    std::lock_guard<std::mutex> hold(S().lock);
    if (--S().inFlight == 0) S().idle.notify_all();
}

}  // namespace ovxScs

using namespace ovxScs;

extern "C" {

void* SCS_Allocate(uint32_t size) { return new (std::nothrow) char[size == 0 ? 1 : size]; }
void SCS_Free(void* pointer) { delete[] static_cast<char*>(pointer); }

uint32_t SCS_Init(const char* version, const char* sessionString1, const char* sessionString2, SS_TraceSink* trace) {
    if (version == nullptr || std::strncmp(version, "5.", 2) != 0 || !ValidString(sessionString1)) {
        return OVX_E_INVALID_ARGUMENT;
    }
    if (!CurlReady()) return OVX_E_SCS_TRANSPORT;
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
        return SetAgentIdAndSave(agentId, false);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_SetLastGoodAgentId(const char* agentId) {
    if (!ValidString(agentId)) return OVX_E_INVALID_ARGUMENT;
    try {
        return SetAgentIdAndSave(agentId, true);
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

}  // extern "C"
