#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <string>

#include "platform_file.hpp"

namespace palmconv::platform {

void prepare_process() {}

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
    // Created exclusively, so an existing file of the same name is never touched.
    const unsigned long process = GetCurrentProcessId();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            target + ".~" + std::to_string(process) + "-" + std::to_string(attempt) + ".tmp";
        const int fd = _sopen(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _SH_DENYNO,
                              _S_IREAD | _S_IWRITE);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        std::FILE* file = _fdopen(fd, "wb");
        if (file == nullptr) {
            _close(fd);
            DeleteFileA(name.c_str());
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
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_temporary(const std::string& temp_path) { DeleteFileA(temp_path.c_str()); }

}  // namespace palmconv::platform
