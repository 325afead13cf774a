#!/usr/bin/env python3
"""Mutation testing of the portable core: do the unit tests catch real faults?

    scripts/mutants.py [--check] [--only NAME ...] [--list FILE] [--jobs N]
                       [--timeout SECONDS]

    (no option)  builds the unit tests once per mutant and runs them, then
                 prints killed or survived for each mutant and the score
    --check      only checks the list: every text found exactly once
    --only NAME  runs the named mutants alone (may be given several times)
    --list FILE  another list than tests/mutants.txt
    --jobs N     parallel compile jobs (default 2)
    --timeout S  the time bound of one run of the unit tests (default: five
                 times the run of the unchanged tests, and at least 60 s)

Each mutant of the list (tests/mutants.txt says its format) is one small
fault put by hand into the core's sources: a commit skipped, two steps in
the wrong order, a check turned round. It is applied alone to a copy of the
sources in build/mutants/src, never to the working tree; the copy is put
back after each mutant, also on Ctrl-C, and is brought up to date with the
working tree at the start of every run. One build folder,
build/mutants/build, serves every mutant, so that only the changed file and
the one it replaced recompile. The unit tests then run once, stopping at
the first failure. A mutant is killed when a test fails or the tests do not
end within the time bound (a mutant that makes the job hang); it survived
when every test passed. A survivor that the list explains (its "survives"
line) is expected; any other is a gap in the tests.

The first run configures and builds everything (a few minutes on two
cores); each mutant then takes a compile, a link and a test run.

Exit status: 0 when every survivor is explained, 1 when one is not, 2 when
the list is wrong (a text not found exactly once, a mutant that does not
build) or the unchanged tests fail.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_LIST = REPO / "tests" / "mutants.txt"
WORK = REPO / "build" / "mutants"
COPY = WORK / "src"
BUILD = WORK / "build"
TEST_BINARY = BUILD / "tests" / "unit" / "kestrane_unit_tests"
# A mutant may make the job loop and allocate without end: the tests get
# no more memory than this.
MEMORY_LIMIT_BYTES = 8 << 30


class ListError(Exception):
    """The list does not fit the sources: it must be mended first."""


@dataclasses.dataclass
class Edit:
    find: str
    put: str | None = None  # None until the list gives it


@dataclasses.dataclass
class Mutant:
    name: str
    file: str = ""
    rule: str = ""
    edits: list[Edit] = dataclasses.field(default_factory=list)
    survives: str = ""  # why it is expected to survive, when it is


def read_list(path: Path) -> list[Mutant]:
    """Reads the list's blocks; tests/mutants.txt gives the format."""
    mutants: list[Mutant] = []
    continued: tuple[Edit, str] | None = None  # the text a "|" line continues
    for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        where = f"{path.name}:{number}"
        if raw.startswith("|"):
            if continued is None:
                raise ListError(f"{where}: a '|' line continues no find or put")
            edit, field = continued
            setattr(edit, field, getattr(edit, field) + "\n" + raw[1:])
            continue
        continued = None
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        key, _, value = line.partition(" ")
        value = value.strip()
        if key == "mutant":
            if not value or any(m.name == value for m in mutants):
                raise ListError(f"{where}: a mutant needs a name of its own")
            mutants.append(Mutant(value))
            continue
        if not mutants:
            raise ListError(f"{where}: '{key}' before the first mutant")
        mutant = mutants[-1]
        if key in ("file", "rule", "survives"):
            setattr(mutant, key, value)
        elif key == "find":
            mutant.edits.append(Edit(value))
            continued = (mutant.edits[-1], "find")
        elif key == "put":
            if not mutant.edits or mutant.edits[-1].put is not None:
                raise ListError(f"{where}: 'put' must follow its 'find'")
            mutant.edits[-1].put = value
            continued = (mutant.edits[-1], "put")
        else:
            raise ListError(f"{where}: unknown key '{key}'")
    for mutant in mutants:
        if not mutant.file or not mutant.rule or not mutant.edits:
            raise ListError(f"{mutant.name}: it needs a file, a rule and at least one find and put")
        if any(edit.put is None for edit in mutant.edits):
            raise ListError(f"{mutant.name}: a 'find' without its 'put'")
    return mutants


def mutated(mutant: Mutant, original: str) -> str:
    """The file's text with the mutant's edits, each of a text found exactly once."""
    text = original
    for edit in mutant.edits:
        find, put = edit.find, edit.put
        if not find:
            raise ListError(f"{mutant.name}: an empty find")
        found = original.count(find)
        if found != 1:
            raise ListError(f"{mutant.name}: {mutant.file} holds its text {found} times, not once:\n{find}")
        if find == put:
            raise ListError(f"{mutant.name}: its put changes nothing")
        if text.count(find) != 1:
            raise ListError(f"{mutant.name}: its edits overlap")
        text = text.replace(find, put)
    return text


def check(mutants: list[Mutant]) -> None:
    for mutant in mutants:
        source = REPO / mutant.file
        if not source.is_file():
            raise ListError(f"{mutant.name}: no file {mutant.file}")
        mutated(mutant, source.read_bytes().decode("utf-8"))


def run(command: list[str], **options) -> subprocess.CompletedProcess:
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **options)


def sync_copy() -> None:
    """Brings the copy of the sources up to date with the working tree. A
    changed file is written anew, so that its time tells the build."""
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                 cwd=REPO, check=True)
    for name in filter(None, listed.stdout.split("\0")):
        source, copy = REPO / name, COPY / name
        if not source.is_file():
            continue
        data = source.read_bytes()
        if copy.is_file() and copy.read_bytes() == data:
            continue
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_bytes(data)
        shutil.copymode(source, copy)


