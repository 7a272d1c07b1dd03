#!/usr/bin/env python3
"""How many small faults of each kind do the tests catch? Makes every mutant
a rule allows in the program, its host layers and the simulated machine,
plants each, one at a time, in a scratch copy of the tree, and runs the
tests that reach its line, then, only when it survives them, the host's
whole tier (CONTRIBUTING.md, "Mutation testing").

    python3 scripts/mutate.py --list               the mutants and their count, nothing run
    python3 scripts/mutate.py --sample 20 --seed 3 twenty of each host at random
    python3 scripts/mutate.py --only 'quillmar.cpp:WaitForState:*' --host wine
    python3 scripts/mutate.py                      every mutant (hours)
    python3 scripts/mutate.py --ledger scripts/mutants-ledger.jsonl --minutes 120
                                                   every mutant, over several sittings

Exits 0 only when every non-equivalent mutant that ran was killed.
"""

from __future__ import annotations

import argparse
import fnmatch
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LIST = ROOT / "scripts/mutants.txt"
COVER = ROOT / "build/coverage"
SOURCE = "SERVICES/source/"
HOSTS = {SOURCE + "quillmar.cpp": ("native", "wine"), SOURCE + "platform/win32.cpp": ("wine",),
         SOURCE + "platform/posix.cpp": ("native",)}
HOSTS.update({f"{SOURCE}platform/{p.name}": ("native",)
              for p in sorted((ROOT / SOURCE / "platform").glob("sim_*.cpp"))})
NATIVE_TIER = ["-LE", "^(wine|windows)$"]
QUICK_LIMIT = 900  # a selection that runs longer has hung: the mutant is killed
FULL_LIMIT = 2400
WINE_QUICK = 20  # scenarios in a mutant's first run under Wine, at most
SLEEPER = 10  # seconds: a test recorded as this slow mostly waits (a slow scenario's polls)

# ---- the mutants ---------------------------------------------------------------

TOKEN = re.compile(r"""(?P<skip>//[^\n]*|/\*.*?\*/|^[ \t]*\#(?:\\\n|[^\n])*)
  |(?P<str>(?:u8|[uUL])?R"(?P<d>[^(\s]*)\(.*?\)(?P=d)"|(?:u8|[uUL])?"(?:\\.|[^"\\\n])*"
     |(?:u8|[uUL])?'(?:\\.|[^'\\\n])*')
  |(?P<num>\.?\d(?:[eEpP][-+]|[\w.'])*) |(?P<id>[A-Za-z_]\w*)
  |(?P<op><<=|>>=|->|::|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=|\S)""",
                   re.S | re.M | re.X)
INTEGER = re.compile(r"(0[xX][0-9a-fA-F']+|0[0-7']*|[1-9][0-9']*)([uUlL]*)")
SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}
KEYWORDS = {"return", "delete", "throw", "case", "goto", "if", "while", "for", "switch", "else",
            "do", "new", "sizeof", "static_assert", "co_return"}
CONTAINERS = {"namespace", "struct", "class", "enum", "union", "extern", "template"}
STOPS = {"(", "[", "{", "}", ",", ";", "=", "?", ":", "return", "+=", "-=", "|=", "&="}


@dataclass
class Mutant:
    id: str
    file: str
    line: int
    start: int
    end: int
    new: str
    text: str  # the mutated line
    scope: str  # the function, or the variable outside one
    in_function: bool = True
    equivalent: str = ""
    equivalent_on: str = ""  # one host only ("ID@HOST" in the list), or both
    listed: bool = False

    @property
    def rule(self) -> str:
        return self.id.rsplit(":", 2)[1] if not self.listed else "listed"


def tokens(text: str) -> list[tuple[str, str, int, int]]:
    """The code's tokens: (kind, text, start, end); an #else or #elif
    branch (not built) is left out with the comments and directives."""
    out, dead = [], False
    for m in TOKEN.finditer(text):
        kind = m.lastgroup if m.lastgroup != "d" else "str"
        if kind == "skip":
            word = m.group().strip()
            dead = word.startswith(("#else", "#elif")) or (dead and not word.startswith("#endif"))
        elif not dead:
            out.append((kind, m.group(), m.start(), m.end()))
    return out


