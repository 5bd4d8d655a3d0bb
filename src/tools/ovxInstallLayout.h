// Where the library finds the files installed with it: its trusted key, its
// service library, the message catalog and the schemas. Each is found
// relative to the library's own file (located at run time), so an install
// tree moved or extracted anywhere works, and no installed file names the
// folder it was built in. The build tree has the same layout.
#ifndef OVX_TOOLS_OVXINSTALLLAYOUT_H
#define OVX_TOOLS_OVXINSTALLLAYOUT_H

#include <string>

namespace ovxToolsLib {
namespace ovxInstallLayout {

// The environment variable that names another trusted key file, for agents
// that keep their keys elsewhere.
constexpr const char kTrustedKeysVariable[] = "OVX_TRUSTED_KEYS";

// The folder of the shared object (or program) holding this code; "" when
// it cannot be told.
const std::string& LibraryDirectory();
// The library's data folder (share/ovxSensorSvcs of the install tree).
std::string DataDirectory();
// The folder the message catalog is installed under (<locale>/LC_MESSAGES
// below it).
std::string CatalogDirectory();
// The folder of the service library and its signature (lib/ovxSensorSvcs
// of the install tree), out of the linker's path.
std::string ServiceLibraryDirectory();
// $OVX_TRUSTED_KEYS (as the environment held it when the library was
// loaded) when set and not empty, else trusted-keys.pem of the data folder.
// The variable is not read in a process that runs with rights its caller
// has not got (setuid, setgid, file capabilities).
std::string TrustedKeyFile();
// The schemas of the data folder, or "" when they are not there.
std::string SchemaDirectory();

}  // namespace ovxInstallLayout
}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXINSTALLLAYOUT_H
