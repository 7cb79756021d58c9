// The one INI reader and writer: the module's profile calls on POSIX and the
// `mirad` host both use it, so a settings file means the same to both.
// It behaves like the Win32 profile functions in every way the module
// relies on:
//  - section and key names compare without regard to (ASCII) case;
//  - blanks around section names, keys and values are trimmed;
//  - an absent section or key, and a line without "=", yield nothing;
//  - one pair of matching quotes around a value is removed (FindValue);
//  - lines whose first non-blank character is ";" are comments;
//  - keys before the first section header belong to the section "";
//  - the first matching key wins when a name repeats;
//  - a UTF-8 byte-order mark before the first line is not part of it.
// Setting a key changes only that line or adds one, keeping every other
// byte: a new key goes after the last entry of its section, a new section
// at the end, each with the text's own line end (CR LF or LF; LF for an
// empty text).
#pragma once

#include <string>
#include <vector>

namespace mirad {
namespace ini {

// A text parsed once, for reading many keys from it.
class Document {
public:
    explicit Document(const std::string& content);
    // As FindValue.
    bool Find(const char* section, const char* key, std::string* value) const;

private:
    struct Entry {
        std::string section, key, value;  // keys with a value, in file order
    };
    std::vector<Entry> entries_;
};

// The value of the first `key` with a value in `section`, quotes removed;
// false when there is none.
bool FindValue(const std::string& content, const char* section, const char* key, std::string* value);

// Sets `key` in `section` of `content`. False (content unchanged) for a key
// or section name the reader would take for something else; a value keeps
// its first line only.
bool SetValue(std::string* content, const char* section, const char* key, const char* value);

}  // namespace ini
}  // namespace mirad
