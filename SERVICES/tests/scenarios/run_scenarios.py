#!/usr/bin/env python3
"""Runs the scenarios of scenarios.py under Wine, through the Windows test
kit (backend_wine.run_tier): its runner does the set-up, the run and the
checks inside Wine, as it does on Windows, and takes these options.

    python3 run_scenarios.py --tier wine --build build/windows
                             [--work DIR] [--quick] [-k SUBSTRING] [--keep] [--list]

The native tier runs on pytest: pytest-3 SERVICES/tests/scenarios --build build/native.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

# The store tiers take the native exit status from here.
from backend_native import posix_status

__all__ = ["main", "posix_status"]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tier", choices=("wine",), required=True)
    parser.add_argument("--build", required=True, help="the Windows build directory")
    parser.add_argument("--work", help="where the cases live (default: a temp dir)")
    parser.add_argument("--quick", action="store_true", help="leave out the slow scenarios")
    parser.add_argument("-k", dest="substring", help="run only scenarios whose name holds it")
    parser.add_argument("--keep", action="store_true", help="keep the cases that failed")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    opts = parser.parse_args(argv)
    work_root = opts.work or tempfile.mkdtemp(prefix="quillmar-wine-")
    os.makedirs(work_root, exist_ok=True)
    import backend_wine
    return backend_wine.run_tier(opts.build, work_root, opts.substring, opts.quick, opts.list,
                                 opts.keep)


if __name__ == "__main__":
    sys.exit(main())
