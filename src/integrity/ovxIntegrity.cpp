#include "integrity/ovxIntegrity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "ovxStatus.h"
#include "tools/ovxDigest.h"
#include "tools/ovxFileInfo.h"
#include "tools/ovxInstallLayout.h"
#include "tools/ovxTrace.h"

namespace ovxIntegrity {
namespace {

constexpr size_t kSignatureSize = 64;
// A service library is a few megabytes; refuse anything absurd before
// reading it into memory.
constexpr size_t kMaxLibrarySize = 512L * 1024 * 1024;
constexpr size_t kMaxKeyFileSize = 1024 * 1024;
const char kWhere[] = "ovxIntegrity::VerifyFile()";
// Opening a FIFO for reading waits for a writer, and a terminal could become
// the process's own: neither is done. A regular file ignores both flags.
constexpr int kNoWait = O_NONBLOCK | O_NOCTTY;

std::atomic<SS_TraceSink*> g_trace{nullptr};

void TraceError(const std::string& text) {
    ovxToolsLib::TraceLine(g_trace.load(), SS_TRACE_ERROR, text.c_str(), kWhere);
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// A SubjectPublicKeyInfo of Ed25519 is always these 12 bytes (SEQUENCE,
// AlgorithmIdentifier 1.3.101.112, BIT STRING of 33 bytes) and the 32 bytes
// of the key (RFC 8410).
const unsigned char kEd25519Prefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr size_t kEd25519KeySize = 32;

// Every Ed25519 public key of a PEM file, or an empty list. The blocks are
// read here rather than by OpenSSL's PEM decoder: setting that decoder up
// costs more than a millisecond the first time, which every agent would pay
// at start, and an Ed25519 key has one fixed encoding. Other blocks and keys
// of other kinds are skipped; a "PUBLIC KEY" block that is not base64 ends
// the reading, as OpenSSL's reader does.
std::vector<KeyPtr> ReadKeys(const std::vector<unsigned char>& pem) {
    static const std::string kBegin = "-----BEGIN PUBLIC KEY-----", kEnd = "-----END PUBLIC KEY-----";
    const std::string text(pem.begin(), pem.end());
    std::vector<KeyPtr> keys;
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        const size_t body = at + kBegin.size();
        const size_t end = text.find(kEnd, body);
        if (end == std::string::npos) break;
        std::vector<uint8_t> der;
        if (ovxToolsLib::ovxBase64Decode(text.data() + body, end - body, der) != 0) break;
        at = end + kEnd.size();
        if (der.size() != sizeof kEd25519Prefix + kEd25519KeySize ||
            !std::equal(std::begin(kEd25519Prefix), std::end(kEd25519Prefix), der.begin())) {
            continue;
        }
        EVP_PKEY* key =
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, der.data() + sizeof kEd25519Prefix, kEd25519KeySize);
        if (key != nullptr) keys.emplace_back(key, &EVP_PKEY_free);
    }
    return keys;
}

bool Verifies(EVP_PKEY* key, const unsigned char* data, size_t size, const std::vector<unsigned char>& signature) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context) return false;
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), data, size) == 1;
}

// Copies `size` bytes of `from`, from its start, to `to` in the kernel.
bool CopyInto(int to, int from, size_t size) {
    size_t done = 0;
    off_t at = 0;
    while (done < size) {
        const ssize_t copied = sendfile(to, from, &at, size - done);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) break;
        done += static_cast<size_t>(copied);
    }
    // A file that changed size while it was copied is refused.
    return done == size;
}

