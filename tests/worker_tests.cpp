// Whole attempts on a thread of their own, as the window starts them: from the publisher check
// to the clean-up, against the session-service double and the signed stand-in agent. A
// message-only window stands in for the main window and records what the worker posts and what
// it could see of the shared state when the message arrived.

#include <gtest/gtest.h>

#include "agentbed.h"
#include "launcher.h"

#include <string.h>
#include <wchar.h>

#include <functional>
#include <iterator>
#include <vector>

namespace {

const wchar_t prepareFailed[] =
    L"Unable to prepare your support session. Please close this client and contact your technician.";
const wchar_t startFailed[] = L"Windows could not start the support agent. Please contact your technician.";
const wchar_t refused400[] = L"This code is unavailable. Please check your six-digit code with your technician.";
const wchar_t refused409[] =
    L"Your session is not ready, or this code is no longer available. Please check with your technician.";
const wchar_t refused410[] = L"Your support code has expired. Please ask your technician for a new code.";
const wchar_t refused429[] = L"Please wait a few minutes before trying again.";
const wchar_t refusedOther[] = L"Support is temporarily unavailable. Please try again shortly.";
// The clean-up's delete of a file in use: tried again 40 times, 250 ms apart.
const DWORD deleteRetryMs = 250, deleteRetries = 40;

// The worker's PostMessageW goes through this program's import slot, which SetUp points at
// recordingPost: so the test sees busy at the moment of posting, not only when the message is
// handled (by then a worker that cleared busy after posting would have cleared it too).
typedef BOOL(WINAPI *PostMessageFunction)(HWND, UINT, WPARAM, LPARAM);
PostMessageFunction realPostMessage;
LONG busyAtPost;

BOOL WINAPI recordingPost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CONNECT_DONE)
        busyAtPost = busy.load();
    return realPostMessage(hwnd, msg, wParam, lParam);
}

// The worker's DeleteFileW goes through this program's import slot too: countingDelete counts the
// calls made on the policy file, so a test can count the clean-up's tries.
typedef BOOL(WINAPI *DeleteFileFunction)(LPCWSTR);
DeleteFileFunction realDeleteFile;
std::atomic<LONG> policyDeletes;

BOOL WINAPI countingDelete(LPCWSTR path)
{
    if (_wcsicmp(path, policyPath) == 0)
        policyDeletes++;
    return realDeleteFile(path);
}

// Points this program's import slot for dll!function at replacement; returns the old target.
void *hookImport(const char *dll, const char *function, void *replacement)
{
    BYTE *base = (BYTE *)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (IMAGE_IMPORT_DESCRIPTOR *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports); d->Name != 0; d++) {
        if (_stricmp((const char *)(base + d->Name), dll) != 0)
            continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                strcmp((const char *)((IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData))->Name, function) != 0)
                continue;
            DWORD protection;
            void *old = (void *)slots->u1.Function;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            slots->u1.Function = (ULONG_PTR)replacement;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return old;
        }
    }
    return NULL;
}

// What the stand-in main window saw of each WM_CONNECT_DONE.
struct Posted {
    int count;
    WPARAM result;
    LONG busyThen;
    bool codeWiped;
    bool agentEnded;   // the agent's report said it had ended by then
};
Posted posted;
AgentFolder *current;

LRESULT CALLBACK recordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg != WM_CONNECT_DONE)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    posted.count++;
    posted.result = wParam;
    posted.busyThen = busy.load();
    posted.codeWiped = true;
    for (wchar_t c : code)
        posted.codeWiped = posted.codeWiped && c == L'\0';
    posted.agentEnded = current != NULL && agentReport(*current)["state"] == "ended";
    return 0;
}

