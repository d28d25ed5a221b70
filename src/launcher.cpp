// The launcher's entry module: the launch state, start-up, the code entry window and the session
// worker. The window runs on the main thread; each attempt runs on one worker thread of its own
// and reports back only by posting WM_CONNECT_DONE. No locks between our own threads (see the
// state block below); between launchers started from one folder, a named mutex serialises the
// attempts, so that none of them touches the policy file of another's session.

#include "launcher.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <bcrypt.h>

// Fixed by wWinMain before the window exists; read-only afterwards.
wchar_t agentPath[MAX_PATH], policyPath[MAX_PATH];
wchar_t folderLockName[96];
char nonce[64];
// The window's while codeWithWorker is 0, the worker's while it is 1 (launcher.h).
wchar_t code[7];
// Written by the worker's stages; read by the window only after WM_CONNECT_DONE arrives.
wchar_t errorText[512];
// Flags, each with one writer (launcher.h says whose): exchange to write, load to read.
std::atomic<LONG> busy;
std::atomic<LONG> codeWithWorker;
std::atomic<LONG> folderHeld;
std::atomic<LONG> sessionEnding;
// Written by the window on the main thread; the worker reads mainWindow to post and to hide.
HWND mainWindow;
static HWND codeEdit, connectButton, statusText;
static HFONT font;

static const wchar_t className[] = L"KavroReusableSupportClient";
static const wchar_t windowTitle[] = L"Kavro Remote Support";
static const wchar_t promptText[] = L"Enter your 6-digit remote support code";
static const wchar_t connectText[] = L"Connect to Support";
static const wchar_t instructionsText[] =
    L"Use the code from your appointment or technician.\r\n"
    L"Connect only while speaking with your technician.\r\n"
    L"You must approve access before remote support begins.";
static const wchar_t checkingText[] = L"Checking your appointment securely. Please wait...";
static const wchar_t failedText[] = L"Check your code with your technician and try again.";
static const wchar_t incompleteCaption[] = L"Check your code";
static const wchar_t incompleteText[] = L"Please enter all six digits of your remote support code.";

void setError(const wchar_t *text)
{
    _snwprintf_s(errorText, sizeof errorText / sizeof errorText[0], _TRUNCATE, L"%ls", text);
}

// The identity Windows keeps for the folder that holds the policy file: its volume's serial number
// and its file ID, read from a handle to the folder. False where the file system gives none.
static bool identifyFolder(FILE_ID_INFO *identity)
{
    wchar_t folder[MAX_PATH];
    static const FILE_ID_128 noId = {};
    memcpy(folder, policyPath, sizeof folder);
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash == NULL)
        return false;
    slash[1] = L'\0';   // the separator stays: "C:" alone would be drive C's current folder
    HANDLE handle = CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BOOL got = GetFileInformationByHandleEx(handle, FileIdInfo, identity, sizeof *identity);
    CloseHandle(handle);
    return got && memcmp(&identity->FileId, &noId, sizeof noId) != 0;
}

// The folder's lock is a mutex in this session's Local\ namespace, named after the folder itself
// rather than the path it was reached by: the SHA-256 of its identity, so that every path to one
// folder (another drive letter mapped onto a parent, a mapped network drive, a junction, a short
// name) names one lock. Where the file system keeps no identity, the SHA-256 of the upper-cased
// policy path (UTF-16, no terminator) stands in, since paths differ in letter case. The name
// carries the digest in hexadecimal: object names cannot hold backslashes.
bool nameFolderLock()
{
    wchar_t upper[MAX_PATH];
    unsigned char digest[32];
    FILE_ID_INFO identity = {};
    void *named = &identity;
    ULONG namedSize = sizeof identity;
    BCRYPT_ALG_HANDLE sha256 = NULL;
    if (!identifyFolder(&identity)) {
        int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, policyPath, -1, upper, MAX_PATH, NULL,
                                   NULL, 0);
        if (length <= 1)
            return false;
        named = upper;
        namedSize = (ULONG)(length - 1) * sizeof upper[0];   // the terminator is not hashed
    }
    if (BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, NULL, 0) < 0)
        return false;
    NTSTATUS status = BCryptHash(sha256, NULL, 0, (PUCHAR)named, namedSize, digest, sizeof digest);
    BCryptCloseAlgorithmProvider(sha256, 0);
    if (status < 0)
        return false;
    static const wchar_t prefix[] = L"Local\\KavroClientLauncher-";
    static_assert(sizeof prefix / sizeof prefix[0] + 2 * sizeof digest <= sizeof folderLockName / sizeof folderLockName[0],
                  "the lock's name fits");
    memcpy(folderLockName, prefix, sizeof prefix);
    wchar_t *hex = folderLockName + sizeof prefix / sizeof prefix[0] - 1;
    for (int i = 0; i < 32; i++)
        _snwprintf_s(hex + 2 * i, 3, _TRUNCATE, L"%02x", digest[i]);
    return true;
}

