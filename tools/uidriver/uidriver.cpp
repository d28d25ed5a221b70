// Drives the launcher's window from outside for the end-to-end tests and the demo: finds it,
// types or pastes into the code box, clicks, presses Enter, reads texts, states and window
// rectangles, handles its message boxes; for the demo it also starts the launcher inside a Wine
// virtual desktop. Each argument word is a command (some take the next word as their argument);
// results go to stdout as key=value lines, text in UTF-8, and the first failing command ends the
// run with exit code 1. Keys are prefixed by what they describe, so a run may read state twice.
//
// Messages that may open a modal message box in the launcher (a click, Enter) are posted, never
// sent: a sent message would not return until someone dismissed that box.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum { IDC_CONNECT = 101, IDC_CODE = 102, MSGBOX_TEXT_ID = 0xFFFF };

static const wchar_t launcherClass[] = L"KavroReusableSupportClient";
static const wchar_t agentClass[] = L"KavroStandInAgent";   // the stand-in agent's session window
static const UINT replyMs = 5000;   // a launcher that does not answer a sent message in this time is hung

// Set by the commands as they run.
static HWND mainWindow, messageBox;
// Launcher windows that find and attach pass over: those of other launchers a test runs.
static HWND skipped[8];
static size_t skippedCount;
static wchar_t desktopName[64];   // the desktop joined, or empty

static void printText(const char *key, const wchar_t *text)
{
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    if (n <= 0)
        utf8[0] = '\0';
    // One value per line: line breaks inside a text are shown as \r and \n.
    printf("%s=", key);
    for (const char *p = utf8; *p != '\0'; p++) {
        if (*p == '\r')      fputs("\\r", stdout);
        else if (*p == '\n') fputs("\\n", stdout);
        else if (*p == '\\') fputs("\\\\", stdout);
        else                 putchar(*p);
    }
    putchar('\n');
}

static void printFlag(const char *key, bool value)
{
    printf("%s=%d\n", key, value ? 1 : 0);
}

static bool fail(const char *what)
{
    printf("error=%s\n", what);
    return false;
}

// A window's text through WM_GETTEXT, which the system carries across processes (GetWindowTextW
// would only return the text a control was created with).
static bool readText(HWND hwnd, wchar_t *text, int size)
{
    DWORD_PTR copied = 0;
    text[0] = L'\0';
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, size, (LPARAM)text, SMTO_NORMAL, replyMs, &copied))
        return false;
    text[size - 1] = L'\0';
    return true;
}

static BOOL CALLBACK findBox(HWND hwnd, LPARAM)
{
    wchar_t cls[16];
    if (GetWindow(hwnd, GW_OWNER) == mainWindow && GetClassNameW(hwnd, cls, 16) && wcscmp(cls, L"#32770") == 0) {
        messageBox = hwnd;
        return FALSE;
    }
    return TRUE;
}

static bool isSkipped(HWND hwnd)
{
    for (size_t i = 0; i < skippedCount; i++)
        if (skipped[i] == hwnd)
            return true;
    return false;
}

static HWND findMainWindow()
{
    // Top-level windows, hidden ones too.
    mainWindow = FindWindowExW(NULL, NULL, launcherClass, NULL);
    while (mainWindow != NULL && isSkipped(mainWindow))
        mainWindow = FindWindowExW(NULL, mainWindow, launcherClass, NULL);
    return mainWindow;
}

static HWND findMessageBox()
{
    messageBox = NULL;
    if (mainWindow != NULL && IsWindow(mainWindow))
        EnumWindows(findBox, 0);
    return messageBox;
}

static HWND focusedWindow()
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(mainWindow, NULL);
    if (thread == 0 || !GetGUIThreadInfo(thread, &info))
        return NULL;
    return info.hwndFocus;
}

