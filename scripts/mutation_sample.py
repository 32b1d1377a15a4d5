"""A mutation sample over native/ and src/: how many small faults do the tests catch?

    .venv/bin/python scripts/mutation_sample.py [--count 150] [--seed 1] [--out build/mutation/report.json]
        [--sample REPORT] [--work DIR] [--only ID ...] [--list]

Every line of code (not comments, includes, imports or blank lines) is a candidate for the
mutation operators below; each (line, operator, occurrence) is one mutant. A fixed seed picks
the sample, spread evenly over the folders (each folder of native/, and src/quorvex). Each mutant
is applied in a private copy of the tree (a git worktree of --revision, HEAD unless told, under build/mutation/), which
is then built and tested:

- a mutant of native/ rebuilds the C++ tests and both extension modules and runs the C++ tests,
  then, if they all pass, the Python tests against the rebuilt modules, then, if those pass too,
  the C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer (so that a read or
  write out of bounds, or undefined arithmetic, counts as caught);
- a mutant of src/ runs the Python tests.

To compare two states of the tests, run the second with --sample naming the first run's report:
the same mutants are applied, each found by its line's text (code that was cut since counts as
"removed"). Results are appended to <out>.partial.jsonl as they come, so an interrupted run
resumes where it stopped.

A mutant is killed when a test fails (the Python tests twice in a row, so that a test failing by
timing alone on a busy machine does not count);
it survives when every test passes. A mutant that does not compile is "invalid" and left
out of the rates; a survivor listed in scripts/mutation_equivalent.json (with the reason no test
can tell it from the code) is "equivalent", left out of the kill rate and counted in the raw one.
The report lists every mutant with its outcome, and per folder: mutants, killed, equivalent, kill
rate. Survivors are worth a look: some are equivalent (the change cannot alter
behaviour), the rest are faults no test catches.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent

# (name, pattern, replacement): applied to one occurrence of the pattern on a line.
COMMON_OPERATORS = [
    ("lt-to-le", r"(?<=\s)<(?=\s)", "<="),
    ("le-to-lt", r"<=", "<"),
    ("gt-to-ge", r"(?<=\s)>(?=\s)", ">="),
    ("ge-to-gt", r">=", ">"),
    ("eq-to-ne", r"==", "!="),
    ("ne-to-eq", r"!=", "=="),
]
ARITHMETIC_OPERATORS = [
    ("plus-to-minus", r"(?<=\s)\+(?=\s)", "-"),
    ("minus-to-plus", r"(?<=\s)-(?=\s)", "+"),
]
CONSTANT_OPERATORS = [
    ("zero-to-one", r"(?<![\w.])0(?![\w.])", "1"),
    ("one-to-zero", r"(?<![\w.])1(?![\w.])", "0"),
]
CPP_OPERATORS = COMMON_OPERATORS + [
    ("and-to-or", r"&&", "||"),
    ("or-to-and", r"\|\|", "&&"),
] + ARITHMETIC_OPERATORS + [
    ("true-to-false", r"\btrue\b", "false"),
    ("false-to-true", r"\bfalse\b", "true"),
] + CONSTANT_OPERATORS + [("drop-not", r"!(?=[A-Za-z_(])", "")]
PY_OPERATORS = COMMON_OPERATORS + [
    ("and-to-or", r"\band\b", "or"),
    ("or-to-and", r"\bor\b", "and"),
] + ARITHMETIC_OPERATORS + [
    ("true-to-false", r"\bTrue\b", "False"),
    ("false-to-true", r"\bFalse\b", "True"),
] + CONSTANT_OPERATORS + [("drop-not", r"\bnot\s+", "")]


def folder_of(path: pathlib.Path, root: pathlib.Path) -> str:
    """native/<layer>, src/quorvex/<subpackage>, or src/quorvex for the package's own modules."""
    parts = path.relative_to(root).parts
    if parts[0] == "native":
        return "/".join(parts[:2])
    return "/".join(parts[:3]) if len(parts) > 3 else "src/quorvex"


def masked(code: str) -> str:
    """The line with the contents of its string and character literals blanked (same length)."""
    return re.sub(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'', lambda m: m.group(0)[0] + "_" * (len(m.group(0)) - 2) + m.group(0)[-1], code)


