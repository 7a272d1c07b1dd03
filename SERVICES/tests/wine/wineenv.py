"""A private Wine installation for one test run.

One prefix below a directory of the run's own, one persistent wineserver
for the whole run (a server that restarts starts every automatic service
again, which would change the machine between cases), and helpers to run
Windows programs in it.

    env = WineEnv("/tmp/run")
    env.start()
    out = env.run(["sc", "query", "OrvFLM"])
    env.stop()

`python3 wineenv.py DIR` creates a prefix in DIR and prints what the prefix
and a few commands cost.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

WINE = os.environ.get("QUILLMAR_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("QUILLMAR_WINESERVER", "/usr/lib/wine/wineserver")


# Now and then (about once in a thousand processes here) the Linux side of a
# Wine process trips glibc's loader at exit and it prints this on standard
# error, after the Windows program has ended. It is the host's, not the
# program's: it is taken out of the output and counted.
HOST_NOISE = re.compile(rb"Inconsistency detected by ld\.so: [^\n]*\n?")


class WineError(RuntimeError):
    pass


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int  # the Linux status: only the low 8 bits of the Windows exit code
    seconds: float
    host_noise: int = 0  # loader lines taken out of stderr; the status may be the loader's then

    def text(self) -> str:
        return self.stdout.decode("utf-8", "replace").replace("\r\n", "\n")


def to_windows(path: str | os.PathLike) -> str:
    """The Windows name Wine gives a Linux path: drive Z: is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineEnv:
    def __init__(self, root: str | os.PathLike):
        self.root = Path(root).resolve()
        self.prefix = self.root / "prefix"
        self.prefix_seconds: float | None = None  # None when the prefix was there already
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("LC_")}
        self.env.update(
            # Wine derives the ANSI code page from the locale: 1252 here, on
            # every machine alike.
            LANG="C.UTF-8",
            WINEPREFIX=str(self.prefix),
            WINEDEBUG="-all",
            # Without these the first start offers to install Mono and Gecko
            # and adds menu entries: slow, and nothing the tests need.
            WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d",
        )
        self.started = False

    # ---- life cycle --------------------------------------------------------

    def start(self) -> None:
        for tool in (WINE, WINESERVER):
            if not os.access(tool, os.X_OK):
                raise WineError(f"{tool} missing: apt-get install -y --no-install-recommends wine64")
        self.prefix.mkdir(parents=True, exist_ok=True)
        fresh = not (self.prefix / "system.reg").exists()
        # A server left by an earlier run may not be persistent: end it, then
        # start ours first, so that the prefix is built under the one server
        # that lives for the whole run.
        self._kill_server()
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self.started = True
        before = time.monotonic()
        # An ordinary command builds a new prefix; an explicit wineboot has
        # been seen to leave two services.exe, each with its own database.
        r = self.run(["cmd", "/c", "exit 0"], timeout=180)
        if r.status != 0:
            raise WineError(f"wine cmd failed ({r.status}): {r.stderr.decode(errors='replace')}")
        if fresh:
            self.prefix_seconds = time.monotonic() - before
        self.check_one_services()

    def stop(self) -> None:
        if not self.started:
            return
        self._kill_server()
        self.started = False

    def discard(self) -> None:
        """Removes the prefix, ending first a server an earlier run left on it."""
        self._kill_server()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def _kill_server(self) -> None:
        quiet = dict(env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-k"], **quiet)
        # -k returns before every process has gone; the next run may want
        # the same prefix.
        subprocess.run([WINESERVER, "-w"], timeout=30, **quiet)

    def __enter__(self) -> "WineEnv":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # ---- processes ---------------------------------------------------------

    def our_processes(self, image: str) -> list[int]:
        """Pids of Wine processes of this prefix whose command names `image`."""
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                cmdline = (entry / "cmdline").read_bytes().decode(errors="replace")
                if image.lower() not in cmdline.lower():
                    continue
                environ = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={self.prefix}".encode() in environ:
                pids.append(int(entry.name))
        return pids

    def check_one_services(self) -> None:
        pids = self.our_processes("services.exe")
        if len(pids) != 1:
            raise WineError(f"expected one services.exe for {self.prefix}, found {len(pids)}: {pids}")

    def run(self, args: list[str], cwd: str | os.PathLike | None = None,
            env: dict[str, str] | None = None, timeout: float = 120,
            combined: bool = False, piped: bool = False, stdin: bytes = b"") -> Result:
        """Runs a Windows program: args[0] is a builtin name (sc, reg, cmd)
        or a Linux path of an .exe. combined: standard error goes to the
        same file as standard output, as on a console (stderr then empty).
        piped: both streams are pipes, each read to its end (only once the
        prefix exists). stdin: what the program reads, from a file."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        # Files, not pipes: a process that Wine starts on the way (services.exe
        # when the prefix is built) inherits the streams and would hold a pipe
        # open long after the command itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
                tempfile.TemporaryFile() as given:
            given.write(stdin)
            given.seek(0)
            before = time.monotonic()
            p = subprocess.run([WINE, *args], cwd=cwd, env=full_env,
                               stdin=given if stdin else subprocess.DEVNULL,
                               stdout=subprocess.PIPE if piped else out,
                               stderr=out if combined else subprocess.PIPE if piped else err,
                               timeout=timeout)
            seconds = time.monotonic() - before
            if piped:
                out.write(p.stdout)
                if not combined:
                    err.write(p.stderr)
            out.seek(0)
            err.seek(0)
            stdout, noise_out = HOST_NOISE.subn(b"", out.read())
            stderr, noise_err = HOST_NOISE.subn(b"", err.read())
            return Result(stdout, stderr, p.returncode, seconds, noise_out + noise_err)


def _measure(root: str) -> int:
    root_path = Path(root)
    if (root_path / "prefix").exists():
        shutil.rmtree(root_path / "prefix")
    with WineEnv(root_path) as env:
        print(f"prefix created in {env.prefix_seconds:.1f} s; one services.exe")
        for args in (["cmd", "/c", "exit 0"], ["sc", "query", "NoSuchService"],
                     ["reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services"]):
            times = [env.run(args).seconds for _ in range(5)]
            print(f"{' '.join(args)[:40]:40s} {min(times):.3f} s min, {sum(times) / 5:.3f} s mean")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: wineenv.py DIR", file=sys.stderr)
        sys.exit(2)
    sys.exit(_measure(sys.argv[1]))