class Worker : public testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW cls = {};
        cls.lpfnWndProc = recordingProc;
        cls.hInstance = GetModuleHandleW(NULL);
        cls.lpszClassName = L"WorkerTestWindow";
        RegisterClassW(&cls);
        mainWindow = CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance,
                                     NULL);
        ASSERT_NE((HWND)NULL, mainWindow);
        if (realPostMessage == NULL)
            realPostMessage = (PostMessageFunction)hookImport("user32.dll", "PostMessageW", (void *)recordingPost);
        ASSERT_NE((PostMessageFunction)NULL, realPostMessage) << "no import slot for PostMessageW";
        if (realDeleteFile == NULL)
            realDeleteFile = (DeleteFileFunction)hookImport("kernel32.dll", "DeleteFileW", (void *)countingDelete);
        ASSERT_NE((DeleteFileFunction)NULL, realDeleteFile) << "no import slot for DeleteFileW";
        clearScenario();
    }
    void TearDown() override
    {
        DestroyWindow(mainWindow);
        mainWindow = NULL;
        current = NULL;
        clearScenario();
    }

    // Starts one attempt with `typed` as the window would, pumps messages until its outcome
    // arrives, waits for the thread, and keeps listening a little for a second message.
    void attempt(AgentFolder *bed, const wchar_t *typed = L"123456")
    {
        posted = Posted();
        busyAtPost = -1;
        current = bed;
        wcscpy(code, typed);
        busy.exchange(1);
        codeWithWorker.exchange(1);
        HANDLE thread = CreateThread(NULL, 0, connectWorker, NULL, 0, NULL);
        ASSERT_NE((HANDLE)NULL, thread);
        DWORD deadline = GetTickCount() + 120000;
        while (GetTickCount() < deadline && (posted.count == 0 || WaitForSingleObject(thread, 0) != WAIT_OBJECT_0)) {
            MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
            pump();
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "the worker did not end";
        CloseHandle(thread);
        Sleep(200);
        pump();
    }
    static void pump()
    {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
};

struct Outcome {
    WPARAM result;
    const wchar_t *text;   // NULL: errorText empty
    size_t requests;
};

TEST_F(Worker, EndsEveryAttemptWithOneMessageAndTheSameCleanUp)
{
    const std::string relay = "MeshServer=wss://" KAVRO_RELAY_HOST ":443/agent.ashx\r\n";
    writeFile(bedPath(L"service\\no-mesh-id.txt"), relay + "MeshName=x\r\n");
    writeFile(bedPath(L"service\\other-relay.txt"), "MeshServer=wss://relay.elsewhere.example:443/agent.ashx\r\nMeshID=0x1\r\n");
    static const struct {
        const char *why;
        const wchar_t *variant;   // agent placed; NULL: none
        const char *scenario;
        bool heldForWriting;      // someone else has the agent open for writing
        Outcome expect;
    } rows[] = {
        { "no agent", NULL, "status=200", false, { 0, verifyFailedText, 0 } },
        { "unsigned agent", L"unsigned.exe", "status=200", false, { 0, verifyFailedText, 0 } },
        { "another publisher", L"otherpublisher.exe", "status=200", false, { 0, verifyFailedText, 0 } },
        { "agent open for writing elsewhere", L"good.exe", "status=200", true, { 0, verifyFailedText, 0 } },
        { "refused 400", L"good.exe", "status=400", false, { 0, refused400, 1 } },
        { "refused 409", L"good.exe", "status=409", false, { 0, refused409, 1 } },
        { "refused 410", L"good.exe", "status=410", false, { 0, refused410, 1 } },
        { "refused 429", L"good.exe", "status=429", false, { 0, refused429, 1 } },
        { "refused 500", L"good.exe", "status=500", false, { 0, refusedOther, 1 } },
        { "redirect", L"good.exe", "status=302\nlocation=https://" "elsewhere.invalid/", false, { 0, refusedOther, 1 } },
        { "nothing listening", L"good.exe", "listen=0", false, { 0, connectFailedText, 0 } },
        { "untrusted certificate", L"good.exe", "cert=untrusted", false, { 0, connectFailedText, 0 } },
        { "empty 200", L"good.exe", "status=200\nbody-size=0", false, { 0, connectFailedText, 1 } },
        { "too large 200", L"good.exe", "status=200\nbody-size=1048576", false, { 0, connectFailedText, 1 } },
        { "no mesh identifier", L"good.exe", "status=200\nbody-file=no-mesh-id.txt", false, { 0, connectFailedText, 1 } },
        { "another relay", L"good.exe", "status=200\nbody-file=other-relay.txt", false, { 0, connectFailedText, 1 } },
        { "a DLL as the agent", L"notanexe.exe", "status=200\npolicy=1", false, { 0, startFailed, 1 } },
        { "accepted", L"good.exe", "status=200\npolicy=1", false, { 1, NULL, 1 } },
        { "largest accepted policy", L"good.exe", "status=200\nbody-size=1048575", false, { 1, NULL, 1 } },
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        AgentFolder bed = placeAgent(L"worker" + std::to_wstring(i), rows[i].variant ? rows[i].variant : L"");
        writeFile(bed.base + L".end", "");   // an agent that runs ends at once
        HANDLE writer = INVALID_HANDLE_VALUE;
        if (rows[i].heldForWriting)
            writer = CreateFileW(bed.agent.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, 0, NULL);
        setScenario(rows[i].scenario);
        if (strstr(rows[i].scenario, "listen=0") != NULL) {
            for (int wait = 0; wait < 100; wait++) {
                std::string listening;
                if (readFile(bedPath(L"service\\listening"), &listening) && listening.substr(0, 1) == "0")
                    break;
                Sleep(50);
            }
        }
        clearRequests();
        // A leftover policy file must go whatever happens; rows that get as far as writing the
        // file run without one (a leftover there is the next test's case).
        if (rows[i].expect.result == 0 && rows[i].expect.text != startFailed)
            writeFile(policyPath, "left from an earlier run");

        attempt(&bed);
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);

        EXPECT_EQ(1, posted.count) << "expected exactly one WM_CONNECT_DONE";
        EXPECT_EQ(rows[i].expect.result, posted.result);
        if (rows[i].expect.text == NULL)
            EXPECT_STREQ(L"", errorText);
        else
            EXPECT_STREQ(rows[i].expect.text, errorText);
        EXPECT_EQ(rows[i].expect.requests, recordedRequests().size()) << "requests the service received";
        EXPECT_EQ(0, busyAtPost) << "busy was still set when the outcome was posted";
        EXPECT_EQ(0, posted.busyThen) << "busy was still set when the outcome arrived";
        EXPECT_TRUE(posted.codeWiped) << "code was not wiped before the outcome arrived";
        EXPECT_FALSE(fileExists(policyPath)) << "a policy file was left behind";
        EXPECT_EQ(0, folderHeld.load()) << "the folder still counts as held after the attempt";
        if (rows[i].expect.result == 1)
            EXPECT_TRUE(posted.agentEnded) << "the outcome was posted before the agent exited";
        else
            EXPECT_TRUE(agentReport(bed).empty()) << "an agent ran on a failed attempt";
    }
}

