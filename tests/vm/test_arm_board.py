"""The armhf release on the emulated ARMv7 board: Debian's armhf kernel in
qemu-system-arm, "/dev/block/mtdblock3" an mtdblock over nandsim, "/data"
ext4 on a virtual disk, the ARM host, apps and platform tools (VM clock,
sim/vmclock.py). One case per path of the standard story, with the outcomes
the native end-to-end tests check. (The admission of each program, run
under qemu-user, is tests/arm/test_arm_release.py.)

The board runs in real time (t in seconds); TOL allows per step for the
emulated processor and a loaded machine.
"""

import time

import pytest

from simclock import STOCK_CFG, SimClock
from vmclock import VMClock, missing_vm_capabilities

STORE = "/data/tavrine-app"
CURRENT, PREVIOUS = f"{STORE}/current.cfg", f"{STORE}/previous.cfg"
BOOT_ERROR, MARKER, RESULT = f"{STORE}/boot-error", f"{STORE}/manufacturer-selected", f"{STORE}/result"
RECORD = f"{STORE}/install-result.json"
LOCK = "/tmp/tavrine-ota-switch.lock"
HOST_CFG = "/tmp/EasyUI.cfg"
READY = "/tmp/tavrine-ota-ready"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
RUN_ID_PATH, IMAGE_PATH = f"{INSTALL_DIR}/run-id", f"{INSTALL_DIR}/res.squashfs"
BOOT, SWITCH, GUARD = "/res/bin/tavrine-boot-control", "/res/bin/tavrine-ota-switch", "/bin/tavrine-install-guard"
PRODUCT = ("tavrine-boot-control", "tavrine-ota-switch", "tavrine-install-guard", "libtavrine-boot.so")

MARKER_TEXT = b"Selected explicitly in Tavrine WebUI\n"
OLD_NOTICE = b"notice from an earlier power-up\n"
RUNNING = STOCK_CFG[:-1] + b',"note":"shipped"}\n'
RUN_ID = b"0123456789abcdef" * 2
SLOT_A_CFG = (b'{ "startupLibPath": "/data/tavrine-app/a/lib/libzkgui.so",\n'
              b'  "resPath": "/data/tavrine-app/a/ui/", "theme": "night" }')
NEW_FILE = ("ui/new.txt", b"resources of the new image\n")

TOL = 0.5  # seconds of the emulated processor and a loaded machine per step
# The hook logs its return a few ms after the worker it started began its pause.
JITTER = 0.05
BOOT_KEEPALIVE = r"^tavrine-boot-control setprop sys\.zkapp\.state running"
BOOT_STOP = r"^tavrine-boot-control setprop ctl\.stop zkswe"
BOOT_START = r"^tavrine-boot-control setprop ctl\.start zkswe"
LOCK_RELEASED = r"^fs written /tmp/tavrine-ota-switch\.lock"


def cfg(slot):
    """A slot configuration in its own spelling: a copy is told from a rewrite."""
    return (b'{ "startupLibPath": "/data/tavrine-app/' + slot.encode() + b'/lib/libzkgui.so",\n'
            b'  "resPath": "/data/tavrine-app/' + slot.encode() + b'/ui/", "origin": "test" }\n')


def between(clock, pattern, first, last):
    return [e for e in clock.find(pattern, after=first) if e.seq < last.seq]


def gone(clock, name, timeout=10.0):
    end = time.monotonic() + timeout
    while any(exe == name for _, exe, _ in clock.processes()):
        assert time.monotonic() < end, f"{name} still running"
        time.sleep(0.02)


def lock_free(clock):
    """No flock held on the switch lock (the board's busybox has no flock)."""
    script = f'i=$(stat -c %i {LOCK}) || exit 0; ! grep -q ":$i " /proc/locks'
    return clock.run(["/bin/sh", "-c", script]).returncode == 0


def props_of(clock, actor, after=None):
    return [e.text.split(" -> ")[0] for e in clock.find(rf"^{actor} setprop ", after=after)]


def last_host_read(clock):
    """The configuration read by the host started last."""
    started = clock.find(r"^zkswe started pid")[-1]
    read = clock.wait_event(r"^zkswe read /tmp/EasyUI\.cfg: ", after=started)
    assert read.pid == int(started.text.split()[-1])
    return read.text.split(": ", 1)[1].encode()


@pytest.fixture
def clock(tmp_path):
    """A powered-off ARM board; every power-up after the process's first
    starts from its booted kernel."""
    reasons = missing_vm_capabilities("armhf")
    if reasons:
        pytest.skip("; ".join(reasons))
    c = VMClock(tmp_path, arch="armhf", warm=True)
    try:
        c.require(*PRODUCT)
        yield c
    finally:
        c.close()


