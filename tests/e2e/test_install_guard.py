"""The install guard on the simulated clock: admission, the watch of the
upgrader, the flash readback, the "/res" remount, the install record and
the exclusion of slot switches while an install runs.

The guard runs from "/bin/tavrine-install-guard", outside "/res"; "/res" is
a real squashfs on a loop device that also stands at "/dev/block/mtdblock3".
"""

import json
import os
import re
import signal
import time

import pytest

from clockfixture import clock_skip_reason
from simclock import STOCK_CFG, SimClock, session_of

GUARD = "/bin/tavrine-install-guard"
ACTOR = "tavrine-install-guard"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
RUN_ID_PATH = f"{INSTALL_DIR}/run-id"
IMAGE_PATH = f"{INSTALL_DIR}/res.squashfs"
READY_PATH = f"{INSTALL_DIR}/guard-ready"
RECORD = "/data/tavrine-app/install-result.json"
HOST_CFG = "/tmp/EasyUI.cfg"
RUN_ID = b"0123456789abcdef" * 2
OTHER_RUN_ID = b"fedcba9876543210" * 2
NEW_FILE = ("ui/new.txt", b"resources of the new image\n")
# Extra member and odd spacing: the restore must give back these very bytes.
SLOT_A_CFG = (b'{ "startupLibPath": "/data/tavrine-app/a/lib/libzkgui.so",\n'
              b'  "resPath": "/data/tavrine-app/a/ui/", "theme": "night" }')
FLASH_SIZE = 8388608

AFTER_WATCH = ["ctl.stop zkswe -> 0", "ctl.stop hciattach -> 0",
               "sys.zkupgrade.flag 0 -> 0", 'sys.zkupgrade.dir "" -> 0']


def expected_record(phase, size, written=False, remounted=False, restored=False, restarted=False):
    flag = {True: "true", False: "false"}
    return (f'{{"app_restart_requested":{flag[restarted]},"phase":"{phase}",'
            f'"resources_remounted":{flag[remounted]},"resume_restored":{flag[restored]},'
            f'"run_id":"{RUN_ID.decode()}","schema":1,"verified_size":{size},'
            f'"write_verified":{flag[written]}}}\n').encode()


def guard_setprops(clock, after, keep_alive=False):
    """The guard's setprop calls after an event, as "NAME VALUE -> STATUS"."""
    out = []
    for e in clock.find(rf"^{ACTOR} setprop ", after=after):
        text = re.sub(r" \(.*\)$", "", e.text[len("setprop "):])
        if keep_alive or not text.startswith("sys.zkapp.state "):
            out.append(text)
    return out


def start_install(clock, image, close_fds=(), faketime=True):
    """A slot application running on the host, hciattach up, the install
    files in place and the guard admitted; returns the announcement event."""
    clock.require("tavrine-install-guard")
    clock.install_slot("a", "1.0")
    clock.power_up(boot=False)
    clock.write(HOST_CFG, SLOT_A_CFG)
    assert clock.run(["/bin/setprop", "ctl.start", "zkswe"]).returncode == 0
    assert clock.run(["/bin/setprop", "ctl.start", "hciattach"]).returncode == 0
    clock.wait_event(r"^zkswe loaded /data/tavrine-app/a/lib/libzkgui\.so$")
    clock.write(RUN_ID_PATH, RUN_ID)
    clock.write(IMAGE_PATH, image)
    r = clock.run([GUARD, "--watch"], env_workspace=True, close_fds=close_fds, faketime=faketime)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    ready = clock.wait_event(rf"^fs replaced {READY_PATH}: {RUN_ID.decode()}$")
    assert clock.read(READY_PATH) == RUN_ID
    return ready


def new_resources(clock):
    """The new image's file under "/res", or None. Without a remount the old
    squashfs still sits on the rewritten flash and may read as an I/O error."""
    try:
        return clock.read("/res/" + NEW_FILE[0])
    except OSError:
        return None


def record_event(clock, timeout=60):
    return clock.wait_event(rf"^fs replaced {RECORD}", timeout=timeout)


def guard_pid(clock):
    """The detached worker: the guard process that leads its own session (a
    command child it forks shares the name until it executes)."""
    pids = [pid for pid, exe, _ in clock.processes()
            if exe == "tavrine-install-guard" and session_of(pid) == pid]
    assert len(pids) == 1, clock.processes()
    return pids[0]


