// The measurements: figures the next design steps depend on, taken on real Windows.

#include "suite.h"

#include <netfw.h>
#include <sddl.h>

#include <aclapi.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace acceptance {

// ---- the table of measurements ---------------------------------------------------------
// Each row is one operation run through run(), execute() or the in-process
// firewall read; its figures go into the report as they are, and the design
// questions below read them from there.

// The phases of one tracked run, from the processes its tree started. Grants
// and revocations are told apart by their place around the child; the helper
// grants the workspace, each writable root, then the temporary directory, and
// revokes them in the same order (a stale lease's repair would come first and
// read as grants: the audit of the run before makes sure there is none).
json phases(const Finished& f) {
  json out = {{"status", "never ran (" + seen(f) + ")"}};
  const auto is = [](const Event& e, const wchar_t* image) { return e.image == image; };
  const auto child = std::find_if(f.events.begin(), f.events.end(),
                                  [&](const Event& e) { return is(e, L"tessarin-probe.exe"); });
  if (!child_ran(f)) return out;
  if (child == f.events.end()) return {{"status", "the suite's job saw no child (nested jobs?)"}};
  out["status"] = "measured";
  const Event& helper = f.events.front();
  const char* names[] = {"workspace", "writable root", "temporary directory"};
  double last_grant = helper.start, last_revocation = child->end, icacls = 0, ps = 0;
  double ps_end = helper.start, first_grant = -1;
  int grants = 0, revocations = 0, consoles = 0;
  json list = json::array();
  const auto put = [&](const std::string& phase, double from, double to) {
    list.push_back({{"phase", phase}, {"seconds", round3(to - from)}});
  };
  for (const Event& e : f.events) {
    if (e.end < 0) out["status"] = "incomplete: the job lost the end of " + u8(e.image);
    if (is(e, L"conhost.exe")) ++consoles;
    if (is(e, L"powershell.exe")) {
      put("readiness PowerShell", e.start, e.end);
      ps += e.end - e.start;
      ps_end = e.end;
    } else if (is(e, L"icacls.exe")) {
      const bool grant = e.start < child->start;
      if (grant && first_grant < 0) first_grant = e.start;
      int& n = grant ? grants : revocations;
      put((grant ? "grant " : "revocation ") + (n < 3 ? std::string(names[n]) : std::to_string(n)),
          e.start, e.end);
      ++n;
      (grant ? last_grant : last_revocation) = e.end;
      icacls += e.end - e.start;
    }
  }
  // The link walk, the lock, the lease and the TEMP reset.
  put("before the first grant (PowerShell's end to the first icacls)", ps_end,
      first_grant < 0 ? ps_end : first_grant);
  put("launch (last grant to the child's start)", last_grant, child->start);
  put("the child", child->start, child->end);
  put("temporary directory removal and exit (last revocation to the helper's end)", last_revocation,
      helper.end);
  out["phases"] = list;
  out["total seconds"] = round3(helper.end - helper.start);
  out["PowerShell seconds"] = round3(ps);
  out["icacls seconds"] = round3(icacls);
  out["processes"] = f.events.size() - static_cast<std::size_t>(consoles);
  out["console hosts"] = consoles;
  return out;
}

json phases_of_empty_workspace() {
  const std::wstring empty = g.root + L"\\empty-workspace";
  CreateDirectoryW(empty.c_str(), nullptr);
  return phases(run("a tracked run on an empty workspace", {"exit", "0"},
                    {.write = true, .track = true, .workspace = &empty}));
}

// 10 files in each of 2,000 directories (50 with 39 below each), or five
// times as many with --large-tree: the shape of a package tree.
long make_tree() {
  const int tops = g_suite.large_tree ? 250 : 50;
  long files = 0;
  CreateDirectoryW(g.tree.c_str(), nullptr);
  for (int top = 0; top < tops; ++top) {
    const std::wstring dir = g.tree + L"\\t" + std::to_wstring(top);
    CreateDirectoryW(dir.c_str(), nullptr);
    for (int sub = -1; sub < 39; ++sub) {
      const std::wstring here = sub < 0 ? dir : dir + L"\\s" + std::to_wstring(sub);
      CreateDirectoryW(here.c_str(), nullptr);
      for (int file = 0; file < 10; ++file, ++files) {
        spill(here + L"\\f" + std::to_wstring(file) + L".js", "module.exports = 1;\n");
      }
    }
  }
  return files;
}