# ----- boot chain: ARM host, ARM hook, ARM boot control ---------------------

POWER_UPS = {
    # name: (store, slot launched, its text)
    "confirmed at the first poll": ({CURRENT: cfg("a"), PREVIOUS: cfg("b")}, "a", cfg("a")),
    "fallback at choice": ({CURRENT: STOCK_CFG, PREVIOUS: cfg("b")}, "b", cfg("b")),
}


@pytest.mark.parametrize("case", POWER_UPS)
def test_power_up_into_a_slot(clock, case):
    files, slot, text = POWER_UPS[case]
    clock.install_slot("a", "1.2")
    clock.install_slot("b", "2.0")
    for path, data in files.items():
        clock.write(path, data)
    clock.write(BOOT_ERROR, OLD_NOTICE)
    clock.power_up()
    called = clock.wait_event(r"^zkswe calling onEasyUIInit")
    returned = clock.wait_event(r"^zkswe onEasyUIInit returned (-?\d+)")
    assert int(returned.text.split()[-1]) > 0  # the command's pid
    alive = clock.wait_event(BOOT_KEEPALIVE)
    stop, start = clock.wait_event(BOOT_STOP), clock.wait_event(BOOT_START)
    written = clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=10)
    clock.wait_event(LOCK_RELEASED, after=written)
    ready = clock.find(rf"^app-{slot} ready text written", after=stop)[0]

    assert 1.5 - JITTER <= alive.t - returned.t <= 1.5 + TOL
    assert 0.7 <= start.t - stop.t <= 0.7 + TOL
    assert written.t - ready.t <= 0.5 + TOL  # the first poll after the ready text
    assert len(between(clock, BOOT_KEEPALIVE, start, written)) == 1
    assert clock.read(HOST_CFG) == clock.read(CURRENT) == text
    assert clock.read(PREVIOUS) == files[PREVIOUS]
    assert clock.read(READY) == {"a": b"a\n1.2\n", "b": b"b\n2.0\n"}[slot]
    assert not clock.exists(BOOT_ERROR) and not clock.exists(MARKER)
    assert len(clock.find(BOOT_START)) == 1
    assert clock.run(["/usr/bin/uname", "-m"]).stdout == b"armv7l\n"
    print(f"ARM boot chain adds {start.t - called.t - 2.2:.3f} s to the fixed 2.2 s")


def test_stock_choice_and_port_probe(clock):
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.power_up()
    clock.wait_event(LOCK_RELEASED)
    clock.write(BOOT_ERROR, OLD_NOTICE)

    r = clock.run([BOOT, "--stock"])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert clock.read(MARKER) == MARKER_TEXT
    clock.wait_event(r"^stock-app port 80 bound")
    assert clock.read(HOST_CFG) == STOCK_CFG

    # Next power-up: the hook's boot control keeps stock; the stock host then
    # holds port 80, so --stock must wait until it is let go.
    clock.power_off()
    clock.power_up()
    clock.wait_event(r"^stock-app port 80 bound")
    assert clock.read(HOST_CFG) == STOCK_CFG and len(clock.find(BOOT_START)) == 1
    r = clock.run([BOOT, "--stock"])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    released = clock.wait_event(r"^stock-app port 80 released")
    start = clock.wait_event(BOOT_START, count=2)
    stop = clock.find(BOOT_STOP)[1]
    assert released.t <= start.t
    assert len(between(clock, BOOT_KEEPALIVE, stop, start)) == 1  # the first probe found it busy
    assert 1.0 <= start.t - stop.t <= 1.5 + TOL
    clock.wait_event(r"^stock-app port 80 bound", count=2)
    assert clock.read(CURRENT) == cfg("a")
    assert clock.read(BOOT_ERROR) == OLD_NOTICE
    assert clock.read(MARKER) == MARKER_TEXT


# ----- slot switch ---------------------------------------------------------------

SWITCHES = {
    # name: (slot configuration delivered, result, switch's property calls, configuration run at the end)
    "confirmed": (True, b"confirmed", ["setprop ctl.stop zkswe", "setprop ctl.start zkswe",
                                       "setprop sys.zkapp.state running"], SimClock.slot_cfg("b")),
    "slot configuration missing": (False, b"rolled_back", ["setprop ctl.stop zkswe", "setprop ctl.start zkswe"] * 2,
                                   RUNNING),
}


