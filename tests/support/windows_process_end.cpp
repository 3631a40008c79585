// Linked into every test on Windows, with main wrapped (-Wl,--wrap=main): the test's own main
// runs, then the process ends at once, without the runtime's teardown.
//
// MinGW's threads library destroys a thread's thread-local values, as the thread ends, under a
// lock of its own. A pool or network thread that Qt or a server has just let go may still be
// that far into its end when main returns; ExitProcess kills it holding the lock, and the
// teardown of libstdc++, which takes the same lock to delete its thread-local key, then waits
// for ever: the test has printed its totals and never ends. When main returns the log is
// closed and every object of the test is gone, so skipping that teardown loses nothing.

#include <cstdio>
#include <windows.h>

extern "C" int __real_main(int argc, char **argv);

extern "C" int __wrap_main(int argc, char **argv) {
    const int status = __real_main(argc, argv);
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(status));
    return status;
}
