// The benchmark's outside observer. It starts a window program, waits for its main window to
// become visible, clicks the launcher's button, and reads the process's memory and CPU time the
// way a task manager would (GetProcessMemoryInfo, GetProcessTimes). One line of key=value
// results per repetition goes to stdout; bench/report.py turns them into figures.
//
//   bench_probe startup EXE CLASS REPS SETTLE_MS
//       start EXE, time until a visible top-level window of CLASS belongs to it, wait SETTLE_MS,
//       read its memory, close it
//   bench_probe attempt EXE AGENT_BASE CODE REPS IDLE_MS DELAY_MS
//       start the launcher EXE, type CODE, and click DELAY_MS after the reading just before
//       CreateProcessW; time until the agent's first instruction (its start-qpc); then read the
//       launcher's memory and CPU time over IDLE_MS while the agent runs, end the agent and wait
//       for the launcher to exit
//   bench_probe run DELAY_MS EXE ARGS...
//       start EXE with ARGS and two more, the reading just before CreateProcessW and DELAY_MS, on
//       the probe's standard output and error; wait for it to end. The stages and the bare calls
//       start their timing from these two (bench.h, startAfter), as the launcher's click does.
//   bench_probe idle EXE CLASS REPS IDLE_MS
//       start EXE, wait for its window, and read its CPU time over IDLE_MS while it is left alone
//
// The window is looked for every millisecond (Sleep(1)): that is the resolution of start-up.
//
// Under Wine, GetProcessMemoryInfo gives no private bytes for another process (PrivateUsage is 0),
// and GetProcessTimes on another process's handle returns the caller's own times (Wine 8: the
// probe's, in 10 ms ticks; start-cpu-ms and idle-cpu-ms are that reading). So the probe also
// reads the process's Linux view through Wine's Z: drive: /proc/N/smaps_rollup (private resident
// bytes), /proc/N/status (VmHWM, VmRSS) and /proc/N/task/T/schedstat (CPU time of each thread in
// nanoseconds). N is found by the program's path in /proc/N/cmdline.
//
// Over the idle interval the probe also counts each thread's wake-ups: the times the thread has
// blocked of its own accord (voluntary_ctxt_switches in /proc/N/task/T/status), sampled every
// 250 ms so that a thread that ends inside the interval is still seen, and when it last woke.
// Under Wine every Windows thread is one Linux thread of the process; the probe tells which is
// which by creation order (Linux thread ids grow, Windows creation times too) and names each by
// what it runs: the main thread, a thread whose start address lies in the program's own image,
// a thread the platform has given a description, or else the DLL its start address lies in.

#include "bench.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>
#include <vector>

static const DWORD waitLimitMs = 30000;

struct Memory {
    SIZE_T peakWorkingSet, workingSet, privateBytes;
};

static Memory readMemory(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    Memory memory = {};
    if (GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&counters, sizeof counters)) {
        memory.peakWorkingSet = counters.PeakWorkingSetSize;
        memory.workingSet = counters.WorkingSetSize;
        memory.privateBytes = counters.PrivateUsage;
    }
    return memory;
}

// User plus kernel time in 100 ns units.
static unsigned long long cpuTime(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return ~0ull;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;  k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;    u.HighPart = user.dwHighDateTime;
    return k.QuadPart + u.QuadPart;
}

// The Linux view of a process: its peak and current resident memory and its private resident part.
struct LinuxStats {
    unsigned long long peakResident, resident, privateResident;
};

// Each thread alive now, by Linux thread id: its CPU time in nanoseconds (/proc/N/task/T/schedstat;
// /proc/N/schedstat counts the first thread only), the times it has blocked of its own accord
// (voluntary_ctxt_switches: each is one wake-up to come) and its Linux name (comm). A thread that
// has ended is no longer listed.
struct ThreadSample {
    unsigned long long ns, sleeps;
    std::string name;
};
typedef std::map<DWORD, ThreadSample> ThreadTimes;

