// What the definitions of the DOM wrapper classes share: the operation text
// of their failures ("Class::operation()") and the failure of a setter given
// a node of another type.
#ifndef OVX_CML_CORE_CMLDOMWRAPPERSUPPORT_H
#define OVX_CML_CORE_CMLDOMWRAPPERSUPPORT_H

#include <string>

#include "cml/core/cmlException.h"
#include "ovxStatus.h"

namespace ovx {
namespace cml {
namespace DomWrapper {

inline std::wstring Where(const char* cls, const char* op) {
    std::string text = std::string(cls) + "::" + op + "()";
    return std::wstring(text.begin(), text.end());
}

[[noreturn]] inline void ThrowWrongType(const char* cls, const char* setter) {
    throw CCmlException(Where(cls, setter), L"Wrong source node type", OVX_E_CML_WRONG_NODE_TYPE);
}

}  // namespace DomWrapper
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOMWRAPPERSUPPORT_H
