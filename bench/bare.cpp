// The floor for one attempt: the platform calls the launcher's worker makes (the folder's lock, the
// hold on the agent and its check, the asynchronous request with its completions and timeouts,
// the hand-off), made in a straight line by one thread of a program without a window, with no
// checks beyond the results needed to go on. The benchmark sets the launcher's stages against
// these times.
//
// As the stages (and the launcher, which keeps them while the agent runs), it leaves the request's
// handles open until the timing is over; started by `bench_probe run`, it begins its timing the
// same delay after the probe started it as they do.
//
//   bench_bare attempt FOLDER CODE SESSION_HOST [FROM DELAY_MS]

#include "bench.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <winhttp.h>

static wchar_t agent[MAX_PATH], policy[MAX_PATH];

static bool check()
{
    HANDLE lock = CreateFileW(agent, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = agent;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(NULL, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NULL, &action, &data);

    HCERTSTORE store = NULL;
    HCRYPTMSG msg = NULL;
    DWORD size = 0;
    CryptQueryObject(CERT_QUERY_OBJECT_FILE, agent, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                     CERT_QUERY_FORMAT_FLAG_BINARY, 0, NULL, NULL, NULL, &store, &msg, NULL);
    CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, NULL, &size);
    CMSG_SIGNER_INFO *signer = (CMSG_SIGNER_INFO *)malloc(size);
    CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, signer, &size);
    CERT_INFO id = {};
    id.Issuer = signer->Issuer;
    id.SerialNumber = signer->SerialNumber;
    PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                     CERT_FIND_SUBJECT_CERT, &id, NULL);
    CERT_NAME_INFO *subject = NULL;
    DWORD subjectSize = 0;
    wchar_t name[256];
    CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, cert->pCertInfo->Subject.pbData,
                        cert->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &subject, &subjectSize);
    CERT_RDN_ATTR *cn = &subject->rgRDN[subject->cRDN - 1].rgRDNAttr[0];
    bool named = CertRDNValueToStrW(cn->dwValueType, &cn->Value, name, 256) == 10 && wcscmp(name, L"Quintavel") == 0;
    LocalFree(subject);
    free(signer);
    CertFreeCertificateContext(cert);
    CryptMsgClose(msg);
    CertCloseStore(store, 0);
    CloseHandle(lock);
    return status == 0 && named;
}

// Filled by request, read by handOff, released once at the end: the body wiped and freed, then
// the request, the connection and the session closed, in the launcher's order.
static HINTERNET session, connection, req;
static char *body;
static DWORD bodyLength;

// The launcher's asynchronous WinHTTP, in its plainest form: each call's completion, awaited under
// a lock, with the same timeouts set before each wait.
static SRWLOCK lock = SRWLOCK_INIT;
static CONDITION_VARIABLE arrived = CONDITION_VARIABLE_INIT;
static bool done, succeeded;
static DWORD count;

