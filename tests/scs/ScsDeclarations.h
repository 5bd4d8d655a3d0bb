// Declarations of the SCS entries, for tests that link the library directly.
#ifndef OVX_TESTS_SCS_SCSDECLARATIONS_H
#define OVX_TESTS_SCS_SCSDECLARATIONS_H

#include "scs/ovxSessionConfigSvcs.h"

extern "C" {
#define OVX_SCS_DECLARE(result, name, params) result name params;
OVX_SCS_FUNCTIONS(OVX_SCS_DECLARE)
OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_DECLARE)
#undef OVX_SCS_DECLARE
}

#endif  // OVX_TESTS_SCS_SCSDECLARATIONS_H
