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
  const json *empty = taken(kEmptyPhases), *tree = taken(kTreePhases);
  const json *t = taken(kTreeRecursive), *root = taken(kTreeRootOnly);
  if (!empty || !tree || !t || !root) return kUnsettled;
  const auto pair = [](const json& m) {
    return double(m["grant seconds"]) + double(m["revocation seconds"]);
  };
  const bool inherits = is(*root, "a file two directories down received the entry");
  const bool tools_dominate =
      double((*tree)["icacls seconds"]) > double((*tree)["total seconds"]) / 2;
  const std::string text =
      "A run on an empty workspace takes " + said(*empty, "total seconds") + " s (PowerShell " +
      said(*empty, "PowerShell seconds") + " s, icacls " + said(*empty, "icacls seconds") +
      " s), on " + said(*tree, "files") + " files " + said(*tree, "total seconds") + " s (icacls " +
      said(*tree, "icacls seconds") + " s). On that tree a /T grant and revocation take " +
      std::to_string(round3(pair(*t))) + " s, a root-only pair " +
      std::to_string(round3(pair(*root))) + " s, whose entry " +
      (inherits ? "reached" : "did NOT reach") + " a deep file by inheritance.";
  if (tools_dominate && inherits && pair(*root) < pair(*t) / 2) {
    return {text, "grant and revoke at the root only and let inheritance carry the entry"};
  }
  return {text, tools_dominate
                    ? "cut the per-run tree walks: keep grants across runs or walk in process"
                    : "nothing for cost: the tree walks are not what a run waits for"};
}

Answer junction_reach() {
  const json *t = taken(kTreeRecursive), *root = taken(kTreeRootOnly),
             *helper = taken(kHelperJunction);
  const char* const through = "the junction led the grant to its target";
  if (!t || !root || !(*t)[through].is_boolean()) return kUnsettled;
  const bool by_t = is(*t, through), by_root = is(*root, through);
  const std::string text =
      std::string("icacls /T ") + (by_t ? "followed" : "did not follow") +
      " the junction, a "
      "root-only grant's inheritance " +
      (by_root ? "followed" : "did not follow") +
      " it, and "
      "the helper " +
      (helper ? (is(*helper, "the helper refused a run whose workspace held it") ? "refused"
                                                                                 : "did not refuse")
              : "may have refused") +
      " a run whose workspace held it. Left on the target after revocation: /T " +
      said(*t, "entry left on the junction's target after revocation") + ", root-only " +
      said(*root, "entry left on the junction's target after revocation") + ".";
  if (by_root)
    return {
        text,
        "walk the tree in process and skip reparse points, or refuse a workspace that holds one"};
  return {text, by_t ? "grant at the root only, without /T"
                     : "nothing for junctions: neither way enters them"};
}

Answer firewall_match() {
  const json* m = taken(kFirewall);
  if (!m) return kUnsettled;
  const auto out = [&](const std::string& state) { return said(*m, state.c_str()) == "allowed"; };
  if (!out("no rule, online"))
    return {"Not settled: the online control did not connect", kUnsettled.should};
  bool offline_out = false;
  for (const char* state :
       {"no rule", "-LocalUser rule", "-LocalUser rule disabled", "-Package rule"}) {
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
  const bool wrote = said(*m, "the child wrote the outside file through the link") == "allowed";
  const bool changed = is(*m, "access list changed");
  return {std::string("the child ") + (wrote ? "wrote" : "could not write") +
              " the outside file through its workspace name; its access list " +
              (changed ? "CHANGED" : "did not change") + " across grant and revocation",
          wrote || changed ? "find files with more than one link before granting and refuse or "
                             "skip them; until then it is a documented limit"
                           : "nothing: a grant did not reach past the workspace"};
}

const std::vector<Question> kQuestions = {
    {"Does a Modify grant alone let the Low-integrity container write the workspace?",
     {kChildToken},
     modify_grant},
    {"What does a run cost, and how much of it is icacls /T on a large workspace?",
     {kEmptyPhases, kTreePhases, kTreeRecursive, kTreeRootOnly},
     run_cost},
    {"Does icacls /T, or inheritance from a root-only grant, enter a junction in the workspace?",
     {kTreeRecursive, kTreeRootOnly, kHelperJunction},
     junction_reach},
    {"Does a -LocalUser rule naming the container's SID match its traffic, or is -Package needed?",
     {kFirewall},
     firewall_match},
    {"Is the per-run PowerShell readiness check worth its cost, and does an in-process read agree?",
     {kReadiness},
     readiness_cost},
    {"Can a sandboxed child create a junction to a directory it cannot write, or to the workspace "
     "from its TEMP?",
     {kChildJunctions},
     junction_mitigation},
    {"What does a grant do to a file hard-linked from outside the workspace?",
     {kHardLink},
     hard_link_reach},
};

void settle_questions() {
  for (const Question& q : kQuestions) {
    const Answer a = q.settle();
    g_suite.answered[q.question] = {{"answer", a.answer}, {"helper should", a.should}};
    std::printf("\nQUESTION  %s\nANSWER    %s\nSHOULD    %s\n", q.question, a.answer.c_str(),
                a.should.c_str());
  }
}

}  // namespace acceptance