def open_descriptors(pid, samples=3):
    """{number: target} of the descriptors open in every one of a few
    samples: the pipe of a property read in progress comes and goes."""
    seen = []
    for _ in range(samples):
        fds = {}
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                fds[int(fd)] = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                pass
        seen.append(fds)
        time.sleep(0.02)
    return {n: t for n, t in seen[0].items() if all(s.get(n) == t for s in seen)}


@pytest.mark.parametrize("close_fds,faketime", [
    pytest.param((), True, id="standard"),
    # libfaketime would take the free number 0 for its shared memory before
    # the guard runs, so this case runs without it, at real speed.
    pytest.param((0,), False, id="stdin-closed-at-start", marks=pytest.mark.clock(speed=1)),
])
def test_verified_install_remounts_and_restarts_the_host(clock, close_fds, faketime):
    # The partition past the new image's end holds junk; only the image's
    # bytes are compared, so the install is still verified.
    junk = bytes([0xA5]) * 4096
    with open(clock.run_dir / "flash.img", "r+b") as f:
        f.seek(FLASH_SIZE - len(junk))
        f.write(junk)
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    ready = start_install(clock, image, close_fds, faketime)

    pid = guard_pid(clock)
    fds = open_descriptors(pid)
    assert {fds[n] for n in (0, 1, 2)} == {"/dev/null"}
    kept = sorted(target for n, target in fds.items() if n > 2)
    assert kept == sorted([IMAGE_PATH, "/tmp/tavrine-install.lock", "/tmp/tavrine-ota-switch.lock",
                           "/run/sim/workspace"])

    # A second install is refused while this one lives.
    clock.write(RUN_ID_PATH, OTHER_RUN_ID)
    assert clock.run([GUARD, "--watch"], env_workspace=True).returncode == 5
    assert clock.read(READY_PATH) == RUN_ID
    # The host configuration changes under the install; the guard puts back its own copy.
    clock.write(HOST_CFG, STOCK_CFG)

    clock.upgrader(IMAGE_PATH, duration=1.0)
    done = record_event(clock)
    assert clock.read(RECORD) == expected_record("write_verified", len(image), True, True, True, True)

    assert guard_setprops(clock, ready) == AFTER_WATCH + ["ctl.start zkswe -> 0"]
    reset = clock.find(r'^tavrine-install-guard setprop sys\.zkupgrade\.dir "" ', after=ready)[0]
    restored = clock.find(rf"^fs replaced {HOST_CFG}:", after=reset)[0]
    assert 1.0 <= restored.t - reset.t < 1.6
    assert clock.read(HOST_CFG) == SLOT_A_CFG
    clock.wait_event(r"^zkswe read /tmp/EasyUI\.cfg: " + re.escape(SLOT_A_CFG.decode()), after=restored)
    clock.wait_event(r"^zkswe loaded /data/tavrine-app/a/lib/libzkgui\.so$", after=restored)
    assert new_resources(clock) == NEW_FILE[1]
    assert clock.flash()[FLASH_SIZE - len(junk):] == junk
    assert clock.prop("sys.zkupgrade.flag") == "0" and clock.prop("sys.zkupgrade.dir") == ""

    # Then only the keep-alive, once a second, holding the install lock only.
    alive = clock.wait_event(r"^tavrine-install-guard setprop sys\.zkapp\.state running", after=done, count=3)
    first = clock.find(r"^tavrine-install-guard setprop sys\.zkapp\.state running", after=done)[0]
    assert 1.8 <= alive.t - first.t < 2.6
    assert guard_setprops(clock, done) == []
    fds = open_descriptors(pid)
    assert sorted(t for n, t in fds.items() if n > 2) == ["/run/sim/workspace", "/tmp/tavrine-install.lock"]
    assert clock.run([GUARD, "--watch"], env_workspace=True).returncode == 5


def hold_res_busy(clock):
    clock.spawn(["/usr/bin/sleep", "100000"], cwd="/res")
    clock.wait_event(r"^test spawn /usr/bin/sleep")


