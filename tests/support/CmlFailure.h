// The exception a CML call throws, for the tests that check what it says.
#ifndef OVX_TESTS_SUPPORT_CMLFAILURE_H
#define OVX_TESTS_SUPPORT_CMLFAILURE_H

#include <gtest/gtest.h>

#include <string>

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

// f() fails with this code, operation and message: compared as one text, so
// that a mismatch shows all three.
template <class F>
void ExpectRefusal(uint32_t code, const std::wstring& operation, const std::wstring& message, F f) {
    EXPECT_EQ(CCmlException(operation, message, code).Format(), Failure(f).Format());
}

}  // namespace testing
}  // namespace cml
}  // namespace ovx

#endif  // OVX_TESTS_SUPPORT_CMLFAILURE_H
