/* Runs a file's shell verb as Explorer's menu does, and waits for the program it starts.
 *
 *   shell_verb.exe VERB FILE [CLASS-KEY]
 *
 * VERB is the verb's key name ("open", or an added verb's own); "-" runs the default verb.
 * CLASS-KEY, a key under HKEY_CURRENT_USER, names where the shell looks the verb up instead of
 * the file type's own class (as Explorer also looks under SystemFileAssociations).
 * Prints the started program's exit code and exits with it; exits with 100 when the shell
 * starts nothing (no such verb), printing the shell's error. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: shell_verb VERB FILE [CLASS-KEY]\n");
        return 2;
    }
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    /* No message box on failure, and the call returns only once the program is started. */
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = wcscmp(argv[1], L"-") == 0 ? NULL : argv[1];
    info.lpFile = argv[2];
    info.nShow = SW_SHOWNORMAL;
    if (argc == 4) {
        LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, argv[3], 0, KEY_READ, &info.hkeyClass);
        if (opened != ERROR_SUCCESS) {
            printf("no key HKCU\\%ls: error %ld\n", argv[3], opened);
            return 100;
        }
        info.fMask |= SEE_MASK_CLASSKEY;
    }
    if (!ShellExecuteExW(&info)) {
        printf("ShellExecuteEx failed: error %lu\n", GetLastError());
        return 100;
    }
    if (info.hProcess == NULL) {
        printf("ShellExecuteEx started no process\n");
        return 100;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    printf("exit code %lu\n", code);
    return (int)code;
}