// Start-up: where the agent and its policy file lie, and this run's nonce. Both paths are
// derived from our own module path, never from the current directory. _snwprintf_s with
// _TRUNCATE returns -1 for a text that does not fit with its terminator; swprintf does not
// promise that with every runtime.
bool initLaunchState()
{
    wchar_t folder[MAX_PATH];
    unsigned char random[16];
    DWORD length = GetModuleFileNameW(NULL, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)   // MAX_PATH means the path was cut
        return false;
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash == NULL)
        return false;
    *slash = L'\0';
    if (_snwprintf_s(agentPath, MAX_PATH, _TRUNCATE, L"%ls\\KavroTechRemoteSupport-agent.exe", folder) < 0)
        return false;
    if (_snwprintf_s(policyPath, MAX_PATH, _TRUNCATE, L"%ls\\KavroTechRemoteSupport-agent.msh", folder) < 0)
        return false;
    if (!nameFolderLock())
        return false;
    if (BCryptGenRandom(NULL, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0)
        return false;
    for (int i = 0; i < 16; i++)
        _snprintf_s(nonce + 2 * i, 3, _TRUNCATE, "%02x", random[i]);
    return true;
}

// ---- Session worker ----

void handBackCode()
{
    SecureZeroMemory(code, sizeof code);
    codeWithWorker.exchange(0);
}

void releaseExchange(SessionExchange *exchange)
{
    if (exchange->body != NULL) {
        SecureZeroMemory(exchange->body, exchange->length);
        free(exchange->body);
    }
    if (exchange->request != NULL)    WinHttpCloseHandle(exchange->request);
    if (exchange->connection != NULL) WinHttpCloseHandle(exchange->connection);
    if (exchange->session != NULL)    WinHttpCloseHandle(exchange->session);
    *exchange = SessionExchange();   // released once: a second call releases nothing
}

// Takes the folder's lock without waiting: while another launcher's attempt in this folder holds
// it, this attempt fails and leaves that launcher's policy file and agent alone. A lock abandoned
// by a launcher that died counts as taken; its leftover policy file costs one attempt, as any
// leftover does. On failure *lock is NULL, so a non-null lock is always one we own.
static bool lockFolder(HANDLE *lock)
{
    *lock = CreateMutexW(NULL, FALSE, folderLockName);
    if (*lock != NULL) {
        DWORD waited = WaitForSingleObject(*lock, 0);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            folderHeld.exchange(1);
            return true;
        }
        CloseHandle(*lock);
        *lock = NULL;
    }
    setError(prepareFailedText);
    return false;
}

