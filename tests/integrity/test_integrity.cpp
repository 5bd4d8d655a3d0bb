// The signature check on real files signed with keys made by the test.

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <tuple>

#include "integrity/ovxIntegrity.h"
#include "ovxStatus.h"
#include "tools/xsnprintf.h"
#include "support/Checks.h"
#include "support/RefuseCalls.h"
#include "support/TestFiles.h"

using namespace ovxTest;

namespace {

// All that `fd` reads from its start.
std::string Slurp(int fd) { return ovxTest::ReadText("/proc/self/fd/" + std::to_string(fd)); }

class IntegrityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, m_key);
        Signed();
    }
    // The library, its signature and the key file as a release writes them.
    void Signed() {
        std::filesystem::remove_all(m_library);
        WriteText(m_library, m_content);
        WriteText(m_library + ".sig", Sign(m_key, m_content));
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
    static std::string Pem(EVP_PKEY* key) {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        std::string text(data, static_cast<size_t>(size));
        BIO_free(bio);
        return text;
    }
    static void WriteKeys(const std::string& path, const std::vector<EVP_PKEY*>& keys) {
        std::string text;
        for (EVP_PKEY* key : keys) text += Pem(key);
        WriteText(path, text);
    }
    uint32_t Verify(int* fd = nullptr) { return ovxIntegrity::VerifyFileWithKeys(m_library, ".sig", m_keys, fd); }

    ovxTest::TempDir m_temp{"ovx-integrity"};
    std::string m_dir = m_temp.path(), m_library = m_dir + "/libexample.so", m_keys = m_dir + "/keys.pem";
    const std::string m_content = std::string(100000, 'x') + "payload";
    EVP_PKEY *m_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
             *m_other = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
};

// What a tamperer or a broken install can do to the library, its signature
// or the key file, and the status each gives: no descriptor, ever. A good
// signature gives the verified bytes.
TEST_F(IntegrityTest, TamperedOrMissingFilesAreRefusedEachWithItsStatus) {
    const std::string signature = Sign(m_key, m_content);
    EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    std::string changed = m_content;
    changed[5000] ^= 1;
    const std::tuple<const char*, std::function<void()>, uint32_t> cases[] = {
        {"one changed byte", [&] { WriteText(m_library, changed); }, OVX_E_SIG_MISMATCH},
        {"a truncated signature", [&] { WriteText(m_library + ".sig", signature.substr(0, 63)); }, OVX_E_SIG_MALFORMED},
        {"a signature too long", [&] { WriteText(m_library + ".sig", signature + "x"); }, OVX_E_SIG_MALFORMED},
        {"another key's signature", [&] { WriteText(m_library + ".sig", Sign(m_other, m_content)); },
         OVX_E_SIG_MISMATCH},
        {"no signature", [&] { unlink((m_library + ".sig").c_str()); }, OVX_E_SIG_MISSING},
        {"no key file", [&] { unlink(m_keys.c_str()); }, OVX_E_SIG_KEY_UNREADABLE},
        {"a key file without a key", [&] { WriteText(m_keys, "not a key\n"); }, OVX_E_SIG_KEY_UNREADABLE},
        {"only an RSA key (Ed25519 keys only are trusted)", [&] { WriteKeys(m_keys, {rsa}); },
         OVX_E_SIG_KEY_UNREADABLE},
        {"no library", [&] { unlink(m_library.c_str()); }, OVX_E_LIB_UNREADABLE},
        {"a folder for the library", [&] { unlink(m_library.c_str()), mkdir(m_library.c_str(), 0700); },
         OVX_E_LIB_UNREADABLE},
    };
    for (const auto& [what, tamper, status] : cases) {
        Signed();
        tamper();
        int fd = 7;
        EXPECT_EQ(Joined({status, -1}), Joined({Verify(&fd), fd})) << what;
    }
    EVP_PKEY_free(rsa);
    Signed();
    EXPECT_EQ(OVX_E_SIG_MISSING, ovxIntegrity::VerifyFileWithKeys(m_library, ".other", m_keys, nullptr));
    WriteKeys(m_keys, {m_other, m_key});
    int fd = -1;
    ASSERT_EQ(0u, Verify(&fd));  // any trusted key may have signed
    ASSERT_GE(fd, 0);
    // Replacing the file after the check does not change what the caller loads.
    WriteText(m_library, "something else");
    EXPECT_EQ(m_content, Slurp(fd));
    close(fd);
}

