// Session request, run on the worker thread: one HTTPS POST of the code and this run's nonce to
// the session service, and the reading of an accepted answer's policy text. Whatever it opens
// stays in the exchange for the worker to release after the agent has exited.

#include "launcher.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const wchar_t connectFailedText[] =
    L"We could not securely connect to Kavro. Check your Internet connection and try again, "
    L"or contact your technician.";

static const wchar_t userAgent[] = L"KavroReusableClient/1.0";
static const wchar_t sessionPath[] = L"/api/client-session-test";
static const wchar_t addedHeaders[] =
    L"Content-Type: application/x-www-form-urlencoded\r\nX-Kavro-Client: reusable-v1\r\n";

// The four timeouts each bound one wait of WinHTTP's; a service that sends a byte now and then
// would never trip them, in its handshake, its headers or its body. The whole exchange, from
// opening the session to the last byte of the body, therefore also ends by their sum.
static const DWORD resolveTimeoutMs = 10000, connectTimeoutMs = 10000, sendTimeoutMs = 30000,
                   receiveTimeoutMs = 45000;
static const ULONGLONG exchangeLimitMs = resolveTimeoutMs + connectTimeoutMs + sendTimeoutMs + receiveTimeoutMs;

// WinHTTP runs in its asynchronous mode so that the worker can stop waiting at the deadline: a
// synchronous call cannot be made to end in time (Wine's WinHTTP goes on with a call whose handle
// another thread has closed). Each call's completion comes to onCompletion, on a WinHTTP thread or
// inside the call, and the worker waits for it under completionLock. A call still under way at the
// deadline is left behind, and the worker's clean-up closes the handles as after any failure:
// Windows then ends the call; Wine lets it run on until the service stops sending or a timeout
// trips. Such a call holds nothing of ours: WinHTTP copies the headers, the body is written only
// once the send has completed, and a write or a read (which takes only what has arrived) is always
// waited out, its own timeout being no longer than the time that was left.
//
// The call under way belongs to the attempt numbered `attempt` (the request's context), so a
// completion that comes after its attempt stopped waiting is recognised and dropped.
static SRWLOCK completionLock = SRWLOCK_INIT;
static CONDITION_VARIABLE completionArrived = CONDITION_VARIABLE_INIT;
static struct {
    DWORD_PTR attempt;   // 0: no call of ours is awaited
    bool done;           // its completion has arrived
    bool ok;             // ... and reported success
    DWORD count;         // bytes written, available or read
} completion;
static DWORD_PTR attemptNumber;   // written by the worker only
static const ULONGLONG noDeadline = ~0ULL;

static void CALLBACK onCompletion(HINTERNET, DWORD_PTR context, DWORD status, void *info, DWORD length)
{
    bool ok = true;
    DWORD count = 0;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:   break;
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:      count = *(const DWORD *)info; break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:       count = length; break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:       ok = false; break;
    default:                                          return;
    }
    AcquireSRWLockExclusive(&completionLock);
    if (context != 0 && context == completion.attempt && !completion.done) {
        completion.done = true;
        completion.ok = ok;
        completion.count = count;
        WakeAllConditionVariable(&completionArrived);
    }
    ReleaseSRWLockExclusive(&completionLock);
}

// Before each call: its completion, which may arrive before the call returns, is awaited from now.
static void expectCompletion()
{
    AcquireSRWLockExclusive(&completionLock);
    completion.attempt = attemptNumber;
    completion.done = false;
    ReleaseSRWLockExclusive(&completionLock);
}

// Waits for the call's completion, at most until the deadline; true when it reported success.
// Afterwards nothing of ours is awaited: a completion that comes later is dropped, and the
// exchange makes no further call.
static bool awaitCompletion(ULONGLONG deadline, DWORD *count)
{
    AcquireSRWLockExclusive(&completionLock);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (completion.done || now >= deadline)
            break;
        DWORD wait = deadline - now < INFINITE ? (DWORD)(deadline - now) : INFINITE;
        SleepConditionVariableSRW(&completionArrived, &completionLock, wait, 0);
    }
    bool ok = completion.done && completion.ok;
    if (count != NULL)
        *count = completion.count;
    completion.attempt = 0;
    ReleaseSRWLockExclusive(&completionLock);
    return ok;
}

// Before each call that may wait on the service: every timeout of the request becomes the time
// left, where that is shorter than its own; false once no time is left. The receive-response
// timeout is set too, since WinHTTP under Wine waits for the status line by that one alone.
static bool limitToDeadline(HINTERNET request, ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    if (now >= deadline)
        return false;
    ULONGLONG left = deadline - now;
    DWORD receive = left < receiveTimeoutMs ? (DWORD)left : receiveTimeoutMs;
    WinHttpSetTimeouts(request, left < resolveTimeoutMs ? (int)left : (int)resolveTimeoutMs,
                       left < connectTimeoutMs ? (int)left : (int)connectTimeoutMs,
                       left < sendTimeoutMs ? (int)left : (int)sendTimeoutMs, (int)receive);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
    return true;
}

