#include "core/catalog.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vkl::catalog {

// ---- UTF-8 -------------------------------------------------------------------
namespace {

// Length of the valid UTF-8 sequence starting at s[i] and its code point, or
// 0 when the bytes there do not form one (strict rules: no overlong forms,
// no surrogates, nothing above U+10FFFF).
size_t utf8_sequence(const std::string &s, size_t i, char32_t &cp) {
    auto b = [&](size_t k) { return (unsigned char) s[k]; };
    size_t n = s.size();
    unsigned c0 = b(i);
    if (c0 < 0x80) {
        cp = c0;
        return 1;
    }
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        len = 2;
        cp = c0 & 0x1F;
    } else if (c0 >= 0xE0 && c0 <= 0xEF) {
        len = 3;
        cp = c0 & 0x0F;
        if (c0 == 0xE0)
            lo = 0xA0;
        else if (c0 == 0xED)
            hi = 0x9F;
    } else if (c0 >= 0xF0 && c0 <= 0xF4) {
        len = 4;
        cp = c0 & 0x07;
        if (c0 == 0xF0)
            lo = 0x90;
        else if (c0 == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > n)
        return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned c = b(i + k);
        unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (c < l || c > h)
            return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    return len;
}

} // namespace

std::u32string decode_fs(const std::string &bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp;
        size_t len = utf8_sequence(bytes, i, cp);
        if (len) {
            out.push_back(cp);
            i += len;
        } else {
            // A byte that starts no valid sequence (the bytes of a broken
            // sequence are continuation bytes, which start none either).
            out.push_back(0xDC00 + (unsigned char) bytes[i]);
            ++i;
        }
    }
    return out;
}

std::string utf8_drop_invalid(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp;
        size_t len = utf8_sequence(bytes, i, cp);
        if (len) {
            out.append(bytes, i, len);
            i += len;
        } else {
            ++i;
        }
    }
    return out;
}

// ---- name patterns ----------------------------------------------------------------
bool NamePattern::Set::contains(char32_t c) const {
    if (never)
        return false;
    if (any)
        return true;
    bool in = false;
    for (auto &r : ranges)
        if (c >= r.first && c <= r.second) {
            in = true;
            break;
        }
    return in != negated;
}

namespace {

// Parse the body of a character class written in regular-expression syntax
// (backslash escapes, ranges with '-', a '-' before the end is literal).
void parse_class_body(const std::u32string &body, std::vector<std::pair<char32_t, char32_t>> &ranges) {
    size_t i = 0, n = body.size();
    auto next = [&](char32_t &c) -> bool {
        if (i >= n)
            return false;
        if (body[i] == U'\\' && i + 1 < n) {
            c = body[i + 1];
            i += 2;
        } else {
            c = body[i++];
        }
        return true;
    };
    char32_t c1;
    while (next(c1)) {
        if (i < n && body[i] == U'-' && i + 1 < n) {
            ++i;
            char32_t c2;
            next(c2);
            if (c2 >= c1)
                ranges.emplace_back(c1, c2);
            // A reversed range cannot arise from the set construction below.
        } else {
            ranges.emplace_back(c1, c1);
        }
    }
}

std::u32string escape_class_chunk(const std::u32string &s, bool hyphens) {
    std::u32string out;
    for (char32_t c : s) {
        if (c == U'\\' || (hyphens && c == U'-'))
            out.push_back(U'\\');
        out.push_back(c);
    }
    return out;
}

} // namespace

NamePattern::NamePattern(const std::u32string &pat) {
    const size_t n = pat.size();
    if (pat.find(U'/') != std::u32string::npos) {
        // Artifacts lie directly in one directory: a name never holds a separator.
        impossible_ = true;
        return;
    }
    size_t i = 0;
    while (i < n) {
        char32_t c = pat[i++];
        if (c == U'*') {
            if (tokens_.empty() || tokens_.back().kind != Token::Star)
                tokens_.push_back({Token::Star});
        } else if (c == U'?') {
            tokens_.push_back({Token::Any});
        } else if (c == U'[') {
            size_t j = i;
            if (j < n && pat[j] == U'!')
                ++j;
            if (j < n && pat[j] == U']')
                ++j;
            while (j < n && pat[j] != U']')
                ++j;
            if (j >= n) {
                tokens_.push_back({Token::Literal, U'['});
                continue;
            }
            std::u32string stuff = pat.substr(i, j - i);
            if (stuff.find(U'-') == std::u32string::npos) {
                stuff = escape_class_chunk(stuff, false);
            } else {
                // Split at the hyphens that make ranges; drop empty ranges.
                std::vector<std::u32string> chunks;
                size_t start = i;
                size_t k = pat[i] == U'!' ? i + 2 : i + 1;
                while (true) {
                    size_t h = k < j ? pat.find(U'-', k) : std::u32string::npos;
                    if (h == std::u32string::npos || h >= j)
                        break;
                    chunks.push_back(pat.substr(start, h - start));
                    start = h + 1;
                    k = h + 3;
                }
                std::u32string last = pat.substr(start, j - start);
                if (!last.empty())
                    chunks.push_back(last);
                else
                    chunks.back().push_back(U'-');
                for (size_t m = chunks.size() - 1; m > 0; --m) {
                    if (chunks[m - 1].back() > chunks[m].front()) {
                        chunks[m - 1] = chunks[m - 1].substr(0, chunks[m - 1].size() - 1) + chunks[m].substr(1);
                        chunks.erase(chunks.begin() + (long) m);
                    }
                }
                stuff.clear();
                for (size_t m = 0; m < chunks.size(); ++m) {
                    if (m)
                        stuff.push_back(U'-');
                    stuff += escape_class_chunk(chunks[m], true);
                }
            }
            i = j + 1;
            Set set;
            if (stuff.empty()) {
                set.never = true;
            } else if (stuff == U"!") {
                set.any = true;
            } else {
                std::u32string body = stuff;
                if (stuff[0] == U'!') {
                    set.negated = true;
                    body = stuff.substr(1);
                }
                // A leading '^' or '[' is written escaped: a literal either way.
                parse_class_body(body, set.ranges);
            }
            sets_.push_back(std::move(set));
            tokens_.push_back({Token::Class, 0, (int) sets_.size() - 1});
        } else {
            tokens_.push_back({Token::Literal, c});
        }
    }
}

