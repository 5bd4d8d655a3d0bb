// SCS_PostData against real servers on 127.0.0.1: answers, status mapping,
// connection reuse, concurrency, limits, Retry-After and compression; and
// TLS (cpp-httplib over OpenSSL), pinned to TLS 1.2 or TLS 1.3, with and
// without a required client certificate: the same failure gives the same
// status whichever version reports it, and a connection test uses what a
// post to the same server would.
#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <tuple>

#include "scs/ScsFixture.h"
#include "support/Listener.h"
#include "support/TestServer.h"

using namespace ovxTest;
using ::testing::Ge;
using ::testing::Le;

namespace {

struct Answer {
    uint32_t status;
    std::string body;
    SCS_PostInfo info;
};

class PostTest : public ScsFixture {
protected:
    void SetUp() override {
        auto& http = server.server();
        http.Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("echo:" + request.body + ":" + request.get_header_value("Content-Type"), "text/plain");
        });
        // Posts and connection tests (HEAD) alike.
        const auto answerStatus = [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
        };
        http.Post("/status/(\\d+)", answerStatus).Get("/status/(\\d+)", answerStatus);
        http.Post("/big", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(5000, 'b'), "text/plain");
        });
        const auto answerLate = [](const httplib::Request&, httplib::Response& response) {
            for (int i = 0; i < 40 && !stopSlow.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            response.set_content("late", "text/plain");
        };
        http.Post("/slow", answerLate).Get("/slow", answerLate);
        http.Post("/empty", [](const httplib::Request&, httplib::Response&) {});
        http.Post("/encoding", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("asked:" + request.get_header_value("Accept-Encoding"), "text/plain");
        });
        // Answers `status` with Retry-After: `value` (the rest of the path, URL-decoded by the server).
        http.Post("/retry/(\\d+)/(.*)", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
            response.set_header("Retry-After", request.matches[2].str());
            response.set_content("later", "text/plain");
        });
        server.Start();
        stopSlow = false;
        ScsFixture::SetUp();
    }
    void TearDown() override {
        stopSlow = true;
        ScsFixture::TearDown();
        server.Stop();
    }
    std::string LocalSettings() override { return "[scs]\nmaxResponseSize=4096\n"; }
    std::string CommSettings() override {
        return "[server.1]\nurl=" + server.Url() + "\n[server.2]\nurl=" + refused + "\n";
    }
    // A post of `body` to `path`: the plain one, or, given an info size, the
    // extended one with `options` and an info of that many bytes (none when 0).
    Answer Post(const std::string& path, const std::string& body = "hello", int32_t index = 0,
                const uint32_t* timeouts = nullptr, uint32_t options = 0, uint32_t infoSize = kPlain) {
        Answer answer{};
        answer.info.structSize = infoSize;
        uint8_t* response = nullptr;
        uint32_t length = 0;
        const auto* data = reinterpret_cast<const uint8_t*>(body.data());
        const auto size = static_cast<uint32_t>(body.size());
        answer.status = infoSize == kPlain
                            ? SCS_PostData(destination, index, path.c_str(), 0, "application/x-test; charset=UTF-8",
                                           data, size, timeouts, &response, &length)
                            : SCS_PostDataEx(destination, index, path.c_str(), options, "text/xml", data, size,
                                             timeouts, &response, &length, infoSize == 0 ? nullptr : &answer.info);
        answer.body.assign(reinterpret_cast<char*>(response), length);
        SCS_Free(response);
        return answer;
    }
    Answer PostEx(const std::string& path, const std::string& body, uint32_t options,
                  uint32_t infoSize = sizeof(SCS_PostInfo)) {
        return Post(path, body, 0, nullptr, options, infoSize);
    }
    static constexpr uint32_t kPlain = ~0u;
    TestServer server;
    const std::string refused = "http://127.0.0.1:" + std::to_string(TestServer::FreePort());
    static inline std::atomic<bool> stopSlow{false};
};

