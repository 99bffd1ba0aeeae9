#include "platform/tool_search.h"

#include <vector>

#include "base/path.h"

namespace tessarin {

std::string powershell_home(Environment& env) {
  return join_path(join_path(env.system_directory(), "WindowsPowerShell"), "v1.0");
}

SysResult<std::string> find_tool(Environment& env, FileSystem& files,
                                 const std::string& bare_name) {
  const std::string system_home =
      bare_name == "powershell.exe" ? powershell_home(env) : env.system_directory();
  std::vector<std::string> directories = {system_home, env.executable_directory(),
                                          env.system_directory(), env.windows_directory()};
  if (const auto path = env.get("PATH")) {
    std::size_t start = 0;
    while (start <= path->size()) {
      std::size_t end = path->find(';', start);
      if (end == std::string::npos) end = path->size();
      std::string entry = path->substr(start, end - start);
      if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') {
        entry = entry.substr(1, entry.size() - 2);
      }
      // An empty or relative entry would be resolved against the current
      // directory, which is never searched.
      if (is_absolute_path(entry)) directories.push_back(std::move(entry));
      start = end + 1;
    }
  }
  for (const auto& directory : directories) {
    if (!is_absolute_path(directory)) continue;
    std::string candidate = join_path(directory, bare_name);
    if (files.is_file(candidate)) return candidate;
  }
  // No system call failed, so there is no code; the kind says what happened.
  return sys_fail(SystemError{0, "program not found", ErrorKind::kNotFound});
}

}  // namespace tessarin
