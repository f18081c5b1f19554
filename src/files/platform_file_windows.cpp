// File operations on Windows: the input, temporary and in-place outputs, the console interrupt.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// A temporary file that could not be marked for deletion, which a console interrupt must remove
// by name; empty when there is none. The handler runs on a thread of its own, so the name is
// only read or changed under the lock, and the lock also keeps an interrupt out of a commit.
CRITICAL_SECTION pending_lock;
std::wstring* unmarked_temporary = nullptr;  // never destroyed: the handler may run at any time
// An old output being written in place, or null, and the size an interrupt must cut it to: its
// old size while room is reserved, nothing once its old content has begun to be overwritten.
HANDLE in_place = nullptr;
std::uint64_t in_place_cut_to = 0;

// Sets the end of the open file; false on failure.
bool set_size(HANDLE handle, std::uint64_t size) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &info, sizeof info) != 0;
}

// Cuts an in-place output to `size` and stops an interrupt from cutting it again.
void let_go_of_in_place(HANDLE handle, std::uint64_t size) {
    EnterCriticalSection(&pending_lock);
    set_size(handle, size);
    in_place = nullptr;
    LeaveCriticalSection(&pending_lock);
}

// Removes an unmarked temporary file and cuts an in-place output; the caller holds the lock.
void abandon_outputs_locked() {
    // A file marked for deletion goes with the process; the file is open, but shared for this.
    if (!unmarked_temporary->empty()) DeleteFileW(unmarked_temporary->c_str());
    if (in_place != nullptr) set_size(in_place, in_place_cut_to);
}

BOOL WINAPI end_on_interrupt(DWORD) {
    EnterCriticalSection(&pending_lock);
    abandon_outputs_locked();
    // Ended here, still holding the lock, so that no commit can follow; as the default would.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Marks the open file for deletion when its last handle closes, or clears the mark.
bool mark_for_deletion(HANDLE handle, bool marked) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// `path` in UTF-16, made absolute; empty when it cannot be converted.
std::wstring full_wide_path(const std::string& path) {
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (size <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
    const DWORD full_size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (full_size == 0) return {};
    std::wstring full(full_size, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), full_size, full.data(), nullptr);
    if (written == 0 || written >= full_size) return {};
    full.resize(written);
    return full;
}

// `path` for the wide file functions: absolute, and past MAX_PATH with the prefix that lifts the
// limit, so that a path the system can hold is never refused for its length; empty when it
// cannot be converted. Shorter paths are left without it, to be read as ever.
std::wstring long_path(const std::string& path) {
    std::wstring full = full_wide_path(path);
    if (full.size() < MAX_PATH) return full;
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Room a volume must keep beyond an overwrite that takes new room, for what it writes about it.
constexpr std::uint64_t overwrite_headroom = 1 << 20;

// Proves room for `size` bytes over an old output of `old_size` in `folder` before anything of it
// is overwritten, changing neither its content nor its size, so that until its header is spoiled
// whatever stops the run leaves it as it was: by allocation, or, where the file system cannot
// allocate (wine), or the old output is sparse or compressed (overwriting it takes new
// clusters), by finding that room free for this user. False when there is none.
bool reserve(HANDLE handle, const std::string& folder, std::uint64_t old_size,
             std::uint64_t size) {
    BY_HANDLE_FILE_INFORMATION info{};
    const bool packed =
        GetFileInformationByHandle(handle, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_COMPRESSED)) != 0;
    if (!packed) {
        FILE_ALLOCATION_INFO room{};
        room.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
        if (SetFileInformationByHandle(handle, FileAllocationInfo, &room, sizeof room)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED &&
            error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION) {
            return false;
        }
    }
    const std::uint64_t needed = packed ? size : (size > old_size ? size - old_size : 0);
    ULARGE_INTEGER available{};
    // The volume of the output's own folder, which need not be the current disk's root.
    return GetDiskFreeSpaceExW(long_path(folder.empty() ? ".\\" : folder).c_str(), &available,
                               nullptr, nullptr) &&
           available.QuadPart >= needed + overwrite_headroom;
}

// Writes `n` bytes at `offset` through the handle, adding up in `written` how many were;
// false unless all were.
bool write_all_at(HANDLE handle, const void* data, DWORD n, std::uint64_t offset,
                  DWORD& written) {
    written = 0;
    while (written < n) {
        OVERLAPPED where{};
        const std::uint64_t at = offset + written;
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!WriteFile(handle, static_cast<const char*>(data) + written, n - written, &got,
                       &where) ||
            got == 0) {
            return false;
        }
        written += got;
    }
    return true;
}

