#include "tools/ovxInstallLayout.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#ifndef OVX_RELATIVE_DATA_DIR
#error "OVX_RELATIVE_DATA_DIR must give the data folder relative to the library folder"
#endif
#ifndef OVX_RELATIVE_CATALOG_DIR
#error "OVX_RELATIVE_CATALOG_DIR must give the catalog folder relative to the library folder"
#endif
#ifndef OVX_RELATIVE_SERVICE_DIR
#error "OVX_RELATIVE_SERVICE_DIR must give the service library's folder relative to the library folder"
#endif

namespace ovxToolsLib {
namespace ovxInstallLayout {
namespace {

std::string FindLibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FindLibraryDirectory), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return "";
    std::string path = resolved;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// $OVX_TRUSTED_KEYS as it was when the library was loaded: read once, before
// any thread of ours runs (the catalog's opening sets other variables later,
// and the environment is not safe to read while it changes). An agent that
// runs setuid or setgid, or with file capabilities, was given its
// environment by a less privileged caller, who must not choose the key that
// decides what code the agent runs: secure_getenv gives nothing there.
const std::string& ChosenKeyFile() {
    static const std::string* chosen = [] {
        const char* value = secure_getenv(kTrustedKeysVariable);
        return new std::string(value != nullptr ? value : "");
    }();
    return *chosen;
}
const std::string& g_readAtLoad = ChosenKeyFile();

std::string Below(const char* relative) {
    const std::string& base = LibraryDirectory();
    return base.empty() ? std::string() : base + "/" + relative;
}

}  // namespace

const std::string& LibraryDirectory() {
    // Never destroyed: read by threads that may outlive a shut-down.
    static const std::string* directory = new std::string(FindLibraryDirectory());
    return *directory;
}

std::string DataDirectory() { return Below(OVX_RELATIVE_DATA_DIR); }

std::string CatalogDirectory() { return Below(OVX_RELATIVE_CATALOG_DIR); }

std::string ServiceLibraryDirectory() { return Below(OVX_RELATIVE_SERVICE_DIR); }

std::string TrustedKeyFile() {
    if (!ChosenKeyFile().empty()) return ChosenKeyFile();
    const std::string data = DataDirectory();
    return data.empty() ? std::string() : data + "/trusted-keys.pem";
}

std::string SchemaDirectory() {
    const std::string data = DataDirectory();
    if (data.empty()) return "";
    struct stat info {};
    const std::string schemas = data + "/schemas";
    return stat(schemas.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? schemas : std::string();
}

}  // namespace ovxInstallLayout
}  // namespace ovxToolsLib
