"""The boot chain on the simulated clock: the host loads libtavrine-boot, its
init hook runs tavrine-boot-control --start, and the detached worker restarts
the host into the chosen application; plus --stock and the refusals.

Times are device seconds (the clock runs under libfaketime at x10). Intervals
are taken between two logged events and allowed TOL of process start-up
costs per step, which the speed-up cannot remove.
"""

import os
import re
import subprocess
import time
from pathlib import Path

import pytest

from simclock import DEFAULT_BUILD, STOCK_CFG

STORE = "/data/tavrine-app"
CURRENT = f"{STORE}/current.cfg"
PREVIOUS = f"{STORE}/previous.cfg"
BOOT_ERROR = f"{STORE}/boot-error"
MARKER = f"{STORE}/manufacturer-selected"
LOCK = "/tmp/tavrine-ota-switch.lock"
STAGING = "/tmp/tavrine-boot.cfg"
HOST_CFG = "/tmp/EasyUI.cfg"
READY = "/tmp/tavrine-ota-ready"
CONTROL = "/res/bin/tavrine-boot-control"

MARKER_TEXT = b"Selected explicitly in Tavrine WebUI\n"
BOOT_ERROR_TEXT = b"Tavrine startup failed. Keep the clock powered and contact support.\n"
OLD_NOTICE = b"notice from an earlier power-up\n"

TOL = 0.4  # device seconds of start-up cost allowed per step at x10, under load
WAIT_TOL = 3.0  # the same over the 90 polls and 9 keep-alives of a readiness wait
# Events that two processes log about one moment may land in either order
# by a few real milliseconds.
JITTER = 0.1
# The file watcher logs a few real milliseconds after the change.
FS_LAG = TOL

KEEPALIVE = r"^tavrine-boot-control setprop sys\.zkapp\.state running"
STOP = r"^tavrine-boot-control setprop ctl\.stop zkswe"
START = r"^tavrine-boot-control setprop ctl\.start zkswe"
INIT_CALLED = r"^zkswe calling onEasyUIInit"
INIT_RETURNED = r"^zkswe onEasyUIInit returned (-?\d+)"
LOCK_RELEASED = r"^fs written /tmp/tavrine-ota-switch\.lock"


def cfg(slot):
    """A slot configuration in its own spelling (spaces, an extra member), so
    that a byte-for-byte copy can be told from a rewritten document."""
    return (b'{ "startupLibPath": "/data/tavrine-app/' + slot.encode() + b'/lib/libzkgui.so",\n'
            b'  "resPath": "/data/tavrine-app/' + slot.encode() + b'/ui/", "origin": "test" }\n')


def worker_status(clock, after):
    """Exit status of the first boot control process reaped by the clock's
    init after the event `after`: a detached worker's only report."""
    reaped = clock.wait_event(r"^platform reaped tavrine-boot-co pid \d+: ", after=after, timeout=10)
    return int(re.search(r"exit status (\d+)$", reaped.text).group(1))


def between(clock, pattern, first, last):
    """Events matching pattern strictly between the events first and last."""
    return [e for e in clock.find(pattern, after=first) if e.seq < last.seq]


def assert_spacing(events, step):
    """Keep-alives are stamped when their setprop returns, so one slow call
    shortens the gap after it as much as it lengthens the one before: single
    gaps get twice the tolerance, their mean only the plain one."""
    gaps = [round(b.t - a.t, 3) for a, b in zip(events, events[1:])]
    assert step - JITTER <= sum(gaps) / len(gaps) <= step + TOL, gaps
    assert all(step - 2 * TOL <= g <= step + 2 * TOL for g in gaps), gaps


def lock_free(clock):
    return clock.run(["/usr/bin/flock", "-n", LOCK, "/usr/bin/true"]).returncode == 0


def wait_worker_gone(clock):
    for _ in range(200):
        if not any(p[1] == "tavrine-boot-control" for p in clock.processes()):
            return
        time.sleep(0.01)
    pytest.fail("the boot control's worker did not end")


