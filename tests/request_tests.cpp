// requestSession against the session-service double over real TLS: what goes on the wire (as the
// double recorded it), how each answer is classified, the bounds of an accepted body, transport
// failures, and the options left on the open handles. Each row gets a fresh exchange, which the
// test releases itself in the worker's order: wipe and free the body, then request, connection,
// session. A table's rows are tests of their own, named after the row: GTEST_FILTER='*/NAME'
// runs one.

#include <gtest/gtest.h>

#include "launcher.h"
#include "requestbed.h"
#include "testbed.h"

#include <stdlib.h>
#include <string.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

const wchar_t unavailableText[] = L"This code is unavailable. Please check your six-digit code with your technician.";
const wchar_t notReadyText[] =
    L"Your session is not ready, or this code is no longer available. Please check with your technician.";
const wchar_t expiredText[] = L"Your support code has expired. Please ask your technician for a new code.";
const wchar_t waitText[] = L"Please wait a few minutes before trying again.";
const wchar_t laterText[] = L"Support is temporarily unavailable. Please try again shortly.";

// A body file in the double's folder with a pattern that includes NULs and every byte value.
std::string patternBody(size_t size, const wchar_t *name)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)((i * 131 + (i >> 12)) & 0xff);
    EXPECT_TRUE(writeFile(bedPath(std::wstring(L"service\\") + name), bytes));
    return bytes;
}

int countHeader(const RecordedRequest &request, const std::string &name)
{
    int count = 0;
    for (const std::string &line : request.headers)
        if (line.size() > name.size() && line[name.size()] == ':' &&
            _strnicmp(line.c_str(), name.c_str(), name.size()) == 0)
            count++;
    return count;
}

template <class Row> std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

}  // namespace

TEST(SessionRequest, SendsCodeAndNonceAsOneFormPost)
{
    ensureLaunchState();
    ASSERT_EQ(32u, strlen(nonce));
    const std::string host = envText("KAVRO_SESSION_HOST");
    static const wchar_t *const typed[] = { L"123456", L"654321", L"000000", L"090807", L"999999" };
    std::string firstNonce;
    for (size_t i = 0; i < std::size(typed); i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << ", code " << narrow(typed[i]));
        SessionExchange exchange = {};
        bool ok = runRequest("status=200\npolicy=1\n", typed[i], &exchange);
        EXPECT_TRUE(ok) << "expected success, got errorText \"" << narrow(errorText) << "\"";
        releaseExchange(&exchange);

        std::vector<RecordedRequest> requests = recordedRequests();
        ASSERT_EQ(1u, requests.size()) << "expected exactly one request, got " << requests.size();
        const RecordedRequest &sent = requests[0];
        EXPECT_EQ("POST", sent.method);
        EXPECT_EQ("/api/client-session-test", sent.path);
        EXPECT_EQ(host, sent.header("Host"));
        EXPECT_EQ("KavroReusableClient/1.0", sent.header("User-Agent"));
        EXPECT_EQ("application/x-www-form-urlencoded", sent.header("Content-Type"));
        EXPECT_EQ("reusable-v1", sent.header("X-Kavro-Client"));
        EXPECT_EQ("57", sent.header("Content-Length"));
        for (const char *once : { "User-Agent", "Content-Type", "X-Kavro-Client", "Content-Length" })
            EXPECT_EQ(1, countHeader(sent, once)) << "header " << once << " sent " << countHeader(sent, once)
                                                  << " times";
        for (const char *never : { "Accept", "Referer", "Authorization", "Cookie", "Transfer-Encoding" })
            EXPECT_EQ(0, countHeader(sent, never)) << "header " << never << " was sent";

        std::string expected = "code=" + narrow(typed[i]) + "&client_nonce=" + nonce;
        EXPECT_EQ(57u, sent.body.size()) << "expected a 57-byte body, got " << sent.body.size();
        EXPECT_EQ(expected, sent.body);
        std::string sentNonce = sent.body.size() > 25 ? sent.body.substr(25) : "";
        EXPECT_EQ(std::string::npos, sentNonce.find_first_not_of("0123456789abcdef")) << sentNonce;
        if (i == 0)
            firstNonce = sentNonce;
        EXPECT_EQ(firstNonce, sentNonce) << "every attempt of one run sends the same nonce";
    }
}

struct StatusRow {
    const char *name;
    const char *scenario;   // NULL: no scenario, the double answers by the code
    bool redirectBack;      // with a Location back to the same path
    const wchar_t *typed;
    bool ok;
    const wchar_t *message;
};