static const char *nameOf(HWND hwnd)
{
    if (hwnd == NULL)                                        return "none";
    if (hwnd == mainWindow)                                  return "main";
    if (hwnd == GetDlgItem(mainWindow, IDC_CODE))            return "code";
    if (hwnd == GetDlgItem(mainWindow, IDC_CONNECT))         return "button";
    if (messageBox != NULL && (hwnd == messageBox || IsChild(messageBox, hwnd))) return "box";
    return "other";
}

// ---- Commands ----

static bool needWindow()
{
    if (mainWindow == NULL || !IsWindow(mainWindow))
        return fail("no-window");
    return true;
}

// Windows are found only on the driver's own desktop; a launcher started by
// "explorer /desktop=NAME,WxH" lives on desktop NAME, which exists once explorer has made it.
// The thread must join it before its first window lookup. The desktop stays in use until the
// driver ends, so its handle is not closed.
static bool cmdDesktop(const wchar_t *arg)
{
    const DWORD limit = 30000, start = GetTickCount();
    HDESK desktop;
    while ((desktop = OpenDesktopW(arg, 0, FALSE, GENERIC_ALL)) == NULL) {
        if (GetTickCount() - start >= limit)
            return fail("no-desktop");
        Sleep(50);
    }
    if (!SetThreadDesktop(desktop))
        return fail("desktop-refused");
    _snwprintf_s(desktopName, sizeof desktopName / sizeof desktopName[0], _TRUNCATE, L"%ls", arg);
    return true;
}

// Starts the program on the desktop joined (a process otherwise starts on its parent's), waits
// for it to end and prints its exit code.
static bool cmdRun(const wchar_t *arg)
{
    wchar_t commandLine[MAX_PATH + 3];
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    DWORD exitCode = 0;
    startup.cb = sizeof startup;
    startup.lpDesktop = desktopName[0] != L'\0' ? desktopName : NULL;
    _snwprintf_s(commandLine, sizeof commandLine / sizeof commandLine[0], _TRUNCATE, L"\"%ls\"", arg);
    if (!CreateProcessW(arg, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return fail("run-failed");
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    printf("run-exit-code=%lu\n", exitCode);
    return true;
}

// Stays on the desktop until killed. Wine closes a desktop about a second after the last program
// on it ends, and its desktop process goes with it; a program that starts while that happens gets
// no window, or loses its window later. The test bed keeps one of these running instead, and
// starts what it tests once this has printed hold=1. Before that it makes a window of its own on
// the desktop and destroys it again: where the desktop process did not come up, Wine has no
// display driver for the desktop and the window fails (error=no-desktop), as every later one would.
static bool cmdHold(const wchar_t *)
{
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    if (probe == NULL)
        return fail("no-desktop");
    DestroyWindow(probe);
    printf("hold=1\n");
    for (;;)
        Sleep(INFINITE);
}

// WM_QUIT posted to the launcher's window thread: its message loop ends as it would if the window
// were destroyed from outside.
static bool cmdQuit(const wchar_t *)
{
    if (!needWindow())
        return false;
    if (!PostThreadMessageW(GetWindowThreadProcessId(mainWindow, NULL), WM_QUIT, 0, 0))
        return fail("quit-not-posted");
    return true;
}

// The end of the Windows session as Windows delivers it to every top-level window, hidden ones
// too: WM_QUERYENDSESSION, then WM_ENDSESSION with TRUE, or with FALSE when the end was called
// off. KIND is logoff (ENDSESSION_LOGOFF), closeapp (ENDSESSION_CLOSEAPP, an installer's restart
// manager), shutdown (0) or cancelled (logoff, then FALSE). Prints what the window answered to the
// query and how long it took over WM_ENDSESSION.
static bool cmdEndSession(const wchar_t *arg)
{
    if (!needWindow())
        return false;
    LPARAM flags = wcscmp(arg, L"closeapp") == 0 ? ENDSESSION_CLOSEAPP : wcscmp(arg, L"shutdown") == 0 ? 0
                                                                                                    : ENDSESSION_LOGOFF;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(mainWindow, WM_QUERYENDSESSION, 0, flags, SMTO_NORMAL, replyMs, &answer))
        return fail("queryendsession-timeout");
    printf("queryendsession=%llu\n", (unsigned long long)answer);
    DWORD start = GetTickCount();
    if (!SendMessageTimeoutW(mainWindow, WM_ENDSESSION, wcscmp(arg, L"cancelled") != 0, flags, SMTO_NORMAL, replyMs,
                             NULL))
        return fail("endsession-timeout");
    printf("endsession-ms=%lu\n", GetTickCount() - start);
    return true;
}

// Opens PATH for reading, sharing reading only, as a virus scanner or an indexer opens a new file,
// and keeps it open until standard input ends (the caller closes its end of the pipe).
static bool cmdHoldFile(const wchar_t *arg)
{
    HANDLE file = CreateFileW(arg, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return fail("holdfile-not-opened");
    printf("holdfile=1\n");
    char byte;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, NULL) && got != 0) {
    }
    CloseHandle(file);
    printf("holdfile-closed=1\n");
    return true;
}