def places(text: str):
    """Every place of every rule: (scope, in a function, rule, start, end, new),
    and each function's lines."""
    toks = tokens(text)
    words = [t[1] for t in toks]
    match, opened = {}, []
    for i, w in enumerate(words):
        if w in ("(", "[", "{"):
            opened.append(i)
        elif w in (")", "]", "}") and opened:
            match[i] = opened.pop()
            match[match[i]] = i
    found, spans = [], {}
    frames: list[str] = []  # each open brace: function, switch, loop, block, init, container
    func, errors, decl, first, dead_until = "", False, "", "", -1

    def add(rule, start, end, new):
        found.append((func or decl or "-", bool(func), rule, start, end, new))

    def span(a, b):  # the text of tokens a..b
        return text[toks[a][2]:toks[b][3]]

    def negatable(a, b):
        inner = words[a:b + 1]
        if b < a or "=" in inner or ";" in inner:
            return False  # empty, or a declaration
        return not (sum(w in ("==", "!=") for w in inner) == 1 and
                    not {"&&", "||", "?"} & set(inner))

    for i, (kind, w, s, e) in enumerate(toks):
        nxt = words[i + 1] if i + 1 < len(words) else ""
        if w == "static_assert":
            dead_until = match.get(i + 1, i)
        if i <= dead_until:
            continue
        if w == "{":
            k = i - 1
            while k > 0 and words[k] in ("const", "noexcept", "override", "final", "mutable"):
                k -= 1
            before = words[k] if k >= 0 else ""
            head = match.get(k, i) if before == ")" else i
            chain = next((head - n for n in (2, 3) if words[head - n] == "operator"), head)
            if chain == head and toks[head - 1][0] == "id":
                chain -= 1
            while words[chain - 1] == "::" and toks[chain - 2][0] == "id":
                chain -= 2
            if not func and before == ")" and chain < head and words[chain] not in KEYWORDS:
                func = "".join(words[chain:head])
                errors = chain > 0 and words[chain - 1] in ("DWORD", "LONG", "int")
                spans[func] = text.count("\n", 0, s) + 1, text.count("\n", 0, toks[match[i]][2]) + 1
                frames.append("function")
            elif func:
                word = words[head - 1] if head > 0 else ""
                frames.append("switch" if word == "switch" else
                              "loop" if word in ("for", "while") or before == "do" else "block")
            elif first in CONTAINERS:
                frames.append("container")
                decl = first = ""
            else:
                frames.append("init")
            continue
        if w == "}" and frames:
            frame = frames.pop()
            if frame == "function":
                func = ""
            if frame in ("function", "container"):
                decl = first = ""
            continue
        if not func:
            if w == ";":
                decl = first = ""
            elif not first and kind == "id":
                first = w
            if not decl and kind == "id" and nxt in ("=", "[", "{") and first not in CONTAINERS:
                decl = w
            if (not frames or frames[-1] != "init") and not decl:
                continue  # declarations: no constant of a type or a bound is data
        if w in SWAP and text[s - 1].isspace() and text[e].isspace():
            add("andor" if w in ("&&", "||") else "rel", s, e, SWAP[w])
        elif kind == "num" and INTEGER.fullmatch(w) and not (
                not func and words[i - 1] == "[" and nxt == "]"):
            digits, suffix = INTEGER.fullmatch(w).groups()
            value = int(digits.replace("'", ""), 0 if not digits.startswith("0") or
                        digits[1:2] in ("x", "X", "") else 8)
            if value:
                add("zero", s, e, "0" + suffix)
            add("plus", s, e, (f"0x{value + 1:X}" if digits[1:2] in ("x", "X") else str(value + 1))
                + suffix)
        elif w == "?":
            a = i - 1
            while a >= 0 and words[a] not in STOPS:
                a = match.get(a, a) - 1 if words[a] in (")", "]") else a - 1
            if negatable(a + 1, i - 1):
                add("not", toks[a + 1][2], toks[i - 1][3], f"!({span(a + 1, i - 1)})")
        if not func:
            continue
        if w in ("if", "while", "for") and nxt in ("(", "constexpr"):
            o = i + 1 if nxt == "(" else i + 2
            c = match[o]
            semis = [j for j in range(o, c) if words[j] == ";" and match.get(j) is None]
            a, b = (semis[0] + 1, semis[1] - 1) if w == "for" and len(semis) == 2 else \
                (o + 1, c - 1)
            if (w != "for" or len(semis) == 2) and negatable(a, b):
                add("not", toks[a][2], toks[b][3], f"!({span(a, b)})")
        elif w == "return" and errors and nxt != ";":
            j = i + 1
            while words[j] != ";":
                j = match[j] + 1 if words[j] in ("(", "[", "{") else j + 1
            value = words[i + 1:j]
            # The value is still worked out: what it calls still happens.
            whole = f"(void)({span(i + 1, j - 1)}), "
            if not (len(value) == 1 and INTEGER.fullmatch(value[0])):
                if value not in (["ERROR_SUCCESS"], ["NO_ERROR"]):
                    add("ret0", toks[i + 1][2], toks[j - 1][3], whole + "0")
                add("ret1", toks[i + 1][2], toks[j - 1][3], whole + "1")
        elif w in ("break", "continue") and nxt == ";":
            after = words[i + 2] if i + 2 < len(words) else ""
            if after in ("case", "default"):  # else the build stops at the fallthrough
                add("break", s, toks[i + 1][3], "[[fallthrough]];")
            elif not (after == "}" and frames[-1] == "switch"):  # the last break changes nothing
                add("break", s, toks[i + 1][3], "{}")
        elif kind == "id" and w not in KEYWORDS and i > 0 and (
                words[i - 1] in (";", "{", "}", "else", "do", ":") or
                words[i - 1] == ")" and words[match[i - 1] - 1] in ("if", "while", "for")):
            j = i
            while words[j + 1] in ("::", ".", "->") and toks[j + 2][0] == "id":
                j += 2
            if words[j + 1] == "(" and words[match[j + 1] + 1] == ";":
                # Its arguments stay named, so that no variable becomes unused.
                add("call", s, toks[match[j + 1] + 1][3],
                    f"{{ if (false) {{ {span(i, match[j + 1] + 1)} }} }}")
    return found, spans


