// Test bed DLL: a stand-in for a DLL that someone planted beside the launcher. Copied under the
// names of system DLLs; when any process loads it, it leaves "<its own path>.loaded" beside
// itself, so a test can tell which copies were loaded.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marker[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcatW(marker, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