// The Linux process that runs the program at `exe` (a Z: path). /proc lists every process of the
// machine, other test beds' launchers too, so only the whole path counts: Wine gives a program
// started by CreateProcessW its Unix path as argv[0], or its Windows path.
static DWORD findLinuxPid(const wchar_t *exe)
{
    char windowsPath[600], unixPath[600];
    snprintf(windowsPath, sizeof windowsPath, "%ls", exe);
    _strlwr_s(windowsPath, sizeof windowsPath);
    snprintf(unixPath, sizeof unixPath, "%s", windowsPath + (strncmp(windowsPath, "z:", 2) == 0 ? 2 : 0));
    for (char *p = unixPath; *p != '\0'; p++)
        if (*p == '\\')
            *p = '/';
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    DWORD found = 0;
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9')
            continue;
        std::string cmdline;
        if (!readFile(std::wstring(L"Z:\\proc\\") + entry.cFileName + L"\\cmdline", &cmdline))
            continue;
        std::string first = cmdline.c_str();   // argv[0]
        for (char &c : first)
            c = (char)tolower((unsigned char)c);
        if (first == unixPath || first == windowsPath) {
            found = (DWORD)_wtoi(entry.cFileName);
            break;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

static ThreadTimes threadTimes(DWORD linuxPid)
{
    ThreadTimes times;
    wchar_t folder[64];
    WIN32_FIND_DATAW entry;
    std::string schedstat, status, name;
    if (linuxPid == 0)
        return times;
    _snwprintf_s(folder, 64, _TRUNCATE, L"Z:\\proc\\%lu\\task\\", linuxPid);
    HANDLE tasks = FindFirstFileW((std::wstring(folder) + L"*").c_str(), &entry);
    if (tasks == INVALID_HANDLE_VALUE)
        return times;
    do {
        std::wstring task = std::wstring(folder) + entry.cFileName;
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9' || !readFile(task + L"\\schedstat", &schedstat) ||
            !readFile(task + L"\\status", &status) || !readFile(task + L"\\comm", &name))
            continue;
        size_t at = status.find("\nvoluntary_ctxt_switches:");
        ThreadSample sample = { strtoull(schedstat.c_str(), NULL, 10),
                                at == std::string::npos ? 0 : strtoull(status.c_str() + at + 26, NULL, 10), "" };
        for (char c : name)
            if (c != '\n')
                sample.name += isalnum((unsigned char)c) || c == '.' || c == '-' ? c : '_';
        times[(DWORD)_wtoi(entry.cFileName)] = sample;
    } while (FindNextFileW(tasks, &entry));
    FindClose(tasks);
    return times;
}

// CPU time between two readings: threads alive at the end count from their time at the start (or
// from 0 when new); a thread that ended in between is only counted in `ended`. `detail` lists
// each thread's share as "tid:ns" (the main thread's tid is the process's Linux pid).
struct CpuDelta {
    unsigned long long ns;
    int ended;
    std::string detail;
};

static CpuDelta cpuDelta(const ThreadTimes &before, const ThreadTimes &after)
{
    CpuDelta delta = { 0, 0, "" };
    char part[48];
    for (const auto &t : after) {
        auto start = before.find(t.first);
        unsigned long long ns = t.second.ns - (start != before.end() ? start->second.ns : 0);
        delta.ns += ns;
        snprintf(part, sizeof part, "%s%lu:%llu", delta.detail.empty() ? "" : ",", t.first, ns);
        delta.detail += part;
    }
    for (const auto &t : before)
        if (after.find(t.first) == after.end())
            delta.ended++;
    return delta;
}

// What each Windows thread of the process runs, in the order the threads were created: "main" for
// the first, "own" for one that starts in the program's own image, else its description, else the
// DLL its start address lies in.
static std::vector<std::string> windowsThreadRoles(HANDLE process, DWORD pid)
{
    typedef LONG(NTAPI * QueryThread)(HANDLE, int, void *, ULONG, ULONG *);
    typedef HRESULT(WINAPI * GetDescription)(HANDLE, PWSTR *);
    const int threadQuerySetWin32StartAddress = 9;
    QueryThread query = (QueryThread)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread");
    GetDescription describe = (GetDescription)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
    std::vector<std::pair<unsigned long long, std::string>> threads;
    std::vector<std::string> roles;
    HMODULE modules[512];
    DWORD needed = 0;
    if (query == NULL || !EnumProcessModulesEx(process, modules, sizeof modules, &needed, LIST_MODULES_ALL))
        return roles;
    DWORD moduleCount = std::min<DWORD>(needed / sizeof modules[0], 512);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return roles;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created = {}, exited, kernel, user;
        void *start = NULL;
        PWSTR description = NULL;
        std::string role;
        if (thread == NULL)
            continue;
        GetThreadTimes(thread, &created, &exited, &kernel, &user);
        query(thread, threadQuerySetWin32StartAddress, &start, sizeof start, NULL);
        if (describe != NULL && SUCCEEDED(describe(thread, &description)) && description != NULL) {
            for (const wchar_t *c = description; *c != L'\0'; c++)
                role += iswalnum(*c) || *c == L'.' || *c == L'-' ? (char)*c : '_';
            LocalFree(description);
        }
        for (DWORD m = 0; m < moduleCount && role.empty(); m++) {
            MODULEINFO info = {};
            char name[MAX_PATH];
            if (GetModuleInformation(process, modules[m], &info, sizeof info) && start >= info.lpBaseOfDll &&
                start < (char *)info.lpBaseOfDll + info.SizeOfImage) {
                GetModuleBaseNameA(process, modules[m], name, MAX_PATH);
                role = m == 0 ? "own" : name;   // the first module listed is the program itself
            }
        }
        CloseHandle(thread);
        threads.push_back(std::make_pair(((unsigned long long)created.dwHighDateTime << 32) | created.dwLowDateTime,
                                         role.empty() ? "unknown" : role));
    }
    CloseHandle(snapshot);
    std::sort(threads.begin(), threads.end());
    for (const auto &t : threads)
        roles.push_back(roles.empty() ? "main" : t.second);
    return roles;
}