class TlsTest : public PostTest {
protected:
    // A server at one TLS version, requiring a client certificate or not.
    static std::unique_ptr<TestServer> Serve(int version, bool requireClient) {
        auto server = std::make_unique<TestServer>(kCerts + "/server.pem", kCerts + "/server.key",
                                                   requireClient ? kCerts + "/ca.pem" : "");
        SSL_CTX_set_min_proto_version(server->TlsContext(), version);
        SSL_CTX_set_max_proto_version(server->TlsContext(), version);
        server->server().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("tls:" + request.body, "text/plain");
        });
        server->Start();
        return server;
    }
    // The server list's entry of `url` with the test CA file `ca` (none when empty).
    static std::string Entry(const std::string& url, const std::string& ca = "") {
        return "url=" + url + (ca.empty() ? "" : "\ncaFile=" + kCerts + "/" + ca);
    }
    void UseServers(const std::vector<std::string>& entries) {
        std::string text;
        for (size_t i = 0; i < entries.size(); ++i)
            text += "[server." + std::to_string(i + 1) + "]\n" + entries[i] + "\n";
        ovxTest::WriteText(commFile, text);
        ASSERT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
    }
    uint32_t Echo(int32_t index) { return Post("/echo", "x", index).status; }
    static uint32_t Test(const std::string& url) { return SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"); }
    uint32_t TestFile() { return SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"); }
};
}  // namespace

// Every answer and transport failure maps to its status, whatever the
// transfer timeout cut short within its bound; a connection test of the
// same server meets what the post meets, but for answers that prove the
// connection works (a server that refuses a request that is no post).
TEST_F(PostTest, AnswersAndFailuresMapToTheirCodesForPostsAndConnectionTests) {
    const uint32_t none = ~0u;  // no connection test for this row
    const std::tuple<const char*, int32_t, uint32_t, uint32_t> rows[] = {
        // path, server, post, test
        // clang-format off
        {"/status/204", 0, 0, 0}, {"/empty", 0, 0, none},
        {"/status/503", 0, OVX_E_SCS_SERVER_BUSY, OVX_E_SCS_SERVER_BUSY},
        {"/status/429", 0, OVX_I_SCS_BACK_OFF, OVX_I_SCS_BACK_OFF},
        {"/status/502", 0, OVX_E_SCS_HTTP_STATUS, OVX_E_SCS_HTTP_STATUS},
        {"/status/504", 0, OVX_E_SCS_HTTP_STATUS, OVX_E_SCS_HTTP_STATUS},
        {"/status/407", 0, OVX_E_SCS_HTTP_STATUS, OVX_E_SCS_HTTP_STATUS},
        {"/status/500", 0, OVX_E_SCS_HTTP_STATUS, 0}, {"/nowhere", 0, OVX_E_SCS_HTTP_STATUS, 0},  // 404
        {"/slow", 0, OVX_E_SCS_TRANSFER_TIMEOUT, OVX_E_SCS_TRANSFER_TIMEOUT},
        {"/big", 0, OVX_E_SCS_RESPONSE_TOO_LARGE, none},
        {"/echo", 1, OVX_E_SCS_CONNECTION_REFUSED, OVX_E_SCS_CONNECTION_REFUSED},
        {"/echo", 2, OVX_E_SCS_BAD_SERVER_INDEX, none}, {"/echo", -1, OVX_E_SCS_BAD_SERVER_INDEX, none},
        // clang-format on
    };
    const uint32_t timeouts[4] = {2000, 300, 0, 0};
    for (const auto& [path, index, post, test] : rows) {
        SCOPED_TRACE(std::string(path) + " of server " + std::to_string(index));
        const auto start = std::chrono::steady_clock::now();
        const Answer answer = Post(path, "hello", index, timeouts);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        // These servers send no body, and a failure hands back none.
        EXPECT_EQ(std::to_string(post) + ":", std::to_string(answer.status) + ":" + answer.body);
        if (test != none) {
            const std::string url = (index == 0 ? server.Url() : refused) + path;
            EXPECT_EQ(test, SCS_TestCommSettings(url.c_str(), 300, "sensor_services"));
        }
    }
    const Answer echo = Post("/echo", "payload");  // and the next post works
    EXPECT_EQ("0 echo:payload:application/x-test; charset=UTF-8", Joined({echo.status, echo.body}));
    EXPECT_EQ(0u, SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"));
    ovxTest::WriteText(dir + "/empty.ini", "[group]\nschemaVersion=1\n");
    EXPECT_EQ(OVX_E_SCS_NO_SERVERS, SCS_TestCommSettingsFile((dir + "/empty.ini").c_str(), 2000, "sensor_services"));
}

TEST_F(PostTest, ConnectTimeoutWhenNobodyAccepts) {
    // A listener whose backlog is full: the kernel drops further SYNs, so the
    // connection never completes.
    const Listener listener(0);
    ASSERT_NE(0, listener.port);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(listener.port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> fillers(8);
    for (int& fd : fillers) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string url = "http://127.0.0.1:" + std::to_string(listener.port);
    EXPECT_EQ(0u, SCS_AddServer(destination, -1, "stuck", url.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, 0));
    const uint32_t timeouts[4] = {300, 0, 0, 0};
    EXPECT_EQ(OVX_E_SCS_CONNECT_TIMEOUT, Post("/echo", "x", 2, timeouts).status);
    for (int fd : fillers) close(fd);
}

// One poster keeps one connection alive; four at once use one each at most.
TEST_F(PostTest, ConnectionsAreKeptAliveAndReusedByConcurrentPosters) {
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0u, Post("/echo", std::to_string(i)).status);
    EXPECT_EQ(20u, server.Requests());
    EXPECT_EQ(1u, server.Connections());
    std::atomic<int> good{0};
    ovxTest::OnThreads(4, [&](int t) {
        for (int i = 0; i < 25; ++i) {
            const std::string body = std::to_string(t) + "-" + std::to_string(i);
            const Answer answer = Post("/echo", body);
            if (answer.status == 0 && answer.body.find("echo:" + body + ":") == 0) ++good;
        }
    });
    EXPECT_EQ(100, good.load());
    EXPECT_LE(server.Connections(), 4u);
}

TEST_F(PostTest, ShutDownEndsATransferInProgress) {
    std::atomic<uint32_t> status{0};
    const size_t before = server.Requests();
    std::thread poster([&] { status = Post("/slow").status; });
    EXPECT_TRUE(ovxTest::WaitFor([&] { return server.Requests() > before; }));  // the transfer is under way
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, SCS_ShutDown());
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_NE(0u, status.load());
    // The fixture's tear-down shuts down again; give it a session to end.
    ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, nullptr));
}