def generate() -> tuple[list[Mutant], dict]:
    """The mutants of every file, in file order; each file's function lines."""
    mutants, spans = [], {}
    for rel in HOSTS:
        text = (ROOT / rel).read_text(encoding="utf-8")
        found, spans[rel] = places(text)
        counts: Counter = Counter()
        for scope, in_function, rule, start, end, new in found:
            counts[scope, rule] += 1
            mutated = text[:start] + new + text[end:]
            first = mutated.rfind("\n", 0, start) + 1
            shown = " ".join(mutated[first:mutated.find("\n", start + len(new))].split())
            if rule == "break":
                shown += f"  (was {' '.join(text[start:end].split())})"
            mutants.append(Mutant(f"{Path(rel).name}:{scope}:{rule}:{counts[scope, rule]}", rel,
                                  text.count("\n", 0, start) + 1, start, end, new, shown, scope,
                                  in_function))
    return mutants, spans


def read_list(mutants: list[Mutant]) -> list[Mutant]:
    """Marks the listed equivalent mutants ("ID  why", continued on indented
    lines) and adds the listed faults ("ID  FILE  what", then "- old" and
    "+ new" lines)."""
    entries: list[list[str]] = []
    for line in LIST.read_text(encoding="utf-8").splitlines():
        if line.startswith(("- ", "+ ", " ")) and entries:
            entries[-1].append(line)
        elif line.strip() and not line.startswith("#"):
            entries.append([line])
    by_id, stale, listed = {m.id: m for m in mutants}, [], []
    for head, *body in entries:
        ident, _, rest = head.partition("  ")
        old = "\n".join(b[2:] for b in body if b.startswith("- "))
        if not old:
            ident, _, host = ident.partition("@")
            if ident not in by_id or host not in ("", *HOSTS[by_id[ident].file]):
                stale.append(ident)
            else:
                by_id[ident].equivalent = " ".join([rest.strip()] + [b.strip() for b in body])
                by_id[ident].equivalent_on = host
            continue
        rel, _, what = rest.strip().partition("  ")
        text = (ROOT / rel).read_text(encoding="utf-8") if rel in HOSTS else ""
        if text.count(old) != 1:
            stale.append(f"{ident} (its text is not once in {rel})")
            continue
        start = text.index(old)
        listed.append(Mutant(ident, rel, text.count("\n", 0, start) + 1, start, start + len(old),
                             "\n".join(b[2:] for b in body if b.startswith("+ ")), what, "",
                             listed=True))
    if stale:
        raise SystemExit(f"mutate: {LIST.name} lists what no longer exists: {', '.join(stale)}")
    return mutants + listed


# ---- coverage: which native test reaches which line --------------------------------

def harvest(runs: Path) -> dict[str, dict[str, set[int]]]:
    """{run: {file: lines reached}} of the mutated files, a run being a
    directory of GCOV_PREFIX; "code FILE" holds every line gcov knows."""
    for p in runs.rglob("*.gcda"):  # made for a run that did not reach them
        if p.stat().st_size == 0:
            p.unlink()
    ours = [p for p in runs.rglob("*.gcda") if any(p.name == Path(rel).name + ".gcda"
                                                   for rel in HOSTS)]
    for p in ours:  # gcov looks for the notes beside the counts
        built = Path("/", *p.relative_to(runs).parts[1:])
        p.with_suffix(".gcno").symlink_to(built.with_suffix(".gcno"))
    found: dict[str, dict[str, set[int]]] = {}

    def gcov(chunk: list[Path]) -> bytes:  # the system headers' lines left out
        return subprocess.run(["gcov", "--json-format", "--stdout", "--relative-only",
                               "--source-prefix", str(ROOT), *map(str, chunk)],
                              cwd=COVER, capture_output=True, check=True).stdout

    with ThreadPoolExecutor(os.cpu_count()) as pool:
        outs = list(pool.map(gcov, [ours[n:n + 200] for n in range(0, len(ours), 200)]))
    for out in outs:
        for doc in map(json.loads, out.splitlines()):
            lines = found.setdefault(Path(doc["data_file"]).relative_to(runs).parts[0], {})
            for f in doc["files"]:
                rel = SOURCE + f["file"].partition(SOURCE)[2]
                for x in f["lines"] if rel in HOSTS else ():
                    lines.setdefault(f"code {rel}", set()).add(x["line_number"])
                    if x["count"]:
                        lines.setdefault(rel, set()).add(x["line_number"])
    return found