static void CALLBACK completed(HINTERNET, DWORD_PTR, DWORD status, void *info, DWORD length)
{
    if (status != WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE && status != WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE &&
        status != WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE && status != WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE &&
        status != WINHTTP_CALLBACK_STATUS_READ_COMPLETE && status != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
        return;
    AcquireSRWLockExclusive(&lock);
    done = true;
    succeeded = status != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
    count = status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE ? length
          : status == WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE || status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE
              ? *(const DWORD *)info : 0;
    WakeAllConditionVariable(&arrived);
    ReleaseSRWLockExclusive(&lock);
}

static void expect(HINTERNET req)
{
    WinHttpSetTimeouts(req, 10000, 10000, 30000, 45000);
    DWORD receive = 45000;
    WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
    AcquireSRWLockExclusive(&lock);
    done = false;
    ReleaseSRWLockExclusive(&lock);
}

static bool await(DWORD *got)
{
    AcquireSRWLockExclusive(&lock);
    while (!done)
        SleepConditionVariableSRW(&arrived, &lock, 95000, 0);
    bool ok = succeeded;
    if (got != NULL)
        *got = count;
    ReleaseSRWLockExclusive(&lock);
    return ok;
}

static bool request(const char *form, const wchar_t *host)
{
    session = WinHttpOpen(L"KavroReusableClient/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    WinHttpSetTimeouts(session, 10000, 10000, 30000, 45000);
    WinHttpSetStatusCallback(session, completed, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS, 0);
    connection = WinHttpConnect(session, host, INTERNET_DEFAULT_HTTPS_PORT, 0);
    req = WinHttpOpenRequest(connection, L"POST", L"/api/client-session-test", NULL, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof redirectPolicy);
    DWORD formLength = (DWORD)strlen(form);
    DWORD status = 0, statusSize = sizeof status, written = 0;
    expect(req);
    bool ok = WinHttpSendRequest(req, L"Content-Type: application/x-www-form-urlencoded\r\nX-Kavro-Client: reusable-v1\r\n",
                                 (DWORD)-1, WINHTTP_NO_REQUEST_DATA, 0, formLength, 1) && await(NULL);
    expect(req);
    ok = ok && WinHttpWriteData(req, form, formLength, NULL) && await(&written) && written == formLength;
    expect(req);
    ok = ok && WinHttpReceiveResponse(req, NULL) && await(NULL) &&
         WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    body = (char *)malloc(1048577);
    while (ok) {
        DWORD available = 0, got = 0;
        expect(req);
        if (!WinHttpQueryDataAvailable(req, NULL) || !await(&available) || available == 0)
            break;
        expect(req);
        if (!WinHttpReadData(req, body + bodyLength, available, NULL) || !await(&got) || got == 0)
            break;
        bodyLength += got;
    }
    return ok && status == 200 && bodyLength > 0;
}

// The launcher's hand-off: both markers looked for, the policy written new, flushed and closed,
// and the agent started from `program`; *starting is the time just before CreateProcessW.
static bool handOff(const wchar_t *program, PROCESS_INFORMATION *process, long long *starting)
{
    body[bodyLength] = '\0';
    bool marked = strstr(body, "MeshServer=wss://") != NULL && strstr(body, "MeshID=0x") != NULL;
    HANDLE file = CreateFileW(policy, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, NULL);
    DWORD written = 0;
    bool ok = marked && WriteFile(file, body, bodyLength, &written, NULL) && FlushFileBuffers(file);
    CloseHandle(file);
    wchar_t commandLine[264];
    _snwprintf_s(commandLine, 264, _TRUNCATE, L"\"%ls\"", program);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    *starting = qpcNow();
    return ok && CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, process);
}

static int attempt(const wchar_t *folder, const wchar_t *code, const wchar_t *host, long long from, DWORD delayMs)
{
    std::wstring base = std::wstring(folder) + L"\\KavroTechRemoteSupport-agent";
    std::wstring missing = std::wstring(folder) + L"\\missing-agent.exe";
    _snwprintf_s(agent, MAX_PATH, _TRUNCATE, L"%ls.exe", base.c_str());
    _snwprintf_s(policy, MAX_PATH, _TRUNCATE, L"%ls.msh", base.c_str());
    char form[128];
    snprintf(form, sizeof form, "code=%ls&client_nonce=a0a1a2a3a4a5a6a7a8a9aaabacadaeaf", code);
    DeleteFileW(policy);
    DeleteFileW((base + L".report").c_str());
    PROCESS_INFORMATION process = {};
    long long starting = 0;

    long long t0 = startAfter(from, delayMs);
    HANDLE folderLock = CreateMutexW(NULL, FALSE, L"Local\\KavroBenchBareFolder");
    WaitForSingleObject(folderLock, 0);
    bool ok = check();
    ReleaseMutex(folderLock);   // as the stages end theirs: right after the check
    CloseHandle(folderLock);
    long long t1 = qpcNow();
    ok = ok && request(form, host);
    long long t2 = qpcNow();
    ok = ok && handOff(agent, &process, &starting);
    long long agentStarted = ok ? waitAgentStart(base, 10000) : 0;
    long long startedAt = starting;
    if (process.hProcess != NULL) {
        CloseHandle(process.hThread);
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hProcess);
    }
    DeleteFileW(policy);
    // The hand-off alone, as the stages time it: the same body, and a start that fails at once.
    PROCESS_INFORMATION none = {};
    long long h0 = qpcNow();
    bool started = ok && handOff(missing.c_str(), &none, &starting);
    long long h1 = qpcNow();
    DeleteFileW(policy);
    if (body != NULL) {
        SecureZeroMemory(body, bodyLength);
        free(body);
    }
    if (req != NULL)        WinHttpCloseHandle(req);
    if (connection != NULL) WinHttpCloseHandle(connection);
    if (session != NULL)    WinHttpCloseHandle(session);
    if (!ok || agentStarted == 0 || started) {
        printf("error=the bare attempt failed\n");
        return 1;
    }
    printf("check-ms=%.3f request-ms=%.3f handoff-ms=%.3f start-ms=%.3f handoff-start-ms=%.3f from-start-ms=%.3f "
           "delay-ms=%lu\n", qpcMs(t0, t1), qpcMs(t1, t2), qpcMs(h0, h1), qpcMs(startedAt, agentStarted),
           qpcMs(t2, agentStarted), qpcMs(from, t0), delayMs);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && wcscmp(argv[1], L"attempt") == 0)
        return attempt(argv[2], argv[3], argv[4], qpcNow(), 0);
    if (argc == 7 && wcscmp(argv[1], L"attempt") == 0)
        return attempt(argv[2], argv[3], argv[4], _wtoi64(argv[5]), (DWORD)_wtoi(argv[6]));
    fprintf(stderr, "usage: bench_bare attempt FOLDER CODE SESSION_HOST [FROM DELAY_MS]\n");
    return 2;
}
