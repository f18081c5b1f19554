// Preloaded by the program tests: makes open() refuse unnamed files, as file systems without
// them do, so that the named temporary file is used instead; with SHIM_REFUSE_RENAME set, makes
// rename() refuse as it does for a file that no other file can replace (EBUSY).
// It stands in for open() and open64() alike, so neither may be renamed to the other.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

using OpenFunction = int (*)(const char*, int, ...);

int open_refusing_unnamed(const char* name, const char* path, int flags, va_list args) {
    const mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
                            ? static_cast<mode_t>(va_arg(args, unsigned))
                            : 0;
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
    return real(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_refusing_unnamed("open", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_refusing_unnamed("open64", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int rename(const char* from, const char* to) {
    if (std::getenv("SHIM_REFUSE_RENAME") != nullptr) {
        errno = EBUSY;
        return -1;
    }
    using RenameFunction = int (*)(const char*, const char*);
    return reinterpret_cast<RenameFunction>(dlsym(RTLD_NEXT, "rename"))(from, to);
}
