// Preloaded by the program tests: makes open() and openat() refuse unnamed files, as file systems
// without them do, so that the named temporary file is used instead; with SHIM_REFUSE_RENAME set,
// makes rename() and renameat() refuse as they do for a file that no other file can replace
// (EBUSY). It stands in for each function and its 64-bit twin alike, so neither may be renamed
// to the other.
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
using OpenAtFunction = int (*)(int, const char*, int, ...);

// The mode an open's flags say follows them.
mode_t mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(args, unsigned))
               : 0;
}

bool refused(int flags) {
    if ((flags & O_TMPFILE) != O_TMPFILE) return false;
    errno = EOPNOTSUPP;
    return true;
}

int open_refusing_unnamed(const char* name, const char* path, int flags, va_list args) {
    const mode_t mode = mode_argument(flags, args);
    if (refused(flags)) return -1;
    const auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
    return real(path, flags, mode);
}

int openat_refusing_unnamed(const char* name, int folder, const char* path, int flags,
                            va_list args) {
    const mode_t mode = mode_argument(flags, args);
    if (refused(flags)) return -1;
    const auto real = reinterpret_cast<OpenAtFunction>(dlsym(RTLD_NEXT, name));
    return real(folder, path, flags, mode);
}

bool rename_refused() {
    if (std::getenv("SHIM_REFUSE_RENAME") == nullptr) return false;
    errno = EBUSY;
    return true;
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

extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openat_refusing_unnamed("openat", folder, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int openat64(int folder, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openat_refusing_unnamed("openat64", folder, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int rename(const char* from, const char* to) {
    if (rename_refused()) return -1;
    using RenameFunction = int (*)(const char*, const char*);
    return reinterpret_cast<RenameFunction>(dlsym(RTLD_NEXT, "rename"))(from, to);
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to) {
    if (rename_refused()) return -1;
    using RenameAtFunction = int (*)(int, const char*, int, const char*);
    return reinterpret_cast<RenameAtFunction>(dlsym(RTLD_NEXT, "renameat"))(from_folder, from,
                                                                            to_folder, to);
}
