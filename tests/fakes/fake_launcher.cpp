#include "fakes/fake_launcher.h"

#include "base/text.h"

namespace tessarin::fakes {
namespace {

class FakeHandle final : public LaunchApi::Handle {
 public:
  FakeHandle(EventLog& log, int& live, std::string name)
      : log_(log), live_(live), name_(std::move(name)) {
    ++live_;
  }
  ~FakeHandle() override {
    --live_;
    log_.push_back("launch close " + name_);
  }
  const std::string& name() const { return name_; }

 private:
  EventLog& log_;
  int& live_;
  std::string name_;
};

class FakeList final : public LaunchApi::AttributeList {
 public:
  FakeList(EventLog& log, int& live) : log_(log), live_(live) { ++live_; }
  ~FakeList() override {
    --live_;
    log_.push_back("launch delete_list");
  }
  bool confined = false;

 private:
  EventLog& log_;
  int& live_;
};

// Anything else the launch owns: logs "launch <closing>" when it goes.
template <class Base>
class FakeOwned final : public Base {
 public:
  FakeOwned(EventLog& log, int& live, std::string closing)
      : log_(log), live_(live), closing_(std::move(closing)) {
    ++live_;
  }
  ~FakeOwned() override {
    --live_;
    log_.push_back("launch " + closing_);
  }

 private:
  EventLog& log_;
  int& live_;
  std::string closing_;
};

std::string narrow(const WideBuffer& buffer) {
  std::u16string text(buffer.begin(), buffer.end());
  if (!text.empty() && text.back() == u'\0') text.pop_back();
  return utf16_to_utf8_lossy(text);
}

}  // namespace

const std::string& FakeLaunchApi::name_of(Handle& handle) {
  return static_cast<FakeHandle&>(handle).name();
}

bool FakeLaunchApi::fails(const std::string& step, std::uint32_t& code) {
  const auto it = failures.find(step);
  if (it == failures.end()) return false;
  code = it->second;
  return true;
}

LaunchApi::ListSize FakeLaunchApi::attribute_list_size(std::size_t count) {
  log_.push_back("launch size " + decimal(count));
  std::uint32_t code = 0;
  if (fails("size", code)) return ListSize{0, code};
  return ListSize{list_size, 122};
}

LaunchApi::Outcome<std::unique_ptr<LaunchApi::AttributeList>>
FakeLaunchApi::initialize_attribute_list(std::size_t bytes, std::size_t count) {
  log_.push_back("launch initialize " + decimal(bytes) + " for " + decimal(count));
  std::uint32_t code = 0;
  if (fails("initialize", code)) return Err<std::uint32_t>{code};
  return std::unique_ptr<AttributeList>(std::make_unique<FakeList>(log_, live_objects));
}

LaunchApi::Outcome<void> FakeLaunchApi::set_security_capabilities(
    AttributeList& list, const void* app_container_sid, const std::vector<const void*>& caps) {
  capabilities = {describe_sid_(app_container_sid)};
  for (const void* sid : caps) capabilities.push_back(describe_sid_(sid));
  std::string line = "launch set_capabilities";
  for (const auto& text : capabilities) line += " " + text;
  log_.push_back(line);
  std::uint32_t code = 0;
  if (fails("set_capabilities", code)) return Err<std::uint32_t>{code};
  static_cast<FakeList&>(list).confined = true;
  return {};
}

LaunchApi::Outcome<std::unique_ptr<LaunchApi::StandardHandles>> FakeLaunchApi::standard_handles() {
  log_.push_back("launch standard_handles");
  std::uint32_t code = 0;
  if (fails("standard_handles", code)) return Err<std::uint32_t>{code};
  return std::unique_ptr<StandardHandles>(
      std::make_unique<FakeOwned<StandardHandles>>(log_, live_objects, "close standard_handles"));
}

LaunchApi::Outcome<void> FakeLaunchApi::set_handle_list(AttributeList&, StandardHandles&) {
  log_.push_back("launch handle_list");
  std::uint32_t code = 0;
  if (fails("handle_list", code)) return Err<std::uint32_t>{code};
  return {};
}

LaunchApi::Outcome<std::unique_ptr<LaunchApi::Handle>> FakeLaunchApi::create_job() {
  log_.push_back("launch create_job");
  std::uint32_t code = 0;
  if (fails("create_job", code)) return Err<std::uint32_t>{code};
  return std::unique_ptr<Handle>(std::make_unique<FakeHandle>(log_, live_objects, "job"));
}

LaunchApi::Outcome<void> FakeLaunchApi::set_kill_on_close(Handle& job) {
  log_.push_back("launch kill_on_close " + name_of(job));
  std::uint32_t code = 0;
  if (fails("kill_on_close", code)) return Err<std::uint32_t>{code};
  return {};
}

void FakeLaunchApi::end_job(Handle& job) {
  log_.push_back("launch end_job " + name_of(job));
}

LaunchApi::Outcome<LaunchApi::Child> FakeLaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList& attributes,
    StandardHandles&) {
  created.push_back(Created{narrow(command_line), narrow(current_directory),
                            static_cast<FakeList&>(attributes).confined});
  log_.push_back("launch create_process " + created.back().command_line);
  std::uint32_t code = 0;
  if (fails("create_process", code)) return Err<std::uint32_t>{code};
  Child child;
  child.process = std::make_unique<FakeHandle>(log_, live_objects, "process");
  child.thread = std::make_unique<FakeHandle>(log_, live_objects, "thread");
  return child;
}