const StatusRow statusRows[] = {
    { "status_200",  "status=200\n",         false, L"123456", true,  sentinel },
    { "code_123456", NULL,                   false, L"123456", true,  sentinel },
    { "status_400",  "status=400\n",         false, L"123456", false, unavailableText },
    { "code_400400", NULL,                   false, L"400400", false, unavailableText },
    { "code_111111", NULL,                   false, L"111111", false, unavailableText },
    { "status_409",  "status=409\n",         false, L"123456", false, notReadyText },
    { "code_409409", NULL,                   false, L"409409", false, notReadyText },
    { "status_410",  "status=410\n",         false, L"123456", false, expiredText },
    { "code_410410", NULL,                   false, L"410410", false, expiredText },
    { "status_429",  "status=429\n",         false, L"123456", false, waitText },
    { "code_429429", NULL,                   false, L"429429", false, waitText },
    { "status_302",  "status=302\n",         true,  L"123456", false, laterText },   // never followed
    { "code_302302", NULL,                   false, L"302302", false, laterText },
    { "status_307",  "status=307\n",         true,  L"123456", false, laterText },
    { "status_500",  "status=500\n",         false, L"123456", false, laterText },
    { "code_500500", NULL,                   false, L"500500", false, laterText },
    { "status_407",  "status=407\n",         false, L"123456", false, laterText },   // as a proxy wanting credentials
    { "status_418",  "status=418\n",         false, L"123456", false, laterText },
    { "status_503",  "status=503\n",         false, L"123456", false, laterText },
    { "status_201",  "status=201\npolicy=1\n", false, L"123456", false, laterText }, // only 200 is an acceptance
    { "status_204",  "status=204\n",         false, L"123456", false, laterText },
};

class StatusDecidesTheOutcome : public testing::TestWithParam<StatusRow> {};

TEST_P(StatusDecidesTheOutcome, Row)
{
    ensureLaunchState();
    const StatusRow &row = GetParam();
    std::string scenario = row.scenario != NULL ? row.scenario : "";
    if (row.redirectBack)
        scenario += "location=https://" + envText("KAVRO_SESSION_HOST") + "/api/client-session-test\n";
    SessionExchange exchange = {};
    bool ok = runRequest(row.scenario != NULL ? scenario.c_str() : NULL, row.typed, &exchange);
    EXPECT_EQ(row.ok, ok);
    EXPECT_STREQ(row.message, errorText);
    if (ok) {
        EXPECT_TRUE(exchange.body != NULL && exchange.length > 0) << "expected a body, got " << exchange.length;
    } else {
        EXPECT_EQ(NULL, exchange.body) << "a refusal's body is not read";
        EXPECT_EQ(0u, exchange.length);
    }
    EXPECT_TRUE(exchange.session != NULL && exchange.connection != NULL && exchange.request != NULL)
        << "the handles stay open for the worker's clean-up";
    releaseExchange(&exchange);
    size_t count = recordedRequests().size();
    EXPECT_EQ(1u, count) << "expected exactly one request, got " << count;
}

INSTANTIATE_TEST_SUITE_P(SessionRequest, StatusDecidesTheOutcome, testing::ValuesIn(statusRows),
                         rowName<StatusRow>);

struct BodyRow {
    const char *name;
    const char *scenario;
    const wchar_t *file;    // the double's body file, filled with sent bytes of a pattern, or NULL
    size_t sent;            // body bytes the double sends
    bool ok;
    DWORD length;           // expected length afterwards
};

const BodyRow bodyRows[] = {
    { "empty",               "body-size=0\n",                      NULL,           0,       false, 0 },
    { "one_byte",            "body-size=1\n",                      NULL,           1,       true,  1 },
    { "middle",              "body-file=body\n",                   L"body",        300001,  true,  300001 },
    { "below_limit",         "body-file=body\n",                   L"body",        1048575, true,  1048575 },
    { "at_limit",            "body-file=body\n",                   L"body",        1048576, false, 1048576 },
    { "above_limit",         "body-file=body\n",                   L"body",        2000000, false, 1048576 },
    { "chunked_empty",       "chunked=1\nbody-size=0\n",           NULL,           0,       false, 0 },
    { "chunked_middle",      "chunked=1\nbody-file=body\n",        L"body",        300001,  true,  300001 },
    { "chunked_below_limit", "chunked=1\nbody-file=body\n",        L"body",        1048575, true,  1048575 },
    { "chunked_at_limit",    "chunked=1\nbody-file=body\n",        L"body",        1048576, false, 1048576 },
    { "chunked_above_limit", "chunked=1\nbody-file=body\n",        L"body",        2000000, false, 1048576 },
};