json phases_of_generated_workspace() {
  LARGE_INTEGER t0{};
  QueryPerformanceCounter(&t0);
  const long files = make_tree();
  const double made = since(t0);
  json out =
      phases(run("a tracked run on a generated workspace", {"exit", "0"},
                 {.write = true, .track = true, .workspace = &g.tree, .limit = kToolTimeoutMs}));
  out["files"] = files;
  out["directories"] = files / 10;
  out["seconds to make the tree"] = round3(made);
  return out;
}

// The design's grant and revocation (icacls /T) against a root-only pair that
// leaves the children to inheritance, on the generated tree with a junction
// planted in it, for the suite's throwaway SID. A leftover entry from the pair
// before would read as reach, so the tree must be clean first.
json tree_grants(bool recursive) {
  const std::wstring link = g.tree + L"\\zz-link";
  std::vector<std::string> before;
  find_aces(g.tree, g.question_sid, before);
  find_aces(g.target, g.question_sid, before);
  if (!before.empty()) return {{"status", "polluted: " + before.front()}};
  const bool planted = plant_junction(link, g.target);
  const Finally unlink{[&] { RemoveDirectoryW(link.c_str()); }};
  const std::wstring sid = L"*" + w(g.question_sid);
  std::vector<std::wstring> grant = {L"/grant", sid + L":(OI)(CI)M", L"/C", L"/Q"};
  std::vector<std::wstring> revoke = {L"/remove:g", sid, L"/C", L"/Q"};
  if (recursive) grant.push_back(L"/T"), revoke.push_back(L"/T");
  const Finished granted = icacls(g.tree, grant);
  const bool through =
      reached(g.target, g.question_sid) || reached(g.target + L"\\keep.txt", g.question_sid);
  const bool deep = reached((g.tree + L"\\t0\\s38\\f9.js"), g.question_sid);
  const Finished revoked = icacls(g.tree, revoke);
  std::vector<std::string> left;
  find_aces(g.tree, g.question_sid, left);
  const bool target_left =
      reached(g.target, g.question_sid) || reached(g.target + L"\\keep.txt", g.question_sid);
  return {{"status", granted.exit == 0 && revoked.exit == 0 ? "measured" : "icacls failed"},
          {"pair seconds", round3(granted.seconds + revoked.seconds)},
          {"grant exit", granted.exit},
          {"grant stderr", granted.err.substr(0, 400)},
          {"revocation exit", revoked.exit},
          {"a file two directories down received the entry", deep},
          {"the junction led the grant to its target",
           planted ? json(through) : json("the suite could not plant it")},
          {"entries left in the tree after revocation", left.size()},
          {"entry left on the junction's target after revocation", target_left}};
}

// Three pairs of each, alternating, so that neither always meets the cache
// the other warmed; the figures are the medians and the first pair's facts.
json tree_pairs() {
  if (!exists(g.tree)) return {{"status", "the generated tree is missing"}};
  json out = {{"status", "measured"}, {"pairs", 3}};
  for (const char* kind : {"/T", "root-only"}) out[kind] = {{"samples", json::array()}};
  for (int pair = 0; pair < 3; ++pair) {
    for (const bool recursive : {true, false}) {
      json& kind = out[recursive ? "/T" : "root-only"];
      const json taken_now = tree_grants(recursive);
      if (taken_now["status"] != "measured") {
        out["status"] = std::string(recursive ? "/T: " : "root-only: ") +
                        taken_now["status"].get<std::string>();
        return out;
      }
      kind["samples"].push_back(taken_now["pair seconds"]);
      if (pair == 0) kind.update(taken_now);
    }
  }
  for (const char* kind : {"/T", "root-only"}) {
    std::vector<double> samples = out[kind]["samples"];
    std::sort(samples.begin(), samples.end());
    out[kind]["pair seconds"] = samples[samples.size() / 2];
    out[kind].erase("status");
  }
  return out;
}

