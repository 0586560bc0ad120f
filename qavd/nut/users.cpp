// users: who may log in to the NUT server, read from a file in upsd.users' format.
#include "users.h"

#include "options.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <strings.h>

namespace {

// The largest users file read.
constexpr std::size_t maxFileSize = std::size_t{64} * 1024;

// Split a line of the file: words as splitWords() has them, the first "=" a word of its
// own, and "#" outside quotes at the start of a word the start of a comment. An error
// text, or "".
std::string fileWords(const std::string& line, std::vector<std::string>* words)
{
    std::string spaced;
    bool quoted = false;
    bool equals = false;
    for (std::size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        // Inside a word it would cut a password short without a word.
        if (!quoted && c == '#' && !spaced.empty() && spaced.back() != ' ' && spaced.back() != '\t')
            return "# inside a word: put a password that holds # in double quotes";
        if (!quoted && c == '#') break;
        if (quoted && c == '\\' && i + 1 < line.size()) {
            spaced.append(1, c).append(1, line[++i]);
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (!quoted && !equals && c == '=') {
            equals = true;
            spaced += " = ";
        } else {
            spaced += c;
        }
    }
    return splitWords(spaced, words) ? "" : "a quote is not closed";
}

// Whether two words are the same, ignoring case.
bool same(const std::string& a, const char* b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// Apply one "key [=] value" line to user; an error text, or "".
std::string applySetting(const std::vector<std::string>& words, NutUser* user, std::string* warning)
{
    const std::string& key = words[0];
    if (same(key, "actions") || same(key, "instcmds")) {
        *warning = key + " ignored: qavd offers no commands";
        return "";
    }
    std::size_t at = words.size() > 1 && words[1] == "=" ? 2 : 1;
    if (words.size() != at + 1 || words[at].empty()) return "expected " + key + " = VALUE";
    const std::string& value = words[at];
    if (same(key, "password")) {
        if (!user->password.empty()) return "a second password for " + user->name;
        user->password = value;
        return "";
    }
    if (!same(key, "upsmon")) return "unknown setting " + key + " (expected password, upsmon, actions or instcmds)";
    if (user->upsmon) return "a second upsmon line for " + user->name;
    user->upsmon = true;
    user->primary = same(value, "primary") || same(value, "master");
    if (!user->primary && !same(value, "secondary") && !same(value, "slave"))
        return "upsmon must be primary or secondary (or master or slave), not " + value;
    return "";
}

// A "[name]" line's name, or "" when the line is something else.
std::string sectionName(const std::vector<std::string>& words)
{
    if (words.size() != 1 || words[0].size() < 3 || words[0].front() != '[' || words[0].back() != ']') return "";
    return words[0].substr(1, words[0].size() - 2);
}

// Apply one line to users; an error text, or "".
std::string applyLine(const std::string& line, std::vector<NutUser>* users, std::string* warning)
{
    std::vector<std::string> words;
    if (std::string wrong = fileWords(line, &words); !wrong.empty()) return wrong;
    if (words.empty()) return "";
    if (std::string name = sectionName(words); !name.empty()) {
        if (std::any_of(users->begin(), users->end(), [&](const NutUser& u) { return u.name == name; }))
            return "user " + name + " is given twice";
        users->push_back({name, "", false, false});
        return "";
    }
    if (users->empty()) return words[0] + " outside a [user] section";
    return applySetting(words, &users->back(), warning);
}

} // namespace

bool splitWords(const std::string& line, std::vector<std::string>* words)
{
    words->clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            i++;
            continue;
        }
        std::string word;
        bool quoted = line[i] == '"';
        for (i += quoted ? 1 : 0; i < line.size(); i++) {
            char c = line[i];
            if (quoted && c == '"') break;
            if (!quoted && (c == ' ' || c == '\t')) break;
            if (c == '\\' && ++i == line.size()) return false;
            word += line[i];
        }
        if (quoted && i++ == line.size()) return false;
        words->push_back(word);
    }
    return true;
}

std::string readNutUsers(const std::string& path, std::vector<NutUser>* users, std::vector<std::string>* warnings)
{
    std::string text;
    std::string unreadable = readStartFile(path, maxFileSize, true, &text);
    if (!unreadable.empty()) return unreadable;
    if (text.size() > maxFileSize) return path + " is larger than 64 KiB";
    users->clear();
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string warning;
        std::string problem = applyLine(line, users, &warning);
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (!problem.empty()) return where + problem;
        if (!warning.empty()) warnings->push_back(where + warning);
    }
    auto without = std::find_if(users->begin(), users->end(), [](const NutUser& u) { return u.password.empty(); });
    return without == users->end() ? "" : path + ": user " + without->name + " has no password";
}