// ---- the extended post: Retry-After, compression, what the post did

// Retry-After of busy and back-off answers is read as seconds or as an
// HTTP-date; anything else, and the header on any other answer, counts as absent.
TEST_F(PostTest, RetryAfterOfBusyAndBackOffAnswersIsReadInBothFormsAndNothingElseCounts) {
    // An HTTP-date ten seconds ahead: nine to ten seconds, as the clock ticks.
    char date[64];
    const time_t ahead = time(nullptr) + 10;
    struct tm parts {};
    gmtime_r(&ahead, &parts);
    strftime(date, sizeof date, "%a,%%20%d%%20%b%%20%Y%%20%H:%M:%S%%20GMT", &parts);
    const std::tuple<int, std::string, uint32_t, uint32_t> rows[] = {
        // status, Retry-After, least, most
        {429, "3", 3000, 3000},   {503, "120", 120000, 120000},
        {503, date, 9000, 10000}, {503, "Wed,%2021%20Oct%202015%2007:28:00%20GMT", 0, 0},  // gone by
        {429, "soon", 0, 0},      {429, "3abc", 0, 0},
        {429, "-5", 0, 0},        {500, "3", 0, 0},
        {200, "3", 0, 0},
    };
    for (const auto& [status, value, least, most] : rows) {
        const Answer answer = PostEx("/retry/" + std::to_string(status) + "/" + value, "x", 0);
        EXPECT_EQ(static_cast<uint32_t>(status), answer.info.httpStatus) << value;
        EXPECT_THAT(answer.info.retryAfterMs, AllOf(Ge(least), Le(most))) << status << " " << value;
    }
}

