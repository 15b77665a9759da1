"""What a power cut may leave on the clock, and how a power-cycled clock ends.

Shared by the cut runner (crash at every step, failing calls) and the soak.
Stable interface:

- TRANSACTIONS: {name: Transaction}; each prepares a clock, runs one
  transaction of the product and says which contents every store file may
  hold while it runs or after it was cut (`leaves(clock, ctx)`).
- check_store(clock, leaves, before, store=None) -> [problem]: every file
  whole, one of the contents `leaves` allows; the files it does not name as
  in `before` (a clock.store() snapshot taken before the transaction).
- check_whole(clock, store=None) -> [problem]: the history-free checks
  (state word, notices, configurations parse, no ".next" in place of its
  target). Both look at `store` when given (e.g. the store as a power-up
  found it), else at clock.store() now.
- settle(clock, timeout=60) -> state: after a power-up with the real boot
  chain, waits until the clock runs what the store names ("stock", "slot a",
  "slot b") or sits in a documented failure state ("boot-error",
  "no-configuration"); raises AssertionError with the timeline otherwise.
- power_cycle(clock): power off (if on) and up with the real boot chain.
- chosen(clock), ready_text(clock, cfg), record(...), install_records(size),
  slot_cfg(slot): what the store names, and the exact contents compared.
"""

import json
import time
from collections import namedtuple

from simclock import PLATFORM_CFG, STOCK_CFG

STORE = "/data/tavrine-app"
HOST_CFG = "/tmp/EasyUI.cfg"
READY_MARKER = "/tmp/tavrine-ota-ready"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
GUARD = "/bin/tavrine-install-guard"
SWITCH = "/res/bin/tavrine-ota-switch"
BOOT_CONTROL = "/res/bin/tavrine-boot-control"

STATE_WORDS = (b"prepare_failed", b"pending", b"confirmed", b"rolled_back")
BOOT_ERROR_TEXT = b"Tavrine startup failed. Keep the clock powered and contact support.\n"
STOCK_MARKER_TEXT = b"Selected explicitly in Tavrine WebUI\n"
RUN_ID = b"0123456789abcdef" * 2
NEW_FILE = ("ui/new.txt", b"resources of the new image\n")
# Whole, but fails the slot rule: slot a's library with slot b's resources.
BROKEN_CFG = b'{"startupLibPath":"/data/tavrine-app/a/lib/libzkgui.so","resPath":"/data/tavrine-app/b/ui/"}'
ABSENT = None

# The files a transaction writes; anything else in the store (slot folders
# aside) must stay as it was.
DURABLE = ("current.cfg", "previous.cfg", "result", "manufacturer-selected", "boot-error",
           "install-result.json")


def slot_cfg(slot):
    return (f'{{"startupLibPath":"{STORE}/{slot}/lib/libzkgui.so",'
            f'"resPath":"{STORE}/{slot}/ui/"}}').encode()


def record(phase, size, written, remounted, restored, restarted, run_id=RUN_ID.decode()):
    """The install record, byte for byte as the guard serialises it."""
    flag = {True: "true", False: "false"}
    return (f'{{"app_restart_requested":{flag[restarted]},"phase":"{phase}",'
            f'"resources_remounted":{flag[remounted]},"resume_restored":{flag[restored]},'
            f'"run_id":"{run_id}","schema":1,"verified_size":{size},'
            f'"write_verified":{flag[written]}}}\n').encode()


def install_records(size):
    """The records a verified write may end in: done, or stopped at one of
    the steps after the readback (a failing call there)."""
    return (record("write_verified", size, True, True, True, True),
            record("app_start_failed", size, True, True, True, False),
            record("app_config_restore_failed", size, True, True, False, False),
            record("resource_mount_failed", size, True, False, False, False),
            record("resource_unmount_failed", size, True, False, False, False),
            record("service_stop_failed", size, True, False, False, False))


# ----- the transactions ---------------------------------------------------

Transaction = namedtuple("Transaction", "program at_power_up prepare start done leaves")
Transaction.__doc__ = """program: the product program the cut tool wraps;
at_power_up: the transaction is the power-up itself (start() does nothing);
prepare(clock, ctx): store and clock set-up, leaves the clock powered up
unless at_power_up; start(clock, ctx): begin the transaction (after the cut
plan is in place); done(clock, ctx): wait for its clean end;
leaves(clock, ctx) -> {store file: tuple of allowed contents, ABSENT = may be
missing}; files not named must be absent or unchanged."""


def _slots(clock, b="ready", b_cfg=True):
    clock.install_slot("a", "1.0")
    clock.install_slot("b", "2.0", behaviour=b, write_cfg=b_cfg)


def _running_a(clock, ctx):
    clock.write(f"{STORE}/current.cfg", slot_cfg("a"))
    clock.power_up()
    clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg")
    clock.wait_file(READY_MARKER, b"a\n1.0\n")
    ctx["before"] = clock.store()


def _prepare_boot_slot(clock, ctx):
    _slots(clock)
    clock.write(f"{STORE}/current.cfg", slot_cfg("a"))