// A lock on one byte far past the end of any file, taken only by conversions: it keeps two
// conversions writing one output in place apart without standing in the way of any other
// program, which neither reads, writes nor locks there.
constexpr std::uint64_t conversion_lock_offset = 0x7FFFFFFFFFFFFFFEull;

// Waits until no other conversion writes the open output `handle`, however long that one takes,
// and keeps others out until `handle` is closed; also true where the file system has no locks.
bool exclude_other_conversions(HANDLE handle) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(conversion_lock_offset);
    where.OffsetHigh = static_cast<DWORD>(conversion_lock_offset >> 32);
    // Never given up after a while: a conversion passed by would mix its bytes with the other's.
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &where)) return true;
    const DWORD error = GetLastError();
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

constexpr DWORD all_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long an open or a move that another program's open stands in the way of is tried again.
// Scanners, indexers and the shell open a new file for a moment, sharing only reading; a program
// that keeps a file open so is still refused, this much later.
constexpr ULONGLONG sharing_wait_ms = 2000;

// Whether `error` may come from another program's brief open of the file.
bool passing_conflict(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Runs `attempt` until it succeeds, fails for another reason than a passing conflict, or the
// wait is over; the last error is left for GetLastError.
template <typename Attempt>
bool retry_past_brief_opens(Attempt attempt) {
    const ULONGLONG start = GetTickCount64();
    DWORD pause = 10;
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!passing_conflict(error) || GetTickCount64() - start >= sharing_wait_ms) {
            SetLastError(error);
            return false;
        }
        Sleep(pause);
        pause = std::min<DWORD>(pause * 2, 200);
    }
}

// The input's stream buffer: records are read through it into the output's block.
constexpr std::size_t input_buffer_size = 1024 * 1024;

// Whether two open handles are the same file, however each was named.
bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// Sets on the new file `handle` what the owner set on the old one at `target`, where there is
// one: its attributes but read-only, and, where it can be, its access control list. A failure
// leaves the new file as it was created.
void keep_what_owner_set(const std::string& target, HANDLE handle) {
    const std::wstring name = long_path(target);
    const DWORD old = GetFileAttributesW(name.c_str());
    if (old == INVALID_FILE_ATTRIBUTES) return;
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};  // times of zero are left as they are
    basic.FileAttributes = (old & kept) != 0 ? (old & kept) : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    DWORD needed = 0;
    GetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return;
    try {
        std::vector<unsigned char> descriptor(needed);
        if (GetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                             &needed)) {
            SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor.data());
        }
    } catch (const std::bad_alloc&) {
        // Like a list that cannot be set, not a reason to refuse the output.
    }
}

// Moves the open file over `target` through its own handle.
bool rename_open_file(HANDLE handle, const std::string& target) {
    const std::wstring name = long_path(target);
    if (name.empty()) return false;
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), info->FileName);
    return SetFileInformationByHandle(handle, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// A candidate temporary name of `size` characters (at least 3).
std::string temp_candidate(std::size_t size) {
    static unsigned long long state = 0;
    if (state == 0) state = (GetCurrentProcessId() * 0x9E3779B97F4A7C15ull) ^ GetTickCount64();
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = "~";
    while (name.size() < size) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    return name;
}

// Temporary names are at most this long, and never longer than the output's own name, so that
// a temporary path is never longer than the output's path.
constexpr std::size_t temp_name_size = 12;

void remove_by_name(PendingFile& pending) {
    if (pending.temp_path.empty()) return;
    EnterCriticalSection(&pending_lock);
    DeleteFileW(long_path(pending.temp_path).c_str());
    unmarked_temporary->clear();
    LeaveCriticalSection(&pending_lock);
}

}  // namespace

void abandon_outputs() {
    EnterCriticalSection(&pending_lock);
    abandon_outputs_locked();
    LeaveCriticalSection(&pending_lock);
}

void prepare_process() {
    InitializeCriticalSection(&pending_lock);
    unmarked_temporary = new std::wstring;
    SetConsoleCtrlHandler(end_on_interrupt, TRUE);
}