def control_events(clock):
    return [e for e in clock.events() if e.actor == "tavrine-boot-control"]


def confirmed_launch(clock, cfg_bytes):
    """Waits for a slot launch through the hook to be confirmed; checks the
    order and timing of the chain and returns (init call, host start)."""
    called = clock.wait_event(INIT_CALLED)
    returned = clock.wait_event(INIT_RETURNED)
    assert int(re.search(r"-?\d+$", returned.text).group()) > 0  # the command's pid
    alive = clock.wait_event(KEEPALIVE)
    stop = clock.wait_event(STOP)
    start = clock.wait_event(START)
    written = clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=10)
    clock.wait_event(LOCK_RELEASED, after=written)
    # The command ends before the worker's 1.5 s pause, so the host goes on.
    assert 1.5 - JITTER <= alive.t - returned.t <= 1.5 + TOL
    assert 0.7 <= start.t - stop.t <= 0.7 + TOL
    staged = clock.find(r"^fs replaced /tmp/tavrine-boot\.cfg", after=alive)[0]
    moved = clock.find(r"^fs replaced /tmp/EasyUI\.cfg", after=stop)[0]
    assert staged.t <= stop.t + FS_LAG and moved.t <= start.t + FS_LAG
    assert 0.7 - JITTER <= moved.t - stop.t <= 0.7 + FS_LAG
    assert moved.text.endswith(cfg_bytes.decode())
    # Confirmed at the first poll after the ready text, keep-alive at poll 0.
    # (The application may log before the ctl.start call has returned.)
    ready = clock.find(r"^app-[ab] ready text written", after=stop)[0]
    assert written.t - ready.t <= 0.5 + TOL + FS_LAG
    assert len(between(clock, KEEPALIVE, start, written)) == 1
    return called, start


# ----- power-up into a slot application that confirms ---------------------

def symlink_library(clock, slot, target):
    lib = clock.path(f"{STORE}/{slot}/lib/libzkgui.so")
    lib.unlink()
    lib.symlink_to(target)


POWER_UP_CASES = {
    # name: (store files, extra set-up, slot that must be launched, its text)
    "current": ({CURRENT: cfg("a"), PREVIOUS: cfg("b")}, None, "a", cfg("a")),
    "current missing, previous": ({PREVIOUS: cfg("b")}, None, "b", cfg("b")),
    "stock text in current": ({CURRENT: STOCK_CFG, PREVIOUS: cfg("a")}, None, "a", cfg("a")),
    "current's library a symlink": ({CURRENT: cfg("b"), PREVIOUS: cfg("a")},
                                    lambda c: symlink_library(c, "b", "../../a/lib/libzkgui.so"), "a", cfg("a")),
    "marker is a directory": ({CURRENT: cfg("a"), MARKER + "/x": b""}, None, "a", cfg("a")),
    "marker is a symlink": ({CURRENT: cfg("a"), f"{STORE}/elsewhere": MARKER_TEXT},
                            lambda c: c.path(MARKER).symlink_to("elsewhere"), "a", cfg("a")),
}


@pytest.mark.parametrize("case", POWER_UP_CASES)
def test_power_up_confirms_slot(clock, case):
    files, setup, slot, text = POWER_UP_CASES[case]
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.install_slot("b", "2.0")
    for path, data in files.items():
        clock.write(path, data)
    if setup:
        setup(clock)
    clock.write(BOOT_ERROR, OLD_NOTICE)
    clock.power_up()
    confirmed_launch(clock, text)
    assert clock.read(HOST_CFG) == text
    assert clock.read(CURRENT) == text
    assert clock.read(READY) == (b"a\n1.2\n" if slot == "a" else b"b\n2.0\n")
    assert not clock.exists(BOOT_ERROR)
    assert not clock.path(MARKER).is_file() or clock.path(MARKER).is_symlink()  # untouched
    # One launch only.
    assert len(clock.find(START)) == 1
    assert not clock.find(r"^tavrine-boot-control .*ctl\.stop", after=clock.find(START)[0])


TRACE = f"{STORE}/trace"