bool NamePattern::match(const std::u32string &name) const {
    if (impossible_)
        return false;
    return match_from(0, name, 0);
}

bool NamePattern::match_from(size_t ti, const std::u32string &name, size_t ni) const {
    // Every token but `*` takes exactly one character, so backtracking to the
    // most recent star is enough.
    size_t star_t = (size_t) -1, star_n = 0;
    while (true) {
        if (ti < tokens_.size()) {
            const Token &t = tokens_[ti];
            if (t.kind == Token::Star) {
                star_t = ti++;
                star_n = ni;
                continue;
            }
            if (ni < name.size()) {
                char32_t c = name[ni];
                bool ok = t.kind == Token::Any || (t.kind == Token::Literal && t.ch == c) ||
                          (t.kind == Token::Class && sets_[(size_t) t.set].contains(c));
                if (ok) {
                    ++ti;
                    ++ni;
                    continue;
                }
            }
        } else if (ni == name.size()) {
            return true;
        }
        if (star_t == (size_t) -1 || star_n >= name.size())
            return false;
        ti = star_t + 1;
        ni = ++star_n;
    }
}

// ---- library names ----------------------------------------------------------------
std::optional<std::u32string> artifact_model_name(const std::u32string &name) {
    static const std::u32string vendors[] = {U"AMD", U"Intel", U"Apple", U"ARMCompatible"};
    static const std::u32string exts[] = {U".so", U".dylib", U".dll"};
    if (name.compare(0, 3, U"lib") != 0)
        return std::nullopt;
    auto group_char = [](char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'_'; };
    auto tail_ok = [&](size_t pos) {
        // `.*\.(so|dylib|dll)$` from pos: `$` may stand before one final newline.
        std::u32string t = name.substr(pos);
        if (!t.empty() && t.back() == U'\n')
            t.pop_back();
        if (t.find(U'\n') != std::u32string::npos)
            return false;
        for (auto &e : exts)
            if (t.size() >= e.size() && t.compare(t.size() - e.size(), e.size(), e) == 0)
                return true;
        return false;
    };
    for (size_t end = 4; end <= name.size(); ++end) {
        if (!group_char(name[end - 1]))
            break;
        if (end >= name.size() || name[end] != U'_')
            continue;
        for (auto &v : vendors) {
            size_t p = end + 1;
            if (name.compare(p, v.size(), v) == 0 && p + v.size() < name.size() && name[p + v.size()] == U'_' &&
                tail_ok(p + v.size() + 1))
                return name.substr(3, end - 3);
        }
    }
    return std::nullopt;
}

// ---- paths ------------------------------------------------------------------------
std::string join(const std::string &a, const std::string &b) {
    if (a.empty())
        return b;
    if (a.back() == '/')
        return a + b;
    return a + "/" + b;
}

std::string parent(const std::string &path) {
    size_t pos = path.find_last_not_of('/');
    if (pos == std::string::npos)
        return path.empty() ? std::string(".") : std::string("/");
    size_t slash = path.rfind('/', pos);
    if (slash == std::string::npos)
        return ".";
    size_t end = path.find_last_not_of('/', slash);
    if (end == std::string::npos)
        return "/";
    return path.substr(0, end + 1);
}

namespace {

std::string current_dir() {
    std::string buf(256, '\0');
    while (true) {
        if (::getcwd(buf.data(), buf.size()))
            return std::string(buf.c_str());
        if (errno != ERANGE)
            throw FsError(errno, ".");
        buf.resize(buf.size() * 2);
    }
}

std::vector<std::string> split_reversed(const std::string &s) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t p = s.find('/', start);
        if (p == std::string::npos) {
            parts.push_back(s.substr(start));
            break;
        }
        parts.push_back(s.substr(start, p - start));
        start = p + 1;
    }
    std::reverse(parts.begin(), parts.end());
    return parts;
}

} // namespace

