#pragma once

#include "platform/launcher.h"

namespace tessarin::win32 {

class Win32LaunchApi final : public LaunchApi {
 public:
  SysResult<std::size_t> attribute_list_size(std::size_t count) override;
  SysResult<std::unique_ptr<AttributeList>> initialize_attribute_list(std::size_t bytes,
                                                                      std::size_t count) override;
  SysStatus set_security_capabilities(AttributeList& list, const void* app_container_sid,
                                      const std::vector<const void*>& capabilities) override;
  SysResult<std::unique_ptr<StandardHandles>> standard_handles() override;
  SysStatus set_handle_list(AttributeList& list, StandardHandles& handles) override;
  SysResult<std::unique_ptr<Handle>> create_job() override;
  SysStatus set_kill_on_close(Handle& job) override;
  void end_job(Handle& job) override;
  SysResult<Child> create_suspended_process(WideBuffer& command_line,
                                            const WideBuffer& current_directory,
                                            AttributeList& attributes,
                                            StandardHandles& handles) override;
  SysStatus assign_to_job(Handle& job, Handle& process) override;
  void terminate(Handle& process) override;
  SysStatus resume(Handle& thread) override;
  std::unique_ptr<ConsoleGuard> guard_console() override;
  void end_on_console_event(Handle* job) override;
  ConsoleEvent console_event() override;
};

}  // namespace tessarin::win32
