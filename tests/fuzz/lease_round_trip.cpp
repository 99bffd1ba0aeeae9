// Writing a lease, then reading it as the next run would. The input is the
// list of paths, separated by NUL bytes. Valid UTF-8 paths are written in one
// compact line and read back equal, with no temporary file left; any other
// list is refused before anything is written.

#include "acl/lease.h"
#include "fakes/fake_platform.h"
#include "fuzz.h"
#include "provision/state_layout.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> paths = fuzz::split_at_nul(data, size);
  bool recordable = true;
  for (const auto& path : paths) recordable = recordable && is_valid_utf8(path);

  fakes::FakePlatform machine;
  const std::string profile = "Tessarin.Sandbox.v1.WorkspaceWrite.Offline";
  const std::string lease = state_layout(machine.env).lease(profile);
  const Status written = write_acl_lease(machine.platform, lease, paths);
  if (!recordable) {
    fuzz::check(!written, "recorded a path that is not UTF-8");
    fuzz::check(machine.files.nodes.empty(), "touched the disk before refusing");
    return 0;
  }
  fuzz::check(written.ok(), "refused valid paths", written.ok() ? "" : written.error());
  for (const auto& [path, node] : machine.files.nodes) {
    fuzz::check(node.directory || path == lease, "a file beside the lease is left", path);
  }
  const std::string content = machine.files.content(lease);
  fuzz::check(content.find_first_of("\r\n") == std::string::npos, "line break in the lease");
  const auto read = decode_acl_lease(content);
  fuzz::check(read && *read == paths, "the lease reads back differently", content);
  return 0;
}
