"""Kill-anywhere soak: ends the real helper with TerminateProcess at every
tool call of a run and at seeded random instants, then runs the same identity
once more to its end and checks that nothing is left: no grant of a sandbox
SID in the icacls stand-in's ledger, no lease or lease temporary file, no
run's tmp\\<pid> directory, and the setup marker unchanged.

    soak.py [--long] [--seed N]

The short version (a few kills per identity) is a stage of scripts/test.sh;
--long kills at every tool call of every scenario and at 25 random instants
per scenario (200 in all).
Exits 1 when any grant leaked, anything was left over, or a run that was
carried to its end did not end as every run under Wine does."""

from __future__ import annotations

import argparse
import random
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import harness
from harness import LAUNCH_FAILS, PREFIX, PROGRAMS, Install, Wine, WineStartFailure, run_args

IDENTITIES = [("read_only", False), ("read_only", True), ("workspace_write", False),
              ("workspace_write", True)]
# No writable root, and two with one of them given twice.
ROOT_SETS = [(), ("a", "b", "a")]
TOOL_SLEEP_MS = 1500
VERBOSE = False


class Killer:
    """killer.exe, one Wine process for the whole soak (its header documents
    the requests)."""

    def __init__(self, wine: Wine):
        self.process = subprocess.Popen(["wine", str(PROGRAMS / "killer.exe")], env=wine.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)

    def ask(self, *fields) -> list[str]:
        self.process.stdin.write("\t".join(map(str, fields)) + "\n")
        self.process.stdin.flush()
        reply = self.process.stdout.readline().split()
        if VERBOSE:
            print(f"{time.strftime('%H:%M:%S')} {fields[0]} {fields[2:]} -> {reply}", flush=True)
        return reply

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait(timeout=60)


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.kills, self.missed, self.complaints, self.scenarios = Counter(), 0, [], 0
        self.start_failures = 0

    def retried(self, attempt):
        """What `attempt` yields, tried again, at most twice, when Wine failed
        to start a process before any code of it ran; any other failure
        stands."""
        for tries_left in (2, 1, 0):
            try:
                return attempt()
            except WineStartFailure:
                if tries_left == 0:
                    raise
                with self.lock:
                    self.start_failures += 1