// Another launcher's session runs from this folder: its attempt holds the folder's lock (this
// test's thread stands in for it) and its policy file lies there. The attempt must not touch it.
TEST_F(Worker, LeavesAnotherLaunchersSessionAlone)
{
    AgentFolder bed = placeAgent(L"worker-other-session", L"good.exe");
    setScenario("status=200\npolicy=1");
    clearRequests();
    const std::string theirs = "MeshID=0x1 of the running session";
    writeFile(policyPath, theirs);
    HANDLE lock = CreateMutexW(NULL, FALSE, folderLockName);
    ASSERT_NE((HANDLE)NULL, lock);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(lock, 0));
    attempt(&bed);
    ReleaseMutex(lock);
    CloseHandle(lock);
    EXPECT_EQ(0u, posted.result);
    EXPECT_STREQ(prepareFailed, errorText);
    EXPECT_EQ(0u, recordedRequests().size()) << "requests the service received";
    std::string left;
    EXPECT_TRUE(readFile(policyPath, &left) && left == theirs) << "the other session's policy file was changed";
    DeleteFileW(policyPath);
}

// Windows ended the session (the window's WM_ENDSESSION) while the answer was on its way: the
// policy is written, but no agent starts into the closing session and no file is left.
TEST_F(Worker, StartsNoAgentOnceTheSessionEnds)
{
    AgentFolder bed = placeAgent(L"worker-session-ended", L"good.exe");
    writeFile(bed.base + L".end", "");
    setScenario("status=200\npolicy=1");
    clearRequests();
    sessionEnding.exchange(1);
    attempt(&bed);
    sessionEnding.exchange(0);
    EXPECT_EQ(0u, posted.result);
    EXPECT_STREQ(prepareFailed, errorText);
    EXPECT_EQ(1u, recordedRequests().size());
    EXPECT_TRUE(agentReport(bed).empty()) << "an agent started";
    EXPECT_FALSE(fileExists(policyPath)) << "a policy file was left behind";
}

