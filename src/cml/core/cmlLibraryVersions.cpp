#include "cml/core/cmlLibraryVersions.h"

#include <atomic>
#include <memory>
#include <new>

#include "cml/core/cmlException.h"
#include "tools/jssync.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {

namespace {

ovxToolsLib::jsRecursiveSync& RegistryLock() {
    static auto* lock = new ovxToolsLib::jsRecursiveSync();
    return *lock;
}
const ovxToolsLib::ovxForkHold g_registryForkHold(RegistryLock(), ovxToolsLib::ovxForkRank::kRegistry);

std::unique_ptr<LibraryVersionMap>& Registry() {
    static auto* registry = new std::unique_ptr<LibraryVersionMap>();
    return *registry;
}

// Call with the lock held.
LibraryVersionMap& EnsureRegistry() {
    std::unique_ptr<LibraryVersionMap>& registry = Registry();
    if (!registry) {
        try {
            auto created = std::make_unique<LibraryVersionMap>();
            (*created)[L"CmlCore"] = L"1.0.0";
            registry = std::move(created);
        } catch (const std::bad_alloc&) {
            throw CCmlException(L"Creating library version registry", L"Insufficient memory",
                                OVX_E_INSUFFICIENT_MEMORY);
        }
    }
    return *registry;
}

std::atomic<bool> g_commonRegistered{false};

}  // namespace

LibraryVersionMap GetLibraryVersionRegistry() {
    ovxToolsLib::jsLock hold(RegistryLock());
    return EnsureRegistry();
}

void RegisterLibraryVersion(const std::wstring& name, const std::wstring& version) {
    ovxToolsLib::jsLock hold(RegistryLock());
    EnsureRegistry()[name] = version;
}

void RegisterCommonLibraryVersion() {
    if (g_commonRegistered.exchange(true)) return;
    RegisterLibraryVersion(L"CmlCommon", L"1.0.0");
}

void WriteLibraryVersions(std::ostream& out) {
    ovxToolsLib::jsLock hold(RegistryLock());
    for (const auto& entry : EnsureRegistry()) {
        out << "Library:  " << ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(entry.first)
            << " version = " << ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(entry.second) << '\n';
    }
}

void ReleaseLibraryVersionRegistry() {
    ovxToolsLib::jsLock hold(RegistryLock());
    Registry().reset();
}

}  // namespace cml
}  // namespace ovx
