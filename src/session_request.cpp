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

// The four timeouts each bound one operation; a service that sends a byte now and then would
// never trip them. The whole exchange, from opening the session to the last byte of the body,
// therefore also ends by their sum.
static const DWORD resolveTimeoutMs = 10000, connectTimeoutMs = 10000, sendTimeoutMs = 30000,
                   receiveTimeoutMs = 45000;
static const ULONGLONG exchangeLimitMs = resolveTimeoutMs + connectTimeoutMs + sendTimeoutMs + receiveTimeoutMs;

// Before each wait for the service: the receive timeout becomes the time left, capped at its own
// value; false once no time is left.
static bool receiveWithinDeadline(HINTERNET request, ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    if (now >= deadline)
        return false;
    DWORD timeout = deadline - now < receiveTimeoutMs ? (DWORD)(deadline - now) : receiveTimeoutMs;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
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
    DWORD formLength = 0;
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD status = 0, statusSize = sizeof status;
    ULONGLONG deadline = GetTickCount64() + exchangeLimitMs;

    exchange->session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (exchange->session == NULL)
        goto done;
    WinHttpSetTimeouts(exchange->session, resolveTimeoutMs, connectTimeoutMs, sendTimeoutMs, receiveTimeoutMs);
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
    if (!WinHttpSendRequest(exchange->request, addedHeaders, (DWORD)-1, form, formLength, formLength, 0))
        goto done;
    if (!receiveWithinDeadline(exchange->request, deadline) || !WinHttpReceiveResponse(exchange->request, NULL))
        goto done;
    if (!WinHttpQueryHeaders(exchange->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        goto done;
    if (status != 200) {
        failure = refusalText(status);
        goto done;
    }

    exchange->body = (char *)malloc(bodyCapacity);
    if (exchange->body == NULL)
        goto done;
    // WinHttpReadData may wait until it has all it was asked for, so each read asks only for what
    // has arrived: WinHttpQueryDataAvailable returns as soon as there is some, within the timeout.
    for (;;) {
        DWORD available = 0, got = 0;
        if (!receiveWithinDeadline(exchange->request, deadline))
            goto done;
        if (!WinHttpQueryDataAvailable(exchange->request, &available))
            goto done;
        if (available > bodyLimit - exchange->length)
            available = bodyLimit - exchange->length;
        if (available > 0 &&
            !WinHttpReadData(exchange->request, exchange->body + exchange->length, available, &got))
            goto done;
        if (got == 0)
            break;
        exchange->length += got;
        if (exchange->length >= bodyLimit)   // too large: the largest accepted body is one byte less
            goto done;
    }
    if (exchange->length == 0)
        goto done;
    exchange->body[exchange->length] = '\0';
    ok = true;
done:
    if (!ok)
        setError(failure);
    return ok;
}
