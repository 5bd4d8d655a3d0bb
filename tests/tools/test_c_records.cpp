// Lock and library-handle records of the C-callable layer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "ovxStatus.h"
#include "support/TestFiles.h"
#include "tools/c-api-lib.h"
#include "tools/c-api-lock.h"

TEST(LockRecord, TakeReleaseNotHeldDestroyedAndExclusion) {
    cLockRecord lock;
    ASSERT_EQ(0u, cLockInit(&lock, 0));
    EXPECT_EQ(0x4721003Bu, cLockRelease(&lock));  // not held
    EXPECT_EQ(0u, cLockTake(&lock));
    EXPECT_EQ(1, lock.holdCount);
    EXPECT_EQ(0u, cLockRelease(&lock));
    long counter = 0;
    ovxTest::OnThreads(2, [&](int) {
        for (int i = 0; i < 5000; ++i) {
            cLockTake(&lock);
            ++counter;
            cLockRelease(&lock);
        }
    });
    EXPECT_EQ(10000, counter);
    EXPECT_EQ(0u, cLockDestroy(&lock));
    EXPECT_EQ(0xC7210035u, cLockTake(&lock));  // destroyed
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, cLockTake(nullptr));
}

TEST(LibHandle, OpensBindsAndReportsFailures) {
    cLibHandle lib;
    ASSERT_EQ(0u, cInitLibHandle(&lib));
    EXPECT_STREQ("<none>", cLibErrorText(&lib));
    EXPECT_NE(0u, cLibLoadLibrary(&lib, "/nonexistent/libnothing.so"));
    EXPECT_STRNE("<none>", cLibErrorText(&lib));
    ASSERT_EQ(0u, cLibLoadLibrary(&lib, "libm.so.6"));
    EXPECT_NE(nullptr, cLibGetSymbol(&lib, "cos"));
    EXPECT_EQ(nullptr, cLibGetSymbol(&lib, "no_such_symbol_here"));
    EXPECT_EQ(0xC7360002u, lib.status);
    EXPECT_EQ(0u, cLibFreeLibrary(&lib));
    // Again in a mode of the caller's choosing, and destroyed while open.
    cLibSetOpenModeOverride(RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(0u, cLibLoadLibrary(&lib, "libm.so.6"));
    EXPECT_NE(nullptr, cLibGetSymbol(&lib, "sin"));
    EXPECT_EQ(0u, cDestroyLibHandle(&lib));
}
