#include "base/text.h"

#include <array>
#include <cstdio>

namespace tessarin {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

// Decodes one UTF-8 character at `pos`. On success returns the code point and
// advances `pos`; on an invalid sequence advances `pos` past the maximal
// subpart (at least one byte) and returns nullopt, as the Unicode standard
// recommends for replacement.
std::optional<char32_t> decode_utf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++pos;
    return std::nullopt;
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 1; k < length; ++k, ++i) {
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (i >= s.size() || byte(i) < lo || byte(i) > hi) {
      pos = i;
      return std::nullopt;
    }
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  pos = i;
  return cp;
}

bool is_unicode_white_space(char32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = decode_utf8(text, pos).value_or(kReplacement);
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    }
  }
  return out;
}

namespace {
std::optional<std::string> utf16_to_utf8(std::u16string_view text, bool lossy) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (!lossy) return std::nullopt;
      cp = kReplacement;
    }
    append_utf8(out, cp);
  }
  return out;
}
}  // namespace

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) {
  return utf16_to_utf8(text, false);
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
  return *utf16_to_utf8(text, true);
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (!decode_utf8(bytes, pos)) return false;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    append_utf8(out, decode_utf8(bytes, pos).value_or(kReplacement));
  }
  return out;
}

std::string trim_unicode_white_space(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  // Leading: decode forward.
  while (begin < end) {
    std::size_t next = begin;
    const auto cp = decode_utf8(text, next);
    if (!cp || !is_unicode_white_space(*cp)) break;
    begin = next;
  }
  // Trailing: step back to the start of the last character and test it.
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t next = start;
    const auto cp = decode_utf8(text, next);
    if (!cp || next != end || !is_unicode_white_space(*cp)) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

std::string hex8(std::uint32_t value) {
  std::array<char, 9> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%08x", static_cast<unsigned>(value));
  return std::string(buffer.data(), 8);
}

}  // namespace tessarin