@pytest.mark.clock(wrap={"tavrine-boot-control": ["strace", "-f", "-qq", "-o", TRACE,
                                                   "-e", "trace=unlink,unlinkat,openat,fsync"]})
def test_removed_notice_is_flushed(clock):
    """A removal the store never flushed could bring the notice back after a
    power loss: the worker flushes the store directory after the unlink."""
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.write(BOOT_ERROR, OLD_NOTICE)
    clock.power_up()
    clock.wait_event(r"^fs removed /data/tavrine-app/boot-error", timeout=30)
    flushed = re.compile(r'^(\d+) +unlink(?:at\(AT_FDCWD, |\()"/data/tavrine-app/boot-error"(?:, 0)?\) = 0\n'
                         r'(?:\1 .*\n)*?'
                         r'\1 +openat\(AT_FDCWD, "/data/tavrine-app/?", O_RDONLY\|O_DIRECTORY\) = (\d+)\n'
                         r'(?:\1 .*\n)*?'
                         r'\1 +fsync\(\2\) += 0$', re.M)
    end = time.monotonic() + 10
    while not flushed.search((clock.read(TRACE) or b"").decode()) and time.monotonic() < end:
        time.sleep(0.05)
    assert flushed.search(clock.read(TRACE).decode()), clock.read(TRACE).decode()[-3000:]


@pytest.mark.parametrize("speed", [pytest.param(10, marks=pytest.mark.clock(speed=10)),
                                   pytest.param(1, marks=pytest.mark.clock(speed=1))])
def test_boot_chain_overhead(clock, speed):
    """What the chain adds to the fixed pauses (1.5 s + 0.7 s), from the
    host's call of the init hook to the host start with the application."""
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.power_up()
    called, start = confirmed_launch(clock, cfg("a"))
    added = start.t - called.t - 2.2
    print(f"boot chain adds {added:.3f} device s at x{clock.speed:g} "
          f"({added / clock.speed * 1000:.1f} ms real)")
    assert 0 <= added <= 3 * TOL


# ----- launches that never confirm ------------------------------------------

def test_fallback_to_previous_confirms(clock):
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2", behaviour="never")
    clock.install_slot("b", "2.0")
    clock.write(CURRENT, cfg("a"))
    clock.write(PREVIOUS, cfg("b"))
    clock.write(BOOT_ERROR, OLD_NOTICE)
    clock.power_up()
    first = clock.wait_event(START)
    second = clock.wait_event(START, count=2, timeout=60)
    written = clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", after=second, timeout=10)
    clock.wait_event(LOCK_RELEASED, after=written)
    # 90 polls 0.5 s apart, keep-alive before polls 0, 10, ..., 80.
    stop = clock.find(STOP, after=first)[0]
    assert 45.0 <= stop.t - first.t <= 45.0 + WAIT_TOL
    alive = between(clock, KEEPALIVE, first, stop)
    assert len(alive) == 9
    assert_spacing(alive, 5.0)
    assert clock.read(CURRENT) == cfg("b")
    assert clock.read(HOST_CFG) == cfg("b")
    assert not clock.exists(BOOT_ERROR)
    assert clock.find(r"^fs removed /data/tavrine-app/boot-error", after=written)


