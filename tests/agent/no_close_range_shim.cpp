// Preloaded (LD_PRELOAD) into confagent by the system tests: close_range fails with ENOSYS,
// as on kernels before 5.9, so that the fallback of descriptor closing is what runs.
#include <cerrno>

extern "C" int close_range(unsigned int, unsigned int, int) {
    errno = ENOSYS;
    return -1;
}
