// See agentbed.h.

#include "agentbed.h"

#include "launcher.h"

AgentFolder placeAgent(const std::wstring &name, const std::wstring &variant)
{
    AgentFolder bed;
    bed.folder = freshFolder(name);
    bed.base = bed.folder + L"\\KavroTechRemoteSupport-agent";
    bed.agent = bed.base + L".exe";
    if (!variant.empty())
        copyFile(bedPath(L"agents\\" + variant), bed.agent);
    placeLaunchState(bed.folder);
    return bed;
}

std::map<std::string, std::string> agentReport(const AgentFolder &bed)
{
    std::map<std::string, std::string> report;
    std::string text;
    if (!readFile(bed.base + L".report", &text))
        return report;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            report[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return report;
}
