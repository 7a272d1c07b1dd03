#!/usr/bin/env python3
"""The Windows test kit's scenario data, made from the scenario table.

One record a line, tab-separated fields, plain ASCII: a UTF-16 unit outside
printable ASCII, and the backslash, as \\uXXXX (an unpaired surrogate
survives); a field that is exactly \\- is none.

    version VERSION
    scenario ID TITLE            then, until "end":
    skip REASON | slow LEAST-SECONDS | piped | argv0 TEXT | arg TEXT | stdin TEXT
    service NAME DISPLAY EXE BEHAVIOUR MODE FLAGS ACCOUNT DEPENDS [PARAM VALUE]...
    console SUB INI OLD TOOL-STATUS LINGER ECHO
    expect HOST STDOUT STDERR COMBINED EXIT
    check HOST KIND FIELD...     a check's fields in the order model.py has them

Every scenario goes in, in order; one not for Wine, or that injects faults,
as skipped. HOST is "*", or "windows" and "wine" where Wine differs (model.OnWine).
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scenarios"))

import buildfacts  # noqa: E402
import model  # noqa: E402

CHECK_KINDS = {model.ServiceState: "state", model.ServiceConfig: "config", model.RegValue: "reg",
               model.FileContent: "file", model.ToolRuns: "tool"}


class TableError(ValueError):
    pass


def esc(value: str | int | None) -> str:
    if value is None:
        return "\\-"
    data = str(value).encode("utf-16-le", "surrogatepass")
    units = (data[i] | data[i + 1] << 8 for i in range(0, len(data), 2))
    return "".join(chr(u) if 0x20 <= u < 0x7F and u != 0x5C else f"\\u{u:04x}" for u in units)


def line(*fields) -> str:
    return "\t".join(esc(f) for f in fields) + "\n"


def skip_reason(s: model.Scenario) -> str | None:
    if "wine" not in s.tiers:
        return s.why_one_tier or "not for Windows"
    if any(isinstance(step, model.Fault) for step in s.setup):
        return s.why_one_tier or "injects a fault into the simulated machine"
    return None


def service_line(step: model.Service, slow_seconds: int) -> str:
    if step.behaviour not in model.BEHAVIOURS:
        raise TableError(f"{step.name}: unknown behaviour {step.behaviour!r}")
    if step.running and step.behaviour == "dies":
        raise TableError(f"{step.name}: a service that dies cannot be set up running")
    if step.marked and not (step.held or step.running):
        raise TableError(f"{step.name}: a marked service stays only while held or running")
    code = f" {step.exit_code}" if step.exit_code is not None else ""
    mode = model.BEHAVIOURS[step.behaviour].testsvc.format(slow=slow_seconds, code=code)
    flags = " ".join(f for f in ("running", "held", "marked") if getattr(step, f))
    # A service without a display name shows its own; each dependency ends with a NUL.
    display = step.name if step.display is None else step.display
    return line("service", step.name, display, step.exe, step.behaviour, mode,
                flags, step.account, "".join(d + "\0" for d in step.depends_on),
                *(x for pair in step.params.items() for x in pair))


def console_line(step: model.Console) -> str:
    if step.race is not None:
        raise TableError("a racing backup is a step of the native tier only")
    return line("console", step.sub, step.hvcons_ini, step.hvcons_old, step.tool_status,
                step.linger or None, "echo" if step.echo else None)


def check_line(host: str, chk) -> str:
    if type(chk) not in CHECK_KINDS:
        raise TableError(f"no kit form for the check {chk!r}")
    fields = [getattr(chk, f.name) for f in dataclasses.fields(chk)]
    if isinstance(chk, model.ToolRuns):
        fields = fields[:-1] + list(chk.args)
    return line("check", host, CHECK_KINDS[type(chk)], *fields)


def scenario_lines(s: model.Scenario, ident: str, facts: buildfacts.Facts) -> list[str]:
    lines = [line("scenario", ident, s.name)]
    reason = skip_reason(s)
    if reason is not None:
        return lines + [line("skip", reason), line("end")]
    if s.slow:
        lines.append(line("slow", f"{facts.slow_at_least_seconds:g}"))
    if s.piped:
        lines.append(line("piped"))
    if s.argv0 is not None:
        lines.append(line("argv0", s.argv0))
    lines += [line("arg", a) for a in s.args]
    if s.stdin:
        lines.append(line("stdin", s.stdin))
    for step in s.setup:
        if isinstance(step, model.Service):
            lines.append(service_line(step, facts.slow_seconds))
        elif isinstance(step, model.Console):
            lines.append(console_line(step))
        else:
            raise TableError(f"no kit form for the set-up step {step!r}")
    hosts = [("*", s)] if s.on_wine is None else [("windows", s.on("windows")),
                                                  ("wine", s.on("wine"))]
    for host, view in hosts:
        lines.append(line("expect", host, view.stdout, view.stderr, view.combined,
                          view.exit & 0xFFFFFFFF))
        lines += [check_line(host, chk) for chk in view.checks]
    return lines + [line("end")]


def encode(scenarios, facts: buildfacts.Facts, version: str = "") -> str:
    lines = [line("version", version)] if version else []
    seen: dict[str, str] = {}
    for s in scenarios:
        ident = hashlib.sha1(s.name.encode()).hexdigest()[:8]
        if ident in seen:
            raise TableError(f"scenarios {seen[ident]!r} and {s.name!r} share the id {ident}")
        seen[ident] = s.name
        try:
            lines += scenario_lines(s, ident, facts)
        except TableError as e:
            raise TableError(f"scenario {s.name!r}: {e}") from None
    return "".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", required=True, help="quillmar's version")
    parser.add_argument("--build", required=True, help="the build or its quillmar-facts.json")
    parser.add_argument("-o", "--output", required=True)
    opts = parser.parse_args(argv)
    facts = buildfacts.use(opts.build)
    import scenarios

    try:
        text = encode(scenarios.SCENARIOS, facts, opts.version)
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
