"""A guarded install that updates our own software, on the x86-64 VM clock:
the resource image (made by scripts/res-image) carries another build of
the boot control; after the install the next power-up runs that program
from the new "/res"."""

import shutil
import subprocess
import time

import pytest

import invariants as inv
from vmclock import BOARDS, REPO, VMClock, missing_vm_capabilities

NEXT = BOARDS["x86_64"]["sim"] / "boot-control-next"
BOOT_CONTROL = "/res/bin/tavrine-boot-control"


@pytest.fixture
def clock(tmp_path):
    reasons = missing_vm_capabilities("x86_64") + ([] if NEXT.exists() else [f"{NEXT} not built"])
    if reasons:
        pytest.skip("; ".join(reasons))
    c = VMClock(tmp_path, warm=True)
    try:
        yield c
    finally:
        c.close()


def running_boot_control(clock, timeout=20):
    """The bytes of the program a running boot control process executes."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for pid, exe, _ in clock.processes():
            if exe == "tavrine-boot-control":
                return clock.read(f"/proc/{pid}/exe")
        time.sleep(0.05)
    raise AssertionError("no boot control ran\n" + clock.timeline(last=40))


def test_guarded_install_puts_a_new_boot_control_into_service(clock, tmp_path):
    stage = tmp_path / "stage-next"
    shutil.copytree(clock.stage, stage)
    shutil.copy2(NEXT, stage / BOOT_CONTROL.lstrip("/"))
    out = tmp_path / "next-image"
    subprocess.run([str(REPO / "scripts" / "res-image"), "--arch", "x86_64", "--release", str(stage),
                    "-o", str(out)], check=True, stdout=subprocess.DEVNULL)
    image, run_id = (out / "res.squashfs").read_bytes(), (out / "run-id").read_bytes()
    old, new = (clock.stage / BOOT_CONTROL.lstrip("/")).read_bytes(), NEXT.read_bytes()
    assert old != new

    clock.install_slot("a", "1.0")
    clock.write(f"{inv.STORE}/current.cfg", inv.slot_cfg("a"))
    clock.power_up()
    assert running_boot_control(clock) == old
    clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg")
    clock.write(f"{inv.INSTALL_DIR}/run-id", run_id)
    clock.write(f"{inv.INSTALL_DIR}/res.squashfs", image)
    assert clock.run([inv.GUARD, "--watch"], env_workspace=True).returncode == 0
    clock.wait_file(f"{inv.INSTALL_DIR}/guard-ready", run_id, timeout=10)
    clock.upgrader(f"{inv.INSTALL_DIR}/res.squashfs", duration=0.5)
    record = clock.wait_file(f"{inv.STORE}/install-result.json", timeout=60)
    assert record == inv.record("write_verified", len(image), True, True, True, True, run_id=run_id.decode())
    assert clock.read(BOOT_CONTROL) == new  # "/res" remounted from the new image

    clock.power_off()
    clock.power_up()
    assert running_boot_control(clock) == new
    clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=30)
    assert inv.settle(clock) == "slot a"
    assert clock.flash()[:len(image)] == image
