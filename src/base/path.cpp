#include "base/path.h"

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
