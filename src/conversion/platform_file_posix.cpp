#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// The named temporary file an interrupt must remove; empty when there is none.
char pending_name[4096];

void remove_pending_and_reraise(int signal_number) {
    if (pending_name[0] != '\0') unlink(pending_name);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Signals whose default action ends the process and that a handler can answer.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

// Runs `action` with the ending signals held back, so the pending name and the file agree.
template <typename Action>
auto with_signals_blocked(Action action) {
    sigset_t block, previous;
    sigemptyset(&block);
    for (int s : ending_signals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &previous);
    auto result = action();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
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
    const int fd = open(prefix.empty() ? "." : prefix.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
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
                open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, new_file_mode);
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

}  // namespace

void prepare_process() {
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    for (int s : ending_signals) {
        // A signal the caller chose to ignore (nohup, trap '' INT) stays ignored.
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = remove_pending_and_reraise;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
}

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
    if (file == nullptr) close(fd);
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

const std::uint8_t* map_view(std::FILE* file, std::uint64_t offset, std::size_t size,
                             Mapping& mapping) {
    unmap_view(mapping);
    static const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    const std::size_t length = size + static_cast<std::size_t>(offset - start);
    if (size == 0 || start > static_cast<std::uint64_t>(INT64_MAX)) return nullptr;
    // Read in ahead as one request, rather than one page fault at a time.
    void* address = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fileno(file),
                         static_cast<off_t>(start));
    if (address == MAP_FAILED) return nullptr;
    mapping = {address, length};
    return static_cast<const std::uint8_t*>(address) + (offset - start);
}

void unmap_view(Mapping& mapping) {
    if (mapping.address != nullptr) munmap(mapping.address, mapping.size);
    mapping = {};
}

bool may_replace(const std::string& target) {
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode) && has_write_permission(st) && access(target.c_str(), W_OK) == 0;
}

bool create_pending(const std::string& target, PendingFile& pending) {
    const std::string prefix = folder_prefix(target);
    if (prefix.size() + sizeof temp_prefix + temp_random_size >= sizeof pending_name) return false;
    pending = PendingFile{};
    pending.target = target;
    int fd = create_unnamed(prefix);
    if (fd < 0) fd = create_named(prefix, pending.temp_path);
    if (fd < 0) return false;
    // A replaced file keeps its permission bits, but never set-ID or sticky bits, which would come
    // from a mode that someone else may have chosen; a new file keeps what it was created with.
    struct stat st {};
    const bool mode_kept = stat(target.c_str(), &st) != 0 || fchmod(fd, st.st_mode & 0777) == 0;
    pending.stream = mode_kept ? fdopen(fd, "wb") : nullptr;
    if (pending.stream == nullptr) {
        close(fd);
        remove_named(pending);
        return false;
    }
    return true;
}

bool write_spans(std::FILE* file, const ByteSpan* spans, std::size_t count) {
    if (std::fflush(file) != 0) return false;
    const int fd = fileno(file);
    iovec pieces[IOV_MAX < 1024 ? IOV_MAX : 1024];
    std::size_t next = 0;
    std::size_t done_in_next = 0;  // bytes of spans[next] already written
    while (next < count) {
        int n = 0;
        for (std::size_t i = next; i < count && n < static_cast<int>(std::size(pieces)); ++i, ++n) {
            const std::size_t skip = i == next ? done_in_next : 0;
            pieces[n].iov_base = const_cast<std::uint8_t*>(spans[i].data + skip);
            pieces[n].iov_len = spans[i].size - skip;
        }
        ssize_t written = writev(fd, pieces, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Step past what was written; a short write resumes inside a span.
        while (next < count &&
               static_cast<std::size_t>(written) >= spans[next].size - done_in_next) {
            written -= static_cast<ssize_t>(spans[next].size - done_in_next);
            done_in_next = 0;
            ++next;
        }
        done_in_next += static_cast<std::size_t>(written);
    }
    return true;
}

// Links a complete unnamed file straight to a target that does not exist yet; false, errno set,
// when it could not.
bool link_to_new_target(int fd, const std::string& target) {
    const std::string self = descriptor_path(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

CommitResult commit_pending(PendingFile& pending, Durability durability) {
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
    const bool closed = std::fclose(pending.stream) == 0;
    pending.stream = nullptr;
    if (!written || !closed) {
        remove_named(pending);
        return CommitResult::write_failed;
    }
    if (!named) return CommitResult::not_replaceable;
    const bool moved = with_signals_blocked([&] {
        const bool done = std::rename(pending.temp_path.c_str(), pending.target.c_str()) == 0;
        if (done) forget_pending_name();
        return done;
    });
    if (!moved) {
        remove_named(pending);
        return CommitResult::not_replaceable;
    }
    pending.temp_path.clear();
    return CommitResult::done;
}

void discard_pending(PendingFile& pending) {
    if (pending.stream != nullptr) std::fclose(pending.stream);
    pending.stream = nullptr;
    remove_named(pending);
}

}  // namespace palmconv::platform