static bool findWithin(const wchar_t *arg, bool visible)
{
    DWORD limit = wcstoul(arg, NULL, 10), start = GetTickCount();
    while (findMainWindow() == NULL || (visible && !IsWindowVisible(mainWindow))) {
        if (GetTickCount() - start >= limit)
            return fail("window-not-found");
        Sleep(50);
    }
    DWORD process = 0;
    GetWindowThreadProcessId(mainWindow, &process);
    printf("window=0x%llx\nwindow-pid=%lu\n", (unsigned long long)(UINT_PTR)mainWindow, process);
    return true;
}

static bool cmdFind(const wchar_t *arg)   { return findWithin(arg, true); }
static bool cmdAttach(const wchar_t *arg) { return findWithin(arg, false); }

static HWND parseWindow(const wchar_t *arg)
{
    return (HWND)(UINT_PTR)wcstoull(arg, NULL, 16);
}

// Another launcher's window, as printed by find: find and attach pass over it.
static bool cmdSkip(const wchar_t *arg)
{
    if (skippedCount == sizeof skipped / sizeof skipped[0])
        return fail("too-many-skipped");
    skipped[skippedCount++] = parseWindow(arg);
    return true;
}

// The window found by an earlier run, by its handle: for a test that runs several launchers.
static bool cmdWindow(const wchar_t *arg)
{
    mainWindow = parseWindow(arg);
    return needWindow();
}

// Each character as WM_CHAR, sent, the way a keyboard's characters reach the edit control; so
// ES_NUMBER and the limit of the box apply.
static bool cmdType(const wchar_t *arg)
{
    if (!needWindow())
        return false;
    HWND edit = GetDlgItem(mainWindow, IDC_CODE);
    for (const wchar_t *p = arg; *p != L'\0'; p++)
        if (!SendMessageTimeoutW(edit, WM_CHAR, *p, 1, SMTO_NORMAL, replyMs, NULL))
            return fail("type-timeout");
    return true;
}

// WM_SETTEXT replaces the whole text and, like a paste, is not filtered by ES_NUMBER.
static bool cmdPaste(const wchar_t *arg)
{
    if (!needWindow())
        return false;
    if (!SendMessageTimeoutW(GetDlgItem(mainWindow, IDC_CODE), WM_SETTEXT, 0, (LPARAM)arg, SMTO_NORMAL, replyMs, NULL))
        return fail("paste-timeout");
    return true;
}

// EM_REPLACESEL inserts at the caret as a paste from the clipboard would.
static bool cmdInsert(const wchar_t *arg)
{
    if (!needWindow())
        return false;
    if (!SendMessageTimeoutW(GetDlgItem(mainWindow, IDC_CODE), EM_REPLACESEL, TRUE, (LPARAM)arg, SMTO_NORMAL, replyMs,
                             NULL))
        return fail("insert-timeout");
    return true;
}

