#!/usr/bin/env python3
"""What a quillmar run costs: three tables of medians and ratios.

Builds what it measures, then measures (bench/README.md). It asserts no time,
but stops at a wrong exit status: the figure would be the cost of something else.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "SERVICES" / "tests" / "scenarios"))
import buildfacts  # noqa: E402

NATIVE_ARGS = (r"C:\Orv", r"C:\Orv\x.pfa")
WINE_ARGS = (r"C:\OrvBench", r"C:\OrvBench\x.pfa")
# What table (c) holds quillmar.exe to: -h on the null device against the
# floor that writes one line there, its cycle against the system's tools.
START_GOAL = 1.15
CYCLE_GOAL = 0.35
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(argv, env=None, ok=(0,)):
    """Runs argv in the work directory; its standard output."""
    proc = subprocess.run(argv, env=env, capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL, timeout=3600)
    if proc.returncode not in ok:
        sys.exit(f"bench: {shlex.join(argv)} exited {proc.returncode}, not {ok}:\n"
                 f"{proc.stdout}{proc.stderr}")
    return proc.stdout


def state(*argvs):
    """A command that runs argvs quietly and always succeeds: hyperfine
    stops at a preparation that fails, and these may fail harmlessly."""
    script = "; ".join(shlex.join(argv) for argv in argvs)
    return ["/bin/sh", "-c", "{ %s; } >/dev/null 2>&1; exit 0" % script]


def hyperfine(name, cases, env, runs, warmup, output="null"):
    """hyperfine's results for [(argv, its exit statuses, argv preparing each run
    (for all or none))], every status checked; and the output when "inherit"."""
    out = Path(f"hf-{name}.json")
    cmd = ["hyperfine", "-N", "-i", "--style", "none", "--runs", str(runs), "--warmup",
           str(warmup), "--output", output, "--export-json", str(out)]
    for _, _, prepare in cases:
        if prepare:
            cmd += ["--prepare", shlex.join(prepare)]
    written = run(cmd + [shlex.join(argv) for argv, _, _ in cases], env=env)
    results = json.loads(out.read_text())["results"]
    for (argv, ok, _), result in zip(cases, results):
        if not set(result["exit_codes"]) <= set(ok):
            sys.exit(f"bench: {shlex.join(argv)} exited {set(result['exit_codes'])}, not {ok}")
    return results, written


def profile(argv, env, tag, ok=(0,)):
    """Inclusive instructions of one run under callgrind: "total", and main
    and the platform layer's functions by name."""
    out = "callgrind." + tag
    run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, *argv], env=env, ok=ok)
    text = run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out])
    costs = {"total": int(re.search(r"([\d,]+) \S+\s+PROGRAM TOTALS", text)[1].replace(",", ""))}
    line = r"^\s*([\d,]+) \(.*?\)\s+(\S+?):(?:\(anonymous namespace\)::|quillmar::sim::)*([\w:~]+)"
    for ir, path, name in re.findall(line, text, re.M):
        if path.endswith("/quillmar_main.cpp") or "/platform/" in path:
            costs[name] = max(costs.get(name, 0), int(ir.replace(",", "")))
    return costs


def load():
    return " ".join("%.2f" % x for x in os.getloadavg())


def ms(seconds):
    return "%.2f" % (seconds * 1000)


def ratio(x, y):
    return "%.2f" % (x / y)


