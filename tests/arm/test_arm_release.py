"""The armhf release under qemu-user on the sandbox clock: each exit status
of each program's admission, one row each, on one clock. The stripped
static programs of the release tree run as ARM code through a private
binfmt_misc entry; the platform's tools are native. (The release's story,
on a 32-bit ARM kernel, is tests/vm/test_arm_board.py.)
"""

import os
import signal

import pytest

from clockfixture import clock_skip_reason
from simclock import SimClock

pytestmark = pytest.mark.clock(arch="armhf")

STORE = "/data/tavrine-app"
CURRENT, PREVIOUS = f"{STORE}/current.cfg", f"{STORE}/previous.cfg"
MARKER = f"{STORE}/manufacturer-selected"
LOCK = "/tmp/tavrine-ota-switch.lock"
HOST_CFG = "/tmp/EasyUI.cfg"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
RUN_ID_PATH, IMAGE_PATH = f"{INSTALL_DIR}/run-id", f"{INSTALL_DIR}/res.squashfs"
BOOT, SWITCH, GUARD = "/res/bin/tavrine-boot-control", "/res/bin/tavrine-ota-switch", "/bin/tavrine-install-guard"
PRODUCT = ("tavrine-boot-control", "tavrine-ota-switch", "tavrine-install-guard", "libtavrine-boot.so")
RUN_ID = b"0123456789abcdef" * 2
SLOT_A_CFG = (b'{ "startupLibPath": "/data/tavrine-app/a/lib/libzkgui.so",\n'
              b'  "resPath": "/data/tavrine-app/a/ui/", "theme": "night" }')


def cfg(slot):
    """A slot configuration in its own spelling: a copy is told from a rewrite."""
    return (b'{ "startupLibPath": "/data/tavrine-app/' + slot.encode() + b'/lib/libzkgui.so",\n'
            b'  "resPath": "/data/tavrine-app/' + slot.encode() + b'/ui/", "origin": "test" }\n')


# ----- admission refusals of each program: one clock, one row each ------------------

@pytest.fixture(scope="module")
def refusal_clock(tmp_path_factory):
    reason = clock_skip_reason(arch="armhf")
    if reason:
        pytest.skip(reason)
    c = SimClock(tmp_path_factory.mktemp("arm-refusals"), arch="armhf")
    try:
        c.require(*PRODUCT)
        c.install_slot("a", "1.2")
        c.power_up(boot=False)
        yield c
    finally:
        c.close()


def hold_lock(c):
    p = c.spawn(["/usr/bin/flock", "-n", LOCK, "/usr/bin/sh", "-c", "echo held; exec sleep 100000"], stdout=-1)
    assert p.stdout.readline() == b"held\n"


def put(path, data):
    return lambda c: c.write(path, data)


WORKSPACE = dict(env_workspace=True)
# Each exit status of each program once: id, command, changes to a clean clock (on which
# the guard would be admitted), how it runs, exit status.
REFUSALS = [
    ("boot-control-no-argument", [BOOT], [], {}, 2),
    ("boot-control-empty-store", [BOOT, "--start"], [], {}, 3),
    ("boot-control-lock-held", [BOOT, "--start"], [put(CURRENT, cfg("a")), hold_lock], {}, 4),
    ("boot-control-marker-unwritable", [BOOT, "--stock"],
     [lambda c: c.path(MARKER + ".next").symlink_to("elsewhere")], {}, 5),
    ("switch-unknown-slot", [SWITCH, "c", "1.4"], [], {}, 2),
    ("switch-lock-held", [SWITCH, "b", "1.4"], [hold_lock], {}, 3),
    ("guard-no-argument", [GUARD], [], WORKSPACE, 2),
    ("guard-run-id-upper-case", [GUARD, "--watch"], [put(RUN_ID_PATH, RUN_ID.upper())], WORKSPACE, 3),
    ("guard-image-not-squashfs", [GUARD, "--watch"], [put(IMAGE_PATH, b"sqsh" + bytes(4092))], WORKSPACE, 4),
    ("guard-workspace-unset", [GUARD, "--watch"], [], {}, 5),
]


@pytest.mark.parametrize("argv,changes,options,code", [pytest.param(*row[1:], id=row[0]) for row in REFUSALS])
def test_admission_refusals(refusal_clock, argv, changes, options, code):
    c = refusal_clock
    for path in (INSTALL_DIR, CURRENT, PREVIOUS, MARKER, MARKER + ".next", f"{STORE}/elsewhere", LOCK):
        c.remove(path)
    c.write(RUN_ID_PATH, RUN_ID)
    c.write(IMAGE_PATH, b"hsqs" + bytes(4092))
    c.write(HOST_CFG, SLOT_A_CFG)
    c.set_prop("sys.zkupgrade.state", "-1")
    for change in changes:
        change(c)
    store = c.store()
    begin = c.find(r"^test ")[-1]
    try:
        r = c.run(argv, timeout=20, **options)
        assert (r.returncode, r.stdout, r.stderr) == (code, b"", b"")
        # A wrongly admitted worker would still be in its first pause.
        assert not [p for p in c.processes() if p[1].startswith("tavrine-")]
        assert c.store() == store
        assert not c.exists(f"{INSTALL_DIR}/guard-ready") and not c.exists(f"{STORE}/elsewhere")
        assert not c.find(r"^tavrine-\S+ setprop ", after=begin), "a refused program acted"
    finally:
        for pid, exe, _ in c.processes():
            if exe in ("flock", "sleep") or exe.startswith("tavrine-"):
                os.kill(pid, signal.SIGKILL)
