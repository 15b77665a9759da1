# The sandbox itself: what a clock sees of the host, what survives a power
# cycle, and that nothing of a clock outlives it.
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from simclock import SimClock

SIM = Path(__file__).resolve().parents[2] / "sim"


def sh(clock, script, **kw):
    r = clock.run(["/usr/bin/sh", "-c", script], **kw)
    return r.returncode, r.stdout.decode()


def loop_devices_of(path):
    out = subprocess.run(["losetup", "--list", "--noheadings", "--output", "NAME,BACK-FILE"],
                         capture_output=True, text=True).stdout
    return [line.split()[0] for line in out.splitlines() if str(path) in line]


def host_mounts_of(path):
    return [line for line in Path("/proc/self/mountinfo").read_text().splitlines() if str(path) in line]


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def test_root_holds_only_the_device_paths(clock):
    clock.power_up(boot=False)
    assert sh(clock, "ls -A /")[1].split() == \
        ["bin", "data", "dev", "lib", "lib64", "proc", "res", "run", "sbin", "tmp", "usr"]
    assert sh(clock, "hostname") == (0, "tavrine-clock\n")
    for hidden in ("/work", "/root", "/home", "/etc", "/var", "/sys"):
        assert not clock.exists(hidden), hidden
    # /bin is the device's own: the platform emulators and the guard, not the host's tools.
    device_bin = sh(clock, "ls /bin")[1].split()
    assert {"setprop", "getprop", "zkswe", "hciattach"} <= set(device_bin)
    assert "bash" not in device_bin


def test_tmp_is_fresh_and_the_store_persists_across_power_cycles(clock):
    clock.power_up(boot=False)
    clock.write("/tmp/scratch", b"x")
    assert sh(clock, "echo kept > /data/tavrine-app/kept")[0] == 0
    clock.power_off()
    assert clock.read("/data/tavrine-app/kept") == b"kept\n"
    clock.power_up(boot=False)
    assert clock.read("/tmp/scratch") is None
    assert clock.read("/data/tavrine-app/kept") == b"kept\n"
    assert clock.prop("sys.zkupgrade.state") == "-1"


@pytest.mark.parametrize("squashfs", [True, False], ids=["squashfs", "plain"])
def test_res_is_read_only_with_the_stock_tree(tmp_path, squashfs):
    with SimClock(tmp_path, speed=10, squashfs=squashfs) as clock:
        clock.power_up(boot=False)
        assert clock.read("/res/etc/tavrine-stock.cfg") == \
            b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"}'
        assert clock.exists("/res/lib/libzkgui.so") and clock.exists("/res/ui")
        rc, _ = sh(clock, "touch /res/x 2>/dev/null")
        assert rc != 0
        rc, out = sh(clock, "grep ' /res ' /proc/mounts; blockdev --getsize64 /dev/block/mtdblock3 2>&1")
        if squashfs:
            assert out.splitlines()[0].startswith("/dev/block/mtdblock3 /res squashfs ro")
            assert out.splitlines()[1] == "8388608"
            image = clock.flash()
            assert len(image) == 8388608 and image[:4] == b"hsqs"
        else:
            assert " squashfs " not in out and not clock.exists("/dev/block/mtdblock3")


def test_close_leaves_no_process_mount_or_loop_device(tmp_path):
    shm_before = set(os.listdir("/dev/shm"))
    clock = SimClock(tmp_path, speed=10, squashfs=True)
    clock.install_slot("a", "1.0")
    clock.power_up(boot=False)
    clock.write("/tmp/EasyUI.cfg", clock.slot_cfg("a"))
    clock.run(["/bin/setprop", "ctl.start", "zkswe"])
    clock.wait_event(r"^app-a ready text written")
    clock.spawn(["/usr/bin/sleep", "1000"], cwd="/res")
    pids = [p for p, _, _ in clock.processes()]
    assert len(pids) >= 5  # init, watcher, hciattach, zkswe, the sleeper, monitors
    assert loop_devices_of(clock.dir)
    clock.close()
    time.sleep(0.2)
    assert [p for p in pids if pid_alive(p)] == []
    assert loop_devices_of(clock.dir) == []
    assert host_mounts_of(clock.dir) == []
    assert set(os.listdir("/dev/shm")) - shm_before == set()


def test_a_killed_test_process_takes_its_clock_along(tmp_path):
    # A test run killed by a timeout: no atexit, no fixture teardown.
    script = textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {str(SIM)!r})
        from simclock import SimClock
        c = SimClock({str(tmp_path)!r}, speed=10)
        c.power_up(boot=False)
        c.spawn(["/usr/bin/sleep", "1000"], cwd="/res")
        c.wait_event("spawn")
        print(c.dir, c.loop, *[p for p, _, _ in c.processes()], flush=True)
        time.sleep(1000)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    fields = child.stdout.readline().split()
    assert len(fields) >= 4, "child did not start a clock"
    clock_dir, pids = fields[0], [int(p) for p in fields[2:]]
    child.send_signal(signal.SIGKILL)
    child.wait()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and (any(map(pid_alive, pids)) or loop_devices_of(clock_dir)):
        time.sleep(0.05)
    assert [p for p in pids if pid_alive(p)] == []
    assert loop_devices_of(clock_dir) == []
    assert host_mounts_of(clock_dir) == []


def test_port_80_belongs_to_each_clock(clock, tmp_path):
    clock.power_up(boot=False)
    with SimClock(tmp_path, speed=10, squashfs=False) as other:
        other.power_up(boot=False)
        clock.hold_port80(30)
        other.hold_port80(30)  # would fail if the two shared a network
        r = clock.run(["/bin/portholder", "0"])
        assert (r.returncode, r.stdout) == (1, b"failed Address already in use\n")
