// What the Windows test programs share: paths into the test bed that tests/bed/netns lays out,
// whole-file reads and writes, and the session-service double's file interface (a scenario file
// the double reads on each request, and one record per request it received).
#pragma once

#include <windows.h>

#include "wholefile.h"

#include <string>
#include <vector>

// The bed's folder (KAVRO_BED, a Unix path) as a Windows path, with `relative` appended.
std::wstring bedPath(const std::wstring &relative = L"");
std::wstring buildPath(const std::wstring &relative = L"");
std::wstring toWindowsPath(const std::string &unixPath);

bool fileExists(const std::wstring &path);
bool copyFile(const std::wstring &from, const std::wstring &to);
// A fresh, empty folder under the bed's scratch area.
std::wstring freshFolder(const std::wstring &name);

// The top-level window of the launcher's class that belongs to that process, or NULL.
HWND findLauncherWindow(DWORD processId, bool visibleOnly);

// The launch state pointed at a folder of the test's own, as start-up would derive it there.
void placeLaunchState(const std::wstring &folder);

std::wstring widen(const std::string &text);
std::string narrow(const std::wstring &text);

// Session-service double.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::string> headers;   // "Name: value", in the order sent
    std::string body;
    std::string header(const std::string &name) const;   // value of the first such header, or ""
};
// Key=value lines the double applies to every request until changed (see tools/service).
void setScenario(const std::string &lines);
void clearScenario();
void clearRequests();
std::vector<RecordedRequest> recordedRequests();
