#pragma once
// Text at the platform boundary. Inside the helper every text is UTF-8 in a
// std::string; Windows takes UTF-16, which the portable code holds as
// char16_t so that it compiles and is tested the same way on every host.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

// UTF-16 code units followed by exactly one 0 unit, mutable so that it can be
// handed to calls such as CreateProcessW that may write to their buffer.
using WideBuffer = std::vector<char16_t>;

// UTF-8 to UTF-16. The input is trusted to be valid UTF-8 (every text inside
// the helper is); an invalid sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// UTF-16 to UTF-8; nullopt when the input holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);

// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, each maximal invalid subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Strips Unicode White_Space characters from both ends of valid UTF-8 text.
std::string trim_unicode_white_space(std::string_view text);

// Decimal and fixed-width lower-case hexadecimal renderings of numbers used in
// messages.
std::string decimal(std::uint64_t value);
std::string hex8(std::uint32_t value);

}  // namespace tessarin
