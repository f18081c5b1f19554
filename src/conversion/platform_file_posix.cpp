#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// The temporary file an interrupt must remove; empty when there is none.
char pending_temporary[4096];

void remove_pending_and_reraise(int signal_number) {
    if (pending_temporary[0] != '\0') unlink(pending_temporary);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Runs `action` with the interrupting signals held back, so the pending name and the file agree.
template <typename Action>
auto with_signals_blocked(Action action) {
    sigset_t block, previous;
    sigemptyset(&block);
    for (int s : interrupting_signals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &previous);
    auto result = action();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

bool has_write_permission(const struct stat& st) {
    // Root may write anything; a file with no write bit at all is still treated as read-only.
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

mode_t mode_for_new_file() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

void prepare_process() {
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    for (int s : interrupting_signals) {
        struct sigaction action {};
        action.sa_handler = remove_pending_and_reraise;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
}

std::FILE* open_shared_for_update(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) return nullptr;
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || !has_write_permission(st)) {
        std::fclose(file);
        return nullptr;
    }
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

bool may_replace(const std::string& target) {
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode) && has_write_permission(st) && access(target.c_str(), W_OK) == 0;
}

std::FILE* create_temporary_beside(const std::string& target, std::string& temp_path) {
    std::string name = target + ".XXXXXX";
    if (name.size() >= sizeof pending_temporary) return nullptr;
    const int fd = with_signals_blocked([&] {
        const int created = mkstemp(name.data());
        if (created >= 0) std::memcpy(pending_temporary, name.c_str(), name.size() + 1);
        return created;
    });
    if (fd < 0) return nullptr;
    // A replaced file keeps its permissions; a new one gets those any newly created file gets.
    struct stat st {};
    const mode_t mode = stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_for_new_file();
    std::FILE* file = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        close(fd);
        remove_temporary(name);
        return nullptr;
    }
    temp_path = name;
    return file;
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

bool sync_to_disk(std::FILE* file) { return fsync(fileno(file)) == 0; }

bool replace_file(const std::string& from, const std::string& to) {
    return with_signals_blocked([&] {
        const bool moved = std::rename(from.c_str(), to.c_str()) == 0;
        if (moved) pending_temporary[0] = '\0';
        return moved;
    });
}

void remove_temporary(const std::string& temp_path) {
    with_signals_blocked([&] {
        unlink(temp_path.c_str());
        pending_temporary[0] = '\0';
        return 0;
    });
}

}  // namespace palmconv::platform
