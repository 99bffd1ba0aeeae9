#pragma once

#include "platform/launcher.h"

namespace tessarin::win32 {

class Win32LaunchApi final : public LaunchApi {
 public:
  ListSize attribute_list_size(std::size_t count) override;
  Outcome<std::unique_ptr<AttributeList>> initialize_attribute_list(std::size_t bytes,
                                                                    std::size_t count) override;
  Outcome<void> set_security_capabilities(AttributeList& list, const void* app_container_sid,
                                          const std::vector<const void*>& capabilities) override;
  Outcome<std::unique_ptr<StandardHandles>> standard_handles() override;
  Outcome<void> set_handle_list(AttributeList& list, StandardHandles& handles) override;
  Outcome<std::unique_ptr<Handle>> create_job() override;
  Outcome<void> set_kill_on_close(Handle& job) override;
  void end_job(Handle& job) override;
  Outcome<Child> create_suspended_process(WideBuffer& command_line,
                                          const WideBuffer& current_directory,
                                          AttributeList& attributes,
                                          StandardHandles& handles) override;
  Outcome<void> assign_to_job(Handle& job, Handle& process) override;
  void terminate(Handle& process) override;
  Outcome<void> resume(Handle& thread) override;
  Outcome<std::unique_ptr<Handle>> open_process(std::uint32_t pid) override;
  Outcome<std::uint64_t> creation_time(Handle* process) override;
  Outcome<std::uint32_t> wait_for_either(Handle& first, Handle& second) override;
  Outcome<std::uint32_t> wait_for(Handle& process, std::uint32_t milliseconds) override;
  Outcome<std::uint32_t> exit_code(Handle& process) override;
  std::unique_ptr<ConsoleGuard> guard_console() override;
  void end_on_console_close(Handle* job) override;
  void pause(std::uint32_t milliseconds) override;
};

// The kernel handle behind a handle of Win32LaunchApi (a HANDLE).
void* native_handle(LaunchApi::Handle& handle);

}  // namespace tessarin::win32
