#include "cml/core/cmlVocabulary.h"

#include <cwchar>

namespace ovx {
namespace cml {

#define OVX_CML_DEFINE_NAME(name, text) const wchar_t name[] = L"" text;
OVX_CML_BASE_NAMES(OVX_CML_DEFINE_NAME)
OVX_CML_REQUEST_NAMES(OVX_CML_DEFINE_NAME)
OVX_CML_RESPONSE_NAMES(OVX_CML_DEFINE_NAME)
#undef OVX_CML_DEFINE_NAME

#define OVX_CML_NAME_POINTER(name, text) name,
const wchar_t* const kRequestNames[] = {OVX_CML_REQUEST_NAMES(OVX_CML_NAME_POINTER)};
const wchar_t* const kResponseNames[] = {OVX_CML_RESPONSE_NAMES(OVX_CML_NAME_POINTER)};
#undef OVX_CML_NAME_POINTER
const size_t kRequestNameCount = sizeof(kRequestNames) / sizeof(kRequestNames[0]);
const size_t kResponseNameCount = sizeof(kResponseNames) / sizeof(kResponseNames[0]);

namespace {

bool IsIn(const wchar_t* name, const wchar_t* const* names, size_t count) {
    if (name == nullptr) return false;
    for (size_t i = 0; i < count; ++i) {
        if (std::wcscmp(name, names[i]) == 0) return true;
    }
    return false;
}

}  // namespace

bool IsRequestName(const wchar_t* name) { return IsIn(name, kRequestNames, kRequestNameCount); }
bool IsResponseName(const wchar_t* name) { return IsIn(name, kResponseNames, kResponseNameCount); }

}  // namespace cml
}  // namespace ovx
