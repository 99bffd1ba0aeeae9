#include "platform/process.h"

#include "platform/errors.h"

namespace tessarin {

bool is_alive(ProcessApi& processes, std::uint32_t pid) {
  auto process = processes.open(pid);
  if (!process) return !names_no_process(process.error());
  const auto waited = processes.wait(**process, 0);
  return !waited || *waited != Woke::First;
}

}  // namespace tessarin
