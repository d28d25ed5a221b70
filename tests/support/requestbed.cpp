// Request test helpers; see requestbed.h.

#include "requestbed.h"

#include <gtest/gtest.h>

#include "testbed.h"

#include <stdlib.h>
#include <string.h>

const wchar_t connectText[] =
    L"We could not securely connect to Kavro. Check your Internet connection and try again, or contact your "
    L"technician.";
const wchar_t sentinel[] = L"sentinel: errorText untouched";

bool isWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

std::string envText(const char *name)
{
    const char *value = getenv(name);
    return value != NULL ? value : "";
}

void ensureLaunchState()
{
    static bool ready = initLaunchState();
    ASSERT_TRUE(ready) << "initLaunchState failed";
}

bool waitForListening(char state)
{
    for (int i = 0; i < 100; i++) {
        std::string seen;
        if (readFile(bedPath(L"service\\listening"), &seen) && seen.size() == 1 && seen[0] == state)
            return true;
        Sleep(50);
    }
    return false;
}

bool runRequest(const char *scenario, const wchar_t *typed, SessionExchange *exchange)
{
    if (scenario == NULL)
        clearScenario();
    else
        setScenario(scenario);
    if (scenario != NULL && strstr(scenario, "listen=0") != NULL)
        EXPECT_TRUE(waitForListening('0')) << "the double did not close its listening socket";
    else
        EXPECT_TRUE(waitForListening('1')) << "the double is not listening";
    clearRequests();
    wcscpy(code, typed);
    wcscpy(errorText, sentinel);
    bool ok = requestSession(exchange);
    SecureZeroMemory(code, sizeof code);
    return ok;
}