// Names the Linux threads by the Windows threads they run, pairing both in creation order; when
// the two lists differ in length (a thread came or went in between) each keeps its Linux name.
static std::map<DWORD, std::string> threadNames(HANDLE process, DWORD pid, DWORD linuxPid)
{
    std::map<DWORD, std::string> names;
    for (int attempt = 0; attempt < 3 && names.empty(); attempt++) {
        std::vector<std::string> roles = windowsThreadRoles(process, pid);
        ThreadTimes now = threadTimes(linuxPid);
        if (roles.size() != now.size() || now.empty() || now.begin()->first != linuxPid)
            continue;
        size_t i = 0;
        for (const auto &t : now)
            names[t.first] = roles[i++];
    }
    return names;
}

// The wake-ups of each thread over the interval: `whole` for the threads that lived through it,
// `ended` for those that ended inside it, `born` for those that started inside it. Each entry is
// "tid:name:wake-ups:ms", ms being when the thread last woke (whole, born) or was first missed
// (ended), from the start of the interval.
struct Wakeups {
    std::string whole, ended, born;
};

static void addWakeups(std::string *list, DWORD tid, const std::string &name, unsigned long long count, double ms)
{
    char part[160];
    snprintf(part, sizeof part, "%s%lu:%s:%llu:%.0f", list->empty() ? "" : ",", tid, name.c_str(), count, ms);
    *list += part;
}

static std::string wakeupFields(const Wakeups &w)
{
    return "wakes=" + (w.whole.empty() ? "-" : w.whole) + " ended-wakes=" + (w.ended.empty() ? "-" : w.ended) +
           " born-wakes=" + (w.born.empty() ? "-" : w.born);
}

// A process's CPU time over idleMs of waiting (GetProcessTimes, which under Wine is the probe's
// own, and the Linux thread counters), and its threads' wake-ups.
struct IdleReading {
    double ms, tickCpuMs;
    CpuDelta cpu;
    size_t threadsBefore, threadsAfter;
    Wakeups wakeups;
};

