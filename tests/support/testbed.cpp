// Test bed helpers for the Windows test programs; see testbed.h.

#include "testbed.h"

#include "launcher.h"

#include <stdio.h>
#include <stdlib.h>

std::wstring widen(const std::string &text)
{
    std::wstring out;
    for (unsigned char c : text)
        out += (wchar_t)c;
    return out;
}

std::string narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text)
        out += (char)c;
    return out;
}

std::wstring toWindowsPath(const std::string &unixPath)
{
    std::wstring out = L"Z:";
    for (char c : unixPath)
        out += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return out;
}

static std::wstring envPath(const char *name, const std::wstring &relative)
{
    const char *value = getenv(name);
    std::wstring out = toWindowsPath(value != NULL ? value : "/nonexistent-test-bed");
    if (!relative.empty())
        out += L"\\" + relative;
    return out;
}

std::wstring bedPath(const std::wstring &relative) { return envPath("KAVRO_BED", relative); }
std::wstring buildPath(const std::wstring &relative) { return envPath("KAVRO_BUILD", relative); }

bool fileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool copyFile(const std::wstring &from, const std::wstring &to)
{
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

static void removeTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::wstring freshFolder(const std::wstring &name)
{
    std::wstring scratch = bedPath(L"scratch");
    CreateDirectoryW(scratch.c_str(), NULL);
    std::wstring folder = scratch + L"\\" + name;
    removeTree(folder);
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

namespace {
struct FindContext {
    DWORD processId;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK matchLauncherWindow(HWND hwnd, LPARAM lParam)
{
    FindContext *context = (FindContext *)lParam;
    wchar_t cls[64];
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != context->processId || !GetClassNameW(hwnd, cls, 64) || wcscmp(cls, L"KavroReusableSupportClient") != 0)
        return TRUE;
    if (context->visibleOnly && !IsWindowVisible(hwnd))
        return TRUE;
    context->found = hwnd;
    return FALSE;
}
}  // namespace

HWND findLauncherWindow(DWORD processId, bool visibleOnly)
{
    FindContext context = {processId, visibleOnly, NULL};
    EnumWindows(matchLauncherWindow, (LPARAM)&context);
    return context.found;
}

void placeLaunchState(const std::wstring &folder)
{
    swprintf(agentPath, MAX_PATH, L"%ls\\KavroTechRemoteSupport-agent.exe", folder.c_str());
    swprintf(policyPath, MAX_PATH, L"%ls\\KavroTechRemoteSupport-agent.msh", folder.c_str());
    nameFolderLock();
}

std::string RecordedRequest::header(const std::string &name) const
{
    for (const std::string &line : headers) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size())
            continue;
        if (_strnicmp(line.c_str(), name.c_str(), colon) != 0)
            continue;
        size_t start = line.find_first_not_of(' ', colon + 1);
        return start == std::string::npos ? "" : line.substr(start);
    }
    return "";
}

void setScenario(const std::string &lines)
{
    // Written beside and renamed into place, so the double never reads half a scenario.
    std::wstring path = bedPath(L"service\\scenario");
    writeFile(path + L".new", lines);
    MoveFileExW((path + L".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void clearScenario()
{
    DeleteFileW(bedPath(L"service\\scenario").c_str());
}

void clearRequests()
{
    std::wstring folder = bedPath(L"service\\requests");
    removeTree(folder);
    CreateDirectoryW(folder.c_str(), NULL);
}

std::vector<RecordedRequest> recordedRequests()
{
    std::vector<RecordedRequest> out;
    for (int i = 1;; i++) {
        wchar_t stem[32];
        swprintf(stem, 32, L"service\\requests\\%04d", i);
        std::string head, body;
        if (!readFile(bedPath(stem) + L".head", &head) || !readFile(bedPath(stem) + L".body", &body))
            break;
        RecordedRequest request;
        size_t lineStart = 0;
        bool first = true;
        while (lineStart < head.size()) {
            size_t end = head.find('\n', lineStart);
            if (end == std::string::npos)
                end = head.size();
            std::string line = head.substr(lineStart, end - lineStart);
            lineStart = end + 1;
            if (first) {
                size_t space = line.find(' ');
                request.method = line.substr(0, space);
                request.path = space == std::string::npos ? "" : line.substr(space + 1);
                first = false;
            } else if (!line.empty()) {
                request.headers.push_back(line);
            }
        }
        request.body = body;
        out.push_back(request);
    }
    return out;
}