std::string resolve(const std::string &filename) {
    if (filename.find('\0') != std::string::npos)
        throw BadPath("embedded null byte");
    // The stack of unresolved parts; a marker entry records that the link
    // below it has been fully resolved.
    struct Item {
        std::string text;
        bool marker;
    };
    std::vector<Item> rest;
    for (auto &p : split_reversed(filename))
        rest.push_back({p, false});
    std::string path = !filename.empty() && filename[0] == '/' ? std::string("/") : current_dir();
    // Link path -> resolved target (nullopt while being resolved: a loop).
    std::map<std::string, std::optional<std::string>> seen;
    while (!rest.empty()) {
        Item item = std::move(rest.back());
        rest.pop_back();
        if (item.marker) {
            std::string link = std::move(rest.back().text);
            rest.pop_back();
            seen[link] = path;
            continue;
        }
        const std::string &name = item.text;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            size_t p = path.rfind('/');
            path = p == 0 || p == std::string::npos ? std::string("/") : path.substr(0, p);
            continue;
        }
        std::string newpath = path == "/" ? path + name : path + "/" + name;
        struct stat st;
        if (::lstat(newpath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            path = newpath;
            continue;
        }
        auto it = seen.find(newpath);
        if (it != seen.end()) {
            // Known link: its resolved target, or (still unresolved) a loop,
            // which keeps the link path itself.
            path = it->second ? *it->second : newpath;
            continue;
        }
        std::error_code ec;
        fs::path target_p = fs::read_symlink(fs::path(newpath), ec);
        if (ec) {
            path = newpath;
            continue;
        }
        std::string target = target_p.native();
        seen[newpath] = std::nullopt;
        if (!target.empty() && target[0] == '/')
            path = "/";
        rest.push_back({newpath, false});
        rest.push_back({std::string(), true});
        for (auto &p : split_reversed(target))
            rest.push_back({p, false});
    }
    return path;
}

bool exists(const std::string &path) {
    if (path.find('\0') != std::string::npos)
        return false;
    std::error_code ec;
    return fs::exists(fs::status(fs::path(path), ec));
}

bool is_dir(const std::string &path) {
    if (path.find('\0') != std::string::npos)
        return false;
    std::error_code ec;
    return fs::is_directory(fs::status(fs::path(path), ec));
}

void for_each_entry(const std::string &dir, const std::function<bool(const std::string &)> &visit) {
    if (dir.find('\0') != std::string::npos)
        throw BadPath("embedded null byte");
    std::error_code ec;
    fs::directory_iterator it(fs::path(dir), ec);
    if (ec)
        throw FsError(ec.value(), dir);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            throw FsError(ec.value(), dir);
        if (!visit(it->path().filename().native()))
            return;
    }
    if (ec)
        throw FsError(ec.value(), dir);
}

std::vector<std::string> matching_entries(const std::string &dir, const NamePattern &pattern, bool directories_only) {
    std::vector<std::pair<std::u32string, std::string>> found;
    for_each_entry(dir, [&](const std::string &name) {
        std::u32string decoded = decode_fs(name);
        if (pattern.match(decoded) && (!directories_only || is_dir(join(dir, name))))
            found.emplace_back(std::move(decoded), name);
        return true;
    });
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    out.reserve(found.size());
    for (auto &f : found)
        out.push_back(std::move(f.second));
    return out;
}

bool has_matching_entry(const std::string &dir, const NamePattern &pattern) {
    bool found = false;
    for_each_entry(dir, [&](const std::string &name) {
        found = pattern.match(decode_fs(name));
        return !found;
    });
    return found;
}

std::vector<std::string> artifact_model_names(const std::string &dir) {
    std::set<std::u32string> names;
    for_each_entry(dir, [&](const std::string &name) {
        if (auto g = artifact_model_name(decode_fs(name)))
            names.insert(*g);
        return true;
    });
    std::vector<std::string> out;
    for (auto &n : names)
        out.emplace_back(n.begin(), n.end()); // the group is ASCII
    return out;
}

// ---- platform -------------------------------------------------------------------
std::optional<std::string> cpu_vendor(const std::string &path) {
    if (!exists(path))
        return std::nullopt;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FsError(errno, path);
    std::string data;
    char buf[65536];
    while (true) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::close(fd);
            throw FsError(e, path);
        }
        if (r == 0)
            break;
        data.append(buf, (size_t) r);
    }
    ::close(fd);
    std::string text = utf8_drop_invalid(data);
    if (text.find("AuthenticAMD") != std::string::npos)
        return std::string("AMD");
    if (text.find("GenuineIntel") != std::string::npos)
        return std::string("Intel");
    return std::string();
}

} // namespace vkl::catalog