DWORD WINAPI takeAndDie(void *lock)
{
    return WaitForSingleObject((HANDLE)lock, 0);   // ends owning it: the lock is abandoned
}

// A launcher that died mid-session leaves its policy file, and its folder lock abandoned while
// another launcher had it open (this test keeps it open in that launcher's place). A leftover
// costs one attempt, whose message comes promptly, whatever its attributes: a read-only one too.
TEST_F(Worker, LeftoverPolicyFileCostsOnlyOneAttempt)
{
    AgentFolder bed = placeAgent(L"worker-leftover", L"good.exe");
    writeFile(bed.base + L".end", "");
    setScenario("status=200\npolicy=1");
    HANDLE lock = CreateMutexW(NULL, FALSE, folderLockName);
    ASSERT_NE((HANDLE)NULL, lock);
    HANDLE died = CreateThread(NULL, 0, takeAndDie, lock, 0, NULL);
    ASSERT_NE((HANDLE)NULL, died);
    WaitForSingleObject(died, INFINITE);
    DWORD took = WAIT_FAILED;
    GetExitCodeThread(died, &took);
    CloseHandle(died);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, took) << "the dying thread did not take the lock";
    static const DWORD leftovers[] = { FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY };
    static const Outcome steps[] = { { 0, prepareFailed, 1 }, { 1, NULL, 2 } };
    for (DWORD attributes : leftovers) {
        clearRequests();
        writeFile(policyPath, "left by a crashed run");
        ASSERT_TRUE(SetFileAttributesW(policyPath, attributes));
        for (size_t i = 0; i < 2; i++) {
            SCOPED_TRACE(testing::Message() << "leftover attributes " << attributes << ", attempt " << i + 1);
            DWORD started = GetTickCount();
            attempt(&bed, L"314159");
            DWORD elapsed = GetTickCount() - started;
            EXPECT_EQ(1, posted.count);
            EXPECT_EQ(steps[i].result, posted.result);
            EXPECT_STREQ(steps[i].text ? steps[i].text : L"", errorText);
            EXPECT_EQ(steps[i].requests, recordedRequests().size());
            EXPECT_FALSE(fileExists(policyPath));
            if (i == 0) {
                EXPECT_LT(elapsed, 5000u) << "the prepare message came after " << elapsed << " ms";
            }
        }
        std::vector<RecordedRequest> requests = recordedRequests();
        ASSERT_EQ(2u, requests.size());
        EXPECT_EQ(requests[0].body, requests[1].body) << "same code, same run: the same body";
    }
    CloseHandle(lock);
}

