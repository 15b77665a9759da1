"""Memory and descriptor hygiene under valgrind: in one representative run
of each transaction, every process of the program (command and worker)
runs under memcheck with --track-fds=all and must end with no error (no
invalid access, no use of uninitialised memory, no leak) and with no
descriptor of its own still open beyond those the design keeps. The boot
hook library is checked the same way through a stand-in host.

The programs are the normal build's, run through the clock's wrap= prefix;
valgrind follows the forked worker and writes one log per process. What a
process inherited, and the descriptor libfaketime opens in every process,
are not the program's own. The guard's worker never ends: its descriptors
are read from /proc while it lives, then it is ended by SIGTERM, after
which valgrind writes its summary. Slow: valgrind, at a modest clock speed.
"""

import os
import re
import shutil
import time
from collections import namedtuple

import pytest

from clockfixture import clock_skip_reason
from simclock import DEFAULT_BUILD, DEFAULT_PRODUCT, STOCK_CFG, SimClock

# "all": also descriptors 0 to 2, which a worker that closed them reuses first.
# Valgrind keeps its own descriptors at the top of the range: with a limit of
# 4096 they stay clear of the program's 0 to 1023 (the workers close 0 to
# 1023 wholesale).
# No gdbserver: nothing attaches, and its FIFOs and polling are moving parts
# the run does not need.
VALGRIND = ["/bin/sh", "-c", 'ulimit -n 4096 && exec "$@"', "sh",
            "/usr/bin/valgrind", "--vgdb=no", "--track-fds=all", "--leak-check=full", "--log-file=/run/sim/valgrind.%p"]
SPEED = 5
STORE = "/data/tavrine-app"
HOST_CFG = "/tmp/EasyUI.cfg"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
IMAGE = f"{INSTALL_DIR}/res.squashfs"
INSTALL_LOCK = "/tmp/tavrine-install.lock"
SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock"
WORKSPACE = "/run/sim/workspace"
RECORD = f"{STORE}/install-result.json"
LOADER = "/run/sim/hook-loader"
OWN_RANGE = 1024

pytestmark = pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind not installed")

Log = namedtuple("Log", "pid parent finished errors own text")


def read_logs(clock):
    """{pid: Log} of every valgrind log of the clock. `own`: paths of the
    descriptors open at exit that the program opened itself."""
    logs = {}
    for path in clock.run_dir.glob("valgrind.*"):
        text = path.read_text(errors="replace")
        parent = re.search(r"Parent PID: (\d+)", text)
        if parent is None:
            continue  # still being started
        errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
        own = []
        for fd, target, block in re.findall(r"^==\d+== Open (?:file descriptor|\S+ socket) (\d+): ?(.*)\n"
                                             r"((?:==\d+==  +\S.*\n)*)", text, re.M):
            if "<inherited from parent>" not in block and "libfaketime" not in block:
                own.append(target)
        pid = int(path.suffix[1:])
        logs[pid] = Log(pid, int(parent.group(1)), errors is not None,
                        int(errors.group(1)) if errors else None, sorted(own), text)
    return logs


def roles(logs):
    """(command log, [worker logs]): the command is the one whose parent ran
    natively; its workers are its children that ran to an end under valgrind
    (the others exec'd a property command and left valgrind at once)."""
    commands = [log for log in logs.values() if log.parent not in logs]
    assert len(commands) == 1, [log.text for log in logs.values()]
    command = commands[0]
    return command, [log for log in logs.values() if log.parent == command.pid and log.finished]


def wait_logs(clock, workers, timeout=60.0):
    """Waits until the command and `workers` of its children have ended."""
    end = time.monotonic() + timeout
    while True:
        logs = read_logs(clock)
        if logs:
            command, ended = roles(logs)
            if command.finished and len(ended) >= workers:
                return command, ended
        assert time.monotonic() < end, "\n".join(log.text for log in logs.values()) + clock.timeline(last=40)
        time.sleep(0.2)


def session_leader(clock, logs, parent):
    """In-clock pid of the detached worker: the child that made its own session."""
    for log in logs.values():
        stat = clock.read(f"/proc/{log.pid}/stat")
        if log.parent == parent and stat and int(stat.rsplit(b")", 1)[1].split()[3]) == log.pid:
            return log.pid
    return None


def descriptors(clock, pid):
    """Targets of the program's own open descriptors, sorted."""
    fds = clock.path(f"/proc/{pid}/fd")
    targets = []
    for n in os.listdir(fds):
        if int(n) < OWN_RANGE:
            try:
                targets.append(os.readlink(fds / n))
            except FileNotFoundError:
                pass  # closed since the listing: a property command's pipe
    return sorted(targets)


def settled_descriptors(clock, pid, expected, timeout=60):
    """The descriptors once they equal expected, or as they are after the
    timeout: a worker that polls holds a property read's pipe pair for a
    moment, which one sample may catch. The timeout is long because a
    loaded machine has once held a worker inside fork under valgrind for
    over 10 s; a leaked descriptor never leaves, so it still fails."""
    end = time.monotonic() + timeout
    while descriptors(clock, pid) != expected and time.monotonic() < end:
        time.sleep(0.1)
    return descriptors(clock, pid)


def where(clock, pid):
    """Where a process is, for a failure message: its state, the kernel
    function it waits in, and its children."""
    stat = clock.read(f"/proc/{pid}/stat") or b""
    wchan = clock.read(f"/proc/{pid}/wchan") or b""
    children = clock.read(f"/proc/{pid}/task/{pid}/children") or b""
    return (f"state {stat.rsplit(b')', 1)[-1].split()[:1]}, wchan {wchan.decode()!r}, "
            f"children {children.decode().split()}\n" + clock.timeline(last=20))