OUTCOMES = [
    pytest.param(dict(mode="fail"), "upgrade_failed", {}, [], id="upgrade-failed"),
    pytest.param(dict(mode="hang"), "upgrade_timeout", {}, [], id="upgrade-timeout",
                 marks=pytest.mark.clock(speed=40)),
    pytest.param(dict(mode="corrupt"), "readback_mismatch", {}, AFTER_WATCH, id="readback-mismatch"),
    pytest.param(dict(mode="ok", fault=("ctl.stop", "zkswe")), "service_stop_failed", dict(written=True),
                 ["ctl.stop zkswe -> 1"] + AFTER_WATCH[2:], id="host-stop-refused"),
    pytest.param(dict(mode="ok", fault=("sys.zkupgrade.flag", "0")), "service_stop_failed",
                 dict(written=True), AFTER_WATCH[:2] + ["sys.zkupgrade.flag 0 -> 1"], id="flag-reset-refused"),
    pytest.param(dict(mode="ok", busy=True), "resource_unmount_failed", dict(written=True), AFTER_WATCH,
                 id="res-busy"),
    pytest.param(dict(mode=None), "readback_mismatch", {}, AFTER_WATCH, id="no-partition",
                 marks=pytest.mark.clock(squashfs=False)),
]


@pytest.mark.parametrize("how,phase,flags,calls", OUTCOMES)
def test_unfinished_install_leaves_host_and_res_alone(clock, how, phase, flags, calls):
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    ready = start_install(clock, image)
    if "fault" in how:
        clock.fail_setprop(*how["fault"])
    if how.get("busy"):
        hold_res_busy(clock)
    if how["mode"]:
        clock.upgrader(IMAGE_PATH, mode=how["mode"], duration=1.0)
    else:
        clock.set_prop("sys.zkupgrade.state", "0")
    done = record_event(clock, timeout=400)

    assert clock.read(RECORD) == expected_record(phase, len(image), **flags)
    assert guard_setprops(clock, ready) == calls
    # The host was not started again, on any configuration.
    assert not clock.find(rf"^fs replaced {HOST_CFG}", after=ready)
    assert not clock.find(r"^zkswe started", after=ready)
    assert new_resources(clock) is None
    if calls:
        # The host and Bluetooth go down with the stops; the record follows the 1 s pause.
        if calls[0] == "ctl.stop zkswe -> 0":
            clock.wait_event(r"^zkswe exited", after=ready)
            clock.wait_event(r"^hciattach exited", after=ready)
        last = clock.find(r"^tavrine-install-guard setprop (sys\.zkupgrade|ctl\.stop)", after=ready)[-1]
        pause, slack = (6.0, 2.0) if how.get("busy") else (1.0, 0.8)
        assert pause <= done.t - last.t < pause + slack
    else:
        assert not clock.find(r"^(zkswe|hciattach) exited", after=ready)
    if how.get("busy"):
        # Ten unmount attempts, each followed by a keep-alive and a pause.
        keep_alives = [e for e in clock.find(r"^tavrine-install-guard setprop sys\.zkapp\.state ", after=last)
                       if e.seq < done.seq]
        assert len(keep_alives) == 10
    if phase == "upgrade_timeout":
        # The watch ends at its deadline: polls stop there. At x40 the record's
        # fsyncs and a busy host stretch device time after the last poll, so
        # the end is bounded by the polls, not by the record's time.
        assert 299.7 <= done.t - ready.t
        late = [e for e in clock.find(r"^tavrine-install-guard setprop sys\.zkapp\.state ", after=ready)
                if e.seq < done.seq and e.t - ready.t > 300.0]
        # One poll may begin at the deadline; a second allows for the
        # announcement's own lag before the clock was taken.
        assert len(late) <= 2
        assert clock.prop("sys.zkupgrade.state") == "255"


def prime_partition_cache(clock):
    """Reads the whole partition through the block device, which "/res"
    keeps open, so its pages stay cached."""
    with open(clock.loop, "rb") as dev:
        assert len(dev.read()) == FLASH_SIZE


