// Release self-check: applies the launcher's own publisher check to the file named on the
// command line (the signed launcher, in scripts/release), so a release is accepted by the same
// code, under the same trust policy, that the launcher applies to its agent.
// Usage: selfcheck FILE  (exit 0: trusted and signed by our publisher; 1: refused; 2: usage)

#include "launcher.h"

#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    DWORD length = 0;

    if (argc != 2) {
        fwprintf(stderr, L"usage: selfcheck FILE\n");
        return 2;
    }
    // verifyAgentPublisher reads agentPath only; a full path keeps the check independent of
    // the current directory.
    length = GetFullPathNameW(argv[1], MAX_PATH, agentPath, NULL);
    if (length == 0 || length >= MAX_PATH) {
        fwprintf(stderr, L"selfcheck: %ls: path not usable\n", argv[1]);
        return 2;
    }
    if (!verifyAgentPublisher()) {
        fwprintf(stderr, L"selfcheck: %ls refused: %ls\n", agentPath, errorText);
        return 1;
    }
    wprintf(L"selfcheck: %ls is signed by our publisher and trusted\n", agentPath);
    return 0;
}
