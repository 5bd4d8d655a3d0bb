// The signature check on real files signed with keys made by the test.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "integrity/ovxIntegrity.h"
#include "ovxStatus.h"
#include "support/TestFiles.h"

namespace {

std::string Slurp(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(got));
    return out;
}

void Write(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

class IntegrityTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        m_other = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        ASSERT_NE(nullptr, m_key);
        m_library = m_dir + "/libexample.so";
        m_content = std::string(100000, 'x') + "payload";
        Write(m_library, m_content);
        Write(m_library + ".sig", Sign(m_key, m_content));
        m_keys = m_dir + "/keys.pem";
        WriteKeys(m_keys, {m_key});
    }
    void TearDown() override {
        EVP_PKEY_free(m_key);
        EVP_PKEY_free(m_other);
    }
    static std::string Sign(EVP_PKEY* key, const std::string& data) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        size_t size = 64;
        std::string signature(size, '\0');
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size());
        EVP_MD_CTX_free(context);
        return signature;
    }
    static void WriteKeys(const std::string& path, const std::vector<EVP_PKEY*>& keys) {
        FILE* file = fopen(path.c_str(), "w");
        for (EVP_PKEY* key : keys) PEM_write_PUBKEY(file, key);
        fclose(file);
    }
    uint32_t Verify(int* fd = nullptr) { return ovxIntegrity::VerifyFileWithKeys(m_library, ".sig", m_keys, fd); }

    ovxTest::TempDir m_temp{"ovx-integrity"};
    std::string m_dir = m_temp.path(), m_library, m_content, m_keys;
    EVP_PKEY* m_key = nullptr;
    EVP_PKEY* m_other = nullptr;
};

}  // namespace

TEST_F(IntegrityTest, AGoodSignatureGivesTheVerifiedBytes) {
    int fd = -1;
    ASSERT_EQ(0u, Verify(&fd));
    ASSERT_GE(fd, 0);
    // Replacing the file after the check does not change what the caller loads.
    Write(m_library, "something else");
    EXPECT_EQ(m_content, Slurp(fd));
    close(fd);
}

TEST_F(IntegrityTest, OneChangedByteIsRefused) {
    std::string changed = m_content;
    changed[5000] ^= 1;
    Write(m_library, changed);
    int fd = 7;
    EXPECT_EQ(OVX_E_SIG_MISMATCH, Verify(&fd));
    EXPECT_EQ(-1, fd);
}

TEST_F(IntegrityTest, MissingTruncatedAndForeignSignatures) {
    std::string signature = Sign(m_key, m_content);
    Write(m_library + ".sig", signature.substr(0, 63));
    EXPECT_EQ(OVX_E_SIG_MALFORMED, Verify());
    Write(m_library + ".sig", signature + "x");
    EXPECT_EQ(OVX_E_SIG_MALFORMED, Verify());
    Write(m_library + ".sig", Sign(m_other, m_content));
    EXPECT_EQ(OVX_E_SIG_MISMATCH, Verify());
    unlink((m_library + ".sig").c_str());
    EXPECT_EQ(OVX_E_SIG_MISSING, Verify());
    EXPECT_EQ(OVX_E_SIG_MISSING, ovxIntegrity::VerifyFileWithKeys(m_library, ".other", m_keys, nullptr));
}

TEST_F(IntegrityTest, KeyFileProblems) {
    EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, ovxIntegrity::VerifyFileWithKeys(m_library, ".sig", m_dir + "/none", nullptr));
    Write(m_keys, "not a key\n");
    EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, Verify());
    EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    WriteKeys(m_keys, {rsa});
    EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, Verify());  // only Ed25519 keys are trusted
    EVP_PKEY_free(rsa);
    WriteKeys(m_keys, {m_other, m_key});
    EXPECT_EQ(0u, Verify());  // any trusted key may have signed
}

// Key files as OpenSSL writes them and as people edit them: keys of other
// kinds and blocks of other labels among the Ed25519 keys, CRLF line ends,
// comment lines. A public key block that is not base64 ends the reading, as
// it does OpenSSL's own PEM reader.
TEST_F(IntegrityTest, KeyFilesAsOpenSslWritesThemAndAsPeopleEditThem) {
    auto pem = [](EVP_PKEY* key) {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        std::string text(data, static_cast<size_t>(size));
        BIO_free(bio);
        return text;
    };
    EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    EVP_PKEY* ec = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    const std::string certificateBlock = "-----BEGIN CERTIFICATE-----\nTUlJQg==\n-----END CERTIFICATE-----\n";
    Write(m_keys, "# release keys\n" + pem(rsa) + certificateBlock + pem(ec) + "the signing key:\n" + pem(m_key));
    EXPECT_EQ(0u, Verify());
    std::string crlf;
    for (char c : pem(m_other) + pem(m_key)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Write(m_keys, crlf);
    EXPECT_EQ(0u, Verify());
    // The same key with one letter of its base64 changed is another key.
    std::string altered = pem(m_key);
    const size_t letter = altered.find('\n') + 20;
    altered[letter] = altered[letter] == 'A' ? 'B' : 'A';
    Write(m_keys, altered);
    EXPECT_EQ(OVX_E_SIG_MISMATCH, Verify());
    Write(m_keys, "-----BEGIN PUBLIC KEY-----\n!!not base64!!\n-----END PUBLIC KEY-----\n" + pem(m_key));
    EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, Verify());
    Write(m_keys, pem(m_key).substr(0, 60));  // a block without its end
    EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, Verify());
    EVP_PKEY_free(rsa);
    EVP_PKEY_free(ec);
}

TEST_F(IntegrityTest, MissingLibraryAndDirectories) {
    unlink(m_library.c_str());
    EXPECT_EQ(OVX_E_LIB_UNREADABLE, Verify());
    mkdir(m_library.c_str(), 0700);
    EXPECT_EQ(OVX_E_LIB_UNREADABLE, Verify());
}

// A program that links the check statically has no data folder of its own:
// the tests name the key through the environment, as an agent that keeps
// its keys elsewhere does.
TEST(IntegrityBuild, TheTrustedKeyFileIsTheOneTheEnvironmentNames) {
    const char* chosen = std::getenv("OVX_TRUSTED_KEYS");
    ASSERT_NE(nullptr, chosen);
    std::string path = ovxIntegrity::TrustedKeyFile();
    EXPECT_EQ(std::string(chosen), path);
    EXPECT_EQ(0, access(path.c_str(), R_OK));
}
