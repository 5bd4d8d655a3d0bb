// A service library that lacks SCS_PostData and is otherwise complete: the
// loader must refuse to bind it.

#include "ovxStatus.h"
#include "scs/ovxSessionConfigSvcs.h"

#define SCS_PostData SCS_PostData_is_missing

#pragma GCC diagnostic ignored "-Wunused-parameter"
namespace {
template <typename Result>
struct Value {
    static Result Get() { return OVX_E_SCS_NOT_SUPPORTED; }
};
template <>
struct Value<void*> {
    static void* Get() { return nullptr; }
};
template <>
struct Value<void> {
    static void Get() {}
};
}  // namespace

extern "C" {
#define OVX_DEFINE(result, name, params) \
    __attribute__((visibility("default"))) result name params { return Value<result>::Get(); }
OVX_SCS_FUNCTIONS(OVX_DEFINE)
}
