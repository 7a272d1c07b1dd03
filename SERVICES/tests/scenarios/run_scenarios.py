#!/usr/bin/env python3
"""Runs the scenarios of scenarios.py against one tier.

    python3 run_scenarios.py --tier native|wine --build DIR
                             [--work DIR] [--quick] [-k SUBSTRING] [--keep] [--list]

Under Wine the Windows test kit runs them (backend_wine.py): its runner
does all that follows inside Wine, as it does on Windows, and this script
passes the options on. Natively each scenario gets a fresh case from the
backend: its set-up steps, one run of the program with the case's
placeholders filled in, a byte-exact comparison of standard output,
standard error and exit status, then the checks of the machine afterwards.
The backend runs the program with the case's directory ({dir}) as its
current directory.

The exit status: a POSIX status keeps 8 bits, so the expected error number
is compared through the program's mapping (0 stays 0, otherwise the low 8
bits, or 255 when those are 0); the kit compares all 32 bits on Windows and
under Wine.
"""

from __future__ import annotations

import argparse
import dataclasses
import difflib
import importlib
import os
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import buildfacts  # noqa: E402


def posix_status(error_num: int) -> int:
    """The 8-bit status under which a POSIX host reports an error number."""
    if error_num == 0:
        return 0
    low = error_num & 0xFF
    return low if low else 255


def expected_status(tier: str, error_num: int) -> int:
    return posix_status(error_num)


def visible(text: str) -> str:
    """One line made readable: tabs, CRs and control bytes named, the line end marked."""
    body = text[:-1] if text.endswith("\n") else text
    out = []
    for ch in body:
        if ch == "\t":
            out.append("<TAB>")
        elif ch == "\r":
            out.append("<CR>")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append("<x%02x>" % ord(ch))
        else:
            out.append(ch)
    line = "".join(out)
    # "$" marks a line end, so trailing blanks show; a missing one is named.
    return line + ("$" if text.endswith("\n") else "  (no line end)")


