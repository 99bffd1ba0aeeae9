#pragma once
// What the fuzz targets share: a check that stops the run with its reason,
// and the reading of one input as a list of texts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace tessarin::fuzz {

// Bytes outside printable ASCII are shown as \xNN so that the reason stays
// readable whatever the input held.
[[noreturn]] inline void fault(const char* what, std::string_view detail) {
  std::string shown;
  for (const unsigned char c : detail) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  std::fprintf(stderr, "fuzz check failed: %s: %s\n", what, shown.c_str());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fault(what, detail);
}

// A refusal is shown as one diagnostic line: valid UTF-8 with no line break
// and none of the other C0 control characters, which the JSON library shows
// as <U+00XX> when it quotes the input.
inline void check_one_line(std::string_view message) {
  check(!message.empty(), "empty message");
  check(is_valid_utf8(message), "message is not UTF-8", message);
  for (const unsigned char c : message) check(c >= 0x20, "control character", message);
}

// The parts of the input between NUL bytes, as given; an empty input is the
// empty list.
inline std::vector<std::string> split_at_nul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts;
  if (size == 0) return parts;
  parts.emplace_back();
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  return parts;
}

// The same parts made valid UTF-8, as every text inside the helper is.
inline std::vector<std::string> split_texts(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts = split_at_nul(data, size);
  for (auto& part : parts) part = utf8_lossy(part);
  return parts;
}

}  // namespace tessarin::fuzz