// The same pairs with Defender's real-time monitoring on, where the machine
// lets the suite turn it on (an image may ship it off, with its drives
// excluded); what it found is put back afterwards.
json tree_pairs_scanned() {
  const Finished found = powershell(
      L"$s = Get-MpComputerStatus; $p = Get-MpPreference; "
      L"'{0}|{1}|{2}|{3}' -f $s.RealTimeProtectionEnabled, $s.AMRunningMode, "
      L"$p.DisableRealtimeMonitoring, ($p.ExclusionPath -join ';')");
  const std::string state = found.out.substr(0, found.out.find_last_not_of("\r\n") + 1);
  json out = {{"Defender as found (real-time|mode|disabled by policy|exclusions)", state}};
  if (found.exit != 0) return {{"status", "measured"}, {"Defender", "not present: " + found.err}};
  const std::wstring exclusions = w(state.substr(state.rfind('|') + 1));
  const Finished on = powershell(
      L"Set-MpPreference -DisableRealtimeMonitoring $false; "
      L"Get-MpPreference | % ExclusionPath | ? { $_ } | % { Remove-MpPreference -ExclusionPath $_ "
      L"}; Start-Sleep 5; (Get-MpComputerStatus).RealTimeProtectionEnabled");
  const bool scanning = on.out.find("True") != std::string::npos;
  const Finally put_back{[&] {
    std::wstring restore =
        L"Set-MpPreference -DisableRealtimeMonitoring $" +
        std::wstring(state.find("|True|") != std::string::npos ? L"true" : L"false");
    if (!exclusions.empty())
      restore += L"; Add-MpPreference -ExclusionPath ('" + exclusions + L"' -split ';')";
    powershell(restore);
  }};
  out["real-time monitoring on during the pairs"] = scanning;
  if (!scanning) {
    out["status"] = "measured";
    out["note"] = "this machine would not turn real-time monitoring on: " + on.err;
    return out;
  }
  out.update(tree_pairs());
  return out;
}

// A junction from inside the generated tree back to its root: what icacls /T
// pays walking through it, called directly (ten minutes at most: longer is
// the answer), and whether the helper refuses such a workspace before any
// grant.
json loop_junction() {
  if (!exists(g.tree)) return {{"status", "the generated tree is missing"}};
  const std::wstring link = g.tree + L"\\t0\\zz-back-to-root";
  if (!plant_junction(link, g.tree)) return {{"status", "the suite could not plant the junction"}};
  const std::wstring sid = L"*" + w(g.question_sid);
  Launch grant{
      {system_dir() + L"\\icacls.exe", g.tree, L"/grant", sid + L":(OI)(CI)M", L"/T", L"/C", L"/Q"},
      As::kElevated};
  const Finished granted = execute(grant, 600000);
  const Finished f = run("a junction back to the workspace root", {"exit", "0"},
                         {.write = true, .workspace = &g.tree, .limit = kToolTimeoutMs});
  RemoveDirectoryW(link.c_str());
  icacls(g.tree, {L"/remove:g", sid, L"/T", L"/C", L"/Q"});
  return {{"status", "measured"},
          {"icacls /T grant seconds through the loop", round3(granted.seconds)},
          {"icacls /T grant timed out (600 s)", granted.timed_out},
          {"icacls exit", granted.exit},
          {"icacls output (tail)",
           granted.out.substr(granted.out.size() > 400 ? granted.out.size() - 400 : 0) +
               granted.err.substr(0, 400)},
          {"the helper refused the workspace",
           !child_ran(f) && f.exit == kHelperFailed &&
               f.err.find(", which holds it") != std::string::npos}};
}