def code_lines(path: pathlib.Path) -> list[tuple[int, str]]:
    """(number, text) of the lines worth mutating: code, not comments, includes or imports."""
    lines, python = [], path.suffix == ".py"
    in_docstring = False
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        stripped = text.strip()
        if python and stripped.count('"""') % 2 == 1:
            in_docstring = not in_docstring
            continue
        if in_docstring or not stripped:
            continue
        if python and (stripped.startswith(("#", "import ", "from ")) or stripped.startswith(('"', "'"))):
            continue
        if not python and (stripped.startswith(("//", "#", "*", "/*")) or "static_assert" in stripped):
            continue
        lines.append((number, text))
    return lines


def candidates(root: pathlib.Path) -> list[dict]:
    """Every mutant of the code in root (a checkout of the measured commit)."""
    found = []
    files = sorted(list((root / "native").rglob("*.cpp")) + list((root / "native").rglob("*.hpp")) +
                   list((root / "src").rglob("*.py")))
    for path in files:
        operators = PY_OPERATORS if path.suffix == ".py" else CPP_OPERATORS
        for number, text in code_lines(path):
            code = masked(text)
            code = code.split("//")[0] if path.suffix != ".py" else code.split("#")[0]
            for name, pattern, replacement in operators:
                for occurrence, match in enumerate(re.finditer(pattern, code)):
                    found.append({"file": str(path.relative_to(root)), "line": number, "operator": name,
                                  "occurrence": occurrence, "folder": folder_of(path, root),
                                  "before": text.strip(), "pattern": pattern, "replacement": replacement})
    return found


def sample(all_mutants: list[dict], count: int, seed: int) -> list[dict]:
    """count mutants, as evenly spread over the folders as they allow, picked by the seed."""
    rng = random.Random(seed)
    by_folder = collections.defaultdict(list)
    for mutant in all_mutants:
        by_folder[mutant["folder"]].append(mutant)
    for mutants in by_folder.values():
        rng.shuffle(mutants)
    picked: list[dict] = []
    while len(picked) < count and any(by_folder.values()):
        for folder in sorted(by_folder):
            if by_folder[folder] and len(picked) < count:
                picked.append(by_folder[folder].pop())
    for index, mutant in enumerate(picked):
        mutant["id"] = index
    return picked


def apply(tree: pathlib.Path, mutant: dict) -> bool:
    """Mutates the line that holds the mutant's text (the nearest to its number); False if it is gone."""
    path = tree / mutant["file"]
    if not path.exists():
        return False
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    matching = [i for i, text in enumerate(lines) if text.strip() == mutant["before"]]
    if not matching:
        return False
    index = min(matching, key=lambda i: abs(i + 1 - mutant["line"]))
    text = lines[index]
    match = list(re.finditer(mutant["pattern"], masked(text)))[mutant["occurrence"]]
    lines[index] = text[:match.start()] + mutant["replacement"] + text[match.end():]
    path.write_text("".join(lines), encoding="utf-8")
    return True


LAST_OUTPUT: pathlib.Path | None = None  # where the latest step's output is kept, for a look at why it failed


SCRATCH: pathlib.Path | None = None  # the temporary folder of the tests: a mutant that crashes a test leaves files there


def run(command: list[str], cwd: pathlib.Path, timeout: int, env: dict | None = None) -> int:
    if SCRATCH is not None:
        SCRATCH.mkdir(parents=True, exist_ok=True)
        env = dict(env or os.environ, TMPDIR=str(SCRATCH))
    try:
        with open(LAST_OUTPUT or os.devnull, "w") as output:
            # Ctrl-C restored: a run started in the background ignores it, and the tests stop servers with it.
            return subprocess.run(command, cwd=cwd, env=env, timeout=timeout, stdout=output, stderr=subprocess.STDOUT,
                                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)).returncode
    except subprocess.TimeoutExpired:
        return -1  # a hang counts as caught: the test run did not pass


