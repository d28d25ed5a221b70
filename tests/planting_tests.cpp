// DLLs planted beside the launcher: copies of a DLL of ours that marks its own loading, under
// the names of the DLLs the launcher uses and of those they load in turn. Wine prefers its own
// builtin DLLs, so the launcher runs with overrides that prefer native ones, as Windows would.
// Whatever the launcher does, from start-up to a whole successful attempt, none may be loaded.

#include <gtest/gtest.h>

#include "agentbed.h"
#include "launcher.h"

namespace {

const wchar_t *const plantedNames[] = {
    L"winhttp", L"wintrust", L"crypt32", L"bcrypt", L"user32", L"gdi32", L"version", L"secur32",
    L"schannel", L"ws2_32", L"jsproxy", L"advapi32", L"sechost", L"ucrtbase", L"imm32", L"uxtheme",
    L"comctl32", L"iphlpapi", L"dnsapi", L"rsaenh", L"msasn1", L"imagehlp", L"mssign32",
};

std::wstring overrides()
{
    std::wstring list;
    for (const wchar_t *name : plantedNames)
        list += (list.empty() ? L"" : L",") + std::wstring(name);
    return list + L"=n,b";
}

TEST(PlantedDlls, NoneIsLoadedFromStartUpToAFinishedAttempt)
{
    static const struct {
        const char *why;
        bool connect;   // type the code and connect; otherwise close the window once shown
    } rows[] = {
        { "start-up and close", false },
        { "a whole successful attempt", true },
    };
    std::wstring planted = buildPath(L"bin\\planted.dll");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        AgentFolder bed = placeAgent(L"planted" + std::to_wstring(i), L"good.exe");
        writeFile(bed.base + L".end", "");
        std::wstring exe = bed.folder + L"\\KavroClientLauncher.exe";
        ASSERT_TRUE(copyFile(buildPath(L"KavroClientLauncher.exe"), exe));
        for (const wchar_t *name : plantedNames)
            ASSERT_TRUE(copyFile(planted, bed.folder + L"\\" + name + L".dll"));
        setScenario("status=200\npolicy=1");
        clearRequests();

        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides().c_str());
        STARTUPINFOW startup = {};
        PROCESS_INFORMATION process = {};
        startup.cb = sizeof startup;
        std::wstring commandLine = L"\"" + exe + L"\"";
        BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, bed.folder.c_str(),
                                      &startup, &process);
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", NULL);
        ASSERT_TRUE(started) << "error " << GetLastError();

        HWND found = NULL;
        for (int wait = 0; wait < 300 && found == NULL; wait++) {
            if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
                break;
            // Visible means CreateWindowExW has returned: the controls are whole. A window found
            // earlier may still be making its code box, which then drops the text typed into it.
            found = findLauncherWindow(process.dwProcessId, true);
        }
        EXPECT_NE((HWND)NULL, found) << "the launcher's window never appeared";
        if (found != NULL && rows[i].connect) {
            SetWindowTextW(GetDlgItem(found, IDC_CODE), L"123456");
            PostMessageW(found, WM_COMMAND, MAKEWPARAM(IDC_CONNECT, BN_CLICKED),
                         (LPARAM)GetDlgItem(found, IDC_CONNECT));
        } else if (found != NULL) {
            PostMessageW(found, WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 99);
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        EXPECT_EQ(0u, exitCode);
        if (rows[i].connect) {
            EXPECT_EQ(1u, recordedRequests().size());
            EXPECT_EQ("ended", agentReport(bed)["state"]) << "the attempt did not run the agent";
        }
        for (const wchar_t *name : plantedNames)
            EXPECT_FALSE(fileExists(bed.folder + L"\\" + name + L".dll.loaded"))
                << "the planted " << narrow(name) << ".dll was loaded";
    }
}

}  // namespace
