#pragma once

#include "platform/launcher.h"

namespace tessarin::win32 {

class Win32LaunchApi final : public LaunchApi {
 public:
  ListSize attribute_list_size() override;
  Outcome<std::unique_ptr<AttributeList>> initialize_attribute_list(std::size_t bytes) override;
  Outcome<void> set_security_capabilities(AttributeList& list, const void* app_container_sid,
                                          const std::vector<const void*>& capabilities) override;
  Outcome<std::unique_ptr<Handle>> create_job() override;
  Outcome<void> set_kill_on_close(Handle& job) override;
  Outcome<Child> create_suspended_process(WideBuffer& command_line,
                                          const WideBuffer& current_directory,
                                          AttributeList* attributes) override;
  Outcome<void> assign_to_job(Handle& job, Handle& process) override;
  void terminate(Handle& process) override;
  Outcome<void> resume(Handle& thread) override;
  Outcome<std::unique_ptr<Handle>> open_for_synchronize(std::uint32_t pid) override;
  std::uint32_t wait_for_either(Handle& first, Handle& second) override;
  Outcome<std::uint32_t> exit_code(Handle& process) override;
};

}  // namespace tessarin::win32
