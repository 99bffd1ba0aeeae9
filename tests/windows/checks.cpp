// The checks: each promise of the helper against what a confined child could do.

#include "suite.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <tuple>
#include <utility>

namespace acceptance {

// ---- the table of checks ---------------------------------------------------------------

// One row per check reads better as a table. A denial counts only after
// each of its positive controls succeeded.
const std::vector<Case>& cases() {
  const std::string token = "appcontainer={sid} integrity=S-1-16-4096 capabilities=";
  static const std::vector<Case> table = {
      {.name = kWsRead,
       .promise = "read_only grants read-and-execute on the workspace",
       .probe = {"read", "{ws}\\data.txt"},
       .advice = "grant (OI)(CI)RX on the workspace to the identity's SID"},
      {.name = "read_only: cannot create a workspace file",
       .promise = "read_only never lets the child write the workspace",
       .probe = {"write", "{ws}\\by-read-only.txt"},
       .expect = kDenied,
       .controls = {kWsWrite},
       .advice = "grant read-and-execute only, never modify, under read_only"},
      {.name = "read_only: cannot read a never-granted sibling directory",
       .promise = "the child reaches nothing outside its grants",
       .probe = {"read", "{sibling}\\secret.txt"},
       .expect = kDenied,
       .controls = {kWsRead},
       .advice = "grant only the workspace, the writable roots and the temporary directory"},
      {.name = "read_only: a --writable-root is writable",
       .promise = "every writable root gets modify access",
       .probe = {"create-delete", "{root}\\by-read-only.txt"},
       .advice = "grant (OI)(CI)M on every writable root whatever the preset"},
      {.name = kWsWrite,
       .promise = "workspace_write gives modify access to the workspace",
       .write = true,
       .probe = {"create-delete", "{ws}\\by-workspace-write.txt"},
       .advice = "make the grant effective for a Low-integrity container (see the design "
                 "questions)"},
      {.name = "workspace_write: creates and deletes a file in TEMP",
       .promise = "the run's temporary directory is writable",
       .write = true,
       .probe = {"create-delete", "%TEMP%\\by-workspace-write.txt"},
       .advice = "grant modify on the run's temporary directory"},
      // Windows documents that it reroutes a container's TEMP and TMP into
      // the identity's folder, which the helper empties around every run; the
      // places measurement records which of the two the child really sees.
      {.name = "workspace_write: TEMP and TMP name the run's or the identity's emptied folder",
       .promise = "the child's TEMP and TMP point at <state>\\tmp\\<pid> or at its container "
                  "folder's Temp",
       .write = true,
       .probe = {"temp-is", "{state}\\tmp\\|%LOCALAPPDATA%\\Temp"},
       .advice = "set TEMP and TMP of the child's environment to the run's temporary directory"},
      {.name = "offline (read_only): cannot connect outside the machine",
       .promise = "an offline identity has no network",
       .probe = {"connect", "{net}"},
       .expect = kNotAllowed,
       .controls = {kOnline},
       .advice = kOffline,
       .needs_network = true},
      {.name = kOnline,
       .promise = "--network gives the child the network",
       .online = true,
       .probe = {"connect", "{net}"},
       .advice = kCapabilities,
       .needs_network = true},
      {.name = "offline (workspace_write): cannot connect outside the machine",
       .promise = "an offline identity has no network",
       .write = true,
       .probe = {"connect", "{net}"},
       .expect = kNotAllowed,
       .controls = {kOnlineWw},
       .advice = kOffline,
       .needs_network = true},
      {.name = kOnlineWw,
       .promise = "--network gives the child the network",
       .write = true,
       .online = true,
       .probe = {"connect", "{net}"},
       .advice = kCapabilities,
       .needs_network = true},
      // The online child reaching the outside shows it has a network at all;
      // the suite reaching its own listener shows the listener is there.
      {.name = "online: cannot reach a loopback service (a documented limit)",
       .promise = "the README's limit: an online identity cannot reach loopback services",
       .online = true,
       .probe = {"connect", "{loopback}"},
       .expect = kNotAllowed,
       .controls = {kOnline, kLoopHere},
       .advice = "keep the README's list of limits true: loopback became reachable",
       .needs_network = true},
      {.name = "token: read_only offline",
       .promise = "the child runs as its identity: AppContainer, Low, no capability",
       .probe = {"token"},
       .advice = kTokenAdvice,
       .prints = token + "0"},
      {.name = "token: read_only online",
       .promise = "an online child has the two network capabilities and nothing more",
       .online = true,
       .probe = {"token"},
       .advice = kTokenAdvice,
       .prints = token + "2"},
      {.name = "token: workspace_write offline",
       .promise = "the child runs as its identity: AppContainer, Low, no capability",
       .write = true,
       .probe = {"token"},
       .advice = kTokenAdvice,
       .prints = token + "0"},
      {.name = "token: workspace_write online",
       .promise = "an online child has the two network capabilities and nothing more",
       .write = true,
       .online = true,
       .probe = {"token"},
       .advice = kTokenAdvice,
       .prints = token + "2"},
  };
  return table;
}

// A network check that cannot reach its target proves nothing: skipped, or a
// failure when the run was told the network must be there.
void unreachable(const std::string& name) {
  const std::string why = "this machine cannot reach " + g.net_target + " itself";
  if (!g_suite.require_network) return skip(name, why);
  record(
      {.name = name,
       .promise = "--require-network: every network check runs",
       .pass = false,
       .detail = why,
       .advice =
           "nothing: give the machine a route to the target, or name another with --net-target"});
}

// All rows run first, so that a denial is judged after its positive control.
void run_cases() {
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) continue;
    g.finished[c.name] = run(c.name, c.probe, {.write = c.write, .online = c.online});
  }
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) {
      unreachable(c.name);
      continue;
    }
    const Finished& f = g.finished[c.name];
    bool pass = c.expect == kNotAllowed ? (could_not(f) && f.exit != kNotFound)
                                        : child_ran(f) && static_cast<int>(f.exit) == c.expect;
    std::string detail =
        seen(f) + " (expected " + (c.expect == kNotAllowed ? "a failure" : verdict(c.expect)) + ")";
    if (!c.prints.empty()) {
      const std::string wanted = u8(expand(c.prints, g.ids[c.write][c.online]));
      pass = pass && f.out.find(wanted) != std::string::npos;
      detail += "; printed: " + f.out + " (expected " + wanted + ")";
    }
    const auto failed = std::find_if(c.controls.begin(), c.controls.end(),
                                     [](const char* control) { return !did(g.finished[control]); });
    if (pass && failed != c.controls.end()) {
      record({.name = c.name,
              .promise = c.promise,
              .pass = false,
              .detail = detail + "; but its positive control \"" + *failed +
                        "\" did not succeed, so the denial proves nothing",
              .advice = "make the positive control pass first"});
      continue;
    }
    if (pass && !c.controls.empty()) detail += "; its positive controls succeeded";
    record(
        {.name = c.name, .promise = c.promise, .pass = pass, .detail = detail, .advice = c.advice});
  }
}

