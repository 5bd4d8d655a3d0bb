// The session's worker and pulse threads on their own.
#include <atomic>

#include "Answers.h"
#include "support/Checks.h"
#include "sensor_services/PulseThread.h"
#include "sensor_services/WorkerThread.h"
#include "support/TestFiles.h"
#include "support/TraceLines.h"
#include "tools/ovxError.h"

using namespace ovxSensorServices;
using namespace ovxTest;

namespace {

// What the worker was given, in order; "bad" fails.
struct Work : Recorder {
    static uint32_t Process(const uint8_t* data, uint32_t size, void* argument) {
        const std::string item(reinterpret_cast<const char*>(data), size);
        static_cast<Work*>(argument)->Add(item);
        return item == "bad" ? 0xC7210005u : 0;
    }
    void Queue(CWorkerThread& worker, const std::string& item) {
        ASSERT_EQ(0u, worker.QueueWorkItem(reinterpret_cast<const uint8_t*>(item.data()),
                                           static_cast<uint32_t>(item.size())));
    }
};

}  // namespace

TEST(WorkerThread, ProcessesInOrderAndGoesOnAfterAFailure) {
    ASSERT_EQ(0u, ovxToolsLib::OVXError::OpenCatalog(nullptr, "ovx-ZuviDevi", ""));
    TraceLines::Forget();
    SS_TraceSink sink = TraceLines::Sink();
    Work work;
    {
        CWorkerThread worker;
        ASSERT_EQ(0u, worker.Init(ovxToolsLib::ovxGetThreadingFunctions(),
                                  std::make_shared<ovxToolsLib::ovxAgentGate>(&sink), &Work::Process, &work));
        for (const char* item : {"one", "bad", "three", "four"}) work.Queue(worker, item);
        ASSERT_TRUE(WaitFor([&] { return work.Size() == 4; }));
        EXPECT_EQ("0 0", Joined({worker.Stop(), worker.IsRunning()}));
    }
    EXPECT_EQ((std::vector<std::string>{"one", "bad", "three", "four"}), work.Take());
    for (const char* line : {"Failed to process work item: An unexpected internal failure occurred.",
                             "Entering worker thread: ProcessId = ", "Exiting worker thread: ProcessId = "})
        EXPECT_EQ(1u, TraceLines::CountStartingWith(line)) << line;
    EXPECT_LE(1u, TraceLines::CountStartingWith("Waiting on worker event with timeout = 60000"));
}

// Without a table nothing runs: items stay queued until processed by hand,
// and those left at the stop go with the object.
TEST(WorkerThread, ItemsLeftAtStopGoWithTheObject) {
    Work work;
    CWorkerThread worker;
    ASSERT_EQ("0 0", Joined({worker.Init(nullptr, nullptr, &Work::Process, &work), worker.IsRunning()}));
    work.Queue(worker, "xy");
    worker.QueueWorkItem(nullptr, 0);
    // Two queued; the first processed; nothing left to process.
    EXPECT_EQ("2 1 0", Joined({worker.GetQueuedCount(), worker.ProcessNextWorkItem(), worker.ProcessNextWorkItem()}));
    EXPECT_EQ((std::vector<std::string>{"xy", ""}), work.Take());
    work.Queue(worker, "xy");
    EXPECT_EQ(0u, worker.Stop());
}

TEST(PulseThread, PulsesAtItsPeriodAndTakesANewPeriodFromTheNextWait) {
    TraceLines::Forget();
    SS_TraceSink sink = TraceLines::Sink();
    std::atomic<int> pulses{0};
    CPulseThread pulse;
    auto count = [](void* argument) -> uint32_t {
        ++*static_cast<std::atomic<int>*>(argument);
        return 0xC7560003u;  // a failing pulse is ignored
    };
    ASSERT_EQ(0u, pulse.Init(ovxToolsLib::ovxGetThreadingFunctions(),
                             std::make_shared<ovxToolsLib::ovxAgentGate>(&sink), count, 1, &pulses));
    ASSERT_TRUE(WaitFor([&] { return pulses.load() >= 2; }));
    pulse.SetPeriod(3600);
    EXPECT_EQ(3600u, pulse.GetPeriod());
    ASSERT_TRUE(
        WaitFor([&] { return TraceLines::CountStartingWith("Waiting on pulse event with timeout = 3600000") == 1; }));
    EXPECT_LE(2u, TraceLines::CountStartingWith("Waiting on pulse event with timeout = 1000"));
    auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, pulse.Stop());  // wakes the long wait at once
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_EQ(1u, TraceLines::CountStartingWith("Exiting pulse thread: "));
    const int after = pulses.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(after, pulses.load());
}
