// File operations on POSIX systems (Linux): the input, temporary and in-place outputs, signals.
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// The signals whose handling this program changed for its own use.
std::vector<int> set_aside;

// The named temporary file an interrupt must remove; empty when there is none.
char pending_name[4096];
// An old output being written in place, or -1, and the size an interrupt must cut it to: its old
// size while room is reserved, nothing once its old content has begun to be overwritten.
volatile sig_atomic_t in_place_fd = -1;
off_t in_place_cut_to = 0;

void remove_pending_and_reraise(int signal_number) {
    if (pending_name[0] != '\0') unlink(pending_name);
    if (in_place_fd >= 0) (void)ftruncate(in_place_fd, in_place_cut_to);
    // Ends by the same signal, so that the caller sees what ended the run.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// The signals this program answers: every one whose default action ends the process, but for
// those it ignores for its own use and those the caller ignored.
sigset_t answered_signals;

// Whether a signal's default action ends the process (rather than ignoring it or stopping it).
bool ends_process_by_default(int s) {
    switch (s) {
        case SIGCHLD:
        case SIGCONT:
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGURG:
        case SIGWINCH:
        case SIGKILL:  // ends the process, but cannot be answered
            return false;
        default:
            return true;
    }
}

// Runs `action` with the answered signals held back, so the pending name and the file agree.
template <typename Action>
auto with_signals_blocked(Action action) {
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &answered_signals, &previous);
    auto result = action();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

FileIdentity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
            static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

// Whether `b` may be the file `a` seen another way: an overlay or a network file system can show
// one file under another device and inode number (an overlay's xino), but not with another size
// and modification time to the nanosecond.
bool maybe_same_file(const FileIdentity& a, const struct stat& b) {
    const FileIdentity other = identity_of(b);
    return (a.device == other.device && a.index == other.index) ||
           (a.size == other.size && a.modified_seconds == other.modified_seconds &&
            a.modified_nanoseconds == other.modified_nanoseconds);
}

// Cuts an in-place output to `size` and stops an interrupt from cutting it again.
void let_go_of_in_place(int fd, off_t size) {
    (void)ftruncate(fd, size);
    in_place_fd = -1;
}

bool has_write_permission(const struct stat& st) {
    // Root may write anything; a file with no write bit at all is still treated as read-only.
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// What a new file is created with; the umask takes its bits away, as for any new file.
constexpr mode_t new_file_mode = 0666;

// The path through which an open file can be given a name.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Temporary names are short and fixed in length, so a valid output name never makes them too long.
constexpr char temp_prefix[] = ".palmconv-";
constexpr std::size_t temp_random_size = 6;

// The output's folder as a prefix of its path: empty, or ending in '/'.
std::string folder_prefix(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
}

// A fresh candidate for a temporary name in `prefix`; uniqueness comes from creating it
// exclusively.
std::string temp_candidate(const std::string& prefix) {
    static std::uint64_t state = 0;
    if (state == 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        state = static_cast<std::uint64_t>(now.tv_nsec) ^
                (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                (static_cast<std::uint64_t>(getpid()) << 40);
    }
    static constexpr char letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = prefix + temp_prefix;
    for (std::size_t i = 0; i < temp_random_size; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    return name;
}

void forget_pending_name() { pending_name[0] = '\0'; }

void remember_pending_name(const std::string& name) {
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
}

// An unnamed file in the output's folder: nothing of it outlives the process until it is linked.
int create_unnamed(const std::string& prefix) {
    // Readable too, so that the complete conversion can still be copied where it cannot be named.
    const int fd = open(prefix.empty() ? "." : prefix.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                        new_file_mode);
    if (fd < 0) return -1;
    // It is named through /proc when complete; without /proc it could never be named.
    const std::string self = descriptor_path(fd);
    if (access(self.c_str(), F_OK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Gives the complete unnamed file a temporary name beside its target: link() cannot replace.
bool name_unnamed(int fd, PendingFile& pending) {
    const std::string self = descriptor_path(fd);
    const std::string prefix = folder_prefix(pending.target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp_candidate(prefix);
        const bool linked = with_signals_blocked([&] {
            const bool done =
                linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
            if (done) remember_pending_name(name);
            return done;
        });
        if (linked) {
            pending.temp_path = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// A named temporary file, where the file system has no unnamed ones.
int create_named(const std::string& prefix, std::string& temp_path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp_candidate(prefix);
        const int fd = with_signals_blocked([&] {
            const int created =
                open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, new_file_mode);
            if (created >= 0) remember_pending_name(name);
            return created;
        });
        if (fd >= 0) {
            temp_path = std::move(name);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

void remove_named(PendingFile& pending) {
    if (pending.temp_path.empty()) return;
    with_signals_blocked([&] {
        unlink(pending.temp_path.c_str());
        forget_pending_name();
        return 0;
    });
    pending.temp_path.clear();
}

// The extended attribute that holds a file's access ACL.
constexpr char access_acl[] = "system.posix_acl_access";

// Sets on the new file `fd` what the owner set on the old one at `target` (`st`): owner and group
// where this process may set them, extended attributes (ACLs among them) where it can read and
// set them, and the permission bits, never set-ID or sticky bits, which would come from a mode
// someone else may have chosen. False when the group or the permission bits could not be kept.
bool keep_what_owner_set(const std::string& target, const struct stat& st, int fd) {
    struct stat made {};
    if (fstat(fd, &made) != 0) return false;
    // A new file's group comes from the user or, in a set-group-ID folder, from the folder.
    if (geteuid() == 0 && (made.st_uid != st.st_uid || made.st_gid != st.st_gid)) {
        (void)fchown(fd, st.st_uid, st.st_gid);
    } else if (made.st_gid != st.st_gid) {
        (void)fchown(fd, static_cast<uid_t>(-1), st.st_gid);  // where the user belongs to it
    }
    // Readers the old group did not admit must not be admitted by the new one.
    if (fstat(fd, &made) != 0 || made.st_gid != st.st_gid ||
        (geteuid() == 0 && made.st_uid != st.st_uid)) {
        return false;
    }
    bool has_acl = false;
    try {
        std::vector<char> names(
            static_cast<std::size_t>(std::max<ssize_t>(listxattr(target.c_str(), nullptr, 0), 0)));
        const ssize_t listed =
            names.empty() ? 0 : listxattr(target.c_str(), names.data(), names.size());
        std::vector<char> value;
        for (ssize_t at = 0; at < listed;) {
            const char* name = names.data() + at;
            at += static_cast<ssize_t>(std::strlen(name)) + 1;
            has_acl = has_acl || std::strcmp(name, access_acl) == 0;
            const ssize_t size = getxattr(target.c_str(), name, nullptr, 0);
            if (size < 0) continue;
            value.resize(static_cast<std::size_t>(size) + 1);
            const ssize_t got = getxattr(target.c_str(), name, value.data(), value.size());
            if (got >= 0) (void)fsetxattr(fd, name, value.data(), static_cast<std::size_t>(got), 0);
        }
    } catch (const std::bad_alloc&) {
        // Like any attribute that cannot be copied, not a reason to refuse the output.
    }
    // Without an ACL of its own the old file had none: not even what the folder hands down.
    if (!has_acl) (void)fremovexattr(fd, access_acl);
    return fchmod(fd, st.st_mode & 0777) == 0;
}


// Whether a file is mounted over the name `path` (a bind mount), which no rename can replace.
bool is_mount_point(const std::string& path) {
    struct statx sx {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    // Older systems: a file mounted from another file system shows another device.
    struct stat file {};
    struct stat folder {};
    const std::string prefix = folder_prefix(path);
    return stat(path.c_str(), &file) == 0 &&
           stat(prefix.empty() ? "." : prefix.c_str(), &folder) == 0 &&
           file.st_dev != folder.st_dev;
}

// Whether a folder lets names be added to it but none be replaced or removed (append-only or
// immutable): a temporary name made there could never be taken back.
bool only_adds_names(const std::string& prefix) {
    struct statx sx {};
    if (statx(AT_FDCWD, prefix.empty() ? "." : prefix.c_str(), 0, STATX_BASIC_STATS, &sx) != 0)
        return false;
    return (sx.stx_attributes & sx.stx_attributes_mask &
            (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// File systems that write every changed block anew, so that overwriting a file takes new room.
bool copies_on_write(const struct statfs& fs) {
    constexpr unsigned long zfs_magic = 0x2fc12fc1;
    constexpr unsigned long bcachefs_magic = 0xca451a4e;
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == BTRFS_SUPER_MAGIC || type == zfs_magic || type == bcachefs_magic;
}

// Room the file system must keep beyond a copy-on-write conversion, for what it writes about it.
constexpr std::uint64_t copy_on_write_headroom = 1 << 20;

// Takes room for an in-place output of `size` bytes over an old one of `old_size`, before any
// old byte is overwritten; false, with nothing taken beyond the old size, when there is none.
bool reserve_in_place(int fd, off_t old_size, off_t size) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(limit.rlim_cur)) {
        return false;
    }
    struct statfs fs {};
    if (fstatfs(fd, &fs) == 0 && copies_on_write(fs)) {
        // Reserving promises nothing here: the whole conversion must fit in what is free.
        // Only what is free for data: what root alone may use can be held for metadata.
        const std::uint64_t free_blocks = fs.f_bavail;
        const std::uint64_t block = static_cast<std::uint64_t>(fs.f_bsize);
        if (free_blocks < (static_cast<std::uint64_t>(size) + copy_on_write_headroom) / block + 1)
            return false;
    }
    if (size == 0) return true;
    // Blocks an old output shares with another file (a reflink copy) must be its own first.
    const off_t shared = std::min(old_size, size);
    if (shared > 0 && fallocate(fd, FALLOC_FL_UNSHARE_RANGE, 0, shared) != 0 &&
        errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    if (fallocate(fd, 0, 0, size) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    // Without allocation (ext2, some network file systems), room is taken by writing zeros where
    // the old output holds nothing.
    static const std::uint8_t zeros[64 * 1024] = {};
    for (off_t at = old_size; at < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<off_t>(size - at, sizeof zeros));
        const ssize_t written = pwrite(fd, zeros, n, at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
    }
    return fsync(fd) == 0 || errno == EINVAL;
}
}  // namespace

void prepare_process() {
    // A signal the caller chose to ignore (nohup, trap '' INT) stays ignored.
    const auto ignored_by_caller = [](int s) {
        struct sigaction current {};
        return sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN;
    };
    sigemptyset(&answered_signals);
    for (int s : {SIGXFSZ, SIGPIPE}) {
        if (ignored_by_caller(s)) continue;
        ::signal(s, SIG_IGN);
        set_aside.push_back(s);
    }
    // The standard signals, then the real-time ones this C library leaves to programs.
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if ((s > SIGSYS && s < SIGRTMIN) || s == SIGXFSZ || s == SIGPIPE) continue;
        if (ends_process_by_default(s) && !ignored_by_caller(s)) sigaddset(&answered_signals, s);
    }
    // Every handler cleans up the same file: one at a time.
    struct sigaction action {};
    action.sa_handler = remove_pending_and_reraise;
    action.sa_mask = answered_signals;
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if (sigismember(&answered_signals, s) != 1) continue;
        if (sigaction(s, &action, nullptr) == 0) {
            set_aside.push_back(s);
        } else {
            sigdelset(&answered_signals, s);
        }
    }
}

std::vector<int> signals_set_aside() { return set_aside; }

PathSyntax path_syntax() { return PathSyntax{}; }

std::FILE* open_input(const std::string& path) {
    // Opened for reading only, so that a conversion never looks like a write to those watching
    // the input; without blocking, so that a FIFO does not wait here for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    const bool as_for_update = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) &&
                               has_write_permission(st) &&
                               faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    std::FILE* file = as_for_update && fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    // Records are read in large scattered reads straight from the descriptor: a stream buffer
    // would only copy them twice, and hold bytes the descriptor has already passed.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool size_of(std::FILE* file, std::uint64_t& out) {
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(file);
    if (end < 0) return false;
    out = static_cast<std::uint64_t>(end);
    return true;
}

// The system's page size; blocks are placed and released by it.
std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

MutableSpan allocate_block(std::size_t size, std::uint64_t file_offset) {
    const std::size_t page = page_size();
    const std::size_t skip = static_cast<std::size_t>(file_offset % page);
    if (size > SIZE_MAX - skip) return {nullptr, 0};
    void* address = mmap(nullptr, skip + size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (address == MAP_FAILED) return {nullptr, 0};
    return {static_cast<std::uint8_t*>(address) + skip, size};
}

void release_block(MutableSpan block) {
    if (block.data == nullptr) return;
    const std::size_t skip = reinterpret_cast<std::uintptr_t>(block.data) % page_size();
    munmap(block.data - skip, skip + block.size);
}

std::size_t read_spans(std::FILE* file, const MutableSpan* spans, std::size_t count) {
    // The input is read without a stream buffer, so its descriptor is where the stream is.
    const int fd = fileno(file);
    iovec pieces[IOV_MAX < 1024 ? IOV_MAX : 1024];
    std::size_t total = 0;
    std::size_t next = 0;
    std::size_t done_in_next = 0;  // bytes of spans[next] already read
    while (next < count) {
        int n = 0;
        for (std::size_t i = next; i < count && n < static_cast<int>(std::size(pieces)); ++i, ++n) {
            const std::size_t skip = i == next ? done_in_next : 0;
            pieces[n].iov_base = spans[i].data + skip;
            pieces[n].iov_len = spans[i].size - skip;
        }
        ssize_t got = readv(fd, pieces, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
        // Step past what was read; a short read resumes inside a span.
        while (next < count && static_cast<std::size_t>(got) >= spans[next].size - done_in_next) {
            got -= static_cast<ssize_t>(spans[next].size - done_in_next);
            done_in_next = 0;
            ++next;
        }
        done_in_next += static_cast<std::size_t>(got);
    }
    return total;
}

bool follow_links(const std::string& path, std::string& target) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        target = path;
        return true;
    }
    // Written through, as a plain overwrite would; a link to nothing is refused, not replaced.
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    target = resolved;
    std::free(resolved);
    return true;
}

Target inspect_target(const std::string& target, std::FILE* input) {
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) {
        return {errno == ENOENT ? TargetKind::missing : TargetKind::not_replaceable};
    }
    struct stat in {};
    if (fstat(fileno(input), &in) != 0 || maybe_same_file(identity_of(in), st)) {
        return {TargetKind::input};
    }
    if (!S_ISREG(st.st_mode) || !has_write_permission(st) || access(target.c_str(), W_OK) != 0) {
        return {TargetKind::not_replaceable};
    }
    // Only root can give a new file someone else's ownership, and no new file can take the name
    // of a file mounted over it or in a folder that only lets names be added.
    return {TargetKind::replaceable, (geteuid() == 0 || st.st_uid == geteuid()) &&
                                         !is_mount_point(target) &&
                                         !only_adds_names(folder_prefix(target))};
}

bool create_pending(const std::string& target, std::FILE* input, PendingFile& pending) {
    const std::string prefix = folder_prefix(target);
    if (prefix.size() + sizeof temp_prefix + temp_random_size >= sizeof pending_name) return false;
    struct stat in {};
    if (fstat(fileno(input), &in) != 0) return false;
    pending = PendingFile{};
    pending.target = target;
    pending.input = identity_of(in);
    int fd = create_unnamed(prefix);
    if (fd < 0) fd = create_named(prefix, pending.temp_path);
    if (fd < 0) return false;
    // A new file keeps what it was created with.
    struct stat st {};
    const bool kept = stat(target.c_str(), &st) != 0 || keep_what_owner_set(target, st, fd);
    pending.stream = kept ? fdopen(fd, "wb") : nullptr;
    if (pending.stream == nullptr) {
        close(fd);
        remove_named(pending);
        return false;
    }
    return true;
}

namespace {

// Opens the old output at `target` to be written over, as open_in_place does, refusing the input
// known by `input`.
InPlaceResult open_in_place_beside(const std::string& target, const FileIdentity& input,
                                   std::uint64_t size, PendingFile& pending) {
    // Read access too, where there is any, as a plain open for update would ask for.
    int fd = open(target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)
        fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return InPlaceResult::not_openable;
    // Another conversion writing the same output in place finishes first: the result is then
    // one conversion or the other, never a mix of both.
    // A lock another program holds longer is passed by, as a plain overwrite would.
    for (int attempt = 0; attempt < 500 && flock(fd, LOCK_EX | LOCK_NB) != 0 &&
                          (errno == EWOULDBLOCK || errno == EINTR);
         ++attempt) {
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    struct stat st {};
    // It must still be what was inspected: a regular file, and not the input.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || maybe_same_file(input, st) ||
        size > static_cast<std::uint64_t>(INT64_MAX) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return InPlaceResult::not_openable;
    }
    with_signals_blocked([&] {
        in_place_cut_to = st.st_size;
        return in_place_fd = fd;
    });
    // Room for the whole conversion first, so that a full disk or a file size limit is met
    // before a byte of the old output is lost.
    if (!reserve_in_place(fd, st.st_size, static_cast<off_t>(size))) {
        let_go_of_in_place(fd, st.st_size);
        close(fd);
        return InPlaceResult::no_room;
    }
    pending = PendingFile{};
    pending.target = target;
    pending.in_place = true;
    pending.old_size = static_cast<std::uint64_t>(st.st_size);
    pending.new_size = size;
    pending.input = input;
    pending.stream = fdopen(fd, "wb");  // "w" here neither creates nor truncates
    if (pending.stream == nullptr) {
        let_go_of_in_place(fd, st.st_size);
        close(fd);
        return InPlaceResult::not_openable;
    }
    return InPlaceResult::opened;
}

}  // namespace

InPlaceResult open_in_place(const std::string& target, std::FILE* input, std::uint64_t size,
                            PendingFile& pending) {
    struct stat in {};
    if (fstat(fileno(input), &in) != 0) return InPlaceResult::not_openable;
    return open_in_place_beside(target, identity_of(in), size, pending);
}

void begin_overwrite(PendingFile& pending) {
    pending.overwriting = true;
    in_place_cut_to = 0;
}

bool write_all(std::FILE* file, const std::uint8_t* data, std::size_t n) {
    if (std::fflush(file) != 0) return false;
    const int fd = fileno(file);
    while (n != 0) {
        const ssize_t written = write(fd, data, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

// Links a complete unnamed file straight to a target that does not exist yet; false, errno set,
// when it could not.
bool link_to_new_target(int fd, const std::string& target) {
    const std::string self = descriptor_path(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives an in-place output its final size and closes it; on failure cuts it to nothing.
CommitResult finish_in_place(PendingFile& pending) {
    const int fd = fileno(pending.stream);
    // A close can report what an earlier write could not (a network file system's write-back);
    // a second descriptor still reaches the file then.
    const int spare = dup(fd);
    bool done = with_signals_blocked([&] {
        const bool sized = std::fflush(pending.stream) == 0 &&
                           ftruncate(fd, static_cast<off_t>(pending.new_size)) == 0;
        if (sized) in_place_fd = -1;
        return sized;
    });
    done = std::fclose(pending.stream) == 0 && done;
    pending.stream = nullptr;
    if (!done && spare >= 0) (void)ftruncate(spare, 0);
    in_place_fd = -1;
    if (spare >= 0) close(spare);
    return done ? CommitResult::done : CommitResult::write_failed;
}

// Copies the complete conversion open as `complete` over the old output at the pending file's
// target, in place.
CommitResult copy_over_in_place(int complete, const PendingFile& pending) {
    struct stat st {};
    if (complete < 0 || fstat(complete, &st) != 0) return CommitResult::not_replaceable;
    PendingFile target;
    switch (open_in_place_beside(pending.target, pending.input,
                                 static_cast<std::uint64_t>(st.st_size), target)) {
        case InPlaceResult::opened:
            break;
        case InPlaceResult::no_room:
            return CommitResult::write_failed;
        case InPlaceResult::not_openable:
            return CommitResult::not_replaceable;
    }
    begin_overwrite(target);
    const int out = fileno(target.stream);
    off_t from = 0;
    while (from < st.st_size) {
        const std::size_t rest = static_cast<std::size_t>(st.st_size - from);
        ssize_t copied = copy_file_range(complete, &from, out, nullptr, rest, 0);
        if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP)) {
            static std::uint8_t buffer[64 * 1024];
            copied = pread(complete, buffer, std::min(rest, sizeof buffer), from);
            if (copied > 0 && !write_all(target.stream, buffer, static_cast<std::size_t>(copied)))
                copied = -1;
            if (copied > 0) from += copied;
        }
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) {
            discard_pending(target);
            return CommitResult::write_failed;
        }
    }
    return finish_in_place(target);
}

CommitResult commit_pending(PendingFile& pending, Durability durability) {
    if (pending.in_place) return finish_in_place(pending);
    const int fd = fileno(pending.stream);
    const bool written =
        std::fflush(pending.stream) == 0 && (durability != Durability::on_disk || fsync(fd) == 0);
    // A new output takes its name in one step; one that replaces a file goes by a temporary name,
    // since a link cannot replace.
    if (written && pending.temp_path.empty() && link_to_new_target(fd, pending.target)) {
        const bool closed = std::fclose(pending.stream) == 0;
        pending.stream = nullptr;
        if (closed) return CommitResult::done;
        unlink(pending.target.c_str());
        return CommitResult::write_failed;
    }
    const bool named = written && (!pending.temp_path.empty() || name_unnamed(fd, pending));
    // Kept open, so that a conversion that cannot take the output's name can still be copied.
    const int complete = written ? dup(fd) : -1;
    const bool closed = std::fclose(pending.stream) == 0;
    pending.stream = nullptr;
    if (!written || !closed) {
        if (complete >= 0) close(complete);
        remove_named(pending);
        return CommitResult::write_failed;
    }
    const bool moved = named && with_signals_blocked([&] {
        const bool done = std::rename(pending.temp_path.c_str(), pending.target.c_str()) == 0;
        if (done) forget_pending_name();
        return done;
    });
    if (moved) {
        if (complete >= 0) close(complete);
        pending.temp_path.clear();
        return CommitResult::done;
    }
    // As a plain overwrite would: the old output written over in place, room taken first.
    const CommitResult copied = copy_over_in_place(complete, pending);
    if (complete >= 0) close(complete);
    remove_named(pending);
    return copied;
}

void discard_pending(PendingFile& pending) {
    if (pending.in_place && pending.stream != nullptr) {
        std::fflush(pending.stream);
        // Nothing lost yet: back to the old size, which the reservation may have grown.
        let_go_of_in_place(fileno(pending.stream),
                           pending.overwriting ? 0 : static_cast<off_t>(pending.old_size));
    }
    if (pending.stream != nullptr) std::fclose(pending.stream);
    pending.stream = nullptr;
    remove_named(pending);
}

}  // namespace palmconv::platform