def _prepare_boot_previous(clock, ctx):
    _slots(clock)
    clock.write(f"{STORE}/current.cfg", BROKEN_CFG)
    clock.write(f"{STORE}/previous.cfg", slot_cfg("a"))
    # Left by the power-up that failed before; the launch must remove it.
    clock.write(f"{STORE}/boot-error", BOOT_ERROR_TEXT)


def _prepare_switch(b, b_cfg):
    def prepare(clock, ctx):
        _slots(clock, b, b_cfg)
        _running_a(clock, ctx)
    return prepare


def _prepare_guard(clock, ctx):
    _slots(clock)
    # One image per clock: mksquashfs costs more than a whole cut.
    if not hasattr(clock, "power_test_image"):
        clock.power_test_image = clock.make_res_image({NEW_FILE[0]: NEW_FILE[1]}).read_bytes()
    image = ctx["image"] = clock.power_test_image
    _running_a(clock, ctx)
    clock.write(f"{INSTALL_DIR}/run-id", RUN_ID)
    clock.write(f"{INSTALL_DIR}/res.squashfs", image)


def _nothing(clock, ctx):
    pass


def _run(argv, **kw):
    def start(clock, ctx):
        ctx["returncode"] = clock.run(argv, **kw).returncode
    return start


def _start_guard(clock, ctx):
    ctx["returncode"] = clock.run([GUARD, "--watch"], env_workspace=True).returncode
    # The platform's upgrader starts once the guard announced itself; it is
    # not ours to cut, so it always finishes before the power goes.
    # The worker announces itself within a few device seconds or never.
    end = time.monotonic() + 3 / clock.speed + 0.5
    while clock.read(f"{INSTALL_DIR}/guard-ready") != RUN_ID:
        if ctx["returncode"] != 0 or time.monotonic() > end:
            return
        time.sleep(0.02)
    up = clock.upgrader(f"{INSTALL_DIR}/res.squashfs", duration=0.5)
    clock.wait_event(r"^upgrader sys\.zkupgrade\.state = 0$", timeout=30)
    ctx["upgrader"] = up


def _wait(pattern, timeout=30):
    def done(clock, ctx):
        clock.wait_event(pattern, timeout=timeout)
    return done


def _wait_result(word, timeout=90):
    def done(clock, ctx):
        clock.wait_file(f"{STORE}/result", word, timeout=timeout)
    return done


def _switch_leaves(current):
    def leaves(clock, ctx):
        return {"current.cfg": current, "previous.cfg": (ABSENT, slot_cfg("a")),
                "result": (ABSENT,) + STATE_WORDS}
    return leaves


TRANSACTIONS = {
    "boot-slot": Transaction(
        "tavrine-boot-control", True, _prepare_boot_slot, _nothing,
        _wait(r"^fs replaced /data/tavrine-app/current\.cfg"),
        lambda clock, ctx: {"current.cfg": (slot_cfg("a"),), "boot-error": (ABSENT, BOOT_ERROR_TEXT)}),
    "boot-previous": Transaction(
        "tavrine-boot-control", True, _prepare_boot_previous, _nothing,
        _wait(r"^fs replaced /data/tavrine-app/current\.cfg"),
        lambda clock, ctx: {"current.cfg": (BROKEN_CFG, slot_cfg("a")),
                            "previous.cfg": (slot_cfg("a"),), "boot-error": (ABSENT, BOOT_ERROR_TEXT)}),
    "stock": Transaction(
        "tavrine-boot-control", False, _prepare_switch("ready", True), _run([BOOT_CONTROL, "--stock"]),
        _wait(r"^stock-app port 80 bound$"),
        lambda clock, ctx: {"current.cfg": (slot_cfg("a"),),
                            "manufacturer-selected": (ABSENT, STOCK_MARKER_TEXT)}),
    "switch-confirmed": Transaction(
        "tavrine-ota-switch", False, _prepare_switch("ready", True), _run([SWITCH, "b", "2.0"]),
        _wait_result(b"confirmed"), _switch_leaves((slot_cfg("a"), slot_cfg("b")))),
    "switch-rolled-back-after-wait": Transaction(
        "tavrine-ota-switch", False, _prepare_switch("never", True), _run([SWITCH, "b", "2.0"]),
        _wait_result(b"rolled_back"), _switch_leaves((slot_cfg("a"),))),
    "switch-rolled-back-at-once": Transaction(
        "tavrine-ota-switch", False, _prepare_switch("ready", False), _run([SWITCH, "b", "2.0"]),
        _wait_result(b"rolled_back"), _switch_leaves((slot_cfg("a"),))),
    "guard-install": Transaction(
        "tavrine-install-guard", False, _prepare_guard, _start_guard,
        _wait(r"^fs replaced /data/tavrine-app/install-result\.json", timeout=60),
        lambda clock, ctx: {"current.cfg": (slot_cfg("a"),),
                            "install-result.json": (ABSENT,) + install_records(len(ctx["image"]))}),
}


