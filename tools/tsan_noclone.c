// Preloaded into the ThreadSanitizer run of the tests (./test.sh --sanitize=thread): routes clone()
// around the sanitizer's interceptor, straight to the C library. Qt's QProcess starts children with
// clone(CLONE_VM | CLONE_VFORK), which the interceptor takes for a fork; its fork bookkeeping then
// runs in the parent's own memory, ends the test at its next thread ("starting new threads after
// multi-threaded fork") or blinds the sanitizer to the parent's locking from then on.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sched.h>
#include <stdarg.h>
#include <sys/types.h>

int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...)
{
    static int (*real)(int (*)(void*), void*, int, void*, ...);
    if (!real) {
        void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        real = libc ? dlsym(libc, "clone") : 0;
    }
    va_list ap;
    va_start(ap, arg);
    pid_t* ptid = va_arg(ap, pid_t*);
    void* tls = va_arg(ap, void*);
    pid_t* ctid = va_arg(ap, pid_t*);
    va_end(ap);
    return real(fn, stack, flags, arg, ptid, tls, ctid);
}