LaunchApi::Outcome<void> FakeLaunchApi::assign_to_job(Handle& job, Handle& process) {
  log_.push_back("launch assign " + name_of(process) + " to " + name_of(job));
  std::uint32_t code = 0;
  if (fails("assign", code)) return Err<std::uint32_t>{code};
  return {};
}

void FakeLaunchApi::terminate(Handle& process) {
  log_.push_back("launch terminate " + name_of(process));
  child_terminated = true;
}

LaunchApi::Outcome<void> FakeLaunchApi::resume(Handle& thread) {
  log_.push_back("launch resume " + name_of(thread));
  std::uint32_t code = 0;
  if (fails("resume", code)) return Err<std::uint32_t>{code};
  child_resumed = true;
  return {};
}

LaunchApi::Outcome<std::unique_ptr<LaunchApi::Handle>> FakeLaunchApi::open_process(
    std::uint32_t pid) {
  log_.push_back("launch open_parent " + decimal(pid));
  std::uint32_t code = 0;
  if (fails("open_parent", code)) return Err<std::uint32_t>{code};
  if (gone_pids.contains(pid)) return Err<std::uint32_t>{87u};
  return std::unique_ptr<Handle>(std::make_unique<FakeHandle>(log_, live_objects, "parent"));
}

LaunchApi::Outcome<std::uint64_t> FakeLaunchApi::creation_time(Handle* process) {
  log_.push_back("launch creation_time " + (process != nullptr ? name_of(*process) : "self"));
  std::uint32_t code = 0;
  if (fails("creation_time", code)) return Err<std::uint32_t>{code};
  return process != nullptr ? parent_creation_time : own_creation_time;
}

LaunchApi::Outcome<std::uint32_t> FakeLaunchApi::wait_for_either(Handle& first, Handle& second) {
  log_.push_back("launch wait " + name_of(first) + " " + name_of(second));
  std::uint32_t code = 0;
  if (fails("wait", code)) return Err<std::uint32_t>{code};
  return wait_result;
}

LaunchApi::Outcome<std::uint32_t> FakeLaunchApi::wait_for(Handle& process,
                                                          std::uint32_t milliseconds) {
  log_.push_back("launch wait_for " + name_of(process) + " " + decimal(milliseconds));
  std::uint32_t code = 0;
  if (fails("wait_for", code)) return Err<std::uint32_t>{code};
  if (timed_wait_results.empty()) return 258u;
  const std::uint32_t result = timed_wait_results.front();
  timed_wait_results.erase(timed_wait_results.begin());
  return result;
}

LaunchApi::Outcome<std::uint32_t> FakeLaunchApi::exit_code(Handle& process) {
  log_.push_back("launch exit_code " + name_of(process));
  std::uint32_t code = 0;
  if (fails("exit_code", code)) return Err<std::uint32_t>{code};
  return child_exit_code;
}

std::unique_ptr<LaunchApi::ConsoleGuard> FakeLaunchApi::guard_console() {
  log_.push_back("launch guard_console");
  return std::make_unique<FakeOwned<ConsoleGuard>>(log_, live_objects, "unguard_console");
}

void FakeLaunchApi::end_on_console_close(Handle* job) {
  log_.push_back("launch console_job " + (job != nullptr ? name_of(*job) : std::string("none")));
}

void FakeLaunchApi::pause(std::uint32_t milliseconds) {
  log_.push_back("launch pause " + decimal(milliseconds));
}

}  // namespace tessarin::fakes