# ----- checks -------------------------------------------------------------

def _load(data):
    try:
        return json.loads(data)
    except (ValueError, UnicodeDecodeError):
        return None


def check_whole(clock, store=None):
    """Checks that hold after any history: the state word, the notices and
    the configurations are whole. A leftover ".next" is harmless: no reader
    opens one, and the next writer truncates it. store: a clock.store()
    taken earlier (default: now)."""
    problems = []
    store = clock.store() if store is None else store
    result = store.get("result")
    if result is not None and result not in STATE_WORDS:
        problems.append(f"result holds {result!r}")
    for name, text in (("boot-error", BOOT_ERROR_TEXT), ("manufacturer-selected", STOCK_MARKER_TEXT)):
        if name in store and store[name] != text:
            problems.append(f"{name} holds {store[name]!r}")
    for name in ("current.cfg", "previous.cfg", "install-result.json"):
        if name in store and not isinstance(_load(store[name]), dict):
            problems.append(f"{name} is not a whole document: {store[name][:80]!r}")
    return problems


def check_store(clock, leaves, before, store=None):
    """Every durable file absent or one of its allowed contents, whole; any
    file the transaction does not write as it was in `before`. store: a
    clock.store() taken earlier (default: now)."""
    problems = []
    store = clock.store() if store is None else store
    # A file the transaction must leave is checked even when it is absent
    # both before and after.
    for name in sorted(set(store) | set(before) | set(leaves)):
        if name.endswith(".next"):
            continue
        data = store.get(name)
        if name in leaves:
            allowed = leaves[name]
        elif name in DURABLE or "/" not in name:
            allowed = (before.get(name),)
        else:
            continue
        if data not in allowed:
            problems.append(f"{name} holds {data!r}, allowed {allowed!r}")
    return problems


def chosen(clock):
    """What the store names for the next power-up: "stock", "slot a",
    "slot b" or None (no valid configuration)."""
    store = clock.store()
    if "manufacturer-selected" in store:
        return "stock"
    for name in ("current.cfg", "previous.cfg"):
        slot = _slot_of(store.get(name))
        if slot and clock.exists(f"{STORE}/{slot}/lib/libzkgui.so"):
            return f"slot {slot}"
    return None


def _slot_of(data):
    doc = _load(data) if data is not None else None
    if not isinstance(doc, dict):
        return None
    for s in ("a", "b"):
        if doc.get("startupLibPath") == f"{STORE}/{s}/lib/libzkgui.so" and doc.get("resPath") == f"{STORE}/{s}/ui/":
            return s
    return None


def ready_text(clock, cfg):
    doc = _load(cfg) if cfg is not None else None
    if not isinstance(doc, dict):
        return None
    for s in ("a", "b"):
        if doc.get("startupLibPath") == f"{STORE}/{s}/lib/libzkgui.so":
            manifest = _load(clock.read(f"{STORE}/{s}/manifest.json") or b"")
            if isinstance(manifest, dict) and isinstance(manifest.get("version"), str):
                return f"{s}\n{manifest['version']}\n".encode()
            return None
    return None


def _state(clock):
    """The settled state of the clock now, or None while it moves."""
    store = clock.store()
    host = clock.read(HOST_CFG)
    if "manufacturer-selected" in store:
        if host == STOCK_CFG and clock.find(r"^stock-app port 80 bound$"):
            return "stock"
        return None
    if store.get("boot-error") == BOOT_ERROR_TEXT and clock.find(r"^fs (replaced|written) /data/tavrine-app/boot-error"):
        return "boot-error"
    current = store.get("current.cfg")
    expected = ready_text(clock, current)
    if (expected and host == current and clock.read(READY_MARKER) == expected
            and "boot-error" not in store
            and clock.find(r"^fs replaced /data/tavrine-app/current\.cfg")):
        return f"slot {_slot_of(current)}"
    return None


def settle(clock, timeout=60.0):
    """Wait until the powered-up clock runs what its store names or sits in a
    documented failure state; returns that state."""
    end = time.monotonic() + timeout / clock.speed * 1.25 + 5
    quiet_since = None
    while True:
        state = _state(clock)
        if state is not None:
            return state
        # Nothing valid to launch: the boot control ends at once and the
        # host stays on the platform's start configuration.
        if (chosen(clock) is None and clock.read(HOST_CFG) == PLATFORM_CFG
                and clock.find(r"^zkswe onEasyUIInit returned")
                and not clock.find(r"^tavrine-boot-control setprop")):
            quiet_since = quiet_since or time.monotonic()
            if time.monotonic() - quiet_since > 3 / clock.speed + 0.5:
                return "no-configuration"
        else:
            quiet_since = None
        if time.monotonic() > end:
            raise AssertionError(f"clock did not settle (store names {chosen(clock)}):\n"
                                 + clock.timeline(last=60))
        time.sleep(0.05)


def power_cycle(clock):
    if clock.powered:
        clock.power_off()
    clock.power_up()
