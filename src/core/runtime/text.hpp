// Locale-independent Unicode text helpers shared by every text feature.
#pragma once

#include <string>
#include <string_view>

namespace halyard {

// Full Unicode lowercasing of UTF-8 text: one-to-many mappings (U+0130) and
// the final-sigma rule included; identical on every machine. Input must be
// valid UTF-8 (the binding layer guarantees it).
std::string to_lower(std::string_view utf8);

// True for the code points Unicode calls White_Space.
bool is_unicode_space(char32_t cp) noexcept;

// Decode one code point at `pos` (advanced past it). Invalid sequences yield
// U+FFFD and advance by one byte.
char32_t decode_utf8(std::string_view s, size_t& pos) noexcept;

// Trim leading and trailing Unicode white space.
std::string_view trim_unicode_space(std::string_view s) noexcept;

}  // namespace halyard
