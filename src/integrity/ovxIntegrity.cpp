#include "integrity/ovxIntegrity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "ovxStatus.h"
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

// Every Ed25519 public key of a PEM file, or an empty list.
std::vector<KeyPtr> ReadKeys(const std::vector<unsigned char>& pem) {
    std::vector<KeyPtr> keys;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    if (!bio) return keys;
    for (;;) {
        EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
        if (key == nullptr) break;
        if (EVP_PKEY_id(key) == EVP_PKEY_ED25519) {
            keys.emplace_back(key, &EVP_PKEY_free);
        } else {
            EVP_PKEY_free(key);
        }
    }
    return keys;
}

bool Verifies(EVP_PKEY* key, const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context) return false;
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

// A sealed in-memory copy of the verified bytes, so that what gets loaded is
// what was checked even if the file is replaced or rewritten meanwhile. Falls
// back to the descriptor the bytes were read from.
int SealedCopy(const std::vector<unsigned char>& content, FdCloser& library) {
    int fd = memfd_create("ovx-verified-library", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd >= 0) {
        size_t done = 0;
        while (done < content.size()) {
            ssize_t wrote = write(fd, content.data() + done, content.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) break;
            done += static_cast<size_t>(wrote);
        }
        if (done == content.size() &&
            fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0) {
            return fd;
        }
        close(fd);
    }
    int kept = library.fd;
    library.fd = -1;
    return kept;
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
        FdCloser key{open(keyFile.c_str(), O_RDONLY | O_CLOEXEC)};
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
        FdCloser sig{open(signaturePath.c_str(), O_RDONLY | O_CLOEXEC)};
        if (sig.fd < 0) {
            TraceError("Signature file '" + signaturePath + "' is missing or unreadable");
            return OVX_E_SIG_MISSING;
        }
        if (!ovxToolsLib::ReadRegularFile(sig.fd, 4096, signature) || signature.size() != kSignatureSize) {
            TraceError("Signature file '" + signaturePath + "' is not a 64-byte Ed25519 signature");
            return OVX_E_SIG_MALFORMED;
        }
    }

    FdCloser library{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    std::vector<unsigned char> content;
    if (library.fd < 0 || !ovxToolsLib::ReadRegularFile(library.fd, kMaxLibrarySize, content)) {
        TraceError("Library file '" + path + "' is missing or unreadable");
        return OVX_E_LIB_UNREADABLE;
    }
    for (const KeyPtr& key : keys) {
        if (Verifies(key.get(), content, signature)) {
            if (descriptor != nullptr) *descriptor = SealedCopy(content, library);
            return 0;
        }
    }
    TraceError("The signature of '" + path + "' does not verify; the library is refused");
    return OVX_E_SIG_MISMATCH;
}

}  // namespace ovxIntegrity