// The readiness check's PowerShell, timed inside a real `status`, against
// reading the same four rules in process.
json readiness_reads() {
  const Finished status = execute({{g.helper, L"status"}, As::kUser, false, true});
  json out = {
      {"status", status.out == kReadyLine ? "measured" : "status was not ready: " + status.out}};
  for (const Event& e : status.events) {
    if (e.image == L"powershell.exe") out["PowerShell seconds"] = round3(e.end - e.start);
  }
  out["status seconds"] = round3(status.seconds);
  out["processes seen"] = status.events.size();
  if (!out.contains("PowerShell seconds")) out["status"] = "the suite's job saw no PowerShell";
  // Read as the helper would read it: as the caller, not elevated.
  if (!ImpersonateLoggedOnUser(g.user_token.get())) {
    out["status"] = "could not read as the filtered user: error " + std::to_string(GetLastError());
    return out;
  }
  const Finally revert{[] { RevertToSelf(); }};
  out["in-process read made as"] = "the suite's filtered user token";
  LARGE_INTEGER t0{};
  QueryPerformanceCounter(&t0);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid{};
  INetFwPolicy2* policy = nullptr;
  INetFwRules* rules = nullptr;
  if (FAILED(CLSIDFromProgID(L"HNetCfg.FwPolicy2", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                              reinterpret_cast<void**>(&policy))) ||
      FAILED(policy->get_Rules(&rules))) {
    if (policy) policy->Release();
    out["status"] = "INetFwPolicy2 could not be read";
    return out;
  }
  bool all = true;
  for (const Identity& id : {g.ids[0][0], g.ids[1][0]}) {
    for (const wchar_t* direction : {L"Inbound", L"Outbound"}) {
      // The product gives its rules the same name and display name, so the
      // COM name (the display name) finds them either way.
      BSTR name = SysAllocString((L"Tessarin Sandbox " + id.name + L" " + direction).c_str());
      INetFwRule* rule = nullptr;
      VARIANT_BOOL enabled = VARIANT_FALSE;
      NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
      BSTR users = nullptr;
      INetFwRule3* rule3 = nullptr;
      const bool found = SUCCEEDED(rules->Item(name, &rule));
      if (found) {
        rule->get_Enabled(&enabled);
        rule->get_Action(&action);
        if (SUCCEEDED(
                rule->QueryInterface(__uuidof(INetFwRule3), reinterpret_cast<void**>(&rule3)))) {
          rule3->get_LocalUserAuthorizedList(&users);
          rule3->Release();
        }
        rule->Release();
      }
      all = all && found && enabled == VARIANT_TRUE && action == NET_FW_ACTION_BLOCK &&
            users != nullptr && u8(users).find(id.sid) != std::string::npos;
      SysFreeString(users);
      SysFreeString(name);
    }
  }
  out["in-process seconds"] = round3(since(t0));
  long count = 0;
  rules->get_Count(&count);
  out["firewall rules on the machine"] = count;
  out["in process: all four rules present, enabled, blocking, for the identity's SID"] = all;
  out["the two agree"] = all == (status.out == kReadyLine);
  for (const auto& [profile, label] : {std::pair{NET_FW_PROFILE2_DOMAIN, "domain"},
                                       {NET_FW_PROFILE2_PRIVATE, "private"},
                                       {NET_FW_PROFILE2_PUBLIC, "public"}}) {
    VARIANT_BOOL on = VARIANT_FALSE;
    policy->get_FirewallEnabled(profile, &on);
    out["firewall on: " + std::string(label)] = on == VARIANT_TRUE;
  }
  // A rule answers nothing on a profile that is off: the firewall question
  // needs every active profile on. That is the machine's state, read as the
  // suite.
  RevertToSelf();
  long active = 0;
  policy->get_CurrentProfileTypes(&active);
  bool active_on = active != 0;
  for (const auto profile :
       {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}) {
    VARIANT_BOOL on = VARIANT_FALSE;
    if ((active & profile) && SUCCEEDED(policy->get_FirewallEnabled(profile, &on))) {
      active_on = active_on && on == VARIANT_TRUE;
    }
  }
  out["active profiles (bits)"] = active;
  out["firewall on in every active profile"] = active_on;
  rules->Release();
  policy->Release();
  CoUninitialize();
  return out;
}

// Outbound from the suite's own container, offline (no capability) and
// online (the helper's two), under no rule, a -LocalUser block rule as setup
// makes them, the same rule disabled, and a -Package rule instead. The rules
// are the suite's and go on every path; nothing touches the helper's.
// The rules of these groups go, and a second look finds none (exit 1
// otherwise).
Finished remove_rules(const std::wstring& groups) {
  const std::wstring rules =
      L"Get-NetFirewallRule -Group " + groups + L" -ErrorAction SilentlyContinue";
  return powershell(rules + L" | Remove-NetFirewallRule; if (@(" + rules + L").Count) { exit 1 }");
}
Finished remove_suite_rules() {
  return remove_rules(L"'" + std::wstring(kSuiteRules) + L"'");
}

