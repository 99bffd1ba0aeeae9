#pragma once
// The helper's command line and its two output streams.

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tessarin {

class Console {
 public:
  virtual ~Console() = default;

  // The process command line split by the standard Windows rules, every
  // argument converted to UTF-8; a failure names the argument that is not
  // valid Unicode.
  virtual Result<std::vector<std::string>> arguments() = 0;

  // Writes UTF-8 text in one piece: as bytes to a file or pipe, as wide
  // characters to an interactive console.
  virtual void write_stdout(std::string_view text) = 0;
  virtual void write_stderr(std::string_view text) = 0;
};

}  // namespace tessarin
