// Signature check of the separately shipped service library.
//
// A library file "<name>" is accepted only when the detached signature file
// "<name><extension>" holds a raw 64-byte Ed25519 signature of the file's
// bytes that verifies under one of the trusted public keys. The keys are PEM
// public keys concatenated in one file: trusted-keys.pem of the library's
// data folder, or the file $OVX_TRUSTED_KEYS names when the agent started.
// A privileged agent (setuid, setgid, file capabilities) ignores the
// variable, so whoever starts it cannot choose the key. The key file, the
// signature and the library must be regular files of bounded size: a FIFO,
// a device or a huge file is refused without waiting or reading it.
#ifndef OVX_INTEGRITY_OVXINTEGRITY_H
#define OVX_INTEGRITY_OVXINTEGRITY_H

#include <cstdint>
#include <string>

#include "ovxTraceSink.h"

namespace ovxIntegrity {

// The trace sink for level-1 lines about refused files (may be null).
void SetTraceSink(SS_TraceSink* sink);

// Makes sure libcrypto is initialised; 0 or OVX_E_SIG_CRYPTO.
uint32_t PrepareCrypto();

// Verifies `path` against `path + extension`. On success returns 0 and, when
// `descriptor` is given, an open read-only descriptor of exactly the bytes
// that were verified, so the caller can load those bytes and not a file
// swapped in after the check (the caller closes it).
uint32_t VerifyFile(const std::string& path, const std::string& extension, int* descriptor = nullptr);

// Same, with an explicit key file; the build-time path is used by VerifyFile.
uint32_t VerifyFileWithKeys(const std::string& path, const std::string& extension, const std::string& keyFile,
                            int* descriptor);

// The trusted key file: trusted-keys.pem of the library's data folder, or
// $OVX_TRUSTED_KEYS outside a privileged process.
std::string TrustedKeyFile();

}  // namespace ovxIntegrity

#endif  // OVX_INTEGRITY_OVXINTEGRITY_H
