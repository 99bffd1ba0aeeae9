#pragma once
// A launcher that starts nothing: it records every call in the shared event
// log as "launch <step>", can fail any step with a chosen error code, and
// plays the child and the caller through a few settings.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/launcher.h"

namespace tessarin::fakes {

using EventLog = std::vector<std::string>;

class FakeLaunchApi final : public LaunchApi {
 public:
  // `describe_sid` turns a SID pointer into its text for the log.
  FakeLaunchApi(EventLog& log, std::function<std::string(const void*)> describe_sid)
      : log_(log), describe_sid_(std::move(describe_sid)) {}

  // Step names: "size", "initialize", "set_capabilities", "standard_handles",
  // "handle_list", "create_job", "kill_on_close", "create_process", "assign",
  // "resume", "open_parent", "creation_time", "wait", "wait_for",
  // "exit_code". A listed step fails with the mapped last-error code.
  std::map<std::string, std::uint32_t> failures;
  // Process identifiers that name no process: opening one fails with 87.
  std::set<std::uint32_t> gone_pids;
  std::size_t list_size = 48;
  std::uint32_t wait_result = 0;  // 0: the child ended first
  // The results of the next timed waits on the caller, in order; once they
  // are used up, each times out (258).
  std::vector<std::uint32_t> timed_wait_results;
  std::uint32_t child_exit_code = 0;
  std::uint64_t own_creation_time = 200;
  std::uint64_t parent_creation_time = 100;

  // What the last process creation received.
  struct Created {
    std::string command_line;
    std::string current_directory;
    bool confined = false;
  };
  std::vector<Created> created;
  // The security capabilities of the last list: the AppContainer SID's text,
  // then each capability's text.
  std::vector<std::string> capabilities;
  bool child_terminated = false;
  bool child_resumed = false;
  int live_objects = 0;  // handles, lists and guards not yet released

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

  // The name a handle was logged under ("job", "process", "thread",
  // "parent").
  static const std::string& name_of(Handle& handle);

 private:
  bool fails(const std::string& step, std::uint32_t& code);
  EventLog& log_;
  std::function<std::string(const void*)> describe_sid_;
};

}  // namespace tessarin::fakes
