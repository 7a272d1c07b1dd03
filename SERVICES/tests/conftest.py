"""What every Python tier is given: the native build it tests (--build)
and where its cases live (--work); the build's facts are current before any
test module imports the scenario table."""

from __future__ import annotations

import os
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "scenarios"))

import backend_native  # noqa: E402
import buildfacts  # noqa: E402


def pytest_addoption(parser) -> None:
    parser.addoption("--build", default=os.path.join(HERE, "..", "..", "build", "native"),
                     help="the native build directory (default: build/native of this clone)")
    parser.addoption("--work", default=None, help="where the cases live (default: a temp dir)")


def pytest_configure(config) -> None:
    buildfacts.use(os.path.abspath(config.getoption("--build")))


@pytest.fixture(scope="session")
def build_dir(pytestconfig) -> str:
    return os.path.abspath(pytestconfig.getoption("--build"))


@pytest.fixture(scope="session")
def work_root(pytestconfig, tmp_path_factory) -> str:
    work = pytestconfig.getoption("--work")
    if work is None:
        return str(tmp_path_factory.mktemp("work"))
    # One directory a worker under pytest-xdist, so that workers never share a case.
    work = os.path.join(os.path.abspath(work), os.environ.get("PYTEST_XDIST_WORKER", "main"))
    os.makedirs(work, exist_ok=True)
    return tempfile.mkdtemp(dir=work)


@pytest.fixture(scope="session")
def native(build_dir, work_root) -> backend_native.Backend:
    """The native program on fresh simulated machines (the scenario and hostile rows)."""
    return backend_native.Backend(build_dir, work_root)
