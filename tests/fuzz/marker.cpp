// The setup marker as found on disk. Any bytes give readiness or one line of
// refusal, every SID taken for the check is released, and whatever the
// reader accepts, the writer writes back to the same marker.

#include <set>

#include "fakes/fake_platform.h"
#include "fuzz.h"
#include "provision/identities.h"
#include "provision/readiness.h"
#include "provision/setup_marker.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (const auto marker = parse_setup_marker(bytes)) {
    for (const auto& profile : marker->offline_profiles) {
      fuzz::check(is_valid_utf8(profile), "accepted a profile name that is not UTF-8", profile);
    }
    const auto again = parse_setup_marker(serialize_setup_marker(*marker));
    fuzz::check(again && again->version == marker->version &&
                    again->offline_profiles == marker->offline_profiles,
                "the marker as written reads back differently", bytes);
  }

  fakes::FakePlatform machine;
  for (const auto& name : identity_profile_names()) machine.app_containers.registered.insert(name);
  const StateLayout layout = state_layout(machine.env);
  machine.files.add_file(layout.marker(), bytes);
  const Status ready = verify_readiness(machine.platform, layout);
  if (!ready) fuzz::check_one_line(ready.error());
  fuzz::check(machine.app_containers.live_sids() == 0, "a SID was not released", bytes);
  return 0;
}
