// Start-up of the real launcher under Wine: which folders and module paths it starts from, and
// what it derives there. The launcher is copied into folders of exact lengths (Wine maps the Unix
// root as Z:, so the bed can make them) and run as a child; a run "starts" when its window shows.
// The derived paths and the nonce are read from a child copy of this program that runs the
// launcher's own start-up code and writes what it found (the child mode of main below).

#include <gtest/gtest.h>

#include "launcher.h"
#include "testbed.h"

#include <string.h>

namespace {

struct LauncherRun {
    bool started;     // CreateProcessW succeeded
    bool windowSeen;  // a visible main window of that process appeared
    DWORD exitCode;
};

// Runs the launcher at exePath from cwd; closes its window as soon as it appears.
LauncherRun runLauncher(const std::wstring &exePath, const std::wstring &cwd)
{
    LauncherRun run = {false, false, STILL_ACTIVE};
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!CreateProcessW(exePath.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, cwd.c_str(), &startup,
                        &process))
        return run;
    run.started = true;
    for (int i = 0; i < 300; i++) {   // 30 s at most
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
        HWND found = findLauncherWindow(process.dwProcessId, true);
        if (found != NULL) {
            run.windowSeen = true;
            PostMessageW(found, WM_CLOSE, 0, 0);
            WaitForSingleObject(process.hProcess, 30000);
            break;
        }
    }
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// A folder whose full Windows path is exactly `length` characters, under the bed's scratch area.
std::wstring folderOfLength(size_t length, const std::wstring &tag)
{
    std::wstring base = freshFolder(tag);
    size_t pad = length - base.size() - 1;
    std::wstring folder = base + L"\\" + std::wstring(pad, L'd');
    CreateDirectoryW(folder.c_str(), NULL);
    EXPECT_EQ(length, folder.size());
    return folder;
}

TEST(StartUp, StartsOnlyWhereTheDerivedPathsFit)
{
    static const struct {
        size_t folderLength;
        size_t nameLength;   // 0: the shipped name, KavroClientLauncher.exe
        bool starts;
        const char *why;
    } rows[] = {
        { 100, 0,  true,  "an ordinary folder" },
        { 226, 0,  true,  "the longest folder the agent path fits beside" },
        { 227, 0,  false, "agent path would need 260 characters" },
        { 235, 0,  false, "259-character module path with the shipped name: folder too long" },
        { 226, 32, true,  "259-character module path with a 32-character name" },
        { 225, 33, true,  "259-character module path with a 33-character name" },
    };
    std::wstring launcher = buildPath(L"KavroClientLauncher.exe");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        std::wstring folder = folderOfLength(rows[i].folderLength, L"startup" + std::to_wstring(i));
        std::wstring name = L"KavroClientLauncher.exe";
        if (rows[i].nameLength != 0)
            name = std::wstring(rows[i].nameLength - 4, L'n') + L".exe";
        std::wstring exe = folder + L"\\" + name;
        ASSERT_TRUE(copyFile(launcher, exe)) << "copy to a " << exe.size() << "-character path failed";
        LauncherRun run = runLauncher(exe, bedPath());
        ASSERT_TRUE(run.started) << "CreateProcessW failed, error " << GetLastError();
        EXPECT_EQ(rows[i].starts, run.windowSeen) << "expected the window " << (rows[i].starts ? "" : "not ")
                                                  << "to show";
        EXPECT_EQ(rows[i].starts ? 0u : 1u, run.exitCode);
    }
}

// A module path of 260 characters or more comes back cut, however short the folder.
TEST(StartUp, EndsWhenItsModulePathIsCut)
{
    static const struct {
        size_t folderLength, nameLength;
        const char *why;
    } rows[] = {
        { 226, 33, "260-character module path, folder short enough" },
        { 200, 80, "281-character module path" },
    };
    std::wstring launcher = buildPath(L"KavroClientLauncher.exe");
    size_t unstartable = 0;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        std::wstring folder = folderOfLength(rows[i].folderLength, L"cut" + std::to_wstring(i));
        std::wstring exe = folder + L"\\" + std::wstring(rows[i].nameLength - 4, L'n') + L".exe";
        ASSERT_TRUE(copyFile(launcher, exe));
        LauncherRun run = runLauncher(exe, bedPath());
        if (!run.started && GetLastError() == ERROR_FILE_NOT_FOUND && fileExists(exe)) {
            unstartable++;   // see the skip below
            continue;
        }
        ASSERT_TRUE(run.started) << "CreateProcessW failed, error " << GetLastError();
        EXPECT_FALSE(run.windowSeen);
        EXPECT_EQ(1u, run.exitCode);
    }
    if (unstartable == sizeof rows / sizeof rows[0])
        GTEST_SKIP() << "Wine 8 cannot start a program whose path is 260 characters or longer "
                        "(CreateProcessW fails with ERROR_FILE_NOT_FOUND), so a cut module path cannot be produced";
}