def table(headers, rows):
    cells = [headers] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |" for row in cells]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def native(args, svc):
    q, code, env = str(args.native / "quillmar"), svc["code"], {}
    for side in "ab":
        # Names of equal length, so that the instruction counts of the two
        # machines differ only by what the machines hold.
        machine = Path("machine-" + side).resolve()
        machine.mkdir()
        # No real waits: the clock is skipped, polls still happen.
        (machine / "settings").write_text("clock skip\n")
        env[side] = dict(os.environ, QUILLMAR_MACHINE=str(machine))
    t0 = time.perf_counter()
    run([str(args.native / "quillmar_bench_seed"), str(args.services)], env["b"])
    seed_seconds = time.perf_counter() - t0

    install, start = [q, "-i", code, *NATIVE_ARGS], [q, "-b", code]
    stop, remove, bad = [q, "-e", code], [q, "-rm", code], [q, "-b", code.upper()]
    Path("cycle.sh").write_text(
        "# install, start, stop, remove: four processes, as a script would run them\n"
        f"{shlex.join(install)} >/dev/null\n{shlex.join(start)}\n{shlex.join(stop)}\n"
        f"{shlex.join(remove)} 2>/dev/null\nexit 0\n")
    Path("floor4.sh").write_text("/bin/true\n/bin/true\n/bin/true\n/bin/true\n")
    cases = [  # key, label, argv, its floor, its exit statuses, the state it is timed in
        ("bad_code", f"`-b {code.upper()}` (50003, touches nothing)", bad, ["/bin/true"], (83,),
         state(remove)),
        ("refuse", f"`-b {code}` refused, running (50001)", start, ["/bin/true"], (81,),
         state(install, start)),
        ("cycle", f"cycle: `-i`, `-b`, `-e`, `-rm` {code} (4 processes)", ["/bin/sh", "cycle.sh"],
         ["/bin/sh", "floor4.sh"], (0,), state(remove)),
    ]
    # Each step alone, from the state the cycle leaves it in: the removal
    # finds the service stopped, 50002 by design.
    steps = [
        ("install", install, (0,), state(remove)),
        ("start", start, (0,), state(stop)),
        ("stop", stop, (0,), state(start)),
        ("remove", remove, (82,), state(install, start, stop)),
    ]
    t, floors, ir = {"a": {}, "b": {}}, {}, {"a": {}, "b": {}}
    # Each case on a, then at once on b, so that the load of the machine at
    # the time weighs on both sides of a ratio alike.
    for key, _, argv, floor, ok, setup in cases:
        for side in "ab":
            run(setup, env[side])
            timed = [(floor, (0,), None)] if side == "a" else []
            results, _ = hyperfine(f"{side}-{key}", timed + [(argv, ok, None)], env[side],
                                   args.runs, args.warmup)
            floors.setdefault(key, results[0]["median"])  # timed on a only
            t[side][key] = results[-1]["median"]
    for name, argv, ok, prepare in steps:
        for side in "ab":
            (c,), _ = hyperfine(f"{side}-{name}", [(argv, ok, prepare)], env[side], args.runs,
                                args.warmup)
            t[side][name] = c["median"]
    true_ir = profile(["/bin/true"], None, "true")["total"]
    for side, p in ir.items():
        for key, _, argv, _, ok, setup in cases[:2]:
            run(setup, env[side])
            p[key] = profile(argv, env[side], f"{side}.{key}", ok)
        p["repeatable"] = profile(bad, env[side], side + ".again", ok=(83,)) == p["bad_code"]
        run(state(remove), env[side])  # the cycle's steps in turn, from the service absent
        for name, argv, ok, _ in steps:
            p[name] = profile(argv, env[side], side + "." + name, ok)
        p["cycle"] = {k: sum(p[s[0]][k] for s in steps) for k in ("total", "main")}

    a, b, rows = ir["a"], ir["b"], []
    for key, label, *_ in cases:
        floor_ir = true_ir * (4 if key == "cycle" else 1)
        rows.append([label, ms(t["a"][key]), ms(floors[key]), ratio(t["a"][key], floors[key]),
                     f"{a[key]['total']:,}", f"{floor_ir:,}", ratio(a[key]["total"], floor_ir),
                     f"{a[key]['main']:,}"])
    text = ["### (a) native, empty simulated machine (`clock skip`), floor `/bin/true`\n",
            table(["case", "median ms", "floor ms", "x floor", "Ir/run", "floor Ir",
                   "Ir x floor", "Ir in main"], rows),
            f"\n{args.runs} runs of each case and of its floor; the instruction counts are "
            + ("repeatable." if a["repeatable"] else "NOT repeatable on this machine."),
            f"\n### (b) the same with {args.services} other services on the machine, as ratios "
            "to (a)\n"]
    limit, failing, rows = args.growth_limit, [], []
    for key, label in [c[:2] for c in cases] + [(s[0], None) for s in steps]:
        tr, irr = t["b"][key] / t["a"][key], b[key]["total"] / a[key]["total"]
        # Instructions decide: unlike time, they do not move with the load.
        verdict = "OVER %gx" % limit if irr > limit else "ok (time?)" if tr > limit else "ok"
        if irr > limit and key != "cycle":  # the cycle's growth is its steps'
            failing.append(key)
        label = label or f"  step `{key}` alone (a: {ms(t['a'][key])} ms, {a[key]['total']:,} Ir)"
        rows.append([label, ms(t["b"][key]), "%.2f" % tr, f"{b[key]['total']:,}", "%.2f" % irr,
                     f"{b[key]['main']:,} ({ratio(b[key]['main'], a[key]['main'])})", verdict])
    text += [table(["case", "median ms", "time x (a)", "Ir/run", "Ir x (a)", "Ir in main (x (a))",
                    "<= %gx?" % limit], rows),
             f"\nSeeding {args.services} services (through CreateServiceA, RegCreateKeyExA "
             f"and RegSetValueExA in one process, every tenth started): {seed_seconds:.1f} s."]
    if not failing:
        return "\n".join(text + ["\nThe growth rule holds for every case and step."])
    text.append(f"\nGrowth rule broken by: {', '.join(failing)}. Where the instructions go "
                f"(inclusive Ir, empty machine -> {args.services} services):\n")
    rows = []
    for step in failing:
        grown = sorted(set(b[step]) - {"total", "main"},
                       key=lambda f: b[step][f] - a[step].get(f, 0), reverse=True)
        for func in grown[:7]:
            was, now = a[step].get(func, 0), b[step][func]
            rows.append([step, func, f"{was:,}", f"{now:,}", ratio(now, was) if was else "new"])
    return "\n".join(text + [table(["step", "function", "Ir empty", "Ir full", "x"], rows)])