void exit_codes() {
  for (const DWORD code : {0ul, 3ul, 3221225477ul}) {
    const std::string name = "the child's exit code " + std::to_string(code) + " is the helper's";
    const Finished f = run(name, {"exit", std::to_string(code)});
    record({.name = name,
            .promise = "the helper exits with the command's full 32-bit exit code",
            .pass = child_ran(f) && f.exit == code,
            .detail = "helper exited " + std::to_string(f.exit) +
                      (child_ran(f) ? "" : ", the child never ran") + "; stderr: " + f.err,
            .advice = "return GetExitCodeProcess of the child unchanged"});
  }
}

// A handle the caller let the helper inherit must not reach the child. Only
// what reaches leak.txt counts: in the child the same value may name a handle
// of its own.
void inherited_handle() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring path = g.sibling + L"\\leak.txt";
  const std::string name = "the child cannot use the caller's extra inheritable handle";
  Finished control, f;
  {
    const Handle leak(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, 0, nullptr));
    const RunOptions o{.extra = {leak.get()}};
    control = run("the child writes its own standard output", {"handle", "stdout"}, o);
    f = run(name, {"handle", std::to_string(reinterpret_cast<ULONG_PTR>(leak.get()))}, o);
  }
  const bool wrote = !slurp(path).empty();
  record({.name = name,
          .promise = "the child inherits exactly its three standard handles",
          .pass = did(control) && child_ran(f) && !wrote,
          .detail = "own stdout: " + seen(control) + "; the caller's handle: " + seen(f) +
                    (wrote ? "; leak.txt WAS written" : "; leak.txt untouched"),
          .advice = "start the child with PROC_THREAD_ATTRIBUTE_HANDLE_LIST naming only its "
                    "standard handles"});
}

// The suite plants links itself: elevated, it is not bound by the rules a
// sandboxed creator meets.
bool plant_junction(const std::wstring& link, const std::wstring& target) {
  return did(execute({{g.probe, L"junction", link, target}, As::kElevated}));
}

json g_junction = {{"status", "the workspace junction check did not get that far"}};

