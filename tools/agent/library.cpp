// A DLL that does nothing, for the test bed: signed as the publisher, it passes the publisher
// check under the agent's name, but Windows cannot start it as a program.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