@pytest.mark.parametrize("case", SWITCHES)
def test_slot_switch(clock, case):
    write_cfg, result, props, final = SWITCHES[case]
    clock.install_slot("b", "1.4", write_cfg=write_cfg)
    clock.power_up(boot=False)
    clock.write(HOST_CFG, RUNNING)
    assert clock.run(["/bin/setprop", "ctl.start", "zkswe"]).returncode == 0
    clock.wait_event(r"^zkswe onStartupApp returned")

    r = clock.run([SWITCH, "b", "1.4"])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    run = clock.find(r"^test run .*tavrine-ota-switch")[-1]
    if result == b"confirmed":
        assert clock.run([SWITCH, "a", "1.2"]).returncode == 3  # one switch at a time
    clock.wait_file(RESULT, result, timeout=15)
    gone(clock, "tavrine-ota-switch")
    assert props_of(clock, "tavrine-ota-switch") == props
    assert clock.read(PREVIOUS) == RUNNING
    assert clock.read(CURRENT) == clock.read(HOST_CFG) == final
    assert last_host_read(clock) == final
    assert not clock.exists(HOST_CFG + ".next") and not clock.exists(CURRENT + ".next")
    assert lock_free(clock)
    if result == b"confirmed":
        stop = clock.find(r"^tavrine-ota-switch setprop ctl\.stop")[0]
        staged = clock.find(r"^fs replaced /tmp/EasyUI\.cfg", after=stop)[0]
        keep = clock.find(r"^tavrine-ota-switch setprop sys\.zkapp\.state running")[0]
        current = clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", after=run)
        assert 0.7 <= staged.t - stop.t <= 0.7 + TOL
        assert 0.5 <= current.t - keep.t <= 0.5 + TOL


# ----- guarded install on the real squashfs and loop device -----------------------

def install_record(phase, size, verified):
    flag = "true" if verified else "false"
    return (f'{{"app_restart_requested":{flag},"phase":"{phase}","resources_remounted":{flag},'
            f'"resume_restored":{flag},"run_id":"{RUN_ID.decode()}","schema":1,"verified_size":{size},'
            f'"write_verified":{flag}}}\n').encode()


def test_guarded_install_verified_and_remounted(clock):
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    clock.install_slot("a", "1.0")
    clock.power_up(boot=False)
    clock.write(HOST_CFG, SLOT_A_CFG)
    for service in ("zkswe", "hciattach"):
        assert clock.run(["/bin/setprop", "ctl.start", service]).returncode == 0
    clock.wait_event(r"^zkswe loaded /data/tavrine-app/a/lib/libzkgui\.so$")
    clock.write(RUN_ID_PATH, RUN_ID)
    clock.write(IMAGE_PATH, image)

    r = clock.run([GUARD, "--watch"], env_workspace=True)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    ready = clock.wait_event(rf"^fs replaced {INSTALL_DIR}/guard-ready: {RUN_ID.decode()}$")
    assert clock.run([GUARD, "--watch"], env_workspace=True).returncode == 5  # one install at a time
    assert clock.run([SWITCH, "a", "1.0"]).returncode == 3  # no switch during an install
    clock.write(HOST_CFG, STOCK_CFG)  # changed under the install: the guard puts back its copy

    clock.upgrader(IMAGE_PATH, duration=1.0)
    clock.wait_event(rf"^fs replaced {RECORD}", timeout=60)
    assert clock.read(RECORD) == install_record("write_verified", len(image), True)
    calls = [c for c in props_of(clock, "tavrine-install-guard", after=ready) if "sys.zkapp.state" not in c]
    assert calls == [
        "setprop ctl.stop zkswe", "setprop ctl.stop hciattach", "setprop sys.zkupgrade.flag 0",
        'setprop sys.zkupgrade.dir ""', "setprop ctl.start zkswe"]
    reset = clock.find(r'^tavrine-install-guard setprop sys\.zkupgrade\.dir "" -> 0', after=ready)[0]
    restored = clock.find(rf"^fs replaced {HOST_CFG}:", after=reset)[0]
    assert 1.0 <= restored.t - reset.t < 1.0 + TOL
    assert clock.read(HOST_CFG) == SLOT_A_CFG
    clock.wait_event(r"^zkswe loaded /data/tavrine-app/a/lib/libzkgui\.so$", after=restored)
    assert clock.read("/res/" + NEW_FILE[0]) == NEW_FILE[1]  # the new image, mounted
    assert clock.flash()[:len(image)] == image
    assert clock.prop("sys.zkupgrade.flag") == "0" and clock.prop("sys.zkupgrade.dir") == ""