json firewall_rules() {
  if (!g.network) {
    unreachable("the firewall measurement reaches its target");
    return {{"status", "this machine cannot reach " + g.net_target}};
  }
  const std::wstring rule = L"'" + std::wstring(kSuiteRules) + L" Question'";
  const std::wstring common = L" -DisplayName " + rule + L" -Group '" + kSuiteRules +
                              L"' -Direction Outbound -Action Block -Profile Any ";
  const std::wstring sid = w(g.question_sid);
  const Finally remove{[&] {
    const Finished gone = remove_suite_rules();
    record(
        {.name = "the suite's temporary firewall rule is removed",
         .promise = "the suite leaves no rule behind",
         .pass = gone.exit == 0,
         .detail = "removal and a second look: exit " + std::to_string(gone.exit) + " " + gone.err,
         .advice = "nothing: remove the rule by hand (tessarin-acceptance.exe --cleanup)"});
  }};
  // A rule on the program is the control: it certainly matches, so if the
  // probe still connects under it, this machine enforces no rule at all.
  const std::pair<const char*, std::wstring> states[] = {
      {"no rule", L""},
      {"-Program rule",
       L"New-NetFirewallRule -Name " + rule + common + L"-Program '" + g.probe + L"' | Out-Null"},
      {"-LocalUser rule", L"Remove-NetFirewallRule -Name " + rule +
                              L"; New-NetFirewallRule -Name " + rule + common +
                              L"-LocalUser 'D:(A;;CC;;;" + sid + L")' | Out-Null"},
      {"-LocalUser rule disabled", L"Set-NetFirewallRule -Name " + rule + L" -Enabled False"},
      {"-Package rule", L"Remove-NetFirewallRule -Name " + rule + L"; New-NetFirewallRule -Name " +
                            rule + common + L"-Package '" + sid + L"' | Out-Null"}};
  json out = {{"status", "measured"}};
  for (const auto& [state, script] : states) {
    if (!script.empty()) {
      const Finished made = powershell(script);
      if (made.exit != 0) {
        out["status"] = std::string("PowerShell failed at ") + state + ": " + made.err;
        return out;
      }
    }
    for (const bool online : {false, true}) {
      const Finished f =
          execute({{g.probe, L"connect", w(g.net_target)}, As::kContainer, online}, 60000);
      out[std::string(state) + (online ? ", online" : ", offline")] = outcome(f);
    }
  }
  return out;
}

// Junctions a sandboxed child can make: from its TEMP to a directory it
// cannot write, and to the workspace (with the checks that the workspace
// survives the temporary directory's removal).
json child_junctions() {
  json out = {{"status", "measured"}};
  const std::string keep = slurp(g.target + L"\\keep.txt");
  const Finished f = run("a junction in TEMP to a directory the child cannot write",
                         {"junction", "%TEMP%\\out", "{target}"}, {.write = true});
  out["a junction in TEMP to a directory the child cannot write"] = outcome(f);
  // Only a junction the child could make can test the removal.
  if (did(f))
    out["its target survived the temporary directory's removal"] =
        slurp(g.target + L"\\keep.txt") == keep;
  temp_links_and_names(out);
  return out;
}

// A file of the workspace that is also a file outside it, as package stores
// make them: one file, one access list, whatever its name. A workspace_write
// run must stop before any grant; a read_only run on the same tree goes on.
json hard_link() {
  const std::wstring outside = g.outside + L"\\linked.txt", inside = g.ws + L"\\linked.txt";
  const std::wstring twin = g.ws + L"\\twin.txt", twin_too = g.ws + L"\\twin-too.txt";
  spill(outside, "outside\n");
  const Finally unlink{[&] {
    for (const std::wstring* file : {&inside, &outside, &twin, &twin_too})
      DeleteFileW(file->c_str());
  }};
  // The control: a file whose names all lie in the workspace is no reason to
  // refuse, which also shows the names are read in the grants' own form.
  spill(twin, "twin\n");
  const bool twinned = CreateHardLinkW(twin_too.c_str(), twin.c_str(), nullptr) != FALSE;
  const Finished t = run("workspace_write on a file with both names inside",
                         {"read", "{ws}\\twin.txt"}, {.write = true});
  DeleteFileW(twin_too.c_str());
  const auto before = dacl_text(outside);
  if (!CreateHardLinkW(inside.c_str(), outside.c_str(), nullptr)) {
    return {
        {"status", "the suite could not make the hard link: " + std::to_string(GetLastError())}};
  }
  const Finished f = run("a file hard-linked from outside the workspace",
                         {"create-delete", "{ws}\\linked.txt"}, {.write = true});
  const Finished r =
      run("read_only on a workspace holding a hard link", {"read", "{ws}\\data.txt"});
  const auto after = dacl_text(outside);
  const bool entry = reached(outside, g.ids[1][0].sid), changed = slurp(outside) != "outside\n";
  // Refused for the file's other name, which Windows can list, and naming
  // the file.
  const bool refused =
      !child_ran(f) && f.exit == kHelperFailed &&
      f.err.find(" would reach its other name ") != std::string::npos &&
      (f.err.find(u8(inside)) != std::string::npos || f.err.find(u8(outside)) != std::string::npos);
  return {{"status", did(r) ? "measured" : "never ran (" + seen(r) + ")"},
          {"the helper refused workspace_write", refused},
          {"the workspace_write run", seen(f)},
          {"outside file's content changed", changed},
          {"entry left after the run", entry},
          {"access list before", before.value_or("?")},
          {"access list after", after.value_or("?")},
          {"access list changed", before != after},
          {"both names inside: workspace_write went on", twinned && did(t)},
          {"stopped before any grant, the store file untouched, read_only and both names inside "
           "went on",
           refused && !entry && !changed && did(r) && twinned && did(t)}};
}

