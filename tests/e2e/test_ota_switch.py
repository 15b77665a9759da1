"""Slot switch on the simulated clock: admission, confirmation, roll-back,
the ready marker's comparison, and the switch lock shared with the boot
control. Times are device seconds (the clock runs under libfaketime)."""

import os
import time

import pytest

from simclock import STOCK_CFG, SimClock

SWITCH = "/res/bin/tavrine-ota-switch"
BOOT = "/res/bin/tavrine-boot-control"
LOCK = "/tmp/tavrine-ota-switch.lock"
HOST_CFG = "/tmp/EasyUI.cfg"
MARKER = "/tmp/tavrine-ota-ready"
STORE = "/data/tavrine-app"
RESULT, CURRENT, PREVIOUS = f"{STORE}/result", f"{STORE}/current.cfg", f"{STORE}/previous.cfg"
KEEP_ALIVE = r"^tavrine-ota-switch setprop sys\.zkapp\.state running"
# A running configuration with an extra member and a line end: the switch
# must carry it byte for byte, never rewrite it.
RUNNING = STOCK_CFG[:-1] + b',"note":"shipped"}\n'
TOLERANCE = 0.3
# A durable write's fsync of the new file comes before the rename the watcher
# logs; on the host's disk under load it has taken up to 0.16 s real.
FSYNC_LAG = 1.6


def host_on(clock, cfg):
    """Host started on cfg by the platform, before any switch."""
    clock.write(HOST_CFG, cfg)
    assert clock.run(["/bin/setprop", "ctl.start", "zkswe"]).returncode == 0
    clock.wait_event(r"^zkswe onStartupApp returned")


def switch(clock, slot, version):
    r = clock.run([SWITCH, slot, version])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    return clock.find(r"^test run .*tavrine-ota-switch")[-1]


def switch_props(clock):
    return [e.text.split(" -> ")[0] for e in clock.find(r"^tavrine-ota-switch setprop ")]


def worker_gone(clock, name="tavrine-ota-switch", timeout=5.0):
    end = time.monotonic() + timeout
    while any(exe == name for _, exe, _ in clock.processes()):
        assert time.monotonic() < end, f"{name} still running"
        time.sleep(0.02)


def host_read(clock, started):
    """The configuration read by the host of a "started pid N" event."""
    pid = int(started.text.split()[-1])
    end = time.monotonic() + 5.0
    while True:
        reads = [e for e in clock.find(r"^zkswe read /tmp/EasyUI\.cfg: ") if e.pid == pid]
        if reads:
            return reads[0].text.split(": ", 1)[1].encode()
        assert time.monotonic() < end, f"host pid {pid} read no configuration"
        time.sleep(0.02)


def lock_free(clock):
    return clock.run(["/usr/bin/flock", "-n", LOCK, "true"]).returncode == 0


def place_marker(clock, kind, data=b""):
    """Put a marker of the given kind in place atomically, as an app would."""
    path = clock.path(MARKER)
    tmp = path.with_name(".marker.test")
    if kind == "fifo":
        os.mkfifo(tmp)
    elif kind == "symlink":
        clock.write("/tmp/ready-target", data)
        os.symlink("/tmp/ready-target", tmp)
    else:
        tmp.write_bytes(data)
    os.replace(tmp, path)


def boot_control_or_skip(clock):
    """Skip unless a real boot control is installed: with an empty store it
    must refuse with 3 (no valid configuration); a stub says 2."""
    clock.require("tavrine-boot-control")
    rc = clock.run([BOOT, "--start"]).returncode
    if rc == 2:
        pytest.skip("tavrine-boot-control is still a stub (exits 2 for --start)")
    assert rc == 3


REFUSED = [
    [], ["b"], ["b", "1.4", "x"],
    ["c", "1.4"], ["A", "1.4"], ["B", "1.4"], ["ab", "1.4"], ["", "1.4"],
    ["b", "1234567890.1234567890"], ["b", "1-4"], ["b", "1 4"], ["b", "1.4a"],
]