class BodyIsReadWholeWithinItsBound : public testing::TestWithParam<BodyRow> {};

TEST_P(BodyIsReadWholeWithinItsBound, Row)
{
    ensureLaunchState();
    const BodyRow &row = GetParam();
    const std::string sent = row.file != NULL ? patternBody(row.sent, row.file) : std::string();
    SessionExchange exchange = {};
    bool ok = runRequest(row.scenario, L"123456", &exchange);
    EXPECT_EQ(row.ok, ok);
    EXPECT_STREQ(row.ok ? sentinel : connectText, errorText);
    ASSERT_TRUE(exchange.body != NULL) << "a 200 answer allocates the body buffer";
    EXPECT_EQ(row.length, exchange.length) << "expected length " << row.length << ", got " << exchange.length;
    if (row.file != NULL) {
        EXPECT_EQ(0, memcmp(sent.data(), exchange.body, exchange.length)) << "the bytes differ from those sent";
    } else if (row.sent == 1) {
        EXPECT_EQ('x', exchange.body[0]);
    }
    if (ok) {
        EXPECT_EQ('\0', exchange.body[exchange.length]) << "expected a NUL after the body";
    }
    releaseExchange(&exchange);
}

INSTANTIATE_TEST_SUITE_P(SessionRequest, BodyIsReadWholeWithinItsBound, testing::ValuesIn(bodyRows),
                         rowName<BodyRow>);

struct TransportRow {
    const char *name;
    const char *scenario;
    size_t requests;   // what the double must have recorded
};

const TransportRow transportRows[] = {
    { "refused",         "refuse=1\n",       0 },   // accepted, closed before the handshake
    { "untrusted_cert",  "cert=untrusted\n", 0 },
    { "wrong_host_cert", "cert=wronghost\n", 0 },
    { "expired_cert",    "cert=expired\n",   0 },
    { "nothing_listens", "listen=0\n",       0 },
    { "tls13_only",      "tls=1.3\n",        0 },   // Wine's WinHTTP, like Windows 10's, offers at most 1.2
    { "control",         "cert=service\n",   1 },   // the same path succeeds with our certificate
};

class TransportFailuresGiveTheConnectionMessage : public testing::TestWithParam<TransportRow> {};

TEST_P(TransportFailuresGiveTheConnectionMessage, Row)
{
    ensureLaunchState();
    const TransportRow &row = GetParam();
    SessionExchange exchange = {};
    DWORD started = GetTickCount();
    bool ok = runRequest(row.scenario, L"123456", &exchange);
    DWORD elapsed = GetTickCount() - started;
    bool control = row.requests == 1;
    EXPECT_EQ(control, ok);
    EXPECT_STREQ(control ? sentinel : connectText, errorText);
    EXPECT_TRUE(exchange.request != NULL) << "the request handle stays open for the worker's clean-up";
    if (!control) {
        EXPECT_EQ(NULL, exchange.body);
    }
    EXPECT_LT(elapsed, 15000u) << "a refused connection should not wait for a timeout";
    releaseExchange(&exchange);
    size_t count = recordedRequests().size();
    EXPECT_EQ(row.requests, count) << "expected " << row.requests << " recorded requests, got " << count;
    clearScenario();
    EXPECT_TRUE(waitForListening('1'));
}

INSTANTIATE_TEST_SUITE_P(SessionRequest, TransportFailuresGiveTheConnectionMessage, testing::ValuesIn(transportRows),
                         rowName<TransportRow>);

// A body that ends before its announced length, the connection closed: WinHTTP reports the end of
// the body there, and the launcher counts. A chunked body cut off before its last chunk announces
// no length: Windows' chunk decoding fails it, Wine's reads it as a normal end.
struct CutRow {
    const char *name;
    const char *scenario;
    DWORD cut;
};

const CutRow cutRows[] = {
    { "cut_at_100",             "body-size=1000\nclose-after=100\n",            100 },
    { "cut_at_200000",          "body-size=300000\nclose-after=200000\n",       200000 },
    { "cut_after_both_markers", "body-size=4000\nclose-after=191\n",            191 },
    { "chunked_cut_at_100",     "chunked=1\nbody-size=1000\nclose-after=100\n", 100 },
};

