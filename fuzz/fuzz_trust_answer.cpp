// The answers of the key exchange and of the site attachment. Either reads
// the answer or refuses it with the session's or the CML layer's exception;
// anything else escaping is a finding.
#include <cstddef>
#include <cstdint>

#include "FuzzSession.h"
#include "cml/core/cmlException.h"
#include "sensor_services/SessionText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1u << 20) return 0;
    ovxSensorServices::CSensorServices* session = ovxFuzz::Session();
    const uint32_t length = static_cast<uint32_t>(size);
    char* algorithm = nullptr;
    char* pem = nullptr;
    uint32_t keyLength = 0;
    try {
        session->ReadKeysAnswer(data, length, &algorithm, &keyLength, &pem);
    } catch (const ovxSensorServices::CTRLEXC&) {
    } catch (const ovx::cml::CCmlException&) {
    }
    SS_Free(algorithm);
    SS_Free(pem);
    try {
        session->ReadAttachAnswer(data, length);
    } catch (const ovxSensorServices::CTRLEXC&) {
    } catch (const ovx::cml::CCmlException&) {
    }
    return 0;
}
