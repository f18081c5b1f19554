// Preloaded by the program tests: makes open() and openat() refuse unnamed files, as file systems
// without them do, so that the named temporary file is used instead; with SHIM_REFUSE_RENAME set,
// makes rename() and renameat() refuse as they do for a file that no other file can replace
// (EBUSY). With SHIM_FAIL_WRITES_AFTER=N, write() to a regular file fails with EDQUOT once N
// bytes have been written, and with SHIM_FAIL_TRUNCATE set, ftruncate() fails with EDQUOT too:
// as on a btrfs subvolume whose qgroup limit is reached part way. It stands in for each function
// and its 64-bit twin alike, so neither may be renamed to the other.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

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

namespace {

// What is left of the bytes writes may still take, or -1 for no limit.
long long writes_allowed() {
    const char* limit = std::getenv("SHIM_FAIL_WRITES_AFTER");
    return limit != nullptr ? std::atoll(limit) : -1;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t n) {
    using WriteFunction = ssize_t (*)(int, const void*, size_t);
    static const auto real = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    static long long left = writes_allowed();
    struct stat st {};
    if (left >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (left == 0) {
            errno = EDQUOT;
            return -1;
        }
        if (static_cast<long long>(n) > left) n = static_cast<size_t>(left);
        const ssize_t written = real(fd, data, n);
        if (written > 0) left -= written;
        return written;
    }
    return real(fd, data, n);
}

namespace {

template <typename Size>
int truncate_or_refuse(const char* name, int fd, Size size) {
    if (std::getenv("SHIM_FAIL_TRUNCATE") != nullptr) {
        errno = EDQUOT;
        return -1;
    }
    using TruncateFunction = int (*)(int, Size);
    return reinterpret_cast<TruncateFunction>(dlsym(RTLD_NEXT, name))(fd, size);
}

}  // namespace

extern "C" int ftruncate(int fd, off_t size) { return truncate_or_refuse("ftruncate", fd, size); }

extern "C" int ftruncate64(int fd, off64_t size) {
    return truncate_or_refuse("ftruncate64", fd, size);
}
