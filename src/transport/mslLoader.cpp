#include "transport/mslLoader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "integrity/ovxIntegrity.h"
#include "ovxStatus.h"
#include "tools/c-api-error.h"
#include "tools/c-api-lock.h"
#include "tools/ovxInstallLayout.h"
#include "tools/ovxTrace.h"
#include "tools/xsnprintf.h"
#include "tools/ovxForkHold.h"

namespace mslLoader {
namespace {

constexpr size_t kPathBound = 4096;

// Written by the agent before SS_Init (see the header's calling order); the
// mutex only keeps concurrent misuse from tearing the strings.
// Never destroyed, like everything a late session thread may reach.
std::mutex g_settingsLock;
const ovxToolsLib::ovxForkHold g_settingsForkHold(g_settingsLock, ovxToolsLib::ovxForkRank::kLeaf);
std::string& g_LoaderLibPath = *new std::string();
std::string& g_externalSigExtension = *new std::string();
bool g_bExternalFileSigExtSet = false;

std::atomic<SS_TraceSink*> g_trace{nullptr};

// Every loader lock, for the cleanup: a fixed table, filled while the
// library loads.
constexpr size_t kMaxLoaderLocks = 4;
LoaderLock* g_allLocks[kMaxLoaderLocks] = {};
size_t g_lockCount = 0;

// Never destroyed: a late session thread may still load while the process
// exits.
LoaderLock& g_loaderLock = *new LoaderLock(
    {"mslLoader::mslLoaderLock()", "mslLoader::mslLoaderUnlock()", "mslLoader::mslLoaderDestroyLock()"});
std::once_flag g_cryptoOnce;
uint32_t g_cryptoStatus = 0;

const char* Bool(bool value) { return value ? "TRUE" : "FALSE"; }

std::string Bounded(const char* text) {
    std::string value = text != nullptr ? text : "";
    if (value.size() >= kPathBound) value.resize(kPathBound - 1);
    return value;
}

std::string ErrorText(uint32_t status) {
    char text[512];
    cOvxGetErrorText(status, text, sizeof(text));
    return text;
}

// The descriptor numbers whose "/proc/self/fd/N" names were given to the
// dynamic loader. A library that stays mapped (ours are linked nodelete)
// keeps its name, and the loader hands an already loaded library back to
// a caller asking for that name again, whatever file it names now. Used under
// the loader lock; never destroyed, like the mappings it describes.
std::set<int>& UsedLoadNames() {
    static std::set<int>* names = new std::set<int>();
    return *names;
}

// `fd`, or a duplicate above every number used for a load before.
int NameNeverLoaded(int fd) {
    const std::set<int>& used = UsedLoadNames();
    if (used.count(fd) == 0) return fd;
    const int fresh = fcntl(fd, F_DUPFD_CLOEXEC, *used.rbegin() + 1);
    if (fresh < 0) return fd;
    close(fd);
    return fresh;
}

// A verified copy that was loaded, kept open: its name stays the name the
// dynamic loader knows it by, and the same bytes verified again are loaded
// from it rather than mapped once more. Used under the loader lock; never
// destroyed, like the mappings.
struct LoadedCopy {
    int fd;
    dev_t device;
    ino_t inode;
    off_t size;
};
std::vector<LoadedCopy>& LoadedCopies() {
    static std::vector<LoadedCopy>* copies = new std::vector<LoadedCopy>();
    return *copies;
}

bool SameBytes(int first, int second, size_t size) {
    void* a = mmap(nullptr, size, PROT_READ, MAP_SHARED, first, 0);
    if (a == MAP_FAILED) return false;
    void* b = mmap(nullptr, size, PROT_READ, MAP_SHARED, second, 0);
    const bool same = b != MAP_FAILED && std::memcmp(a, b, size) == 0;
    if (b != MAP_FAILED) munmap(b, size);
    munmap(a, size);
    return same;
}

// The kept copy holding exactly the bytes of `verified`, or -1. A kept
// descriptor that no longer is the copy (an agent that closed descriptors it
// did not open) is forgotten.
int LoadedCopyOf(int verified) {
    struct stat info {};
    if (fstat(verified, &info) != 0 || info.st_size <= 0) return -1;
    std::vector<LoadedCopy>& copies = LoadedCopies();
    for (auto copy = copies.begin(); copy != copies.end();) {
        struct stat kept {};
        if (fstat(copy->fd, &kept) != 0 || kept.st_dev != copy->device || kept.st_ino != copy->inode) {
            copy = copies.erase(copy);
            continue;
        }
        if (copy->size == info.st_size && SameBytes(copy->fd, verified, static_cast<size_t>(info.st_size))) {
            return copy->fd;
        }
        ++copy;
    }
    return -1;
}

// Opens the verified copy `verified` (closed here), or the kept copy of the
// same bytes, under a name the dynamic loader has only ever known for them.
uint32_t OpenVerified(int verified, cLibHandle* handle) {
    const int kept = LoadedCopyOf(verified);
    int loaded = kept;
    if (kept >= 0) {
        close(verified);
    } else {
        loaded = NameNeverLoaded(verified);
    }
    char openName[64];
    ovxToolsLib::xsnprintf(openName, sizeof(openName), "/proc/self/fd/%d", loaded);
    const uint32_t status = cLibLoadLibrary(handle, openName);
    if (kept >= 0) return status;
    struct stat info {};
    if (status != 0 || fstat(loaded, &info) != 0) {
        if (status == 0) UsedLoadNames().insert(loaded);
        close(loaded);
        return status;
    }
    UsedLoadNames().insert(loaded);
    LoadedCopies().push_back(LoadedCopy{loaded, info.st_dev, info.st_ino, info.st_size});
    return 0;
}

}  // namespace

void Trace(uint32_t level, const char* where, const char* format, ...) {
    SS_TraceSink* sink = g_trace.load();
    if (!ovxToolsLib::TraceWanted(sink, level)) return;
    char text[kPathBound + 512];
    va_list arguments;
    va_start(arguments, format);
    ovxToolsLib::xvsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    sink->write(sink->context, level, text, where);
}

void SetMSLLoaderLibPath(const char* path) {
    std::string value = Bounded(path);
    if (!value.empty() && value.back() != '/') {
        if (value.size() + 1 >= kPathBound) value.pop_back();
        value += '/';
    }
    {
        std::lock_guard<std::mutex> hold(g_settingsLock);
        g_LoaderLibPath = value;
    }
    Trace(SS_TRACE_PROGRESS, "mslLoader::SetMSLLoaderLibPath()", "g_LoaderLibPath set to: '%s'", value.c_str());
}

void SetMSLLoaderExtSigFileExtension(const char* extension) {
    std::string value = Bounded(extension);
    bool flag;
    {
        std::lock_guard<std::mutex> hold(g_settingsLock);
        g_externalSigExtension = value;
        if (!value.empty()) g_bExternalFileSigExtSet = true;
        flag = g_bExternalFileSigExtSet;
    }
    Trace(SS_TRACE_PROGRESS, "mslLoader::SetMSLLoaderExtSigFileExtension()",
          "sigFileExt set to: '%s', g_bExternalFileSigExtSet:  '%s'", value.c_str(), Bool(flag));
}

bool GetExternalFileSigExtSet() {
    bool flag;
    {
        std::lock_guard<std::mutex> hold(g_settingsLock);
        flag = g_bExternalFileSigExtSet;
    }
    Trace(SS_TRACE_LOADER, "mslLoader::GetExternalFileSigExtSet()", "returning g_bExternalFileSigExtSet: '%s'",
          Bool(flag));
    return flag;
}

std::string GetLibPath() {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    return g_LoaderLibPath;
}

std::string GetSigFileExtension() {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    return g_bExternalFileSigExtSet ? g_externalSigExtension : std::string(".sig");
}

void SetTraceSink(SS_TraceSink* sink) {
    g_trace.store(sink);
    cOvxOpenCatalog(nullptr, "ovx-ZuviDevi.cat", "");
    ovxIntegrity::SetTraceSink(sink);
}

LoaderLock::LoaderLock(Where where) : m_where(where) {
    if (g_lockCount < kMaxLoaderLocks) g_allLocks[g_lockCount++] = this;
}

uint32_t LoaderLock::Take() {
    uint32_t status = 0;
    {
        std::lock_guard<std::mutex> life(m_life);
        if (!m_record.valid) status = cLockInit(&m_record, 1);
        if (status == 0) ++m_users;
    }
    if (status != 0) {
        Trace(SS_TRACE_ERROR, m_where.take, "cLockInit() returned an error: %s", ErrorText(status).c_str());
        return status;
    }
    status = cLockTake(&m_record);
    if (status != 0) {
        {
            std::lock_guard<std::mutex> life(m_life);
            --m_users;
        }
        Trace(SS_TRACE_ERROR, m_where.take, "cLockTake() returned an error: %s", ErrorText(status).c_str());
    }
    return status;
}

uint32_t LoaderLock::Give() {
    uint32_t status = cLockRelease(&m_record);
    if (status == 0) {
        std::lock_guard<std::mutex> life(m_life);
        --m_users;
    } else {
        Trace(SS_TRACE_ERROR, m_where.give, "cLockRelease() for recursive iteration returned an error: %s",
              ErrorText(status).c_str());
    }
    return status;
}

uint32_t LoaderLock::Destroy() {
    uint32_t status = 0;
    {
        std::lock_guard<std::mutex> life(m_life);
        if (!m_record.valid || m_users > 0) return 0;
        status = cLockDestroy(&m_record);
    }
    if (status != 0) {
        Trace(SS_TRACE_ERROR, m_where.destroy, "cLockDestroy() returned an error: %s", ErrorText(status).c_str());
    }
    return status;
}

bool LoaderLock::Made() {
    std::lock_guard<std::mutex> life(m_life);
    return m_record.valid != 0;
}

uint32_t mslLoaderLock() {
    Trace(SS_TRACE_LOADER, "mslLoader::mslLoaderLock()", "Entered function");
    return g_loaderLock.Take();
}

uint32_t mslLoaderUnlock() {
    Trace(SS_TRACE_LOADER, "mslLoader::mslLoaderUnlock()", "Entered function");
    return g_loaderLock.Give();
}

uint32_t mslLoaderDestroyLock() {
    Trace(SS_TRACE_LOADER, "mslLoader::mslLoaderDestroyLock()", "Entered function");
    return g_loaderLock.Destroy();
}

void mslLoaderCleanup() {
    Trace(SS_TRACE_LOADER, "mslLoader::mslLoaderCleanup()", "Entered function");
    mslLoaderDestroyLock();
    for (size_t i = 0; i < g_lockCount; ++i) {
        if (g_allLocks[i] != &g_loaderLock) g_allLocks[i]->Destroy();
    }
}

uint32_t LoadServiceLibrary(const char* library, cLibHandle* handle) {
    const char* where = "mslLoader::LoadServiceLibrary()";
    Trace(SS_TRACE_LOADER, where, "Entered function");
    if (library == nullptr || *library == '\0') {
        Trace(SS_TRACE_ERROR, where, "'library' argument is NULL");
        return OVX_E_INVALID_ARGUMENT;
    }
    if (handle == nullptr) {
        Trace(SS_TRACE_ERROR, where, "'phLibHandle' argument is NULL");
        return OVX_E_INVALID_ARGUMENT;
    }
    if (std::strlen(library) >= kPathBound) {
        Trace(SS_TRACE_ERROR, where, "'library' argument is too long");
        return OVX_E_INVALID_ARGUMENT;
    }
    // Without a folder of the agent's, the service library is the one
    // installed with this library, in its own folder.
    std::string directory = GetLibPath();
    if (directory.empty() && !ovxToolsLib::ovxInstallLayout::ServiceLibraryDirectory().empty()) {
        directory = ovxToolsLib::ovxInstallLayout::ServiceLibraryDirectory() + "/";
    }
    std::string fullName;
    if (!directory.empty()) {
        if (!GetLibPath().empty() && std::strchr(library, '/') != nullptr) {
            Trace(SS_TRACE_WARNING, where,
                  "'library' argument contains file path, though SetMSLLoaderLibPath() was previously called.  "
                  "You should probably omit the path and use just the library name during loading.");
        }
        fullName = directory + library;
    } else {
        fullName = library;
    }
    if (fullName.size() >= kPathBound) {
        Trace(SS_TRACE_ERROR, where, "Full library name is too long");
        return OVX_E_INVALID_ARGUMENT;
    }
    Trace(SS_TRACE_PROGRESS, where, "Full library to load: %s", fullName.c_str());

    std::call_once(g_cryptoOnce, [] { g_cryptoStatus = ovxIntegrity::PrepareCrypto(); });
    if (g_cryptoStatus != 0) {
        Trace(SS_TRACE_ERROR, where, "Unable to prepare the signature check: %s", ErrorText(g_cryptoStatus).c_str());
        return g_cryptoStatus;
    }

    LoaderHold hold;
    if (hold.Status() != 0) return hold.Status();

    int verified = -1;
    uint32_t status = ovxIntegrity::VerifyFile(fullName, GetSigFileExtension(), &verified);
    if (status != 0) {
        Trace(SS_TRACE_ERROR, where, "Signature check of '%s' failed: %s", fullName.c_str(), ErrorText(status).c_str());
        return status;
    }
    // Open the verified bytes themselves, not the path again: a file swapped
    // in after the check is never what gets loaded.
    Trace(SS_TRACE_LOADER, where, "About to load library:  '%s'", fullName.c_str());
    status = OpenVerified(verified, handle);
    if (status == 0) {
        hold.Release();
        Trace(SS_TRACE_PROGRESS, where, "Successfully loaded library:  '%s'", fullName.c_str());
        return 0;
    }
    Trace(SS_TRACE_ERROR, where, "cLibLoadLibrary() returned an error: %s (%s)", ErrorText(status).c_str(),
          cLibErrorText(handle));
    return status;
}

uint32_t LookupSymbol(cLibHandle* handle, void** slot, const char* symbol) {
    const char* where = "mslLoader::LookupSymbol()";
    Trace(SS_TRACE_LOADER, where, "Entered function");
    LoaderHold hold;
    if (hold.Status() != 0) return hold.Status();
    if (symbol == nullptr || *symbol == '\0' || slot == nullptr || handle == nullptr) {
        Trace(SS_TRACE_ERROR, where, "'symbol' argument is NULL");
        return OVX_E_INVALID_ARGUMENT;
    }
    Trace(SS_TRACE_LOADER, where, "About to map symbol:  '%s'", symbol);
    *slot = cLibGetSymbol(handle, symbol);
    if (*slot == nullptr) {
        Trace(SS_TRACE_ERROR, where, "Error mapping symbol:  '%s'", symbol);
        return handle->status != 0 ? handle->status : OVX_E_LIB_SYMBOL;
    }
    return hold.Release();
}

uint32_t UnloadServiceLibrary(cLibHandle* handle) {
    Trace(SS_TRACE_LOADER, "mslLoader::UnloadServiceLibrary()", "Entered function");
    if (handle == nullptr) return OVX_E_INVALID_ARGUMENT;
    LoaderHold hold;
    if (hold.Status() != 0) return hold.Status();
    const uint32_t status = cLibFreeLibrary(handle);
    const uint32_t unlock = hold.Release();
    return status != 0 ? status : unlock;
}

void ResetForTesting() {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    g_LoaderLibPath.clear();
    g_externalSigExtension.clear();
    g_bExternalFileSigExtSet = false;
}

}  // namespace mslLoader