// Another program (a virus scanner, say; a handle of this test's that does not share deletion stands
// in for it) holds the policy file from while the agent runs until after the clean-up gives up.
// The clean-up tries the delete 41 times in 10 s, the folder's lock held meanwhile, so another
// launcher's attempt from the folder gets the prepare message without a request; then it leaves
// the file, and the attempt still ends as a session that ran (the launcher exits with 0).
TEST_F(Worker, TriesAHeldPolicyFileFor10sThenLeavesIt)
{
    const DWORD triesMs = deleteRetries * deleteRetryMs;
    AgentFolder bed = placeAgent(L"worker-held-file", L"good.exe");
    setScenario("status=200\npolicy=1");
    clearRequests();
    auto pumpUntil = [](DWORD since, DWORD ms, const std::function<bool()> &done) {
        while (!done() && GetTickCount() - since < ms) {
            MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
            pump();
        }
    };
    posted = Posted();
    current = &bed;
    policyDeletes = 0;
    wcscpy(code, L"161803");
    busy.exchange(1);
    codeWithWorker.exchange(1);
    HANDLE thread = CreateThread(NULL, 0, connectWorker, NULL, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    pumpUntil(GetTickCount(), 30000, [&] { return agentReport(bed)["state"] == "running"; });
    HANDLE holder = CreateFileW(policyPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, holder) << "the running agent's policy file could not be opened, error "
                                            << GetLastError();
    writeFile(bed.base + L".end", "");
    DWORD agentEnding = GetTickCount();
    pumpUntil(agentEnding, 5000, [&] { return agentReport(bed)["state"] == "ended"; });
    EXPECT_EQ(0, posted.count) << "the outcome came " << GetTickCount() - agentEnding << " ms after the agent ended";
    EXPECT_EQ(1, folderHeld.load()) << "the folder does not count as held while its file is tried";

    {
        SCOPED_TRACE("another launcher's attempt from the folder meanwhile");
        attempt(&bed, L"141421");
        EXPECT_EQ(0u, posted.result);
        EXPECT_STREQ(prepareFailed, errorText);
        EXPECT_EQ(1u, recordedRequests().size()) << "requests the service received";
    }

    posted = Posted();
    pumpUntil(agentEnding, triesMs + 4000, [] { return posted.count != 0; });
    DWORD elapsed = GetTickCount() - agentEnding;
    LONG tries = policyDeletes.load();
    bool left = fileExists(policyPath);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW(policyPath)) << "the held file could be deleted";
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError()) << "the error the clean-up met";
    if (holder != INVALID_HANDLE_VALUE)
        CloseHandle(holder);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, 10000)) << "the worker did not end";
    CloseHandle(thread);
    EXPECT_EQ(1, posted.count) << "no outcome within " << triesMs + 4000 << " ms of the agent's end";
    EXPECT_EQ(1u, posted.result);
    EXPECT_GE(elapsed, triesMs) << "the outcome came " << elapsed << " ms after the agent ended";
    EXPECT_LE(elapsed, triesMs + 2000) << "the outcome came " << elapsed << " ms after the agent ended";
    EXPECT_EQ((LONG)deleteRetries + 1, tries) << "deletes of the held file";
    EXPECT_TRUE(left) << "the held file was gone";
    EXPECT_EQ(0, folderHeld.load()) << "the folder still counts as held after the attempt";
    DeleteFileW(policyPath);
}