static IdleReading readIdle(HANDLE process, DWORD pid, DWORD linuxPid, DWORD idleMs)
{
    const DWORD sampleMs = 250;
    // Naming reads the process's memory through the server, so it comes before the interval.
    std::map<DWORD, std::string> names = threadNames(process, pid, linuxPid);
    Sleep(50);
    unsigned long long ticksBefore = cpuTime(process);
    ThreadTimes before = threadTimes(linuxPid);
    for (auto &t : before)
        if (names.count(t.first))
            t.second.name = names[t.first];
    long long from = qpcNow();
    ThreadTimes last = before, after;
    std::map<DWORD, double> lastWake, missedAt;
    for (DWORD waited = 0; waited < idleMs;) {
        DWORD step = std::min(sampleMs, idleMs - waited);
        Sleep(step);
        waited += step;
        after = threadTimes(linuxPid);
        double at = qpcMs(from, qpcNow());
        for (auto &t : after) {
            auto seen = last.find(t.first);
            if (seen == last.end() || t.second.sleeps != seen->second.sleeps)
                lastWake[t.first] = at;
            if (seen != last.end())
                t.second.name = seen->second.name;
            last[t.first] = t.second;
        }
        for (const auto &t : last)
            if (after.find(t.first) == after.end() && missedAt.find(t.first) == missedAt.end())
                missedAt[t.first] = at;
    }
    unsigned long long ticksAfter = cpuTime(process);
    long long to = qpcNow();
    IdleReading reading = { qpcMs(from, to), (ticksAfter - ticksBefore) / 1e4, cpuDelta(before, after),
                            before.size(), after.size(), Wakeups() };
    for (const auto &t : last) {
        auto start = before.find(t.first);
        bool lived = after.find(t.first) != after.end();
        unsigned long long count = t.second.sleeps - (start != before.end() ? start->second.sleeps : 0);
        double ms = lastWake.count(t.first) ? lastWake[t.first] : 0;
        if (start == before.end())
            addWakeups(&reading.wakeups.born, t.first, t.second.name, count, ms);
        else if (lived)
            addWakeups(&reading.wakeups.whole, t.first, t.second.name, count, ms);
        else
            addWakeups(&reading.wakeups.ended, t.first, t.second.name, count, missedAt[t.first]);
    }
    return reading;
}

static unsigned long long kilobytes(const std::string &text, const char *key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? 0 : strtoull(text.c_str() + at + strlen(key), NULL, 10) * 1024;
}

static LinuxStats readLinux(DWORD linuxPid)
{
    LinuxStats stats = {};
    wchar_t folder[64];
    std::string status, rollup, schedstat;
    _snwprintf_s(folder, 64, _TRUNCATE, L"Z:\\proc\\%lu\\", linuxPid);
    if (linuxPid == 0)
        return stats;
    if (readFile(std::wstring(folder) + L"status", &status)) {
        stats.peakResident = kilobytes(status, "VmHWM:");
        stats.resident = kilobytes(status, "VmRSS:");
    }
    if (readFile(std::wstring(folder) + L"smaps_rollup", &rollup))
        stats.privateResident = kilobytes(rollup, "Private_Clean:") + kilobytes(rollup, "Private_Dirty:");
    return stats;
}

struct Search {
    const wchar_t *cls;
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK matchWindow(HWND hwnd, LPARAM lParam)
{
    Search *search = (Search *)lParam;
    wchar_t cls[128];
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && GetClassNameW(hwnd, cls, 128) && wcscmp(cls, search->cls) == 0 &&
        IsWindowVisible(hwnd)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The visible main window of process pid, polled every millisecond; NULL after the limit.
static HWND waitVisible(const wchar_t *cls, DWORD pid, HANDLE process)
{
    long long from = qpcNow();
    for (;;) {
        Search search = { cls, pid, NULL };
        HWND hwnd = FindWindowW(cls, NULL);
        if (hwnd != NULL)
            EnumWindows(matchWindow, (LPARAM)&search);
        if (search.found != NULL)
            return search.found;
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 || qpcMs(from, qpcNow()) > waitLimitMs)
            return NULL;
        Sleep(1);
    }
}

static bool startProgram(const wchar_t *exe, PROCESS_INFORMATION *process)
{
    wchar_t commandLine[600], folder[520];
    _snwprintf_s(commandLine, 600, _TRUNCATE, L"\"%ls\"", exe);
    _snwprintf_s(folder, 520, _TRUNCATE, L"%ls", exe);
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash != NULL)
        *slash = L'\0';
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(exe, commandLine, NULL, NULL, FALSE, 0, NULL, folder, &startup, process) != 0;
}

static void endProgram(PROCESS_INFORMATION *process, HWND window, DWORD *exitCode)
{
    if (window != NULL)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process->hProcess, waitLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process->hProcess, 99);
        WaitForSingleObject(process->hProcess, INFINITE);
    }
    GetExitCodeProcess(process->hProcess, exitCode);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
}

