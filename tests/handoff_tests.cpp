// The policy hand-off and agent run against the signed stand-in agent: which policy texts are
// handed over, what the agent then finds beside it, and each way the stage can fail. A visible
// window of the launcher's class stands in for the main window, so the agent can tell whether
// the launcher stayed hidden while it ran.

#include <gtest/gtest.h>

#include "agentbed.h"
#include "launcher.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char relayLine[] = "MeshServer=wss://" KAVRO_RELAY_HOST ":443/agent.ashx\r\n";
const std::string meshId = "MeshID=0x4b3e9a1f00c2d7e85a6b19c0f3e2d4a1b7c8e9f0a1b2c3d4e5f6\r\n";

const wchar_t prepareFailed[] =
    L"Unable to prepare your support session. Please close this client and contact your technician.";
const wchar_t startFailed[] = L"Windows could not start the support agent. Please contact your technician.";

class HandOff : public testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW cls = {};
        cls.lpfnWndProc = DefWindowProcW;
        cls.hInstance = GetModuleHandleW(NULL);
        cls.lpszClassName = L"KavroReusableSupportClient";
        RegisterClassW(&cls);
        mainWindow = CreateWindowExW(0, cls.lpszClassName, L"hand-off test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                     300, 200, NULL, NULL, cls.hInstance, NULL);
        ASSERT_NE((HWND)NULL, mainWindow);
    }
    void TearDown() override
    {
        DestroyWindow(mainWindow);
        mainWindow = NULL;
    }
};

// The exchange as the request stage leaves it after an accepted answer.
struct Exchange {
    SessionExchange record;
    explicit Exchange(const std::string &body) : record()
    {
        record.body = (char *)malloc(bodyCapacity);
        memcpy(record.body, body.data(), body.size());
        record.length = (DWORD)body.size();
        record.body[record.length] = '\0';
    }
    ~Exchange() { free(record.body); }
};

bool runWithSentinel(Exchange *exchange)
{
    wcscpy(errorText, L"sentinel");
    HANDLE noHold = INVALID_HANDLE_VALUE;
    return runAgent(&exchange->record, &noHold);
}

// runAgent on a thread of its own, as the worker runs it, with the moment it returned.
struct RunOnThread {
    Exchange *exchange;
    bool ok;
    LARGE_INTEGER returned;
};

DWORD WINAPI runAgentThread(void *param)
{
    RunOnThread *run = (RunOnThread *)param;
    run->ok = runWithSentinel(run->exchange);
    QueryPerformanceCounter(&run->returned);
    return 0;
}

// Dispatches this thread's messages (the hiding of our window arrives as one) until done()
// holds or the time is up; returns done().
template <typename Done> bool pumpUntil(Done done, DWORD limitMs)
{
    DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < limitMs) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    return done();
}

TEST_F(HandOff, RefusesAPolicyWithoutBothMarkers)
{
    const std::string relay = relayLine;
    const std::string relayNoCrLf = relay.substr(0, relay.size() - 2);
    const struct {
        const char *why;
        std::string body;
    } rows[] = {
        { "another relay host", "MeshServer=wss://relay.elsewhere.example:443/agent.ashx\r\n" + meshId },
        { "host as a suffix", "MeshServer=wss://x" KAVRO_RELAY_HOST ".evil:443/agent.ashx\r\n" + meshId },
        { "another port", "MeshServer=wss://" KAVRO_RELAY_HOST ":444/agent.ashx\r\n" + meshId },
        { "plain ws", "MeshServer=ws://" KAVRO_RELAY_HOST ":443/agent.ashx\r\n" + meshId },
        { "no line end", meshId + relayNoCrLf },
        { "CR without LF", meshId + relayNoCrLf + "\r" },
        { "LF without CR", meshId + relayNoCrLf + "\n" },
        { "server line in other case", "meshserver=wss://" KAVRO_RELAY_HOST ":443/agent.ashx\r\n" + meshId },
        { "no mesh identifier", relay },
        { "mesh identifier in other case", relay + "MeshID=0X1234\r\n" },
        { "mesh identifier without 0x", relay + "MeshID=1234\r\n" },
        { "NUL before both markers", std::string("Mesh\0", 5) + relay + meshId },
        { "NUL between the markers", relay + std::string("\0", 1) + meshId },
        { "NUL inside the server line", relayNoCrLf.substr(0, 10) + std::string("\0", 1) + relayNoCrLf.substr(10) +
                                            "\r\n" + meshId },
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        AgentFolder bed = placeAgent(L"markers" + std::to_wstring(i), L"good.exe");
        writeFile(bed.base + L".end", "");
        Exchange exchange(rows[i].body);
        EXPECT_FALSE(runWithSentinel(&exchange));
        EXPECT_STREQ(connectFailedText, errorText);
        EXPECT_FALSE(fileExists(policyPath)) << "a refused policy was written";
        EXPECT_TRUE(agentReport(bed).empty()) << "the agent was started";
        EXPECT_TRUE(IsWindowVisible(mainWindow));
    }
}

