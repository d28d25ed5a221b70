// What the request tests share: the stage's messages, the launch state as start-up draws it, and
// one run of requestSession against the session-service double with a scenario of the row's.
#pragma once

#include <windows.h>

#include "launcher.h"

#include <string>

extern const wchar_t connectText[];
extern const wchar_t sentinel[];   // errorText before each run: a stage that succeeds leaves it

bool isWine();
std::string envText(const char *name);
// The nonce as start-up draws it, once for the whole program, as in a real run.
void ensureLaunchState();
// Waits until the double's listening socket is in the state asked for ('0' closed, '1' open).
bool waitForListening(char state);
// Applies the scenario (NULL: none, the double decides by the code), empties the records, fills
// `code` as the window would and runs the stage with errorText preset to the sentinel.
bool runRequest(const char *scenario, const wchar_t *typed, SessionExchange *exchange);
