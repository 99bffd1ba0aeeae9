#include "fakes/fake_launcher.h"

#include "base/text.h"

namespace tessarin::fakes {
namespace {

std::string narrow(const WideBuffer& buffer) {
  std::u16string text(buffer.begin(), buffer.end());
  if (!text.empty() && text.back() == u'\0') text.pop_back();
  return utf16_to_utf8_lossy(text);
}

}  // namespace

const std::string& name_of(Handle& handle) {
  return static_cast<FakeOwned<Handle>&>(handle).name();
}

std::optional<Err<SystemError>> Steps::step(const std::string& name, const std::string& event) {
  log(event);
  const auto it = failures.find(name);
  if (it == failures.end()) return std::nullopt;
  return sys_fail(SystemError{it->second, "fake error " + decimal(it->second)});
}

template <class Base>
std::unique_ptr<Base> Steps::owned(std::string name, std::string closing) {
  if (closing.empty()) closing = "close " + name;
  return std::make_unique<FakeOwned<Base>>(log_, live_objects, prefix_ + closing, std::move(name));
}

// ---- processes -------------------------------------------------------------

SysResult<std::unique_ptr<Handle>> FakeProcessApi::open(std::uint32_t pid) {
  if (auto failed = step("open", "open " + decimal(pid))) return *failed;
  if (gone_pids.contains(pid)) {
    return sys_fail(SystemError{87, "fake error 87", ErrorKind::kNoSuchProcess});
  }
  return owned<Handle>("parent");
}

SysResult<std::uint64_t> FakeProcessApi::creation_time(Handle* process) {
  if (auto failed = step("creation_time",
                         "creation_time " + (process != nullptr ? name_of(*process) : "self"))) {
    return *failed;
  }
  return process != nullptr ? parent_creation_time : own_creation_time;
}

SysResult<Woke> FakeProcessApi::wait(Handle& process, std::uint32_t milliseconds) {
  if (auto failed = step("wait", "wait " + name_of(process) + " " + decimal(milliseconds))) {
    return *failed;
  }
  if (timed_wait_results.empty()) return Woke::TimedOut;
  const Woke result = timed_wait_results.front();
  timed_wait_results.erase(timed_wait_results.begin());
  return result;
}

SysResult<Woke> FakeProcessApi::wait_either(Handle& first, Handle& second) {
  if (auto failed = step("wait_either", "wait_either " + name_of(first) + " " + name_of(second))) {
    return *failed;
  }
  return either_result;
}

SysResult<std::uint32_t> FakeProcessApi::exit_code(Handle& process) {
  if (auto failed = step("exit_code", "exit_code " + name_of(process))) return *failed;
  return child_exit_code;
}

void FakeProcessApi::sleep(std::uint32_t milliseconds) {
  log("sleep " + decimal(milliseconds));
}

// ---- launcher --------------------------------------------------------------

SysResult<std::size_t> FakeLaunchApi::attribute_list_size(std::size_t count) {
  if (auto failed = step("size", "size " + decimal(count))) return *failed;
  return list_size;
}

SysResult<std::unique_ptr<LaunchApi::AttributeList>> FakeLaunchApi::initialize_attribute_list(
    std::size_t bytes, std::size_t count) {
  if (auto failed = step("initialize", "initialize " + decimal(bytes) + " for " + decimal(count))) {
    return *failed;
  }
  return owned<AttributeList>("list", "delete_list");
}

SysStatus FakeLaunchApi::set_security_capabilities(AttributeList& list,
                                                   const void* app_container_sid,
                                                   const std::vector<const void*>& caps) {
  capabilities = {describe_sid_(app_container_sid)};
  for (const void* sid : caps) capabilities.push_back(describe_sid_(sid));
  std::string line = "set_capabilities";
  for (const auto& text : capabilities) line += " " + text;
  if (auto failed = step("set_capabilities", line)) return *failed;
  confined_lists_.insert(&list);
  return {};
}

SysResult<std::unique_ptr<LaunchApi::StandardHandles>> FakeLaunchApi::standard_handles() {
  if (auto failed = step("standard_handles", "standard_handles")) return *failed;
  return owned<StandardHandles>("standard_handles");
}

SysStatus FakeLaunchApi::set_handle_list(AttributeList&, StandardHandles&) {
  if (auto failed = step("handle_list", "handle_list")) return *failed;
  return {};
}

SysResult<std::unique_ptr<Handle>> FakeLaunchApi::create_job() {
  if (auto failed = step("create_job", "create_job")) return *failed;
  return owned<Handle>("job");
}

SysStatus FakeLaunchApi::set_kill_on_close(Handle& job) {
  if (auto failed = step("kill_on_close", "kill_on_close " + name_of(job))) return *failed;
  return {};
}

void FakeLaunchApi::end_job(Handle& job) {
  log("end_job " + name_of(job));
}

SysResult<LaunchApi::Child> FakeLaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList& attributes,
    StandardHandles&) {
  created.push_back(Created{narrow(command_line), narrow(current_directory),
                            confined_lists_.contains(&attributes)});
  if (auto failed = step("create_process", "create_process " + created.back().command_line)) {
    return *failed;
  }
  Child child;
  child.process = owned<Handle>("process");
  child.thread = owned<Handle>("thread");
  return child;
}

SysStatus FakeLaunchApi::assign_to_job(Handle& job, Handle& process) {
  if (auto failed = step("assign", "assign " + name_of(process) + " to " + name_of(job))) {
    return *failed;
  }
  return {};
}

void FakeLaunchApi::terminate(Handle& process) {
  log("terminate " + name_of(process));
  child_terminated = true;
}

SysStatus FakeLaunchApi::resume(Handle& thread) {
  if (auto failed = step("resume", "resume " + name_of(thread))) return *failed;
  child_resumed = true;
  return {};
}

std::unique_ptr<LaunchApi::ConsoleGuard> FakeLaunchApi::guard_console() {
  log("guard_console");
  return owned<ConsoleGuard>("console", "unguard_console");
}

void FakeLaunchApi::end_on_console_event(Handle* job) {
  log("console_job " + (job != nullptr ? name_of(*job) : std::string("none")));
}

LaunchApi::ConsoleEvent FakeLaunchApi::console_event() {
  log("console_event");
  if (console_looks.empty()) return ConsoleEvent::None;
  const ConsoleEvent event = console_looks.front();
  console_looks.erase(console_looks.begin());
  return event;
}

}  // namespace tessarin::fakes