std::vector<int> signals_set_aside() { return {}; }

PathSyntax path_syntax() {
    PathSyntax syntax;
    syntax.separators = "\\/:";
    const UINT code_page = GetACP();
    CPINFO info{};
    if (code_page == CP_UTF8) {
        syntax.encoding = PathSyntax::Encoding::utf8;
    } else if (GetCPInfo(code_page, &info) && info.MaxCharSize > 1) {
        syntax.encoding = PathSyntax::Encoding::double_byte;
        // Pairs of inclusive ranges, closed by a pair of zeros.
        for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
            for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) {
                syntax.lead_bytes.set(b);
            }
        }
    } else {
        syntax.encoding = PathSyntax::Encoding::single_byte;
    }
    return syntax;
}

std::FILE* open_input(const std::string& path) {
    // Opened for update, as the system's own check of whether another program holds it locked.
    std::FILE* file = _wfsopen(long_path(path).c_str(), L"r+b", _SH_DENYNO);
    if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, input_buffer_size);
    return file;
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool size_of(std::FILE* file, std::uint64_t& out) {
    if (_fseeki64(file, 0, SEEK_END) != 0) return false;
    const __int64 end = _ftelli64(file);
    if (end < 0) return false;
    out = static_cast<std::uint64_t>(end);
    return true;
}

// Blocks start at the same place within a page as their bytes in the file.
constexpr std::size_t block_page_size = 4096;

MutableSpan allocate_block(std::size_t size, std::uint64_t file_offset) {
    const std::size_t skip = static_cast<std::size_t>(file_offset % block_page_size);
    if (size > SIZE_MAX - skip) return {nullptr, 0};
    void* address = VirtualAlloc(nullptr, skip + size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (address == nullptr) return {nullptr, 0};
    return {static_cast<std::uint8_t*>(address) + skip, size};
}

void release_block(MutableSpan block) {
    if (block.data == nullptr) return;
    // The allocation began at the start of the page the block starts in.
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block.data);
    VirtualFree(reinterpret_cast<void*>(start - start % block_page_size), 0, MEM_RELEASE);
}

std::size_t read_spans(std::FILE* file, const MutableSpan* spans, std::size_t count) {
    // Through the stream's buffer, which turns the many short reads of short records into few.
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t got = std::fread(spans[i].data, 1, spans[i].size, file);
        total += got;
        if (got != spans[i].size) break;
    }
    return total;
}

bool follow_links(const std::string& path, std::string& target) {
    const std::wstring name = long_path(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        target = path;
        return true;
    }
    // Written through, as a plain overwrite would; a link to nothing is refused, not replaced.
    const HANDLE file = CreateFileW(name.c_str(), 0, all_sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
    std::wstring final_path(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetFinalPathNameByHandleW(file, final_path.data(), size, flags);
    CloseHandle(file);
    if (length == 0 || length >= size) return false;
    const int narrow_size = WideCharToMultiByte(CP_ACP, 0, final_path.c_str(),
                                                static_cast<int>(length), nullptr, 0, nullptr,
                                                nullptr);
    if (narrow_size <= 0) return false;
    target.assign(static_cast<std::size_t>(narrow_size), '\0');
    WideCharToMultiByte(CP_ACP, 0, final_path.c_str(), static_cast<int>(length), target.data(),
                        narrow_size, nullptr, nullptr);
    // The long-path prefix the system puts before a drive letter is not needed by the rest.
    if (target.rfind("\\\\?\\", 0) == 0 && target.size() > 6 && target[5] == ':') {
        target.erase(0, 4);
    }
    return true;
}

Target inspect_target(const std::string& target, std::FILE* input) {
    const std::wstring name = long_path(target);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return {error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                    ? TargetKind::missing
                    : TargetKind::not_replaceable};
    }
    // Opened for no access at all, which no other opener's sharing can refuse.
    const HANDLE existing = CreateFileW(name.c_str(), 0, all_sharing, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool is_input = existing != INVALID_HANDLE_VALUE && same_file(existing, handle_of(input));
    if (existing != INVALID_HANDLE_VALUE) CloseHandle(existing);
    if (is_input) return {TargetKind::input};
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return {TargetKind::not_replaceable};
    }
    // An open that shares nothing fails while any other program holds the file open, and a
    // file held open cannot be replaced by another.
    const HANDLE alone =
        CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool held = alone == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
    return {TargetKind::replaceable, !held};
}

bool create_pending(const std::string& target, std::FILE*, PendingFile& pending) {
    const std::size_t name_start = file_name_start(target, path_syntax());
    const std::string folder = target.substr(0, name_start);
    const std::size_t size = std::min(temp_name_size, target.size() - name_start);
    if (size < 3) return false;
    pending = PendingFile{};
    pending.target = target;
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = folder + temp_candidate(size);
        const std::wstring wide_name = long_path(name);
        // Created exclusively, so an existing file of the same name is never touched; shared for
        // deletion, so an interrupt can remove it while it is open; marked for deletion at once,
        // so that it goes with the process however the process ends, until the commit.
        EnterCriticalSection(&pending_lock);
        const HANDLE handle =
            CreateFileW(wide_name.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC, all_sharing, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE && !mark_for_deletion(handle, true)) {
            *unmarked_temporary = wide_name;
        }
        LeaveCriticalSection(&pending_lock);
        if (handle == INVALID_HANDLE_VALUE) {
            if (error == ERROR_FILE_EXISTS) continue;
            return false;
        }
        pending.temp_path = name;
        keep_what_owner_set(target, handle);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        pending.stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
        if (pending.stream == nullptr) {
            if (fd >= 0) {
                _close(fd);
            } else {
                CloseHandle(handle);
            }
            remove_by_name(pending);
            return false;
        }
        return true;
    }
    return false;
}