def build(jobs: int) -> subprocess.CompletedProcess:
    if not (BUILD / "CMakeCache.txt").is_file():
        configured = run(["cmake", "-S", str(COPY), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        if configured.returncode != 0:
            return configured
    return run(["cmake", "--build", str(BUILD), "--target", "kestrane_unit_tests", f"-j{jobs}"])


def limit_memory() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT_BYTES, MEMORY_LIMIT_BYTES))


def kill_group(process: subprocess.Popen) -> None:
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.communicate()


def run_tests(timeout: float) -> tuple[str, str]:
    """Runs the unit tests: ("passed" | "failed" | "timeout", the first failed test)."""
    process = subprocess.Popen(
        [str(TEST_BINARY), "--gtest_fail_fast", "--gtest_brief=1"],
        cwd=TEST_BINARY.parent,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        start_new_session=True,
        preexec_fn=limit_memory,
    )
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_group(process)
        return "timeout", ""
    finally:
        # Also on Ctrl-C: no test, nor a server it started, is left running.
        if process.poll() is None:
            kill_group(process)
    if process.returncode == 0:
        return "passed", ""
    # "[  FAILED  ] Suite.Test, where GetParam() = ..."
    for line in output.splitlines():
        if line.startswith("[  FAILED  ] ") and line[13:].strip():
            return "failed", line[13:].split()[0].rstrip(",")
    return "failed", f"exit status {process.returncode}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--list", type=Path, default=DEFAULT_LIST)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=float)
    options = parser.parse_args()

    try:
        mutants = read_list(options.list)
        check(mutants)
        unknown = set(options.only) - {m.name for m in mutants}
        if unknown:
            raise ListError("no such mutant: " + ", ".join(sorted(unknown)))
    except ListError as error:
        print(f"mutants: the list is wrong: {error}", file=sys.stderr)
        return 2
    if options.only:
        mutants = [m for m in mutants if m.name in options.only]
    print(f"{len(mutants)} mutants in {os.path.relpath(options.list)}")
    if options.check:
        return 0

    began = time.monotonic()
    COPY.mkdir(parents=True, exist_ok=True)
    sync_copy()
    built = build(options.jobs)
    if built.returncode != 0:
        print(built.stdout[-4000:])
        print("mutants: the unchanged sources do not build", file=sys.stderr)
        return 2
    started = time.monotonic()
    verdict, first = run_tests(timeout=3600)
    baseline = time.monotonic() - started
    if verdict != "passed":
        print(f"mutants: the unchanged unit tests fail ({verdict} {first}): mend them first", file=sys.stderr)
        return 2
    timeout = options.timeout or max(60.0, 5 * baseline)
    print(f"unchanged tests pass in {baseline:.1f} s; each run is bounded by {timeout:.0f} s")

    results: list[tuple[Mutant, str, str]] = []
    errors: list[str] = []
    width = max(len(m.name) for m in mutants)
    for index, mutant in enumerate(mutants, 1):
        copy = COPY / mutant.file
        # Bytes, so that the file is put back exactly, whatever its line ends.
        original = copy.read_bytes()
        mutant_began = time.monotonic()
        try:
            copy.write_bytes(mutated(mutant, original.decode("utf-8")).encode("utf-8"))
            built = build(options.jobs)
            if built.returncode != 0:
                errors.append(f"{mutant.name} does not build:\n{built.stdout[-2000:]}")
                verdict, first = "does not build", ""
            else:
                verdict, first = run_tests(timeout)
        finally:
            copy.write_bytes(original)
        if verdict == "passed":
            outcome = "survived" + (f" (expected: {mutant.survives})" if mutant.survives else "")
        elif verdict == "failed":
            outcome = f"killed by {first}"
        elif verdict == "timeout":
            outcome = f"killed by the time bound of {timeout:.0f} s"
        else:
            outcome = verdict
        if verdict in ("failed", "timeout") and mutant.survives:
            outcome += " (listed as surviving: drop its survives line)"
        results.append((mutant, verdict, outcome))
        took = time.monotonic() - mutant_began
        print(f"[{index:2}/{len(mutants)}] {mutant.name:<{width}}  {outcome}  ({took:.0f} s)", flush=True)

    # The build folder is left as the unchanged sources build.
    build(options.jobs)
    killed = sum(1 for _, verdict, _ in results if verdict in ("failed", "timeout"))
    survivors = [mutant for mutant, verdict, _ in results if verdict == "passed"]
    judged = killed + len(survivors)
    print()
    for error in errors:
        print(f"mutants: {error}", file=sys.stderr)
    if survivors:
        print("Survivors:")
        for mutant in survivors:
            why = "expected: " + mutant.survives if mutant.survives else "NOT EXPLAINED: a gap in the tests"
            print(f"  {mutant.name} ({mutant.file}): {mutant.rule}\n    {why}")
    minutes, seconds = divmod(int(time.monotonic() - began), 60)
    score = 100.0 * killed / judged if judged else 0.0
    print(f"{killed} killed, {len(survivors)} survived of {judged} mutants: score {score:.1f} %"
          f" in {minutes} min {seconds} s")
    if errors:
        return 2
    return 1 if any(not mutant.survives for mutant in survivors) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        # The copy was put back by the finally above; the working tree was never touched.
        print("\nmutants: interrupted", file=sys.stderr)
        sys.exit(130)