@pytest.mark.parametrize("previous", ["identical", "missing"])
def test_nothing_confirms_then_recovery(clock, previous):
    """No second launch of the same text; the failure notice after the 45 s
    wait; the lock free during the recovery wait, which ends when the
    application gets ready late. "missing" runs from outside, with a stale
    ready marker, which the restart must take away, and port 80 busy."""
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2", behaviour="ready_after:60")
    clock.write(CURRENT, cfg("a"))
    if previous == "identical":
        clock.write(PREVIOUS, cfg("a"))
        clock.power_up()
    else:
        clock.power_up(boot=False)
        clock.write(READY, b"a\n1.2\n")
        clock.hold_port80(200)
        r = clock.run([CONTROL, "--start"])
        assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    start = clock.wait_event(START)
    if previous == "missing":
        removed = clock.wait_event(r"^fs removed /tmp/tavrine-ota-ready")
        assert removed.t <= start.t + FS_LAG
        # A slot launch does not wait for port 80.
        assert start.t - clock.find(STOP)[0].t <= 0.7 + TOL
    notice = clock.wait_event(r"^fs replaced /data/tavrine-app/boot-error", timeout=60)
    assert 45.0 <= notice.t - start.t <= 45.0 + WAIT_TOL
    assert notice.text.endswith(BOOT_ERROR_TEXT.decode())
    assert clock.read(BOOT_ERROR) == BOOT_ERROR_TEXT
    released = clock.wait_event(LOCK_RELEASED, after=notice, timeout=5)
    assert released.t - notice.t <= TOL
    assert lock_free(clock)
    assert not clock.find(r"^app-a ready text written")  # still in the recovery wait

    ready = clock.wait_event(r"^app-a ready text written", timeout=30)
    removed = clock.wait_event(r"^fs removed /data/tavrine-app/boot-error", after=ready, timeout=5)
    assert removed.t - ready.t <= 1.0 + TOL + FS_LAG
    alive = between(clock, KEEPALIVE, notice, removed)
    assert len(alive) >= 10
    assert_spacing(alive, 1.0)
    # Only watched: the host was never restarted, "current.cfg" never rewritten.
    assert len(clock.find(START)) == 1
    assert not clock.find(r"^fs replaced /data/tavrine-app/current\.cfg")
    assert clock.read(CURRENT) == cfg("a")
    wait_worker_gone(clock)


# ----- explicit stock choice ---------------------------------------------

def test_stock_choice_and_next_power_up(clock):
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.power_up()
    clock.wait_event(LOCK_RELEASED)
    clock.write(BOOT_ERROR, OLD_NOTICE)

    r = clock.run([CONTROL, "--stock"])
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert clock.read(MARKER) == MARKER_TEXT
    clock.wait_event(r"^stock-app port 80 bound")
    assert clock.read(HOST_CFG) == STOCK_CFG

    # Next power-up: the marker keeps stock, and the stock host now holds
    # port 80, so --stock again must wait for the port to be let go.
    clock.power_off()
    clock.power_up()
    clock.wait_event(r"^stock-app port 80 bound")
    assert clock.read(HOST_CFG) == STOCK_CFG
    assert len(clock.find(START)) == 1
    assert not clock.find(r"^fs .*manufacturer-selected")  # only --stock writes it
    r = clock.run([CONTROL, "--stock"])
    assert r.returncode == 0
    released = clock.wait_event(r"^stock-app port 80 released")
    start = clock.wait_event(START, count=2)
    stop = clock.find(STOP)[1]
    moved = clock.wait_event(r"^fs replaced /tmp/EasyUI\.cfg", after=stop)
    assert released.t <= moved.t + FS_LAG and moved.t <= start.t + FS_LAG
    # The first attempt, 0.7 s after the stop, found the port in use.
    assert len(between(clock, KEEPALIVE, stop, start)) == 1
    assert 1.0 <= start.t - stop.t <= 1.5 + TOL
    clock.wait_event(r"^stock-app port 80 bound", count=2)

    assert worker_status(clock, after=stop) == 0
    # A stock launch neither confirms nor clears anything.
    assert clock.read(CURRENT) == cfg("a")
    assert clock.read(BOOT_ERROR) == OLD_NOTICE
    assert clock.read(MARKER) == MARKER_TEXT


