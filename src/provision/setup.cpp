#include "provision/setup.h"

namespace tessarin {

Status run_setup(Platform&) {
  return fail("setup is not available yet");
}

}  // namespace tessarin
