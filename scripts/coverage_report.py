"""The coverage report of scripts/coverage.sh: a table per language from gcovr's JSON summary
and coverage.py's JSON report, and every file under 85% of lines with the reason it stays there.

    python scripts/coverage_report.py build/coverage/native.json build/coverage/python.json
"""

from __future__ import annotations

import json
import pathlib
import sys

THRESHOLD = 85.0

# Files that stay under the threshold, and why. A file under it that is not listed here is
# reported as one to raise.
REASONS: dict[str, str] = {
    "native/core/json_decode.cpp": "decode_unsigned is counted once per integer width; the refusals of a negative "
                                   "or too large number are tested through the fields that have them, not for "
                                   "every width",
    "native/pir/pir_client.cpp": "dispatch is counted once per operation; the lines left are the refusal of an "
                                 "artifact that does not match its backend, which opening a cache refuses first",
    "native/pir/setup_checks.hpp": "the profile table sends every profile to its own backend before this check, "
                                   "so its refusal is a guard no input reaches",
    "native/python/engine_module.cpp": "the converters are counted once per instantiation, and the rest are refusals "
                                       "of wrongly typed arguments, which the package's server (the engine's only "
                                       "caller) never passes",
    "src/quorvex/publisher/sources.py": "the skips of unreadable files and folders cannot be provoked as root, which "
                                        "the tests run as",
    "src/quorvex/server/http_server.py": "the workers run in forked processes that leave by os._exit (so as not to "
                                         "run the parent's clean-up), which also skips saving their coverage; the "
                                         "multi-worker command-line tests run that code",
    "native/core/text.hpp": "gcov counts concat's lines once per instantiation (one per list of argument types); "
                            "those never run build messages of refusals no test provokes (I/O errors, overflows)",
    "native/pir/wrapping_dots.cpp": "compiled three times (x86-64-v4, AVX2, default) and chosen at load time; only the "
                                    "machine's own clone runs",
    "native/python/boundary.hpp": "the catch clauses of guarded() run only when C++ code throws (allocation failure), "
                                  "which a test cannot provoke portably",
    "native/server/lane_file.cpp": "the move assignment is unused by the engine, and the overflow refusal needs "
                                   "more than 2^63 lanes",
}


def native_rows(summary: dict) -> list[tuple[str, int, int, int, int]]:
    """(file, lines covered, lines, branches covered, branches) from gcovr's --json-summary."""
    return [(f["filename"], f["line_covered"], f["line_total"], f["branch_covered"], f["branch_total"])
            for f in summary["files"]]


def python_rows(report: dict) -> list[tuple[str, int, int, int, int]]:
    """The same from coverage.py's JSON report (statements stand for lines)."""
    rows = []
    for name, entry in report["files"].items():
        s = entry["summary"]
        rows.append((name, s["covered_lines"], s["num_statements"], s["covered_branches"], s["num_branches"]))
    return rows


def percent(covered: int, total: int) -> float:
    return 100.0 * covered / total if total else 100.0


def table(title: str, rows: list[tuple[str, int, int, int, int]]) -> list[str]:
    out = [f"## {title}", "", "| File | Lines | Line % | Branches | Branch % |", "|---|---:|---:|---:|---:|"]
    for name, lc, lt, bc, bt in sorted(rows):
        out.append(f"| {name} | {lc}/{lt} | {percent(lc, lt):.1f} | {bc}/{bt} | {percent(bc, bt):.1f} |")
    lc, lt = sum(r[1] for r in rows), sum(r[2] for r in rows)
    bc, bt = sum(r[3] for r in rows), sum(r[4] for r in rows)
    out += [f"| **all** | {lc}/{lt} | {percent(lc, lt):.1f} | {bc}/{bt} | {percent(bc, bt):.1f} |", ""]
    return out


def main() -> int:
    native = native_rows(json.loads(pathlib.Path(sys.argv[1]).read_text()))
    python = python_rows(json.loads(pathlib.Path(sys.argv[2]).read_text()))
    lines = ["# Coverage of native/ and src/quorvex by the tests", ""]
    lines += table("C++ (gcovr; throw and unreachable branches left out)", native)
    lines += table("Python (coverage.py, subprocesses included)", python)
    low = [(name, percent(lc, lt)) for name, lc, lt, _, _ in native + python if percent(lc, lt) < THRESHOLD]
    lines += [f"## Files under {THRESHOLD:.0f}% of lines", ""]
    lines += [f"- {name} ({p:.1f}%): {REASONS.get(name, 'NO REASON ON RECORD: raise its coverage')}"
              for name, p in sorted(low)] or ["none"]
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