// While an attempt waits on the service, the agent that was checked cannot be replaced. Once the
// agent runs, its file is free like any running program's: it can be renamed away and another
// file put in its place, as an agent that updates itself does.
TEST_F(Worker, AgentCannotBeSwappedWhileAnAttemptRuns)
{
    AgentFolder bed = placeAgent(L"worker-swap", L"good.exe");
    std::wstring impostor = bed.folder + L"\\impostor.exe";
    std::wstring away = bed.folder + L"\\renamed-while-running.exe";
    copyFile(bedPath(L"agents\\unsigned.exe"), impostor);
    std::string verified;
    ASSERT_TRUE(readFile(bed.agent, &verified));
    DeleteFileW(bedPath(L"service\\release").c_str());
    setScenario("status=200\npolicy=1\nhold-file=release");
    clearRequests();

    struct Try {
        const char *what;
        bool (*act)(const AgentFolder &, const std::wstring &);
    };
    static const Try tries[] = {
        { "open for writing", [](const AgentFolder &b, const std::wstring &) {
              HANDLE h = CreateFileW(b.agent.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     NULL, OPEN_EXISTING, 0, NULL);
              if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
              return h != INVALID_HANDLE_VALUE; } },
        { "overwrite by copy", [](const AgentFolder &b, const std::wstring &other) {
              return CopyFileW(other.c_str(), b.agent.c_str(), FALSE) != 0; } },
        { "delete", [](const AgentFolder &b, const std::wstring &) { return DeleteFileW(b.agent.c_str()) != 0; } },
        { "rename away", [](const AgentFolder &b, const std::wstring &) {
              return MoveFileW(b.agent.c_str(), (b.folder + L"\\moved.exe").c_str()) != 0; } },
        { "rename over", [](const AgentFolder &b, const std::wstring &other) {
              return MoveFileExW(other.c_str(), b.agent.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; } },
    };

    // Run the attempt on its thread; act once the service holds the request.
    posted = Posted();
    current = &bed;
    wcscpy(code, L"271828");
    busy.exchange(1);
    HANDLE thread = CreateThread(NULL, 0, connectWorker, NULL, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    for (int wait = 0; wait < 400 && recordedRequests().empty(); wait++)
        Sleep(50);
    ASSERT_EQ(1u, recordedRequests().size()) << "the attempt never reached the service";
    for (const Try &t : tries) {
        SCOPED_TRACE(t.what);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(t.act(bed, impostor)) << "succeeded while the attempt held the agent";
    }
    writeFile(bedPath(L"service\\release"), "");

    // The agent runs until told to end; the hold ends as CreateProcessW returns, which may be a
    // moment after the agent has written its first report.
    bool renamedAway = false, replaced = false;
    DWORD waitStart = GetTickCount(), runningSince = 0;
    while (!renamedAway && posted.count == 0 && GetTickCount() - waitStart < 30000) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        pump();
        if (runningSince == 0 && agentReport(bed)["state"] == "running")
            runningSince = GetTickCount();
        if (runningSince == 0)
            continue;
        renamedAway = MoveFileW(bed.agent.c_str(), away.c_str()) != 0;
        if (renamedAway)
            replaced = MoveFileW(impostor.c_str(), bed.agent.c_str()) != 0;
        else if (GetTickCount() - runningSince > 3000)
            break;
    }
    EXPECT_TRUE(renamedAway) << "the running agent's file could not be renamed away, error " << GetLastError();
    EXPECT_TRUE(replaced || !renamedAway) << "no other file could take the running agent's name, error " << GetLastError();
    writeFile(bed.base + L".end", "");
    DWORD deadline = GetTickCount() + 60000;
    while (posted.count == 0 && GetTickCount() < deadline) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        pump();
    }
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);

    EXPECT_EQ(1u, posted.result) << "errorText: " << narrow(errorText);
    EXPECT_TRUE(posted.agentEnded);
    AgentFolder ran = bed;   // the file that ran, wherever it now lies
    if (renamedAway)
        ran.agent = away;
    std::string after;
    ASSERT_TRUE(readFile(ran.agent, &after));
    EXPECT_TRUE(after == verified) << "the agent that ran is not the one that was verified";

    // Once the attempt is over, the file is free again.
    SCOPED_TRACE("after the attempt");
    EXPECT_TRUE(tries[0].act(ran, impostor)) << "still held after the attempt, error " << GetLastError();
    EXPECT_TRUE(tries[3].act(ran, impostor)) << "still held after the attempt, error " << GetLastError();
}

// A failed attempt leaves the agent free, and its message is not held up by a clean-up that finds
// no policy file to delete.
TEST_F(Worker, FailedAttemptLeavesTheAgentFree)
{
    AgentFolder bed = placeAgent(L"worker-free", L"good.exe");
    setScenario("status=410");
    clearRequests();
    DWORD started = GetTickCount();
    attempt(&bed);
    DWORD elapsed = GetTickCount() - started;
    EXPECT_EQ(0u, posted.result);
    EXPECT_LT(elapsed, deleteRetries * deleteRetryMs / 2) << "the message came after " << elapsed << " ms";
    EXPECT_TRUE(MoveFileW(bed.agent.c_str(), (bed.folder + L"\\moved.exe").c_str()))
        << "the agent is still held, error " << GetLastError();
}