static bool cmdClick(const wchar_t *)
{
    if (!needWindow())
        return false;
    PostMessageW(GetDlgItem(mainWindow, IDC_CONNECT), BM_CLICK, 0, 0);
    return true;
}

// A mouse press and release in the button's client area, posted as the mouse would deliver them.
static bool cmdPress(const wchar_t *)
{
    if (!needWindow())
        return false;
    HWND button = GetDlgItem(mainWindow, IDC_CONNECT);
    PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    return true;
}

// The connect command straight to the window, as if it slipped past a disabled button.
static bool cmdCommand(const wchar_t *)
{
    if (!needWindow())
        return false;
    PostMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(IDC_CONNECT, BN_CLICKED),
                 (LPARAM)GetDlgItem(mainWindow, IDC_CONNECT));
    return true;
}

// Enter as key messages to the control that has the focus (or the code box when none has), so
// the launcher's message loop hands it to IsDialogMessageW as it would a real key press.
static bool cmdEnter(const wchar_t *)
{
    if (!needWindow())
        return false;
    findMessageBox();
    HWND target = focusedWindow();
    printf("enter-target=%s\n", nameOf(target));
    if (target == NULL)
        target = GetDlgItem(mainWindow, IDC_CODE);
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
    return true;
}

static bool cmdClose(const wchar_t *)
{
    if (!needWindow())
        return false;
    PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    return true;
}

// Once the window is the foreground window, its caption drawn active, as Windows shows the window
// a customer has just started. Wine sends an activation's WM_NCACTIVATE with "active" only when
// the window is already the foreground window; in a virtual desktop under Xvfb the launcher's
// first activation comes before that, and its caption stays drawn inactive.
static bool cmdActivate(const wchar_t *)
{
    if (!needWindow())
        return false;
    for (int i = 0; i < 250 && GetForegroundWindow() != mainWindow; i++)
        Sleep(20);
    if (GetForegroundWindow() != mainWindow)
        return fail("not-foreground");
    if (!SendMessageTimeoutW(mainWindow, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, replyMs, NULL))
        return fail("activate-timeout");
    return true;
}

static bool cmdSleep(const wchar_t *arg)
{
    Sleep(wcstoul(arg, NULL, 10));
    return true;
}

static void printControl(const char *name, HWND hwnd)
{
    char key[64];
    wchar_t text[1024];
    snprintf(key, sizeof key, "%s-text", name);
    readText(hwnd, text, 1024);
    printText(key, text);
    snprintf(key, sizeof key, "%s-visible", name);
    printFlag(key, IsWindowVisible(hwnd));
    snprintf(key, sizeof key, "%s-enabled", name);
    printFlag(key, IsWindowEnabled(hwnd));
}

// The prompt and the status text have no identifier of their own: they are the first and the
// last STATIC child, in creation order.
static void findStatics(HWND *prompt, HWND *status)
{
    *prompt = *status = NULL;
    for (HWND child = GetWindow(mainWindow, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16];
        if (GetClassNameW(child, cls, 16) && _wcsicmp(cls, L"Static") == 0) {
            if (*prompt == NULL)
                *prompt = child;
            *status = child;
        }
    }
}

static bool cmdState(const wchar_t *)
{
    if (!needWindow())
        return false;
    wchar_t text[1024];
    HWND prompt, status;
    findStatics(&prompt, &status);
    readText(mainWindow, text, 1024);
    printText("title", text);
    printFlag("window-visible", IsWindowVisible(mainWindow));
    printFlag("window-enabled", IsWindowEnabled(mainWindow));
    if (prompt != NULL)
        printControl("prompt", prompt);
    HWND edit = GetDlgItem(mainWindow, IDC_CODE);
    printControl("code", edit);
    DWORD_PTR limit = 0;
    SendMessageTimeoutW(edit, EM_GETLIMITTEXT, 0, 0, SMTO_NORMAL, replyMs, &limit);
    printf("code-limit=%llu\n", (unsigned long long)limit);
    printf("code-style=0x%lx\n", (unsigned long)GetWindowLongW(edit, GWL_STYLE));
    printControl("button", GetDlgItem(mainWindow, IDC_CONNECT));
    if (status != NULL && status != prompt)
        printControl("status", status);
    findMessageBox();
    printf("focus=%s\n", nameOf(focusedWindow()));
    printFlag("box", messageBox != NULL);
    return true;
}

