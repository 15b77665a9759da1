"""pytest plugin of the sanitizer run: fails a test when any process of a
simulated clock it used wrote a sanitizer report.

The sanitized programs write their reports to "/run/sim/sanitizer.<pid>",
i.e. into the clock's control directory on the host, which stays after the
clock is closed. Every clock of the run lives under pytest's base temporary
folder, module-scoped ones included, so that folder is searched after each
test for reports not seen before. Refuses to run against an unsanitized
product, which would pass without proving anything.

Every sped-up clock runs at half its speed: a sanitized process starts and
forks several milliseconds slower, which the speed-up would turn into
tenths of device seconds, beyond the tolerances the tests allow for process
costs. The device-time waits and the assertions on them stay the same.
"""

import os
import subprocess
from pathlib import Path

import pytest

import simclock

REPORTS = "**/run/sanitizer.*"
PROGRAMS = ["boot-control/tavrine-boot-control", "ota-switch/tavrine-ota-switch",
            "install-guard/tavrine-install-guard"]
SLOWDOWN = 2
_seen = set()


def pytest_sessionstart(session):
    product = Path(os.environ.get("TAVRINE_PRODUCT_BUILD", ""))
    for program in PROGRAMS:
        path = product / program
        needed = subprocess.run(["readelf", "-dW", str(path)], capture_output=True, text=True).stdout
        if "libclang_rt.asan" not in needed:
            raise pytest.UsageError(f"not a sanitized program: {path} (set TAVRINE_PRODUCT_BUILD)")
    original = simclock.SimClock.__init__

    def slower(self, tmp_path, build_dir=None, speed=None, **options):
        if speed is None and options.get("arch") in (None, "x86_64"):
            speed = 10  # the native clock's default
        # Real-speed clocks stay: some of their programs run without
        # libfaketime, in real time.
        if speed is not None and speed > 1:
            speed = speed / SLOWDOWN
        original(self, tmp_path, build_dir, speed, **options)

    simclock.SimClock.__init__ = slower


@pytest.fixture(autouse=True)
def no_sanitizer_report(tmp_path_factory):
    yield
    base = tmp_path_factory.getbasetemp()
    new = sorted(p for p in base.glob(REPORTS) if p not in _seen)
    _seen.update(new)
    if new:
        pytest.fail("sanitizer reports:\n" + "\n".join(
            f"--- {p}\n{p.read_text(errors='replace')}" for p in new), pytrace=False)