// The code check, called directly: six characters, each from U+0030 to U+0039, nothing more.
TEST(CodeEntry, AcceptsOnlySixAsciiDigits)
{
    struct Row {
        std::wstring typed;
        bool complete;
    };
    std::vector<Row> rows;
    for (wchar_t digit = L'0'; digit <= L'9'; digit++)
        rows.push_back({ std::wstring(6, digit), true });   // each digit in every position
    const Row fixed[] = {
        { L"/23456", false },  { L"12345/", false },  { L":23456", false },  { L"12345:", false },
        { L"12345", false },   { L"1234567", false },  { L"", false },
        { L"\uFF1123456", false },   // a full-width digit one
        { L"\u066123456", false },   // an Arabic-Indic digit one: iswdigit may accept it
    };
    rows.insert(rows.end(), std::begin(fixed), std::end(fixed));
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "typed \"" << narrow(row.typed) << "\"");
        wchar_t buffer[8] = {};   // as read from the box: at most 7 characters, then the terminator
        wcsncpy(buffer, row.typed.c_str(), 7);
        EXPECT_EQ(row.complete, isCompleteCode(buffer));
    }
}

// A window of the test's own with the launcher's windowProc, so its controls are the ones the
// window's handlers use.
HWND openTestWindow()
{
    WNDCLASSW cls = {};
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleW(NULL);
    cls.lpszClassName = L"WindowProcTestWindow";
    RegisterClassW(&cls);   // fails harmlessly when an earlier test registered it
    return CreateWindowExW(0, cls.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 525, 295, NULL, NULL, cls.hInstance,
                           NULL);
}

void closeTestWindow(HWND hwnd)
{
    if (IsWindow(hwnd))
        DestroyWindow(hwnd);
    MSG quit;
    PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);   // posted by the window's WM_DESTROY
}

// The close guard, through windowProc itself on a window of the test's own.
TEST(CodeEntry, IgnoresCloseOnlyWhileAnAttemptRuns)
{
    static const struct { LONG busy; bool stays; } rows[] = { { 1, true }, { 0, false } };
    HWND hwnd = openTestWindow();
    ASSERT_NE((HWND)NULL, hwnd);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "busy " << row.busy);
        busy.exchange(row.busy);
        SendMessageW(hwnd, WM_CLOSE, 0, 0);
        EXPECT_EQ(row.stays, IsWindow(hwnd) != 0);
    }
    busy.exchange(0);
    closeTestWindow(hwnd);
}

