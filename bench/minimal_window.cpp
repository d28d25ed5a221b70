// The smallest window program of ours, the launcher's yardstick in the benchmark: it registers a
// class, creates and shows one window of the launcher's size and runs a message loop until the
// window is closed. Nothing else: no controls, no font, no resources. Built with WITH_EDIT it also
// holds one focused edit control, the yardstick for the cost of a blinking caret. Built with
// WITH_CONTROLS it holds the launcher's four controls with their styles, places, texts and font,
// made from WM_CREATE as the launcher makes them: the yardstick for the launcher's start-up.

#include <windows.h>

#ifdef WITH_CONTROLS
static HWND createControl(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD exStyle, DWORD style,
                          int x, int y, int width, int height, int id)
{
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                           (HMENU)(INT_PTR)id, NULL, NULL);
}

static void createControls(HWND hwnd)
{
    // The font lives as long as the process, as the launcher's does until its window goes.
    HFONT font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    HWND prompt = createControl(hwnd, L"STATIC", L"Enter your 6-digit remote support code", 0, 0, 24, 24, 460, 40, 0);
    HWND edit = createControl(hwnd, L"EDIT", L"", WS_EX_CLIENTEDGE, WS_TABSTOP | ES_NUMBER | ES_CENTER, 24, 76,
                              210, 42, 102);
    SendMessageW(edit, EM_LIMITTEXT, 6, 0);
    HWND button = createControl(hwnd, L"BUTTON", L"Connect to Support", 0, WS_TABSTOP | BS_DEFPUSHBUTTON, 250, 76,
                                232, 42, 101);
    HWND status = createControl(hwnd, L"STATIC",
                                L"Use the code from your appointment or technician.\r\n"
                                L"Connect only while speaking with your technician.\r\n"
                                L"You must approve access before remote support begins.",
                                0, 0, 24, 140, 460, 100, 0);
    SendMessageW(prompt, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(edit, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(button, WM_SETFONT, (WPARAM)font, TRUE);
    SendMessageW(status, WM_SETFONT, (WPARAM)font, TRUE);
    SetFocus(edit);
}
#endif

static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
#ifdef WITH_CONTROLS
    if (msg == WM_CREATE) {
        createControls(hwnd);
        return 0;
    }
#endif
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"KavroBenchMinimalWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"KavroBenchMinimalWindow", L"Minimal window",
                                  WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                                  525, 295, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 1;
#ifdef WITH_EDIT
    HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 24, 76, 210, 42, window, NULL,
                                instance, NULL);
    SetFocus(edit);
#endif
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
