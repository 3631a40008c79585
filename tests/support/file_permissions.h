#pragma once

// File permissions that bind this test process even when it runs as root, as CI does:
// the capabilities that let root read, write and search whatever the permissions say are
// dropped for good. Call it first thing (initTestCase), before any thread starts: the
// capabilities of threads started earlier stay as they were.

#include <QtGlobal> // Q_OS_LINUX

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace quillmere::test {

inline bool makePermissionsBind() {
#ifdef Q_OS_LINUX
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        const unsigned bit = 1u << (capability % 32);
        data[capability / 32].effective &= ~bit;
        data[capability / 32].permitted &= ~bit; // access() looks at these for root
        data[capability / 32].inheritable &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
#else
    return true; // elsewhere the tests do not run as a super-user
#endif
}

} // namespace quillmere::test