class BodyCutShortGivesTheConnectionMessage : public testing::TestWithParam<CutRow> {};

TEST_P(BodyCutShortGivesTheConnectionMessage, Row)
{
    ensureLaunchState();
    const CutRow &row = GetParam();
    SessionExchange exchange = {};
    bool ok = runRequest(row.scenario, L"123456", &exchange);
    bool gap = ok && isWine() && strstr(row.scenario, "chunked=1") != NULL && exchange.length == row.cut;
    if (!gap) {
        EXPECT_FALSE(ok) << "a body cut short was accepted with " << exchange.length << " bytes";
        EXPECT_STREQ(connectText, errorText);
        EXPECT_LE(exchange.length, row.cut);
    }
    releaseExchange(&exchange);
    EXPECT_EQ(1u, recordedRequests().size());
    clearScenario();
    if (gap)
        GTEST_SKIP() << "Wine reads a chunked body cut short by the server as a normal end";
}

INSTANTIATE_TEST_SUITE_P(SessionRequest, BodyCutShortGivesTheConnectionMessage, testing::ValuesIn(cutRows),
                         rowName<CutRow>);

TEST(SessionRequest, LeavesRedirectsOffAndTheTimeoutsOnItsHandles)
{
    ensureLaunchState();
    SessionExchange exchange = {};
    ASSERT_TRUE(runRequest("status=200\n", L"123456", &exchange)) << narrow(errorText);
    enum { onSession, onRequest };
    struct Row {
        int handle;
        DWORD option;
        const char *name;
        DWORD expected;
    };
    static const Row rows[] = {
        { onRequest, WINHTTP_OPTION_REDIRECT_POLICY,  "redirect policy", WINHTTP_OPTION_REDIRECT_POLICY_NEVER },
        { onSession, WINHTTP_OPTION_RESOLVE_TIMEOUT,  "resolve timeout", 10000 },
        { onSession, WINHTTP_OPTION_CONNECT_TIMEOUT,  "connect timeout", 10000 },
        { onSession, WINHTTP_OPTION_SEND_TIMEOUT,     "send timeout",    30000 },
        { onSession, WINHTTP_OPTION_RECEIVE_TIMEOUT,  "receive timeout", 45000 },
        { onRequest, WINHTTP_OPTION_RESOLVE_TIMEOUT,  "resolve timeout", 10000 },
        { onRequest, WINHTTP_OPTION_CONNECT_TIMEOUT,  "connect timeout", 10000 },
        { onRequest, WINHTTP_OPTION_SEND_TIMEOUT,     "send timeout",    30000 },
        { onRequest, WINHTTP_OPTION_RECEIVE_TIMEOUT,  "receive timeout", 45000 },
    };
    std::string refused;
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row &row = rows[i];
        const char *where = row.handle == onSession ? "session" : "request";
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.name << " on the " << where);
        HINTERNET handle = row.handle == onSession ? exchange.session : exchange.request;
        DWORD value = 0xdeadbeef, size = sizeof value;
        SetLastError(0xdeadbeef);
        BOOL queried = WinHttpQueryOption(handle, row.option, &value, &size);
        DWORD error = GetLastError();
        if (!queried && isWine()) {
            refused += std::string(refused.empty() ? "" : ", ") + row.name + " on the " + where + " (error " +
                       std::to_string(error) + ")";
            continue;
        }
        ASSERT_TRUE(queried) << "WinHttpQueryOption failed with " << error;
        EXPECT_EQ(sizeof value, size);
        EXPECT_EQ(row.expected, value) << "expected " << row.expected << ", got " << value;
    }
    // Nothing relaxes the certificate checks: no SECURITY_FLAG_IGNORE_* on the request.
    DWORD flags = 0, size = sizeof flags;
    const DWORD ignoring = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    SetLastError(0xdeadbeef);
    if (WinHttpQueryOption(exchange.request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size))
        EXPECT_EQ(0u, flags & ignoring) << "security flags " << std::hex << flags;
    else if (isWine())
        refused += std::string(refused.empty() ? "" : ", ") + "security flags on the request (error " +
                   std::to_string(GetLastError()) + ")";
    else
        ADD_FAILURE() << "WINHTTP_OPTION_SECURITY_FLAGS could not be queried: " << GetLastError();
    releaseExchange(&exchange);
    clearScenario();
    if (!refused.empty())
        GTEST_SKIP() << "Wine's WinHttpQueryOption refuses: " << refused;
}
