// Policy hand-off and agent run, on the worker thread: checks that the accepted policy is for our
// relay, writes it beside the agent, starts the agent, hides our window and waits for the agent
// to end. The policy file is deleted by the worker afterwards, not here.

#include "launcher.h"

#include <string.h>
#include <wchar.h>

static const char serverLine[] = "MeshServer=wss://" KAVRO_RELAY_HOST ":443/agent.ashx\r\n";
static const char meshIdMarker[] = "MeshID=0x";

const wchar_t prepareFailedText[] =
    L"Unable to prepare your support session. Please close this client and contact your technician.";
static const wchar_t startFailedText[] =
    L"Windows could not start the support agent. Please contact your technician.";

bool runAgent(SessionExchange *exchange, HANDLE *agentHold)
{
    bool ok = false;
    BOOL started = FALSE;
    const wchar_t *failure = connectFailedText;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD written = 0;
    wchar_t commandLine[264];
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    startup.cb = sizeof startup;

    // Both searches stop at the first NUL, so a marker hidden behind one does not count.
    if (strstr(exchange->body, serverLine) == NULL || strstr(exchange->body, meshIdMarker) == NULL)
        goto done;
    // Only deletion is shared: the window deletes the file when Windows ends the session, and that
    // delete must succeed even while the file is being written (it goes when this handle closes).
    file = CreateFileW(policyPath, GENERIC_WRITE, FILE_SHARE_DELETE, NULL, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY,
                       NULL);
    if (file == INVALID_HANDLE_VALUE) {
        failure = prepareFailedText;
        goto done;
    }
    if (!WriteFile(file, exchange->body, exchange->length, &written, NULL) || written != exchange->length)
        goto done;
    if (!FlushFileBuffers(file))
        goto done;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    // Windows ended the session while the answer was on its way: no agent is started into a closing
    // session, and the clean-up deletes the file at once. The flag is read only after the close, so
    // a delete the window makes after this read finds the file closed and takes it.
    if (sessionEnding.load() != 0) {
        failure = prepareFailedText;
        goto done;
    }

    // CreateProcessW may write into the command line, so it gets our own writable copy.
    _snwprintf_s(commandLine, sizeof commandLine / sizeof commandLine[0], _TRUNCATE, L"\"%ls\"", agentPath);
    started = CreateProcessW(agentPath, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    // The image is mapped now, or never will be: from here on the agent's file is treated as any
    // running program's, which may be renamed (an agent that updates itself does that).
    if (*agentHold != INVALID_HANDLE_VALUE)
        CloseHandle(*agentHold);
    *agentHold = INVALID_HANDLE_VALUE;
    if (!started) {
        failure = startFailedText;
        goto done;
    }
    ShowWindow(mainWindow, SW_HIDE);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ok = true;
done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        setError(failure);
    return ok;
}
