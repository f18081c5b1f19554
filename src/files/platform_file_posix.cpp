// File operations on POSIX systems (Linux): the input, temporary and in-place outputs, signals.
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/falloc.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/ioctl.h>
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// The signals whose handling this program changed for its own use.
std::vector<int> set_aside;

// The named temporary file an interrupt must remove, by its name in its folder; empty when there
// is none.
volatile sig_atomic_t pending_folder = -1;
char pending_name[NAME_MAX + 1];
// An old output being written in place, or -1, and the size an interrupt must cut it to: its old
// size while room is reserved, nothing once its old content has begun to be overwritten.
volatile sig_atomic_t in_place_fd = -1;
off_t in_place_cut_to = 0;

void remove_pending_and_reraise(int signal_number) {
    abandon_outputs();
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

// The last part of a path: the name within its folder.
std::string leaf_of(const std::string& path) { return path.substr(folder_prefix(path).size()); }

// Opens the folder `prefix` names (empty: the working folder) to reach names in it, one part at a
// time, so that a path of any length can be followed; -1 on failure, errno set.
int open_folder(const std::string& prefix) {
    constexpr int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (prefix.size() < PATH_MAX) return open(prefix.empty() ? "." : prefix.c_str(), flags);
    int folder = open(prefix[0] == '/' ? "/" : ".", flags);
    for (std::size_t at = 0; folder >= 0 && at < prefix.size();) {
        std::size_t end = prefix.find('/', at);
        if (end == std::string::npos) end = prefix.size();
        if (end > at) {
            const int next = openat(folder, prefix.substr(at, end - at).c_str(), flags);
            const int error = errno;
            close(folder);
            folder = next;
            errno = error;
        }
        at = end + 1;
    }
    return folder;
}

// A folder held open for the length of a scope.
class OpenFolder {
  public:
    explicit OpenFolder(const std::string& prefix) : fd_(open_folder(prefix)) {}
    ~OpenFolder() {
        if (fd_ >= 0) close(fd_);
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    int fd() const { return fd_; }
    // Hands the folder over to whoever closes it.
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// A fresh candidate for a temporary name; uniqueness comes from creating it exclusively.
std::string temp_candidate() {
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
    std::string name = temp_prefix;
    for (std::size_t i = 0; i < temp_random_size; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    return name;
}

void forget_pending_name() {
    pending_name[0] = '\0';
    pending_folder = -1;
}

void remember_pending_name(int folder, const std::string& name) {
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    pending_folder = folder;
}

// An unnamed file in the output's folder: nothing of it outlives the process until it is linked.
int create_unnamed(int folder) {
    // Readable too, so that the complete conversion can still be copied where it cannot be named.
    const int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, new_file_mode);
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
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp_candidate();
        const bool linked = with_signals_blocked([&] {
            const bool done = linkat(AT_FDCWD, self.c_str(), pending.folder, name.c_str(),
                                     AT_SYMLINK_FOLLOW) == 0;
            if (done) remember_pending_name(pending.folder, name);
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
int create_named(int folder, std::string& temp_path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp_candidate();
        const int fd = with_signals_blocked([&] {
            const int created =
                openat(folder, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, new_file_mode);
            if (created >= 0) remember_pending_name(folder, name);
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
        unlinkat(pending.folder, pending.temp_path.c_str(), 0);
        forget_pending_name();
        return 0;
    });
    pending.temp_path.clear();
}

// Closes the folder a pending file held open.
void close_folder(PendingFile& pending) {
    if (pending.folder >= 0) close(pending.folder);
    pending.folder = -1;
}

// The extended attribute that holds a file's access ACL.
constexpr char access_acl[] = "system.posix_acl_access";

// Sets on the new file `fd` what the owner set on the old one, `name` in `folder` (`st`): owner
// and group where this process may set them, extended attributes (ACLs among them) where it can
// read and set them, and the permission bits, never set-ID or sticky bits, which would come from
// a mode someone else may have chosen. False when the group or the permission bits could not be
// kept.
bool keep_what_owner_set(int folder, const std::string& name, const struct stat& st, int fd) {
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
    // The old file's attributes are read through a handle that needs no access to its content.
    const int old = openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    const std::string old_path = old >= 0 ? descriptor_path(old) : std::string();
    try {
        std::vector<char> names(static_cast<std::size_t>(
            std::max<ssize_t>(old >= 0 ? listxattr(old_path.c_str(), nullptr, 0) : 0, 0)));
        const ssize_t listed =
            names.empty() ? 0 : listxattr(old_path.c_str(), names.data(), names.size());
        std::vector<char> value;
        for (ssize_t at = 0; at < listed;) {
            const char* attribute = names.data() + at;
            at += static_cast<ssize_t>(std::strlen(attribute)) + 1;
            has_acl = has_acl || std::strcmp(attribute, access_acl) == 0;
            const ssize_t size = getxattr(old_path.c_str(), attribute, nullptr, 0);
            if (size < 0) continue;
            value.resize(static_cast<std::size_t>(size) + 1);
            const ssize_t got = getxattr(old_path.c_str(), attribute, value.data(), value.size());
            if (got >= 0) {
                (void)fsetxattr(fd, attribute, value.data(), static_cast<std::size_t>(got), 0);
            }
        }
    } catch (const std::bad_alloc&) {
        // Like any attribute that cannot be copied, not a reason to refuse the output.
    }
    if (old >= 0) close(old);
    // Without an ACL of its own the old file had none: not even what the folder hands down.
    if (!has_acl) (void)fremovexattr(fd, access_acl);
    return fchmod(fd, st.st_mode & 0777) == 0;
}

// Whether a file is mounted over `name` in `folder` (a bind mount), which no rename can replace.
bool is_mount_point(int folder, const std::string& name) {
    struct statx sx {};
    if (statx(folder, name.c_str(), 0, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    // Older systems: a file mounted from another file system shows another device.
    struct stat file {};
    struct stat here {};
    return fstatat(folder, name.c_str(), &file, 0) == 0 && fstat(folder, &here) == 0 &&
           file.st_dev != here.st_dev;
}

// Whether a folder lets names be added to it but none be replaced or removed (append-only or
// immutable): a temporary name made there could never be taken back.
bool only_adds_names(int folder) {
    struct statx sx {};
    if (statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) return false;
    return (sx.stx_attributes & sx.stx_attributes_mask &
            (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// A lock on one byte far past the end of any file, taken only by conversions: it keeps two
// conversions writing one output in place apart without standing in the way of any other
// program, which neither reads nor locks there.
constexpr off_t conversion_lock_offset = INT64_MAX - 1;

// The conversions' lock on `fd`, of `type`.
struct flock conversion_lock(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = conversion_lock_offset;
    lock.l_len = 1;
    return lock;
}

// Waits until no other conversion writes the open output `fd`, however long that one takes, and
// keeps others out until `fd` is closed. Never waits on another program: one that locks the whole
// file (as some editors and readers do) is let be, and the run goes on without the lock. False
// only where the file system has no locks at all.
bool exclude_other_conversions(int fd) {
    for (;;) {
        struct flock lock = conversion_lock(F_WRLCK);
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EACCES) return false;
        // Only conversions write-lock that one byte alone; readers' locks are shared, and are
        // not seen by a probe for sharing.
        struct flock holder = conversion_lock(F_RDLCK);
        if (fcntl(fd, F_OFD_GETLK, &holder) != 0) return false;
        if (holder.l_type == F_UNLCK) return true;
        const bool conversion = holder.l_type == F_WRLCK &&
                                holder.l_start == conversion_lock_offset && holder.l_len == 1;
        if (!conversion) return true;
        lock = conversion_lock(F_WRLCK);
        while (fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
}

// File systems that overwrite a block where it lies, so that room allocated for a file is room
// its overwrite will find: ext2, ext3 and ext4, XFS (whose blocks shared with another file are
// made its own first) and tmpfs. Any other, seen directly or through another view (an overlay,
// FUSE), may need new room for every block overwritten.
bool overwrites_where_it_lies(const struct statfs& fs) {
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// Room the file system must keep beyond an overwrite that takes new room, for what it writes
// about it.
constexpr std::uint64_t overwrite_headroom = 1 << 20;

// Reads a number from a small file (a qgroup's figure under /sys); false if there is none.
bool read_number(const std::string& path, std::uint64_t& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0 || text[0] < '0' || text[0] > '9') return false;
    out = std::strtoull(text, nullptr, 10);
    return true;
}

// What a btrfs qgroup limit still lets be written in the subvolume of `fd`; all there is where no
// limit is set or none can be read (limits on qgroups that hold others are not looked at).
std::uint64_t qgroup_room(int fd) {
    std::uint64_t room = UINT64_MAX;
    btrfs_ioctl_fs_info_args info{};
    btrfs_ioctl_ino_lookup_args lookup{};
    lookup.objectid = BTRFS_FIRST_FREE_OBJECTID;  // asks only for the subvolume's id
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0 || ioctl(fd, BTRFS_IOC_INO_LOOKUP, &lookup) != 0)
        return room;
    char uuid[40];
    const std::uint8_t* u = info.fsid;
    std::snprintf(uuid, sizeof uuid,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    const std::string qgroup = std::string("/sys/fs/btrfs/") + uuid + "/qgroups/0_" +
                               std::to_string(lookup.treeid) + "/";
    std::uint64_t flags = 0;
    if (!read_number(qgroup + "limit_flags", flags)) return room;
    // What is reserved for writes not yet accounted counts as taken, as the limit counts it.
    std::uint64_t reserved = 0;
    for (const char* part : {"rsv_data", "rsv_meta_pertrans", "rsv_meta_prealloc"}) {
        std::uint64_t n = 0;
        if (read_number(qgroup + part, n)) reserved += n;
    }
    // The limit on all the subvolume refers to, and the one on what it alone holds.
    for (const auto& [flag, used, limit] :
         {std::tuple{BTRFS_QGROUP_LIMIT_MAX_RFER, "referenced", "max_referenced"},
          std::tuple{BTRFS_QGROUP_LIMIT_MAX_EXCL, "exclusive", "max_exclusive"}}) {
        std::uint64_t taken = 0;
        std::uint64_t most = 0;
        if ((flags & flag) != 0 && read_number(qgroup + limit, most) &&
            read_number(qgroup + used, taken)) {
            taken += reserved;
            room = std::min(room, most > taken ? most - taken : 0);
        }
    }
    return room;
}

// What this user may still write on the file system of `fd`.
std::uint64_t free_room(int fd, const struct statfs& fs) {
    // Only what is free for data: what root alone may use can be held for metadata.
    const std::uint64_t block = static_cast<std::uint64_t>(fs.f_frsize ? fs.f_frsize : fs.f_bsize);
    // Asked of any file system: only btrfs answers, but a view of one may pass the question on.
    return std::min(static_cast<std::uint64_t>(fs.f_bavail) * block, qgroup_room(fd));
}

// Whether `e` says a file system has no room (or this user no more of it).
bool means_no_room(int e) { return e == ENOSPC || e == EDQUOT || e == EFBIG; }

// Takes the blocks below `end` that the file holds none of: its holes read as zeros, so writing
// zeros there changes nothing, but takes the blocks an overwrite will need. False when there is
// no room, or holes remain that could not be found.
bool fill_holes(int fd, off_t end) {
    static const std::uint8_t zeros[64 * 1024] = {};
    for (off_t at = lseek(fd, 0, SEEK_HOLE); at >= 0 && at < end;) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0 || data > end) data = end;
        while (at < data) {
            const std::size_t n = static_cast<std::size_t>(std::min<off_t>(data - at, sizeof zeros));
            const ssize_t written = pwrite(fd, zeros, n, at);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            at += written;
        }
        at = lseek(fd, at, SEEK_HOLE);
    }
    // Where holes cannot be found, a file with fewer blocks than bytes has some left.
    struct stat st {};
    return fstat(fd, &st) == 0 &&
           static_cast<std::uint64_t>(st.st_blocks) * 512 + static_cast<std::uint64_t>(st.st_blksize) >=
               static_cast<std::uint64_t>(end);
}

// Proves room for an in-place output of `size` bytes over an old one of `old_size`, before any
// old byte is overwritten; changes neither a byte nor the size of the old output, so that until
// its header is spoiled, whatever stops the run, the old output is as it was. False when there
// is no room.
bool reserve_in_place(int fd, off_t old_size, off_t size) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(limit.rlim_cur)) {
        return false;
    }
    struct statfs fs {};
    const bool trusted = fstatfs(fd, &fs) == 0 && overwrites_where_it_lies(fs);
    const std::uint64_t wanted = static_cast<std::uint64_t>(size) + overwrite_headroom;
    // Where an overwrite may take new room for every block, whatever was allocated, the whole
    // conversion must fit in what this user may still write.
    if (!trusted && free_room(fd, fs) < wanted) return false;
    if (size == 0) return true;
    // Blocks an old output shares with another file (a reflink copy) must be its own first.
    const off_t kept = std::min(old_size, size);
    if (kept > 0 && fallocate(fd, FALLOC_FL_UNSHARE_RANGE, 0, kept) != 0 && means_no_room(errno))
        return false;
    // Allocation also takes the blocks of the old output's holes; the size stays the old one.
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    if (!trusted) return true;
    // Without allocation (ext2, ext3), the old output's holes are filled with zeros, and what the
    // conversion adds past its end must be free; holes that cannot be found count as room still
    // to be taken.
    const std::uint64_t growth = static_cast<std::uint64_t>(size - kept);
    const std::uint64_t unfilled =
        kept > 0 && !fill_holes(fd, kept) ? static_cast<std::uint64_t>(kept) : 0;
    return free_room(fd, fs) >= growth + unfilled + overwrite_headroom;
}

// Forces what was written to `fd` to the disk, where the file system can.
bool sync_data(int fd) { return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS; }

// Writes all `n` bytes at `offset`; false on failure.
bool write_all_at(int fd, const std::uint8_t* data, std::size_t n, off_t offset) {
    while (n != 0) {
        const ssize_t written = pwrite(fd, data, n, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        offset += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}
}  // namespace

void abandon_outputs() {
    if (pending_name[0] != '\0') unlinkat(pending_folder, pending_name, 0);
    if (in_place_fd >= 0) (void)ftruncate(in_place_fd, in_place_cut_to);
}

void prepare_process() {
    // One call per signal: each disposition is set and the caller's read back at once, and a
    // signal the caller chose to ignore (nohup, trap '' INT) is given its SIG_IGN again. Signals
    // wait meanwhile, so none meets a disposition it should not have; one that was ignored and
    // came in the meantime is dropped as the caller's SIG_IGN returns.
    sigset_t every, before;
    sigfillset(&every);
    sigprocmask(SIG_BLOCK, &every, &before);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    for (int s : {SIGXFSZ, SIGPIPE}) {
        if (sigaction(s, &ignore, &old) == 0 && old.sa_handler != SIG_IGN) set_aside.push_back(s);
    }
    // The standard signals, then the real-time ones this C library leaves to programs.
    sigemptyset(&answered_signals);
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if ((s > SIGSYS && s < SIGRTMIN) || s == SIGXFSZ || s == SIGPIPE) continue;
        if (ends_process_by_default(s)) sigaddset(&answered_signals, s);
    }
    // Every handler cleans up the same file: one at a time.
    struct sigaction action {};
    action.sa_handler = remove_pending_and_reraise;
    action.sa_mask = answered_signals;
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if (sigismember(&answered_signals, s) != 1) continue;
        if (sigaction(s, &action, &old) != 0) {
            sigdelset(&answered_signals, s);
        } else if (old.sa_handler == SIG_IGN) {
            sigaction(s, &old, nullptr);
            sigdelset(&answered_signals, s);
        } else {
            set_aside.push_back(s);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
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
    // Written through, as a plain overwrite would; a link to nothing is refused, not replaced.
    // Each link is read in its own folder, so that where it leads may be of any length.
    target = path;
    for (int links = 0;; ++links) {
        const OpenFolder folder(folder_prefix(target));
        if (folder.fd() < 0) return links == 0;
        const std::string leaf = leaf_of(target);
        struct stat st {};
        if (fstatat(folder.fd(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // A path that names nothing yet is a new output; a link to nothing is refused.
            return links == 0;
        }
        if (!S_ISLNK(st.st_mode)) return true;
        if (links == 40) return false;  // as the system refuses a loop of links
        std::string leads_to(static_cast<std::size_t>(st.st_size) + 1, '\0');
        for (;;) {
            const ssize_t got =
                readlinkat(folder.fd(), leaf.c_str(), leads_to.data(), leads_to.size());
            if (got < 0) return false;
            if (static_cast<std::size_t>(got) < leads_to.size()) {
                leads_to.resize(static_cast<std::size_t>(got));
                break;
            }
            leads_to.resize(leads_to.size() * 2);
        }
        if (leads_to.empty()) return false;
        target = leads_to[0] == '/' ? leads_to : folder_prefix(target) + leads_to;
    }
}

Target inspect_target(const std::string& target, std::FILE* input) {
    const OpenFolder folder(folder_prefix(target));
    if (folder.fd() < 0) return {TargetKind::not_replaceable};
    const std::string leaf = leaf_of(target);
    struct stat st {};
    if (fstatat(folder.fd(), leaf.c_str(), &st, 0) != 0) {
        return {errno == ENOENT ? TargetKind::missing : TargetKind::not_replaceable};
    }
    struct stat in {};
    if (fstat(fileno(input), &in) != 0 || maybe_same_file(identity_of(in), st)) {
        return {TargetKind::input};
    }
    if (!S_ISREG(st.st_mode) || !has_write_permission(st) ||
        faccessat(folder.fd(), leaf.c_str(), W_OK, 0) != 0) {
        return {TargetKind::not_replaceable};
    }
    // Only root can give a new file someone else's ownership, and no new file can take the name
    // of a file mounted over it or in a folder that only lets names be added.
    return {TargetKind::replaceable, (geteuid() == 0 || st.st_uid == geteuid()) &&
                                         !is_mount_point(folder.fd(), leaf) &&
                                         !only_adds_names(folder.fd())};
}

bool create_pending(const std::string& target, std::FILE* input, PendingFile& pending) {
    struct stat in {};
    if (fstat(fileno(input), &in) != 0) return false;
    OpenFolder folder(folder_prefix(target));
    if (folder.fd() < 0) return false;
    pending = PendingFile{};
    pending.target = target;
    pending.input = identity_of(in);
    int fd = create_unnamed(folder.fd());
    if (fd < 0) fd = create_named(folder.fd(), pending.temp_path);
    if (fd < 0) return false;
    pending.folder = folder.release();
    // A new file keeps what it was created with.
    const std::string leaf = leaf_of(target);
    struct stat st {};
    const bool kept = fstatat(pending.folder, leaf.c_str(), &st, 0) != 0 ||
                      keep_what_owner_set(pending.folder, leaf, st, fd);
    pending.stream = kept ? fdopen(fd, "wb") : nullptr;
    if (pending.stream == nullptr) {
        close(fd);
        remove_named(pending);
        close_folder(pending);
        return false;
    }
    return true;
}

namespace {

// Opens the old output `name` in `folder` to be written over, as open_in_place does, refusing
// the input known by `input`.
InPlaceResult open_in_place_beside(int folder, const std::string& target, const FileIdentity& input,
                                   std::uint64_t size, std::size_t head_size,
                                   PendingFile& pending) {
    const std::string leaf = leaf_of(target);
    // Read access too, where there is any, as a plain open for update would ask for.
    int access = O_RDWR;
    int fd = openat(folder, leaf.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        access = O_WRONLY;
        fd = openat(folder, leaf.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    // A lease another program holds on the file (a file server's) is broken by the open, which
    // then waits for the holder to let go, as a plain open for writing would.
    struct stat kind {};
    if (fd < 0 && errno == EWOULDBLOCK && fstatat(folder, leaf.c_str(), &kind, 0) == 0 &&
        S_ISREG(kind.st_mode)) {
        fd = openat(folder, leaf.c_str(), access | O_NOCTTY | O_CLOEXEC);
    }
    // An overlay copies a file up to be written: with no room for that, nothing was touched.
    if (fd < 0) return means_no_room(errno) ? InPlaceResult::no_room : InPlaceResult::not_openable;
    struct stat st {};
    // It must be what was inspected: a regular file, and not the input. Another conversion
    // writing it in place finishes first, so that the result is one conversion or the other.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || maybe_same_file(input, st) ||
        size > static_cast<std::uint64_t>(INT64_MAX) || fcntl(fd, F_SETFL, 0) != 0 ||
        (!exclude_other_conversions(fd) && errno != ENOLCK && errno != EINVAL &&
         errno != EOPNOTSUPP) ||
        fstat(fd, &st) != 0) {
        close(fd);
        return InPlaceResult::not_openable;
    }
    with_signals_blocked([&] {
        in_place_cut_to = st.st_size;
        return in_place_fd = fd;
    });
    // Room for the whole conversion first, so that a full disk, a quota or a file size limit is
    // met before a byte of the old output is lost.
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
    pending.head_size = head_size;
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
                            std::size_t head_size, PendingFile& pending) {
    struct stat in {};
    if (fstat(fileno(input), &in) != 0) return InPlaceResult::not_openable;
    const OpenFolder folder(folder_prefix(target));
    if (folder.fd() < 0) return InPlaceResult::not_openable;
    return open_in_place_beside(folder.fd(), target, identity_of(in), size, head_size, pending);
}

bool begin_overwrite(PendingFile& pending) {
    static const std::uint8_t zeros[256] = {};
    const int fd = fileno(pending.stream);
    const std::size_t n = std::min(pending.head_size, sizeof zeros);
    // The header goes first, and is on the disk before anything else is overwritten: from then
    // on no stop, not even a kill or a power cut, leaves a file that passes for a database.
    const ssize_t spoiled = with_signals_blocked([&] {
        in_place_cut_to = 0;
        ssize_t written;
        do {
            written = pwrite(fd, zeros, n, 0);
        } while (written < 0 && errno == EINTR);
        // Nothing changed: an interrupt may still leave the old output as it was.
        if (written <= 0) in_place_cut_to = static_cast<off_t>(pending.old_size);
        return written;
    });
    if (spoiled <= 0) return false;
    pending.overwriting = true;
    return static_cast<std::size_t>(spoiled) == n && sync_data(fd) &&
           lseek(fd, static_cast<off_t>(n), SEEK_SET) == static_cast<off_t>(n);
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
bool link_to_new_target(int fd, const PendingFile& pending) {
    const std::string self = descriptor_path(fd);
    return linkat(AT_FDCWD, self.c_str(), pending.folder, leaf_of(pending.target).c_str(),
                  AT_SYMLINK_FOLLOW) == 0;
}

// Gives an in-place output its final size, puts it on the disk, then writes its header, and
// closes it; on failure cuts it to nothing, and where even that fails its header stays spoiled.
CommitResult finish_in_place(PendingFile& pending) {
    const int fd = fileno(pending.stream);
    // A close can report what an earlier write could not (a network file system's write-back);
    // a second descriptor still reaches the file then.
    const int spare = dup(fd);
    bool done = std::fflush(pending.stream) == 0 &&
                ftruncate(fd, static_cast<off_t>(pending.new_size)) == 0 && sync_data(fd);
    done = done && with_signals_blocked([&] {
               const bool headed =
                   write_all_at(fd, pending.head.data(), pending.head.size(), 0);
               if (headed) in_place_fd = -1;
               return headed;
           });
    done = std::fclose(pending.stream) == 0 && done;
    pending.stream = nullptr;
    if (!done && spare >= 0) (void)ftruncate(spare, 0);
    in_place_fd = -1;
    if (spare >= 0) close(spare);
    return done ? CommitResult::done : CommitResult::write_failed;
}

// Copies the complete conversion open as `complete` over the old output at the pending file's
// target, in place, its header last.
CommitResult copy_over_in_place(int complete, const PendingFile& pending) {
    struct stat st {};
    if (complete < 0 || fstat(complete, &st) != 0) return CommitResult::not_replaceable;
    PendingFile target;
    switch (open_in_place_beside(pending.folder, pending.target, pending.input,
                                 static_cast<std::uint64_t>(st.st_size), pending.head_size,
                                 target)) {
        case InPlaceResult::opened:
            break;
        case InPlaceResult::no_room:
            return CommitResult::write_failed;
        case InPlaceResult::not_openable:
            return CommitResult::not_replaceable;
    }
    const off_t head = std::min<off_t>(static_cast<off_t>(target.head_size), st.st_size);
    target.head.resize(static_cast<std::size_t>(head));
    bool copied = pread(complete, target.head.data(), target.head.size(), 0) == head &&
                  begin_overwrite(target);
    const int out = fileno(target.stream);
    for (off_t from = head, to = head; copied && from < st.st_size;) {
        const std::size_t rest = static_cast<std::size_t>(st.st_size - from);
        ssize_t n = copy_file_range(complete, &from, out, &to, rest, 0);
        if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                      errno == EOPNOTSUPP)) {
            static std::uint8_t buffer[64 * 1024];
            n = pread(complete, buffer, std::min(rest, sizeof buffer), from);
            if (n > 0 && !write_all_at(out, buffer, static_cast<std::size_t>(n), to)) n = -1;
            if (n > 0) {
                from += n;
                to += n;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        copied = n > 0;
    }
    if (!copied) {
        discard_pending(target);
        return CommitResult::write_failed;
    }
    return finish_in_place(target);
}

CommitResult commit_pending(PendingFile& pending, Durability durability) {
    if (pending.in_place) {
        const CommitResult finished = finish_in_place(pending);
        close_folder(pending);
        return finished;
    }
    const int fd = fileno(pending.stream);
    const bool written =
        std::fflush(pending.stream) == 0 && (durability != Durability::on_disk || fsync(fd) == 0);
    // A new output takes its name in one step; one that replaces a file goes by a temporary name,
    // since a link cannot replace.
    if (written && pending.temp_path.empty() && link_to_new_target(fd, pending)) {
        const bool closed = std::fclose(pending.stream) == 0;
        pending.stream = nullptr;
        if (!closed) unlinkat(pending.folder, leaf_of(pending.target).c_str(), 0);
        close_folder(pending);
        return closed ? CommitResult::done : CommitResult::write_failed;
    }
    const bool named = written && (!pending.temp_path.empty() || name_unnamed(fd, pending));
    // Kept open, so that a conversion that cannot take the output's name can still be copied.
    const int complete = written ? dup(fd) : -1;
    const bool closed = std::fclose(pending.stream) == 0;
    pending.stream = nullptr;
    CommitResult result = CommitResult::done;
    if (!written || !closed) {
        result = CommitResult::write_failed;
    } else {
        const bool moved = named && with_signals_blocked([&] {
            const bool done = renameat(pending.folder, pending.temp_path.c_str(), pending.folder,
                                       leaf_of(pending.target).c_str()) == 0;
            if (done) forget_pending_name();
            return done;
        });
        if (moved) {
            pending.temp_path.clear();
        } else {
            // As a plain overwrite would: the old output written over in place, room taken first.
            result = copy_over_in_place(complete, pending);
        }
    }
    if (complete >= 0) close(complete);
    remove_named(pending);
    close_folder(pending);
    return result;
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
    close_folder(pending);
}

}  // namespace palmconv::platform