def write_through_device_then_corrupt_flash(clock, image):
    """The new image goes through the block device (its pages stay cached),
    then the flash loses a byte behind the cache; the upgrader reports done."""
    fd = os.open(clock.loop, os.O_WRONLY)
    try:
        assert os.pwrite(fd, image, 0) == len(image)
        os.fsync(fd)
    finally:
        os.close(fd)
    with open(clock.run_dir / "flash.img", "r+b") as f:
        f.seek(len(image) // 2)
        f.write(bytes([image[len(image) // 2] ^ 0xFF]))
        f.flush()
        os.fsync(f.fileno())
    clock.set_prop("sys.zkupgrade.state", "0")


@pytest.mark.parametrize("good", [True, False], ids=["fresh-flash-stale-cache", "bad-flash-good-cache"])
def test_readback_reads_the_flash_not_the_page_cache(clock, good):
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    start_install(clock, image)
    prime_partition_cache(clock)
    if good:
        clock.upgrader(IMAGE_PATH, behind_cache=True, duration=0.5)
    else:
        write_through_device_then_corrupt_flash(clock, image)
    record_event(clock)
    if good:
        assert clock.read(RECORD) == expected_record("write_verified", len(image), True, True, True, True)
        assert new_resources(clock) == NEW_FILE[1]
    else:
        assert clock.read(RECORD) == expected_record("readback_mismatch", len(image))


def test_slot_switch_is_refused_during_an_install_and_allowed_after(clock):
    clock.require("tavrine-ota-switch")
    clock.install_slot("b", "2.0")
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    start_install(clock, image)
    assert clock.run(["/res/bin/tavrine-ota-switch", "b", "2.0"]).returncode == 3
    assert not clock.find(r"^tavrine-ota-switch ")
    clock.upgrader(IMAGE_PATH, duration=0.5)
    record_event(clock)
    assert json.loads(clock.read(RECORD))["phase"] == "write_verified"
    # Released with the record, also by the host the guard started.
    r = clock.run(["/res/bin/tavrine-ota-switch", "b", "2.0"])
    assert r.returncode == 0
    clock.wait_file("/data/tavrine-app/result", b"confirmed", timeout=60)


# ---- The boot control's recovery wait and the install lock ----------------

BOOT_CONTROL = "/res/bin/tavrine-boot-control"
CURRENT = "/data/tavrine-app/current.cfg"
BOOT_ERROR = "/data/tavrine-app/boot-error"
INSTALL_LOCK = "/tmp/tavrine-install.lock"


def install_lock_free(clock):
    return clock.run(["/usr/bin/flock", "-n", INSTALL_LOCK, "true"]).returncode == 0


def test_guard_is_kept_out_of_the_boot_recovery_wait(clock):
    """The waiting worker runs from "/res" and keeps it busy: a guard admitted
    then could never remount it. It is refused at its install lock, touching
    nothing, until a confirmed slot switch ends the wait; then it installs."""
    clock.require("tavrine-boot-control", "libtavrine-boot.so", "tavrine-ota-switch",
                  "tavrine-install-guard")
    clock.install_slot("a", "1.0", behaviour="never")
    clock.install_slot("b", "2.0")
    clock.write(CURRENT, SimClock.slot_cfg("a"))
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    clock.power_up()
    notice = clock.wait_event(rf"^fs replaced {BOOT_ERROR}", timeout=60)
    clock.wait_event(r"^tavrine-boot-control setprop sys\.zkapp\.state running", after=notice)
    assert not install_lock_free(clock)

    clock.write(RUN_ID_PATH, RUN_ID)
    clock.write(IMAGE_PATH, image)
    refused = clock.run([GUARD, "--watch"], env_workspace=True)
    assert (refused.returncode, refused.stdout, refused.stderr) == (5, b"", b"")
    assert not clock.exists(READY_PATH) and not clock.exists(RECORD)
    assert not clock.find(rf"^{ACTOR} setprop ")
    assert clock.read("/res/etc/tavrine-stock.cfg") == STOCK_CFG and new_resources(clock) is None

    # The switch lock is free during the wait: a confirmed switch rewrites
    # "current.cfg", whose ready text then ends the wait and frees the lock.
    assert clock.run(["/res/bin/tavrine-ota-switch", "b", "2.0"]).returncode == 0
    clock.wait_file("/data/tavrine-app/result", b"confirmed", timeout=60)
    clock.wait_event(rf"^fs removed {BOOT_ERROR}", timeout=10)
    end = time.monotonic() + 10
    while not install_lock_free(clock):
        assert time.monotonic() < end, "the recovery wait kept the install lock"
        time.sleep(0.05)

    admitted = clock.run([GUARD, "--watch"], env_workspace=True)
    assert admitted.returncode == 0
    clock.wait_file(READY_PATH, RUN_ID)
    clock.upgrader(IMAGE_PATH, duration=0.5)
    record_event(clock)
    assert clock.read(RECORD) == expected_record("write_verified", len(image), True, True, True, True)
    assert new_resources(clock) == NEW_FILE[1]


def test_recovery_wait_goes_on_while_a_guard_holds_the_install_lock(clock):
    clock.require("tavrine-boot-control")
    image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    start_install(clock, image)
    # A failed upgrade leaves the guard alive with the install lock only.
    clock.upgrader(IMAGE_PATH, mode="fail", duration=0.5)
    record_event(clock)
    clock.set_behaviour("a", "never")
    clock.write(CURRENT, SLOT_A_CFG)
    assert clock.run([BOOT_CONTROL, "--start"]).returncode == 0
    notice = clock.wait_event(rf"^fs replaced {BOOT_ERROR}", timeout=60)
    alive = clock.wait_event(r"^tavrine-boot-control setprop sys\.zkapp\.state running",
                             after=notice, count=2)
    clock.write("/tmp/tavrine-ota-ready", b"a\n1.0\n")
    removed = clock.wait_event(rf"^fs removed {BOOT_ERROR}", after=alive, timeout=10)
    assert removed.t - alive.t <= 3.0
    assert not clock.exists(BOOT_ERROR)
    assert not install_lock_free(clock)
    assert clock.run([GUARD, "--watch"], env_workspace=True).returncode == 5


# ---- Admission: one clock, one row per refusal ------------------------------

@pytest.fixture(scope="module")
def admission_clock(tmp_path_factory):
    reason = clock_skip_reason()
    if reason:
        pytest.skip(reason)
    c = SimClock(tmp_path_factory.mktemp("admission"))
    try:
        c.require("tavrine-install-guard")
        c.power_up(boot=False)
        yield c
    finally:
        c.close()


def cfg(lib, res):
    return json.dumps({"startupLibPath": lib, "resPath": res}).encode()


def image_of(size, magic=b"hsqs"):
    return magic + bytes(size - len(magic))


def put(path, data):
    return lambda c: c.write(path, data)


def symlink_to_copy(path, data):
    def make(c):
        c.write(path + ".real", data)
        c.remove(path)
        os.symlink(path + ".real", c.path(path))
    return make


def hold_switch_lock(c):
    p = c.spawn(["/usr/bin/flock", "-n", "/tmp/tavrine-ota-switch.lock", "/usr/bin/sh", "-c", "echo held; exec sleep 100000"],
                stdout=-1)
    assert p.stdout.readline() == b"held\n"


LIB_A, RES_A = "/data/tavrine-app/a/lib/libzkgui.so", "/data/tavrine-app/a/ui/"
LIB_B, RES_B = "/data/tavrine-app/b/lib/libzkgui.so", "/data/tavrine-app/b/ui/"
WORKSPACE = dict(env_workspace=True)


def workspace(value, **options):
    return dict(env={"ANDROID_PROPERTY_WORKSPACE": value}, **options)


# id, arguments, changes to a valid install, how it is run, exit code.
# A row that shows a test passed ends at a later test instead (code noted).
ADMISSION = [
    ("no-argument", [], [], WORKSPACE, 2),
    ("two-arguments", ["--watch", "--watch"], [], WORKSPACE, 2),
    ("wrong-case", ["--Watch"], [], WORKSPACE, 2),
    ("run-id-31", None, [put(RUN_ID_PATH, RUN_ID[:31])], WORKSPACE, 3),
    ("run-id-33", None, [put(RUN_ID_PATH, RUN_ID + b"0")], WORKSPACE, 3),
    ("run-id-line-feed", None, [put(RUN_ID_PATH, RUN_ID + b"\n")], WORKSPACE, 3),
    ("run-id-upper-case", None, [put(RUN_ID_PATH, RUN_ID.upper())], WORKSPACE, 3),
    ("run-id-symlink", None, [symlink_to_copy(RUN_ID_PATH, RUN_ID)], WORKSPACE, 3),
    ("run-id-missing", None, [lambda c: c.remove(RUN_ID_PATH)], WORKSPACE, 3),
    ("cfg-stock", None, [put(HOST_CFG, STOCK_CFG)], WORKSPACE, 3),
    ("cfg-a-lib-b-res", None, [put(HOST_CFG, cfg(LIB_A, RES_B))], WORKSPACE, 3),
    ("cfg-res-no-slash", None, [put(HOST_CFG, cfg(LIB_A, RES_A[:-1]))], WORKSPACE, 3),
    ("cfg-empty", None, [put(HOST_CFG, b"")], WORKSPACE, 3),
    ("cfg-4096-bytes", None, [put(HOST_CFG, cfg(LIB_A, RES_A).ljust(4096))], WORKSPACE, 3),
    ("cfg-comment", None, [put(HOST_CFG, b"/* a */" + cfg(LIB_A, RES_A))], WORKSPACE, 3),
    ("cfg-zero-byte-then-junk", None, [put(HOST_CFG, cfg(LIB_A, RES_A) + b"\0junk")], WORKSPACE, 3),
    ("cfg-array", None, [put(HOST_CFG, b"[" + cfg(LIB_A, RES_A) + b"]")], WORKSPACE, 3),
    ("cfg-res-not-string", None, [put(HOST_CFG, b'{"startupLibPath":"%s","resPath":7}' % LIB_A.encode())],
     WORKSPACE, 3),
    # Slot "b" has no library on this device: still admitted past the configuration.
    ("cfg-slot-b-passes", None, [put(HOST_CFG, cfg(LIB_B, RES_B)), lambda c: c.remove(IMAGE_PATH)], WORKSPACE, 4),
    ("image-missing", None, [lambda c: c.remove(IMAGE_PATH)], WORKSPACE, 4),
    ("image-symlink", None, [symlink_to_copy(IMAGE_PATH, image_of(4096))], WORKSPACE, 4),
    ("image-directory", None, [lambda c: c.remove(IMAGE_PATH), lambda c: c.path(IMAGE_PATH).mkdir()], WORKSPACE, 4),
    ("image-fifo", None, [lambda c: c.remove(IMAGE_PATH), lambda c: os.mkfifo(c.path(IMAGE_PATH))], WORKSPACE, 4),
    ("image-95", None, [put(IMAGE_PATH, image_of(95))], WORKSPACE, 4),
    ("image-8388609", None, [put(IMAGE_PATH, image_of(8388609))], WORKSPACE, 4),
    ("image-big-endian-magic", None, [put(IMAGE_PATH, image_of(4096, b"sqsh"))], WORKSPACE, 4),
    # Every byte of the magic counts: one wrong at either end refuses.
    ("image-magic-first-byte", None, [put(IMAGE_PATH, image_of(4096, b"Hsqs"))], WORKSPACE, 4),
    ("image-magic-last-byte", None, [put(IMAGE_PATH, image_of(4096, b"hsqS"))], WORKSPACE, 4),
    ("image-96-passes", None, [put(IMAGE_PATH, image_of(96)), lambda c: c.set_prop("sys.zkupgrade.state", "0")],
     WORKSPACE, 5),
    ("image-8388608-passes", None,
     [put(IMAGE_PATH, image_of(8388608)), lambda c: c.set_prop("sys.zkupgrade.state", "0")], WORKSPACE, 5),
    ("workspace-unset", None, [], {}, 5),
    ("workspace-no-comma", None, [], workspace("10"), 5),
    ("workspace-2", None, [], workspace("2,32768"), 5),
    ("workspace-1024", None, [], workspace("1024,32768"), 5),
    ("workspace-letters", None, [], workspace("ws10,32768"), 5),
    ("workspace-closed", None, [], workspace("11,32768"), 5),
    ("upgrader-0", None, [lambda c: c.set_prop("sys.zkupgrade.state", "0")], WORKSPACE, 5),
    ("upgrader-255", None, [lambda c: c.set_prop("sys.zkupgrade.state", "255")], WORKSPACE, 5),
    ("upgrader-empty", None, [lambda c: c.set_prop("sys.zkupgrade.state", "")], WORKSPACE, 5),
    # Descriptor 3 is closed at start (no libfaketime, whose shared memory
    # would take it), so the image gets number 3: it is no workspace.
    ("workspace-names-the-image", None, [], workspace("3,32768", faketime=False), 5),
    ("switch-lock-held", None, [hold_switch_lock], WORKSPACE, 5),
]


@pytest.mark.parametrize("args,changes,options,code", [pytest.param(*row[1:], id=row[0]) for row in ADMISSION])
def test_admission_refusals(admission_clock, args, changes, options, code):
    c = admission_clock
    c.remove(INSTALL_DIR)
    c.write(RUN_ID_PATH, RUN_ID)
    c.write(IMAGE_PATH, image_of(4096))
    c.write(HOST_CFG, SLOT_A_CFG)
    c.set_prop("sys.zkupgrade.state", "-1")
    for change in changes:
        change(c)
    try:
        r = c.run([GUARD] + (["--watch"] if args is None else args), timeout=20, **options)
        assert (r.returncode, r.stdout, r.stderr) == (code, b"", b"")
        assert not c.exists(READY_PATH) and not c.exists(RECORD)
        assert not [p for p in c.processes() if p[1] == "tavrine-install-guard"]
    finally:
        # Rows stay independent, also after a wrongly admitted run.
        for pid, exe, _ in c.processes():
            if exe in ("flock", "sleep", "tavrine-install-guard"):
                os.kill(pid, signal.SIGKILL)
