// Allocation failures for a unit test, made by the fault shim (tests/fault/fault_shim.c) that
// the test's CTest entry preloads. Without the shim (sanitizer builds, whose allocator comes
// first) `present()` is false and the test skips.
#pragma once

#include <dlfcn.h>

namespace aftest {

struct FaultAlloc {
    // The n-th allocation from now fails (0: none); the counts below restart.
    void (*fail)(long n) = reinterpret_cast<void (*)(long)>(dlsym(RTLD_DEFAULT,
                                                                  "fault_fail_alloc"));
    long (*seen)() = reinterpret_cast<long (*)()>(dlsym(RTLD_DEFAULT, "fault_alloc_seen"));
    long (*live)() = reinterpret_cast<long (*)()>(dlsym(RTLD_DEFAULT, "fault_alloc_live"));
    bool present() const { return fail && seen && live; }
};

}  // namespace aftest
