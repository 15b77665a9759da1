"""pytest side of the simulated clock: the `clock` fixture and its marker.

Imported by the conftest.py of tests/sim and tests/e2e. Options come from
@pytest.mark.clock(speed=..., squashfs=..., wrap=..., res_files=...); the
build folder from $TAVRINE_BUILD (default: build/ of the repository).
"""

import pytest

from simclock import DEFAULT_BUILD, SimClock, missing_capabilities, missing_emulators


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "clock(speed=10, squashfs=True, wrap=None, res_files=None, arch=None): options of the clock fixture")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "clock_failed_" + report.when, report.failed)


def clock_skip_reason(squashfs=True, build=None, arch=None):
    reasons = missing_capabilities(squashfs, arch)
    missing = missing_emulators(build, arch)
    if missing:
        reasons.append(f"simulated clock not built in {build or DEFAULT_BUILD} (missing {', '.join(missing)})")
    return "; ".join(reasons)


@pytest.fixture
def clock(request, tmp_path):
    """A simulated clock, powered off, cleaned up whatever happens. The
    timeline is printed when the test failed."""
    marker = request.node.get_closest_marker("clock")
    opts = dict(marker.kwargs) if marker else {}
    reason = clock_skip_reason(opts.get("squashfs", True), opts.get("build_dir"), opts.get("arch"))
    if reason:
        pytest.skip(reason)
    c = SimClock(tmp_path, **opts)
    try:
        yield c
    finally:
        if getattr(request.node, "clock_failed_call", False):
            print("=== timeline of the simulated clock ===")
            print(c.timeline())
            print(c.console())
        c.close()