def test_stock_with_port_80_busy_gives_up(clock):
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.power_up()
    clock.wait_event(LOCK_RELEASED)
    clock.hold_port80(200)

    r = clock.run([CONTROL, "--stock"])
    assert r.returncode == 0
    stop = clock.wait_event(STOP, count=2)
    released = clock.wait_event(LOCK_RELEASED, after=stop, timeout=120)
    # 180 attempts 0.5 s apart, keep-alive after attempts 0, 10, ..., 170.
    assert 90.7 <= released.t - stop.t <= 90.7 + 2 * WAIT_TOL
    alive = between(clock, KEEPALIVE, stop, released)
    assert len(alive) == 18
    assert_spacing(alive, 5.0)
    assert 0.7 <= alive[0].t - stop.t <= 0.7 + TOL
    # Counted, not timed: from the keep-alive at attempt 170 the last ten
    # attempts take 5.0 s, where the whole wait's tolerance hides one.
    assert 5.0 <= released.t - alive[-1].t <= 5.0 + TOL
    # Host left stopped with its old configuration, staging file and ready
    # marker left as they were.
    assert len(clock.find(START)) == 1
    assert not clock.find(r"^zkswe started", after=stop)
    assert clock.read(HOST_CFG) == cfg("a")
    assert clock.read(STAGING) == STOCK_CFG
    assert clock.read(READY) == b"a\n1.2\n"
    assert clock.read(MARKER) == MARKER_TEXT
    assert lock_free(clock)
    # The worker's own word for it: 8, a stock launch that did not start.
    assert worker_status(clock, after=stop) == 8


# ----- refusals ---------------------------------------------------------------

BAD_STOCK = {"etc/tavrine-stock.cfg": b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui"}'}

REFUSALS = [
    # (argv, store files, expected exit status)
    pytest.param([], {CURRENT: cfg("a")}, 2, id="no argument"),
    pytest.param(["--start", "--stock"], {CURRENT: cfg("a")}, 2, id="two arguments"),
    pytest.param(["--START"], {CURRENT: cfg("a")}, 2, id="upper case"),
    pytest.param(["--start"], {}, 3, id="empty store"),
    pytest.param(["--start"], {CURRENT: STOCK_CFG, PREVIOUS: STOCK_CFG}, 3, id="stock text only"),
    pytest.param(["--start"], {CURRENT: cfg("a") + b"\0junk"}, 3, id="zero byte"),
    pytest.param(["--start"], {MARKER: MARKER_TEXT, CURRENT: cfg("a")}, 3, id="marker, bad stock",
                 marks=pytest.mark.clock(res_files=BAD_STOCK)),
    pytest.param(["--stock"], {CURRENT: cfg("a")}, 3, id="stock, bad stock",
                 marks=pytest.mark.clock(res_files=BAD_STOCK)),
]


@pytest.mark.parametrize("argv,files,code", REFUSALS)
def test_refusal_touches_nothing(clock, argv, files, code):
    clock.require("tavrine-boot-control")
    clock.install_slot("a", "1.2")
    for path, data in files.items():
        clock.write(path, data)
    clock.power_up(boot=False)
    store, tmp = clock.store(), sorted(os.listdir(clock.path("/tmp")))
    r = clock.run([CONTROL, *argv], timeout=10)
    assert (r.returncode, r.stdout, r.stderr) == (code, b"", b"")
    assert clock.store() == store
    assert sorted(os.listdir(clock.path("/tmp"))) == tmp  # not even the lock file
    assert control_events(clock) == []


def test_stock_marker_unwritable(clock):
    clock.require("tavrine-boot-control")
    clock.power_up(boot=False)
    clock.path(MARKER + ".next").symlink_to("elsewhere")
    r = clock.run([CONTROL, "--stock"], timeout=10)
    assert (r.returncode, r.stdout, r.stderr) == (5, b"", b"")
    assert not clock.exists(MARKER) and not clock.exists(f"{STORE}/elsewhere")
    assert control_events(clock) == []
    assert lock_free(clock)


def hold_lock(clock):
    clock.spawn(["/usr/bin/flock", LOCK, "/usr/bin/sleep", "1000"])
    clock.wait_file(LOCK)
    for _ in range(100):
        if not lock_free(clock):
            return
        time.sleep(0.02)
    pytest.fail("the lock could not be taken")


LOCK_OBSTACLES = {
    "held": hold_lock,
    "symlink": lambda clock: os.symlink("/tmp/elsewhere", clock.path(LOCK)),
    "fifo": lambda clock: os.mkfifo(clock.path(LOCK)),
}


@pytest.mark.parametrize("argv", [["--start"], ["--stock"]], ids=["start", "stock"])
@pytest.mark.parametrize("obstacle", LOCK_OBSTACLES)
def test_switch_lock_unavailable(clock, obstacle, argv):
    clock.require("tavrine-boot-control")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    clock.power_up(boot=False)
    LOCK_OBSTACLES[obstacle](clock)
    store = clock.store()
    r = clock.run([CONTROL, *argv], timeout=10)
    assert (r.returncode, r.stdout, r.stderr) == (4, b"", b"")
    assert clock.store() == store  # no stock-choice marker either
    assert control_events(clock) == []
    if obstacle == "symlink":
        assert not clock.exists("/tmp/elsewhere")


# ----- the boot hook ------------------------------------------------------------

@pytest.mark.parametrize("fault", ["control missing", "setprop fails", "host interrupted"])
@pytest.mark.clock(squashfs=False)
def test_hook_carries_on(clock, fault):
    clock.require("tavrine-boot-control", "libtavrine-boot.so")
    clock.install_slot("a", "1.2")
    clock.write(CURRENT, cfg("a"))
    if fault == "control missing":
        (clock.res_tree / "bin" / "tavrine-boot-control").unlink()
    elif fault == "setprop fails":
        clock.fail_setprop("sys.zkapp.state", "running")
    else:
        # Timer signals without SA_RESTART: the waits must outlast them.
        clock.tick_host(1)
    store = clock.store()
    clock.power_up()
    returned = clock.wait_event(INIT_RETURNED)
    assert int(re.search(r"-?\d+$", returned.text).group()) > 0
    assert not clock.find(r"^zkswe onEasyUIInit left a child")
    if fault == "host interrupted":
        ticks = clock.wait_event(r"^zkswe \d+ timer signals during onEasyUIInit")
        assert int(ticks.text.split()[0]) > 0
    prop = clock.find(r"^zkswe setprop sys\.zkapp\.state running")
    assert len(prop) == 1 and prop[0].seq < returned.seq
    if fault == "control missing":
        # The host goes on with its own configuration; nothing else happens.
        clock.wait_event(r"^zkswe onStartupApp returned 0")
        assert control_events(clock) == []
        assert clock.read(HOST_CFG) != cfg("a")
        assert clock.store() == store
        assert not clock.exists(LOCK)
    else:
        assert re.search(r"-> [1-9]" if fault == "setprop fails" else r"-> 0$", prop[0].text)
        clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=10)
        assert clock.read(HOST_CFG) == cfg("a")