_case: dict = {}
_counts: list[str] = []


def open_counts(prefix: str) -> None:
    """Makes a run's count files before it starts, empty and writable by
    every user: a test that runs the program as nobody would otherwise meet
    them made by root, fail to write its counts, and fail on the complaint
    (libgcov takes an empty file for a new one)."""
    if not _counts:
        _counts.extend((COVER / "runs/counts").read_text(encoding="utf-8").split("\n"))
    for name in _counts:
        path = Path(prefix + name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
        path.chmod(0o666)


def pytest_configure(config) -> None:
    """A pytest plugin (-p mutate): each case's counts go to a directory of
    their own, so that cases may run side by side (the controller of
    pytest-xdist's workers runs none)."""
    worker = hasattr(config, "workerinput")
    if os.environ.get("MUTATE_RUNS") and (worker or not config.getoption("numprocesses", None)):
        _case["on"] = True


def pytest_runtest_logstart(nodeid, location) -> None:
    if _case:
        _case.update(key="p" + hashlib.sha256(nodeid.encode()).hexdigest()[:16],
                     started=time.monotonic())
        os.environ["GCOV_PREFIX"] = os.path.join(os.environ["MUTATE_RUNS"], _case["key"])
        open_counts(os.environ["GCOV_PREFIX"])


def pytest_runtest_logfinish(nodeid, location) -> None:
    if _case:
        with open(os.path.join(os.environ["MUTATE_RUNS"], "pytest.jsonl"), "a",
                  encoding="utf-8") as f:
            f.write(json.dumps([_case["key"], "pytest:" + nodeid,
                                time.monotonic() - _case["started"]]) + "\n")


def digest(paths: list[str], salt: str = "") -> str:
    """A hash of the tracked files under these paths as they are now."""
    h = hashlib.sha256(salt.encode())
    for name in subprocess.run(["git", "ls-files", *paths], cwd=ROOT, check=True,
                               capture_output=True, text=True).stdout.split():
        path = ROOT / name
        h.update(name.encode() + (path.read_bytes() if path.is_file() else b""))
    return h.hexdigest()


def coverage(scratch) -> dict:
    """The record {"tests": {ID: [seconds, {file: lines}]}, "code": {file: lines}},
    made afresh when a file under SERVICES or a CMake file changed."""
    def run(args, **kw):
        return scratch.run(args, cwd=ROOT, **kw)

    # Unoptimised, so that each line's count is its own.
    configure = ["cmake", "--preset", "native", "-B", str(COVER), "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS=--coverage", "-DCMAKE_EXE_LINKER_FLAGS=--coverage"]
    stamp = digest(["SERVICES", "cmake", "CMakeLists.txt"], " ".join(configure))
    path = COVER / "mutate-coverage.json"
    if path.exists() and json.loads(path.read_text())["key"] == stamp:
        return json.loads(path.read_text())
    print("mutate: recording which test reaches which line (once for these sources)", flush=True)
    for args in (configure, ["cmake", "--build", str(COVER), f"-j{scratch.jobs}"]):
        if run(args)[0] != 0:
            raise SystemExit("mutate: the coverage build failed; see the log")
    listing = json.loads(run(["ctest", "--test-dir", str(COVER), "--show-only=json-v1",
                              *NATIVE_TIER], quiet=True)[1])
    runs = COVER / "runs"
    shutil.rmtree(runs, ignore_errors=True)
    runs.mkdir()
    (runs / "counts").write_text("\n".join(str(p.with_suffix(".gcda"))
                                           for p in COVER.rglob("*.gcno")), encoding="utf-8")
    names, seconds, failed = {}, {}, []

    def one(n: int) -> None:
        t = listing["tests"][n]
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(os.environ, GCOV_PREFIX=str(runs / f"c{n}"),
                   **dict(e.split("=", 1) for e in props.get("ENVIRONMENT", [])))
        open_counts(env["GCOV_PREFIX"])
        started = time.monotonic()
        if subprocess.run(t["command"], cwd=props.get("WORKING_DIRECTORY", COVER), env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
            failed.append(t["name"])
        names[f"c{n}"], seconds[f"c{n}"] = "ctest:" + t["name"], time.monotonic() - started

    pytests = [t for t in listing["tests"] if "pytest" in Path(t["command"][0]).name]
    with ThreadPoolExecutor(scratch.jobs) as pool:
        list(pool.map(one, [n for n, t in enumerate(listing["tests"]) if t not in pytests]))
    for t in pytests:  # the tiers' own workers: each case's counts apart
        if run(t["command"] + ["-p", "mutate", "-p", "no:cacheprovider"],
               env={"MUTATE_RUNS": str(runs), "PYTHONPATH": str(ROOT / "scripts")})[0]:
            failed.append(t["name"])
    if failed:  # such as a file size limit that leaves no room for the counts
        print(f"mutate: failed in the coverage build, their lines may be missing from the "
              f"record: {', '.join(failed)}", flush=True)
    for line in (runs / "pytest.jsonl").read_text(encoding="utf-8").splitlines():
        key, names[key], seconds[key] = json.loads(line)
    found = harvest(runs)
    tests, code = {}, {}
    for key, test in names.items():
        lines = found.get(key, {})
        for k in [k for k in lines if k.startswith("code ")]:
            code.setdefault(k[5:], set()).update(lines.pop(k))
        tests[test] = [seconds[key], {k: sorted(v) for k, v in lines.items()}]
    shutil.rmtree(runs)
    cov = {"key": stamp, "tests": tests,
           "code": {k: sorted(v) for k, v in code.items()}}
    path.write_text(json.dumps(cov))
    return cov


def reaching(cov: dict, lines: set[int], file: str) -> list[str]:
    """The tests that reach any of these lines, the quickest first. A line
    gcov does not know counts as the nearest it knows above, 4 lines up at most."""
    code = cov["code"].get(file, [])
    known = {max((c for c in code if n - 4 <= c <= n), default=0) for n in lines}
    tests = [t for t, (_, reached) in cov["tests"].items() if known & set(reached.get(file, ()))]
    return sorted(tests, key=lambda t: cov["tests"][t][0])


def regex_escape(name: str) -> str:
    return re.sub(r"([][^$.|()*+?\\])", r"\\\1", name)


# ---- the scratch copy, its builds and the runs -----------------------------------------

def equivalent(m: Mutant, host: str) -> bool:
    return bool(m.equivalent) and m.equivalent_on in ("", host)


@dataclass
class Outcome:
    mutant: Mutant
    host: str
    verdict: str  # killed, survived, equivalent, not built
    by: str = ""
    seconds: float = 0.0


class Scratch:
    """A copy of the tree with a native and a Windows build of its own."""

    def __init__(self, work: Path, log, jobs: int):
        self.work, self.src, self.log, self.jobs = work, work / "src", log, jobs
        self.native, self.windows = work / "build-native", work / "build-windows"
        self.wine_names: dict[str, str] = {}  # a scenario's pytest id: its name, if Wine runs it
        self.pristine: dict[tuple[str, str], dict[Path, bytes]] = {}  # the unmutated code

    def run(self, args, limit=None, cwd=None, env=None, quiet=False) -> tuple[int | None, str]:
        """Runs a command with its output to the log (but quiet): its status
        (None when it ran past its limit) and its output."""
        started = time.monotonic()
        proc = subprocess.Popen(args, cwd=cwd or self.src, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL if quiet else subprocess.STDOUT,
                                env=dict(os.environ, **(env or {})), start_new_session=True)
        try:
            out, status = proc.communicate(timeout=limit)[0], proc.returncode
        except subprocess.TimeoutExpired as e:
            # The hung test is ctest's or pytest's child: its whole group goes, or it
            # spins on after the run. Not waited for: a server Wine left holds the pipe.
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            proc.stdout.close()
            status, out = None, e.stdout or b""
        text = out.decode("utf-8", "replace")
        self.log.write(f"$ {' '.join(map(str, args))[:500]}  ({time.monotonic() - started:.0f} s, "
                       f"status {status})\n{'' if quiet else text[-20000:]}\n")
        self.log.flush()
        return status, text

    def prepare(self, hosts: set[str]) -> None:
        self.src.mkdir()
        configure = [["bash", str(ROOT / "scripts/copy-tree.sh"), str(self.src)],
                     ["cmake", "--preset", "native", "-B", str(self.native)]]
        if "wine" in hosts:
            configure.insert(1, ["cmake", "--preset", "windows", "-B", str(self.windows)])
            configure[2].append(f"-DQUILLMAR_WINDOWS_BUILD_DIR={self.windows}")
        for args in configure:
            if self.run(args)[0] != 0:
                raise SystemExit(f"mutate: {' '.join(args)} failed; see the log")
        for host in sorted(hosts):
            if not self.build(host):
                raise SystemExit(f"mutate: the unmutated {host} build failed; see the log")
        self.pristine = {(h, f): self.code(h, f) for f, on in HOSTS.items() for h in on if h in hosts}
        sys.path.insert(0, str(self.src / "SERVICES/tests/scenarios"))
        import buildfacts
        buildfacts.use(str(self.native))
        import scenarios
        self.wine_names = {f"test_scenario[{s.name.encode('unicode_escape').decode('ascii')}]":
                           s.name for s in scenarios.SCENARIOS if "wine" in s.tiers}

    def build(self, host: str) -> bool:
        # The native build runs every tier, the Windows build's program too.
        dirs = [self.windows, self.native] if host == "wine" else [self.native]
        return all(self.run(["cmake", "--build", str(d), f"-j{self.jobs}"])[0] == 0 for d in dirs)

    def code(self, host: str, file: str) -> dict[Path, bytes]:
        """The objects the host's builds make of file (the native build's too
        under Wine, whose tier takes the catalogue from it), without their
        debugging sections, which hold the columns of a mutated line."""
        builds = [(self.native, "o", "strip")]
        if host == "wine":
            builds.append((self.windows, "obj", "x86_64-w64-mingw32-strip"))
        objects = {}
        for build, kind, strip in builds:
            for obj in sorted(build.rglob(f"{Path(file).name}.{kind}")):
                subprocess.run([strip, "-g", "-o", str(self.work / "stripped"), str(obj)], check=True)
                objects[obj] = (self.work / "stripped").read_bytes()
        return objects

    def selections(self, host: str, tests: dict[str, float],
                   selftest: bool) -> list[tuple[list[str], float]]:
        """The commands that run these tests (and their recorded seconds) on
        the host, each with the time after which it has hung: under Wine, the
        Wine scenarios among them, then the self-test if asked; natively the
        sleepers last, side by side (one after another, eight slow scenarios
        cost four minutes), and each command has hung long before a minute
        plus five times what its tests took in the record."""
        names = [t[6:] for t in tests if t.startswith("ctest:")]
        ids = [t[7:] for t in tests if t.startswith("pytest:")]
        ctest = ["ctest", "--test-dir", str(self.native), "--output-on-failure",
                 "--stop-on-failure"]
        if host == "wine":
            # The kit runs all it is given, even after a failure: the quickest
            # few, or a mutant that any fails costs as much as the whole tier.
            scenarios = [self.wine_names[i.rpartition("::")[2]] for i in ids
                         if i.rpartition("::")[2] in self.wine_names][:WINE_QUICK]
            commands = []
            if scenarios:
                commands.append(([sys.executable, str(self.src / "SERVICES/tests/scenarios/backend_wine.py"),
                                  "--build", str(self.windows), "--work", str(self.work / "cases-wine"),
                                  *(a for n in scenarios for a in ("-k", n))], QUICK_LIMIT))
            if selftest:
                commands.append((ctest + ["-R", "^wine-selftest$"], QUICK_LIMIT))
            return commands
        pytest = ["pytest-3", "-q", "-x", "-p", "no:cacheprovider", f"--build={self.native}",
                  f"--work={self.work / 'cases-native'}"]
        slow = [i for i in ids if tests["pytest:" + i] >= SLEEPER]
        quick = [i for i in ids if i not in slow]

        def hung(*seconds: float) -> float:
            return min(QUICK_LIMIT, 60 + 5 * sum(seconds))

        commands = []
        if names:  # ctest ends a hung test itself, at the slowest one's limit
            slowest = max(tests["ctest:" + n] for n in names)
            commands.append((ctest + ["-R", "^(" + "|".join(map(regex_escape, names)) + ")$",
                                      "--timeout", f"{hung(slowest):.0f}"],
                             hung(*(tests["ctest:" + n] for n in names))))
        if quick:
            commands.append((pytest + ["SERVICES/tests/" + i for i in quick],
                             hung(*(tests["pytest:" + i] for i in quick))))
        if slow:  # side by side: the slowest alone
            commands.append((pytest + ["-n", str(len(slow))] + ["SERVICES/tests/" + i for i in slow],
                             hung(max(tests["pytest:" + i] for i in slow))))
        return commands

    def try_mutant(self, m: Mutant, host: str, tests: dict[str, float]) -> Outcome:
        started = time.monotonic()
        self.log.write(f"\n==== {m.id} on {host}: {m.text}\n")
        path = self.src / m.file
        pristine = path.read_text(encoding="utf-8")
        path.write_text(pristine[:m.start] + m.new + pristine[m.end:], encoding="utf-8")
        try:
            if not self.build(host):
                return Outcome(m, host, "not built", seconds=time.monotonic() - started)
            # The tests run these very objects: no test can tell the mutant apart.
            if self.pristine[host, m.file] and self.code(host, m.file) == self.pristine[host, m.file]:
                return Outcome(m, host, "equivalent", "the same machine code",
                               time.monotonic() - started)
            whole = ["ctest", "--test-dir", str(self.native), "--output-on-failure",
                     f"-j{self.jobs}", *(["-L", "wine"] if host == "wine" else NATIVE_TIER)]
            for args, limit in self.selections(host, tests, m.file.endswith("win32.cpp")) + \
                    [(whole, FULL_LIMIT)]:
                status, out = self.run(args, limit=limit)
                if status != 0:
                    failed = re.findall(r"^(?:FAILED|not ok \d+ -) (.+?)(?: - .*)?$|"
                                        r"^\s*\d+ - (.+?)(?:  #.*)? \(\w.*\)$", out, re.M)
                    why = ", ".join(a or b for a, b in failed[:2]) or Path(args[0]).name
                    return Outcome(m, host, "killed", why + " (hung)" * (status is None),
                                   time.monotonic() - started)
            return Outcome(m, host, "survived", seconds=time.monotonic() - started)
        finally:
            path.write_text(pristine, encoding="utf-8")


def tests_of(cov: dict, m: Mutant, host: str, spans: dict) -> list[str]:
    file, lines = m.file, {m.line}
    if not m.in_function and not m.listed:  # a table: where its variable is used
        text = (ROOT / file).read_text(encoding="utf-8").splitlines()
        lines = {n for n, t in enumerate(text, 1) if re.search(rf"\b{re.escape(m.scope)}\b", t)}
    if host == "wine" and file.endswith("win32.cpp"):
        file = SOURCE + "platform/posix.cpp"
        first, last = spans[file].get(m.scope, (0, -1))
        lines = set(range(first, last + 1))
    return reaching(cov, lines, file)


class Ledger:
    """Outcomes kept from earlier sittings, a JSON line each, and what makes
    them hold: a mutant killed (or not built) stays so while its file is as
    it was, since tests are only ever added; a survivor must also meet the
    same tests."""

    def __init__(self, path: Path | None):
        self.path, self.kept, self.files = path, {}, {}
        if path is None:
            return
        self.tests = digest(["SERVICES/tests"])
        if path.exists():
            for line in path.read_text(encoding="utf-8").splitlines():
                e = json.loads(line)
                self.kept[e["id"], e["host"]] = e

    def source(self, m: Mutant) -> str:
        if m.file not in self.files:
            self.files[m.file] = hashlib.sha256((ROOT / m.file).read_bytes()).hexdigest()
        return self.files[m.file]

    def holds(self, m: Mutant, host: str) -> bool:
        e = self.kept.get((m.id, host))
        return bool(e) and e["source"] == self.source(m) and (
            e["verdict"] != "survived" or e["tests"] == self.tests)

    def outcome(self, m: Mutant, host: str) -> Outcome:
        e = self.kept[m.id, host]
        return Outcome(m, host, e["verdict"], e["by"], e["seconds"])

    def keep(self, o: Outcome) -> None:
        if self.path is not None and (o.verdict != "equivalent" or o.by):
            with open(self.path, "a", encoding="utf-8") as f:
                f.write(json.dumps({"id": o.mutant.id, "host": o.host, "verdict": o.verdict,
                                    "by": o.by, "seconds": round(o.seconds, 1),
                                    "source": self.source(o.mutant), "tests": self.tests}) + "\n")


def report(outcomes: list[Outcome]) -> int:
    cells: dict[tuple[str, str], Counter] = {}
    for o in outcomes:
        cells.setdefault((Path(o.mutant.file).name, o.host), Counter())[o.verdict] += 1
    print(f"\n{'file':<18} {'host':<7} {'killed':>7} {'survived':>9} {'equivalent':>11} "
          f"{'not built':>10}")
    totals: dict[str, Counter] = {}
    for (file, host), c in sorted(cells.items()):
        totals.setdefault(host, Counter()).update(c)
    for (file, host), c in sorted(cells.items()) + [(("all", h), t) for h, t in totals.items()]:
        print(f"{file:<18} {host:<7} {c['killed']:>7} {c['survived']:>9} {c['equivalent']:>11} "
              f"{c['not built']:>10}")
    for o in outcomes:
        if o.verdict == "survived" or o.verdict == "not built" and o.mutant.listed:
            print(f"  {o.verdict} on {o.host}: {o.mutant.id}  {o.mutant.file}:{o.mutant.line}  "
                  f"{o.mutant.text}" + f"  ({o.by})" * bool(o.by))
    figures = "; ".join(f"{h} {c['killed']}/{c['killed'] + c['survived']} killed "
                        f"({100 * c['killed'] / (c['killed'] + c['survived']):.1f}%)"
                        for h, c in sorted(totals.items()) if c['killed'] + c['survived'])
    failed = [o for o in outcomes if o.verdict == "survived" or o.verdict == "not built" and
              o.mutant.listed]
    print(f"mutate: {figures or 'nothing ran'}; {len(failed)} survived or listed and not built")
    return 1 if failed else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, help="draw this many mutants of each host")
    parser.add_argument("--seed", type=int, default=0, help="the draw's seed (with --sample)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="these mutants (* and ? match)")
    parser.add_argument("--host", choices=("native", "wine"), help="run on this host only")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    parser.add_argument("--workers", type=int, default=2,
                        help="mutants run side by side, each in a copy of its own (default 2)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy")
    parser.add_argument("--ledger", type=Path, metavar="FILE",
                        help="take from FILE the outcomes that still hold, add this run's")
    parser.add_argument("--minutes", type=float, help="begin no mutant after this many minutes")
    opts = parser.parse_args(argv)

    generated, spans = generate()
    mutants = read_list(generated)
    for m in mutants:  # a listed fault's function
        m.scope = m.scope or next(
            (f for f, (a, b) in spans[m.file].items() if a <= m.line <= b), "")
    hosts = [opts.host] if opts.host else ["native", "wine"]
    runs = [(m, h) for m in mutants for h in HOSTS[m.file] if h in hosts and
            (not opts.only or any(fnmatch.fnmatchcase(m.id, p) for p in opts.only))]
    # Each run's place hangs on its id alone, so that an edit elsewhere, or
    # a newly listed equivalent, leaves a sample's draw as it was; and a run
    # stopped early (--minutes) has run a fair sample.
    def place(run):
        return hashlib.sha256(f"{opts.seed} {run[0].id} {run[1]}".encode()).digest()

    runs.sort(key=place)
    if opts.sample is not None:  # of what can be killed: no listed equivalent is drawn
        runs = [r for host in hosts for r in
                [r for r in runs if r[1] == host and not equivalent(*r)][:opts.sample]]
    if opts.list:
        for m, h in runs:
            print(f"{m.id:<56} {h:<7} {m.line:>5}  {m.text}" +
                  (f"  [equivalent: {m.equivalent}]" if equivalent(m, h) else ""))
        counts = Counter((Path(m.file).name, m.rule) for m, h in runs if h == HOSTS[m.file][0])
        rules = sorted({r for _, r in counts})
        print(f"\n{'file':<18}" + "".join(f"{r:>7}" for r in rules) + "    all")
        for file in sorted({f for f, _ in counts}):
            print(f"{file:<18}" + "".join(f"{counts[file, r]:>7}" for r in rules) +
                  f"{sum(counts[file, r] for r in rules):>7}")
        print(f"{len({m.id for m, _ in runs})} mutants, {len(runs)} runs")
        return 0

    # A mutant can make a test write without end (a copy that never meets
    # the end of its source filled 60 GB before its limit): past 2 GiB a
    # file stops growing and its writer dies of SIGXFSZ, killing the mutant.
    resource.setrlimit(resource.RLIMIT_FSIZE,
                       (2 << 30, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    work = Path(tempfile.mkdtemp(prefix="quillmar-mutate-"))
    started, outcomes, ledger = time.monotonic(), [], Ledger(opts.ledger)
    print(f"mutate: {len(runs)} runs of {len({m.id for m, _ in runs})} mutants; scratch copies "
          f"and logs in {work}", flush=True)
    for m, h in runs:
        if not equivalent(m, h) and ledger.holds(m, h):
            outcomes.append(ledger.outcome(m, h))
    if outcomes:
        print(f"mutate: {len(outcomes)} outcomes carried over from {opts.ledger}", flush=True)
    done = {(o.mutant.id, o.host) for o in outcomes}
    todo = iter([(m, h) for m, h in runs if (m.id, h) not in done])
    needed, cov = {h for m, h in runs if not equivalent(m, h) and (m.id, h) not in done}, {"code": {}}
    lock = threading.Lock()

    def worker(n: int) -> None:
        """Runs mutants one after another in a scratch copy of its own: most
        of a mutant's time is one process at a time, so two copies keep two
        cores busy."""
        with open(work / f"mutate-{n}.log", "w", encoding="utf-8") as log:
            scratch = Scratch(work / f"w{n}", log, opts.jobs)
            scratch.work.mkdir()
            if needed:
                with lock:  # the coverage record, made by whichever comes first
                    cov.update({} if "tests" in cov else coverage(scratch))
                scratch.prepare(needed)
                print(f"mutate: copy {n} ready after {time.monotonic() - started:.0f} s",
                      flush=True)
            while True:
                with lock:
                    late = opts.minutes is not None and \
                        time.monotonic() - started > 60 * opts.minutes
                    m, h = (None, None) if late else next(todo, (None, None))
                if m is None:
                    return
                # A mutant no recorded test reaches still meets the whole tier:
                # the record misses a process that ends without writing its
                # counts (_exit, a signal, a file size limit).
                tests = [] if equivalent(m, h) else tests_of(cov, m, h, spans)
                o = Outcome(m, h, "equivalent") if equivalent(m, h) else \
                    scratch.try_mutant(m, h, {t: cov["tests"][t][0] for t in tests})
                with lock:
                    outcomes.append(o)
                    ledger.keep(o)
                    print(f"  {o.verdict:<10} {h:<6} {o.seconds:5.0f} s  {m.id}  {o.by[:70]}",
                          flush=True)

    with ThreadPoolExecutor(opts.workers) as pool:
        list(pool.map(worker, range(opts.workers)))
    for prefix in work.glob("w*/cases-wine/*/wine/prefix"):  # a killed run's servers stay
        import backend_wine  # beside scenarios, on the path since prepare
        backend_wine.Prefix(prefix, None).stop(keep=True)
    left = len(list(todo))
    print(f"mutate: {time.monotonic() - started:.0f} s in all" +
          f"; {left} runs left for a later sitting (--ledger)" * bool(left))
    status = report(sorted(outcomes, key=lambda o: (o.mutant.file, o.mutant.id, o.host)))
    if status or opts.keep:
        print(f"mutate: scratch copy kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