// Holds the agent file from before its check until it has been started, so that the file that
// runs is the file that was verified: others may read it, but not write, delete or rename it.
// Read access with read sharing still lets CreateProcessW map the image. A file that cannot be
// held (missing, or open for writing elsewhere) fails like a file that cannot be verified.
// runAgent ends the hold once CreateProcessW has returned; the worker ends it on earlier failures.
static bool holdAgent(HANDLE *hold)
{
    *hold = CreateFileW(agentPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (*hold != INVALID_HANDLE_VALUE)
        return true;
    setError(verifyFailedText);
    return false;
}

// A read-only file refuses deletion with access denied, whoever left it so (a copy or archive tool,
// an agent): the file is ours to delete, so the attribute goes. True when it was there and went.
static bool clearReadOnly()
{
    DWORD attributes = GetFileAttributesW(policyPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return false;
    attributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(policyPath, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

// Another program may have the policy file open for a moment when the agent exits: a virus scanner,
// a backup tool or an indexer reading the new file, often without sharing its deletion. A delete
// refused while the file is in use (a sharing violation, or access denied for a file pending
// deletion) is tried again, four times a second for 10 s; a read-only file at once, without the
// attribute. A file that is already gone counts as deleted; after 10 s the file is left, as a
// leftover the next attempt from this folder removes.
static void deletePolicyFile()
{
    const DWORD retryMs = 250, retries = 40;
    for (DWORD tries = 0;; tries++) {
        if (DeleteFileW(policyPath))
            return;
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && clearReadOnly())
            continue;
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || tries == retries)
            return;
        Sleep(retryMs);
    }
}

DWORD WINAPI connectWorker(void *)
{
    SessionExchange exchange = {};
    HANDLE folderLock = NULL;
    HANDLE agentHold = INVALID_HANDLE_VALUE;
    WPARAM result = 0;
    errorText[0] = L'\0';
    if (lockFolder(&folderLock) && holdAgent(&agentHold) && verifyAgentPublisher() && requestSession(&exchange) &&
        runAgent(&exchange, &agentHold))
        result = 1;
    releaseExchange(&exchange);   // an exchange never opened releases nothing
    if (agentHold != INVALID_HANDLE_VALUE)
        CloseHandle(agentHold);
    if (folderLock != NULL) {
        deletePolicyFile();       // whether or not this attempt created it: the folder is ours
        folderHeld.exchange(0);
        ReleaseMutex(folderLock);
        CloseHandle(folderLock);
    }
    if (codeWithWorker.load() != 0)
        handBackCode();           // the attempt ended before its request was composed
    busy.exchange(0);             // before the post: the window must see 0 when it handles it
    PostMessageW(mainWindow, WM_CONNECT_DONE, result, 0);
    return 0;
}

// ---- Code entry window ----

bool isCompleteCode(const wchar_t *text)
{
    for (int i = 0; i < 6; i++)
        if (text[i] < L'0' || text[i] > L'9')
            return false;
    return text[6] == L'\0';
}

static HWND createControl(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD exStyle,
                          DWORD style, int x, int y, int width, int height, int id)
{
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                           parent, (HMENU)(INT_PTR)id, NULL, NULL);
}

// The status text is made as tall as the tallest of the three texts it shows needs, never
// shorter than its 100 px. Segoe UI's own widths already wrap the instructions' last sentence at
// this width, and a face that stands in for it where it is missing (Wine's does) wraps sooner
// still; a line below the control is a line the customer never sees. Each text is laid out as a
// static control lays out SS_LEFT text (DT_WORDBREAK and DT_EXPANDTABS; no DT_NOPREFIX, as the
// control has no SS_NOPREFIX), at the control's client width, in the font it got. Where the
// window's client area cannot hold the taller text, the window grows by the shortfall; nothing
// else moves.
static void fitStatusText(HWND hwnd)
{
    static const wchar_t *const shown[] = { instructionsText, checkingText, failedText };
    RECT area, client, frame;
    int height = 100;
    HDC dc = GetDC(statusText);
    if (dc == NULL)
        return;   // nothing measured: the status text keeps its 100 px
    HGDIOBJ previous = SelectObject(dc, (HFONT)SendMessageW(statusText, WM_GETFONT, 0, 0));
    GetClientRect(statusText, &area);
    for (const wchar_t *text : shown) {
        RECT needed = { 0, 0, area.right, 0 };
        DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
        if (needed.bottom > height)
            height = needed.bottom;
    }
    SelectObject(dc, previous);
    ReleaseDC(statusText, dc);
    SetWindowPos(statusText, NULL, 0, 0, area.right, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(hwnd, &client);
    GetWindowRect(hwnd, &frame);
    int shortfall = 140 + height - client.bottom;
    if (shortfall > 0)
        SetWindowPos(hwnd, NULL, 0, 0, frame.right - frame.left, frame.bottom - frame.top + shortfall,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static void createControls(HWND hwnd)
{
    font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    HWND prompt = createControl(hwnd, L"STATIC", promptText, 0, 0, 24, 24, 460, 40, 0);
    codeEdit = createControl(hwnd, L"EDIT", L"", WS_EX_CLIENTEDGE, WS_TABSTOP | ES_NUMBER | ES_CENTER,
                             24, 76, 210, 42, IDC_CODE);
    SendMessageW(codeEdit, EM_LIMITTEXT, 6, 0);
    connectButton = createControl(hwnd, L"BUTTON", connectText, 0, WS_TABSTOP | BS_DEFPUSHBUTTON,
                                  250, 76, 232, 42, IDC_CONNECT);
    statusText = createControl(hwnd, L"STATIC", instructionsText, 0, 0, 24, 140, 460, 100, 0);
    SendMessageW(prompt, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(codeEdit, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(connectButton, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(statusText, WM_SETFONT, (WPARAM)font, TRUE);
    fitStatusText(hwnd);
    SetFocus(codeEdit);
}

static void enableEntry(BOOL enable)
{
    EnableWindow(codeEdit, enable);
    EnableWindow(connectButton, enable);
}

static void startAttempt(HWND hwnd)
{
    GetWindowTextW(codeEdit, code, 7);
    if (!isCompleteCode(code)) {
        SecureZeroMemory(code, sizeof code);   // even a partial code is not left lying in memory
        MessageBoxW(hwnd, incompleteText, incompleteCaption, MB_OK | MB_ICONINFORMATION);
        return;
    }
    busy.exchange(1);
    codeWithWorker.exchange(1);
    sessionEnding.exchange(0);
    enableEntry(FALSE);
    SetWindowTextW(statusText, checkingText);
    HANDLE thread = CreateThread(NULL, 0, connectWorker, NULL, 0, NULL);
    if (thread != NULL) {
        CloseHandle(thread);   // the worker runs on its own and reports by message
        return;
    }
    codeWithWorker.exchange(0);
    busy.exchange(0);
    enableEntry(TRUE);
}

static void finishAttempt(HWND hwnd, bool succeeded)
{
    if (succeeded) {
        DestroyWindow(hwnd);
        return;
    }
    enableEntry(TRUE);
    ShowWindow(hwnd, SW_SHOW);
    SetWindowTextW(statusText, failedText);
    MessageBoxW(hwnd, errorText, windowTitle, MB_OK | MB_ICONINFORMATION);
    SetFocus(codeEdit);
}

// Only the connect button's command counts, and only while no attempt runs; the notification
// code in the high word is not looked at.
static void onCommand(HWND hwnd, WORD id)
{
    if (id == IDC_CONNECT && busy.load() == 0)
        startAttempt(hwnd);
}

static void onClose(HWND hwnd)
{
    if (busy.load() == 0)   // while an attempt runs the window stays
        DestroyWindow(hwnd);
}

// Windows ends the customer's session (logoff, shutdown, or an installer's restart manager closing
// us) and may end this process at any moment once WM_ENDSESSION has returned, while the worker
// still waits for the agent: its clean-up would never run. So the policy file goes now, if the
// folder is ours, and the code with it while the window owns it (while the worker composes its
// request the code is the worker's, which wipes it right after). No waiting and no box: Windows
// ends the agent itself. The delete succeeds while every open handle to the file shares deletion
// (our own writing handle does; the file goes when the last one closes). An agent that holds the
// file open without sharing deletion makes it fail: the file then stays until the next attempt from
// this folder removes it as a leftover.
static void onEndSession()
{
    sessionEnding.exchange(1);   // before the delete: runAgent looks once its file is closed
    if (folderHeld.load() != 0)
        DeleteFileW(policyPath);
    if (codeWithWorker.load() == 0)
        SecureZeroMemory(code, sizeof code);
}

static void onDestroy()
{
    if (font != NULL)
        DeleteObject(font);
    font = NULL;
    PostQuitMessage(0);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:       createControls(hwnd);                 return 0;
    case WM_COMMAND:      onCommand(hwnd, LOWORD(wParam));      return 0;
    // IsDialogMessageW turns Enter into the default button's command only when asked for it;
    // without this answer Enter would arrive as IDOK and do nothing.
    case DM_GETDEFID:     return MAKELRESULT(IDC_CONNECT, DC_HASDEFID);
    case WM_CLOSE:        onClose(hwnd);                        return 0;
    case WM_QUERYENDSESSION:                                    return TRUE;   // never refused or delayed
    case WM_ENDSESSION:   if (wParam) onEndSession();           return 0;
    case WM_CONNECT_DONE: finishAttempt(hwnd, wParam != 0);     return 0;
    case WM_DESTROY:      onDestroy();                          return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // Before anything else: DLLs are loaded from System32 only, never from the folder we were
    // started from (a Downloads folder may hold anything). The delay-loaded imports depend on it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!initLaunchState())
        return 1;

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);

    mainWindow = CreateWindowExW(0, className, windowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 525, 295, NULL, NULL, instance, NULL);
    if (mainWindow == NULL)
        return 1;
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, NULL, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (IsDialogMessageW(mainWindow, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // The loop can end while an attempt runs: a quit posted from outside, or the window destroyed
    // along with its desktop. The attempt's clean-up (the policy file, the code) must still run
    // before the process ends, so wait for it, answering only what is sent to this thread: the
    // worker hides our window by a sent message.
    while (busy.load() != 0) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 100, QS_SENDMESSAGE);
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return 0;
}
