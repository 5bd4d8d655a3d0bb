// Any CML document, parsed and read into its class with and without
// validation against the shipped schemas (the first byte chooses), and,
// when it reads, written out and read back again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "FuzzMemory.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlParser.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "cml/documents/cmlTrust.h"

using namespace ovx::cml;

namespace {
const std::wstring kSchemas = [] {
    const std::string folder = OVX_FUZZ_SCHEMA_DIR;
    return std::wstring(folder.begin(), folder.end());
}();
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1u << 20) return 0;
    const bool validate = (data[0] & 1) != 0;
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::unique_ptr<CCmlDocumentBase> document;
    try {
        document.reset(CreateDocumentFromXml(text, size - 1, validate ? kValidate : kDoNotValidate, nullptr,
                                             validate ? kSchemas.c_str() : nullptr, kMatchCompatible));
    } catch (const CCmlException&) {
        return 0;
    }
    if (!document) return 0;
    // What was read can be written, and what is written can be read.
    std::string written;
    try {
        std::ostringstream out;
        document->Serialize(out);
        written = out.str();
    } catch (const CCmlException&) {
        return 0;  // e.g. a policy message without policies is refused on writing
    }
    std::unique_ptr<CCmlDocumentBase> again(
        CreateDocumentFromXml(written.data(), written.size(), kDoNotValidate, nullptr, nullptr, kMatchCompatible));
    if (!again) __builtin_trap();
    return 0;
}
