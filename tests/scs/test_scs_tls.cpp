// TLS against real servers on 127.0.0.1 (cpp-httplib over OpenSSL), pinned
// to TLS 1.2 or TLS 1.3, with and without a required client certificate: the
// same failure gives the same status whichever version reports it, and a
// connection test uses what a post to the same server would.
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "scs/ScsFixture.h"
#include "support/TestServer.h"

using namespace ovxTest;

namespace {

class TlsTest : public ovxTest::ScsFixture {
protected:
    std::string LocalSettings() override { return "[scs]\n"; }
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
    uint32_t Post(int32_t index, std::string* body = nullptr) {
        uint8_t* response = nullptr;
        uint32_t length = 0;
        uint32_t status = SCS_PostData(destination, index, "/echo", 0, "text/plain",
                                       reinterpret_cast<const uint8_t*>("x"), 1, nullptr, &response, &length);
        if (body != nullptr) body->assign(reinterpret_cast<char*>(response), length);
        SCS_Free(response);
        return status;
    }
    static uint32_t Test(const std::string& url) { return SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"); }
    uint32_t TestFile() { return SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"); }
};

}  // namespace

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
        std::string body;
        EXPECT_EQ(0u, Post(1, &body));
        EXPECT_EQ("tls:x", body);
        EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(2));
        EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Post(3));
        EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Post(0)) << ovxTest::TraceLines::Last();
        EXPECT_EQ(0u, Test(open->Url("https")));
        EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Test(required->Url("https")));
        EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, TestFile());
        const std::string certificate = kCerts + "/client.pem", key = kCerts + "/client.key";
        SS_CertificateInfo info{sizeof(SS_CertificateInfo), certificate.c_str(), key.c_str(), nullptr, nullptr};
        ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
        EXPECT_EQ(0u, Post(0));
        EXPECT_EQ(0u, Post(1));
        EXPECT_EQ(0u, Test(required->Url("https")));
        EXPECT_EQ(0u, TestFile());
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
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(0));
    SS_CertificateInfo info{sizeof(SS_CertificateInfo), nullptr, nullptr, nullptr, ca.c_str()};
    ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
    EXPECT_EQ(0u, Post(0));
    EXPECT_EQ(0u, Test(url));
    ASSERT_EQ(0u, SCS_UnregisterCertificateInfo(destination));
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, Post(0));

    UseServers({Entry(url, "ca.pem") + "\nproxy=http://127.0.0.1:1"});
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, Test(url));
}