// A run refused before any grant: the helper's exit, its own message, and no
// child.
bool refused(const Finished& f, const std::string& said) {
  return !child_ran(f) && f.exit == kHelperFailed && f.err.find(said) != std::string::npos;
}

// A link out of the workspace, of each kind, alone: the run stops before any
// grant, and the audit after it finds nothing granted on the target. A
// junction that stays inside does not stop it. Then each awkward link alone
// (a loop or a dangling link beside the others would hide their answers).
void workspace_junctions() {
  const std::wstring links = g.ws + L"\\links";
  const Finally tidy{[&] { remove_tree(links); }};
  CreateDirectoryW(links.c_str(), nullptr);
  CreateDirectoryW((g.ws + L"\\inner").c_str(), nullptr);
  spill(g.ws + L"\\inner\\inner.txt", "inner");
  struct Planted {
    const char* name;
    const wchar_t* link;
    std::function<bool(const std::wstring&)> plant;
    bool out;
  };
  const std::vector<Planted> planted = {
      {"a junction out of the workspace", L"out",
       [](const std::wstring& link) { return plant_junction(link, g.target); }, true},
      {"a directory symbolic link out of the workspace", L"dir-link",
       [](const std::wstring& link) {
         return CreateSymbolicLinkW(link.c_str(), g.target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
       },
       true},
      {"a file symbolic link out of the workspace", L"file-link",
       [](const std::wstring& link) {
         return CreateSymbolicLinkW(link.c_str(), (g.target + L"\\keep.txt").c_str(), 0);
       },
       true},
      {"a junction that stays in the workspace", L"in",
       [](const std::wstring& link) { return plant_junction(link, g.ws + L"\\inner"); }, false},
  };
  for (const Planted& p : planted) {
    const std::wstring link = links + L"\\" + p.link;
    if (!p.plant(link)) {
      record({.name = p.name,
              .promise = "the suite can plant its fixtures",
              .pass = false,
              .detail = "the suite could not plant it: error " + std::to_string(GetLastError()),
              .advice = "nothing: a fault of the suite"});
      continue;
    }
    const std::string said = "a grant would follow link ";
    if (p.out) {
      const Finished f =
          run(p.name, {"write", "{ws}\\links\\" + u8(p.link) + "\\through.txt"}, {.write = true});
      const bool stopped = refused(f, said) && f.err.find(u8(p.link) + " to ") != std::string::npos;
      if (p.link == std::wstring(L"out")) {
        g_junction = {{"status", "measured"},
                      {"the helper refused a run whose workspace held it", stopped},
                      {"the target carried the identity's entry after that run",
                       reached(g.target, g.ids[1][0].sid)}};
      }
      record({.name = std::string(p.name) + " stops the run before any grant",
              .promise = "a run grants nothing through a link to what it does not grant",
              .pass = stopped,
              .detail = seen(f) + "; stderr: " + f.err,
              .advice =
                  "walk the paths to grant without following links and refuse, naming the link and "
                  "its target, any link that leads outside them"});
    } else {
      const Finished f = run(p.name, {"read", "{ws}\\links\\in\\inner.txt"}, {.write = true});
      record({.name = std::string(p.name) + " does not stop the run",
              .promise = "a link whose target lies inside the granted paths is fine",
              .pass = did(f),
              .detail = seen(f) + "; stderr: " + f.err,
              .advice = "compare a link's canonical target with the canonical granted paths"});
    }
    if (!RemoveDirectoryW(link.c_str())) DeleteFileW(link.c_str());
  }
  remove_tree(g.ws + L"\\inner");

  // The helper's own directories, as the helper finds them: never granted
  // for writing, and the state directory not even for reading.
  const std::wstring helper_dir = g.helper.substr(0, g.helper.rfind(L'\\'));
  const std::wstring state_parent = g.state.substr(0, g.state.rfind(L'\\'));
  for (const auto& [name, workspace, write, said] :
       {std::tuple{"a workspace_write run on the helper's own directory", &helper_dir, true,
                   " covers the helper's own directory "},
        std::tuple{"a read_only run on a directory holding the state directory", &state_parent,
                   false, " overlaps the sandbox state directory "}}) {
    const Finished f = run(name, {"exit", "0"}, {.write = write, .workspace = workspace});
    record(
        {.name = std::string(name) + " is refused",
         .promise = "no grant reaches the helper or its state",
         .pass = refused(f, said),
         .detail = seen(f) + "; stderr: " + f.err,
         .advice =
             "refuse, before any grant, a workspace or root over the state directory or a Modify "
             "grant over the helper's directory"});
  }

  // Links no grant may walk: each alone, each refusing the run before any
  // grant with its own reason. Two junctions into each other may fail to open
  // before the walk sees the cycle, so that row pins no reason.
  struct Awkward {
    const char* name;
    std::vector<std::pair<std::wstring, std::wstring>> links;  // link, target
    const char* said;
  };
  const std::wstring a = links + L"\\a", b = links + L"\\b";
  for (const Awkward& k :
       {Awkward{"a junction back to its own parent", {{a, links}}, ", which holds it"},
        Awkward{"a cycle of two junctions", {{a, b}, {b, a}}, ""},
        Awkward{"a dangling junction", {{a, links + L"\\nowhere"}}, ", which cannot be opened"},
        Awkward{"a directory link to a UNC path",
                {{a, L"\\\\127.0.0.1\\C$\\Windows"}},
                ", which is on no local volume"},
        // Opening the junction first would follow both to the share.
        Awkward{"a junction to a directory link to a UNC path",
                {{a, b}, {b, L"\\\\127.0.0.1\\C$\\Windows"}},
                ", which is on no local volume"}}) {
    bool made = true;
    for (const auto& [link, target] : k.links) {
      made = made &&
             (target.rfind(L"\\\\", 0) == 0 ? CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                                                  SYMBOLIC_LINK_FLAG_DIRECTORY) != 0
                                            : plant_junction(link, target));
    }
    if (made) {
      const Finished r = run(k.name, {"read", "{ws}\\data.txt"}, {.write = true});
      record({.name = std::string(k.name) + " in the workspace stops the run before any grant",
              .promise = "grants never walk a link they cannot follow safely",
              .pass = refused(r, k.said),
              .detail = seen(r) + "; stderr: " + r.err,
              .advice =
                  "refuse, before any grant, a link back to a parent, a cycle, a dangling link and "
                  "a UNC target, reading what every link records before opening any"});
    } else {
      record({.name = k.name,
              .promise = "the suite can plant its fixtures",
              .pass = false,
              .detail = "the suite could not plant it",
              .advice = "nothing: a fault of the suite"});
    }
    RemoveDirectoryW(a.c_str());
    RemoveDirectoryW(b.c_str());
  }
}