static const wchar_t *refusalText(DWORD status)
{
    switch (status) {
    case 400: return L"This code is unavailable. Please check your six-digit code with your technician.";
    case 409: return L"Your session is not ready, or this code is no longer available. Please check with your technician.";
    case 410: return L"Your support code has expired. Please ask your technician for a new code.";
    case 429: return L"Please wait a few minutes before trying again.";
    }
    return L"Support is temporarily unavailable. Please try again shortly.";
}

bool requestSession(SessionExchange *exchange)
{
    bool ok = false;
    const wchar_t *failure = connectFailedText;
    char form[128];
    DWORD formLength = 0, written = 0;
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD status = 0, statusSize = sizeof status;
    wchar_t announcedText[24];
    DWORD announcedSize = sizeof announcedText, announced = 0;
    bool lengthAnnounced = false;
    ULONGLONG deadline = GetTickCount64() + exchangeLimitMs;
    attemptNumber++;

    exchange->session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (exchange->session == NULL)
        goto done;
    WinHttpSetTimeouts(exchange->session, resolveTimeoutMs, connectTimeoutMs, sendTimeoutMs, receiveTimeoutMs);
    // Set on the session, the callback is the connection's and the request's too.
    if (WinHttpSetStatusCallback(exchange->session, onCompletion, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        goto done;
    exchange->connection = WinHttpConnect(exchange->session, KAVRO_SESSION_HOST,
                                          INTERNET_DEFAULT_HTTPS_PORT, 0);
    if (exchange->connection == NULL)
        goto done;
    exchange->request = WinHttpOpenRequest(exchange->connection, L"POST", sessionPath, NULL,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           WINHTTP_FLAG_SECURE);
    if (exchange->request == NULL)
        goto done;
    if (!WinHttpSetOption(exchange->request, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                          sizeof redirectPolicy))
        goto done;

    _snprintf_s(form, sizeof form, _TRUNCATE, "code=%lc%lc%lc%lc%lc%lc&client_nonce=%s", (wint_t)code[0],
                (wint_t)code[1], (wint_t)code[2], (wint_t)code[3], (wint_t)code[4], (wint_t)code[5], nonce);
    formLength = (DWORD)strlen(form);
    handBackCode();   // composed: the worker needs the code no more
    // The body's length goes with the request; the body itself is written once the connection,
    // its handshake and the headers are through, so that no call left behind at the deadline
    // still reads it.
    if (!limitToDeadline(exchange->request, deadline))
        goto done;
    expectCompletion();
    if (!WinHttpSendRequest(exchange->request, addedHeaders, (DWORD)-1, WINHTTP_NO_REQUEST_DATA, 0, formLength,
                            attemptNumber) ||
        !awaitCompletion(deadline, NULL))
        goto done;
    if (!limitToDeadline(exchange->request, deadline))
        goto done;
    expectCompletion();
    if (!WinHttpWriteData(exchange->request, form, formLength, NULL) || !awaitCompletion(noDeadline, &written) ||
        written != formLength)
        goto done;
    if (!limitToDeadline(exchange->request, deadline))
        goto done;
    expectCompletion();
    if (!WinHttpReceiveResponse(exchange->request, NULL) || !awaitCompletion(deadline, NULL))
        goto done;
    if (!WinHttpQueryHeaders(exchange->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        goto done;
    if (status != 200) {
        failure = refusalText(status);
        goto done;
    }

    // WinHTTP reads a connection closed before the announced length as the end of the body, on
    // Windows as under Wine, so a body that announced its length is held to it. The text is read
    // and converted here, not by WinHTTP: wcstoul saturates, so a length too large for 32 bits can
    // never equal what came; one too long for the buffer is refused.
    if (WinHttpQueryHeaders(exchange->request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            announcedText, &announcedSize, WINHTTP_NO_HEADER_INDEX)) {
        announced = wcstoul(announcedText, NULL, 10);
        lengthAnnounced = true;
    } else if (GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND) {
        goto done;
    }

    exchange->body = (char *)malloc(bodyCapacity);
    if (exchange->body == NULL)
        goto done;
    // Each read asks only for what has arrived, which WinHTTP reports as soon as there is some.
    for (;;) {
        DWORD available = 0, got = 0;
        if (!limitToDeadline(exchange->request, deadline))
            goto done;
        expectCompletion();
        if (!WinHttpQueryDataAvailable(exchange->request, NULL) || !awaitCompletion(deadline, &available))
            goto done;
        if (available == 0)
            break;
        if (available > bodyLimit - exchange->length)
            available = bodyLimit - exchange->length;
        expectCompletion();
        if (!WinHttpReadData(exchange->request, exchange->body + exchange->length, available, NULL) ||
            !awaitCompletion(noDeadline, &got))
            goto done;
        if (got == 0)
            break;
        exchange->length += got;
        if (exchange->length >= bodyLimit)   // too large: the largest accepted body is one byte less
            goto done;
    }
    if (exchange->length == 0 || (lengthAnnounced && exchange->length != announced))
        goto done;
    exchange->body[exchange->length] = '\0';
    ok = true;
done:
    if (!ok)
        setError(failure);
    return ok;
}
