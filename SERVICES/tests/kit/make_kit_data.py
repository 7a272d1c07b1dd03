#!/usr/bin/env python3
"""The Windows test kit's scenario data, made from the scenario table.

    python3 make_kit_data.py --version 1.0.0 --build BUILD_DIR -o scenarios.txt

BUILD_DIR is a configured build (its quillmar-facts.json): the wait, how
long a slow test service lingers and the slow scenarios' least time come
from there, as does the poll count in the expected texts.

The kit's runner (qmkit.exe) reads one line per fact: fields separated by
tabs, every field escaped, so the file is plain ASCII whatever the table
holds. In a field, a character outside printable ASCII, and the backslash,
is written as \\uXXXX, one per UTF-16 unit: an unpaired surrogate in an
argument survives, as only a UTF-16 command line can carry it. A field that
is exactly \\- stands for "none" (a value the table leaves as None).

Every scenario of the table goes in, in the table's order, under a stable id
(the first 8 hex digits of the SHA-1 of its name) and its name as the title.
Rows that do not run under Wine, and rows that inject faults into the
simulated machine, go in as skipped with their reason. An expectation is
tagged with the host it holds for: "*" for both, or "windows" and "wine"
where Wine's answer differs (model.OnWine). The same output for the same
table and arguments, byte for byte.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "scenarios"))

import buildfacts  # noqa: E402
import model  # noqa: E402

FORMAT = 1
# The services the program itself can create or meet, the obsolete agent's
# name included; the kit refuses to run while any of them, or any name its
# set-ups create, belongs to someone else.
CATALOGUE_SERVICES = ("OrvEvtLogger", "OrvFLM", "Orv_Field_Link_Mgr", "HalvBase")
# How long a stopped, deleted service may take to go: the test service's
# process stays 0.3 s after it stopped.
GONE_SECONDS = 3
NONE = "\\-"


class TableError(ValueError):
    pass


def esc(value: str | int | None) -> str:
    if value is None:
        return NONE
    out = []
    data = str(value).encode("utf-16-le", "surrogatepass")
    for i in range(0, len(data), 2):
        unit = data[i] | data[i + 1] << 8
        out.append(chr(unit) if 0x20 <= unit < 0x7F and unit != 0x5C else f"\\u{unit:04x}")
    return "".join(out)


def line(*fields) -> str:
    return "\t".join(esc(f) for f in fields) + "\n"


def scenario_id(name: str) -> str:
    return hashlib.sha1(name.encode("utf-8")).hexdigest()[:8]


def skip_reason(s: model.Scenario) -> str | None:
    if "wine" not in s.tiers:
        return s.why_one_tier or "not for Windows"
    if any(isinstance(step, model.Fault) for step in s.setup):
        return s.why_one_tier or "injects a fault into the simulated machine"
    return None


def service_lines(step: model.Service, slow_seconds: int) -> list[str]:
    if step.behaviour not in model.BEHAVIOURS:
        raise TableError(f"{step.name}: unknown behaviour {step.behaviour!r}")
    if step.running and step.behaviour == "dies":
        raise TableError(f"{step.name}: a service that dies cannot be set up running")
    if step.marked and not (step.held or step.running):
        raise TableError(f"{step.name}: a marked service stays only while held or running")
    code = f" {step.exit_code}" if step.exit_code is not None else ""
    mode = model.BEHAVIOURS[step.behaviour].testsvc.format(slow=slow_seconds, code=code)
    lines = [line("service", step.name), line("exe", step.exe),
             line("behaviour", step.behaviour, mode)]
    # A service created without a display name shows its own name, as on Windows.
    lines.append(line("display", step.display if step.display is not None else step.name))
    lines += [line(flag) for flag in ("running", "held", "marked") if getattr(step, flag)]
    if step.account is not None:
        lines.append(line("account", step.account))
    lines += [line("depends", name) for name in step.depends_on]
    lines += [line("param", name, data) for name, data in step.params.items()]
    return lines


def console_lines(step: model.Console) -> list[str]:
    if step.race is not None:
        raise TableError("a racing backup is a step of the native tier only")
    lines = [line("console", step.sub)]
    if step.hvcons_ini is not None:
        lines.append(line("ini", step.hvcons_ini))
    if step.hvcons_old is not None:
        lines.append(line("old", step.hvcons_old))
    if step.tool_status is not None:
        lines.append(line("tool", step.tool_status))
    if step.linger:
        lines.append(line("linger", step.linger))
    if step.echo:
        lines.append(line("echo"))
    return lines


def check_line(host: str, chk) -> str:
    if isinstance(chk, model.ServiceState):
        return line("check", host, "state", chk.name, chk.state)
    if isinstance(chk, model.ServiceConfig):
        return line("check", host, "config", chk.name, chk.type, chk.start, chk.error, chk.path,
                    chk.display)
    if isinstance(chk, model.RegValue):
        return line("check", host, "reg", chk.key, chk.name, chk.type, chk.data)
    if isinstance(chk, model.FileContent):
        return line("check", host, "file", chk.path, chk.content)
    if isinstance(chk, model.ToolRuns):
        return line("check", host, "tool", chk.sub, chk.count, *chk.args)
    raise TableError(f"no kit form for the check {chk!r}")


def expectation_lines(s: model.Scenario) -> list[str]:
    """Windows' answer, and Wine's where it differs, each line tagged."""
    hosts = {"windows": s.on("windows"), "wine": s.on("wine")}
    lines = []
    for stream in ("stdout", "stderr", "combined"):
        values = {h: getattr(v, stream) for h, v in hosts.items()}
        for host, value in values.items():
            if value is None:
                continue
            if values["windows"] == values["wine"]:
                lines.append(line("out", "*", stream, value))
                break
            lines.append(line("out", host, stream, value))
    exits = {h: v.exit & 0xFFFFFFFF for h, v in hosts.items()}
    for host, code in exits.items():
        if exits["windows"] == exits["wine"]:
            lines.append(line("exit", "*", code))
            break
        lines.append(line("exit", host, code))
    if hosts["windows"].checks == hosts["wine"].checks:
        lines += [check_line("*", chk) for chk in s.checks]
    else:
        for host, view in hosts.items():
            lines += [check_line(host, chk) for chk in view.checks]
    return lines


def scenario_lines(s: model.Scenario, slow_seconds: int, scenario_id_: str) -> list[str]:
    lines = [line("scenario", scenario_id_, s.name)]
    reason = skip_reason(s)
    if reason is not None:
        return lines + [line("skip", reason), line("end")]
    if s.slow:
        lines.append(line("slow"))
    if s.piped:
        lines.append(line("piped"))
    lines += [line("arg", a) for a in s.args]
    if s.stdin:
        lines.append(line("stdin", s.stdin))
    for step in s.setup:
        if isinstance(step, model.Service):
            lines += service_lines(step, slow_seconds)
        elif isinstance(step, model.Console):
            lines += console_lines(step)
        else:
            raise TableError(f"no kit form for the set-up step {step!r}")
    lines += expectation_lines(s)
    return lines + [line("end")]


def header_lines(version: str, slow_seconds: int, slow_guard: float) -> list[str]:
    return [
        "# The quillmar test kit's scenarios, made by make_kit_data.py from scenarios.py.\n",
        line("kit", FORMAT),
        line("version", version),
        line("slow-seconds", slow_seconds),
        line("slow-guard", f"{slow_guard:g}"),
        line("gone-seconds", GONE_SECONDS),
        line("catalogue", *CATALOGUE_SERVICES),
    ]


def encode(scenarios, version: str, slow_seconds: int, slow_guard: float) -> str:
    """The data file for these scenarios; ids must be unique."""
    lines = header_lines(version, slow_seconds, slow_guard)
    seen: dict[str, str] = {}
    for s in scenarios:
        ident = scenario_id(s.name)
        if ident in seen:
            raise TableError(f"scenarios {seen[ident]!r} and {s.name!r} share the id {ident}")
        seen[ident] = s.name
        try:
            lines += scenario_lines(s, slow_seconds, ident)
        except TableError as e:
            raise TableError(f"scenario {s.name!r}: {e}") from None
    return "".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", required=True, help="quillmar's version")
    parser.add_argument("--build", required=True,
                        help="the build (or its quillmar-facts.json) whose wait the data is for")
    parser.add_argument("-o", "--output", required=True)
    opts = parser.parse_args(argv)

    facts = buildfacts.use(opts.build)
    import scenarios as catalogue

    try:
        text = encode(catalogue.SCENARIOS, opts.version, facts.slow_seconds,
                      facts.slow_at_least_seconds)
    except TableError as e:
        print(f"make_kit_data: {e}", file=sys.stderr)
        return 1
    out = Path(opts.output)
    tmp = out.with_name(out.name + ".new")
    tmp.write_bytes(text.encode("ascii"))
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
