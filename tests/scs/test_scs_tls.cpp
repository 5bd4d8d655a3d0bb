// TLS against real servers on 127.0.0.1 (cpp-httplib over OpenSSL), pinned
// to TLS 1.2 or TLS 1.3, with and without a required client certificate: the
// same failure gives the same status whichever version reports it, and a
// connection test uses what a post to the same server would.
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "scs/ScsFixture.h"
#include "support/TestServer.h"

using ovxTest::ScsFixture;
using ovxTest::TestServer;

namespace {

using ovxTest::kCerts;

// A server at one TLS version, requiring a client certificate or not.
std::unique_ptr<TestServer> TlsServer(int version, bool requireClient) {
    auto server = requireClient
                      ? std::make_unique<TestServer>(kCerts + "/server.pem", kCerts + "/server.key", kCerts + "/ca.pem")
                      : std::make_unique<TestServer>(kCerts + "/server.pem", kCerts + "/server.key");
    SSL_CTX_set_min_proto_version(server->TlsContext(), version);
    SSL_CTX_set_max_proto_version(server->TlsContext(), version);
    server->server().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content("tls:" + request.body, "text/plain");
    });
    server->Start();
    return server;
}

class ClientCertificateTest : public ScsFixture, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        required = TlsServer(GetParam(), true);
        open = TlsServer(GetParam(), false);
        ScsFixture::SetUp();
    }
    std::string LocalSettings() override { return "[scs]\n"; }
    std::string CommSettings() override {
        return "[server.1]\nurl=" + required->Url("https") + "\ncaFile=" + kCerts + "/ca.pem\n" +
               "[server.2]\nurl=" + open->Url("https") + "\ncaFile=" + kCerts + "/ca.pem\n";
    }
    // The connection test of server `index`'s url.
    uint32_t Test(int32_t index) {
        const std::string url = (index == 0 ? required : open)->Url("https");
        return SCS_TestCommSettings(url.c_str(), 2000, "sensor_services");
    }
    uint32_t Post(int32_t index) {
        uint8_t* response = nullptr;
        uint32_t length = 0;
        uint32_t status = SCS_PostData(destination, index, "/echo", 0, "text/plain",
                                       reinterpret_cast<const uint8_t*>("x"), 1, nullptr, &response, &length);
        SCS_Free(response);
        return status;
    }
    std::unique_ptr<TestServer> required, open;
};

}  // namespace

// The connection tests (of a url and of a settings file whose first server
// is the one that requires a certificate) meet what the posts meet.
TEST_P(ClientCertificateTest, AMissingClientCertificateGivesTheSameStatusAtEveryVersion) {
    EXPECT_EQ(0u, Post(1));
    EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Post(0)) << ovxTest::TraceLines::Last();
    EXPECT_EQ(0u, Test(1));
    EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, Test(0));
    EXPECT_EQ(OVX_E_SCS_TLS_FAILURE, SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"));
    const std::string certificate = kCerts + "/client.pem", key = kCerts + "/client.key";
    SS_CertificateInfo info{sizeof(SS_CertificateInfo), certificate.c_str(), key.c_str(), nullptr, nullptr};
    ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
    EXPECT_EQ(0u, Post(0));
    EXPECT_EQ(0u, Post(1));
    EXPECT_EQ(0u, Test(0));
    EXPECT_EQ(0u, SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"));
}

INSTANTIATE_TEST_SUITE_P(TlsVersions, ClientCertificateTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == TLS1_2_VERSION ? std::string("Tls12") : std::string("Tls13");
                         });

namespace {

class ConnectionTestSettings : public ScsFixture {
protected:
    void SetUp() override {
        server = TlsServer(TLS1_3_VERSION, false);
        ScsFixture::SetUp();
    }
    std::string LocalSettings() override { return "[scs]\n"; }
    std::string CommSettings() override {
        return "[server.1]\nurl=" + server->Url("https") + "\ncaFile=" + kCerts + "/ca.pem\n";
    }
    std::unique_ptr<TestServer> server;
};

}  // namespace

// A server with a private CA passes the connection test as it passes posts:
// through the CA of its entry in the server list, or the CA the agent
// registered; a proxy in its entry is used too.
TEST_F(ConnectionTestSettings, TheTestUsesWhatAPostToTheSameServerUses) {
    const std::string url = server->Url("https");
    EXPECT_EQ(0u, SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"));
    EXPECT_EQ(0u, SCS_TestCommSettingsFile(commFile.c_str(), 2000, "sensor_services"));

    // Not in the list: the system store does not know the test CA, the
    // registered one does.
    const std::string ca = kCerts + "/ca.pem";
    ovxTest::WriteText(commFile, "[server.1]\nurl=https://127.0.0.1:1\n");
    ASSERT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED, SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"));
    SS_CertificateInfo info{sizeof(SS_CertificateInfo), nullptr, nullptr, nullptr, ca.c_str()};
    ASSERT_EQ(0u, SCS_RegisterCertificateInfo(destination, &info));
    EXPECT_EQ(0u, SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"));

    // A proxy of the server's entry is where the test connects.
    ovxTest::WriteText(commFile, "[server.1]\nurl=" + url + "\ncaFile=" + ca + "\nproxy=http://127.0.0.1:1\n");
    ASSERT_EQ(0u, SCS_LoadCommSettingsFile(destination, commFile.c_str()));
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, SCS_TestCommSettings(url.c_str(), 2000, "sensor_services"));
}