@pytest.mark.clock(squashfs=False)
def test_admission_refusals(clock):
    clock.require("tavrine-ota-switch")
    clock.power_up(boot=False)
    for args in REFUSED:
        r = clock.run([SWITCH, *args])
        assert (r.returncode, r.stdout, r.stderr) == (2, b"", b""), args
    assert not clock.exists(LOCK), "arguments are checked before the lock"

    # A lock path that cannot be opened safely refuses at once with 3.
    os.symlink("/tmp/elsewhere", clock.path(LOCK))
    assert clock.run([SWITCH, "b", "1.4"], timeout=5).returncode == 3
    assert os.path.islink(clock.path(LOCK)) and not clock.exists("/tmp/elsewhere")
    clock.remove(LOCK)
    os.mkfifo(clock.path(LOCK))
    assert clock.run([SWITCH, "b", "1.4"], timeout=5).returncode == 3

    time.sleep(0.3)  # a wrongly admitted worker would act 1 s (device) later
    assert clock.store() == {} and switch_props(clock) == []


@pytest.mark.clock()
def test_confirmed_at_first_poll(clock):
    clock.require("tavrine-ota-switch")
    clock.install_slot("b", "1.4")
    clock.power_up(boot=False)
    host_on(clock, RUNNING)
    clock.write(CURRENT, b"current before")
    run = switch(clock, "b", "1.4")
    # A second switch while this one runs is refused and changes nothing.
    assert clock.run([SWITCH, "a", "1.2"]).returncode == 3

    clock.wait_file(RESULT, b"confirmed", timeout=10)
    worker_gone(clock)
    assert clock.read(RESULT) == b"confirmed"
    assert clock.read(PREVIOUS) == RUNNING
    assert clock.read(CURRENT) == clock.read(HOST_CFG) == SimClock.slot_cfg("b")
    assert not clock.exists(HOST_CFG + ".next") and not clock.exists(CURRENT + ".next")
    assert switch_props(clock) == ["setprop ctl.stop zkswe", "setprop ctl.start zkswe",
                                   "setprop sys.zkapp.state running"]
    assert lock_free(clock)

    # The file watcher logs asynchronously and in order: once the last change is
    # logged, every earlier one is too.
    done = clock.wait_event(r"^fs replaced /data/tavrine-app/result: confirmed", timeout=5)
    snap = clock.find(r"^fs replaced /data/tavrine-app/previous\.cfg", after=run)[0]
    pending = clock.find(r"^fs replaced /data/tavrine-app/result: pending", after=run)[0]
    stop = clock.find(r"^tavrine-ota-switch setprop ctl\.stop")[0]
    staged = clock.find(r"^fs replaced /tmp/EasyUI\.cfg", after=stop)[0]
    keep = clock.find(KEEP_ALIVE)[0]
    current = clock.find(r"^fs replaced /data/tavrine-app/current\.cfg", after=run)[0]
    assert snap.seq < pending.seq < stop.seq < staged.seq < keep.seq < current.seq < done.seq
    assert 0.9 <= snap.t - run.t <= 1.0 + TOLERANCE
    assert 0.7 <= staged.t - stop.t <= 0.7 + TOLERANCE
    # The pause itself is pinned by the full wait's keep-alive spacing.
    assert 0.5 <= current.t - keep.t <= 0.5 + TOLERANCE + FSYNC_LAG
    print(f"confirm: {done.t - run.t:.2f} s device time from the command to 'confirmed'")


@pytest.mark.clock()
def test_rolled_back_after_full_wait(clock):
    clock.require("tavrine-ota-switch")
    clock.install_slot("a", "1.2")
    clock.install_slot("b", "1.4", behaviour="never")
    clock.power_up(boot=False)
    host_on(clock, SimClock.slot_cfg("a"))
    # A marker left from before the switch, even one matching it, never counts.
    clock.write(MARKER, b"b\n1.4\n")
    run = switch(clock, "b", "1.4")

    clock.wait_file(RESULT, b"rolled_back", timeout=60)
    worker_gone(clock)
    snapshot = SimClock.slot_cfg("a")
    assert clock.read(PREVIOUS) == clock.read(CURRENT) == clock.read(HOST_CFG) == snapshot

    starts = clock.find(r"^tavrine-ota-switch setprop ctl\.start")
    removed = clock.find(r"^fs removed /tmp/tavrine-ota-ready", after=run)[0]
    assert removed.seq < starts[0].seq
    keeps = clock.find(KEEP_ALIVE)
    assert len(keeps) == 9 and starts[0].seq < keeps[0].seq and keeps[-1].seq < starts[1].seq
    assert keeps[0].t - starts[0].t <= TOLERANCE
    for before, after in zip(keeps, keeps[1:]):
        assert 5.0 <= after.t - before.t <= 5.0 + TOLERANCE
    back = clock.find(r"^tavrine-ota-switch setprop ctl\.stop")[1]
    # Polls 80 to 89 come after the last keep-alive: ten pauses, then roll-back.
    assert 5.0 <= back.t - keeps[-1].t <= 5.0 + TOLERANCE
    assert 45.0 <= back.t - keeps[0].t <= 45.0 + 5 * TOLERANCE
    assert host_read(clock, clock.find(r"^zkswe started pid")[-1]) == snapshot
    clock.wait_event(r"^app-a ready text written", after=back)
    done = clock.wait_event(r"^fs replaced /data/tavrine-app/result: rolled_back", timeout=5)
    print(f"roll-back: {done.t - run.t:.2f} s device time from the command to 'rolled_back'")


