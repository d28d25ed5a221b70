// What the benchmark's Windows programs share: the high-resolution clock (under Wine the same
// monotonic counter in every process, so a time taken here can be set against the stand-in
// agent's start-qpc), the bed's whole-file helpers, and the agent's report.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "wholefile.h"

static inline long long qpcNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

static inline double qpcMs(long long from, long long to)
{
    static long long frequency;
    if (frequency == 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        frequency = f.QuadPart;
    }
    return (double)(to - from) * 1000.0 / (double)frequency;
}

// Waits until DELAY_MS after `from` (a qpcNow() reading, of this process or of the probe that started
// it) and returns the time it began: the probe clicks the launcher's button, and the stages and the
// bare calls start their timing, the same delay after the probe's reading just before
// CreateProcessW. Sleeps to within a millisecond of it, then yields until it is there.
static inline long long startAfter(long long from, DWORD delayMs)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    long long at = from + (long long)delayMs * frequency.QuadPart / 1000;
    for (long long now = qpcNow(); now < at; now = qpcNow()) {
        long long leftMs = (at - now) * 1000 / frequency.QuadPart;
        Sleep(leftMs > 1 ? (DWORD)(leftMs - 1) : 0);
    }
    return qpcNow();
}

// One key of the stand-in agent's report (<base>.report), or "" when absent.
static inline std::string reportValue(const std::string &report, const char *key)
{
    std::string prefix = std::string(key) + "=";
    size_t at = report.compare(0, prefix.size(), prefix) == 0 ? 0 : report.find("\n" + prefix);
    if (at == std::string::npos)
        return "";
    if (at != 0)
        at++;
    size_t end = report.find('\n', at);
    return report.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
}

// Waits up to timeoutMs for the agent's report and returns its start-qpc, or 0.
static inline long long waitAgentStart(const std::wstring &base, DWORD timeoutMs)
{
    long long from = qpcNow();
    std::string report;
    for (;;) {
        if (readFile(base + L".report", &report)) {
            std::string start = reportValue(report, "start-qpc");
            if (!start.empty())
                return atoll(start.c_str());
        }
        if (qpcMs(from, qpcNow()) >= timeoutMs)
            return 0;
        Sleep(1);
    }
}
