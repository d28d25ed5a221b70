// The smallest window program of ours, the launcher's yardstick in the benchmark: it registers a
// class, creates and shows one window of the launcher's size and runs a message loop until the
// window is closed. Nothing else: no controls, no font, no resources. Built with WITH_EDIT it also
// holds one focused edit control, the yardstick for the cost of a blinking caret.

#include <windows.h>

static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
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
