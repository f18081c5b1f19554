// Holds a file open for reading, as another program would, until told to let go.
//   hold_file PATH SHARING READY RELEASE [SEEN]
//   hold_file PATH      (an application a file is handed to, which lets go of it at once)
// SHARING names what the holder lets others do meanwhile: "none", or any of r (read), w (write)
// and d (delete). READY is created once PATH is open. PATH is held until RELEASE exists, or for a
// minute at most; then what the held handle reads from the start is written to SEEN, if given.
#include <windows.h>

#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc == 2) return 0;
    if (argc != 5 && argc != 6) return 2;
    DWORD sharing = 0;
    if (std::strcmp(argv[2], "none") != 0) {
        if (std::strchr(argv[2], 'r')) sharing |= FILE_SHARE_READ;
        if (std::strchr(argv[2], 'w')) sharing |= FILE_SHARE_WRITE;
        if (std::strchr(argv[2], 'd')) sharing |= FILE_SHARE_DELETE;
    }
    const HANDLE held =
        CreateFileA(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int i = 0; i < 600 && GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
    }
    if (argc == 6) {
        std::vector<char> seen;
        char buffer[65536];
        DWORD got = 0;
        SetFilePointer(held, 0, nullptr, FILE_BEGIN);
        while (ReadFile(held, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            seen.insert(seen.end(), buffer, buffer + got);
        }
        const HANDLE out =
            CreateFileA(argv[5], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(out, seen.data(), static_cast<DWORD>(seen.size()), &written, nullptr);
        CloseHandle(out);
    }
    CloseHandle(held);
    return 0;
}
