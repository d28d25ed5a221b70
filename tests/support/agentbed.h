// A folder laid out as the launcher's own: a signed stand-in agent under the agent's name, the
// launch state pointed into it, and what the agent reported once it ran (see tools/agent).
#pragma once

#include "testbed.h"

#include <map>
#include <string>

struct AgentFolder {
    std::wstring folder;
    std::wstring agent;    // ...\KavroTechRemoteSupport-agent.exe
    std::wstring base;     // the same without ".exe": the agent's own files are base + ".report" etc.
};

// A fresh folder named `name` holding testbed/agents/<variant> as the agent (no agent when
// variant is empty), with agentPath and policyPath pointed into it.
AgentFolder placeAgent(const std::wstring &name, const std::wstring &variant);

// The agent's report as key=value pairs; empty when it never ran.
std::map<std::string, std::string> agentReport(const AgentFolder &bed);
