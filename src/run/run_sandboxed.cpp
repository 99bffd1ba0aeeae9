#include "run/run_sandboxed.h"

namespace tessarin {

Result<std::uint32_t> run_sandboxed(Platform&, RunRequest) {
  return fail("run is not available yet");
}

}  // namespace tessarin