# ----- the library as the host sees it ---------------------------------------

def test_hook_library_exports_and_needs():
    lib = Path(os.environ.get("TAVRINE_BUILD", DEFAULT_BUILD)) / "boot-hook" / "libtavrine-boot.so"
    if not lib.exists():
        pytest.skip(f"not built yet: {lib}")
    dynamic = subprocess.run(["readelf", "-dW", str(lib)], check=True, capture_output=True, text=True).stdout
    assert re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic) == ["libc.so.6"]
    assert re.findall(r"\(SONAME\).*\[(.*)\]", dynamic) == ["libtavrine-boot.so"]
    exported = subprocess.run(["nm", "-D", "--defined-only", str(lib)], check=True,
                              capture_output=True, text=True).stdout.split()[2::3]
    assert sorted(exported) == ["onEasyUIDeinit", "onEasyUIInit", "onStartupApp"]
    symbols = subprocess.run(["nm", str(lib)], check=True, capture_output=True, text=True).stdout
    assert "_GLOBAL__sub_I" not in symbols  # no static constructors
    # Writable data of our own; the rest belongs to the C run-time start files.
    toolchain = {"completed.0", "__dso_handle", "__TMC_END__", "_DYNAMIC", "_GLOBAL_OFFSET_TABLE_",
                 "__frame_dummy_init_array_entry", "__do_global_dtors_aux_fini_array_entry"}
    data = {line.split()[-1] for line in symbols.splitlines() if re.match(r"^\S+ [bBdD] ", line)}
    assert data <= toolchain, data - toolchain