@pytest.mark.parametrize("slot_cfg", ["missing", "symlink", "fifo"])
@pytest.mark.clock(squashfs=False)
def test_slot_configuration_unusable(clock, slot_cfg):
    clock.require("tavrine-ota-switch")
    clock.install_slot("b", "1.4", write_cfg=False)
    cfg = clock.data / "b" / "EasyUI.cfg"
    if slot_cfg == "symlink":
        clock.write(f"{STORE}/b/real.cfg", SimClock.slot_cfg("b"))
        os.symlink(f"{STORE}/b/real.cfg", cfg)
    elif slot_cfg == "fifo":
        os.mkfifo(cfg)
    clock.power_up(boot=False)
    host_on(clock, RUNNING)
    switch(clock, "b", "1.4")

    clock.wait_file(RESULT, b"rolled_back", timeout=10)
    worker_gone(clock)
    assert switch_props(clock) == ["setprop ctl.stop zkswe", "setprop ctl.start zkswe"] * 2
    assert clock.read(PREVIOUS) == clock.read(CURRENT) == clock.read(HOST_CFG) == RUNNING
    # Started by the platform, then twice by the switch: the last start runs
    # the snapshot (the first may be stopped again before it reads anything).
    assert len(clock.find(r"^zkswe started pid")) == 3
    assert host_read(clock, clock.find(r"^zkswe started pid")[-1]) == RUNNING
    assert not clock.exists(HOST_CFG + ".next")


@pytest.mark.parametrize("host_cfg", ["missing", "symlink", "fifo"])
@pytest.mark.clock(squashfs=False)
def test_snapshot_impossible(clock, host_cfg):
    clock.require("tavrine-ota-switch")
    clock.install_slot("b", "1.4")
    clock.write(PREVIOUS, b"previous before")
    clock.write(CURRENT, b"current before")
    clock.write(RESULT, b"confirmed")
    clock.power_up(boot=False)
    host_on(clock, RUNNING)
    clock.remove(HOST_CFG)
    if host_cfg == "symlink":
        clock.write("/tmp/real.cfg", RUNNING)
        os.symlink("/tmp/real.cfg", clock.path(HOST_CFG))
    elif host_cfg == "fifo":
        os.mkfifo(clock.path(HOST_CFG))
    switch(clock, "b", "1.4")

    clock.wait_file(RESULT, b"prepare_failed", timeout=10)
    worker_gone(clock)
    assert switch_props(clock) == [] and clock.find(r"^zkswe stop requested") == []
    assert clock.read(PREVIOUS) == b"previous before" and clock.read(CURRENT) == b"current before"
    assert not clock.exists(PREVIOUS + ".next")
    assert lock_free(clock)


