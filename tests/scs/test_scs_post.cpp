// SCS_PostData against real servers on 127.0.0.1: answers, status mapping,
// connection reuse, concurrency, limits and TLS.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scs/ScsFixture.h"
#include "support/TestServer.h"

using ovxTest::ScsFixture;
using ovxTest::TestServer;

namespace {

using ovxTest::kCerts;

struct Answer {
    uint32_t status;
    std::string body;
};

class PostTest : public ScsFixture {
protected:
    void SetUp() override {
        auto& http = server.server();
        http.Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("echo:" + request.body + ":" + request.get_header_value("Content-Type"), "text/plain");
        });
        http.Post("/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
            response.set_content("status", "text/plain");
        });
        http.Post("/big", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(5000, 'b'), "text/plain");
        });
        http.Post("/slow", [](const httplib::Request&, httplib::Response& response) {
            for (int i = 0; i < 40 && !stopSlow.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            response.set_content("late", "text/plain");
        });
        http.Post("/empty", [](const httplib::Request&, httplib::Response&) {});
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
        return "[server.1]\nurl=" + server.Url() +
               "\n[server.2]\nurl=http://127.0.0.1:" + std::to_string(ClosedPort()) + "\n";
    }
    Answer Post(const char* path, const std::string& body = "hello", int32_t index = 0,
                const uint32_t* timeouts = nullptr) {
        uint8_t* response = nullptr;
        uint32_t length = 0;
        uint32_t status = SCS_PostData(destination, index, path, 0, "application/x-test; charset=UTF-8",
                                       reinterpret_cast<const uint8_t*>(body.data()),
                                       static_cast<uint32_t>(body.size()), timeouts, &response, &length);
        Answer answer{status, std::string(reinterpret_cast<char*>(response), length)};
        SCS_Free(response);
        return answer;
    }
    // A port with nothing listening on it.
    static int ClosedPort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t size = sizeof(address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        close(fd);
        return ntohs(address.sin_port);
    }

    TestServer server;
    static inline std::atomic<bool> stopSlow{false};
};

}  // namespace

TEST_F(PostTest, TheAnswerComesBackWithTheContentType) {
    Answer answer = Post("/echo", "payload");
    ASSERT_EQ(0u, answer.status);
    EXPECT_EQ("echo:payload:application/x-test; charset=UTF-8", answer.body);
    Answer empty = Post("/empty");
    EXPECT_EQ(0u, empty.status);
    EXPECT_EQ("", empty.body);
}

TEST_F(PostTest, HttpStatusesMapToTheirCodes) {
    EXPECT_EQ(OVX_E_SCS_SERVER_BUSY, Post("/status/503").status);
    EXPECT_EQ(OVX_I_SCS_BACK_OFF, Post("/status/429").status);
    EXPECT_EQ(OVX_E_SCS_HTTP_STATUS, Post("/status/500").status);
    EXPECT_EQ(OVX_E_SCS_HTTP_STATUS, Post("/nowhere").status);  // 404
    EXPECT_EQ(0u, Post("/status/204").status);
}

TEST_F(PostTest, TransportFailuresMapToTheirCodes) {
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, Post("/echo", "x", 1).status);
    EXPECT_EQ(OVX_E_SCS_BAD_SERVER_INDEX, Post("/echo", "x", 2).status);
    EXPECT_EQ(OVX_E_SCS_BAD_SERVER_INDEX, Post("/echo", "x", -1).status);
    uint32_t timeouts[4] = {2000, 300, 0, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OVX_E_SCS_TRANSFER_TIMEOUT, Post("/slow", "x", 0, timeouts).status);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(PostTest, ConnectTimeoutWhenNobodyAccepts) {
    // A listener whose backlog is full: the kernel drops further SYNs, so the
    // connection never completes.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(listener, 0));
    socklen_t size = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, SCS_AddServer(destination, -1, "stuck",
                                ("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0));
    uint32_t timeouts[4] = {300, 0, 0, 0};
    EXPECT_EQ(OVX_E_SCS_CONNECT_TIMEOUT, Post("/echo", "x", 2, timeouts).status);
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST_F(PostTest, OneConnectionIsKeptAliveAndReused) {
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0u, Post("/echo", std::to_string(i)).status);
    EXPECT_EQ(20u, server.Requests());
    EXPECT_EQ(1u, server.Connections());
}

TEST_F(PostTest, ConcurrentPostsFromFourThreads) {
    std::atomic<int> good{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                std::string body = std::to_string(t) + "-" + std::to_string(i);
                Answer answer = Post("/echo", body);
                if (answer.status == 0 && answer.body.find("echo:" + body + ":") == 0) ++good;
            }
        });
    }
    for (auto& poster : posters) poster.join();
    EXPECT_EQ(100, good.load());
    EXPECT_LE(server.Connections(), 4u);  // reused, one per concurrent poster at most
}

