// The process entry: the Windows platform, handed to the front end.

#include "cli/front_end.h"
#include "platform/win32/win32_platform.h"

int main() {
  tessarin::win32::forget_stale_standard_handles();
  auto platform = tessarin::win32::make_platform();
  const std::uint32_t code = tessarin::run_front_end(platform->get());
  tessarin::win32::publish_exit_code(code);
  // The full 32-bit value becomes the process exit code.
  return static_cast<int>(code);
}
