// The whole exchange's deadline, against the session-service double. Each of WinHTTP's waits ends
// within its own timeout, but the whole exchange ends 95 s (the sum of the four timeouts) after it
// began, whichever part of the answer is slow: a body trickled in a byte every 5 s would take
// 200 s, headers trickled so would take 450 s, and a link that carries each of the service's bytes
// 50 ms after the last (its handshake and a 1,000-byte body) about 130 s. An answer held back
// longer than the receive timeout fails at that timeout. A body that comes slowly but in time is
// read whole and not held up. A body that stops 10 s before the deadline leaves the last wait's
// call under way when the exchange ends; since every timeout was lowered to the time left, that
// call ends at the deadline too, and the service sees the connection closed then (with the
// timeouts at their own values, Wine keeps the call, and the connection, going past 99 s, though
// its handle is closed). Each row waits up to 99 s, so each is a test of its own, which ctest runs
// side by side with the others in a bed of its own: --gtest_filter='*/NAME' runs one.

#include <gtest/gtest.h>

#include "launcher.h"
#include "requestbed.h"
#include "testbed.h"

#include <stdio.h>

namespace {

struct DeadlineRow {
    const char *name;
    const char *scenario;
    bool ok;
    DWORD atLeastMs, atMostMs;
    DWORD closedByMs;   // when the service must have seen the connection closed; 0: not looked at
};

// ctest makes one test of each row, by the name in its first field (tests/CMakeLists.txt reads
// them from the rows below: one row to a line, as here).
const DeadlineRow deadlineRows[] = {
    { "trickled_body_in_time", "body-size=20\ntrickle-ms=250\n", true, 5000, 8000, 0 },
    { "trickled_body", "body-size=40\ntrickle-ms=5000\n", false, 94000, 99000, 0 },
    { "held_56s", "delay-ms=56000\n", false, 44000, 50000, 0 },   // nothing, then a good policy
    { "held_125s", "delay-ms=125000\n", false, 44000, 50000, 0 },
    { "trickled_headers", "head-trickle-ms=5000\n", false, 94000, 99000, 0 },
    { "slow_link", "link-ms=50\nbody-size=1000\n", false, 94000, 99000, 0 },
    { "stalled_body", "body-size=40\ntrickle-ms=5000\nstall-after=17\n", false, 94000, 99000, 99000 },   // 85 s of bytes, then none
};

class EndsTheWholeExchangeByItsDeadline : public testing::TestWithParam<DeadlineRow> {};

}  // namespace

TEST_P(EndsTheWholeExchangeByItsDeadline, Row)
{
    ensureLaunchState();
    const DeadlineRow &row = GetParam();
    SessionExchange exchange = {};
    DWORD started = GetTickCount();
    bool ok = runRequest(row.scenario, L"123456", &exchange);
    DWORD elapsed = GetTickCount() - started;
    EXPECT_EQ(row.ok, ok);
    EXPECT_STREQ(row.ok ? sentinel : connectText, errorText);
    EXPECT_GE(elapsed, row.atLeastMs);
    EXPECT_LE(elapsed, row.atMostMs) << "the exchange took " << elapsed << " ms";
    printf("deadline row %s: %lu ms\n", row.name, elapsed);   // the figures docs/protocol.md gives
    releaseExchange(&exchange);
    if (row.closedByMs != 0) {
        const std::wstring closed = bedPath(L"service\\requests\\0001.closed");
        while (!fileExists(closed) && GetTickCount() - started < row.closedByMs)
            Sleep(50);
        EXPECT_TRUE(fileExists(closed)) << "the service still had the connection open " << GetTickCount() - started
                                        << " ms after the exchange began";
    }
    clearScenario();
}

INSTANTIATE_TEST_SUITE_P(SessionRequest, EndsTheWholeExchangeByItsDeadline, testing::ValuesIn(deadlineRows),
                         [](const testing::TestParamInfo<DeadlineRow> &info) { return info.param.name; });
