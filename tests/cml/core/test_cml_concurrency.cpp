// Process-wide CML state used from several threads at once; run under
// ThreadSanitizer.
#include <atomic>
#include <thread>
#include <vector>

#include "cml/core/cmlLibraryVersions.h"
#include "cml/documents/cml_documents_test_support.h"

using namespace ovx::cml::testing;

TEST(LibraryVersionsConcurrency, ConcurrentUseIsSafe) {
    ReleaseLibraryVersionRegistry();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                RegisterLibraryVersion(L"L" + std::to_wstring(t), std::to_wstring(i));
                TextOf([](auto& out) { WriteLibraryVersions(out); });
                if (i % 50 == 49) ReleaseLibraryVersionRegistry();
                (void)GetLibraryVersionRegistry();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    LibraryVersionMap now = GetLibraryVersionRegistry();
    EXPECT_EQ(L"1.0.0", now.at(L"CmlCore"));
    EXPECT_LE(now.size(), 5u);
}

// Lookups on several threads while another registers and removes classes:
// every object handed out is a clone of its own.
TEST(ClassFactoryConcurrency, LookupsAndRegistrationsInterleaveSafely) {
    CCmlClassFactory* factory = GetGlobalClassFactory();
    const std::string xml =
        "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.1'>"
        "<cml xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0'>"
        "<message-envelope broadcast='false' message-id='x'><source name='s'/><message-body><response>"
        "<error-response xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0' request-id='1'/>"
        "</response></message-body></message-envelope></cml></ovx>";
    std::vector<std::thread> threads;
    std::atomic<int> read{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                std::unique_ptr<CCmlMessage> message = MessageOf(xml, kDoNotValidate, nullptr);
                if (message != nullptr && message->GetResponses().size() == 1) ++read;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            factory->RegisterDocument(L"urn:churn", L"1.0.0", L"error-response", CCmlErrorResponse());
            factory->DeregisterDocumentClassFactory(L"urn:churn", L"1.0.0");
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(300, read.load());
}
