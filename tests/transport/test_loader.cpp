// The loader against real, signed libraries built by this project.

#include <atomic>

#include "ovxStatus.h"
#include "support/Checks.h"
#include "support/TestFiles.h"
#include "transport/mslLoader.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using namespace mslLoader_ovxSessionConfigSvcs;
using ovxTest::Joined;

namespace {

SS_TraceSink g_sink = ovxTest::TraceLines::Sink();

bool Traced(uint32_t level, const std::string& text) { return ovxTest::TraceLines::CountAtLevel(level, text) > 0; }

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ovxTest::TraceLines::Forget();
        mslLoader::ResetForTesting();
        mslLoader::SetTraceSink(&g_sink);
        mslLoader::SetMSLLoaderLibPath(m_dir.c_str());
        for (const std::string name : {kLibraryName, "libovxScsMissingSymbol.so"})
            for (const std::string& file : {name, name + ".sig"})
                ovxTest::WriteText(m_dir + "/" + file, ovxTest::ReadText(OVX_TEST_LIBRARY_DIR "/" + file));
    }
    void TearDown() override {
        while (ReferenceCount() > 0) UnloadOvxSessionConfigSvcs();
        mslLoader::ResetForTesting();
        mslLoader::SetTraceSink(nullptr);
    }
    ovxTest::TempDir m_temp{"ovx-loader"};
    std::string m_dir = m_temp.path();
};

}  // namespace

TEST_F(LoaderTest, PathInTheNameAfterADirectoryWasSetWarnsAndStillPrefixes) {
    cLibHandle handle;
    cInitLibHandle(&handle);
    EXPECT_NE(0u, mslLoader::LoadServiceLibrary((m_dir + "/" + kLibraryName).c_str(), &handle));
    EXPECT_TRUE(Traced(SS_TRACE_WARNING, "'library' argument contains file path, though SetMSLLoaderLibPath()"));
    EXPECT_TRUE(Traced(SS_TRACE_PROGRESS, "Full library to load: " + m_dir + "/" + m_dir + "/"));
    cDestroyLibHandle(&handle);
}

// Until a library is bound its entries are stubs; wrong arguments are refused.
TEST_F(LoaderTest, StubsAnswerUntilTheLibraryIsBoundAndArgumentsAreChecked) {
    EXPECT_EQ(OVX_E_MSL_NOT_LOADED, Scs().SCS_GetServerCount(0, nullptr));
    EXPECT_EQ(nullptr, Scs().SCS_Allocate(4));
    Scs().SCS_Free(nullptr);
    cLibHandle handle;
    cInitLibHandle(&handle);
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, mslLoader::LoadServiceLibrary(nullptr, &handle));
    EXPECT_TRUE(Traced(SS_TRACE_ERROR, "'library' argument is NULL"));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, mslLoader::LoadServiceLibrary("", &handle));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, mslLoader::LoadServiceLibrary("x", nullptr));
    EXPECT_TRUE(Traced(SS_TRACE_ERROR, "'phLibHandle' argument is NULL"));
    void* slot = nullptr;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, mslLoader::LookupSymbol(&handle, &slot, ""));
    EXPECT_TRUE(Traced(SS_TRACE_ERROR, "'symbol' argument is NULL"));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, mslLoader::LoadServiceLibrary(std::string(5000, 'a').c_str(), &handle));
    cDestroyLibHandle(&handle);
}

TEST_F(LoaderTest, AMissingSymbolStopsTheBind) {
    EXPECT_EQ(Joined({OVX_E_LIB_SYMBOL, 1}), Joined({LoadOvxSessionConfigSvcs("libovxScsMissingSymbol.so"),
                                                     Traced(SS_TRACE_ERROR, "Error mapping symbol:  'SCS_PostData'")}));
    // Entries before it are bound, it is empty, the ones after keep their stubs.
    EXPECT_EQ(OVX_E_SCS_NOT_SUPPORTED, Scs().SCS_GetServerCount(0, nullptr));
    EXPECT_EQ(nullptr, Scs().SCS_PostData);
    EXPECT_EQ(OVX_E_MSL_NOT_LOADED, Scs().SCS_SetLanguage(0, "en"));
    // The caller's clean-up unloads.
    EXPECT_EQ("1 0 0", Joined({ReferenceCount(), UnloadOvxSessionConfigSvcs(), ReferenceCount()}));
}

