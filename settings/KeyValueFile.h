#pragma once
// A small settings file of its own: one key=value a line, '#' lines as
// comments. The program knows some keys; every other line (comments, blank
// lines, keys of later releases) is kept as it was when the file is written
// again, and known keys the file lacked are added at its end. No Qt: the
// headless program, the dialogs and the tests share it.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kMaxKeyValueFileBytes = 64 * 1024;

class KeyValueFile {
  public:
    // keys: the known keys, in the order they are added to a file that
    // lacks them. check: what is wrong with a known key's value ("" for
    // nothing); none takes every value.
    using ValueCheck = std::function<std::string(std::string_view key, std::string_view value)>;
    explicit KeyValueFile(std::vector<std::string> keys, ValueCheck check = {});

    // Reads the file's text. A line that is neither blank, nor a comment,
    // nor key=value, a known key given twice, a control character in a known
    // value, a value check's complaint or a text beyond kMaxKeyValueFileBytes
    // make it damaged: false, with the line and what is wrong in error, and
    // nothing of it taken.
    bool Parse(std::string_view text, std::string* error);

    // A known key's value; "" when the file did not give it.
    const std::string& Value(std::string_view key) const;
    bool Given(std::string_view key) const;
    void Set(std::string_view key, std::string value);

    // The file's text: every line as read, the known keys' lines carrying
    // the current values, and known keys the file lacked added at its end.
    std::string Text() const;

  private:
    std::size_t IndexOf(std::string_view key) const;  // keys_.size() for none

    std::vector<std::string> keys_;
    ValueCheck check_;
    std::vector<std::string> values_;
    std::vector<bool> given_;
    std::vector<std::string> lines_;
};

enum class KeyValueLoad {
    kLoaded,
    kMissing,     // no file: the defaults
    kDamaged,     // error says where
    kUnreadable,  // error says why
};

// Reads the file at path into file. Anything but kLoaded leaves file as it
// was; error gets a message for the user naming the file, which what names
// ("The relay settings file").
KeyValueLoad LoadKeyValueFile(const std::string& path, const std::string& what, KeyValueFile* file,
                              std::string* error);