// What the child leaves in TEMP goes with it, links as links: a junction in
// TEMP to the workspace, TEMP itself made a junction to the workspace, and odd
// names. The workspace must survive each.
void temp_links_and_names(json& m) {
  struct Plant {
    const char* name;
    std::vector<std::string> probe;
  };
  const std::string keep = slurp(g.ws + L"\\data.txt");
  for (const Plant& p :
       {Plant{"a junction in TEMP to the workspace", {"junction", "%TEMP%\\ws", "{ws}"}},
        Plant{"TEMP itself made a junction to the workspace", {"junction", "%TEMP%", "{ws}"}}}) {
    const Finished f = run(p.name, p.probe, {.write = true});
    m[p.name] = outcome(f);
    const bool intact = slurp(g.ws + L"\\data.txt") == keep && !keep.empty();
    if (could_not(f) && intact) {
      skip(std::string(p.name) + ": the workspace survives",
           "the child could not plant it: " + seen(f));
      continue;
    }
    record(
        {.name = std::string(p.name) + ": the workspace survives the temporary directory's removal",
         .promise = "removing the temporary directory never follows a link",
         .pass = did(f) && intact,
         .detail = seen(f) + "; workspace file " + (intact ? "intact" : "GONE or changed"),
         .advice = "remove links in the temporary directory as links, never descend into them"});
  }
  const Finished odd = run("odd names in TEMP", {"odd-names", "%TEMP%"}, {.write = true});
  record(
      {.name =
           "files with trailing dots, device names, long paths and lone surrogates leave with TEMP",
       .promise = "the temporary directory is removed whatever names the child gave",
       .pass = did(odd) && !exists(g.state + L"\\tmp\\" + std::to_wstring(odd.pid)),
       .detail = seen(odd),
       .advice = "remove on \\\\?\\ paths with names kept as UTF-16"});
}