// The end of the Windows session, through windowProc: whatever its flags (logoff, or none for a
// shutdown), the window tells the worker the session ends, deletes the folder's policy file only
// while this launcher's attempt holds the folder, wipes the code whenever the end goes ahead but
// never while the worker owns it, and does nothing when it is called off.
TEST(CodeEntry, EndsTheSessionWithoutLeavingItsFile)
{
    static const struct {
        WPARAM ending;
        LPARAM flags;
        LONG held;         // folderHeld, as the worker sets it
        LONG withWorker;   // codeWithWorker: the worker composing its request
        bool fileGone, codeWiped;
    } rows[] = { { TRUE, ENDSESSION_LOGOFF, 1, 0, true, true },
                 { TRUE, ENDSESSION_LOGOFF, 0, 0, false, true },
                 { FALSE, ENDSESSION_LOGOFF, 1, 0, false, false },
                 { TRUE, ENDSESSION_LOGOFF, 1, 1, true, false },
                 { TRUE, 0, 1, 0, true, true } };
    static const wchar_t zeros[7] = {};
    std::wstring folder = freshFolder(L"worker-end-session");
    placeLaunchState(folder);
    HWND hwnd = openTestWindow();
    ASSERT_NE((HWND)NULL, hwnd);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "WM_ENDSESSION " << row.ending << ", flags " << std::hex << row.flags
                                        << std::dec << ", folder held " << row.held << ", code with the worker "
                                        << row.withWorker);
        writeFile(policyPath, "MeshID=0x1");
        wcscpy(code, L"123456");
        busy.exchange(1);
        folderHeld.exchange(row.held);
        codeWithWorker.exchange(row.withWorker);
        sessionEnding.exchange(0);
        EXPECT_EQ(TRUE, SendMessageW(hwnd, WM_QUERYENDSESSION, 0, row.flags));
        SendMessageW(hwnd, WM_ENDSESSION, row.ending, row.flags);
        EXPECT_EQ(row.ending ? 1 : 0, sessionEnding.load()) << "sessionEnding, as the worker would read it";
        EXPECT_EQ(row.fileGone, !fileExists(policyPath));
        EXPECT_EQ(row.codeWiped, memcmp(zeros, code, sizeof zeros) == 0) << "code holds \"" << narrow(code) << "\"";
    }
    folderHeld.exchange(0);
    codeWithWorker.exchange(0);
    busy.exchange(0);
    sessionEnding.exchange(0);
    SecureZeroMemory(code, sizeof code);
    DeleteFileW(policyPath);
    closeTestWindow(hwnd);
}

// The incomplete-code box is modal: while windowProc waits in it, a timer of this thread finds
// the box owned by the test's window, notes what code holds, and presses its OK button.
struct IncompleteBox {
    HWND owner;
    bool seen;
    wchar_t codeWhileShown[7];
};
IncompleteBox incompleteBox;

BOOL CALLBACK closeOwnedBox(HWND box, LPARAM)
{
    wchar_t cls[16] = {};
    if (GetWindow(box, GW_OWNER) != incompleteBox.owner || GetClassNameW(box, cls, 16) == 0 ||
        wcscmp(cls, L"#32770") != 0)
        return TRUE;
    incompleteBox.seen = true;
    memcpy(incompleteBox.codeWhileShown, code, sizeof code);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return FALSE;
}

void CALLBACK lookForIncompleteBox(HWND, UINT, UINT_PTR, DWORD)
{
    if (!incompleteBox.seen)
        EnumThreadWindows(GetCurrentThreadId(), closeOwnedBox, 0);
}

// Even a partial code is wiped before its box is shown, and stays wiped after it.
TEST(CodeEntry, WipesAnIncompleteCodeBeforeItsBox)
{
    static const wchar_t *const typed[] = { L"12345", L"12x456" };
    static const wchar_t zeros[7] = {};
    HWND hwnd = openTestWindow();
    ASSERT_NE((HWND)NULL, hwnd);
    for (const wchar_t *text : typed) {
        SCOPED_TRACE(testing::Message() << "typed \"" << narrow(text) << "\"");
        incompleteBox = IncompleteBox();
        incompleteBox.owner = hwnd;
        SetWindowTextW(GetDlgItem(hwnd, IDC_CODE), text);
        UINT_PTR timer = SetTimer(NULL, 0, 50, lookForIncompleteBox);
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_CONNECT, BN_CLICKED), 0);
        KillTimer(NULL, timer);
        ASSERT_TRUE(incompleteBox.seen) << "no box owned by the window was shown";
        EXPECT_EQ(0, busy.load()) << "an incomplete code started an attempt";
        EXPECT_EQ(0, memcmp(zeros, incompleteBox.codeWhileShown, sizeof zeros))
            << "while the box was shown, code held \"" << narrow(incompleteBox.codeWhileShown) << "\"";
        EXPECT_EQ(0, memcmp(zeros, code, sizeof zeros)) << "after the box, code holds \"" << narrow(code) << "\"";
    }
    closeTestWindow(hwnd);
}

}  // namespace
