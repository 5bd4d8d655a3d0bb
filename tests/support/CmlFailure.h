// The exception a CML call throws, for the tests that check what it says.
#ifndef OVX_TESTS_SUPPORT_CMLFAILURE_H
#define OVX_TESTS_SUPPORT_CMLFAILURE_H

#include "cml/core/cmlException.h"

namespace ovx {
namespace cml {
namespace testing {

// The exception f() throws, or one with code 0 and "no exception" when it
// throws none: a test that expects a failure then fails on its code.
template <class F>
CCmlException Failure(F f) {
    try {
        f();
    } catch (const CCmlException& error) {
        return error;
    }
    return CCmlException(L"", L"no exception", 0);
}

}  // namespace testing
}  // namespace cml
}  // namespace ovx

#endif  // OVX_TESTS_SUPPORT_CMLFAILURE_H