void locked_file() {
  const Identity& id = g.ids[1][0];
  const std::wstring locked = g.ws + L"\\locked.txt";
  const Finished f = run("a file whose access list the user cannot change",
                         {"lockdown", "{ws}\\locked.txt"}, {.write = true, .audit = false});
  const bool still = reached(locked, id.sid);
  const bool lease = exists(g.state + L"\\acl-leases\\" + id.name + L".json");
  const bool loud = f.err.find("workspace ACL cleanup failed") != std::string::npos;
  g_suite.report["findings"].push_back(
      {{"locked file", "helper exit " + std::to_string(f.exit) +
                           ", identity entry left: " + (still ? "yes" : "no") +
                           ", lease kept: " + (lease ? "yes" : "no") + ", stderr: " + f.err}});
  if (!exists(locked)) {
    record({.name = "a child-made file the user cannot re-permission",
            .promise = "the child can make its own files",
            .pass = false,
            .detail = "the child could not make it: " + seen(f),
            .advice = "see the workspace_write checks"});
  } else {
    record(
        {.name = "a child-made file the user cannot re-permission does not silently keep a grant",
         .promise =
             "revocation either removes every entry or fails loudly (exit 77) and keeps the lease",
         .pass = !still || (loud && lease && f.exit == kHelperFailed),
         .detail = std::string("entry left: ") + (still ? "yes" : "no") + "; reported: " +
                   (loud ? "yes" : "no") + "; lease kept: " + (lease ? "yes" : "no"),
         .advice =
             "report a failed revocation (workspace ACL cleanup failed ...) and keep the lease"});
  }
  remove_tree(locked);
  const Finished next =
      run("the next run repairs what the locked file left", {"exit", "0"}, {.write = true});
  record({.name = "the next run after a refused revocation runs",
          .promise = "a kept lease is repaired, not a wedge",
          .pass = did(next),
          .detail = seen(next),
          .advice = "revoke a kept lease first and go on"});
}

// Keystrokes and Ctrl+Break from the child must not outlive the run. With no
// console among the helper's standard handles the command has a console of
// its own; it types into it, then attaches to its parent's (the helper's,
// which is the suite's) and types again: nothing may reach the suite's.
void console_events() {
  FlushConsoleInputBuffer(g.console_input.get());
  const Finished f = run("the child types into the console input", {"inject"},
                         {.write = true, .null_input = true});
  std::vector<INPUT_RECORD> records(4096);
  DWORD got = 0;
  PeekConsoleInputW(g.console_input.get(), records.data(), static_cast<DWORD>(records.size()),
                    &got);
  FlushConsoleInputBuffer(g.console_input.get());
  // Focus and mouse events come from the window, not from a child.
  const auto keys = std::count_if(records.begin(), records.begin() + got,
                                  [](const INPUT_RECORD& r) { return r.EventType == KEY_EVENT; });
  const bool attached = f.out.find("ATTACHED") != std::string::npos;
  g_suite.report["findings"].push_back(
      {{"keystrokes", f.out},
       {"the command attached to the helper's console (then a console of its own is not enough)",
        attached}});
  record({.name = "keystrokes the child types reach nothing of the caller's console",
          .promise = "nothing the child does runs unconfined after the helper exits",
          .pass = child_ran(f) && f.out.find("own console:") != std::string::npos && keys == 0,
          .detail = seen(f) + "; the child printed: " + f.out +
                    "; the suite's console input holds " + std::to_string(keys) + " keystroke(s)",
          .advice = "give the command a console of its own when no standard handle is one, and "
                    "standard input from a pipe or the null device"});

  const std::wstring beat = g.ws + L"\\break-beat.txt";
  const Finished b = run("the child sends Ctrl+Break to the console",
                         {"break", "{ws}\\break-beat.txt"}, {.write = true});
  const std::string before = slurp(beat);
  Sleep(1500);
  // A child refused the event has nothing to prove; the audit still runs.
  record(
      {.name = "after Ctrl+Break the helper still ends the tree and revokes",
       .promise = "console control events never stop the clean-up",
       .pass = (did(b) || (child_ran(b) && b.exit == kDenied)) && slurp(beat) == before,
       .detail = seen(b) + (slurp(beat) == before ? "" : "; the grandchild still beats"),
       .advice = "install a console control handler that returns TRUE for Ctrl+C and Ctrl+Break"});
  DeleteFileW(beat.c_str());
}