InPlaceResult open_in_place(const std::string& target, std::FILE* input, std::uint64_t size,
                            std::size_t head_size, PendingFile& pending) {
    // Shared as widely as can be, so that a program that holds the old output open to read it
    // does not stand in the way; one that denies writing still does.
    const std::wstring name = long_path(target);
    HANDLE handle = INVALID_HANDLE_VALUE;
    retry_past_brief_opens([&] {
        handle = CreateFileW(name.c_str(), GENERIC_WRITE, all_sharing, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    if (handle == INVALID_HANDLE_VALUE) return InPlaceResult::not_openable;
    // It must be a file on a disk, and not the input. Another conversion writing it in place
    // finishes first, so that the result is one conversion or the other; its size is read after.
    LARGE_INTEGER old_size{};
    if (same_file(handle, handle_of(input)) || GetFileType(handle) != FILE_TYPE_DISK ||
        !exclude_other_conversions(handle) || !GetFileSizeEx(handle, &old_size)) {
        CloseHandle(handle);
        return InPlaceResult::not_openable;
    }
    EnterCriticalSection(&pending_lock);
    in_place = handle;
    in_place_cut_to = static_cast<std::uint64_t>(old_size.QuadPart);
    LeaveCriticalSection(&pending_lock);
    const std::string folder = target.substr(0, file_name_start(target, path_syntax()));
    if (!reserve(handle, folder, static_cast<std::uint64_t>(old_size.QuadPart), size)) {
        let_go_of_in_place(handle, static_cast<std::uint64_t>(old_size.QuadPart));
        CloseHandle(handle);
        return InPlaceResult::no_room;
    }
    pending = PendingFile{};
    pending.target = target;
    pending.in_place = true;
    pending.old_size = static_cast<std::uint64_t>(old_size.QuadPart);
    pending.new_size = size;
    pending.head_size = head_size;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    pending.stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    // Unbuffered: no bytes may wait in the stream for the exit to write after an interrupt has
    // cut the file; the conversion is written in large blocks anyway.
    if (pending.stream != nullptr) std::setvbuf(pending.stream, nullptr, _IONBF, 0);
    if (pending.stream == nullptr) {
        let_go_of_in_place(handle, pending.old_size);
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(handle);
        }
        return InPlaceResult::not_openable;
    }
    return InPlaceResult::opened;
}

bool begin_overwrite(PendingFile& pending) {
    static const char zeros[256] = {};
    const HANDLE handle = handle_of(pending.stream);
    const DWORD n = static_cast<DWORD>(std::min(pending.head_size, sizeof zeros));
    // The header goes first, and is on the disk before anything else is overwritten: from then
    // on no stop, not even ending the process, leaves a file that passes for a database.
    EnterCriticalSection(&pending_lock);
    in_place_cut_to = 0;
    DWORD spoiled = 0;
    if (!write_all_at(handle, zeros, n, 0, spoiled) && spoiled == 0) {
        // Nothing changed: an interrupt may still leave the old output as it was.
        in_place_cut_to = pending.old_size;
    }
    LeaveCriticalSection(&pending_lock);
    if (spoiled == 0) return false;
    pending.overwriting = true;
    // The stream then writes on from just past the header, the handle's position with it.
    return spoiled == n && FlushFileBuffers(handle) &&
           _fseeki64(pending.stream, static_cast<__int64>(n), SEEK_SET) == 0;
}

bool write_all(std::FILE* file, const std::uint8_t* data, std::size_t n) {
    // Under the lock, so that no write lands after an interrupt has cut an in-place output.
    EnterCriticalSection(&pending_lock);
    const bool written = std::fwrite(data, 1, n, file) == n;
    LeaveCriticalSection(&pending_lock);
    return written;
}

// Gives an in-place output its final size, puts it on the disk, then writes its header, and
// closes it; on failure cuts it to nothing, and where even that fails its header stays spoiled.
CommitResult finish_in_place(PendingFile& pending) {
    const HANDLE handle = handle_of(pending.stream);
    // The size is set under the lock, so that an interrupt's cut is never undone by it.
    EnterCriticalSection(&pending_lock);
    bool done = std::fflush(pending.stream) == 0 && set_size(handle, pending.new_size);
    LeaveCriticalSection(&pending_lock);
    done = done && FlushFileBuffers(handle);
    if (done) {
        // Under the lock, so that an interrupt finds the header either spoiled or complete.
        EnterCriticalSection(&pending_lock);
        DWORD written = 0;
        done = write_all_at(handle, pending.head.data(), static_cast<DWORD>(pending.head.size()),
                            0, written);
        if (done) in_place = nullptr;
        LeaveCriticalSection(&pending_lock);
    }
    if (!done) let_go_of_in_place(handle, 0);
    std::fclose(pending.stream);
    pending.stream = nullptr;
    return done ? CommitResult::done : CommitResult::write_failed;
}

CommitResult commit_pending(PendingFile& pending, Durability durability) {
    if (pending.in_place) return finish_in_place(pending);
    const bool written =
        std::fflush(pending.stream) == 0 &&
        (durability != Durability::on_disk || _commit(_fileno(pending.stream)) == 0);
    if (!written) {
        discard_pending(pending);
        return CommitResult::write_failed;
    }
    const HANDLE handle = handle_of(pending.stream);
    // Each try under the lock, so that an interrupt finds the temporary file either still to be
    // deleted or already moved; the pause between tries outside it.
    const bool moved = retry_past_brief_opens([&] {
        EnterCriticalSection(&pending_lock);
        const bool marked = unmarked_temporary->empty();
        const bool done = (!marked || mark_for_deletion(handle, false)) &&
                          rename_open_file(handle, pending.target);
        const DWORD error = GetLastError();
        if (done) {
            unmarked_temporary->clear();
        } else if (marked) {
            mark_for_deletion(handle, true);
        }
        LeaveCriticalSection(&pending_lock);
        SetLastError(error);
        return done;
    });
    if (!moved) {
        discard_pending(pending);
        return CommitResult::not_replaceable;
    }
    // Every byte was flushed before the move: the file in place is complete however this ends.
    std::fclose(pending.stream);
    pending.stream = nullptr;
    pending.temp_path.clear();
    return CommitResult::done;
}

void discard_pending(PendingFile& pending) {
    if (pending.in_place && pending.stream != nullptr) {
        std::fflush(pending.stream);
        // Nothing lost yet: back to the old size, which the reservation may have grown.
        let_go_of_in_place(handle_of(pending.stream), pending.overwriting ? 0 : pending.old_size);
    }
    // A marked file is deleted by this close; an unmarked one is removed by name.
    if (pending.stream != nullptr) std::fclose(pending.stream);
    pending.stream = nullptr;
    EnterCriticalSection(&pending_lock);
    const bool unmarked = !unmarked_temporary->empty();
    LeaveCriticalSection(&pending_lock);
    if (unmarked) remove_by_name(pending);
    pending.temp_path.clear();
}

}  // namespace palmconv::platform
