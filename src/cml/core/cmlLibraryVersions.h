// Which CML libraries are in the process, at which versions, for support
// output and the agent's own announcement.
#ifndef OVX_CML_CORE_CMLLIBRARYVERSIONS_H
#define OVX_CML_CORE_CMLLIBRARYVERSIONS_H

#include <map>
#include <ostream>
#include <string>

namespace ovx {
namespace cml {

using LibraryVersionMap = std::map<std::wstring, std::wstring>;

// A snapshot of the registry (name → version, by name), creating the
// registry on first use; creation registers "CmlCore" at "1.0.0". A copy, so
// a caller never reads the map while another thread changes or releases it.
LibraryVersionMap GetLibraryVersionRegistry();
// Inserts the pair, or replaces the version of a name already there.
void RegisterLibraryVersion(const std::wstring& name, const std::wstring& version);
// Registers "CmlCommon" at "1.0.0" the first time it is called in the process.
void RegisterCommonLibraryVersion();
// One line per entry in name order: "Library:  NAME version = VERSION".
void WriteLibraryVersions(std::ostream& out);
// Destroys the registry; the next use creates it afresh.
void ReleaseLibraryVersionRegistry();

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLLIBRARYVERSIONS_H
