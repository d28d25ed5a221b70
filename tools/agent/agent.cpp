// Stand-in remote-support agent for the test bed and the demo. Started with no arguments, it reads
// the policy file beside it (its own base name with ".msh"), shows a small session window and
// runs until that window is closed, a file "<base>.end" appears beside it, or its time limit passes.
// It reports what it saw beside itself so the tests can check what the launcher handed over.
//
// Files beside the agent, all named after its own base name (KavroTechRemoteSupport-agent.exe
// uses KavroTechRemoteSupport-agent.*):
//   <base>.msh      read: the policy the launcher wrote
//   <base>.seen     written: the policy's exact bytes, only when it could be read
//   <base>.report   written: key=value lines, LF-terminated, text in UTF-8 (below)
//   <base>.end      read: its appearance ends the session (polled every 50 ms)
//   <base>.hold-ms  read, optional: the time limit in milliseconds (default 60000)
//   <base>.exit-code read, optional: the exit code to end with (default 0)
//   <base>.keep-open read, optional: its presence keeps the policy file open, sharing reading only
//                   (not deletion), from the agent's start until it exits
// Every written file goes to "<name>.tmp" first and is renamed into place, so a reader never sees
// half of one. The report is written twice: with state=running once the agent has started (and
// after <base>.seen), and with state=ended just before the process exits.
//
// Report keys:
//   state=running|ended
//   pid=N                         the agent's process id
//   start-qpc=N                   QueryPerformanceCounter at the very start of wWinMain
//   qpc-frequency=N               QueryPerformanceFrequency
//   command-line=TEXT             GetCommandLineW, as given
//   current-directory=TEXT        GetCurrentDirectoryW at start
//   policy-read=1|0               whether <base>.msh could be opened and read whole
//   policy-size=N                 its size in bytes (0 when not read)
//   launcher-visible-at-start=1|0 a visible top-level window of class KavroReusableSupportClient
//                                 existed when the agent started
//   hold-ms=N                     the time limit in force
//   policy-kept-open=1|0          the policy file is held open as <base>.keep-open asks
//   launcher-visible-at-end=1|0   (ended only) the same, when the session ended
//   end-reason=end-file|time-limit|window-closed   (ended only)
//   end-qpc=N                     (ended only) QueryPerformanceCounter when the session ended
//   exit-code=N                   (ended only) the exit code the agent ends with

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "wholefile.h"

enum { IDC_END_SESSION = 201, TIMER_POLL = 1 };

// Fixed at the start of wWinMain; read-only afterwards.
static LARGE_INTEGER startTicks, tickFrequency;
static std::wstring basePath;   // own path without ".exe"
static std::wstring commandLine, currentDirectory;
static bool policyRead, launcherVisibleAtStart;
static size_t policySize;
static HANDLE keptPolicy = INVALID_HANDLE_VALUE;   // closed when the process ends
static DWORD holdMs = 60000, exitCode = 0;
// Written by the window when the session ends.
static const char *endReason = "window-closed";
static HFONT font;

static std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

// Written under a temporary name and renamed, so a reader sees the old file or the whole new one.
static void writeWhole(const std::wstring &path, const std::string &bytes)
{
    std::wstring temp = path + L".tmp";
    if (writeFile(temp, bytes))
        MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    else
        DeleteFileW(temp.c_str());
}

static DWORD readNumber(const std::wstring &path, DWORD fallback)
{
    std::string text;
    if (!readFile(path, &text) || text.empty())
        return fallback;
    return (DWORD)strtoul(text.c_str(), NULL, 10);
}

static BOOL CALLBACK findVisibleLauncher(HWND hwnd, LPARAM lParam)
{
    wchar_t cls[64];
    if (GetClassNameW(hwnd, cls, 64) && wcscmp(cls, L"KavroReusableSupportClient") == 0 && IsWindowVisible(hwnd)) {
        *(bool *)lParam = true;
        return FALSE;
    }
    return TRUE;
}

static bool launcherVisible()
{
    bool found = false;
    EnumWindows(findVisibleLauncher, (LPARAM)&found);
    return found;
}

static void writeReport(bool ended)
{
    char line[64];
    std::string report = ended ? "state=ended\n" : "state=running\n";
    snprintf(line, sizeof line, "pid=%lu\n", GetCurrentProcessId());
    report += line;
    snprintf(line, sizeof line, "start-qpc=%lld\n", (long long)startTicks.QuadPart);
    report += line;
    snprintf(line, sizeof line, "qpc-frequency=%lld\n", (long long)tickFrequency.QuadPart);
    report += line;
    report += "command-line=" + utf8(commandLine) + "\n";
    report += "current-directory=" + utf8(currentDirectory) + "\n";
    report += policyRead ? "policy-read=1\n" : "policy-read=0\n";
    snprintf(line, sizeof line, "policy-size=%zu\n", policySize);
    report += line;
    report += launcherVisibleAtStart ? "launcher-visible-at-start=1\n" : "launcher-visible-at-start=0\n";
    snprintf(line, sizeof line, "hold-ms=%lu\n", holdMs);
    report += line;
    report += keptPolicy != INVALID_HANDLE_VALUE ? "policy-kept-open=1\n" : "policy-kept-open=0\n";
    if (ended) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        report += launcherVisible() ? "launcher-visible-at-end=1\n" : "launcher-visible-at-end=0\n";
        report += std::string("end-reason=") + endReason + "\n";
        snprintf(line, sizeof line, "end-qpc=%lld\n", (long long)now.QuadPart);
        report += line;
        snprintf(line, sizeof line, "exit-code=%lu\n", exitCode);
        report += line;
    }
    writeWhole(basePath + L".report", report);
}

// Everything the agent learns before its window exists; false when it cannot find itself.
static bool lookAround()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    basePath = path;
    size_t dot = basePath.rfind(L'.');
    size_t slash = basePath.rfind(L'\\');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        basePath.resize(dot);

    commandLine = GetCommandLineW();
    wchar_t directory[MAX_PATH];
    DWORD dirLength = GetCurrentDirectoryW(MAX_PATH, directory);
    if (dirLength > 0 && dirLength < MAX_PATH)
        currentDirectory = directory;
    launcherVisibleAtStart = launcherVisible();

    std::string policy;
    policyRead = readFile(basePath + L".msh", &policy);
    if (policyRead) {
        policySize = policy.size();
        writeWhole(basePath + L".seen", policy);
    } else {
        DeleteFileW((basePath + L".seen").c_str());   // none left from an earlier run
    }
    // As an agent that keeps its configuration open for its whole session and does not share
    // its deletion.
    if (GetFileAttributesW((basePath + L".keep-open").c_str()) != INVALID_FILE_ATTRIBUTES)
        keptPolicy = CreateFileW((basePath + L".msh").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                                 NULL);
    holdMs = readNumber(basePath + L".hold-ms", holdMs);
    exitCode = readNumber(basePath + L".exit-code", exitCode);
    return true;
}

// The window is not destroyed: it goes with the process. Under Wine on a display without a window
// manager, destroying a shown window waits about 2 s for the X server to withdraw it.
static void endSession(HWND hwnd, const char *reason)
{
    endReason = reason;
    KillTimer(hwnd, TIMER_POLL);
    PostQuitMessage(0);
}

// The reason the session is over, or NULL while it goes on.
static const char *sessionOver()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    long long elapsedMs = (now.QuadPart - startTicks.QuadPart) * 1000 / tickFrequency.QuadPart;
    if (GetFileAttributesW((basePath + L".end").c_str()) != INVALID_FILE_ATTRIBUTES)
        return "end-file";
    if (elapsedMs >= (long long)holdMs)
        return "time-limit";
    return NULL;
}

static void poll(HWND hwnd)
{
    const char *reason = sessionOver();
    if (reason != NULL)
        endSession(hwnd, reason);
}

static void createControls(HWND hwnd)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font = CreateFontIndirectW(&metrics.lfMessageFont);
    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrW(hwnd, GWLP_HINSTANCE);
    HWND text = CreateWindowExW(0, L"STATIC", L"A remote support session is running. Close this window to end it.",
                                WS_CHILD | WS_VISIBLE, 16, 16, 320, 40, hwnd, NULL, instance, NULL);
    HWND button = CreateWindowExW(0, L"BUTTON", L"End session", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                  226, 64, 110, 28, hwnd, (HMENU)(INT_PTR)IDC_END_SESSION, instance, NULL);
    if (font != NULL) {
        SendMessageW(text, WM_SETFONT, (WPARAM)font, FALSE);
        SendMessageW(button, WM_SETFONT, (WPARAM)font, FALSE);
    }
    SetTimer(hwnd, TIMER_POLL, 50, NULL);
}

static void command(HWND hwnd, WORD id)
{
    if (id == IDC_END_SESSION)
        endSession(hwnd, "window-closed");
}

static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:  createControls(hwnd);                       return 0;
    case WM_TIMER:   poll(hwnd);                                 return 0;
    case WM_COMMAND: command(hwnd, LOWORD(wParam));              return 0;
    case WM_CLOSE:   endSession(hwnd, "window-closed");          return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    QueryPerformanceCounter(&startTicks);
    QueryPerformanceFrequency(&tickFrequency);
    if (!lookAround())
        return 1;
    writeReport(false);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"KavroStandInAgent";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, L"KavroStandInAgent", L"Kavro support session",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 370, 145, NULL, NULL, instance, NULL);
    if (window != NULL) {
        ShowWindow(window, showCommand);
        MSG msg;
        while (GetMessageW(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    } else {
        // Without a window the session still lasts until it is ended.
        while ((endReason = sessionOver()) == NULL)
            Sleep(50);
    }
    writeReport(true);
    if (font != NULL)
        DeleteObject(font);
    return (int)exitCode;
}