// Key files as OpenSSL writes them and as people edit them: keys of other
// kinds and blocks of other labels among the Ed25519 keys, CRLF line ends,
// comment lines. A public key block that is not base64 ends the reading, as
// it does OpenSSL's own PEM reader.
TEST_F(IntegrityTest, KeyFilesAsOpenSslWritesThemAndAsPeopleEditThem) {
    EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    EVP_PKEY* ec = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    const std::string certificateBlock = "-----BEGIN CERTIFICATE-----\nTUlJQg==\n-----END CERTIFICATE-----\n";
    WriteText(m_keys, "# release keys\n" + Pem(rsa) + certificateBlock + Pem(ec) + "the signing key:\n" + Pem(m_key));
    EXPECT_EQ(0u, Verify());
    std::string crlf;
    for (char c : Pem(m_other) + Pem(m_key)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteText(m_keys, crlf);
    EXPECT_EQ(0u, Verify());
    // The same key with one letter of its base64 changed is another key.
    std::string altered = Pem(m_key);
    const size_t letter = altered.find('\n') + 20;
    altered[letter] = altered[letter] == 'A' ? 'B' : 'A';
    WriteText(m_keys, altered);
    EXPECT_EQ(OVX_E_SIG_MISMATCH, Verify());
    // A block that is not base64, and a block without its end.
    for (const std::string& keys :
         {"-----BEGIN PUBLIC KEY-----\n!!not base64!!\n-----END PUBLIC KEY-----\n" + Pem(m_key),
          Pem(m_key).substr(0, 60)}) {
        WriteText(m_keys, keys);
        EXPECT_EQ(OVX_E_SIG_KEY_UNREADABLE, Verify()) << keys;
    }
    EVP_PKEY_free(rsa);
    EVP_PKEY_free(ec);
}

// What the signature check probe printed; it is killed after ten seconds.
// `setuid` runs a copy of it owned by nobody and setuid, started by this
// process (root); `refuse` names the calls it refuses ("" for none).
std::string RunProbe(const std::string& keyFile, const std::string& folder, const std::string& work, bool setuid,
                     const std::string& refuse) {
    std::string probe = OVX_SIGNATURE_PROBE;
    if (setuid) {
        probe = work + "/probe";
        std::filesystem::copy_file(OVX_SIGNATURE_PROBE, probe);
        if (chown(probe.c_str(), 65534, 65534) != 0 || chmod(probe.c_str(), 04755) != 0) return "no setuid copy";
    }
    const std::string local = work + "/local.ini", comm = work + "/comm.ini";
    WriteText(local, "[scs]\nagentIdFile=" + work + "/agent-id.ini\n");
    WriteText(comm, "[group]\ngroupnameHint=Servers\n");
    return RunShell("OVX_TRUSTED_KEYS=" + keyFile + " timeout -s KILL 10 " + probe + " " + folder + " " + local + " " +
                    comm + " " + refuse)
        .output;
}

// The probe's line: no mapping of the checked file in any case.
std::string Expected(bool secure, uint32_t status) {
    char line[64];
    ovxToolsLib::xsnprintf(line, sizeof line, "secure=%d status=%08x mapped=0\n", secure ? 1 : 0, status);
    return line;
}

const std::string kServices = OVX_TEST_LIBRARY_DIR, kScsName = "libovxSessionConfigSvcs5.so";

}  // namespace

