// The measurements: figures the next design steps depend on, taken on real Windows.

#include "suite.h"

#include <netfw.h>
#include <algorithm>
#include <cstdio>

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
  int grants = 0, revocations = 0;
  json list = json::array();
  const auto put = [&](const std::string& phase, double from, double to) {
    list.push_back({{"phase", phase}, {"seconds", round3(to - from)}});
  };
  for (const Event& e : f.events) {
    if (is(e, L"powershell.exe")) {
      put("readiness PowerShell", e.start, e.end);
      ps += e.end - e.start;
    } else if (is(e, L"icacls.exe")) {
      const bool grant = e.start < child->start;
      int& n = grant ? grants : revocations;
      put((grant ? "grant " : "revocation ") + (n < 3 ? std::string(names[n]) : std::to_string(n)),
          e.start, e.end);
      ++n;
      (grant ? last_grant : last_revocation) = e.end;
      icacls += e.end - e.start;
    }
  }
  put("launch (last grant to the child's start)", last_grant, child->start);
  put("the child", child->start, child->end);
  put("temporary directory removal and exit (last revocation to the helper's end)", last_revocation,
      helper.end);
  out["phases"] = list;
  out["total seconds"] = round3(helper.end - helper.start);
  out["PowerShell seconds"] = round3(ps);
  out["icacls seconds"] = round3(icacls);
  out["processes"] = f.events.size();
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
  json out = phases(run("a tracked run on a generated workspace", {"exit", "0"},
                        {.write = true, .track = true, .workspace = &g.tree}));
  out["files"] = files;
  out["directories"] = files / 10;
  out["seconds to make the tree"] = round3(made);
  return out;
}

// The design's grant and revocation (icacls /T) against a root-only pair that
// leaves the children to inheritance, on the generated tree with a junction
// planted in it, for the suite's throwaway SID.
json tree_grants(bool recursive) {
  const std::wstring link = g.tree + L"\\zz-link";
  if (!exists(g.tree)) return {{"status", "the generated tree is missing"}};
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
          {"grant seconds", round3(granted.seconds)},
          {"grant exit", granted.exit},
          {"grant stderr", granted.err.substr(0, 400)},
          {"revocation seconds", round3(revoked.seconds)},
          {"revocation exit", revoked.exit},
          {"a file two directories down received the entry", deep},
          {"the junction led the grant to its target",
           planted ? json(through) : json("the suite could not plant it")},
          {"entries left in the tree after revocation", left.size()},
          {"entry left on the junction's target after revocation", target_left}};
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
    record({"the suite's temporary firewall rule is removed", "the suite leaves no rule behind",
            gone.exit == 0,
            "removal and a second look: exit " + std::to_string(gone.exit) + " " + gone.err,
            "nothing: remove the rule by hand (tessarin-acceptance.exe --cleanup)"});
  }};
  const std::pair<const char*, std::wstring> states[] = {
      {"no rule", L""},
      {"-LocalUser rule", L"New-NetFirewallRule -Name " + rule + common +
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
  if (did(f)) {
    record({"a junction in TEMP to an unwritable directory: its target survives",
            "removing the temporary directory never follows a link",
            slurp(g.target + L"\\keep.txt") == keep, seen(f),
            "remove links in the temporary directory as links, never descend into them"});
  }
  temp_links_and_names(out);
  return out;
}

// A file of the workspace that is also a file outside it, as package stores
// make them: one file, one access list, whatever its name.
json hard_link() {
  const std::wstring outside = g.outside + L"\\linked.txt", inside = g.ws + L"\\linked.txt";
  spill(outside, "outside\n");
  const Finally unlink{[&] {
    DeleteFileW(inside.c_str());
    DeleteFileW(outside.c_str());
  }};
  const auto before = dacl_text(outside);
  if (!CreateHardLinkW(inside.c_str(), outside.c_str(), nullptr)) {
    return {
        {"status", "the suite could not make the hard link: " + std::to_string(GetLastError())}};
  }
  const Finished f = run("a file hard-linked from outside the workspace",
                         {"write", "{ws}\\linked.txt"}, {.write = true});
  const auto after = dacl_text(outside);
  return {{"status", child_ran(f) ? "measured" : "never ran (" + seen(f) + ")"},
          {"the child wrote the outside file through the link", outcome(f)},
          {"outside file's content changed", slurp(outside) != "outside\n"},
          {"entry left after revocation", reached(outside, g.ids[1][0].sid)},
          {"access list before", before.value_or("?")},
          {"access list after", after.value_or("?")},
          {"access list changed", before != after}};
}

// What the checks saw of the child itself: its token, and whether the
// Modify grant let it write.
json child_tokens() {
  json out = {{"status", "measured"}};
  for (const Case& c : cases()) {
    if (c.prints)
      out[c.name] =
          child_ran(g.finished[c.name]) ? g.finished[c.name].out : outcome(g.finished[c.name]);
  }
  out[kWsWrite] = outcome(g.finished[kWsWrite]);
  return out;
}

const Measurement kMeasurements[kRows] = {
    {"phases of a run: empty workspace", phases_of_empty_workspace},
    {"phases of a run: generated workspace", phases_of_generated_workspace},
    {"icacls /T grant and revocation on the generated tree", [] { return tree_grants(true); }},
    {"root-only grant and revocation on the generated tree", [] { return tree_grants(false); }},
    {"readiness: PowerShell against INetFwPolicy2", readiness_reads},
    {"outbound from the suite's container under each firewall rule", firewall_rules},
    {"junctions a sandboxed child can make", child_junctions},
    {"a file hard-linked from outside the workspace", hard_link},
    {"the child's token seen from inside, and its write under a Modify grant", child_tokens},
    {"the helper's run on a workspace holding a junction out", [] { return g_junction; }},
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
  }
}

}  // namespace acceptance
