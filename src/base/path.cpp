#include "base/path.h"

#include <algorithm>
#include <vector>

namespace tessarin {
namespace {

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// Length of the root part: "C:\", "\\?\C:\", "\\server\share\", "\" or "".
std::size_t root_length(std::string_view path) {
  std::size_t i = 0;
  if (path.substr(0, 4) == "\\\\?\\" || path.substr(0, 4) == "\\\\.\\") {
    i = 4;
    if (path.substr(i, 4) == "UNC\\") {
      i += 4;
      // server and share
      for (int part = 0; part < 2 && i < path.size(); ++part) {
        while (i < path.size() && !is_separator(path[i])) ++i;
        if (i < path.size()) ++i;
      }
      return i;
    }
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    i = 2;
    for (int part = 0; part < 2 && i < path.size(); ++part) {
      while (i < path.size() && !is_separator(path[i])) ++i;
      if (i < path.size()) ++i;
    }
    return i;
  }
  if (path.size() >= i + 2 && path[i + 1] == ':') {
    i += 2;
  }
  if (i < path.size() && is_separator(path[i])) ++i;
  return i;
}

// The components of a canonical path. A root such as \\?\C:\ ends in a
// separator that starts no component, so that the root and the directories
// below it compare like any other parent and child.
std::vector<std::string_view> components(std::string_view path) {
  if (path.size() > 1 && path.back() == '\\') path.remove_suffix(1);
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t separator = path.find('\\', start);
    parts.push_back(path.substr(start, separator - start));
    if (separator == std::string_view::npos) break;
    start = separator + 1;
  }
  return parts;
}

}  // namespace

bool is_absolute_path(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;
  return path.size() >= 3 && path[1] == ':' && is_separator(path[2]);
}

std::string join_path(std::string_view base, std::string_view component) {
  std::string out(base);
  if (!out.empty() && !is_separator(out.back())) out.push_back('\\');
  out.append(component);
  return out;
}

std::optional<std::string> parent_path(std::string_view path) {
  const std::size_t root = root_length(path);
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;
  if (end <= root) return std::nullopt;
  std::size_t cut = end;
  while (cut > root && !is_separator(path[cut - 1])) --cut;
  if (cut == 0) return std::nullopt;
  std::size_t keep = cut;
  while (keep > root && is_separator(path[keep - 1])) --keep;
  return std::string(path.substr(0, keep));
}

std::string_view file_name(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && is_separator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && !is_separator(path[start - 1])) --start;
  return path.substr(start, end - start);
}

bool lies_within(std::string_view inner, std::string_view outer) {
  const auto in = components(inner);
  const auto out = components(outer);
  return out.size() <= in.size() && std::equal(out.begin(), out.end(), in.begin());
}

bool same_path(std::string_view a, std::string_view b) {
  return components(a) == components(b);
}

std::optional<std::string> lexically_normal(std::string_view path) {
  const std::size_t root = root_length(path);
  // A drive without its separator ("C:ws") is relative to that drive's
  // current directory, which no text shows.
  if (root == 0 || path[root - 1] == ':') return std::nullopt;
  std::vector<std::string_view> parts;
  for (std::size_t start = root; start <= path.size();) {
    std::size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out(path.substr(0, root));
  for (const std::string_view part : parts) out = join_path(out, part);
  return out;
}

std::optional<std::string> resolve_relative(std::string_view directory, std::string_view relative) {
  if (relative.empty() || is_absolute_path(relative) ||
      (relative.size() >= 2 && relative[1] == ':')) {
    return std::nullopt;
  }
  const std::size_t root = root_length(directory);
  if (root == 0) return std::nullopt;
  if (is_separator(relative.front())) {
    return lexically_normal(std::string(directory.substr(0, root)) + std::string(relative));
  }
  return lexically_normal(join_path(directory, relative));
}

std::string replace_extension(std::string_view path, std::string_view extension) {
  const std::string_view name = file_name(path);
  const std::size_t name_start = static_cast<std::size_t>(name.data() - path.data());
  const std::size_t dot = name.rfind('.');
  std::string out(path.substr(
      0, dot == std::string_view::npos || dot == 0 ? name_start + name.size() : name_start + dot));
  out.push_back('.');
  out.append(extension);
  return out;
}

}  // namespace tessarin