# Markers that must never confirm "b" "1.4", for a switch and for a launch at
# power-up (with no previous configuration to fall back to): written by the
# app itself, or put in place by the test once the host has been restarted.
@pytest.mark.parametrize("program", ["tavrine-ota-switch", "tavrine-boot-control"])
@pytest.mark.parametrize("behaviour,kind,data", [
    ("wrong", None, None),                        # no final line feed
    ("never", "file", b"b\r\n1.4\r\n"),
    ("never", "file", b"b\n1.4\nextra\n"),
    ("never", "symlink", b"b\n1.4\n"),
    ("never", "fifo", None),                      # must not block a poll
])
@pytest.mark.clock(speed=20, squashfs=False)
def test_marker_never_confirms(clock, program, behaviour, kind, data):
    clock.require(program)
    clock.install_slot("b", "1.4", behaviour=behaviour)
    if program == "tavrine-ota-switch":
        clock.power_up(boot=False)
        host_on(clock, RUNNING)
        switch(clock, "b", "1.4")
    else:
        clock.require("libtavrine-boot.so")
        clock.write(CURRENT, SimClock.slot_cfg("b"))
        clock.power_up()
    if kind:
        clock.wait_event(rf"^{program} setprop ctl\.start")
        place_marker(clock, kind, data)

    if program == "tavrine-ota-switch":
        clock.wait_file(RESULT, b"rolled_back", timeout=60)
        assert len(clock.find(KEEP_ALIVE)) == 9
        assert clock.read(CURRENT) == clock.read(HOST_CFG) == RUNNING
    else:
        clock.wait_file(f"{STORE}/boot-error", timeout=60)
        assert not clock.find(r"^fs replaced /data/tavrine-app/current\.cfg")
        assert clock.read(CURRENT) == clock.read(HOST_CFG) == SimClock.slot_cfg("b")


@pytest.mark.parametrize("version,marker", [
    ("", None),                                   # ready text "b\n\n"
    ("1234567890.123456789", None),               # the longest version
    ("1.4", b"b\n1.4\n\0anything after the zero"),
])
@pytest.mark.clock(squashfs=False)
def test_marker_confirms(clock, version, marker):
    clock.require("tavrine-ota-switch")
    clock.install_slot("b", version, behaviour="never" if marker else "ready")
    clock.power_up(boot=False)
    host_on(clock, RUNNING)
    switch(clock, "b", version)
    if marker:
        clock.wait_event(r"^tavrine-ota-switch setprop ctl\.start")
        place_marker(clock, "file", marker)

    clock.wait_file(RESULT, b"confirmed", timeout=10)
    assert clock.read(CURRENT) == SimClock.slot_cfg("b")


@pytest.mark.clock(squashfs=False)
def test_switch_lock_shared_with_boot_control(clock):
    clock.install_slot("a", "1.2", behaviour="ready_after:3")
    clock.install_slot("b", "1.4", behaviour="ready_after:3")
    clock.require("tavrine-ota-switch")
    clock.power_up(boot=False)
    boot_control_or_skip(clock)
    host_on(clock, RUNNING)
    clock.write(CURRENT, SimClock.slot_cfg("a"))

    # While the boot control launches, a switch is refused and touches nothing.
    assert clock.run([BOOT, "--start"]).returncode == 0
    clock.wait_event(r"^tavrine-boot-control setprop ctl\.stop zkswe")
    assert clock.run([SWITCH, "b", "1.4"]).returncode == 3
    clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg")
    worker_gone(clock, "tavrine-boot-control")
    assert not clock.exists(RESULT) and not clock.exists(PREVIOUS)

    # While the switch runs, the boot control is refused and the switch goes on.
    switch(clock, "b", "1.4")
    clock.wait_event(KEEP_ALIVE)
    before = clock.store()
    assert clock.run([BOOT, "--start"]).returncode == 4
    assert clock.store() == before
    clock.wait_file(RESULT, b"confirmed", timeout=15)
    assert clock.read(CURRENT) == SimClock.slot_cfg("b")
    assert clock.read(PREVIOUS) == SimClock.slot_cfg("a")


@pytest.mark.clock(squashfs=False)
def test_confirmed_switch_ends_boot_recovery_wait(clock):
    clock.install_slot("a", "1.2", behaviour="never")
    clock.install_slot("b", "1.4")
    clock.require("tavrine-ota-switch")
    clock.power_up(boot=False)
    boot_control_or_skip(clock)
    host_on(clock, RUNNING)
    clock.write(CURRENT, SimClock.slot_cfg("a"))

    assert clock.run([BOOT, "--start"]).returncode == 0
    clock.wait_event(r"^fs replaced /data/tavrine-app/boot-error", timeout=60)
    run = switch(clock, "b", "1.4")
    current = clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=10, after=run)
    cleared = clock.wait_event(r"^fs removed /data/tavrine-app/boot-error", timeout=5, after=current)
    assert cleared.t - current.t <= 1.0 + TOLERANCE
    clock.wait_file(RESULT, b"confirmed", timeout=5)
    worker_gone(clock, "tavrine-boot-control")
    assert not clock.exists(f"{STORE}/boot-error")
