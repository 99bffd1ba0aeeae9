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

// Whole components, exactly as spelled: C:\work2 does not lie within C:\work,
// nor C:\WORK\x; a path lies within itself. Meant for canonical paths, whose
// spelling the file system chose.
bool lies_within(std::string_view inner, std::string_view outer);
bool same_path(std::string_view a, std::string_view b);

// `path` by its text alone, with "." dropped and each ".." taking off one
// component, but never the root; nullopt for a path without a root.
std::optional<std::string> lexically_normal(std::string_view path);

// `relative` taken from `directory` by its text alone, as the system takes the
// target of a relative symbolic link: a leading separator starts again at the
// directory's root. nullopt for a text that is empty or not relative
// (absolute, or drive-relative such as C:x).
std::optional<std::string> resolve_relative(std::string_view directory, std::string_view relative);

// Replaces the extension of the last component (the text after its last full
// stop, if any) by `extension`, which is given without the full stop.
std::string replace_extension(std::string_view path, std::string_view extension);

}  // namespace tessarin
