// The launcher's shared declarations: the launch state, the exchange record the worker's stages
// pass along, and the stages themselves. Every variable here has exactly one writer at a time;
// launcher.cpp says which.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>

#include "build_config.h"

#define WM_CONNECT_DONE (WM_APP + 1)

enum { IDC_CONNECT = 101, IDC_CODE = 102 };

// Fixed by wWinMain before the window exists; read-only afterwards.
extern wchar_t agentPath[MAX_PATH], policyPath[MAX_PATH];
extern wchar_t folderLockName[96];   // the mutex that serialises the attempts made in our folder
extern char nonce[64];
// One writer at a time, handed over by codeWithWorker: the window's while it is 0 (it fills the
// code, and wipes it when Windows ends the session), the worker's while it is 1 (it reads the code
// to compose its request, then wipes it). See handBackCode.
extern wchar_t code[7];
// 1 while the worker owns `code`: set by the window as it starts an attempt, cleared by the worker
// once it has wiped the code. Exchange to write, load to read.
extern std::atomic<LONG> codeWithWorker;
// Written by the worker's stages; read by the window only after WM_CONNECT_DONE arrives.
extern wchar_t errorText[512];
extern std::atomic<LONG> busy;   // 1 while an attempt runs: exchange to write, load to read
// Written by the worker only: 1 from taking the folder's lock until the attempt's policy file is
// deleted, so the window knows the file in our folder is ours. Exchange to write, load to read.
extern std::atomic<LONG> folderHeld;
// Written by the window only: 1 once Windows has told us the session ends (WM_ENDSESSION), 0 again
// when the customer starts a new attempt. runAgent reads it once the policy file is written.
extern std::atomic<LONG> sessionEnding;
// Set once by wWinMain after creation; the worker posts to it and hides it.
extern HWND mainWindow;

// One attempt's conversation with the session service. Filled by requestSession, read by
// runAgent, released only by the worker once the agent has exited.
struct SessionExchange {
    HINTERNET session;
    HINTERNET connection;
    HINTERNET request;
    char *body;      // bodyCapacity bytes, or NULL
    DWORD length;    // bytes placed in body so far
};

const DWORD bodyLimit = 1048576;           // a body this long or longer is refused
const DWORD bodyCapacity = bodyLimit + 1;  // room for the terminator

extern const wchar_t connectFailedText[];   // shared by the request and the hand-off
extern const wchar_t verifyFailedText[];    // the publisher check's one message
extern const wchar_t prepareFailedText[];   // the folder is busy, or its policy file cannot be made

// Bounded copy of one of our messages into errorText.
void setError(const wchar_t *text);

bool initLaunchState();
// Derives folderLockName from policyPath; part of start-up.
bool nameFolderLock();
// The worker's last touch of `code`: wipes it and hands it back to the window. Called once the
// request is composed, or at the attempt's end if it never was.
void handBackCode();
bool verifyAgentPublisher();
bool requestSession(SessionExchange *exchange);
// Closes *agentHold (the worker's hold on the agent file, or INVALID_HANDLE_VALUE) once
// CreateProcessW has returned, and sets it to INVALID_HANDLE_VALUE.
bool runAgent(SessionExchange *exchange, HANDLE *agentHold);
DWORD WINAPI connectWorker(void *unused);
// Wipes and frees the received body, closes the open handles (request, connection, session)
// and leaves the exchange zeroed.
void releaseExchange(SessionExchange *exchange);
LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool isCompleteCode(const wchar_t *text);
