// Linked into a test build of qka with -Wl,--wrap=mmap,--wrap=mprotect: every
// request for executable memory is refused, as some hardened kernels refuse
// it, so that the build shows what qka does without machine code.

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>

extern "C" {

void* __real_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
int __real_mprotect(void* address, std::size_t length, int protection);

void* __wrap_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset)
{
    if ((protection & PROT_EXEC) != 0) {
        errno = EPERM;
        return MAP_FAILED;
    }
    return __real_mmap(address, length, protection, flags, fd, offset);
}

int __wrap_mprotect(void* address, std::size_t length, int protection)
{
    if ((protection & PROT_EXEC) != 0) {
        errno = EACCES;
        return -1;
    }
    return __real_mprotect(address, length, protection);
}

}  // extern "C"