class Tree:
    """A worktree of the measured revision with its own build, where one mutant at a time is applied."""

    def __init__(self, work: pathlib.Path, revision: str) -> None:
        global LAST_OUTPUT, SCRATCH
        LAST_OUTPUT = work / "last-step.log"
        SCRATCH = work / "tmp"
        self.path = work / "tree"
        self.build = work / "build"
        self.sanitize = work / "sanitize"
        self.package = work / "package"
        self.pristine = work / "pristine"
        if not self.path.exists():
            subprocess.run(["git", "worktree", "add", "--detach", str(self.path), "HEAD"], cwd=ROOT, check=True)
        subprocess.run(["git", "checkout", "--force", "--detach", subprocess.run(
            ["git", "rev-parse", revision], cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()],
            cwd=self.path, check=True, capture_output=True)
        suite = work / "shared"  # the tests read shared data beside the source tree
        if not suite.exists() and (ROOT.parent / "shared").is_dir():
            suite.symlink_to(ROOT.parent / "shared")
        subprocess.run(["cmake", "-S", str(self.path), "-B", str(self.build), "-DCMAKE_BUILD_TYPE=Release",
                        # -O1 without debug information: the same faults are caught, mutants build faster
                        "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG", f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
        subprocess.run(["cmake", "-S", str(self.path), "-B", str(self.sanitize), "-DCMAKE_BUILD_TYPE=Debug",
                        "-DQUORVEX_SANITIZE=ON", "-DQUORVEX_BUILD_MODULE=OFF"], check=True, capture_output=True)

    def reset(self) -> None:
        subprocess.run(["git", "checkout", "--", "."], cwd=self.path, check=True)
        if SCRATCH is not None:
            shutil.rmtree(SCRATCH, ignore_errors=True)

    def build_all(self) -> bool:
        return run(["cmake", "--build", str(self.build), "--parallel", str(os.cpu_count() or 1)], ROOT, 1800) == 0

    def cpp_tests(self, build: pathlib.Path | None = None) -> bool:
        return run(["ctest", "--test-dir", str(build or self.build), "--parallel", str(os.cpu_count() or 1),
                    "--stop-on-failure", "--timeout", "300"], ROOT, 1800) == 0

    def sanitized_cpp_tests(self) -> bool:
        """The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer; False also when they do not build."""
        built = run(["cmake", "--build", str(self.sanitize), "--parallel", str(os.cpu_count() or 1)], ROOT, 1800) == 0
        return built and self.cpp_tests(self.sanitize)

    def keep_pristine_modules(self) -> None:
        """Copies of the extension modules built from the unmutated tree."""
        shutil.rmtree(self.pristine, ignore_errors=True)
        self.pristine.mkdir(parents=True)
        for module in (self.build / "native" / "python").glob("*.so"):
            shutil.copy(module, self.pristine / module.name)

    def python_tests(self, native: bool = True) -> bool:
        """The Python tests against the tree's package with the modules just built (a native mutant) or
        the pristine ones (the build folder still holds the last native mutant's modules)."""
        shutil.rmtree(self.package, ignore_errors=True)
        shutil.copytree(self.path / "src" / "quorvex", self.package / "quorvex")
        for module in (self.build / "native" / "python" if native else self.pristine).glob("*.so"):
            shutil.copy(module, self.package / "quorvex" / module.name)
        env = dict(os.environ, PYTHONPATH=f"{self.package}:{self.path / 'tests' / 'python'}")
        command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests/python"]
        # A mutant's failure repeats; a test that failed by timing on a busy machine passes the second time.
        # A hang (the suite takes a minute at most) is not tried again.
        first = run(command, self.path, 300, env)
        return first == 0 or (first != -1 and run(command, self.path, 300, env) == 0)


def outcome(tree: Tree, mutant: dict) -> str:
    tree.reset()
    if not apply(tree.path, mutant):
        return "removed"
    native = mutant["file"].startswith("native/")
    if native and not tree.build_all():
        return "invalid"
    if not native and run([sys.executable, "-m", "py_compile", mutant["file"]], tree.path, 60) != 0:
        return "invalid"
    if native and not tree.cpp_tests():
        return "killed"
    if not tree.python_tests(native):
        return "killed"
    return "survived" if not native or tree.sanitized_cpp_tests() else "killed"


def kill_rate(killed: int, mutants: int) -> float | None:
    return round(killed / mutants, 3) if mutants else None


EQUIVALENT = ROOT / "scripts" / "mutation_equivalent.json"


def equivalent_reasons() -> dict[tuple, str]:
    """Mutants judged equivalent (no test can tell them from the code), by file, line text, operator and
    occurrence, with the reason: scripts/mutation_equivalent.json, a list of such entries."""
    entries = json.loads(EQUIVALENT.read_text()) if EQUIVALENT.exists() else []
    return {(e["file"], e["before"], e["operator"], e["occurrence"]): e["reason"] for e in entries}


def report(results: list[dict]) -> dict:
    """Per folder and in all: mutants that built, killed, judged equivalent, and the kill rate over the
    mutants that are not equivalent (raw_kill_rate counts the equivalent ones as survivors)."""
    reasons = equivalent_reasons()
    folders: dict[str, dict] = {}
    for result in results:
        entry = folders.setdefault(result["folder"], {"mutants": 0, "killed": 0, "equivalent": 0, "invalid": 0})
        if result["outcome"] in ("invalid", "removed"):
            entry[result["outcome"]] = entry.get(result["outcome"], 0) + 1
            continue
        key = (result["file"], result["before"], result["operator"], result["occurrence"])
        if result["outcome"] in ("survived", "equivalent") and key in reasons:
            result["outcome"], result["reason"] = "equivalent", reasons[key]
        entry["mutants"] += 1
        entry["killed"] += result["outcome"] == "killed"
        entry["equivalent"] += result["outcome"] == "equivalent"
    total = {"mutants": 0, "killed": 0, "equivalent": 0}
    for entry in folders.values():
        for name in total:
            total[name] += entry[name]
    for entry in [*folders.values(), total]:
        entry["kill_rate"] = kill_rate(entry["killed"], entry["mutants"] - entry["equivalent"])
        entry["raw_kill_rate"] = kill_rate(entry["killed"], entry["mutants"])
    return {"folders": dict(sorted(folders.items())), "total": total}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=150)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--work", type=pathlib.Path, default=ROOT / "build" / "mutation",
                        help="where the mutated worktree and its build live")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "build" / "mutation" / "report.json")
    parser.add_argument("--revision", default="HEAD", help="the commit whose tests are measured")
    parser.add_argument("--sample", type=pathlib.Path, help="apply the mutants of this earlier report")
    parser.add_argument("--only", type=int, nargs="*", help="run only these mutant ids of the sample")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    args = parser.parse_args()
    args.work = args.work.resolve()  # the tests run in the tree, where a relative path would name nothing
    if args.sample:
        earlier = json.loads(args.sample.read_text())
        args.seed, args.count = earlier["seed"], earlier["count"]
        mutants = [{k: v for k, v in m.items() if k not in ("outcome", "reason")} for m in earlier["mutants"]]
    tree = None if args.list else Tree(args.work, args.revision)
    if not args.sample:  # drawn from the measured commit's code, not from the working tree's
        mutants = sample(candidates(tree.path if tree else ROOT), args.count, args.seed)
    if args.list:
        for m in mutants:
            print(f"{m['id']:3d} {m['file']}:{m['line']} {m['operator']}: {m['before']}")
        return 0
    partial = args.out.with_suffix(".partial.jsonl")
    partial.parent.mkdir(parents=True, exist_ok=True)
    done = {r["id"]: r for r in map(json.loads, partial.read_text().splitlines())} if partial.exists() else {}
    assert tree is not None
    if len(done) < len(mutants):
        for step in (tree.build_all, tree.cpp_tests, tree.python_tests, tree.sanitized_cpp_tests):
            if not (step() or step()):  # once more: a test that failed by timing alone passes now
                print(f"the unmutated tree fails {step.__name__}", file=sys.stderr)
                return 1
        tree.keep_pristine_modules()
    results = []
    for mutant in mutants:
        if args.only is not None and mutant["id"] not in args.only:
            continue
        if mutant["id"] in done:
            results.append(done[mutant["id"]])
            continue
        started = time.perf_counter()
        mutant["outcome"] = outcome(tree, mutant)
        results.append(mutant)
        with partial.open("a") as log:
            log.write(json.dumps(mutant) + "\n")
        print(f"{mutant['id']:3d} {mutant['outcome']:8s} {time.perf_counter() - started:5.0f} s  "
              f"{mutant['file']}:{mutant['line']} {mutant['operator']}", flush=True)
    tree.reset()
    summary = report(results)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({"seed": args.seed, "count": args.count, "summary": summary,
                                    "mutants": results}, indent=2) + "\n")
    print(json.dumps(summary, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
