#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <string>

#include "platform_file.hpp"

namespace palmconv::platform {

namespace {

// The temporary file a console interrupt must remove; empty when there is none. The handler runs
// on a thread of its own, so the name is only read or changed under the lock.
CRITICAL_SECTION pending_lock;
std::string* pending_temporary = nullptr;  // never destroyed: the handler may run at any time

BOOL WINAPI remove_pending_on_interrupt(DWORD) {
    EnterCriticalSection(&pending_lock);
    // The file is still open for writing; it was opened to allow this, and goes when it closes.
    if (!pending_temporary->empty()) DeleteFileA(pending_temporary->c_str());
    // Ended here, still holding the lock, so that no rename can follow; as the default would.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void prepare_process() {
    InitializeCriticalSection(&pending_lock);
    pending_temporary = new std::string;
    SetConsoleCtrlHandler(remove_pending_on_interrupt, TRUE);
}

std::FILE* open_shared_for_update(const std::string& path) {
    return _fsopen(path.c_str(), "r+b", _SH_DENYNO);
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

bool may_replace(const std::string& target) {
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

std::FILE* create_temporary_beside(const std::string& target, std::string& temp_path) {
    const unsigned long process = GetCurrentProcessId();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            target + ".~" + std::to_string(process) + "-" + std::to_string(attempt);
        // Created exclusively, so an existing file of the same name is never touched; shared for
        // deletion, so an interrupt can remove it while it is open. The lock keeps an interrupt
        // from falling between the file's creation and its naming.
        EnterCriticalSection(&pending_lock);
        const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) *pending_temporary = name;
        LeaveCriticalSection(&pending_lock);
        if (handle == INVALID_HANDLE_VALUE) {
            if (error == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
        if (file == nullptr) {
            if (fd >= 0) {
                _close(fd);
            } else {
                CloseHandle(handle);
            }
            remove_temporary(name);
            return nullptr;
        }
        temp_path = name;
        return file;
    }
    return nullptr;
}

bool write_spans(std::FILE* file, const ByteSpan* spans, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (std::fwrite(spans[i].data, 1, spans[i].size, file) != spans[i].size) return false;
    }
    return true;
}

bool sync_to_disk(std::FILE* file) { return _commit(_fileno(file)) == 0; }

bool replace_file(const std::string& from, const std::string& to) {
    EnterCriticalSection(&pending_lock);
    const bool moved = MoveFileExA(from.c_str(), to.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (moved) pending_temporary->clear();
    LeaveCriticalSection(&pending_lock);
    return moved;
}

void remove_temporary(const std::string& temp_path) {
    EnterCriticalSection(&pending_lock);
    DeleteFileA(temp_path.c_str());
    pending_temporary->clear();
    LeaveCriticalSection(&pending_lock);
}

}  // namespace palmconv::platform
