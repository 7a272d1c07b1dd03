import os

import buildfacts


def pytest_xdist_auto_num_workers(config):
    """-n auto: a worker for each slow scenario, which sleeps through its
    polls, besides one a core for the others."""
    buildfacts.use(os.path.abspath(config.getoption("--build")))
    import scenarios

    return (os.cpu_count() or 1) + sum(s.slow for s in scenarios.SCENARIOS)
