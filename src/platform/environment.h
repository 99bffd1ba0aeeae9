#pragma once
// The process environment and the directories the helper looks things up in.

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"

namespace tessarin {

class Environment {
 public:
  virtual ~Environment() = default;

  // The variable's value; nullopt when it is undefined (or, on Windows, when
  // its value is not valid Unicode and so could not be used faithfully).
  virtual std::optional<std::string> get(const std::string& name) = 0;
  // Sets a variable of the helper's own environment, which children inherit.
  virtual SysStatus set(const std::string& name, const std::string& value) = 0;

  // The current user's directory for temporary files.
  virtual std::string temp_directory() = 0;
  virtual std::uint32_t current_process_id() = 0;
  // The helper's own executable, as the system started it (through links, if
  // it was started through them).
  virtual std::string executable_file() = 0;
  // The directory that holds it.
  virtual std::string executable_directory() = 0;
  virtual std::string system_directory() = 0;
  // 128 bits from the system's random source as 32 lower-case hexadecimal
  // digits: a name that no other process can foresee.
  virtual SysResult<std::string> unguessable_name() = 0;
  virtual std::string windows_directory() = 0;
};

}  // namespace tessarin
