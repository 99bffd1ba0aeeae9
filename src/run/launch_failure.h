#pragma once
// Both halves of the launch report a failed system call the same way, so that
// a user sees one shape of message whichever half it came from.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/text.h"

namespace tessarin {

// `what` names the call and ends in ": "; the code follows in decimal.
inline Err<std::string> launch_failed(std::string_view what, std::uint32_t error) {
  std::string message(what);
  message += decimal(error);
  return fail(std::move(message));
}

}  // namespace tessarin
