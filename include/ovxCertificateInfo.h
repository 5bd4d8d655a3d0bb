/*
 * Client certificate material for HTTPS, given by SS_RegisterCertificateInfo()
 * and handed on to the session configuration services library.
 */
#ifndef OVX_CERTIFICATE_INFO_H
#define OVX_CERTIFICATE_INFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Client certificate material for HTTPS, handed to the session configuration
 * services. Paths are PEM files; NULL fields are left unset. */
typedef struct SS_CertificateInfo {
    uint32_t structSize; /* sizeof(SS_CertificateInfo) */
    const char* clientCertificateFile;
    const char* clientKeyFile;
    const char* clientKeyPassword;
    const char* caFile;
} SS_CertificateInfo;

#ifdef __cplusplus
}
#endif

#endif /* OVX_CERTIFICATE_INFO_H */