// The caller dies, or the helper itself is killed: the tree must go.
void dying_caller_and_helper() {
  for (const bool kill_helper : {false, true}) {
    const std::wstring b1 = g.ws + L"\\beat1.txt", b2 = g.ws + L"\\beat2.txt";
    Started caller =
        start({{g.probe, L"hold", g.io + L"\\never", L"0"}, As::kUser, false, false, true});
    RunOptions o{.write = true, .audit = !kill_helper, .caller = &caller};
    o.during = [&](Started& helper) {
      while_running(helper, 100, 60000, [&] { return exists(b1) && exists(b2); });
      TerminateProcess(kill_helper ? helper.process.get() : caller.process.get(), 1);
    };
    const std::string name =
        kill_helper ? "the helper killed mid-run" : "the caller killed mid-run";
    run(name, {"tree", "{ws}\\beat1.txt", "{ws}\\beat2.txt"}, o);
    const std::string one = slurp(b1), two = slurp(b2);
    Sleep(1500);
    record({.name = name + " ends the child and its grandchild",
            .promise = "the command's tree dies with the caller and with the helper",
            .pass = !one.empty() && !two.empty() && slurp(b1) == one && slurp(b2) == two,
            .detail = one.empty() || two.empty()
                          ? "the tree never started beating"
                          : std::string("child beat ") +
                                (slurp(b1) == one ? "stopped" : "GOES ON") + ", grandchild beat " +
                                (slurp(b2) == two ? "stopped" : "GOES ON"),
            .advice = "keep the tree in a kill-on-close job and watch the caller's handle"});
    TerminateProcess(caller.process.get(), 1);
    DeleteFileW(b1.c_str());
    DeleteFileW(b2.c_str());
    if (kill_helper) {
      const Finished next =
          run("the next run repairs what the killed helper left", {"exit", "0"}, {.write = true});
      record({.name = "the next run after a killed helper runs",
              .promise = "a killed run is repaired, not a wedge",
              .pass = did(next),
              .detail = seen(next),
              .advice = "revoke the dead run's lease first and go on"});
    }
  }
}

// Closing the helper's console window ends the tree and is reported as a
// close, within the seconds the system gives a closing console, with every
// grant revoked. The grandchild has no console, so only the helper's job can
// stop its beat.
void console_close() {
  // The line and 77 go out before the system ends the helper, so a race
  // there would show in one of three closes.
  for (int round = 1; round <= 3; ++round) {
    const std::wstring b1 = g.ws + L"\\close-beat1.txt", b2 = g.ws + L"\\close-beat2.txt";
    Finished closer;
    RunOptions o{.write = true, .own_console = true};
    o.during = [&](Started& helper) {
      while_running(helper, 100, 60000, [&] { return exists(b1) && exists(b2); });
      closer = execute({{g.probe, L"close-console", std::to_wstring(helper.pid)}});
    };
    const Finished f = run("the helper's console closed mid-run",
                           {"detached-tree", "{ws}\\close-beat1.txt", "{ws}\\close-beat2.txt"}, o);
    const std::string one = slurp(b1), two = slurp(b2);
    Sleep(1500);
    const bool stopped = !one.empty() && !two.empty() && slurp(b1) == one && slurp(b2) == two;
    const bool reported =
        f.exit == kHelperFailed &&
        f.err.find("console closed; terminated the sandbox process tree") != std::string::npos;
    record(
        {.name = "closing the helper's console ends the tree and says so (close " +
                 std::to_string(round) + " of 3)",
         .promise =
             "a console close ends the command's tree and is never reported as the command's own "
             "exit code",
         .pass = child_ran(f) && closer.exit == kAllowed && stopped && reported,
         .detail =
             "the close: " + (closer.exit == kAllowed ? std::string("posted") : seen(closer)) +
             "; the run: " + seen(f) + "; grandchild beat " +
             (one.empty() || two.empty() ? "never started"
              : slurp(b2) == two         ? "stopped"
                                         : "GOES ON"),
         .advice = "write the close's line and exit 77 before the handler returns to the system"});
    DeleteFileW(b1.c_str());
    DeleteFileW(b2.c_str());
  }
}

// Ctrl+C on the helper's console while it grants: no child is there yet to
// take it, so none may start, and what was granted is revoked. The generated
// tree keeps icacls busy for seconds; the lease appears just before the first
// grant.
void interrupt_during_grants() {
  if (!exists(g.tree)) {
    record({.name = "Ctrl+C during the grants (the generated tree is there)",
            .promise = "the suite's own fixtures hold",
            .pass = false,
            .detail = "the measurements made no tree",
            .advice = "nothing: this is a fault of the suite"});
    return;
  }
  const std::wstring lease = g.state + L"\\acl-leases\\" + g.ids[1][0].name + L".json";
  Finished sender;
  RunOptions o{.write = true, .workspace = &g.tree, .own_console = true, .limit = kToolTimeoutMs};
  // A lease an earlier run kept is there at once: only one written after the
  // helper started marks its first grant.
  o.during = [&](Started& helper) {
    FILETIME created{}, unused{};
    GetProcessTimes(helper.process.get(), &created, &unused, &unused, &unused);
    while_running(helper, 10, 30000, [&] {
      WIN32_FILE_ATTRIBUTE_DATA data{};
      return GetFileAttributesExW(lease.c_str(), GetFileExInfoStandard, &data) &&
             CompareFileTime(&data.ftLastWriteTime, &created) > 0;
    });
    sender = execute({{g.probe, L"interrupt-console", std::to_wstring(helper.pid)}});
  };
  const Finished f = run("Ctrl+C on the helper's console during the grants", {"exit", "0"}, o);
  const bool sent = child_ran(sender) && sender.out.find("\nsent") != std::string::npos;
  const bool reported =
      f.exit == kHelperFailed &&
      f.err.find("interrupted before the sandbox process started") != std::string::npos;
  record({.name = "Ctrl+C during the grants starts no child and says so",
          .promise = "a user's interrupt before the command starts keeps it from running",
          .pass = sent && !child_ran(f) && reported,
          .detail = "the Ctrl+C: " + (sent ? std::string("sent") : seen(sender)) +
                    "; the run: " + seen(f) + (child_ran(f) ? "; the child RAN" : ""),
          .advice =
              "keep a Ctrl+C that comes while no job is named, end the job as soon as it is named, "
              "and report the interrupt with 77"});
}