// A compressed answer is decoded and the limit holds for the decoded body;
// unknown options and a short info are refused; without an info the
// extended post is the plain one.
TEST_F(PostTest, TheExtendedPostDecodesAnswersAndRefusesWhatItCannotTell) {
    // 5000 bytes of answer compress to a few dozen; the limit (4096) is on what the agent gets.
    EXPECT_EQ(OVX_E_SCS_RESPONSE_TOO_LARGE, PostEx("/big", "x", SCS_POST_GZIP).status);
    const Answer echo = PostEx("/echo", std::string(3000, 'e'), SCS_POST_GZIP);
    EXPECT_EQ("0 echo:" + std::string(3000, 'e') + ":text/xml", Joined({echo.status, echo.body}));
    EXPECT_LT(echo.info.bytesReceived, 1000u);  // it came compressed
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, PostEx("/echo", "x", 0x80).status);
    const Answer shortInfo = PostEx("/echo", "x", 0, 4);
    EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, ""}), Joined({shortInfo.status, shortInfo.body}));
    EXPECT_EQ("echo:x:text/xml", PostEx("/echo", "x", 0, 0).body);
    // The kept handle that asked for a compressed answer asks no more.
    EXPECT_EQ("asked:gzip asked:",
              Joined({PostEx("/encoding", "x", SCS_POST_GZIP).body, PostEx("/encoding", "x", 0).body}));
}

// ---- TLS, pinned to one version, with and without a client certificate

// At each version: the right CA is accepted, the wrong one rejected, a
// server that speaks no TLS fails as TLS; a missing client certificate
// fails the posts and the connection tests (of a url and of a settings
// file whose first server requires one) alike until it is registered.
TEST_F(TlsTest, EachFailureGivesTheSameStatusAtEveryVersion) {
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        const auto required = Serve(version, true), open = Serve(version, false);
        TestServer plain;
        plain.Start();
        UseServers({Entry(required->Url("https"), "ca.pem"), Entry(open->Url("https"), "ca.pem"),
                    Entry(open->Url("https"), "wrong-ca.pem"), Entry(plain.Url("https"), "ca.pem")});
        const Answer echo = Post("/echo", "x", 1);
        EXPECT_EQ("0 tls:x", Joined({echo.status, echo.body}));
        // The wrong CA, no TLS, no client certificate; the connection tests.
        EXPECT_EQ(Joined({OVX_E_SCS_CERTIFICATE_REJECTED, OVX_E_SCS_TLS_FAILURE, OVX_E_SCS_TLS_FAILURE}),
                  Joined({Echo(2), Echo(3), Echo(0)}))
            << ovxTest::TraceLines::Last();
        EXPECT_EQ(Joined({0, OVX_E_SCS_TLS_FAILURE, OVX_E_SCS_TLS_FAILURE}),
                  Joined({Test(open->Url("https")), Test(required->Url("https")), TestFile()}));
        const std::string certificate = kCerts + "/client.pem", key = kCerts + "/client.key";
        SS_CertificateInfo info{sizeof(SS_CertificateInfo), certificate.c_str(), key.c_str(), nullptr, nullptr};
        ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
        EXPECT_EQ("0 0 0 0", Joined({Echo(0), Echo(1), Test(required->Url("https")), TestFile()}));
        ASSERT_EQ(0u, SCS_UnregisterCertificateInfo(destination));
    }
}

// A server with a private CA passes the connection test as it passes posts:
// through the CA of its entry in the server list, or the CA the agent
// registered (until it unregisters it); a proxy in its entry is used too.
TEST_F(TlsTest, TheCaAndProxyOfAPostAreThoseOfTheConnectionTest) {
    const auto server = Serve(TLS1_3_VERSION, false);
    const std::string url = server->Url("https"), ca = kCerts + "/ca.pem";
    // Not in the list, then in it without a CA: the system store does not
    // know the test CA, the registered one does.
    UseServers({Entry("https://127.0.0.1:1")});
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Test(url));
    UseServers({Entry(url)});
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Echo(0));
    SS_CertificateInfo info{sizeof(SS_CertificateInfo), nullptr, nullptr, nullptr, ca.c_str()};
    ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
    EXPECT_EQ("0 0", Joined({Echo(0), Test(url)}));
    ASSERT_EQ(0u, SCS_UnregisterCertificateInfo(destination));
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Echo(0));

    UseServers({Entry(url, "ca.pem") + "\nproxy=http://127.0.0.1:1"});
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, Test(url));
}