// A library whose check fails is never opened and leaves the stubs (each
// way the check fails, and its status, is the integrity tests'). A byte is
// flipped, not overwritten: a fixed byte could be the one already there.
TEST_F(LoaderTest, ALibraryThatFailsItsCheckIsNeverOpened) {
    const std::string library = m_dir + "/" + kLibraryName;
    std::string bytes = ovxTest::ReadText(library);
    bytes.at(4000) ^= 0x5a;
    ovxTest::WriteText(library, bytes);
    EXPECT_EQ(Joined({OVX_E_SIG_MISMATCH, 1, 0}),
              Joined({LoadOvxSessionConfigSvcs(), Traced(SS_TRACE_ERROR, "does not verify"),
                      Traced(SS_TRACE_LOADER, "About to load library")}));
    EXPECT_EQ(OVX_E_MSL_NOT_LOADED, Scs().SCS_GetServerCount(0, nullptr));
}

// The folder is the same with or without its trailing slash.
TEST_F(LoaderTest, TheSignatureExtensionCanBeChanged) {
    mslLoader::SetMSLLoaderLibPath((m_dir + "/").c_str());
    EXPECT_EQ(m_dir + "/", mslLoader::GetLibPath());
    std::string base = m_dir + "/" + kLibraryName;
    ASSERT_EQ(0, rename((base + ".sig").c_str(), (base + ".ed25519").c_str()));
    mslLoader::SetMSLLoaderExtSigFileExtension(".ed25519");
    EXPECT_TRUE(Traced(SS_TRACE_PROGRESS, "sigFileExt set to: '.ed25519', g_bExternalFileSigExtSet:  'TRUE'"));
    mslLoader::SetMSLLoaderExtSigFileExtension("");  // an empty one keeps the flag
    EXPECT_TRUE(mslLoader::GetExternalFileSigExtSet());
    mslLoader::SetMSLLoaderExtSigFileExtension(".ed25519");
    EXPECT_EQ(0u, LoadOvxSessionConfigSvcs());
}

// The loader's locks live while the service library has users: the last
// unload destroys them, the next load makes them again.
TEST_F(LoaderTest, TheLastUnloadEndsTheLoaderAndTheNextLoadStartsItAgain) {
    const auto cleanups = [] {
        return ovxTest::TraceLines::CountAt("mslLoader::mslLoaderCleanup()", "Entered function");
    };
    ASSERT_EQ(0u, LoadOvxSessionConfigSvcs());
    ASSERT_EQ(0u, LoadOvxSessionConfigSvcs());
    // One user is left after the first unload.
    EXPECT_EQ("0 0 0 1", Joined({UnloadOvxSessionConfigSvcs(), cleanups(), UnloadOvxSessionConfigSvcs(), cleanups()}));
    EXPECT_EQ(1u, ovxTest::TraceLines::CountAt("mslLoader::mslLoaderDestroyLock()", "Entered function"));
    ASSERT_EQ(0u, LoadOvxSessionConfigSvcs());
    uint32_t count = 0;
    EXPECT_EQ(OVX_E_SCS_UNKNOWN_DESTINATION, Scs().SCS_GetServerCount(42, &count));
}

// A cleanup never destroys a lock that a thread holds or waits for: threads
// taking and giving a loader lock meet cleanups at any instant, and every
// take and give succeeds (ThreadSanitizer and AddressSanitizer watch the
// record).
TEST(LoaderLockLife, ACleanupLeavesAHeldLockAndTheNextTakeMakesItAgain) {
    // Never destroyed: it is registered for every later cleanup.
    static auto& lock = *new mslLoader::LoaderLock({"take", "give", "destroy"});
    // Held, it is kept; given, it goes.
    ASSERT_EQ("0 0 1 0 0 0",
              Joined({lock.Take(), lock.Destroy(), lock.Made(), lock.Give(), lock.Destroy(), lock.Made()}));
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::thread cleaner([&] {
        while (!stop.load()) mslLoader::mslLoaderCleanup();
    });
    ovxTest::OnThreads(3, [&](int) {
        for (int round = 0; round < 2000; ++round)
            if (lock.Take() != 0 || lock.Give() != 0) ++failures;
    });
    stop = true;
    cleaner.join();
    EXPECT_EQ(0, failures.load());
}
