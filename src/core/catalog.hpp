// File-system and name-matching logic of the digital-twin catalog.
//
// Paths are raw byte strings in the platform's native form (the file-system
// encoding of the interpreter, UTF-8 with surrogate escapes on Linux); names
// are compared and ordered by code point after decoding them the way the
// interpreter decodes file names, so orderings match what Python code sees.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vkl::catalog {

// An operating-system error of a file-system query: errno value and the path.
struct FsError : std::runtime_error {
    int err;
    std::string path;
    FsError(int e, std::string p) : std::runtime_error("file-system error"), err(e), path(std::move(p)) {}
};

// A path the operating system cannot take (an embedded NUL byte).
struct BadPath : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- names ------------------------------------------------------------------
// Decode a file name as the interpreter does (UTF-8, undecodable bytes become
// U+DC80..U+DCFF).
std::u32string decode_fs(const std::string &bytes);
// Keep only the complete, valid UTF-8 sequences of `bytes` (undecodable bytes
// dropped) and return the result, still UTF-8 encoded.
std::string utf8_drop_invalid(const std::string &bytes);

// Shell-style name pattern: `*` any run of characters, `?` one character,
// `[...]` a set (`!` negates, ranges with `-`, `]` first is literal, an
// unclosed `[` is literal); everything else literal and case-sensitive.
// A pattern holding a path separator or a NUL never matches a single name.
class NamePattern {
public:
    explicit NamePattern(const std::u32string &pattern);
    bool match(const std::u32string &name) const;

private:
    struct Set {
        bool negated = false;
        bool never = false;   // empty set: matches nothing
        bool any = false;     // negated empty set: matches every character
        std::vector<std::pair<char32_t, char32_t>> ranges;
        bool contains(char32_t c) const;
    };
    struct Token {
        enum Kind { Literal, Any, Star, Class } kind;
        char32_t ch = 0;
        int set = -1;
    };
    bool match_from(size_t ti, const std::u32string &name, size_t ni) const;
    std::vector<Token> tokens_;
    std::vector<Set> sets_;
    bool impossible_ = false;
};

// The model name of a digital-twin library file name: the anchored match of
//   lib([A-Z0-9_]+?)_(AMD|Intel|Apple|ARMCompatible)_.*\.(so|dylib|dll)$
// (lazy group, `.` not matching a newline, `$` also before a final newline).
std::optional<std::u32string> artifact_model_name(const std::u32string &name);

// ---- paths --------------------------------------------------------------------
// Join two native path strings with one separator.
std::string join(const std::string &a, const std::string &b);
// The lexical parent of a path ("/" stays "/").
std::string parent(const std::string &path);
// Make `path` absolute and resolve symbolic links, keeping the parts that do
// not exist (the non-strict resolution of the interpreter).  Throws BadPath
// for an embedded NUL, FsError when the working directory cannot be read.
std::string resolve(const std::string &path);

// Existence tests that follow links and answer false on any error.
bool exists(const std::string &path);
bool is_dir(const std::string &path);

// Visit the names of the entries directly in `dir` (in listing order) until
// `visit` returns false.  Throws FsError when the directory cannot be listed.
void for_each_entry(const std::string &dir, const std::function<bool(const std::string &)> &visit);

// Names of the entries of `dir` matching `pattern`, ascending by code point.
std::vector<std::string> matching_entries(const std::string &dir, const NamePattern &pattern,
                                          bool directories_only = false);
// True when some entry of `dir` matches `pattern` (stops at the first).
bool has_matching_entry(const std::string &dir, const NamePattern &pattern);

// Model names of the library files directly in `dir`, unique and ascending.
std::vector<std::string> artifact_model_names(const std::string &dir);

// ---- platform -------------------------------------------------------------------
// CPU vendor from a processor information file: "AMD", "Intel" or "" (none);
// std::nullopt when the file does not exist.  Throws FsError when it exists
// but cannot be read.
std::optional<std::string> cpu_vendor(const std::string &cpuinfo_path);

} // namespace vkl::catalog
