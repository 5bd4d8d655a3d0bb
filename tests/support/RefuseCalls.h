// Makes the calling process refuse, with EPERM, the ways the signature check
// makes its private copy of a library, as restricted containers and seccomp
// profiles do: memfd_create, and with `unnamedFilesToo` also the opening of
// unnamed files (O_TMPFILE). A seccomp filter, which the process keeps for
// the rest of its life: call it in a child process only.
#ifndef OVX_TESTS_SUPPORT_REFUSECALLS_H
#define OVX_TESTS_SUPPORT_REFUSECALLS_H

#include <fcntl.h>
#include <seccomp.h>

#include <cerrno>

namespace ovxTest {

inline bool RefuseCopyCalls(bool unnamedFilesToo) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) return false;
    const scmp_datum_t unnamed = O_TMPFILE & ~O_DIRECTORY;
    bool ready = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(memfd_create), 0) == 0;
    if (unnamedFilesToo)
        ready = ready &&
                seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(openat), 1,
                                 SCMP_A2(SCMP_CMP_MASKED_EQ, unnamed, unnamed)) == 0 &&
                seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(open), 1,
                                 SCMP_A1(SCMP_CMP_MASKED_EQ, unnamed, unnamed)) == 0;
    ready = ready && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ready;
}

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_REFUSECALLS_H
