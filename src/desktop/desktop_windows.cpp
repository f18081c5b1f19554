// windows.h must come before the headers that build on it.
#include <windows.h>

#include <commdlg.h>
#include <shellapi.h>

#include <cstddef>

#include "desktop.hpp"

namespace palmconv::desktop {

namespace {

constexpr char filter[] = "Palm Database Files (*.pdb)\0*.pdb\0All Files (*.*)\0*.*\0";
constexpr DWORD path_buffer_size = 260;

// The record as the oldest common dialog knows it: without the fields later versions appended.
constexpr DWORD dialog_record_size = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
// 76 bytes in the shipped 32-bit program; the 64-bit test build has the same fields, wider.
static_assert(sizeof(void*) != 4 || dialog_record_size == 76,
              "the dialog record must be the 76-byte form");

}  // namespace

Choice choose_input() {
    static char file[path_buffer_size];
    static char file_title[path_buffer_size];
    OPENFILENAMEA dialog{};
    dialog.lStructSize = dialog_record_size;
    dialog.hwndOwner = nullptr;
    dialog.hInstance = nullptr;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = path_buffer_size;
    dialog.lpstrFileTitle = file_title;
    dialog.nMaxFileTitle = path_buffer_size;
    dialog.Flags = OFN_CREATEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = "pdb";
    // A refused call may leave the needed buffer size in the buffer, not a path.
    if (!GetOpenFileNameA(&dialog)) return {};
    return {file};
}

// Nothing on Windows starts this program with a mark: Explorer's own starts are told apart by
// their console (see show_failure).
bool take_desktop_mark() { return false; }

void launch(const std::string& path, bool) {
    ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_HIDE);
}

void show_failure(const std::string& message, bool) {
    // Only a console made for this program alone (started from Explorer: a double-click, or a
    // file dropped on it) closes the moment the program ends, taking the message with it.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return;
    // A caller that hid the console, or reads the output through a pipe or a file, has it.
    const HWND console = GetConsoleWindow();
    if (console == nullptr || !IsWindowVisible(console)) return;
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_CHAR) return;
    MessageBoxA(nullptr, message.c_str(), "palmconv", MB_OK | MB_ICONERROR);
}

}  // namespace palmconv::desktop