def wine(args, svc, env):
    pause = buildfacts.load(str(args.windows)).poll_pause_ms / 1000
    t0 = time.perf_counter()
    # No pipes: the daemons that making the prefix starts keep its streams.
    subprocess.run([WINE, "cmd", "/c", "exit 0"], env=env, check=True, timeout=300, **QUIET)
    prefix_seconds = time.perf_counter() - t0
    fixtures = args.windows / "SERVICES" / "tests" / "wine"
    shutil.copyfile(args.windows / "quillmar.exe", "quillmar.exe")
    shutil.copyfile(fixtures / "floor.exe", "floor.exe")
    # The Wine tier's real test service, as the catalogue's executable.
    svcdir = Path(env["WINEPREFIX"], "drive_c", WINE_ARGS[0][3:])
    svcdir.mkdir()
    shutil.copyfile(fixtures / "testsvc.exe", svcdir / svc["exe"])

    code, name, key, sub = svc["code"], svc["name"], "HKLM\\" + svc["key"], svc["subkeys"][0]
    q, sc, reg = [WINE, "quillmar.exe"], [WINE, "sc.exe"], [WINE, "reg.exe"]
    # A deleted service's entry lives on while its process ends (1072).
    gone = [[*q, "-rm", code], ["timeout", "60", "/bin/sh", "-c",
                                f"while {shlex.join([*reg, 'query', key])}; do sleep 0.2; done"]]
    stopped, running = state([*q, "-e", code]), state([*q, "-b", code])
    used = state(*gone, [*q, "-i", code, *WINE_ARGS], [*q, "-b", code], [*q, "-e", code])
    # Each step of ours beside the system tools' doing its work, from the same
    # state; the removal finds with 50002 a service that stopped on its own.
    batches = [  # label, argv, exit statuses, state before each run
        [("quillmar.exe `install`", [*q, "-d", "-i", code, *WINE_ARGS], (0,), state(*gone)),
         ("`sc create`", [*sc, "create", name, "binPath=", rf"{WINE_ARGS[0]}\{svc['exe']}",
                          "type=", "own", "type=", "interact", "start=", "auto", "DisplayName=",
                          svc["title"]], (0,), state(*gone))],
        [(f"`reg add {parm}`", [*reg, "add", rf"{key}\{sub['name']}", "/v", parm, "/t", "REG_SZ",
                                "/d", value, "/f"], (0,), None)
         for parm, value in zip(sub["parms"], WINE_ARGS)],
        [("quillmar.exe `start`", [*q, "-d", "-b", code], (0,), stopped),
         ("`sc start`", [*sc, "start", name], (0,), stopped)],
        [("quillmar.exe `stop`", [*q, "-d", "-e", code], (0,), running),
         ("`sc stop`", [*sc, "stop", name], (0,), running)],
        [("quillmar.exe `remove`", [*q, "-d", "-rm", code], (0, 82), used),
         ("`sc delete`", [*sc, "delete", name], (0,), used)],
    ]
    steps = {}
    for n, batch in enumerate(batches):
        results, written = hyperfine(f"wine-{n}", [c[1:] for c in batch], env, args.wine_runs, 1,
                                     "inherit")
        # Display mode writes one dot when a wait begins and one more before
        # each pause; only quillmar.exe waits.
        dots = re.findall(r"(?:Starting|Stopping) service (\.+)", written)[-args.wine_runs:]
        for (label, argv, _, _), res in zip(batch, results):
            ours = argv[:2] == q
            waits = [max(0, len(d) - 2) for d in dots] if ours and dots else [0] * len(res["times"])
            outside = statistics.median(s - pause * w for s, w in zip(res["times"], waits))
            steps[label] = (ours, res["median"], waits, outside)
    pipe = [[WINE, "floor.exe"], [WINE, "floor.exe", "--line"], [*q, "-h"]]
    floor, line, help_ = (r["median"] for r in hyperfine(
        "start-pipe", [(c, (0,), None) for c in pipe], env, args.start_runs, 1, "pipe")[0])
    line_null, help_null = (r["median"] for r in hyperfine(
        "start-null", [(c, (0,), None) for c in pipe[1:]], env, args.start_runs, 1)[0])

    rows = [[label, ms(m), ratio(m, floor), "0", ms(m)] for label, m in (
        ("floor: `floor.exe` (same toolchain and imports, does nothing)", floor),
        ("floor: `floor.exe --line` (writes one line), on a pipe", line),
        ("floor: `floor.exe --line`, on the null device", line_null),
        ("quillmar.exe `-h`, on a pipe", help_),
        ("quillmar.exe `-h`, on the null device", help_null))]
    totals = {}
    for ours, who in ((True, "quillmar.exe"), (False, "sc.exe/reg.exe")):
        mine = [(label, *s[1:]) for label, s in steps.items() if s[0] == ours]
        # The cycle: the sum of its steps' medians.
        totals[ours] = (f"**{who} cycle ({len(mine)} processes)**", sum(s[1] for s in mine),
                        [sum(w) for w in zip(*(s[2] for s in mine))], sum(s[3] for s in mine))
        for label, m, waits, outside in mine + [totals[ours]]:
            rows.append([label, ms(m), ratio(m, floor), "%g (%d-%d)" % (
                statistics.median(waits), min(waits), max(waits)), ms(outside)])
    cycle = totals[True][1] / totals[False][1]
    return "\n".join([
        "### (c) under Wine: quillmar.exe against the floor of a process and against "
        "sc.exe/reg.exe\n",
        table(["work", "median ms", "x floor", "%d ms waits" % (pause * 1000),
               "median ms outside waits"], rows),
        f"\n`quillmar.exe -h` / `floor.exe --line`, standard output on the null device: "
        f"{ratio(help_null, line_null)} (goal <= {START_GOAL:.2f}: "
        f"{'met' if help_null / line_null <= START_GOAL else 'MISSED'}); on a pipe: "
        f"{ratio(help_, line)}; {args.start_runs} runs of each.",
        f"Ratio quillmar.exe / system tools, whole cycle: {cycle:.2f} (goal <= {CYCLE_GOAL:.2f}: "
        f"{'met' if cycle <= CYCLE_GOAL else 'MISSED'}); outside the waits: "
        f"{ratio(totals[True][3], totals[False][1])} ({args.wine_runs} runs of each step; "
        "waits counted from the dots of display mode).",
        f"Service: the Wine tier's test service (normal mode) as `{WINE_ARGS[0]}\\{svc['exe']}`, "
        f"started and stopped for real. Prefix created in {prefix_seconds:.1f} s; one "
        "`wineserver -p` throughout."])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--native", type=Path, default=ROOT / "build" / "native")
    ap.add_argument("--windows", type=Path, help="Windows build directory, for table (c)")
    ap.add_argument("--runs", type=int, default=40, help="hyperfine runs per native case")
    ap.add_argument("--warmup", type=int, default=5)
    ap.add_argument("--wine-runs", type=int, default=8, help="runs of each step under Wine")
    ap.add_argument("--start-runs", type=int, default=40, help="runs of -h and floors under Wine")
    ap.add_argument("--services", type=int, default=1000)
    ap.add_argument("--growth-limit", type=float, default=2.0, help="largest ratio of (b) to (a)")
    ap.add_argument("--out", type=Path, help="also write the tables to this file")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--wine-only", action="store_true", help="table (c) alone")
    args = ap.parse_args()
    args.native, args.out = args.native.resolve(), args.out and args.out.resolve()
    args.windows = args.windows and args.windows.resolve()
    for tool in ("hyperfine", "valgrind", "callgrind_annotate"):
        if shutil.which(tool) is None:
            sys.exit(f"bench: {tool} is not installed (apt-get install hyperfine valgrind)")
    run(["cmake", "--build", str(args.native), "--target", "quillmar", "quillmar_bench_seed"])
    if args.windows:
        run(["cmake", "--build", str(args.windows), "--target", "quillmar", "floor", "testsvc"])
    # The service measured: the catalogue's first with parameters.
    svc = next(s for s in buildfacts.catalogue(str(args.native))["services"] if s["subkeys"])
    versions = [run([tool, "--version"]).splitlines()[0]
                for tool in ("hyperfine", "valgrind", WINE) if shutil.which(tool)]
    cpu = re.search(r"model name\s*:\s*(.*)", Path("/proc/cpuinfo").read_text())
    sections = []

    def say(text):
        sections.append(text)
        print(text, flush=True)

    say(f"Machine: {os.cpu_count()} cores (nproc), {cpu and cpu[1]}, Linux "
        f"{os.uname().release}, load average {load()} at the start; {'; '.join(versions)}; "
        + time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))

    # A TERM (a timeout, a CI stop) still stops the Wine server started here.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    t0, work = time.perf_counter(), Path(tempfile.mkdtemp(prefix="quillmar-bench-"))
    os.chdir(work)
    print(f"bench: working in {work}", file=sys.stderr)
    try:
        if not args.wine_only:
            say("\n" + native(args, svc))
        if not args.windows:
            say("\n### (c) under Wine: skipped (no --windows build directory)")
        else:
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
            env.update(WINEPREFIX=str(work / "wineprefix"), WINEDEBUG="-all")
            Path(env["WINEPREFIX"]).mkdir()
            # One server for the whole measurement, started before the prefix
            # is made: a restarting server would restart automatic services.
            subprocess.run([WINESERVER, "-p"], env=env, check=True, **QUIET)
            try:
                say("\n" + wine(args, svc, env))
            finally:
                subprocess.run([WINESERVER, "-k"], env=env, **QUIET)
                # -k returns before the prefix's processes have gone.
                subprocess.run([WINESERVER, "-w"], env=env, timeout=60, **QUIET)
    finally:
        os.chdir("/")
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    say(f"\nWhole run: {time.perf_counter() - t0:.0f} s; load average at the end {load()}.")
    if args.out:
        args.out.write_text("\n".join(sections) + "\n")


if __name__ == "__main__":
    main()