// Where the command's TEMP, TMP and LOCALAPPDATA lead, and whether what one
// run leaves there is there for the next run of the same identity in another
// workspace. The writes are the control: the reads must then find nothing.
json temp_places() {
  const Finished places =
      run("the command's TEMP, TMP and LOCALAPPDATA", {"places"}, {.write = true});
  json out = {{"status", did(places) ? "measured" : "never ran (" + seen(places) + ")"},
              {"the command sees", places.out}};
  const std::wstring other = g.root + L"\\other-workspace";
  CreateDirectoryW(other.c_str(), nullptr);
  bool left = false, wrote = true;
  for (const char* where : {"%TEMP%", "%LOCALAPPDATA%"}) {
    const std::string file = std::string(where) + "\\tessarin-left-behind.txt";
    const Finished put =
        run(std::string("a run leaves a file in ") + where, {"write", file}, {.write = true});
    const Finished next = run(std::string("the next run looks in ") + where, {"read", file},
                              {.write = true, .workspace = &other});
    out[std::string("left in ") + where] = outcome(put);
    out[std::string("found by the next run in ") + where] = outcome(next);
    wrote = wrote && did(put);
    left = left || !(child_ran(next) && next.exit == kNotFound);
  }
  out["nothing one run left was found by the next"] = wrote && !left;
  return out;
}

// The NUL device inside the container: through cmd's redirection, as build
// scripts use it, and opened directly. The control: cmd redirects to a file.
json nul_device() {
  const Finished control = run("cmd redirects into TEMP",
                               {"cmd", "echo x> \"%TEMP%\\redirected.txt\""}, {.write = true});
  const Finished echo = run("cmd redirects to nul", {"cmd", "echo x> nul"}, {.write = true});
  const Finished open = run("the probe opens \\\\.\\NUL", {"open-nul"}, {.write = true});
  return {{"status", did(control) ? "measured" : "incomplete: the control " + outcome(control)},
          {"cmd /c \"echo x> file\" (control)", outcome(control)},
          {"cmd /c \"echo x> nul\"", outcome(echo)},
          {"open of \\\\.\\NUL", outcome(open)}};
}

