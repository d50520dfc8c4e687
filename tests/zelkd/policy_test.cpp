// The channel policy as text, without a daemon: what parses, what is
// refused with its line, and who each rule lets through. Also the escaping
// of log lines, the other place where caller text meets zelkd's own.
#include "policy.h"

#include <string>

#include <gtest/gtest.h>

#include "log.h"

namespace {

using zelkd::Policy;
using zelkd::PolicyKind;

TEST(PolicyTest, RefusesBadTextNamingTheLine)
{
    const std::string tooLong = "own " + std::string(256, 'n') + " root\n";
    const struct {
        const char *text;
        const char *problem;
    } cases[] = {
        {"own a root\nbogus a root\n", "2: unknown rule"},
        {"\n\nown\n", "3: own needs"},
        {"attach a\n", "1: attach a names nobody"},
        {"own a*b root\n", "1: '*' may only end"},
        {"# fine\nown a no-such-user-here\n",
         "2: unknown user no-such-user-here"},
        {"own a @no-such-group-here\n", "1: unknown group no-such-group-here"},
        {tooLong.c_str(), "1: the pattern"},
    };
    for (const auto &c : cases) {
        Policy policy;
        EXPECT_EQ(0u, Policy::parse(c.text, policy).rfind(c.problem, 0))
            << c.text << " gave: " << Policy::parse(c.text, policy);
    }
}

TEST(PolicyTest, RulesGovernOnlyTheNamesAndKindsTheyMatch)
{
    Policy policy;
    ASSERT_EQ("", Policy::parse("# services\n"
                                "own svc.* daemon @4000 # comment\n"
                                "own svc.public *\n"
                                "attach svc.secret 1234 @nogroup\n",
                                policy));
    EXPECT_EQ(3u, policy.ruleCount());
    int asked = 0;
    const auto groups = [&](std::vector<gid_t> list) {
        return [&asked, list] {
            ++asked;
            return list;
        };
    };
    const auto own = [&](const char *name, uid_t uid, gid_t gid,
                         std::vector<gid_t> supplementary = {}) {
        return policy.allows(PolicyKind::Own, name, uid, gid,
                             groups(supplementary));
    };
    EXPECT_TRUE(own("svc.a", 0, 0));             // root
    EXPECT_TRUE(own("svc.a", 1, 1));             // daemon by name
    EXPECT_FALSE(own("svc.a", 500, 500));        // nobody listed
    EXPECT_TRUE(own("svc.a", 500, 4000));        // primary group
    EXPECT_TRUE(own("svc.a", 500, 500, {4000})); // supplementary group
    EXPECT_TRUE(own("svc.public", 500, 500));    // a second matching rule
    EXPECT_TRUE(own("svc", 500, 500));           // the prefix only: open
    EXPECT_TRUE(own("other", 500, 500));         // no rule: open
    // Attach rules are separate: svc.a is open to attach, svc.secret is not.
    EXPECT_TRUE(
        policy.allows(PolicyKind::Attach, "svc.a", 500, 500, groups({})));
    EXPECT_FALSE(policy.allows(PolicyKind::Attach, "svc.secret", 500, 500,
                               groups({1, 2})));
    EXPECT_TRUE(
        policy.allows(PolicyKind::Attach, "svc.secret", 1234, 500, groups({})));
    EXPECT_TRUE(policy.allows(PolicyKind::Attach, "svc.secret", 500, 500,
                              groups({65534})));
    // An exact pattern does not extend to longer names.
    EXPECT_TRUE(
        policy.allows(PolicyKind::Attach, "svc.secretx", 500, 500, groups({})));
    // Groups are read only where a listed group could decide.
    asked = 0;
    own("other", 500, 500);
    own("svc.a", 1, 1);
    own("svc.a", 500, 4000);
    EXPECT_EQ(0, asked);
}

TEST(LogTest, EscapesEverythingThatCouldForgeOrHideText)
{
    const std::string raw = std::string("a\nzelkd: stopped\t\\\x1b[2J\x7f") +
                            "\xff\xc3\x28" + "\xc0\xaf" + "\xc2\x85" +
                            "caf\xc3\xa9 \xe2\x82\xac" + std::string(1, '\0');
    EXPECT_EQ("a\\nzelkd: stopped\\t\\\\\\x1b[2J\\x7f\\xff\\xc3(\\xc0\\xaf"
              "\\xc2\\x85caf\xc3\xa9 \xe2\x82\xac\\x00",
              zelkd::escapeLogText(raw.data(), raw.size()));
}

} // namespace