class Scenario:
    """One identity and set of writable roots in an install of its own: the
    ways to kill its run, and the checks after each kill."""

    def __init__(self, machine: Install, killer: Killer, marker: bytes, preset: str,
                 network: bool, roots: tuple[str, ...], tally: Tally):
        self.machine, self.icacls, self.killer = machine, machine.icacls, killer
        self.marker, self.tally = marker, tally
        self.name = f"{preset}{' --network' if network else ''} roots={len(roots)}"
        work = machine.root / "work"
        work.mkdir(exist_ok=True)
        for root in roots:
            (machine.root / root).mkdir(exist_ok=True)
        self.args = run_args(work, preset=preset, roots=[machine.root / root for root in roots],
                             network=network)
        self.grants = len(roots) + 2
        self.revocations = len(set(roots)) + 2

    def start(self):
        return self.machine.start(*self.args)

    @staticmethod
    def finish_killed(process) -> None:
        # Not communicate(): a tool call the killed helper had started holds
        # its copies of the helper's output streams until it ends.
        process.wait(timeout=300)
        process.stdout.close()
        process.stderr.close()

    def kill_during(self, direction: str, k: int) -> list[str]:
        """Kills the helper while the readiness PowerShell, or its k-th call
        of icacls in `direction`, sleeps; the killer's reply."""
        machine, icacls = self.machine, self.icacls
        since = len(icacls.calls())
        calls_before = machine.powershell.started()
        (machine.powershell if direction == "readiness" else icacls).sleep(TOOL_SLEEP_MS)
        try:
            started = self.start()
            if direction == "readiness":
                machine.wait_until(lambda: machine.powershell.started() > calls_before,
                                   "the readiness check", 300, running=started)
            else:
                machine.wait_until(
                    lambda: sum(call[1] == direction for call in icacls.calls()[since:]) >= k,
                    f"{direction} {k}", 300, running=started)
            reply = self.killer.ask("kill", machine.helper, 0)
            self.finish_killed(started.process)
        finally:
            machine.powershell.reset()
            icacls.reset()
        return reply

    def lifetime(self) -> int:
        """How long the helper lives, in milliseconds, in a run carried to
        its end, as the killer measures it."""
        started = self.start()
        lifetime = int(self.killer.ask("watch", self.machine.helper)[1])
        self.machine.finish(started, timeout=300)
        return lifetime

    def kill_at(self, instant: int) -> str | None:
        """Kills the helper `instant` milliseconds after it started; where
        the run stood, or None when it had ended before."""
        since = len(self.icacls.calls())
        process = self.start().process
        reply = self.killer.ask("kill", self.machine.helper, instant)
        self.finish_killed(process)
        return self.phase_after_kill(since, reply[1]) if reply[0] == "killed" else None

    def phase_after_kill(self, since: int, pid: str) -> str:
        """Where a run killed as process `pid` stood, from what it left."""
        leases = self.machine.state_dir / "acl-leases"
        lease, lease_temporary = any(leases.glob("*.json")), any(leases.glob(f"*.tmp-{pid}"))
        temp = (self.machine.state_dir / "tmp" / pid).exists()
        events = self.icacls.events()
        starts = [e for e in events if e["event"] == "start"][since:]
        ended = {e["pid"] for e in events if e["event"] == "end"}
        grants = [e for e in starts if e["args"][1] == "/grant"]
        revocations = [e for e in starts if e["args"][1] == "/remove:g"]
        if revocations:
            if not all(e["pid"] in ended for e in revocations):
                return "random: revocations"
            return "random: lease deletion or temp removal" if lease or temp else "random: exit"
        if grants:
            return "random: grants and launch"
        if lease_temporary:
            return "random: lease write and replace"
        if lease:
            return "random: temp directory reset and creation"
        return "random: start-up, readiness, lock and recovery"

    def run_to_end(self) -> str | None:
        """Runs once more to its end; the complaint, if it did not end as it
        must."""
        result = self.tally.retried(lambda: self.machine.run(*self.args, timeout=300))
        if (result.exit_code, result.err) != (77, f"tessarin-sandbox: {LAUNCH_FAILS}\n"):
            return f"{self.name}: follow-up run ended {result.exit_code}: {result.err!r}"
        return None

    def unfinished(self) -> list[list[str]]:
        """Tool calls still running. A call that logged no end was either
        killed with the helper's job or is still at work; only the second
        counts."""
        events = self.icacls.events()
        ended = {e["pid"] for e in events if e["event"] == "end"}
        return [e["args"] for e in events if e["event"] == "start" and e["pid"] not in ended
                and self.killer.ask("alive", e["pid"], "icacls.exe")[0] == "alive"]

    def leftovers(self) -> list[str]:
        state = self.machine.state_dir
        found = [f"grant {entry}" for entry in self.icacls.ledger()
                 if entry[1].startswith("*S-1-15-2-")]
        leases = state / "acl-leases"
        # The identity's lock file stays by design; every other file there is
        # a lease or a lease's temporary file.
        found += [f"lease file {p.name}" for p in leases.iterdir()
                  if p.suffix != ".lock"] if leases.exists() else []
        tmp = state / "tmp"
        found += [f"temporary directory {p.name}" for p in tmp.iterdir()] if tmp.exists() else []
        if (state / "setup-v1.json").read_bytes() != self.marker:
            found.append("setup marker changed")
        return found

    def check(self, follow_up: bool = True) -> list[str]:
        complaints = []
        if follow_up:
            complaint = self.run_to_end()
            if complaint:
                complaints.append(complaint)
        # A tool call that a killed helper had started may still be running;
        # what it does once it ends counts too.
        deadline = time.monotonic() + 30
        while (running := self.unfinished()) and time.monotonic() < deadline:
            time.sleep(0.1)
        complaints += [f"{self.name}: tool call still running after 30 s: {args}"
                       for args in running]
        return complaints + [f"{self.name}: {item}" for item in self.leftovers()]


