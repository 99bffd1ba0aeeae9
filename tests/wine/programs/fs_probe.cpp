// Drives the Win32 file system's tree removal, for the Wine tests:
//   fs_probe.exe remove-tree <path>
// Prints "ok" or "error <text>" on standard output.

#include "platform/remove_tree.h"
#include "platform/win32/win32_platform.h"
#include "support/program_support.h"

int main() {
  const auto args = program_support::arguments();
  if (!args || args->size() != 3 || (*args)[1] != "remove-tree") return 120;
  auto platform = tessarin::win32::make_platform();
  const auto removed = tessarin::remove_tree(platform->get().files, (*args)[2]);
  program_support::print(removed ? "ok\n" : "error " + removed.error().text + "\n");
  return 0;
}