TEST_F(PostTest, AnAnswerOverTheLimitGivesNoBody) {
    Answer answer = Post("/big");
    EXPECT_EQ(OVX_E_SCS_RESPONSE_TOO_LARGE, answer.status);
    EXPECT_EQ("", answer.body);
    EXPECT_EQ(0u, Post("/echo").status);  // and the next post works
}

TEST_F(PostTest, ShutDownEndsATransferInProgress) {
    std::atomic<uint32_t> status{0};
    std::thread poster([&] { status = Post("/slow").status; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, SCS_ShutDown());
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_NE(0u, status.load());
    // The fixture's tear-down shuts down again; give it a session to end.
    ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, nullptr));
}

TEST_F(PostTest, ConnectionTests) {
    EXPECT_EQ(0u, SCS_TestCommSettings(server.Url().c_str(), 2000, "sensor_services"));
    EXPECT_EQ(
        OVX_E_SCS_CONNECTION_REFUSED,
        SCS_TestCommSettings(("http://127.0.0.1:" + std::to_string(ClosedPort())).c_str(), 2000, "sensor_services"));
    EXPECT_EQ(0u, SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"));
    std::string empty = dir + "/empty.ini";
    ovxTest::WriteText(empty, "[group]\nschemaVersion=1\n");
    EXPECT_EQ(OVX_E_SCS_NO_SERVERS, SCS_TestCommSettingsFile(empty.c_str(), 2000, "sensor_services"));
}

namespace {

class TlsTest : public ScsFixture {
protected:
    void SetUp() override {
        server.server().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("tls:" + request.body, "text/plain");
        });
        server.Start();
        plain.server().Post("/echo", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("plain", "text/plain");
        });
        plain.Start();
        ScsFixture::SetUp();
    }
    void TearDown() override {
        ScsFixture::TearDown();
        server.Stop();
        plain.Stop();
    }
    std::string LocalSettings() override { return "[scs]\n"; }
    std::string CommSettings() override {
        return "[server.1]\nurl=" + server.Url("https") + "\ncaFile=" + kCerts + "/ca.pem\n" +
               "[server.2]\nurl=" + server.Url("https") + "\ncaFile=" + kCerts + "/wrong-ca.pem\n" +
               "[server.3]\nurl=" + plain.Url("https") + "\ncaFile=" + kCerts + "/ca.pem\n";
    }
    uint32_t Post(int32_t index, std::string* body = nullptr) {
        uint8_t* response = nullptr;
        uint32_t length = 0;
        uint32_t status = SCS_PostData(destination, index, "/echo", 0, "text/plain",
                                       reinterpret_cast<const uint8_t*>("x"), 1, nullptr, &response, &length);
        if (body != nullptr) body->assign(reinterpret_cast<char*>(response), length);
        SCS_Free(response);
        return status;
    }
    TestServer server{kCerts + "/server.pem", kCerts + "/server.key"};
    TestServer plain;
};

}  // namespace

TEST_F(TlsTest, TheRightCaIsAcceptedAndTheWrongOneRejected) {
    std::string body;
    ASSERT_EQ(0u, Post(0, &body));
    EXPECT_EQ("tls:x", body);
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(1));
    EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Post(2));  // the server does not speak TLS
}

TEST_F(TlsTest, RegisteredCertificateInfoSuppliesTheCa) {
    std::string list = dir + "/servers.ini";
    ovxTest::WriteText(list, "[server.1]\nurl=" + server.Url("https") + "\n");
    ASSERT_EQ(0u, SCS_LoadServers(destination, list.c_str(), 1));
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(0));  // the system store does not know the test CA
    std::string ca = kCerts + "/ca.pem";
    SS_CertificateInfo info{sizeof(SS_CertificateInfo), nullptr, nullptr, nullptr, ca.c_str()};
    ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
    EXPECT_EQ(0u, Post(0));
    ASSERT_EQ(0u, SCS_UnregisterCertificateInfo(destination));
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(0));
}