// The library's bytes in a sealed in-memory file: no one, this process
// included, can change them any more. `copied` tells a copy that fell short
// of the file's size (the file changed) from a file that could not be made.
int SealedMemoryCopy(int library, size_t size, bool& copied) {
    const int fd = memfd_create("ovx-verified-library", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    copied = CopyInto(fd, library, size);
    if (!copied || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Where in-memory files are refused (seccomp profiles, some containers): an
// unnamed file (O_TMPFILE with O_EXCL, so it can never be given a name) that
// only this process's descriptors reach, made read-only once written and
// reopened read-only, so that no descriptor left can change it. A tmpfs
// file cannot take seals; this is as close as one comes.
int UnnamedFileCopy(int library, size_t size, bool& copied) {
    for (const char* folder : {"/dev/shm", "/tmp"}) {
        const int writer = open(folder, O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (writer < 0) continue;
        int reader = -1;
        copied = CopyInto(writer, library, size);
        if (copied && fchmod(writer, 0400) == 0) {
            char name[64];
            std::snprintf(name, sizeof name, "/proc/self/fd/%d", writer);
            reader = open(name, O_RDONLY | O_CLOEXEC);
        }
        close(writer);
        if (reader >= 0 || !copied) return reader;
    }
    return -1;
}

// A private copy of the library, checked and then loaded in place of the
// file: what is checked is then what gets loaded, even if the file is
// replaced or rewritten meanwhile. -1 when none can be made, or when the
// file gave fewer bytes than its size (`copied` false).
int PrivateCopyOf(int library, size_t size, bool& copied) {
    copied = true;
    const int sealed = SealedMemoryCopy(library, size, copied);
    return sealed >= 0 || !copied ? sealed : UnnamedFileCopy(library, size, copied);
}

// Checks the private copy's bytes in place against every key.
bool VerifiesMapped(int sealed, size_t size, const std::vector<KeyPtr>& keys,
                    const std::vector<unsigned char>& signature) {
    if (size == 0) return false;
    void* bytes = mmap(nullptr, size, PROT_READ, MAP_SHARED, sealed, 0);
    if (bytes == MAP_FAILED) return false;
    bool verified = false;
    for (const KeyPtr& key : keys) {
        if (Verifies(key.get(), static_cast<const unsigned char*>(bytes), size, signature)) {
            verified = true;
            break;
        }
    }
    munmap(bytes, size);
    return verified;
}

}  // namespace

void SetTraceSink(SS_TraceSink* sink) { g_trace.store(sink); }

uint32_t PrepareCrypto() {
    return OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) == 1 ? 0 : OVX_E_SIG_CRYPTO;
}

std::string TrustedKeyFile() { return ovxToolsLib::ovxInstallLayout::TrustedKeyFile(); }

uint32_t VerifyFile(const std::string& path, const std::string& extension, int* descriptor) {
    return VerifyFileWithKeys(path, extension, TrustedKeyFile(), descriptor);
}

uint32_t VerifyFileWithKeys(const std::string& path, const std::string& extension, const std::string& keyFile,
                            int* descriptor) {
    if (descriptor != nullptr) *descriptor = -1;
    std::vector<unsigned char> keyText;
    {
        FdCloser key{open(keyFile.c_str(), O_RDONLY | O_CLOEXEC | kNoWait)};
        if (key.fd < 0 || !ovxToolsLib::ReadRegularFile(key.fd, kMaxKeyFileSize, keyText)) {
            TraceError("Unable to read the trusted key file '" + keyFile + "'");
            return OVX_E_SIG_KEY_UNREADABLE;
        }
    }
    std::vector<KeyPtr> keys = ReadKeys(keyText);
    if (keys.empty()) {
        TraceError("The trusted key file '" + keyFile + "' holds no Ed25519 public key");
        return OVX_E_SIG_KEY_UNREADABLE;
    }

    std::string signaturePath = path + extension;
    std::vector<unsigned char> signature;
    {
        FdCloser sig{open(signaturePath.c_str(), O_RDONLY | O_CLOEXEC | kNoWait)};
        if (sig.fd < 0) {
            TraceError("Signature file '" + signaturePath + "' is missing or unreadable");
            return OVX_E_SIG_MISSING;
        }
        if (!ovxToolsLib::ReadRegularFile(sig.fd, 4096, signature) || signature.size() != kSignatureSize) {
            TraceError("Signature file '" + signaturePath + "' is not a 64-byte Ed25519 signature");
            return OVX_E_SIG_MALFORMED;
        }
    }

    FdCloser library{open(path.c_str(), O_RDONLY | O_CLOEXEC | kNoWait)};
    const int64_t size = library.fd < 0 ? -1 : ovxToolsLib::RegularFileSize(library.fd);
    if (size < 0 || static_cast<uint64_t>(size) > kMaxLibrarySize) {
        TraceError("Library file '" + path + "' is missing or unreadable");
        return OVX_E_LIB_UNREADABLE;
    }
    // The kernel copies the file into a private copy, and the check reads
    // that copy in place: one copy of the bytes, none through this
    // process's heap. Without a copy the bytes checked could differ from
    // those loaded, so the library is refused.
    bool copied = true;
    const int copy = PrivateCopyOf(library.fd, static_cast<size_t>(size), copied);
    if (copy < 0 && !copied) {
        TraceError("Library file '" + path + "' changed while it was read");
        return OVX_E_LIB_UNREADABLE;
    }
    if (copy < 0) {
        TraceError("No private copy of '" + path + "' can be made; the library is refused");
        return OVX_E_LIB_NO_PRIVATE_COPY;
    }
    if (VerifiesMapped(copy, static_cast<size_t>(size), keys, signature)) {
        if (descriptor != nullptr) {
            *descriptor = copy;
        } else {
            close(copy);
        }
        return 0;
    }
    close(copy);
    TraceError("The signature of '" + path + "' does not verify; the library is refused");
    return OVX_E_SIG_MISMATCH;
}

}  // namespace ovxIntegrity
