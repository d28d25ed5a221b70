// The launcher's own stages, called one at a time from the benchmark and timed between the
// calls: the publisher check (with the folder's lock and the hold on the agent file that the
// worker takes before it), the session request, and the hand-off with the agent's start. The
// code is the launcher's (launcher_core); only the timing around it is ours. Results are
// key=value lines on stdout.
//
//   bench_stages attempt FOLDER CODE [FROM DELAY_MS]
//                                       one attempt as the worker makes it, split by stage, then
//                                       the hand-off alone (the agent path pointed at a missing
//                                       file, so CreateProcessW fails at once); started by
//                                       `bench_probe run`, it begins DELAY_MS after the probe's
//                                       reading FROM, as the launcher's click does
//   bench_stages verify FILE REPS       the publisher check of FILE, REPS times after one warm-up
//   bench_stages request CODE REPS      the session request, REPS times after one warm-up

#include "bench.h"

#include "launcher.h"

static void setCode(const wchar_t *typed)
{
    _snwprintf_s(code, 7, _TRUNCATE, L"%ls", typed);
}

static void fixedState(const wchar_t *folder)
{
    _snwprintf_s(agentPath, MAX_PATH, _TRUNCATE, L"%ls\\KavroTechRemoteSupport-agent.exe", folder);
    _snwprintf_s(policyPath, MAX_PATH, _TRUNCATE, L"%ls\\KavroTechRemoteSupport-agent.msh", folder);
    for (int i = 0; i < 16; i++)
        snprintf(nonce + 2 * i, 3, "%02x", 0xa0 + i);
    nameFolderLock();
}

// The folder's lock, the hold on the agent file and the check, as connectWorker takes them; the
// lock and the hold end here, after the check (the worker keeps them longer).
static bool checkAgent()
{
    HANDLE folderLock = CreateMutexW(NULL, FALSE, folderLockName);
    WaitForSingleObject(folderLock, 0);
    HANDLE hold = CreateFileW(agentPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    bool ok = hold != INVALID_HANDLE_VALUE && verifyAgentPublisher();
    if (hold != INVALID_HANDLE_VALUE)
        CloseHandle(hold);
    ReleaseMutex(folderLock);
    CloseHandle(folderLock);
    return ok;
}

static int attempt(const wchar_t *folder, const wchar_t *typed, long long from, DWORD delayMs)
{
    SessionExchange exchange = {};
    HANDLE noHold = INVALID_HANDLE_VALUE;   // checkAgent has already ended its hold
    std::wstring base = std::wstring(folder) + L"\\KavroTechRemoteSupport-agent";
    fixedState(folder);
    setCode(typed);
    DeleteFileW(policyPath);
    DeleteFileW((base + L".report").c_str());

    long long t0 = startAfter(from, delayMs);
    bool checked = checkAgent();
    long long t1 = qpcNow();
    bool requested = checked && requestSession(&exchange);
    long long t2 = qpcNow();
    bool ran = requested && runAgent(&exchange, &noHold);
    long long t3 = qpcNow();
    long long agentStarted = ran ? waitAgentStart(base, 10000) : 0;
    if (!ran || agentStarted == 0) {
        printf("error=attempt failed: check %d request %d run %d: %ls\n", checked, requested, ran, errorText);
        releaseExchange(&exchange);
        DeleteFileW(policyPath);
        return 1;
    }
    DeleteFileW(policyPath);

    // The hand-off alone: the same body, the same checks, write and flush, and a start that
    // fails at the path lookup.
    wchar_t realAgent[MAX_PATH];
    wcscpy_s(realAgent, MAX_PATH, agentPath);
    _snwprintf_s(agentPath, MAX_PATH, _TRUNCATE, L"%ls\\missing-agent.exe", folder);
    long long h0 = qpcNow();
    bool handedOff = runAgent(&exchange, &noHold);
    long long h1 = qpcNow();
    bool policyWritten = GetFileAttributesW(policyPath) != INVALID_FILE_ATTRIBUTES;
    wcscpy_s(agentPath, MAX_PATH, realAgent);
    DeleteFileW(policyPath);
    releaseExchange(&exchange);
    if (handedOff || !policyWritten) {
        printf("error=the hand-off without an agent did not stop at the start\n");
        return 1;
    }
    printf("check-ms=%.3f request-ms=%.3f handoff-start-ms=%.3f runagent-ms=%.3f handoff-ms=%.3f from-start-ms=%.3f "
           "delay-ms=%lu\n", qpcMs(t0, t1), qpcMs(t1, t2), qpcMs(t2, agentStarted), qpcMs(t2, t3), qpcMs(h0, h1),
           qpcMs(from, t0), delayMs);
    return 0;
}

static int verify(const wchar_t *file, int reps)
{
    _snwprintf_s(agentPath, MAX_PATH, _TRUNCATE, L"%ls", file);
    for (int i = -1; i < reps; i++) {
        long long t0 = qpcNow();
        bool ok = checkAgent();
        long long t1 = qpcNow();
        if (!ok) {
            printf("error=the publisher check refused %ls\n", file);
            return 1;
        }
        if (i >= 0)
            printf("rep=%d check-ms=%.3f\n", i, qpcMs(t0, t1));
        fflush(stdout);
    }
    return 0;
}

static int request(const wchar_t *typed, int reps)
{
    fixedState(L"C:\\unused");
    setCode(typed);
    for (int i = -1; i < reps; i++) {
        SessionExchange exchange = {};
        long long t0 = qpcNow();
        bool ok = requestSession(&exchange);
        long long t1 = qpcNow();
        DWORD length = exchange.length;
        releaseExchange(&exchange);
        if (!ok) {
            printf("error=the request failed: %ls\n", errorText);
            return 1;
        }
        if (i >= 0)
            printf("rep=%d request-ms=%.3f body=%lu\n", i, qpcMs(t0, t1), length);
        fflush(stdout);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 4 && wcscmp(argv[1], L"attempt") == 0)
        return attempt(argv[2], argv[3], qpcNow(), 0);
    if (argc == 6 && wcscmp(argv[1], L"attempt") == 0)
        return attempt(argv[2], argv[3], _wtoi64(argv[4]), (DWORD)_wtoi(argv[5]));
    if (argc == 4 && wcscmp(argv[1], L"verify") == 0)
        return verify(argv[2], _wtoi(argv[3]));
    if (argc == 4 && wcscmp(argv[1], L"request") == 0)
        return request(argv[2], _wtoi(argv[3]));
    fprintf(stderr, "usage: bench_stages attempt FOLDER CODE [FROM DELAY_MS] | verify FILE REPS | request CODE REPS\n");
    return 2;
}
