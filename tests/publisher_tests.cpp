// The publisher check against Wine's own WinVerifyTrust and crypt32: each case places one variant
// of the stand-in agent, signed by tests/bed/agents with the test PKI, as the agent in a folder of
// its own, and checks the verdict and the message. Known platform gaps are rows that skip.

#include <gtest/gtest.h>

#include "launcher.h"
#include "testbed.h"

#include <string.h>
#include <wchar.h>

#include <iterator>

namespace {

const wchar_t sentinel[] = L"errorText untouched";
const wchar_t verifyMessage[] = L"Windows could not verify the support agent. Please contact your technician.";

enum Placement { Copy, Held, Missing, Directory };

struct PublisherCase {
    const char *name;
    Placement placement;
    const wchar_t *variant;   // file in testbed/agents, for Copy and Held
    bool accepted;
    // A platform gap: when set, a verdict of !accepted is what the platform cannot show, and the
    // row is skipped with this reason instead of failing. "always" rows cannot run at all.
    const char *gap = NULL;
    bool always = false;
};

const PublisherCase publisherCases[] = {
    { "good",                 Copy,      L"good.exe",                   true },
    // The worker holds the file open for reading, sharing only reading, while it checks it.
    { "good_while_held",      Held,      L"good.exe",                   true },
    { "other_publisher",      Copy,      L"otherpublisher.exe",         false },
    { "lowercase_name",       Copy,      L"lowercase.exe",              false },
    { "name_with_ltd",        Copy,      L"quintavel-ltd.exe",          false },
    { "name_with_space",      Copy,      L"quintavel-space.exe",        false },
    // Only a subject with exactly one common name, exactly ours, counts: not a name cut at an
    // embedded NUL, not the fallback to an organisation or unit, not one CN of two, whichever
    // comes first.
    { "cn_with_nul",          Copy,      L"cn-nul.exe",                 false },
    { "ou_without_cn",        Copy,      L"ou-only.exe",                false },
    { "o_without_cn",         Copy,      L"o-only.exe",                 false },
    { "two_cns",              Copy,      L"two-cns.exe",                false },
    { "two_cns_ours_last",    Copy,      L"two-cns-ours-last.exe",      false },
    { "cn_beside_o",          Copy,      L"cn-beside-o.exe",            true },
    { "untrusted_root",       Copy,      L"untrusted.exe",              false },
    { "disallowed_signer",    Copy,      L"disallowed.exe",             false,
      "Wine's Authenticode policy does not consult the Disallowed store" },
    { "unsigned",             Copy,      L"unsigned.exe",               false },
    { "altered_one_byte",     Copy,      L"altered.exe",                false },
    { "missing",              Missing,   NULL,                          false },
    { "empty_file",           Copy,      L"empty.exe",                  false },
    { "directory",            Directory, NULL,                          false },
    // A certificate in our name travels in another publisher's signature, sorted before and
    // after the signer's; only the signer's counts.
    { "carries_our_cert",     Copy,      L"carries-quintavel.exe",      false },
    { "carries_our_name_last", Copy,     L"carries-quintavel-long.exe", false },
    // Only the first signer counts, whatever is nested in its signature.
    { "nested_ours_first",    Copy,      L"nested-quintavel-first.exe", true },
    { "nested_other_first",   Copy,      L"nested-other-first.exe",     false },
    // The check looks at the signature only; that Windows cannot start a DLL shows later.
    { "signed_dll",           Copy,      L"notanexe.exe",               true },
    { "revoked_signer",       Copy,      L"revoked.exe",                false,
      "Wine does not check certificate revocation", true },
};

void PrintTo(const PublisherCase &row, std::ostream *out)
{
    *out << row.name;
}

// Returns the handle that holds the agent for a Held row, else INVALID_HANDLE_VALUE.
HANDLE placeAgent(const PublisherCase &row)
{
    placeLaunchState(freshFolder(L"publisher-" + widen(row.name)));
    if (row.placement == Copy || row.placement == Held) {
        EXPECT_TRUE(copyFile(bedPath(L"agents\\") + row.variant, agentPath))
            << "cannot copy " << narrow(row.variant) << " (did tests/bed/agents run?)";
    } else if (row.placement == Directory) {
        EXPECT_TRUE(CreateDirectoryW(agentPath, NULL)) << "cannot make a folder at the agent's path";
    }
    if (row.placement != Held)
        return INVALID_HANDLE_VALUE;
    HANDLE hold = CreateFileW(agentPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, hold) << "cannot hold the agent, error " << GetLastError();
    return hold;
}

bool verifyWithSentinel()
{
    wcscpy(errorText, sentinel);
    return verifyAgentPublisher();
}

// The verdict and the message must agree: untouched on success, exactly ours on failure.
void expectVerdict(bool expected, bool got)
{
    EXPECT_EQ(expected, got) << "expected " << (expected ? "accepted" : "refused") << ", got "
                             << (got ? "accepted" : "refused");
    const wchar_t *message = expected ? sentinel : verifyMessage;
    EXPECT_STREQ(message, errorText) << "expected errorText \"" << narrow(message) << "\", got \""
                                     << narrow(errorText) << "\"";
}

class PublisherCheck : public testing::TestWithParam<PublisherCase> {};

TEST_P(PublisherCheck, AcceptsOnlyOurTrustedSignature)
{
    const PublisherCase &row = GetParam();
    SCOPED_TRACE(testing::Message() << "case " << row.name);
    if (row.always)
        GTEST_SKIP() << row.gap;
    HANDLE hold = placeAgent(row);
    bool got = verifyWithSentinel();
    if (hold != INVALID_HANDLE_VALUE)
        CloseHandle(hold);
    if (row.gap != NULL && got != row.accepted)
        GTEST_SKIP() << row.gap << " (accepted " << row.name << ")";
    expectVerdict(row.accepted, got);
}

INSTANTIATE_TEST_SUITE_P(Agents, PublisherCheck, testing::ValuesIn(publisherCases),
                         [](const testing::TestParamInfo<PublisherCase> &info) { return info.param.name; });

// Nothing is remembered between attempts: the file is judged afresh each time.
TEST(PublisherCheckRepeat, JudgesTheFileOnEveryCall)
{
    static const struct { const wchar_t *variant; bool accepted; } steps[] = {
        { L"good.exe", true },   { L"unsigned.exe", false },        { L"good.exe", true },
        { L"good.exe", true },   { L"otherpublisher.exe", false },  { L"good.exe", true },
    };
    std::wstring folder = freshFolder(L"publisher-repeat");
    placeLaunchState(folder);
    for (size_t i = 0; i < std::size(steps); i++) {
        SCOPED_TRACE(testing::Message() << "step " << i << ": " << narrow(steps[i].variant));
        ASSERT_TRUE(copyFile(bedPath(L"agents\\") + steps[i].variant, agentPath));
        expectVerdict(steps[i].accepted, verifyWithSentinel());
    }
}

}  // namespace
