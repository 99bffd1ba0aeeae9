#pragma once
// Everything the portable core reaches of the operating system, in one place.
// The Windows build fills it with the Win32 implementations; the unit tests
// with in-memory fakes.

#include "platform/app_container.h"
#include "platform/console.h"
#include "platform/console_events.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/launcher.h"
#include "platform/named_lock.h"
#include "platform/process.h"
#include "platform/tool_runner.h"

namespace tessarin {

struct Platform {
  Console& console;
  Environment& env;
  FileSystem& files;
  ToolRunner& tools;
  AppContainerApi& app_containers;
  LockApi& locks;
  ProcessApi& processes;
  LaunchApi& launcher;
  ConsoleEvents& console_events;
};

}  // namespace tessarin
