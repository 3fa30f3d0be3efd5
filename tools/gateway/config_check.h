// The checker of the configuration file that every section reads through:
// each section is a table of its keys, each key with what reads its value.
// It says every error of the file, each "FILE:LINE: what", and goes on after
// one: a person mends a file in one pass, not one error per start. Nothing of
// the YAML library's own wording or exceptions gets past it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <yaml-cpp/yaml.h>

namespace gateway {

class ConfigCheck;

// One key of a mapping. `read` takes its value and says what is wrong with
// it; false when it did not take it. A key without `read` is taken by its
// section after the table (its sub-sections).
struct ConfigKey {
    const char *name = nullptr;
    std::function<bool(ConfigCheck &check, const YAML::Node &value)> read;
};

ConfigKey TextKey(const char *name, std::string *value);
ConfigKey NumberKey(const char *name, int *value, long low, long high);
ConfigKey FlagKey(const char *name, bool *value);
// An IPv4 address to listen on.
ConfigKey AddressKey(const char *name, std::string *value);
// A key that its section reads itself.
ConfigKey OwnKey(const char *name);

class ConfigCheck {
  public:
    explicit ConfigCheck(const std::string &file) : file_(file) {}

    const std::string &File() const { return file_; }
    size_t Errors() const { return found_.size(); }
    // Every error said, in the order of the file's lines, each "FILE:LINE: what".
    std::vector<std::string> Said() const;

    void Fail(int line, const std::string &what);
    void Fail(const YAML::Node &node, const std::string &what) { Fail(LineOf(node), what); }
    // Where a node starts; 1 for one that has no place in the file (an empty
    // document, a key that is not given).
    static int LineOf(const YAML::Node &node);
    // The value of `key` in `map`, or `map` where the key is not given: where
    // an error about a value that may have come from elsewhere points.
    static YAML::Node At(const YAML::Node &map, const char *key);

    // Reads a mapping by its table of keys. An unknown key, a key given twice
    // and a value that its key refuses are each an error. False when `node`
    // is no mapping or a value was refused: what depends on the section's
    // values is then better left unchecked than reported on a guess.
    bool Read(const YAML::Node &node, const std::string &what, const std::vector<ConfigKey> &keys);

    // One value, as the keys of the tables read them.
    bool Text(const YAML::Node &value, const std::string &key, std::string &text);
    bool Number(const YAML::Node &value, const std::string &key, int &number, long low, long high);
    bool Flag(const YAML::Node &value, const std::string &key, bool &flag);

  private:
    std::string file_;
    std::vector<std::pair<int, std::string>> found_;  // line, what
};

// The text of the file as YAML, or false with its error said in our words.
bool LoadYaml(const std::string &text, ConfigCheck &check, YAML::Node &root);

}  // namespace gateway