// One control, for fit: its rectangle in the window's client area, its client size and, when
// format is not 0, the size its text needs laid out with that format at its client width in the
// font selected into dc.
static void printFit(const char *name, HWND hwnd, HDC dc, UINT format)
{
    wchar_t text[1024];
    RECT r, client;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, mainWindow, (POINT *)&r, 2);
    GetClientRect(hwnd, &client);
    printf("%s-rect=%ld,%ld,%ld,%ld\n%s-size=%ld,%ld\n", name, r.left, r.top, r.right, r.bottom, name, client.right,
           client.bottom);
    if (format == 0)
        return;
    RECT needed = { 0, 0, client.right, 0 };
    readText(hwnd, text, 1024);
    DrawTextW(dc, text, -1, &needed, DT_CALCRECT | format);
    printf("%s-needs=%ld,%ld\n", name, needed.right - needed.left, needed.bottom - needed.top);   // DT_VCENTER moves top
}

// Where each control lies and what its text needs, in the launcher's font. A font handle belongs to
// the process that made it (under Wine, WM_GETFONT sent from another process answers 0), so the
// driver makes the launcher's font request again; in the same Wine prefix the font mapper answers
// it with the same face, printed as fit-face. The code box's digits tie that font to the window:
// code-shows is the span the box gives its text but the last character (EM_POSFROMCHAR), code-needs
// the same text's width in the font made here. Static controls break SS_LEFT text at words and
// expand tabs; a push button draws its label on one line.
static bool cmdFit(const wchar_t *)
{
    if (!needWindow())
        return false;
    HWND prompt, status, edit = GetDlgItem(mainWindow, IDC_CODE);
    findStatics(&prompt, &status);
    if (prompt == NULL || status == prompt)
        return fail("no-static-texts");
    HFONT font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    HDC dc = GetDC(NULL);
    if (font == NULL || dc == NULL) {
        if (dc != NULL)   ReleaseDC(NULL, dc);
        if (font != NULL) DeleteObject(font);
        return fail("no-font");
    }
    HGDIOBJ previous = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE], digits[8];
    GetTextFaceW(dc, LF_FACESIZE, face);
    printText("fit-face", face);
    RECT client, window;
    GetClientRect(mainWindow, &client);
    GetWindowRect(mainWindow, &window);
    printf("fit-client=%ld,%ld\nfit-window=%ld,%ld\n", client.right, client.bottom, window.right - window.left,
           window.bottom - window.top);
    printFit("prompt", prompt, dc, DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
    printFit("code", edit, dc, 0);
    printFit("button", GetDlgItem(mainWindow, IDC_CONNECT), dc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    printFit("status", status, dc, DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
    readText(edit, digits, 8);
    int last = (int)wcslen(digits) - 1;
    DWORD_PTR first = 0, end = 0;
    SIZE span = {};
    if (last > 0 && SendMessageTimeoutW(edit, EM_POSFROMCHAR, 0, 0, SMTO_NORMAL, replyMs, &first) &&
        SendMessageTimeoutW(edit, EM_POSFROMCHAR, last, 0, SMTO_NORMAL, replyMs, &end) &&
        GetTextExtentPoint32W(dc, digits, last, &span))
        printf("code-shows=%d\ncode-needs=%ld\n", (int)(short)LOWORD(end) - (int)(short)LOWORD(first), span.cx);
    SelectObject(dc, previous);
    ReleaseDC(NULL, dc);
    DeleteObject(font);
    return true;
}

static void printRect(const char *key, HWND hwnd)
{
    RECT r;
    if (hwnd != NULL && IsWindowVisible(hwnd) && GetWindowRect(hwnd, &r))
        printf("%s=%ld,%ld,%ld,%ld\n", key, r.left, r.top, r.right, r.bottom);
}

// Screen rectangles (left,top,right,bottom) of what is shown: the launcher's window, the box it
// owns and the stand-in agent's window, each only while visible.
static bool cmdRects(const wchar_t *)
{
    if (findMainWindow() != NULL) {
        printRect("window-rect", mainWindow);
        printRect("box-rect", findMessageBox());
    }
    printRect("agent-rect", FindWindowW(agentClass, NULL));
    return true;
}

static bool cmdBox(const wchar_t *arg)
{
    if (!needWindow())
        return false;
    DWORD limit = wcstoul(arg, NULL, 10), start = GetTickCount();
    while (findMessageBox() == NULL || !IsWindowVisible(messageBox)) {
        if (GetTickCount() - start >= limit || !IsWindow(mainWindow)) {
            printFlag("box", false);
            return true;   // its absence is a result, for the caller to judge
        }
        Sleep(50);
    }
    wchar_t text[1024];
    printFlag("box", true);
    readText(messageBox, text, 1024);
    printText("box-caption", text);
    HWND item = GetDlgItem(messageBox, MSGBOX_TEXT_ID);
    printFlag("box-text-found", item != NULL);
    readText(item, text, 1024);
    printText("box-text", text);
    printFlag("box-has-ok", GetDlgItem(messageBox, IDOK) != NULL);
    printFlag("box-has-cancel", GetDlgItem(messageBox, IDCANCEL) != NULL);
    printf("box-focus=%s\n", nameOf(focusedWindow()));
    return true;
}

// The box's OK button, clicked; then wait for the box to go.
static bool cmdDismiss(const wchar_t *)
{
    if (!needWindow())
        return false;
    if (findMessageBox() == NULL)
        return fail("no-box");
    HWND box = messageBox;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(box, IDOK));
    for (int i = 0; i < 100 && IsWindow(box); i++)
        Sleep(50);
    if (IsWindow(box))
        return fail("box-stays");
    messageBox = NULL;
    return true;
}

static bool conditionHolds(const wchar_t *condition)
{
    bool exists = mainWindow != NULL && IsWindow(mainWindow);
    if (wcscmp(condition, L"gone") == 0)
        return !exists;
    if (!exists)
        return false;
    if (wcscmp(condition, L"hidden") == 0)
        return !IsWindowVisible(mainWindow);
    if (wcscmp(condition, L"visible") == 0)
        return IsWindowVisible(mainWindow) != 0;
    if (wcscmp(condition, L"busy") == 0)
        return !IsWindowEnabled(GetDlgItem(mainWindow, IDC_CONNECT));
    if (wcscmp(condition, L"idle") == 0)
        return IsWindowEnabled(GetDlgItem(mainWindow, IDC_CONNECT)) != 0;
    if (wcscmp(condition, L"box") == 0)
        return findMessageBox() != NULL;
    return false;
}

// wait CONDITION:MS, until the condition holds or MS pass; prints wait-CONDITION=1|0 either way.
static bool cmdWait(const wchar_t *arg)
{
    wchar_t condition[32];
    const wchar_t *colon = wcschr(arg, L':');
    if (colon == NULL || colon - arg >= 32)
        return fail("wait-needs-condition-and-ms");
    wcsncpy(condition, arg, colon - arg);
    condition[colon - arg] = L'\0';
    DWORD limit = wcstoul(colon + 1, NULL, 10), start = GetTickCount();
    bool held;
    while (!(held = conditionHolds(condition)) && GetTickCount() - start < limit)
        Sleep(50);
    char key[64];
    snprintf(key, sizeof key, "wait-%ls", condition);
    printFlag(key, held);
    return true;
}

static const struct {
    const wchar_t *name;
    bool takesArgument;
    bool (*run)(const wchar_t *arg);
    const char *help;
} commands[] = {
    { L"desktop", true,  cmdDesktop, "NAME     wait up to 30 s for desktop NAME and join it (comes first)" },
    { L"run",     true,  cmdRun,     "PATH     start PATH on that desktop, wait for its end, print its exit code" },
    { L"find",    true,  cmdFind,    "MS       wait up to MS for the visible launcher window" },
    { L"attach",  true,  cmdAttach,  "MS       the same, visible or not" },
    { L"hold",    false, cmdHold,    "         stay on the desktop until killed" },
    { L"quit",    false, cmdQuit,    "         WM_QUIT posted to the window's thread" },
    { L"endsession", true, cmdEndSession, "KIND  WM_QUERYENDSESSION, WM_ENDSESSION: logoff|closeapp|shutdown|cancelled" },
    { L"holdfile", true, cmdHoldFile, "PATH     open PATH sharing reading only until standard input ends" },
    { L"skip",    true,  cmdSkip,    "HWND     find and attach pass over this window" },
    { L"window",  true,  cmdWindow,  "HWND     drive this launcher window, found earlier" },
    { L"type",    true,  cmdType,    "TEXT     WM_CHAR for each character into the code box" },
    { L"paste",   true,  cmdPaste,   "TEXT     WM_SETTEXT on the code box" },
    { L"insert",  true,  cmdInsert,  "TEXT     EM_REPLACESEL on the code box" },
    { L"click",   false, cmdClick,   "         BM_CLICK posted to the connect button" },
    { L"press",   false, cmdPress,   "         WM_LBUTTONDOWN/UP posted to the connect button" },
    { L"command", false, cmdCommand, "         WM_COMMAND 101 posted to the window" },
    { L"enter",   false, cmdEnter,   "         VK_RETURN down/up posted to the focused control" },
    { L"close",   false, cmdClose,   "         WM_CLOSE posted to the window" },
    { L"activate", false, cmdActivate, "         its caption drawn active once it is the foreground window" },
    { L"sleep",   true,  cmdSleep,   "MS       pause" },
    { L"state",   false, cmdState,   "         texts, visibility, enabled, focus, code box limit" },
    { L"fit",     false, cmdFit,     "         each control's place, client size and what its text needs in the launcher's font" },
    { L"rects",   false, cmdRects,   "         screen rectangles of the window, its box, the agent's window" },
    { L"box",     true,  cmdBox,     "MS       wait up to MS for a message box owned by the window; read it" },
    { L"dismiss", false, cmdDismiss, "         press OK in that message box" },
    { L"wait",    true,  cmdWait,    "COND:MS  wait up to MS for gone|hidden|visible|busy|idle|box" },
};

int wmain(int argc, wchar_t **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);   // each line reaches the caller as it is printed
    if (argc < 2) {
        fputs("usage: uidriver COMMAND [ARG] [COMMAND [ARG]]...\n", stderr);
        for (size_t i = 0; i < sizeof commands / sizeof commands[0]; i++)
            fprintf(stderr, "  %-8ls %s\n", commands[i].name, commands[i].help);
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        size_t c = 0;
        while (c < sizeof commands / sizeof commands[0] && wcscmp(commands[c].name, argv[i]) != 0)
            c++;
        if (c == sizeof commands / sizeof commands[0]) {
            printText("error-unknown-command", argv[i]);
            return 2;
        }
        const wchar_t *arg = L"";
        if (commands[c].takesArgument) {
            if (i + 1 >= argc) {
                printText("error-missing-argument", argv[i]);
                return 2;
            }
            arg = argv[++i];
        }
        if (!commands[c].run(arg))
            return 1;
    }
    return 0;
}