static int startup(const wchar_t *exe, const wchar_t *cls, int reps, DWORD settleMs)
{
    for (int i = 0; i < reps; i++) {
        PROCESS_INFORMATION process = {};
        long long started = qpcNow();
        if (!startProgram(exe, &process)) {
            printf("error=cannot start (%lu)\n", GetLastError());
            return 1;
        }
        HWND window = waitVisible(cls, process.dwProcessId, process.hProcess);
        long long visible = qpcNow();
        unsigned long long startCpu = cpuTime(process.hProcess);
        Sleep(settleMs);
        Memory memory = readMemory(process.hProcess);
        LinuxStats linuxStats = readLinux(findLinuxPid(exe));
        DWORD exitCode = 0;
        endProgram(&process, window, &exitCode);
        if (window == NULL) {
            printf("error=no visible window\n");
            return 1;
        }
        printf("rep=%d start-ms=%.3f start-cpu-ms=%.1f peak-ws=%llu ws=%llu private=%llu "
               "linux-peak-rss=%llu linux-rss=%llu linux-private=%llu exit=%lu\n", i,
               qpcMs(started, visible), startCpu / 1e4, (unsigned long long)memory.peakWorkingSet,
               (unsigned long long)memory.workingSet, (unsigned long long)memory.privateBytes,
               linuxStats.peakResident, linuxStats.resident, linuxStats.privateResident, exitCode);
        fflush(stdout);
    }
    return 0;
}

// A window program left alone: its CPU time over IDLE_MS once its window is visible and settled.
static int idle(const wchar_t *exe, const wchar_t *cls, int reps, DWORD idleMs)
{
    for (int i = 0; i < reps; i++) {
        PROCESS_INFORMATION process = {};
        if (!startProgram(exe, &process)) {
            printf("error=cannot start (%lu)\n", GetLastError());
            return 1;
        }
        HWND window = waitVisible(cls, process.dwProcessId, process.hProcess);
        Sleep(400);
        DWORD linuxPid = findLinuxPid(exe);
        IdleReading reading = readIdle(process.hProcess, process.dwProcessId, linuxPid, idleMs);
        DWORD exitCode = 0;
        endProgram(&process, window, &exitCode);
        if (window == NULL || linuxPid == 0) {
            printf("error=no visible window or no Linux process\n");
            return 1;
        }
        printf("rep=%d idle-ms=%.1f idle-cpu-ms=%.3f idle-cpu-ns=%llu threads-before=%zu threads-after=%zu "
               "threads-ended=%d thread-ns=%s %s linux-pid=%lu exit=%lu\n", i, reading.ms, reading.tickCpuMs, reading.cpu.ns,
               reading.threadsBefore, reading.threadsAfter, reading.cpu.ended, reading.cpu.detail.c_str(),
               wakeupFields(reading.wakeups).c_str(), linuxPid, exitCode);
        fflush(stdout);
    }
    return 0;
}

