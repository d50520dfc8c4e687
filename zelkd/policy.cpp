// Parsing and applying the channel policy. One rule per line:
//   own PATTERN WHO...    attach PATTERN WHO...
// PATTERN is a channel name, or a prefix followed by '*'; WHO is a user
// name, a numeric uid, @group, @gid or '*'. '#' starts a comment.
#include "policy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <grp.h>
#include <pwd.h>

#include "driver/protocol.h"

namespace zelkd {

namespace {

bool parseNumber(const std::string &text, unsigned &id)
{
    if (text.empty() ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long number = strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || number > 0xFFFFFFFEul)
        return false;
    id = static_cast<unsigned>(number);
    return true;
}

bool lookUpUser(const std::string &name, unsigned &id)
{
    if (parseNumber(name, id))
        return true;
    const passwd *pw = getpwnam(name.c_str());
    if (pw != nullptr)
        id = pw->pw_uid;
    return pw != nullptr;
}

bool lookUpGroup(const std::string &name, unsigned &id)
{
    if (parseNumber(name, id))
        return true;
    const group *gr = getgrnam(name.c_str());
    if (gr != nullptr)
        id = gr->gr_gid;
    return gr != nullptr;
}

} // namespace

std::string Policy::parse(const std::string &text, Policy &policy)
{
    std::vector<Rule> rules;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        const std::string at = std::to_string(number) + ": ";
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword))
            continue;
        Rule rule{};
        if (keyword == "own")
            rule.kind = PolicyKind::Own;
        else if (keyword == "attach")
            rule.kind = PolicyKind::Attach;
        else
            return at + "unknown rule \"" + keyword +
                   "\" (own or attach expected)";
        std::string pattern;
        if (!(words >> pattern))
            return at + keyword + " needs a channel name pattern";
        rule.wildcard = pattern.back() == '*';
        rule.prefix =
            rule.wildcard ? pattern.substr(0, pattern.size() - 1) : pattern;
        if (rule.prefix.find('*') != std::string::npos)
            return at + "'*' may only end a pattern: " + pattern;
        if (rule.prefix.size() >= zelk::protocol::kNameBytes)
            return at + "the pattern is longer than a channel name";
        std::string word;
        while (words >> word) {
            Who who{Who::Type::Everybody, 0};
            if (word == "*") {
                who.type = Who::Type::Everybody;
            } else if (word[0] == '@') {
                who.type = Who::Type::Group;
                if (!lookUpGroup(word.substr(1), who.id))
                    return at + "unknown group " + word.substr(1);
            } else {
                who.type = Who::Type::User;
                if (!lookUpUser(word, who.id))
                    return at + "unknown user " + word;
            }
            rule.who.push_back(who);
        }
        if (rule.who.empty())
            return at + keyword + " " + pattern +
                   " names nobody (a user, @group or * expected)";
        rules.push_back(std::move(rule));
    }
    policy.rules_ = std::move(rules);
    return "";
}

bool Policy::allows(PolicyKind kind, const std::string &name, uid_t uid,
                    gid_t gid, const GroupSource &groups) const
{
    if (uid == 0)
        return true;
    bool governed = false;
    bool groupsRead = false;
    std::vector<gid_t> supplementary;
    for (const Rule &rule : rules_) {
        if (rule.kind != kind ||
            name.compare(0, rule.prefix.size(), rule.prefix) != 0 ||
            (!rule.wildcard && name.size() != rule.prefix.size()))
            continue;
        governed = true;
        for (const Who &who : rule.who) {
            if (who.type == Who::Type::Everybody ||
                (who.type == Who::Type::User && who.id == uid) ||
                (who.type == Who::Type::Group && who.id == gid))
                return true;
            if (who.type != Who::Type::Group)
                continue;
            if (!groupsRead) {
                supplementary = groups();
                groupsRead = true;
            }
            for (const gid_t member : supplementary)
                if (member == who.id)
                    return true;
        }
    }
    return !governed;
}

std::string loadPolicy(const std::string &path, Policy &policy)
{
    std::ifstream file(path);
    if (!file)
        return path + ": " + strerror(errno);
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        return path + ": cannot be read";
    const std::string problem = Policy::parse(text.str(), policy);
    return problem.empty() ? "" : path + ":" + problem;
}

std::vector<gid_t> processGroups(pid_t pid)
{
    std::vector<gid_t> groups;
    char path[48];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 7, "Groups:") != 0)
            continue;
        std::istringstream ids(line.substr(7));
        unsigned long id;
        while (ids >> id)
            groups.push_back(static_cast<gid_t>(id));
        break;
    }
    return groups;
}

} // namespace zelkd
