#pragma once
// Windows path texts (UTF-8), handled without touching the file system.

#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

// True for a drive path with a root (C:\...) or a UNC or device path (\\...).
bool is_absolute_path(std::string_view path);

// Appends one component with a backslash, unless `base` is empty or already
// ends with a separator.
std::string join_path(std::string_view base, std::string_view component);

// The path without its last component; nullopt for a path that has none
// (an empty text, a bare name, or a root such as C:\ or \\?\C:\).
std::optional<std::string> parent_path(std::string_view path);

// The last component.
std::string_view file_name(std::string_view path);

// Replaces the extension of the last component (the text after its last full
// stop, if any) by `extension`, which is given without the full stop.
std::string replace_extension(std::string_view path, std::string_view extension);

}  // namespace tessarin