// A powershell.exe or icacls.exe on PATH or beside the helper is never
// started, a userenv.dll beside it is never loaded (this one is no DLL at
// all: loading it would fail the run), and a firewall module first on
// PSModulePath is never used.
void planted_tools() {
  const std::wstring beside = g.helper.substr(0, g.helper.find_last_of(L'\\'));
  const std::wstring module = g.plant + L"\\NetSecurity", mark = g.plant + L"\\planted-ran.txt";
  std::vector<std::wstring> planted;
  const Finally tidy{[&] {
    for (const auto& path : planted) DeleteFileW(path.c_str());
    RemoveDirectoryW(module.c_str());
    DeleteFileW(mark.c_str());
    DeleteFileW((beside + L"\\planted-ran.txt").c_str());
  }};
  for (const auto& dir : {g.plant, beside}) {
    for (const wchar_t* tool : {L"powershell.exe", L"icacls.exe"}) {
      planted.push_back(dir + L"\\" + tool);
      CopyFileW(g.probe.c_str(), planted.back().c_str(), FALSE);
    }
  }
  planted.push_back(beside + L"\\userenv.dll");
  spill(planted.back(), "MZ: not a library");
  CreateDirectoryW(module.c_str(), nullptr);
  planted.push_back(module + L"\\NetSecurity.psm1");
  // The marker needs no module, so that only the planted one decides.
  spill(planted.back(),
        "function Get-NetFirewallRule { [IO.File]::WriteAllText('" + u8(mark) + "', 'ran') }\r\n");
  for (const auto& path : planted) {
    if (!exists(path)) {
      return void(record({.name = "the suite plants its tools",
                          .promise = "the suite's own fixtures hold",
                          .pass = false,
                          .detail = "could not plant " + u8(path),
                          .advice = "nothing: this is a fault of the suite"}));
    }
  }
  // PSModulePath as the helper gives its PowerShell, the plant first: an
  // inherited value may hold a pwsh 7's modules, which would fail the control.
  const std::wstring environment = environment_with(
      {{L"PATH", g.plant}, {L"PSModulePath", g.plant + L";" + system_modules(), false}});
  // The control: the system's PowerShell, given that environment by anyone
  // else, does load the planted module.
  Launch control{{system_dir() + L"\\WindowsPowerShell\\v1.0\\powershell.exe", L"-NoProfile",
                  L"-NonInteractive", L"-Command", L"Get-NetFirewallRule -Name none"}};
  control.environment = &environment;
  execute(control);
  const bool module_loads = exists(mark);
  DeleteFileW(mark.c_str());
  const Finished s =
      execute({{g.helper, L"status"}, As::kUser, false, false, false, {}, &environment});
  const Finished r =
      run("a run with planted tools", {"read", "{ws}\\data.txt"}, {.environment = &environment});
  const bool ran = exists(mark) || exists(beside + L"\\planted-ran.txt");
  record(
      {.name = "a planted powershell.exe, icacls.exe (on PATH, beside the helper), userenv.dll or "
               "firewall module is never used",
       .promise = "tools, DLLs and PowerShell's modules come from the system directory",
       .pass = module_loads && !ran && s.out == kReadyLine && did(r),
       .detail = std::string("planted tool or module started: ") + (ran ? "YES" : "no") +
                 "; the module loads without the helper (control): " +
                 (module_loads ? "yes" : "NO") + "; status: " + s.out + s.err + "; run: " + seen(r),
       .advice = "start <system>\\icacls.exe and <system>\\WindowsPowerShell\\v1.0\\powershell.exe "
                 "first, load userenv.dll from the system directory only, and give PowerShell a "
                 "PSModulePath of the system's modules alone"});
}

