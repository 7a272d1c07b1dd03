#!/usr/bin/env python3
"""What a quillmar run costs: three tables of medians and ratios.

(a) the native build on an empty simulated machine, beside /bin/true;
(b) the same on a machine that holds N other services, as ratios to (a);
(c) quillmar.exe under Wine against sc.exe/reg.exe doing the same work, and
    against floor.exe, a program of the same toolchain with the same imports
    that does nothing.

Run it through bench.sh, which builds what it needs. Standard library,
hyperfine and valgrind only. Nothing here asserts a time: it measures and
reports, and says where the growth rule (at most 2x) does not hold.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import re
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
ELOG_DIR = r"C:\Orv"
ELOG_FILE = r"C:\Orv\x.pfa"
GROWTH_LIMIT = 2.0
# What table (c) holds quillmar.exe to: -h on the null device against the
# floor that writes one line there, its cycle against the system's tools.
START_GOAL = 1.15
CYCLE_GOAL = 0.35
# The start-up cases of (c): key, command, standard output on /dev/null.
START_CASES = [
    ("floor", ["floor.exe"], False),
    ("line", ["floor.exe", "--line"], False),
    ("line-null", ["floor.exe", "--line"], True),
    ("help", ["quillmar.exe", "-h"], False),
    ("help-null", ["quillmar.exe", "-h"], True),
]

# The names the program calls through the platform layer; a slow one is
# reported by these names.
WIN32_CALLS = ("OpenSCManagerA", "OpenServiceA", "QueryServiceStatus", "StartServiceA",
               "ControlService", "CreateServiceA", "ChangeServiceConfigA", "DeleteService",
               "GetServiceDisplayNameA", "CloseServiceHandle", "RegOpenKeyExA", "RegCreateKeyExA",
               "RegSetValueExA", "RegCloseKey")


def die(msg: str) -> None:
    print("bench: " + msg, file=sys.stderr)
    sys.exit(1)


def run(cmd, env=None, cwd=None, check_status=None, null_stdout=False):
    """Runs cmd; returns (status, stdout, stderr). check_status: allowed set.
    null_stdout: standard output on /dev/null (a character device, which
    Wine's C runtime leaves unbuffered) instead of a pipe."""
    try:
        proc = subprocess.run(cmd, env=env, cwd=cwd,
                              stdout=subprocess.DEVNULL if null_stdout else subprocess.PIPE,
                              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=300)
    except subprocess.TimeoutExpired:
        die("%s did not end within 300 s" % " ".join(map(str, cmd)))
    if check_status is not None and proc.returncode not in check_status:
        die("%s exited %d, expected %s\nstdout: %s\nstderr: %s" % (
            " ".join(map(str, cmd)), proc.returncode, sorted(check_status),
            (proc.stdout or b"").decode(errors="replace"), proc.stderr.decode(errors="replace")))
    return proc.returncode, proc.stdout or b"", proc.stderr


def fmt_ms(seconds: float) -> str:
    return "%.2f" % (seconds * 1000.0)


def fmt_int(n: int) -> str:
    return "{:,}".format(n)


def table(headers, rows) -> str:
    cells = [list(map(str, headers))] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    out = []
    for n, r in enumerate(cells):
        out.append("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
        if n == 0:
            out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(out)


# ------------------------------------------------------------------ native

class Native:
    def __init__(self, args, work: Path):
        self.args = args
        self.work = work
        self.quillmar = str(Path(args.native) / "quillmar")
        self.seed = str(Path(args.native) / "quillmar_bench_seed")
        for exe in (self.quillmar, self.seed):
            if not os.access(exe, os.X_OK):
                die("not built: " + exe)
        # Paths of equal length, so that the instruction counts of the two
        # machines differ only by what the machines hold.
        self.machines = {
            ("a", "refuse"): work / "machine-a-refuse",
            ("a", "cycle"): work / "machine-a-cycle",
            ("b", "refuse"): work / "machine-b-refuse",
            ("b", "cycle"): work / "machine-b-cycle",
        }
        self.cycle_script = work / "cycle.sh"
        self.floor_script = work / "floor4.sh"
        self.results = {}

    def env(self, machine: Path) -> dict:
        env = dict(os.environ)
        env["QUILLMAR_MACHINE"] = str(machine)
        env.pop("XDG_STATE_HOME", None)
        return env

    def q(self, machine, *argv, ok=(0,)):
        return run([self.quillmar, *argv], env=self.env(machine), check_status=set(ok))

    def prepare(self):
        for path in self.machines.values():
            path.mkdir()
            # No real waits: the clock is skipped, polls still happen.
            (path / "settings").write_text("clock skip\n")
        # Seeding both big machines at once: one per core.
        t0 = time.perf_counter()
        procs = [subprocess.Popen([self.seed, str(self.args.services)],
                                  env=self.env(self.machines[("b", kind)]))
                 for kind in ("refuse", "cycle")]
        for p in procs:
            if p.wait() != 0:
                die("seed_machine failed")
        self.seed_seconds = time.perf_counter() - t0
        count = len(list((self.machines[("b", "cycle")] / "registry" / "services").glob("*.reg")))
        if count != self.args.services:
            die("seeded machine holds %d service files, not %d" % (count, self.args.services))

        # The refusal: elog installed and running; both machines.
        for side in ("a", "b"):
            m = self.machines[(side, "refuse")]
            self.q(m, "-i", "elog", ELOG_DIR, ELOG_FILE)
            self.q(m, "-b", "elog")
        # Each measured request once, checking that it does what is
        # measured: exit statuses are the low 8 bits of 50003, 50001, 50002.
        for side in ("a", "b"):
            self.q(self.machines[(side, "cycle")], "-b", "ELOG", ok=(83,))
            self.q(self.machines[(side, "refuse")], "-b", "elog", ok=(81,))
            m = self.machines[(side, "cycle")]
            self.q(m, "-i", "elog", ELOG_DIR, ELOG_FILE)
            self.q(m, "-b", "elog")
            self.q(m, "-e", "elog")
            # Stopped already, so the removal ends with 50002 by design.
            self.q(m, "-rm", "elog", ok=(82,))

        q = self.quillmar
        self.cycle_script.write_text(
            "# install, start, stop, remove: four processes, as a script would run them\n"
            f"{q} -i elog '{ELOG_DIR}' '{ELOG_FILE}' >/dev/null\n"
            f"{q} -b elog\n{q} -e elog\n{q} -rm elog 2>/dev/null\n"
            "exit 0\n")
        self.floor_script.write_text("/bin/true\n/bin/true\n/bin/true\n/bin/true\nexit 0\n")

    def hyperfine(self, name, commands, machine=None, prepare=None):
        """Median seconds of each command, from hyperfine's JSON."""
        out = self.work / ("hf-" + name + ".json")
        cmd = ["hyperfine", "-N", "-i", "--style", "none", "--warmup", str(self.args.warmup),
               "--runs", str(self.args.runs), "--export-json", str(out)]
        if prepare:
            cmd += ["--prepare", prepare]
        cmd += commands
        env = self.env(machine) if machine else dict(os.environ)
        run(cmd, env=env, check_status={0})
        data = json.loads(out.read_text())
        return [r["median"] for r in data["results"]]

    def paired(self, name, case, floor, machine, rounds=4):
        """Median seconds of a case and of its floor, timed in alternating
        rounds (floor first, then the case first), so that a change in the
        machine's load while they are measured weighs on both alike."""
        times = {case: [], floor: []}
        for i in range(rounds):
            out = self.work / ("hf-%s-%d.json" % (name, i))
            commands = [floor, case] if i % 2 == 0 else [case, floor]
            run(["hyperfine", "-N", "-i", "--style", "none", "--warmup", str(self.args.warmup),
                 "--runs", str(max(self.args.runs // 2, 3)), "--export-json", str(out),
                 *commands], env=self.env(machine), check_status={0})
            for command, result in zip(commands, json.loads(out.read_text())["results"]):
                times[command] += result["times"]
        return statistics.median(times[case]), statistics.median(times[floor])

    def instructions(self, machine, argv, tag):
        """Total Ir of one run under callgrind; the profile is kept."""
        out = self.work / ("callgrind." + tag)
        env = self.env(machine) if machine else dict(os.environ)
        _, _, err = run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + str(out),
                         *argv], env=env)
        m = re.search(r"Collected\s*:\s*(\d+)", err.decode(errors="replace"))
        if not m:
            die("no instruction count from valgrind for %s:\n%s" % (argv, err.decode()))
        return int(m.group(1)), out

    def measure(self):
        q = self.quillmar
        r = self.results
        r["floor"] = {}
        r["floor"]["ir"], _ = self.instructions(None, ["/bin/true"], "true")

        def quiet(script):
            # hyperfine stops at a failing preparation; these may fail harmlessly.
            return "/bin/sh -c \"" + script + " >/dev/null 2>&1; exit 0\""
        steps = [
            ("install", ["-i", "elog", ELOG_DIR, ELOG_FILE], quiet(f"{q} -rm elog")),
            ("start", ["-b", "elog"], quiet(f"{q} -e elog")),
            ("stop", ["-e", "elog"], quiet(f"{q} -b elog")),
            ("remove", ["-rm", "elog"],
             quiet(f"{q} -i elog '{ELOG_DIR}' '{ELOG_FILE}' >/dev/null; {q} -b elog")),
        ]
        # Each case on a, then at once on b, so that the load of the machine
        # at the time weighs on both sides of a ratio alike.
        for side in ("a", "b"):
            r.setdefault(side, {"steps": {}})
        # On the empty machine each case is timed beside its floor.
        floor4 = "/bin/sh " + str(self.floor_script)
        cycle = "/bin/sh " + str(self.cycle_script)
        r["a"]["floors"] = {}
        for key, machine, command, floor in (
                ("bad_code", "cycle", f"{q} -b ELOG", "/bin/true"),
                ("refuse", "refuse", f"{q} -b elog", "/bin/true"),
                ("cycle", "cycle", cycle, floor4)):
            r["a"][key], r["a"]["floors"][key] = self.paired(
                "a-" + key, command, floor, self.machines[("a", machine)])
            m = self.machines[("b", machine)]
            (r["b"][key],) = self.hyperfine("b-" + key, [command], m)
        # Each step of the cycle alone, the machine put in its state first.
        for name, argv, prep in steps:
            for side in ("a", "b"):
                mc = self.machines[(side, "cycle")]
                (r[side]["steps"][name],) = self.hyperfine(
                    side + "-" + name, [q + " " + " ".join("'%s'" % a for a in argv)], mc,
                    prepare=prep)
        for side in ("a", "b"):
            res = r[side]
            mc, mr = self.machines[(side, "cycle")], self.machines[(side, "refuse")]
            # The machine is left as the cycle found it: elog absent.
            self.q(mc, "-rm", "elog", ok=(0, 82, 36))
            res["ir"] = {}
            res["profiles"] = {}
            res["ir"]["bad_code"], res["profiles"]["bad_code"] = self.instructions(
                mc, [q, "-b", "ELOG"], side + ".bad")
            again, _ = self.instructions(mc, [q, "-b", "ELOG"], side + ".bad2")
            res["ir_repeatable"] = again == res["ir"]["bad_code"]
            res["ir"]["refuse"], res["profiles"]["refuse"] = self.instructions(
                mr, [q, "-b", "elog"], side + ".refuse")
            res["ir_steps"] = {}
            for name, argv, _ in steps:
                n, prof = self.instructions(mc, [q, *argv], side + "." + name)
                res["ir_steps"][name] = n
                res["profiles"][name] = prof
            res["ir"]["cycle"] = sum(res["ir_steps"].values())
            # The program's own share: what runs inside main, without the
            # dynamic loader's start-up that every process pays alike.
            res["main"] = {k: self.main_ir(res["profiles"][k]) for k in res["profiles"]}
            res["main"]["cycle"] = sum(res["main"][k] for k in res["ir_steps"])

    @staticmethod
    def main_ir(profile):
        _, outp, _ = run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                          str(profile)])
        for line in outp.decode(errors="replace").splitlines():
            m = re.match(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+\S*quillmar_main\.cpp:main\b", line)
            if m:
                return int(m.group(1).replace(",", ""))
        die("no main in %s (built without symbols?)" % profile)

    def slow_calls(self, step):
        """The functions of the platform layer whose instruction counts grow
        most from machine a to b in one step, with both counts."""
        def inclusive(profile):
            _, outp, _ = run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                              str(profile)])
            costs = {}
            for line in outp.decode(errors="replace").splitlines():
                m = re.match(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(\S+?):(.+?)\s+\[", line)
                if not m:
                    continue
                path, func = m.group(2), m.group(3)
                if "/platform/" not in path:
                    continue
                func = re.sub(r"\(.*$", "", func)
                func = func.replace("quillmar::sim::", "").replace("(anonymous namespace)::", "")
                key = func
                costs[key] = max(costs.get(key, 0), int(m.group(1).replace(",", "")))
            return costs
        a = inclusive(self.results["a"]["profiles"][step])
        b = inclusive(self.results["b"]["profiles"][step])
        rows = []
        for func in b:
            growth = b[func] - a.get(func, 0)
            rows.append((growth, func, a.get(func, 0), b[func]))
        rows.sort(reverse=True)
        api = [r for r in rows if r[1] in WIN32_CALLS][:3]
        inner = [r for r in rows if r[1] not in WIN32_CALLS][:4]
        return api, inner

    def report(self):
        r = self.results
        fl = r["floor"]
        a, b = r["a"], r["b"]
        cases = [
            ("`-b ELOG` (50003, touches nothing)", "bad_code", fl["ir"]),
            ("`-b elog` refused, running (50001)", "refuse", fl["ir"]),
            ("cycle: `-i`, `-b`, `-e`, `-rm` elog (4 processes)", "cycle", fl["ir"] * 4),
        ]
        text = []
        text.append("### (a) native, empty simulated machine (`clock skip`), floor `/bin/true`\n")
        rows = []
        for label, key, floor_ir in cases:
            floor = a["floors"][key]
            rows.append([label, fmt_ms(a[key]), fmt_ms(floor), "%.2f" % (a[key] / floor),
                         fmt_int(a["ir"][key]), fmt_int(floor_ir),
                         "%.2f" % (a["ir"][key] / floor_ir), fmt_int(a["main"][key])])
        text.append(table(["case", "median ms", "floor ms", "x floor", "Ir/run", "floor Ir",
                           "Ir x floor", "Ir in main"], rows))
        text.append(("\nEach case and its floor are timed in four alternating rounds of %d "
                     "runs; the medians are over all rounds. The cycle's floor is `/bin/sh` "
                     "running `/bin/true` four times, as the cycle is `/bin/sh` running quillmar "
                     "four times. Ir: instructions counted by callgrind, the sum of the four "
                     "processes for the cycle%s; Ir in main: the part spent inside `main` (the "
                     "rest is the dynamic loader's and the C library's start-up).") %
                    (max(self.args.runs // 2, 3),
                     "" if a["ir_repeatable"] else " (NOT repeatable on this machine)"))

        text.append("\n### (b) the same with %d other services on the machine, as ratios to (a)\n"
                    % self.args.services)
        rows = []
        failing = []
        noisy = []

        def verdict(tr, ir, what):
            # Instructions decide: they do not move with the machine's load.
            # A time ratio over the limit with flat instructions is noted.
            if ir > GROWTH_LIMIT:
                failing.append(what)
                return "OVER %gx" % GROWTH_LIMIT
            if tr > GROWTH_LIMIT:
                noisy.append(what)
                return "ok (time?)"
            return "ok"
        def main_ratio(key):
            return "%s (%.2f)" % (fmt_int(b["main"][key]), b["main"][key] / a["main"][key])
        for label, key, _ in cases:
            tr = b[key] / a[key]
            ir = b["ir"][key] / a["ir"][key]
            rows.append([label, fmt_ms(b[key]), "%.2f" % tr, fmt_int(b["ir"][key]), "%.2f" % ir,
                         main_ratio(key), verdict(tr, ir, key)])
        for step in ("install", "start", "stop", "remove"):
            ta, tb = a["steps"][step], b["steps"][step]
            ia, ib = a["ir_steps"][step], b["ir_steps"][step]
            rows.append(["  step `%s` alone (a: %s ms, %s Ir)" % (step, fmt_ms(ta), fmt_int(ia)),
                         fmt_ms(tb), "%.2f" % (tb / ta), fmt_int(ib), "%.2f" % (ib / ia),
                         main_ratio(step), verdict(tb / ta, ib / ia, step)])
        # The cycle's growth is that of its steps, which are shown instead.
        failing = [f for f in failing if f != "cycle"]
        text.append(table(["case", "median ms", "time x (a)", "Ir/run", "Ir x (a)",
                           "Ir in main (x (a))", "<= %gx?" % GROWTH_LIMIT], rows))
        if noisy:
            text.append("\nTime over the limit with the instructions flat (%s): the wall clock of "
                        "a loaded machine; run again on a quiet one." % ", ".join(noisy))
        text.append("\nSeeding %d services (two machines at once, through CreateServiceA, "
                    "RegCreateKeyExA and RegSetValueExA in one process each, every tenth "
                    "started): %.1f s." % (self.args.services, self.seed_seconds))
        if failing:
            text.append("\nGrowth rule broken by: %s. Where the instructions go "
                        "(inclusive Ir, empty machine -> %d services):\n" %
                        (", ".join(failing), self.args.services))
            rows = []
            for step in failing:
                api, inner = self.slow_calls(step)
                for growth, func, ia, ib in api + inner:
                    rows.append([step, func + ("" if func in WIN32_CALLS else " (inside)"),
                                 fmt_int(ia), fmt_int(ib),
                                 "%.1f" % (ib / ia) if ia else "new"])
            text.append(table(["step", "function", "Ir empty", "Ir full", "x"], rows))
        else:
            text.append("\nThe growth rule holds for every case and step.")
        return "\n".join(text)


# ------------------------------------------------------------------ Wine

class WineBench:
    def __init__(self, args, work: Path):
        self.args = args
        self.work = work
        wb = Path(args.windows)
        # The program's pause between status polls, as this build has it.
        self.poll_seconds = buildfacts.load(str(wb)).poll_pause_ms / 1000
        self.exe = wb / "quillmar.exe"
        if not self.exe.is_file():
            die("not built: %s" % self.exe)
        self.wine = os.environ.get("WINE", "/usr/lib/wine/wine64")
        self.wineserver = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
        self.prefix = work / "wineprefix"
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all")
        self.testsvc = next(iter(sorted(wb.rglob("testsvc.exe"))), None)
        self.floor_exe = next(iter(sorted(wb.rglob("floor.exe"))), None)
        self.results = {}
        self.server_started = False

    def w(self, *argv, ok=(0,), null_stdout=False):
        t0 = time.perf_counter()
        status, out, err = run([self.wine, *argv], env=self.env, cwd=str(self.work),
                               check_status=set(ok) if ok is not None else None,
                               null_stdout=null_stdout)
        return time.perf_counter() - t0, status, out.decode("cp1252", errors="replace")

    def prepare(self):
        if self.testsvc is None:
            # The Wine tier's real test service, built here when the Windows
            # build did not build its fixtures.
            src = ROOT / "SERVICES" / "tests" / "wine" / "testsvc.cpp"
            self.testsvc = self.work / "testsvc.exe"
            run(["x86_64-w64-mingw32-g++", "-std=c++20", "-O2", "-static", "-static-libgcc",
                 "-static-libstdc++", str(src), "-ladvapi32", "-o", str(self.testsvc)],
                check_status={0})
        if self.floor_exe is None:
            # The floor as the Windows build makes it, when it made no fixtures.
            src = ROOT / "SERVICES" / "tests" / "wine" / "floor.cpp"
            self.floor_exe = self.work / "floor.exe"
            run(["x86_64-w64-mingw32-g++-win32", "-std=c++20", "-O2", "-static", "-static-libgcc",
                 "-static-libstdc++", "-Wl,--no-insert-timestamp", str(src), "-ladvapi32", "-o",
                 str(self.floor_exe)], check_status={0})
        # The persistent server first, so that the prefix is built under the
        # one server that lives for the whole measurement.
        self.prefix.mkdir(parents=True)
        subprocess.run([self.wineserver, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.server_started = True
        t0 = time.perf_counter()
        # Creating the prefix leaves services.exe and friends running with
        # this command's standard streams: no pipes here, or reading them
        # would wait for those daemons to end.
        subprocess.run([self.wine, "cmd", "/c", "exit 0"], env=self.env, cwd=str(self.work),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=300)
        self.prefix_seconds = time.perf_counter() - t0
        svcdir = self.prefix / "drive_c" / "OrvBench"
        svcdir.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(self.testsvc, svcdir / "iorvelsr.exe")
        shutil.copyfile(self.exe, self.work / "quillmar.exe")
        shutil.copyfile(self.floor_exe, self.work / "floor.exe")
        # Warm both paths once (first use of sc.exe, reg.exe, the service).
        self.quillmar_cycle()
        self.sc_cycle()

    def stop(self):
        if self.server_started:
            quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
            subprocess.run([self.wineserver, "-k"], **quiet)
            # -k returns before the prefix's processes have gone.
            subprocess.run([self.wineserver, "-w"], timeout=60, **quiet)

    def wait_absent(self):
        """Untimed: until the deleted service's entry is gone. Deletion only
        marks it while its process or a handle is still about (1072)."""
        key = r"HKLM\SYSTEM\CurrentControlSet\Services\OrvEvtLogger"
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            _, status, _ = self.w("reg.exe", "query", key, ok=None)
            if status != 0:
                return
            time.sleep(0.2)
        die("OrvEvtLogger still registered 60 s after its deletion")

    def quillmar_cycle(self):
        """[(step, seconds, polls waited)] for one cycle through quillmar.exe.

        Display mode counts the waits: after "Starting service ." the wait
        writes one dot, then one more before each pause."""
        out = []
        steps = [
            ("install", ["-d", "-i", "elog", r"C:\OrvBench", r"C:\OrvBench\x.pfa"], (0,),
             ">>>> Service installed <<<<"),
            ("start", ["-d", "-b", "elog"], (0,), ">>>> Service started! <<<<"),
            ("stop", ["-d", "-e", "elog"], (0,), ">>>> Service stopped! <<<<"),
            # 50002 (82) when the service had stopped on its own already.
            ("remove", ["-d", "-rm", "elog"], (0, 82), ">>>> Service removed <<<<"),
        ]
        for name, argv, ok, banner in steps:
            secs, _, text = self.w("quillmar.exe", *argv, ok=ok)
            if banner not in text:
                # A cycle that did not do the work would be timed as cheap.
                die("quillmar.exe %s did not end with %r:\n%s" % (" ".join(argv), banner, text))
            waits = 0
            for m in re.finditer(r"(?:Starting|Stopping) service (\.+)", text):
                waits += max(0, len(m.group(1)) - 2)
            out.append((name, secs, waits))
        self.wait_absent()
        return out

    def sc_cycle(self):
        key = r"HKLM\SYSTEM\CurrentControlSet\Services\OrvEvtLogger\Parameters"
        steps = [
            ("sc create", ["sc.exe", "create", "OrvEvtLogger", "binPath=",
                           r"C:\OrvBench\iorvelsr.exe", "type=", "own", "type=", "interact",
                           "start=", "auto", "DisplayName=", "PC's Orv Event Logger"]),
            ("reg add AppDirectory", ["reg.exe", "add", key, "/v", "AppDirectory", "/t",
                                      "REG_SZ", "/d", r"C:\OrvBench", "/f"]),
            ("reg add PFAFilename", ["reg.exe", "add", key, "/v", "PFAFilename", "/t",
                                     "REG_SZ", "/d", r"C:\OrvBench\x.pfa", "/f"]),
            ("sc start", ["sc.exe", "start", "OrvEvtLogger"]),
            ("sc stop", ["sc.exe", "stop", "OrvEvtLogger"]),
            ("sc delete", ["sc.exe", "delete", "OrvEvtLogger"]),
        ]
        out = []
        for name, argv in steps:
            secs, _, _ = self.w(*argv)
            out.append((name, secs, 0))
        self.wait_absent()
        return out

    def measure(self):
        print("(c) running %d cycles each way under Wine ..." % self.args.wine_runs,
              file=sys.stderr, flush=True)
        self.q_runs, self.sc_runs = [], []
        for _ in range(self.args.wine_runs):
            # Alternating, so that drift in the machine's load hits both.
            self.q_runs.append(self.quillmar_cycle())
            self.sc_runs.append(self.sc_cycle())
        # Start-up: quillmar.exe -h beside the floor and beside a floor that
        # writes one line, each with standard output on a pipe and on the
        # null device; one of each per round, the order turning by one every
        # round.
        self.start = {key: [] for key, _, _ in START_CASES}
        for i in range(self.args.start_runs):
            k = i % len(START_CASES)
            for key, argv, null in START_CASES[k:] + START_CASES[:k]:
                self.start[key].append(self.w(*argv, null_stdout=null)[0])

    def report(self):
        med = statistics.median
        floor = med(self.start["floor"])
        text = ["### (c) under Wine: quillmar.exe against the floor of a process and against "
                "sc.exe/reg.exe\n"]
        rows = [["floor: `floor.exe` (same toolchain and imports, does nothing)", fmt_ms(floor),
                 "1.00", "0", fmt_ms(floor)]]
        for key, label in (("line", "floor: `floor.exe --line` (writes one line), on a pipe"),
                           ("line-null", "floor: `floor.exe --line`, on the null device"),
                           ("help", "quillmar.exe `-h`, on a pipe"),
                           ("help-null", "quillmar.exe `-h`, on the null device")):
            m = med(self.start[key])
            rows.append([label, fmt_ms(m), "%.2f" % (m / floor), "0", fmt_ms(m)])
        names = [s[0] for s in self.q_runs[0]]
        for i, name in enumerate(names):
            secs = [run_[i][1] for run_ in self.q_runs]
            waits = [run_[i][2] for run_ in self.q_runs]
            outside = [run_[i][1] - self.poll_seconds * run_[i][2] for run_ in self.q_runs]
            rows.append(["quillmar.exe `%s`" % name, fmt_ms(med(secs)), "%.2f" % (med(secs) / floor),
                         "%g (%d-%d)" % (med(waits), min(waits), max(waits)),
                         fmt_ms(med(outside))])
        q_total = [sum(s[1] for s in r) for r in self.q_runs]
        q_waits = [sum(s[2] for s in r) for r in self.q_runs]
        q_out = [t - self.poll_seconds * n for t, n in zip(q_total, q_waits)]
        rows.append(["**quillmar.exe cycle (4 processes)**", fmt_ms(med(q_total)),
                     "%.2f" % (med(q_total) / floor),
                     "%g (%d-%d)" % (med(q_waits), min(q_waits), max(q_waits)),
                     fmt_ms(med(q_out))])
        for i, (name, _, _) in enumerate(self.sc_runs[0]):
            secs = [run_[i][1] for run_ in self.sc_runs]
            rows.append(["`%s`" % name, fmt_ms(med(secs)), "%.2f" % (med(secs) / floor), "0",
                         fmt_ms(med(secs))])
        sc_total = [sum(s[1] for s in r) for r in self.sc_runs]
        rows.append(["**sc.exe/reg.exe cycle (6 processes)**", fmt_ms(med(sc_total)),
                     "%.2f" % (med(sc_total) / floor), "0", fmt_ms(med(sc_total))])
        text.append(table(["work", "median ms", "x floor", "1000 ms waits",
                           "median ms outside waits"], rows))
        start = med(self.start["help-null"]) / med(self.start["line-null"])
        start_pipe = med(self.start["help"]) / med(self.start["line"])
        cycle = med(q_total) / med(sc_total)
        text.append("\n`quillmar.exe -h` / `floor.exe --line`, standard output on the null "
                    "device: %.2f (goal <= %.2f: %s); on a pipe: %.2f; over %d runs of each, "
                    "the order turning every round." % (
                        start, START_GOAL, "met" if start <= START_GOAL else "MISSED", start_pipe,
                        self.args.start_runs))
        text.append("Ratio quillmar.exe / system tools, whole cycle: %.2f (goal <= %.2f: %s); "
                    "outside the waits: %.2f (medians over %d alternating cycles each; waits "
                    "counted from the dots of display mode, each %d ms)." % (
                        cycle, CYCLE_GOAL, "met" if cycle <= CYCLE_GOAL else "MISSED",
                        med(q_out) / med(sc_total), self.args.wine_runs, self.poll_seconds * 1000))
        text.append("Service: the Wine tier's test service (normal mode) as "
                    "`C:\\OrvBench\\iorvelsr.exe`, started and stopped for real. "
                    "Prefix created in %.1f s; one `wineserver -p` throughout." %
                    self.prefix_seconds)
        return "\n".join(text)


# ------------------------------------------------------------------ main

def machine_info() -> str:
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass

    def version(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True).stdout.strip().splitlines()[0]
        except (OSError, IndexError):
            return "?"
    return ("Machine: %d cores (nproc), %s, Linux %s, load average %s at the start; "
            "%s; %s; %s; %s UTC" % (
        os.cpu_count() or 0, cpu, platform.release(),
        " ".join("%.2f" % x for x in os.getloadavg()), version(["hyperfine", "--version"]),
        version(["valgrind", "--version"]),
        version([os.environ.get("WINE", "/usr/lib/wine/wine64"), "--version"]),
        datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--native", required=True, help="native build directory")
    ap.add_argument("--windows", help="Windows build directory (for table c)")
    ap.add_argument("--runs", type=int, default=40, help="hyperfine runs per native case")
    ap.add_argument("--warmup", type=int, default=5)
    ap.add_argument("--wine-runs", type=int, default=8, help="cycles per path under Wine")
    ap.add_argument("--start-runs", type=int, default=40,
                    help="runs of each start-up case under Wine (quillmar.exe -h and the floors)")
    ap.add_argument("--services", type=int, default=1000)
    ap.add_argument("--growth-limit", type=float, default=2.0,
                    help="largest allowed ratio of (b) to (a)")
    ap.add_argument("--out", help="also write the tables to this file")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--wine-only", action="store_true", help="table (c) alone")
    args = ap.parse_args()
    global GROWTH_LIMIT
    GROWTH_LIMIT = args.growth_limit

    for tool in ("hyperfine", "valgrind", "callgrind_annotate"):
        if shutil.which(tool) is None:
            die("%s is not installed (apt-get install hyperfine valgrind)" % tool)

    # A TERM (a timeout, a CI stop) still stops the Wine server started here.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = Path(tempfile.mkdtemp(prefix="quillmar-bench-"))
    t0 = time.perf_counter()
    sections = [machine_info(), ""]
    print(sections[0], flush=True)
    wine = None
    try:
        if not args.wine_only:
            native = Native(args, work)
            native.prepare()
            native.measure()
            sections.append(native.report())
            print("\n" + sections[-1], flush=True)
        if args.windows:
            wine = WineBench(args, work)
            wine.prepare()
            wine.measure()
            sections.append("\n" + wine.report())
            print(sections[-1], flush=True)
        else:
            sections.append("\n### (c) under Wine: skipped (no --windows build directory)")
            print(sections[-1], flush=True)
    finally:
        if wine is not None:
            wine.stop()
        if args.keep:
            print("work directory kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    sections.append("\nWhole run: %.0f s; load average at the end %s." % (
        time.perf_counter() - t0, " ".join("%.2f" % x for x in os.getloadavg())))
    print(sections[-1])
    if args.out:
        Path(args.out).write_text("\n".join(sections) + "\n")


if __name__ == "__main__":
    main()
