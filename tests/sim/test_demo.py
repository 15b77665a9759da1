# The README's main command must say so when a step does not end as it
# should: a user's slot whose application crashes at start is rolled back,
# and the demo exits non-zero.
import os
import subprocess
from pathlib import Path

import pytest

from simclock import DEFAULT_BUILD

REPO = Path(__file__).resolve().parents[2]


def test_demo_fails_for_a_slot_that_never_gets_ready(tmp_path):
    build = Path(os.environ.get("TAVRINE_BUILD", DEFAULT_BUILD))
    needed = [build / "ota-switch/tavrine-ota-switch", build / "boot-control/tavrine-boot-control",
              build / "boot-hook/libtavrine-boot.so", build / "sim/libapp-slot.so"]
    if not all(p.exists() for p in needed):
        pytest.skip(f"product not built in {build}")
    slot = tmp_path / "slot"
    (slot / "lib").mkdir(parents=True)
    (slot / "ui").mkdir()
    (slot / "lib/libzkgui.so").write_bytes((build / "sim/libapp-slot.so").read_bytes())
    (slot / "manifest.json").write_text('{"version":"7.0"}')
    (slot / "sim-behaviour").write_text("crash")
    r = subprocess.run([str(REPO / "scripts/demo"), "--no-setup", "--build", str(build), "--speed", "20",
                        "--slot", str(slot)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "[  ok   ] power-up into slot a, confirmed" in r.stdout
    assert "[FAILED ] switch to your slot" in r.stdout and "result rolled_back, expected confirmed" in r.stdout
    assert "app-b                  crashing" in r.stdout  # the timeline is printed
    assert "1 ok, 0 skipped, 1 failed" in r.stdout