def host_on(clock, cfg):
    clock.write(HOST_CFG, cfg)
    assert clock.run(["/bin/setprop", "ctl.start", "zkswe"]).returncode == 0
    clock.wait_event(r"^zkswe onStartupApp returned")


# ----- transactions -------------------------------------------------------------

def power_up_confirmed(clock):
    clock.install_slot("a", "1.2")
    clock.write(f"{STORE}/current.cfg", SimClock.slot_cfg("a"))
    clock.power_up()
    clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg", timeout=120)


def stock_choice(clock):
    clock.install_slot("a", "1.2")
    clock.power_up(boot=False)
    host_on(clock, SimClock.slot_cfg("a"))
    assert clock.run(["/res/bin/tavrine-boot-control", "--stock"], timeout=120).returncode == 0
    clock.wait_event(r"^stock-app port 80 bound", timeout=120)


def slot_switch(behaviour, result):
    def run(clock):
        clock.install_slot("b", "1.4", behaviour=behaviour)
        clock.power_up(boot=False)
        host_on(clock, STOCK_CFG)
        assert clock.run(["/res/bin/tavrine-ota-switch", "b", "1.4"], timeout=120).returncode == 0
        clock.wait_file(f"{STORE}/result", result, timeout=180)
    return run


def guarded_install(clock):
    clock.install_slot("a", "1.0")
    clock.power_up(boot=False)
    host_on(clock, SimClock.slot_cfg("a"))
    assert clock.run(["/bin/setprop", "ctl.start", "hciattach"]).returncode == 0
    clock.write(f"{INSTALL_DIR}/run-id", b"0123456789abcdef" * 2)
    clock.write(IMAGE, clock.make_res_image({"ui/new.txt": b"new\n"}).read_bytes())
    r = clock.run(["/bin/tavrine-install-guard", "--watch"], env_workspace=True, timeout=120)
    assert r.returncode == 0
    clock.wait_file(f"{INSTALL_DIR}/guard-ready", timeout=120)
    logs = read_logs(clock)
    command, _ = roles(logs)
    worker = session_leader(clock, logs, command.pid)
    assert worker is not None
    watching = sorted(["/dev/null"] * 3 + [IMAGE, INSTALL_LOCK, SWITCH_LOCK, WORKSPACE])
    assert settled_descriptors(clock, worker, watching) == watching, where(clock, worker)

    clock.upgrader(IMAGE, duration=0.5)
    clock.wait_file(RECORD, timeout=120)
    kept = sorted(["/dev/null"] * 3 + [INSTALL_LOCK, WORKSPACE])
    # The switch lock goes right after the record.
    assert settled_descriptors(clock, worker, kept) == kept, where(clock, worker)
    assert b'"phase":"write_verified"' in clock.read(RECORD)
    assert clock.run(["/usr/bin/kill", "-TERM", str(worker)]).returncode == 0


def loader_path():
    return DEFAULT_BUILD / "tests" / "sanitize" / "hook-loader"


def boot_hook(clock):
    shutil.copy2(loader_path(), clock.run_dir / "hook-loader")
    clock.power_up(boot=False)
    r = clock.run(VALGRIND + [LOADER, "/res/lib/libtavrine-boot.so"], timeout=120)
    assert r.returncode == 0 and re.fullmatch(rb"init [1-9]\d* startup 0 deinit\n", r.stdout), r


# name: (program run under valgrind, transaction, {role: own descriptors open at exit})
TRANSACTIONS = {
    "power-up into a slot, confirmed": ("tavrine-boot-control", power_up_confirmed, {"command": [], "worker": []}),
    "stock choice": ("tavrine-boot-control", stock_choice, {"command": [], "worker": []}),
    "slot switch confirmed": ("tavrine-ota-switch", slot_switch("ready", b"confirmed"),
                              {"command": [], "worker": []}),
    "slot switch rolled back": ("tavrine-ota-switch", slot_switch("never", b"rolled_back"),
                                {"command": [], "worker": []}),
    # The worker is ended by SIGTERM after its record: it still holds its lock.
    "guarded install to the record": ("tavrine-install-guard", guarded_install,
                                      {"command": [], "worker": sorted(["/dev/null"] * 3 + [INSTALL_LOCK])}),
    "boot hook in a stand-in host": ("libtavrine-boot.so", boot_hook, {"command": []}),
}


@pytest.mark.parametrize("name", TRANSACTIONS)
def test_valgrind_clean(tmp_path, name):
    program, transaction, expected = TRANSACTIONS[name]
    if DEFAULT_PRODUCT:
        pytest.skip("valgrind checks the normal build's product, not a sanitized one")
    if program == "libtavrine-boot.so" and not loader_path().exists():
        pytest.skip(f"not built: {loader_path()}")
    reason = clock_skip_reason()
    if reason:
        pytest.skip(reason)
    wrap = {} if program == "libtavrine-boot.so" else {program: VALGRIND}
    with SimClock(tmp_path, speed=SPEED, wrap=wrap) as clock:
        clock.require(program)
        try:
            transaction(clock)
            command, workers = wait_logs(clock, workers=len(expected) - 1)
        except BaseException:
            print(clock.timeline())
            raise
    found = {"command": command.own, **({"worker": workers[0].own} if workers else {})}
    assert found == expected
    assert len(workers) == len(expected) - 1
    for log in [command] + workers:
        assert log.errors == 0, log.text