// A descriptor in which the user may not change the access list, whatever
// its owner: the owner's implicit rights are cut to reading it.
bool set_dacl(const std::wstring& path, const std::string& sddl) {
  Local<PSECURITY_DESCRIPTOR> descriptor;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  const Handle file = open_entry(path, WRITE_DAC);
  return file &&
         ConvertStringSecurityDescriptorToSecurityDescriptorW(w(sddl).c_str(), SDDL_REVISION_1,
                                                              &descriptor.p, nullptr) &&
         GetSecurityDescriptorDacl(descriptor.p, &present, &dacl, &defaulted) &&
         SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                         nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

std::string locked_file_finding() {
  for (const json& finding : g_suite.report.value("findings", json::array())) {
    if (finding.contains("locked file")) return finding["locked file"].get<std::string>();
  }
  return "the locked-file check did not run";
}

// icacls /C on a tree where one file denies the user WRITE_DAC, run as the
// user as the helper runs it: for a grant, then for a revocation; and what
// the helper does with such a workspace.
json icacls_partial() {
  const std::wstring dir = g.root + L"\\icacls-c", locked = dir + L"\\b.txt";
  CreateDirectoryW(dir.c_str(), nullptr);
  const Finally tidy{[&] { remove_tree(dir); }};
  for (const wchar_t* name : {L"\\a.txt", L"\\b.txt", L"\\c.txt"}) spill(dir + name, "x");
  const std::string user = g.user_sid;
  const std::string deny =
      "D:P(D;;WD;;;" + user + ")(A;;FA;;;" + user + ")(A;;FA;;;SY)(A;;RC;;;OW)";
  const std::wstring sid = L"*" + w(g.question_sid);
  const auto as_user = [&](std::vector<std::wstring> args) {
    args.insert(args.begin(), {system_dir() + L"\\icacls.exe", dir});
    return execute({args, As::kUser}, kToolTimeoutMs);
  };
  if (!set_dacl(locked, deny)) return {{"status", "the suite could not lock b.txt"}};
  const Finished grant = as_user({L"/grant", sid + L":(OI)(CI)M", L"/T", L"/C", L"/Q"});
  const bool others =
      reached(dir + L"\\a.txt", g.question_sid) && reached(dir + L"\\c.txt", g.question_sid);
  const bool locked_granted = reached(locked, g.question_sid);
  set_dacl(locked, deny + "(A;;FA;;;" + g.question_sid + ")");
  const Finished revoke = as_user({L"/remove:g", sid, L"/T", L"/C", L"/Q"});
  const bool locked_kept = reached(locked, g.question_sid);
  set_dacl(locked, deny);
  const Finished helper = run("a workspace with a file the user cannot re-permission",
                              {"exit", "0"}, {.write = true, .workspace = &dir});
  return {{"status", others ? "measured" : "incomplete: the grant reached no other file"},
          {"grant exit", grant.exit},
          {"grant output", (grant.out + grant.err).substr(0, 400)},
          {"the grant reached the other files", others},
          {"the locked file received the grant", locked_granted},
          {"revocation exit", revoke.exit},
          {"revocation output", (revoke.out + revoke.err).substr(0, 400)},
          {"the locked file kept its entry", locked_kept},
          {"the helper on that workspace", seen(helper)},
          {"the helper after a revocation it could not make (the locked-file check)",
           locked_file_finding()}};
}

// What each identity's token can write while its run holds its grants, found
// by a tool that shares no code with the helper (NtObjectManager's
// Get-AccessibleFile and Get-AccessibleKey, from a lowbox token made of the
// identity's SID). Outside the workspace, the roots, the run's temporary
// directory and the identity's own container folder, the lists must be empty.
json audit_identity(const Identity& id, bool write, bool online) {
  const std::wstring flag = g.wroot + L"\\audit-go";
  DeleteFileW(flag.c_str());
  Finished listed;
  // The run holds until the audit is done, however long that takes.
  RunOptions o{.write = write, .online = online, .limit = kToolTimeoutMs};
  o.during = [&](Started& helper) {
    while_running(helper, 100, 60000, [&] { return exists(flag + L".held"); });
    const std::wstring root = g.root.substr(0, 3), profile = env(L"USERPROFILE");
    const std::wstring access =
        L" -Recurse -Token $t -AccessRights WriteData "
        L"-DirectoryAccessRights AddFile -FormatWin32Path "
        L"-ErrorAction SilentlyContinue | % Name";
    listed = powershell(
        L"Import-Module '" + g.audit_module + L"'; $t = Get-NtToken -LowBox -PackageSid '" +
            w(id.sid) + L"'; $f = @(Get-AccessibleFile -Win32Path '" + profile + L"','" + g.root +
            L"'" + access + L") + @(Get-AccessibleFile -Win32Path '" + root + L"' -MaxDepth 1" +
            access + L"); $k = @(Get-AccessibleKey -Path '\\Registry\\User\\" + w(g.user_sid) +
            L"' -Recurse -Token $t -AccessRights SetValue,CreateSubKey -AllowPartialAccess "
            L"-ErrorAction SilentlyContinue | % Name); $f | % { 'file ' + $_ }; "
            L"$k | % { 'key ' + $_ }; 'audit done'",
        As::kUser, kToolTimeoutMs);
    spill(flag, "go");
  };
  const Finished f = run("the audit's run as " + u8(id.name), {"hold", "{root}\\audit-go", "0"}, o);
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  const std::vector<std::string> allowed = {
      lower(u8(g.ws)), lower(u8(g.wroot)), lower(u8(g.state + L"\\tmp\\")),
      lower(u8(env(L"LOCALAPPDATA") + L"\\Packages\\" + id.name + L"\\AC")),
      lower("\\AppContainer\\Storage\\" + u8(id.name))};
  json outside = json::array(), writable = json::array();
  std::size_t at = 0;
  for (std::size_t end; (end = listed.out.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line =
        listed.out.substr(at, end - at - (end > at && listed.out[end - 1] == '\r'));
    const std::string item = lower(line);
    const bool inside = std::any_of(allowed.begin(), allowed.end(), [&](const std::string& a) {
      return item.find(a) != std::string::npos;
    });
    if (line == "audit done" || line.empty()) continue;
    if (writable.size() < 500) writable.push_back(line);
    if (!inside) outside.push_back(line);
  }
  const bool ran = listed.out.find("audit done") != std::string::npos && did(f);
  return {{"ran", ran},
          {"writable (the first 500)", writable},
          {"writable outside what the run grants", outside},
          {"PowerShell", ran ? "" : seen(listed)}};
}

json audit() {
  if (g.audit_module.empty()) return {{"status", "not run: no --audit-module"}};
  json out = {{"status", "measured"}};
  bool clean = true;
  for (int write = 0; write < 2; ++write) {
    for (int online = 0; online < 2; ++online) {
      const Identity& id = g.ids[write][online];
      json listed = audit_identity(id, write == 1, online == 1);
      if (listed["ran"] != true)
        out["status"] = "incomplete: the audit did not run for " + u8(id.name);
      clean = clean && listed["writable outside what the run grants"].empty();
      out[u8(id.name)] = listed;
    }
  }
  out["nothing writable outside the grants"] = clean && out["status"] == "measured";
  return out;
}

// What the checks saw of the child itself: its token, and whether the
// Modify grant let it write.
json child_tokens() {
  json out = {{"status", "measured"}};
  for (const Case& c : cases()) {
    if (!c.prints.empty())
      out[c.name] =
          child_ran(g.finished[c.name]) ? g.finished[c.name].out : outcome(g.finished[c.name]);
  }
  out[kWsWrite] = outcome(g.finished[kWsWrite]);
  return out;
}

const Measurement kMeasurements[kRows] = {
    {"phases of a run: empty workspace", phases_of_empty_workspace},
    {"phases of a run: generated workspace", phases_of_generated_workspace},
    {"icacls /T against root-only grant and revocation on the generated tree", tree_pairs},
    {"the same pairs with Defender's real-time monitoring on", tree_pairs_scanned},
    {"icacls /T through a junction back to the generated tree's root", loop_junction},
    {"readiness: PowerShell against INetFwPolicy2", readiness_reads},
    {"outbound from the suite's container under each firewall rule", firewall_rules},
    {"junctions a sandboxed child can make", child_junctions},
    {"a file hard-linked from outside the workspace", hard_link},
    {"the child's token seen from inside, and its write under a Modify grant", child_tokens},
    {"the helper's run on a workspace holding a junction out", [] { return g_junction; }},
    {"the command's TEMP, TMP and LOCALAPPDATA across runs", temp_places},
    {"the NUL device inside the container", nul_device},
    {"icacls /C on a tree with one entry the user cannot re-permission", icacls_partial},
    {"what each identity's token can write (an independent audit)", audit},
};

// A measurement's figures, if it was taken in full.
const json* taken(Row row) {
  const auto found = g_suite.measured.find(kMeasurements[row].name);
  return found != g_suite.measured.end() && found->second.value("status", "") == "measured"
             ? &found->second
             : nullptr;
}

void take_measurements() {
  for (const Measurement& m : kMeasurements) {
    std::printf("MEASURE  %s\n", m.name);
    std::fflush(stdout);
    json figures = {{"measurement", m.name}};
    figures.update(m.take());
    // Figures from a child that never ran answer nothing.
    for (const auto& [key, value] : figures.items()) {
      if (value.is_string() && value.get<std::string>().rfind("never ran", 0) == 0 &&
          figures["status"] == "measured") {
        figures["status"] = "incomplete: " + key + " " + value.get<std::string>();
        break;
      }
    }
    std::printf("         %s\n",
                figures.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    g_suite.measured[m.name] = figures;
    write_report();
  }
}

}  // namespace acceptance