static int attempt(const wchar_t *exe, const wchar_t *base, const wchar_t *code, int reps, DWORD idleMs,
                   DWORD delayMs)
{
    std::wstring agentBase = base;
    for (int i = 0; i < reps; i++) {
        DeleteFileW((agentBase + L".report").c_str());
        DeleteFileW((agentBase + L".end").c_str());
        PROCESS_INFORMATION process = {};
        long long started = qpcNow();
        if (!startProgram(exe, &process)) {
            printf("error=cannot start (%lu)\n", GetLastError());
            return 1;
        }
        HWND window = waitVisible(L"KavroReusableSupportClient", process.dwProcessId, process.hProcess);
        long long visible = qpcNow();
        DWORD exitCode = 0;
        if (window == NULL) {
            endProgram(&process, NULL, &exitCode);
            printf("error=no visible window\n");
            return 1;
        }
        Memory idle = readMemory(process.hProcess);
        DWORD linuxPid = findLinuxPid(exe);
        LinuxStats linuxIdle = readLinux(linuxPid);
        SendMessageTimeoutW(GetDlgItem(window, 102), WM_SETTEXT, 0, (LPARAM)code, SMTO_NORMAL, 5000, NULL);
        long long clicked = startAfter(started, delayMs);   // as the stages and the bare calls begin
        PostMessageW(GetDlgItem(window, 101), BM_CLICK, 0, 0);
        long long agentStarted = waitAgentStart(agentBase, waitLimitMs);
        if (agentStarted == 0) {
            endProgram(&process, window, &exitCode);
            printf("error=the agent did not start\n");
            return 1;
        }
        // The launcher may still be between CreateProcessW and its wait; give it a moment.
        Sleep(100);
        IdleReading waiting = readIdle(process.hProcess, process.dwProcessId, linuxPid, idleMs);
        LinuxStats linuxRunning = readLinux(linuxPid);
        Memory running = readMemory(process.hProcess);
        writeFile(agentBase + L".end", "");
        endProgram(&process, NULL, &exitCode);   // the launcher ends by itself once the agent has
        printf("rep=%d attempt-ms=%.3f visible-ms=%.3f from-start-ms=%.3f delay-ms=%lu idle-ms=%.1f idle-cpu-ms=%.3f idle-cpu-ns=%llu threads-before=%zu threads-after=%zu threads-ended=%d "
               "thread-ns=%s %s "
               "linux-pid=%lu "
               "idle-peak-ws=%llu idle-ws=%llu idle-private=%llu idle-linux-peak-rss=%llu idle-linux-private=%llu "
               "run-peak-ws=%llu run-ws=%llu run-private=%llu run-linux-peak-rss=%llu run-linux-private=%llu "
               "exit=%lu\n",
               i, qpcMs(clicked, agentStarted), qpcMs(started, visible), qpcMs(started, clicked), delayMs, waiting.ms, waiting.tickCpuMs, waiting.cpu.ns, waiting.threadsBefore,
               waiting.threadsAfter, waiting.cpu.ended, waiting.cpu.detail.c_str(), wakeupFields(waiting.wakeups).c_str(), linuxPid, (unsigned long long)idle.peakWorkingSet,
               (unsigned long long)idle.workingSet, (unsigned long long)idle.privateBytes, linuxIdle.peakResident,
               linuxIdle.privateResident, (unsigned long long)running.peakWorkingSet,
               (unsigned long long)running.workingSet, (unsigned long long)running.privateBytes,
               linuxRunning.peakResident, linuxRunning.privateResident, exitCode);
        fflush(stdout);
    }
    return 0;
}

// Another benchmark program, started as the launcher is and timed from the same reading.
static int run(DWORD delayMs, int argc, wchar_t **argv)
{
    std::wstring commandLine;
    HANDLE self = GetCurrentProcess(), output = NULL, errors = NULL;
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    DWORD exitCode = 1;
    wchar_t from[48];
    for (int i = 0; i < argc; i++)
        commandLine += std::wstring(L"\"") + argv[i] + L"\" ";
    // Its results go where ours go, after ours.
    fflush(stdout);
    fflush(stderr);
    if (!DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &output, 0, TRUE, DUPLICATE_SAME_ACCESS) ||
        !DuplicateHandle(self, GetStdHandle(STD_ERROR_HANDLE), self, &errors, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        printf("error=cannot hand on the output (%lu)\n", GetLastError());
        return 1;
    }
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    long long started = qpcNow();
    _snwprintf_s(from, 48, _TRUNCATE, L"%lld %lu", started, delayMs);
    commandLine += from;
    if (CreateProcessW(argv[0], &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        printf("error=cannot start (%lu)\n", GetLastError());
    }
    CloseHandle(output);
    CloseHandle(errors);
    return (int)exitCode;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 6 && wcscmp(argv[1], L"startup") == 0)
        return startup(argv[2], argv[3], _wtoi(argv[4]), (DWORD)_wtoi(argv[5]));
    if (argc == 6 && wcscmp(argv[1], L"idle") == 0)
        return idle(argv[2], argv[3], _wtoi(argv[4]), (DWORD)_wtoi(argv[5]));
    if (argc == 8 && wcscmp(argv[1], L"attempt") == 0)
        return attempt(argv[2], argv[3], argv[4], _wtoi(argv[5]), (DWORD)_wtoi(argv[6]), (DWORD)_wtoi(argv[7]));
    if (argc >= 4 && wcscmp(argv[1], L"run") == 0)
        return run((DWORD)_wtoi(argv[2]), argc - 3, argv + 3);
    fprintf(stderr, "usage: bench_probe startup EXE CLASS REPS SETTLE_MS | idle EXE CLASS REPS IDLE_MS |\n"
                    "       attempt EXE AGENT_BASE CODE REPS IDLE_MS DELAY_MS | run DELAY_MS EXE ARGS...\n");
    return 2;
}
