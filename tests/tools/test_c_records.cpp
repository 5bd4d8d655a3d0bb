// Lock and library-handle records of the C-callable layer.
#include <dlfcn.h>

#include "ovxStatus.h"
#include "support/Checks.h"
#include "support/TestFiles.h"
#include "tools/c-api-lib.h"
#include "tools/c-api-lock.h"

using ovxTest::Joined;

TEST(LockRecord, TakeReleaseNotHeldDestroyedAndExclusion) {
    cLockRecord lock;
    ASSERT_EQ(0u, cLockInit(&lock, 0));
    // Released while not held, then taken once and released.
    EXPECT_EQ(Joined({0x4721003Bu, 0, 1, 0}),
              Joined({cLockRelease(&lock), cLockTake(&lock), lock.holdCount, cLockRelease(&lock)}));
    long counter = 0;
    ovxTest::OnThreads(2, [&](int) {
        for (int i = 0; i < 5000; ++i) {
            cLockTake(&lock);
            ++counter;
            cLockRelease(&lock);
        }
    });
    EXPECT_EQ(10000, counter);
    EXPECT_EQ(Joined({0, 0xC7210035u, OVX_E_INVALID_ARGUMENT}),  // a destroyed lock is no lock
              Joined({cLockDestroy(&lock), cLockTake(&lock), cLockTake(nullptr)}));
}

TEST(LibHandle, OpensBindsAndReportsFailures) {
    cLibHandle lib;
    ASSERT_EQ(0u, cInitLibHandle(&lib));
    EXPECT_STREQ("<none>", cLibErrorText(&lib));
    EXPECT_NE(0u, cLibLoadLibrary(&lib, "/nonexistent/libnothing.so"));
    EXPECT_STRNE("<none>", cLibErrorText(&lib));
    ASSERT_EQ(0u, cLibLoadLibrary(&lib, "libm.so.6"));
    EXPECT_NE(nullptr, cLibGetSymbol(&lib, "cos"));
    EXPECT_EQ(Joined({1, 0xC7360002u, 0}),
              Joined({cLibGetSymbol(&lib, "no_such_symbol_here") == nullptr, lib.status, cLibFreeLibrary(&lib)}));
    // Again in a mode of the caller's choosing, and destroyed while open.
    cLibSetOpenModeOverride(RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(0u, cLibLoadLibrary(&lib, "libm.so.6"));
    EXPECT_NE(nullptr, cLibGetSymbol(&lib, "sin"));
    EXPECT_EQ(0u, cDestroyLibHandle(&lib));
}
