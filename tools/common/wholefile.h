// Whole-file reads and writes for the test bed's own Windows programs (the tests, the stand-in
// agent, the benchmark). A file is read while others may still write, delete or rename it, as the
// launcher, the agent and the double do to the files they share.
#pragma once

#include <windows.h>

#include <string>

inline bool readFile(const std::wstring &path, std::string *bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, NULL) != 0) && got > 0)
        bytes->append(chunk, got);
    CloseHandle(file);
    return ok;
}

inline bool writeFile(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL) && written == bytes.size();
    CloseHandle(file);
    return ok;
}
