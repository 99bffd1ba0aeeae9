#include "fakes/fake_launcher.h"

#include "base/command_line.h"
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

// ---- launcher and console -------------------------------------------------

Result<SuspendedChild, LaunchFailure> FakeLaunchApi::start_suspended(const ChildSpec& description) {
  Created child{narrow(build_command_line(description.command)),
                description.cwd,
                {},
                description.own_console};
  if (description.confinement != nullptr) {
    child.capabilities.push_back(describe_sid_(description.confinement->app_container_sid));
    for (const void* sid : description.confinement->capabilities) {
      child.capabilities.push_back(describe_sid_(sid));
    }
  }
  created.push_back(child);
  log("start " + child.command_line);
  if (failing_step) return Err<LaunchFailure>{{*failing_step, {5, "fake error 5"}}};
  return SuspendedChild{owned<Handle>("job"), owned<Handle>("process"), owned<Handle>("thread")};
}

SysStatus FakeLaunchApi::resume(Handle& thread) {
  if (auto failed = step("resume", "resume " + name_of(thread))) return *failed;
  child_resumed = true;
  return {};
}

void FakeLaunchApi::end_job(Handle& job) {
  log("end_job " + name_of(job));
}

std::unique_ptr<ConsoleEvents::Guard> FakeConsoleEvents::guard() {
  log("guard");
  return owned<Guard>("guard", "unguard");
}

void FakeConsoleEvents::end_job_on_event(Handle* job, bool interrupts) {
  log("job " + (job != nullptr ? name_of(*job) : std::string("none")) +
      (interrupts ? " and interrupts" : ""));
}

ConsoleEvents::Event FakeConsoleEvents::last_event() {
  log("look");
  if (looks.empty()) return Event::None;
  const Event event = looks.front();
  looks.erase(looks.begin());
  return event;
}

}  // namespace tessarin::fakes