def _lines(data: bytes) -> list[str]:
    # Split at line feeds only: a stray CR must show inside its line.
    text = data.decode("utf-8", "backslashreplace")
    parts = text.split("\n")
    lines = [p + "\n" for p in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def stream_diff(label: str, expected: bytes, actual: bytes) -> str:
    exp = _lines(expected)
    act = _lines(actual)
    lines = difflib.unified_diff(
        [visible(x) + "\n" for x in exp],
        [visible(x) + "\n" for x in act],
        fromfile=f"{label} expected",
        tofile=f"{label} actual",
        lineterm="\n",
    )
    return "".join(lines)


def expand_check(case, chk):
    """The check with every placeholder in its texts filled in for the case."""
    changes = {}
    for f in dataclasses.fields(chk):
        value = getattr(chk, f.name)
        if isinstance(value, str):
            changes[f.name] = case.expand(value)
        elif isinstance(value, tuple) and all(isinstance(v, str) for v in value):
            changes[f.name] = tuple(case.expand(v) for v in value)
    return dataclasses.replace(chk, **changes)


def load_backend(tier: str):
    module = importlib.import_module(f"backend_{tier}")
    return module.Backend


def run_one(tier: str, backend, scenario, keep: bool) -> list[str]:
    """Runs one scenario; returns its failure texts (empty when it passed)."""
    failures: list[str] = []
    # The simulated machine answers as Windows does.
    scenario = scenario.on("windows")
    case = backend.new_case(scenario)
    failed = True
    try:
        for step in scenario.setup:
            case.setup(step)
        args = [case.expand(a) for a in scenario.args]
        started = time.monotonic()
        combined = scenario.combined is not None
        out, err, status = case.run(args, combined=combined, piped=scenario.piped,
                                    stdin=case.expand(scenario.stdin).encode())
        elapsed = time.monotonic() - started

        exp_out = case.expand(scenario.combined if combined else scenario.stdout).encode(
            "utf-8", "surrogateescape")
        exp_err = b"" if combined else case.expand(scenario.stderr).encode(
            "utf-8", "surrogateescape")
        if out != exp_out:
            failures.append("standard output differs:\n" + stream_diff("stdout", exp_out, out))
        if err != exp_err:
            failures.append("standard error differs:\n" + stream_diff("stderr", exp_err, err))
        want = expected_status(tier, scenario.exit)
        if status != want:
            failures.append(
                f"exit status {status}, expected {want} (error number {scenario.exit})"
            )
        facts = buildfacts.current()
        if scenario.slow and elapsed < facts.slow_at_least_seconds:
            failures.append(
                f"finished after {elapsed:.1f} s; the {facts.max_polls} polls, "
                f"{facts.poll_pause_ms} ms apart, should take about {facts.wait_seconds:g} s"
            )

        for chk in scenario.checks:
            failures.extend(case.check(expand_check(case, chk)))
        failed = bool(failures)
    except Exception:  # a broken set-up or check is a failure, not a crash
        failures.append("exception:\n" + traceback.format_exc())
    finally:
        if keep and failed:
            failures.append(f"case kept in {case.host_dir}")
        else:
            case.cleanup()
    return failures


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tier", choices=("native", "wine"), required=True)
    parser.add_argument("--build", required=True, help="build directory of the tier")
    parser.add_argument("--work", help="where the cases live (default: a temp dir)")
    # QUILLMAR_SCENARIOS_QUICK=1 does the same for a suite that has run the
    # slow waits once already (the sanitizer build).
    parser.add_argument("--quick", action="store_true",
                        default=os.environ.get("QUILLMAR_SCENARIOS_QUICK") == "1",
                        help="leave out the slow scenarios")
    parser.add_argument("-k", dest="substring", help="run only scenarios whose name holds it")
    parser.add_argument("--keep", action="store_true", help="keep the cases that failed")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    opts = parser.parse_args(argv)

    # The expected texts hold the build's poll count.
    buildfacts.use(opts.build)
    if opts.tier == "wine":
        import backend_wine

        work_root = opts.work or tempfile.mkdtemp(prefix="quillmar-wine-")
        os.makedirs(work_root, exist_ok=True)
        return backend_wine.run_tier(opts.build, work_root, opts.substring, opts.quick, opts.list,
                                     opts.keep)

    import scenarios as catalogue

    all_scenarios = list(catalogue.SCENARIOS)
    names = [s.name for s in all_scenarios]
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        print("duplicate scenario names: " + ", ".join(duplicates))
        return 2

    chosen = [s for s in all_scenarios if not opts.substring or opts.substring in s.name]
    if opts.list:
        for s in chosen:
            tiers = ",".join(s.tiers) + (" slow" if s.slow else "")
            print(f"{s.name}  [{tiers}]")
        return 0

    work_root = opts.work or tempfile.mkdtemp(prefix=f"quillmar-{opts.tier}-")
    os.makedirs(work_root, exist_ok=True)
    backend = load_backend(opts.tier)(os.path.abspath(opts.build), os.path.abspath(work_root))

    passed = failed = skipped = 0
    failed_names: list[str] = []
    backend.prepare()
    try:
        for s in chosen:
            if opts.tier not in s.tiers:
                skipped += 1
                print(f"SKIP {s.name}: {s.why_one_tier or 'not for this tier'}")
                continue
            if opts.quick and s.slow:
                skipped += 1
                print(f"SKIP {s.name}: slow (left out by --quick)")
                continue
            started = time.monotonic()
            failures = run_one(opts.tier, backend, s, opts.keep)
            took = time.monotonic() - started
            if failures:
                failed += 1
                failed_names.append(s.name)
                print(f"FAIL {s.name} ({took:.1f} s)")
                for text in failures:
                    for line in text.rstrip("\n").split("\n"):
                        print("     " + line)
            else:
                passed += 1
                print(f"ok   {s.name} ({took:.1f} s)")
            sys.stdout.flush()
    finally:
        backend.close()

    if failed_names:
        print("failed: " + " ".join(failed_names))
    summary = f"{passed} passed, {failed} failed"
    if skipped:
        summary += f", {skipped} skipped"
    print(summary)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
