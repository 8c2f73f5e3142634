#include "runtime/text.hpp"

#include <algorithm>
#include <cstdint>

namespace halyard {

namespace {

struct LowerRun {
    uint32_t first, last;
    int32_t stride, delta;
};
struct LowerMulti {
    uint32_t cp;
    int32_t len;
    uint32_t seq[3];
};
struct CodeRange {
    uint32_t first, last;
};

#include "runtime/lowercase_table.inc"

template <size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) noexcept {
    auto it = std::upper_bound(std::begin(table), std::end(table), static_cast<uint32_t>(cp),
                               [](uint32_t v, const CodeRange& r) { return v < r.first; });
    if (it == std::begin(table)) return false;
    --it;
    return cp <= it->last;
}

char32_t lower_simple(char32_t cp) noexcept {
    auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), static_cast<uint32_t>(cp),
                               [](uint32_t v, const LowerRun& r) { return v < r.first; });
    if (it == std::begin(kLowerRuns)) return cp;
    --it;
    if (cp > it->last || (cp - it->first) % static_cast<uint32_t>(it->stride) != 0) return cp;
    return static_cast<char32_t>(static_cast<int64_t>(cp) + it->delta);
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_cased(char32_t cp) noexcept { return in_ranges(kCased, cp); }
bool is_case_ignorable(char32_t cp) noexcept { return in_ranges(kCaseIgnorable, cp); }

// Step back over one UTF-8 encoded code point ending before `pos`.
char32_t decode_before(std::string_view s, size_t& pos) noexcept {
    size_t start = pos - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && pos - start < 4) --start;
    size_t p = start;
    char32_t cp = decode_utf8(s, p);
    pos = start;
    return cp;
}

// Final-sigma context: preceded by a cased letter and not followed by one,
// skipping case-ignorable code points on both sides.
bool is_final_sigma(std::string_view s, size_t sigma_start, size_t sigma_end) noexcept {
    size_t pos = sigma_start;
    bool preceded = false;
    while (pos > 0) {
        char32_t cp = decode_before(s, pos);
        if (is_case_ignorable(cp)) continue;
        preceded = is_cased(cp);
        break;
    }
    if (!preceded) return false;
    pos = sigma_end;
    while (pos < s.size()) {
        char32_t cp = decode_utf8(s, pos);
        if (is_case_ignorable(cp)) continue;
        return !is_cased(cp);
    }
    return true;
}

}  // namespace

char32_t decode_utf8(std::string_view s, size_t& pos) noexcept {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int len = (b0 >= 0xF0) ? 4 : (b0 >= 0xE0) ? 3 : (b0 >= 0xC0) ? 2 : 0;
    if (len == 0 || pos + len > s.size()) {
        ++pos;
        return 0xFFFD;
    }
    char32_t cp = b0 & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    pos += len;
    return cp;
}

std::string to_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    while (pos < s.size()) {
        // ASCII runs are the common case: lower a whole run in one tight loop.
        size_t run = pos;
        while (run < s.size() && static_cast<unsigned char>(s[run]) < 0x80) ++run;
        if (run > pos) {
            const size_t base = out.size();
            out.resize(base + (run - pos));
            char* dst = out.data() + base;
            for (size_t i = pos; i < run; ++i) {
                const unsigned char b = static_cast<unsigned char>(s[i]);
                dst[i - pos] = static_cast<char>(b + (static_cast<unsigned>(b - 'A') < 26u ? 32 : 0));
            }
            pos = run;
            continue;
        }
        const size_t start = pos;
        const char32_t cp = decode_utf8(s, pos);
        if (cp == 0x03A3) {
            append_utf8(out, is_final_sigma(s, start, pos) ? 0x03C2 : 0x03C3);
            continue;
        }
        if (cp == 0x0130) {
            for (const auto& m : kLowerMulti)
                if (m.cp == cp)
                    for (int i = 0; i < m.len; ++i) append_utf8(out, m.seq[i]);
            continue;
        }
        append_utf8(out, lower_simple(cp));
    }
    return out;
}

bool is_unicode_space(char32_t cp) noexcept {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

std::string_view trim_unicode_space(std::string_view s) noexcept {
    size_t begin = 0;
    while (begin < s.size()) {
        size_t next = begin;
        if (!is_unicode_space(decode_utf8(s, next))) break;
        begin = next;
    }
    size_t end = s.size();
    while (end > begin) {
        size_t prev = end;
        if (!is_unicode_space(decode_before(s, prev))) break;
        end = prev;
    }
    return s.substr(begin, end - begin);
}

}  // namespace halyard