// A toolchain outside the folders every container may read (Python in the
// runner's tool cache, a folder at a drive's root) does not start until
// --readable-root names it, and then does; git in Program Files needs none.
void toolchains() {
  std::wstring python;
  const std::wstring cache = env(L"RUNNER_TOOL_CACHE") + L"\\Python";
  list_dir(cache, [&](const std::wstring& version) {
    if (python.empty() && exists(version + L"\\x64\\python.exe")) python = version + L"\\x64";
  });
  const std::string say = "print('" + std::string(kRanMarker) + " python')";
  if (python.empty()) {
    skip("a toolchain in the tool cache runs only with --readable-root",
         "no Python in " + u8(cache));
  } else {
    const RunOptions without{.program = python + L"\\python.exe"};
    RunOptions with = without;
    with.more = {L"--readable-root", python};
    const Finished no = run("Python from the tool cache, no root", {"-c", say}, without);
    const Finished yes = run("Python from the tool cache, its folder readable", {"-c", say}, with);
    record(
        {.name = "a toolchain in the tool cache runs only with --readable-root",
         .promise =
             "a --readable-root is readable and executable, and nothing else outside the system "
             "folders is",
         .pass = did(yes) && !child_ran(no),
         .detail = "with the root: " + seen(yes) + "; without: " + seen(no),
         .advice =
             "grant (OI)(CI)RX on each --readable-root for the run and revoke it with the rest"});
  }
  const std::wstring git = env(L"ProgramFiles") + L"\\Git\\cmd\\git.exe";
  if (!exists(git)) return skip("git from Program Files runs without any root", "no " + u8(git));
  const Finished f = run("git --version", {"--version"}, {.program = git});
  record(
      {.name = "git from Program Files runs without any root",
       .promise = "what every container may read is enough for a program installed for all users",
       .pass = f.exit == 0 && f.out.find("git version") != std::string::npos,
       .detail = "exit " + std::to_string(f.exit) + ", printed " + f.out + f.err,
       .advice = "nothing to grant: Program Files is readable by every container"});
}

// The checks the measurements carry: each passes when its figure is true.
// A figure missing because its measurement failed fails; one not asked for
// (no --audit-module) or that could not be taken (a child that could not
// plant its junction) is skipped.
void judge_figures() {
  struct Judged {
    Row row;
    const char *figure, *name, *promise, *advice;
  };
  static const Judged judged[] = {
      {.row = kChildJunctions,
       .figure = "its target survived the temporary directory's removal",
       .name = "a junction in TEMP to an unwritable directory: its target survives",
       .promise = "removing the temporary directory never follows a link",
       .advice = "remove links in the temporary directory as links, never descend into them"},
      {.row = kHardLink,
       .figure = "stopped before any grant, the store file untouched, read_only and both names "
                 "inside went on",
       .name = "a file hard-linked from outside stops a workspace_write run before any grant",
       .promise =
           "a Modify grant never reaches a file outside the grants through another of its names",
       .advice = "refuse, before any grant, a file whose other names do not all lie inside "
                 "Modify grants; let read_only proceed"},
      {.row = kLoopJunction,
       .figure = "the helper refused the workspace",
       .name = "a junction back to the workspace root stops the run before any grant",
       .promise = "a run grants nothing through a link that leads back to its own parent",
       .advice = "refuse, before any grant, a directory link that leads to one of its own parents"},
      {.row = kTempPlaces,
       .figure = "nothing one run left was found by the next",
       .name = "what one run leaves in its TEMP or LOCALAPPDATA is gone for the next run",
       .promise = "runs of one identity share nothing through its own folders",
       .advice = "empty the identity's container folder before and after every run"},
      {.row = kAudit,
       .figure = "nothing writable outside the grants",
       .name = "an independent audit finds nothing writable outside the run's grants",
       .promise = "each identity writes only its workspace (under workspace_write), its roots, its "
                  "temporary directory and its own container folder",
       .advice = "grant nothing else; see the listed paths and keys"},
  };
  for (const Judged& j : judged) {
    const auto found = g_suite.measured.find(kMeasurements[j.row].name);
    const json figures =
        found == g_suite.measured.end() ? json{{"status", "not run"}} : found->second;
    const std::string status = figures.value("status", "");
    if (status.rfind("not run:", 0) == 0 ||
        (j.row == kChildJunctions && found != g_suite.measured.end() &&
         !figures.contains(j.figure))) {
      skip(j.name, status.rfind("not run:", 0) == 0 ? status : "the child could not make it");
      continue;
    }
    record({.name = j.name,
            .promise = j.promise,
            .pass = figures.value(j.figure, false) == true,
            .detail = figures.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 2000),
            .advice = j.advice});
  }
}

}  // namespace acceptance
