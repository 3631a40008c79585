// Linked into the program and every test when built with MinGW, with main wrapped
// (-Wl,--wrap=main): main runs as written, then the process ends at once, without the runtime's
// teardown.
//
// MinGW's threads library destroys a thread's thread-local values, as the thread ends, under a
// lock of its own. A pool or network thread that Qt or a server has just let go may still be
// that far into its end when main returns; ExitProcess kills it holding the lock, and the
// teardown of libstdc++, which takes the same lock to delete its thread-local key, then waits
// for ever: a test has printed its totals and never ends, the program has saved its settings
// and cookies and goes on showing a window that no longer answers. When main returns every
// file is written and closed and every object of main is gone, so skipping that teardown
// loses nothing.

#include <cstdio>
#include <windows.h>

extern "C" int __real_main(int argc, char **argv);

extern "C" int __wrap_main(int argc, char **argv) {
    const int status = __real_main(argc, argv);
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(status));
    return status;
}