// What a child copy of this program found when it ran the launcher's start-up code.
struct ChildState {
    bool ok;
    std::wstring agent, policy;
    std::string nonceText;
};

ChildState runStartUpChild(const std::wstring &cwd)
{
    ChildState state = {false, L"", L"", ""};
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring out = bedPath(L"scratch\\startup-child.txt");
    DeleteFileW(out.c_str());
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --startup-child \"" + out + L"\"";
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(self, &commandLine[0], NULL, NULL, FALSE, 0, NULL, cwd.c_str(), &startup, &process))
        return state;
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::string text;
    if (!readFile(out, &text))
        return state;
    size_t a = text.find('\n'), b = text.find('\n', a + 1), c = text.find('\n', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos)
        return state;
    state.ok = text.substr(0, a) == "1";
    state.agent = widen(text.substr(a + 1, b - a - 1));
    state.policy = widen(text.substr(b + 1, c - b - 1));
    state.nonceText = text.substr(c + 1);
    return state;
}

TEST(StartUp, DerivesPathsFromItsOwnFolderAndDrawsAFreshNonce)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring folder = self;
    folder.resize(folder.rfind(L'\\'));
    std::wstring elsewhere = freshFolder(L"startup-cwd");
    const wchar_t *cwds[] = { L"C:\\", elsewhere.c_str(), L"C:\\windows\\system32" };
    std::vector<std::string> nonces;
    for (const wchar_t *cwd : cwds) {
        SCOPED_TRACE(testing::Message() << "current directory " << narrow(cwd));
        ChildState state = runStartUpChild(cwd);
        ASSERT_TRUE(state.ok) << "the start-up child did not report success";
        EXPECT_EQ(folder + L"\\KavroTechRemoteSupport-agent.exe", state.agent);
        EXPECT_EQ(folder + L"\\KavroTechRemoteSupport-agent.msh", state.policy);
        ASSERT_EQ(32u, state.nonceText.size()) << "nonce " << state.nonceText;
        EXPECT_EQ(std::string::npos, state.nonceText.find_first_not_of("0123456789abcdef"))
            << "nonce " << state.nonceText;
        for (const std::string &earlier : nonces)
            EXPECT_NE(earlier, state.nonceText) << "two runs drew the same nonce";
        nonces.push_back(state.nonceText);
    }
}

// One lock per folder, whatever the letter case of its path; another folder, another lock.
TEST(StartUp, NamesOneFolderLockPerFolder)
{
    static const struct { const wchar_t *first, *second; bool same; } rows[] = {
        { L"C:\\Users\\ann\\Downloads", L"c:\\USERS\\Ann\\downloads", true },
        { L"C:\\Users\\ann\\Downloads", L"C:\\Users\\ann\\Downloads\\x", false },
        { L"C:\\Users\\ann\\Downloads", L"C:\\Users\\bob\\Downloads", false },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << narrow(row.first) << " and " << narrow(row.second));
        placeLaunchState(row.first);
        std::wstring first = folderLockName;
        placeLaunchState(row.second);
        EXPECT_EQ(row.same, first == folderLockName) << narrow(first) << " / " << narrow(folderLockName);
        EXPECT_EQ(0u, first.find(L"Local\\KavroClientLauncher-")) << narrow(first);
        EXPECT_EQ(first.rfind(L'\\'), 5u) << "a backslash past the namespace in " << narrow(first);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--startup-child") == 0) {
        bool ok = initLaunchState();
        std::string text = std::string(ok ? "1" : "0") + "\n" + narrow(agentPath) + "\n" + narrow(policyPath) + "\n" +
                           nonce;
        return writeFile(widen(argv[2]), text) ? 0 : 3;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
