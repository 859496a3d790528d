// The C++ runtime is linked into the extension (meson.build), so that it asks nothing of the
// system's libstdc++. Three of its symbols would still bind to a newer glibc than the manylinux2014
// baseline (glibc 2.17) has; they are defined here, hidden, and the extension binds to these.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/syscall.h>
#include <unistd.h>

extern "C" {

// glibc 2.32: libstdc++ reads it to count references without atomics while one thread runs. Zero
// says "threads may run": the counts are always atomic.
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

// glibc 2.25 and 2.36, for std::random_device, which comes with the runtime's strings and is never
// made by the extension: the kernel's random bytes, as glibc gives them.
[[gnu::visibility("hidden")]] int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* at = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        long n = syscall(SYS_getrandom, at, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        at += n;
        length -= size_t(n);
    }
    return 0;
}

[[gnu::visibility("hidden")]] uint32_t arc4random() {
    uint32_t value;
    if (getentropy(&value, sizeof value) != 0) std::abort();
    return value;
}

}  // extern "C"
