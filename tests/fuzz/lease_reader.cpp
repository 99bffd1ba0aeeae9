// The lease file as found on disk: any bytes give a list of paths that the
// writer could have recorded (valid UTF-8, no NUL) and encodes back to the
// same list, or one line of refusal.

#include "acl/lease.h"
#include "fuzz.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto paths = decode_acl_lease(bytes);
  if (!paths) {
    fuzz::check_one_line(paths.error());
    return 0;
  }
  for (const auto& path : *paths) {
    fuzz::check(is_valid_utf8(path) && path.find('\0') == std::string::npos,
                "accepted a path that the writer would refuse", bytes);
  }
  const auto again = decode_acl_lease(encode_acl_lease(*paths));
  fuzz::check(again && *again == *paths, "the lease as written reads back differently", bytes);
  return 0;
}