def soak_identity(wine: Wine, scratch: Path, identity, number: int, long: bool, seed: int,
                  tally: Tally) -> None:
    """Every scenario of one identity, in an install of its own, so that the
    four identities can be soaked side by side."""
    rng = random.Random(seed * 10 + number)
    killer = Killer(wine)
    try:
        machine = Install(wine, scratch / str(number))
        setup = tally.retried(lambda: machine.run("setup"))
        assert setup.exit_code == 0, setup.err
        marker = (machine.state_dir / "setup-v1.json").read_bytes()
        random_kills = 25 if long else 1
        for roots in ROOT_SETS:
            scenario = Scenario(machine, killer, marker, *identity, roots, tally)
            kills, missed, complaints = Counter(), 0, []
            # Each tool call, while it sleeps: the readiness PowerShell, each
            # grant, each revocation. The short version takes one of them
            # per scenario, a different one each time.
            targets = ([("readiness", 0)] +
                       [("/grant", k) for k in range(1, scenario.grants + 1)] +
                       [("/remove:g", k) for k in range(1, scenario.revocations + 1)])
            if not long:
                targets = [targets[(number * 3 + len(roots)) % len(targets)]]
            for direction, k in targets:
                reply = tally.retried(lambda: scenario.kill_during(direction, k))
                if reply[0] != "killed":
                    complaints.append(f"{scenario.name}: no kill during {direction} {k}")
                    continue
                kills[{"readiness": "readiness PowerShell", "/grant": f"grant {k}",
                       "/remove:g": f"revocation {k}"}[direction]] += 1
                complaints += scenario.check()
            # Seeded random instants over the helper's lifetime, as one run
            # carried to its end measures it.
            lifetime = tally.retried(scenario.lifetime)
            complaints += scenario.check(follow_up=False)
            for _ in range(random_kills):
                phase = scenario.kill_at(rng.randrange(lifetime))
                if phase is None:
                    missed += 1
                else:
                    kills[phase] += 1
                complaints += scenario.check(follow_up=phase is not None)
            with tally.lock:
                tally.scenarios += 1
                tally.kills.update(kills)
                tally.missed += missed
                tally.complaints += complaints
            print(f"{time.strftime('%H:%M:%S')} {scenario.name}: {sum(kills.values())} kills, "
                  f"{len(complaints)} findings", flush=True)
    except Exception as error:  # a broken scenario must show, not hang the others
        with tally.lock:
            tally.complaints.append(f"{identity}: {error!r}")
    finally:
        killer.close()


def soak(long: bool, seed: int) -> int:
    # A prefix of its own, so that the soak and the test suite can run side
    # by side, and ending one Wine server does not end the other's processes.
    wine = Wine(PREFIX.parent / "wine-prefix-soak")
    wine.start()
    tally = Tally()
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory(prefix="tessarin-soak-") as scratch:
            workers = [threading.Thread(target=soak_identity,
                                        args=(wine, Path(scratch), identity, number, long, seed,
                                              tally))
                       for number, identity in enumerate(IDENTITIES)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
    finally:
        wine.stop()
    complaints = tally.complaints
    leaked = sum(1 for c in complaints if ": grant (" in c)
    print(f"scenarios: {tally.scenarios}, seed {seed}, {time.monotonic() - started:.0f} s")
    print(f"kills: {sum(tally.kills.values())} "
          f"(random instants after the run had ended, not counted: {tally.missed})")
    for phase, count in sorted(tally.kills.items()):
        print(f"  {phase}: {count}")
    print(f"Wine start failures, retried: {tally.start_failures}")
    print(f"host loader assertions dropped from the output: {sum(harness.loader_lines_dropped)}")
    print(f"grants leaked: {leaked}")
    print(f"leftovers: {len(complaints) - leaked}")
    for complaint in complaints:
        print(f"  {complaint}")
    return 1 if complaints or tally.scenarios != 8 else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--long", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    return soak(options.long, options.seed)


if __name__ == "__main__":
    sys.exit(main())
