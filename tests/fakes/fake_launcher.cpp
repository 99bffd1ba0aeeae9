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

 private:
  EventLog& log_;
  int& live_;
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

LaunchApi::ListSize FakeLaunchApi::attribute_list_size() {
  log_.push_back("launch size");
  std::uint32_t code = 0;
  if (fails("size", code)) return ListSize{0, code};
  return ListSize{list_size, 122};
}

LaunchApi::Outcome<std::unique_ptr<LaunchApi::AttributeList>>
FakeLaunchApi::initialize_attribute_list(std::size_t bytes) {
  log_.push_back("launch initialize " + decimal(bytes));
  std::uint32_t code = 0;
  if (fails("initialize", code)) return Err<std::uint32_t>{code};
  return std::unique_ptr<AttributeList>(std::make_unique<FakeList>(log_, live_objects));
}

LaunchApi::Outcome<void> FakeLaunchApi::set_security_capabilities(
    AttributeList&, const void* app_container_sid, const std::vector<const void*>& caps) {
  capabilities = {describe_sid_(app_container_sid)};
  for (const void* sid : caps) capabilities.push_back(describe_sid_(sid));
  std::string line = "launch set_capabilities";
  for (const auto& text : capabilities) line += " " + text;
  log_.push_back(line);
  std::uint32_t code = 0;
  if (fails("set_capabilities", code)) return Err<std::uint32_t>{code};
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

LaunchApi::Outcome<LaunchApi::Child> FakeLaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList* attributes) {
  created.push_back(
      Created{narrow(command_line), narrow(current_directory), attributes != nullptr});
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

LaunchApi::Outcome<std::unique_ptr<LaunchApi::Handle>> FakeLaunchApi::open_for_synchronize(
    std::uint32_t pid) {
  log_.push_back("launch open_parent " + decimal(pid));
  std::uint32_t code = 0;
  if (fails("open_parent", code)) return Err<std::uint32_t>{code};
  return std::unique_ptr<Handle>(std::make_unique<FakeHandle>(log_, live_objects, "parent"));
}

std::uint32_t FakeLaunchApi::wait_for_either(Handle& first, Handle& second) {
  log_.push_back("launch wait " + name_of(first) + " " + name_of(second));
  return wait_result;
}

LaunchApi::Outcome<std::uint32_t> FakeLaunchApi::exit_code(Handle& process) {
  log_.push_back("launch exit_code " + name_of(process));
  std::uint32_t code = 0;
  if (fails("exit_code", code)) return Err<std::uint32_t>{code};
  return child_exit_code;
}

}  // namespace tessarin::fakes