// The trusted key file named by OVX_TRUSTED_KEYS must be a regular file of
// bounded size: a FIFO, a device or a 16 GiB file is refused at once, and so
// is a FIFO in place of the signature. A privileged agent ignores the
// variable: a library signed by another key is loaded by an agent that
// runs as its caller, and refused by a setuid one. Where memfd_create is
// refused, the library is checked and loaded from an unnamed file of the
// agent's own, never from the file itself; where unnamed files are refused
// too, it is not loaded at all.
TEST_F(IntegrityTest, AnAgentLoadsOnlyAPrivateCopyCheckedWithTheKeysItMayTrust) {
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    const std::string fifo = m_dir + "/fifo", sparse = m_dir + "/sparse.pem";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    WriteText(sparse, "");
    ASSERT_EQ(0, truncate(sparse.c_str(), 16LL << 30));
    // The service library signed by another key, and one with a FIFO for
    // its signature.
    const std::string rogue = m_dir + "/rogue", piped = m_dir + "/piped";
    for (const std::string& folder : {rogue, piped}) {
        ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
        std::filesystem::copy_file(kServices + "/" + kScsName, folder + "/" + kScsName);
    }
    WriteText(rogue + "/" + kScsName + ".sig", Sign(m_other, ovxTest::ReadText(kServices + "/" + kScsName)));
    ASSERT_EQ(0, mkfifo((piped + "/" + kScsName + ".sig").c_str(), 0644));
    const std::string rogueKey = m_dir + "/rogue.pem", ownKey = std::getenv("OVX_TRUSTED_KEYS");
    WriteKeys(rogueKey, {m_other});
    // What the test is, the key file and the folder the probe uses, whether
    // it runs setuid, the status it must print, and the calls it refuses.
    const std::tuple<const char*, std::string, std::string, bool, uint32_t, const char*> cases[] = {
        {"a FIFO for the key file", fifo, kServices, false, OVX_E_SIG_KEY_UNREADABLE, ""},
        {"a device for the key file", "/dev/zero", kServices, false, OVX_E_SIG_KEY_UNREADABLE, ""},
        {"a 16 GiB key file", sparse, kServices, false, OVX_E_SIG_KEY_UNREADABLE, ""},
        {"a FIFO for the signature", ownKey, piped, false, OVX_E_SIG_MALFORMED, ""},
        {"another key, the agent as its caller", rogueKey, rogue, false, 0, ""},
        {"another key, a setuid agent", rogueKey, rogue, true, OVX_E_SIG_MISMATCH, ""},
        {"no in-memory files", ownKey, kServices, false, 0, "memfd"},
        {"no in-memory nor unnamed files", ownKey, kServices, false, OVX_E_LIB_NO_PRIVATE_COPY, "memfd+unnamed"},
    };
    int run = 0;
    for (const auto& [name, keyFile, folder, setuid, status, refuse] : cases) {
        SCOPED_TRACE(name);
        if (setuid && geteuid() != 0) continue;  // only root may start a setuid copy
        const std::string work = m_dir + "/work-" + std::to_string(++run);
        ASSERT_EQ(0, mkdir(work.c_str(), 0777));
        chmod(work.c_str(), 0777);
        EXPECT_EQ(Expected(setuid, status), RunProbe(keyFile, folder, work, setuid, refuse));
    }
}

// Without in-memory files, at the check itself: the descriptor it gives is read-only, is
// not the file, and keeps the checked bytes when the file is rewritten in
// place. Run in a child process, which keeps the seccomp filter.
TEST_F(IntegrityTest, WithoutInMemoryFilesTheVerifiedBytesStayThoseChecked) {
    const int exited = ChildExit([&] {
        if (!ovxTest::RefuseCopyCalls(false)) return 10;
        int fd = -1;
        if (Verify(&fd) != 0 || fd < 0) return 11;
        struct stat copy = {}, file = {};
        if (fstat(fd, &copy) != 0 || stat(m_library.c_str(), &file) != 0) return 12;
        if (copy.st_ino == file.st_ino && copy.st_dev == file.st_dev) return 13;
        if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY || (copy.st_mode & 0277) != 0) return 14;
        const int writer = open(m_library.c_str(), O_WRONLY);
        if (writer < 0 || pwrite(writer, "rewritten", 9, 0) != 9) return 15;
        close(writer);
        return Slurp(fd) == m_content ? 0 : 16;
    });
    EXPECT_EQ(0, exited) << "see the checks numbered in the test";
}