TEST_F(HandOff, HandsOverExactlyTheReceivedBytesAndWaitsForTheAgent)
{
    const std::string relay = relayLine;
    std::string large = meshId + relay;
    large.resize(bodyLimit - 1, '#');
    std::string binary = relay + meshId;
    for (int b = 1; b < 256; b++)
        binary += (char)b;   // every byte value but NUL, after the markers
    const struct {
        const char *why;
        std::string body;
        bool endedByTest;   // false: the agent finds its end file at once
    } rows[] = {
        { "server line first", relay + meshId, false },
        { "mesh identifier first, server line last", meshId + "MeshName=Test\r\n" + relay, false },
        { "markers mid-text, no line starts", "x=1\r\nyMeshID=0x00\r\nz" + relay + "tail", false },
        { "largest accepted body", large, false },
        { "bytes that are not text", binary, false },
        { "agent that runs until it is ended", relay + meshId, true },
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        AgentFolder bed = placeAgent(L"handoff" + std::to_wstring(i), L"good.exe");
        if (!rows[i].endedByTest)
            writeFile(bed.base + L".end", "");
        Exchange exchange(rows[i].body);
        ShowWindow(mainWindow, SW_SHOW);
        RunOnThread run = { &exchange, false, {} };
        if (rows[i].endedByTest) {
            // Our window is hidden on this thread, so once it reads hidden here the stage's
            // ShowWindow has returned; a stage that did not wait would return within the second.
            HANDLE thread = CreateThread(NULL, 0, runAgentThread, &run, 0, NULL);
            ASSERT_NE((HANDLE)NULL, thread);
            EXPECT_TRUE(pumpUntil([&] { return agentReport(bed)["state"] == "running" && !IsWindowVisible(mainWindow); },
                                  30000)) << "the agent never ran with our window hidden";
            pumpUntil([] { return false; }, 1000);
            EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 0)) << "runAgent returned while the agent ran";
            writeFile(bed.base + L".end", "");
            pumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 60000);
            CloseHandle(thread);
        } else {
            run.ok = runWithSentinel(&exchange);
        }
        ASSERT_TRUE(run.ok) << "errorText: " << narrow(errorText);
        EXPECT_STREQ(L"sentinel", errorText) << "success must not touch errorText";
        EXPECT_FALSE(IsWindowVisible(mainWindow)) << "the window was not hidden";

        std::map<std::string, std::string> report = agentReport(bed);
        ASSERT_FALSE(report.empty()) << "the agent never reported";
        EXPECT_EQ("ended", report["state"]) << "runAgent returned before the agent exited";
        EXPECT_EQ("0", report["launcher-visible-at-end"]) << "the launcher was visible while the agent ran";
        EXPECT_EQ("\"" + narrow(agentPath) + "\"", report["command-line"]);
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        EXPECT_EQ(narrow(cwd), report["current-directory"]) << "the agent should inherit our directory";
        std::string seen;
        ASSERT_TRUE(readFile(bed.base + L".seen", &seen)) << "the agent could not read its policy";
        EXPECT_EQ(rows[i].body.size(), seen.size());
        EXPECT_TRUE(seen == rows[i].body) << "the policy file differs from the received bytes";
        if (rows[i].endedByTest) {
            EXPECT_EQ("end-file", report["end-reason"]);
            EXPECT_GE(run.returned.QuadPart, _atoi64(report["end-qpc"].c_str()))
                << "runAgent returned before the agent had ended";
        }
        // The stage leaves the file for the worker's clean-up; it holds no handle to it.
        EXPECT_TRUE(DeleteFileW(policyPath)) << "policy file missing or still open, error " << GetLastError();
    }
}

TEST_F(HandOff, ReportsAPolicyFileItCannotCreateOrAnAgentItCannotStart)
{
    const std::string policy = std::string(relayLine) + meshId;
    static const struct {
        const char *why;
        const wchar_t *variant;   // agent placed; NULL: none
        const char *leftover;     // content of a leftover policy file; NULL: none
        bool folderGone;          // the launcher's folder vanished after start-up
        const wchar_t *expected;
    } rows[] = {
        { "a leftover policy file", L"good.exe", "left from a crashed run", false, prepareFailed },
        { "an empty leftover policy file", L"good.exe", "", false, prepareFailed },
        { "the folder is gone", L"good.exe", NULL, true, prepareFailed },
        { "a DLL under the agent's name", L"notanexe.exe", NULL, false, startFailed },
        { "an empty file under the agent's name", L"empty.exe", NULL, false, startFailed },
        { "no agent at all", NULL, NULL, false, startFailed },
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].why);
        AgentFolder bed = placeAgent(L"handoff-fail" + std::to_wstring(i), rows[i].variant ? rows[i].variant : L"");
        if (rows[i].leftover != NULL)
            writeFile(policyPath, rows[i].leftover);
        if (rows[i].folderGone) {
            DeleteFileW(bed.agent.c_str());
            RemoveDirectoryW(bed.folder.c_str());
        }
        Exchange exchange(policy);
        EXPECT_FALSE(runWithSentinel(&exchange));
        EXPECT_STREQ(rows[i].expected, errorText);
        EXPECT_TRUE(IsWindowVisible(mainWindow)) << "the window was hidden although no agent ran";
        EXPECT_TRUE(agentReport(bed).empty()) << "an agent ran";
        std::string left;
        if (rows[i].leftover != NULL) {
            ASSERT_TRUE(readFile(policyPath, &left));
            EXPECT_EQ(rows[i].leftover, left) << "the leftover file was overwritten";
        } else if (rows[i].expected == startFailed) {
            // Written in full before the start failed; the worker deletes it.
            ASSERT_TRUE(readFile(policyPath, &left));
            EXPECT_TRUE(left == policy);
        }
    }
}

}  // namespace
