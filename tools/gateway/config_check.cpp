#include "tools/gateway/config_check.h"

#include <arpa/inet.h>
#include <stdlib.h>

#include <algorithm>
#include <map>

namespace gateway {

namespace {

// The parser's complaints that a person meets, said as what to mend.
const std::map<std::string, std::string> kParseErrors = {
    {YAML::ErrorMsg::END_OF_MAP_FLOW, "a '{' is not closed by its '}'"},
    {YAML::ErrorMsg::END_OF_SEQ_FLOW, "a '[' is not closed by its ']'"},
    {YAML::ErrorMsg::END_OF_MAP,
     "a line is indented less than the key: value lines it belongs with, or more"},
    {YAML::ErrorMsg::END_OF_SEQ, "a line is indented out of step with the list it belongs to"},
    {YAML::ErrorMsg::TAB_IN_INDENTATION, "a tab in the indentation: indent with spaces"},
    {YAML::ErrorMsg::EOF_IN_SCALAR, "a quoted text is not closed"},
    {YAML::ErrorMsg::FLOW_END, "a ']' or '}' that closes nothing"},
    {YAML::ErrorMsg::BLOCK_ENTRY, "a '- ' list entry where no list can begin"},
    {YAML::ErrorMsg::MAP_KEY, "a key where no key can begin"},
    {YAML::ErrorMsg::MAP_VALUE,
     "a ': ' where no value can begin (a text that holds ': ' needs quotes)"},
    {YAML::ErrorMsg::UNKNOWN_ANCHOR, "an alias (*name) whose anchor (&name) is not above it"},
    {YAML::ErrorMsg::UNKNOWN_TOKEN, "a character that begins nothing here"},
};

}  // namespace

ConfigKey TextKey(const char *name, std::string *value) {
    return {name, [name, value](ConfigCheck &check, const YAML::Node &node) {
                return check.Text(node, name, *value);
            }};
}

ConfigKey NumberKey(const char *name, int *value, long low, long high) {
    return {name, [=](ConfigCheck &check, const YAML::Node &node) {
                return check.Number(node, name, *value, low, high);
            }};
}

ConfigKey FlagKey(const char *name, bool *value) {
    return {name, [name, value](ConfigCheck &check, const YAML::Node &node) {
                return check.Flag(node, name, *value);
            }};
}

ConfigKey AddressKey(const char *name, std::string *value) {
    return {name, [name, value](ConfigCheck &check, const YAML::Node &node) {
                if (!check.Text(node, name, *value))
                    return false;
                in_addr address;
                if (inet_pton(AF_INET, value->c_str(), &address) == 1)
                    return true;
                check.Fail(node, std::string(name) + " takes an IPv4 address such as 127.0.0.1");
                return false;
            }};
}

ConfigKey OwnKey(const char *name) {
    return {name, nullptr};
}

void ConfigCheck::Fail(int line, const std::string &what) {
    found_.emplace_back(std::max(line, 1), what);
}

std::vector<std::string> ConfigCheck::Said() const {
    std::vector<std::pair<int, std::string>> sorted = found_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::string> said;
    for (const auto &[line, what] : sorted)
        said.push_back(file_ + ":" + std::to_string(line) + ": " + what);
    return said;
}

int ConfigCheck::LineOf(const YAML::Node &node) {
    // An invalid node (a key looked up that is not there) throws on Mark().
    if (!node.IsDefined())
        return 1;
    return std::max(node.Mark().line + 1, 1);
}

YAML::Node ConfigCheck::At(const YAML::Node &map, const char *key) {
    if (map.IsMap() && map[key])
        return map[key];
    return map;
}

bool ConfigCheck::Read(const YAML::Node &node, const std::string &what,
                       const std::vector<ConfigKey> &keys) {
    if (!node.IsMap()) {
        Fail(node, what + " is a mapping (key: value lines)");
        return false;
    }
    bool taken = true;
    std::map<std::string, int> seen;  // key: its line
    for (const auto &entry : node) {
        if (!entry.first.IsScalar()) {
            Fail(entry.first, "a key in " + what + " is a name, not a list or a mapping");
            continue;
        }
        const std::string name = entry.first.Scalar();
        const int line = LineOf(entry.first);
        const auto [first, added] = seen.emplace(name, line);
        if (!added) {
            // The library would quietly keep the first and drop this one.
            Fail(line, "'" + name + "' is given twice in " + what + " (first at line " +
                           std::to_string(first->second) + ")");
            continue;
        }
        const auto key = std::find_if(keys.begin(), keys.end(),
                                      [&](const ConfigKey &k) { return name == k.name; });
        if (key == keys.end()) {
            std::string known;
            for (const ConfigKey &k : keys)
                known += std::string(known.empty() ? "" : ", ") + k.name;
            Fail(line, "unknown key '" + name + "' in " + what + " (known: " + known + ")");
        } else if (key->read && !key->read(*this, entry.second)) {
            taken = false;
        }
    }
    return taken;
}

bool ConfigCheck::Text(const YAML::Node &value, const std::string &key, std::string &text) {
    if (!value.IsScalar() || value.Scalar().empty()) {
        Fail(value, key + " takes a text");
        return false;
    }
    text = value.Scalar();
    return true;
}

bool ConfigCheck::Number(const YAML::Node &value, const std::string &key, int &number, long low,
                         long high) {
    const std::string text = value.IsScalar() ? value.Scalar() : "";
    char *end = nullptr;
    const long parsed = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) {
        Fail(value, key + " takes a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ", not '" + text + "'");
        return false;
    }
    number = static_cast<int>(parsed);
    return true;
}

bool ConfigCheck::Flag(const YAML::Node &value, const std::string &key, bool &flag) {
    const std::string text = value.IsScalar() ? value.Scalar() : "";
    if (text == "true" || text == "yes") {
        flag = true;
    } else if (text == "false" || text == "no") {
        flag = false;
    } else {
        Fail(value, key + " takes true or false, not '" + text + "'");
        return false;
    }
    return true;
}

bool LoadYaml(const std::string &text, ConfigCheck &check, YAML::Node &root) {
    try {
        root = YAML::Load(text);
        return true;
    } catch (const YAML::Exception &e) {
        const auto known = kParseErrors.find(e.msg);
        const std::string what =
            known != kParseErrors.end()
                ? known->second
                : "this cannot be read as YAML (the parser stopped at: " + e.msg + ")";
        // Where the parser stopped, which is the line to look at; its column
        // is often that of the enclosing key rather than of the fault.
        check.Fail(e.mark.line + 1, what);
    }
    return false;
}

}  // namespace gateway
