// The design questions, answered from the measurements' figures alone.

#include "suite.h"

#include <cstdio>

namespace acceptance {

// ---- the design questions ----------------------------------------------------------------
// Each answers from the figures alone, and says what the helper should do.

const Answer kUnsettled = {"Not settled: its figures are missing or incomplete (see them)",
                           "nothing until it runs"};
std::string said(const json& m, const char* key) {
  return m.contains(key) ? (m[key].is_string() ? m[key].get<std::string>() : m[key].dump()) : "?";
}
bool is(const json& m, const char* key) {
  return m.contains(key) && m[key] == true;
}

Answer modify_grant() {
  const Finished& f = g.finished[kWsWrite];
  if (!did(f) && !could_not(f)) return {"Not settled: " + seen(f), kUnsettled.should};
  if (did(f)) {
    return {"Yes: with the Modify grant alone the container created and deleted a workspace file.",
            "keep the DACL-only grant and add no Low label, which would open the workspace to "
            "every Low-integrity process of the user"};
  }
  return {"No: the write was refused (" + verdict(f.exit) + ").",
          "give granted paths a Low mandatory label for the run and restore it at revocation"};
}

Answer run_cost() {
  const json *empty = taken(kEmptyPhases), *tree = taken(kTreePhases), *pairs = taken(kTreePairs);
  const json* scanned = taken(kTreePairsScanned);
  if (!empty || !tree || !pairs || !scanned) return kUnsettled;
  const json &t = (*pairs)["/T"], &root = (*pairs)["root-only"];
  const auto pair = [](const json& m) { return double(m["pair seconds"]); };
  const bool inherits = is(root, "a file two directories down received the entry");
  const bool tools_dominate =
      double((*tree)["icacls seconds"]) > double((*tree)["total seconds"]) / 2;
  const bool on = is(*scanned, "real-time monitoring on during the pairs");
  const std::string text =
      "On this machine a run on an empty workspace takes " + said(*empty, "total seconds") +
      " s (PowerShell " + said(*empty, "PowerShell seconds") + " s, icacls " +
      said(*empty, "icacls seconds") + " s), on " + said(*tree, "files") + " files " +
      said(*tree, "total seconds") + " s (icacls " + said(*tree, "icacls seconds") +
      " s). On that tree a /T grant and revocation take " + std::to_string(round3(pair(t))) +
      " s, a root-only pair " + std::to_string(round3(pair(root))) +
      " s (medians of three, alternating), whose entry " +
      (inherits ? "reached" : "did NOT reach") +
      " a deep file by inheritance. With Defender's real-time monitoring on: " +
      (on ? "/T " + said((*scanned)["/T"], "pair seconds") + " s, root-only " +
                said((*scanned)["root-only"], "pair seconds") + " s"
          : std::string("not measured, this machine would not turn it on")) +
      ".";
  if (tools_dominate && inherits && pair(root) < pair(t) / 2) {
    return {text, "grant and revoke at the root only and let inheritance carry the entry"};
  }
  return {text, tools_dominate
                    ? "cut the per-run tree walks: keep grants across runs or walk in process"
                    : "nothing for cost: the tree walks are not what a run waits for"};
}

Answer junction_reach() {
  const json *pairs = taken(kTreePairs), *helper = taken(kHelperJunction),
             *loop = taken(kLoopJunction);
  const char* const through = "the junction led the grant to its target";
  if (!pairs || !loop || !(*pairs)["/T"][through].is_boolean()) return kUnsettled;
  const json &t = (*pairs)["/T"], &root = (*pairs)["root-only"];
  const bool by_t = is(t, through), by_root = is(root, through);
  const std::string text =
      std::string("icacls /T ") + (by_t ? "followed" : "did not follow") +
      " the junction, a root-only grant's inheritance " +
      (by_root ? "followed" : "did not follow") + " it, and the helper " +
      (helper ? (is(*helper, "the helper refused a run whose workspace held it") ? "refused"
                                                                                 : "did not refuse")
              : "may have refused") +
      " a run whose workspace held it. Left on the target after revocation: /T " +
      said(t, "entry left on the junction's target after revocation") + ", root-only " +
      said(root, "entry left on the junction's target after revocation") +
      ". Through a junction back to the root, icacls /T took " +
      said(*loop, "icacls /T grant seconds through the loop") +
      " s (timed out: " + said(*loop, "icacls /T grant timed out (600 s)") + "), against " +
      said(t, "pair seconds") + " s for a whole pair without it.";
  if (by_root)
    return {
        text,
        "walk the tree in process and skip reparse points, or refuse a workspace that holds one"};
  return {text, by_t ? "grant at the root only, without /T, and refuse links back to a parent"
                     : "nothing for junctions: neither way enters them"};
}

Answer firewall_match() {
  const json* m = taken(kFirewall);
  if (!m) return kUnsettled;
  const auto out = [&](const std::string& state) { return said(*m, state.c_str()) == "allowed"; };
  if (!out("no rule, online"))
    return {"Not settled: the online control did not connect", kUnsettled.should};
  // Rules answer nothing where none is enforced.
  const json* profiles = taken(kReadiness);
  if (!profiles || !is(*profiles, "firewall on in every active profile")) {
    return {"Not settled: the firewall is off in an active profile here", kUnsettled.should};
  }
  if (out("-Program rule, online")) {
    return {
        "Not settled: a rule on the probe's own program did not block it, so rules are not "
        "enforced here",
        kUnsettled.should};
  }
  bool offline_out = false;
  for (const char* state : {"no rule", "-Program rule", "-LocalUser rule",
                            "-LocalUser rule disabled", "-Package rule"}) {
    offline_out = offline_out || out(state + std::string(", offline"));
  }
  const bool by_user = !out("-LocalUser rule, online"), by_package = !out("-Package rule, online");
  const std::string text =
      std::string("-LocalUser ") + (by_user ? "matches" : "does NOT match") +
      " the container's traffic, -Package " + (by_package ? "matches" : "does NOT match") +
      "; an offline container " +
      (offline_out ? "CONNECTED under some rule" : "was blocked under every rule");
  if (offline_out) return {text, "treat offline isolation as broken until -Package rules block it"};
  if (!by_user) {
    return {text, by_package
                      ? "key the block rules on -Package <SID>: the -LocalUser rules block nothing"
                      : "no rule form matched: do not count the rules as isolation"};
  }
  return {text, "either form works; -Package is the documented one for AppContainers"};
}

Answer readiness_cost() {
  const json* m = taken(kReadiness);
  if (!m) return kUnsettled;
  const bool agree = is(*m, "the two agree");
  return {"PowerShell " + said(*m, "PowerShell seconds") + " s, in process " +
              said(*m, "in-process seconds") + " s, with " +
              said(*m, "firewall rules on the machine") + " rules on the machine; the two " +
              (agree ? "agree" : "DISAGREE"),
          agree ? "read the four rules in process through INetFwPolicy2 instead of starting "
                  "PowerShell for every run"
                : "keep PowerShell until the in-process read is understood"};
}

Answer junction_mitigation() {
  const json* m = taken(kChildJunctions);
  if (!m) return kUnsettled;
  const std::string unwritable =
      said(*m, "a junction in TEMP to a directory the child cannot write");
  return {"to a directory it cannot write: " + unwritable + "; from TEMP to the workspace: " +
              said(*m, "a junction in TEMP to the workspace") + "; TEMP itself to the workspace: " +
              said(*m, "TEMP itself made a junction to the workspace"),
          unwritable == "allowed"
              ? "never follow a link the child made, anywhere: it can point outside every grant"
              : "keep removing TEMP without following links: a child can still point one at "
                "what it may write"};
}

Answer hard_link_reach() {
  const json* m = taken(kHardLink);
  if (!m) return kUnsettled;
  const bool refused = is(*m, "the helper refused workspace_write");
  const bool touched = is(*m, "outside file's content changed") || is(*m, "access list changed");
  return {std::string("the helper ") + (refused ? "refused" : "did NOT refuse") +
              " a workspace_write run on a workspace holding it; the store file was " +
              (touched ? "CHANGED" : "left as it was"),
          refused && !touched ? "nothing: keep refusing files with other names outside the grants"
                              : "find files with more than one name before any grant and refuse "
                                "the run"};
}

Answer temp_reach() {
  const json* m = taken(kTempPlaces);
  if (!m) return kUnsettled;
  std::string found;
  for (const char* where : {"%TEMP%", "%LOCALAPPDATA%"}) {
    found += std::string(where) + ": " +
             said(*m, ("found by the next run in " + std::string(where)).c_str()) + "; ";
  }
  const bool kept = found.find("allowed") != std::string::npos;
  return {"the command sees " + said(*m, "the command sees") + "; the next run of the identity, " +
              "in another workspace: " + found,
          kept ? "empty the identity's container folder before and after every run"
               : "nothing: each run starts with empty folders of its own"};
}

Answer nul_reach() {
  const json* m = taken(kNulDevice);
  if (!m) return kUnsettled;
  const bool echo = said(*m, "cmd /c \"echo x> nul\"") == "allowed";
  const bool open = said(*m, "open of \\\\.\\NUL") == "allowed";
  return {std::string("cmd's redirection to nul ") + (echo ? "works" : "FAILS") +
              ", an open of \\\\.\\NUL " + (open ? "works" : "FAILS"),
          echo && open ? "nothing: the null device is open to the container"
                       : "list the null device among the README's limits (batch scripts with >nul "
                         "fail), or grant the container access to it"};
}

Answer icacls_partial_exit() {
  const json* m = taken(kIcaclsPartial);
  if (!m) return kUnsettled;
  const bool grant_zero =
      said(*m, "grant exit") == "0" && !is(*m, "the locked file received the grant");
  const bool revoke_zero =
      said(*m, "revocation exit") == "0" && is(*m, "the locked file kept its entry");
  std::string text =
      "with /C, icacls exited " + said(*m, "grant exit") + " after failing to grant one file and " +
      said(*m, "revocation exit") + " after failing to revoke one; the helper on that workspace: " +
      said(*m, "the helper on that workspace") + "; after a revocation it could not make: " +
      said(*m,
           "the helper after a revocation it could not make (the locked-file "
           "check)");
  if (revoke_zero) {
    text +=
        ". ICACLS EXITS 0 AFTER A FAILED REVOCATION: THE HELPER WOULD BE REPORTING A FAILED "
        "REVOCATION AS SUCCESS";
  }
  return {text,
          grant_zero || revoke_zero
              ? "check the entry on every granted path after icacls, never its exit code alone"
              : "nothing: icacls reports a failure on one entry in its exit code"};
}

const std::vector<Question> kQuestions = {
    {"Does a Modify grant alone let the Low-integrity container write the workspace?",
     {kChildToken},
     modify_grant},
    {"What does a run cost, and how much of it is icacls /T on a large workspace?",
     {kEmptyPhases, kTreePhases, kTreePairs, kTreePairsScanned},
     run_cost},
    {"Does icacls /T, or inheritance from a root-only grant, enter a junction in the workspace, "
     "and what does a junction back to the root cost?",
     {kTreePairs, kHelperJunction, kLoopJunction},
     junction_reach},
    {"Does a -LocalUser rule naming the container's SID match its traffic, or is -Package needed?",
     {kFirewall, kReadiness},
     firewall_match},
    {"Is the per-run PowerShell readiness check worth its cost, and does an in-process read agree?",
     {kReadiness},
     readiness_cost},
    {"Can a sandboxed child create a junction to a directory it cannot write, or to the workspace "
     "from its TEMP?",
     {kChildJunctions},
     junction_mitigation},
    {"Does a file hard-linked from outside the workspace stop a workspace_write run?",
     {kHardLink},
     hard_link_reach},
    {"Where do the command's TEMP, TMP and LOCALAPPDATA lead, and does what one run leaves there "
     "reach the next run of the same identity?",
     {kTempPlaces},
     temp_reach},
    {"Can a confined command use the NUL device?", {kNulDevice}, nul_reach},
    {"Does icacls with /C report in its exit code a failure on one entry of the tree?",
     {kIcaclsPartial},
     icacls_partial_exit},
};

void settle_questions() {
  for (const Question& q : kQuestions) {
    const Answer a = q.settle();
    g_suite.answered[q.question] = {{"answer", a.answer}, {"helper should", a.should}};
    std::printf("\nQUESTION  %s\nANSWER    %s\nSHOULD    %s\n", q.question, a.answer.c_str(),
                a.should.c_str());
  }
  write_report();
}

}  // namespace acceptance
