#!/usr/bin/env python3
"""Soak: seeded random histories on one simulated clock each.

A history is a run of events: power-ups, deliveries into the slots (good
apps, apps that never get ready, apps that write a wrong text), slot
switches, the stock choice and guarded installs (good, failing, corrupt and
hanging upgrader), each product event possibly cut by a power loss at a
random moment. After every event the clock is compared with a small model
of what the documented behaviour lets it hold:

- every file of the store is absent or whole one of the contents the event
  may leave (old or new), "result" a state word or its old content, and no
  ".next" file stands in for its target;
- a settled clock runs what the model says (an application whose ready text
  matches what the store names, the stock application, or the documented
  failure state), with the recovery wait and the install worker alive
  exactly when they should be;
- the install record, when present, is the one of the last install that
  ended;
- "/res" is mounted and holds one whole image, the old or the new.

Each event draws from its own random stream (seed and index); what it is
drawn as also depends on the model's state, which after a power cut is what
the cut left, and where a cut lands depends on timing. So a failing seed
reruns the same events up to its first cut, and beyond it where the cuts
land alike.
The store checks that hold after any history, and what a cut may leave in
each file, are those of the power tests (invariants.py).

    tests/power/soak.py [--histories N] [--events N] [--first S] [--seed S] [--speed X] [--short]
"""

import argparse
import copy
import json
import os
import random
import re
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

from simclock import PLATFORM_CFG, STOCK_CFG, SimClock, missing_capabilities, missing_emulators, session_of  # noqa: E402
from invariants import BOOT_ERROR_TEXT as NOTICE, STOCK_MARKER_TEXT as STOCK_CHOICE  # noqa: E402
from invariants import check_store, check_whole, record  # noqa: E402

STORE = "/data/tavrine-app"
FILES = ("current.cfg", "previous.cfg", "result", "install-result.json", "manufacturer-selected", "boot-error")

BOOT = "/res/bin/tavrine-boot-control"
SWITCH = "/res/bin/tavrine-ota-switch"
GUARD = "/bin/tavrine-install-guard"
HOST_CFG = "/tmp/EasyUI.cfg"
MARKER = "/tmp/tavrine-ota-ready"
SWITCH_LOCK = "/tmp/tavrine-ota-switch.lock"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
IMAGE_ID = "etc/soak-image"
IMAGES = 3
FIGURES = ("events", "cuts", "cuts in flight", "reflashes", "recovery waits", "switches confirmed",
           "switches rolled back", "installs verified", "installs failed", "installs refused")

# The short soak of scripts/test: seeds whose histories between them cut
# launches, switches and installs in flight, enter the recovery wait,
# verify, fail and refuse installs and restore a corrupt flash.
SHORT_SEEDS, SHORT_EVENTS = (4, 7, 13), 15

RECOVERY_POLL = 1.0  # device seconds between two looks of the recovery wait
READY_WAIT = 45.0
GUARD_LIMIT = 300.0


class Failure(Exception):
    """The clock left what the model does not allow."""


class Cut(Exception):
    """The moment drawn for the power loss has come."""


# ---- The model: what the documented behaviour lets the clock hold --------

def slot_of(cfg, resources=True):
    """The slot a configuration names (library and, with resources, the
    resource folder), or None."""
    try:
        doc = json.loads(cfg)
        lib = doc["startupLibPath"]
        res = doc["resPath"] if resources else None
    except (TypeError, ValueError, KeyError):
        return None
    for s in "ab":
        if lib == f"{STORE}/{s}/lib/libzkgui.so" and (not resources or res == f"{STORE}/{s}/ui/"):
            return s
    return None


class Model:
    """Store, flash and, while powered, what runs. `writes` collects the
    store writes of the event under way: a cut may leave any of them."""

    def __init__(self):
        self.store = dict.fromkeys(FILES)
        self.slots = {}  # slot -> (version, behaviour)
        self.flash = 0  # image whole at the flash's start, None for neither
        self.good = 0  # the last image whole on the flash
        self.writes = []
        self.took = 0.0  # device seconds the event should take
        self.off()

    def off(self):
        self.powered = False
        self.tmp_cfg = self.host = self.marker = None
        self.waiter = self.guard = False
        self.upgrade_state = "-1"
        self.res = None
        self.res_stale = False  # the flash was rewritten under the mount

    def put(self, name, value):
        self.store[name] = value
        self.writes.append((name, value))
        self.end_wait()

    def ready_text(self, cfg):
        """The ready text the boot control expects for a configuration."""
        s = slot_of(cfg, resources=False)
        if s is None or s not in self.slots:
            return None
        return f"{s}\n{self.slots[s][0]}\n".encode()

    def valid(self, cfg):
        s = slot_of(cfg)
        return s is not None and s in self.slots

    def app_text(self, cfg):
        """What the application a configuration starts writes as its ready text."""
        s = slot_of(cfg)
        if s is None or s not in self.slots:
            return None
        version, behaviour = self.slots[s]
        return {"ready": f"{s}\n{version}\n".encode(), "wrong": f"{s}\n{version}".encode()}.get(behaviour)

    def end_wait(self):
        """The recovery wait ends once the marker holds the ready text of
        what "current.cfg" names at that moment."""
        if self.waiter and self.marker is not None and self.marker == self.ready_text(self.store["current.cfg"]):
            self.waiter = False
            self.put("boot-error", None)

    def host_start(self, cfg, launch):
        """The host restarted on cfg. A launch (boot control, slot switch)
        removes the marker first; the guard's restart leaves it."""
        if cfg == PLATFORM_CFG:
            # The hook's boot control would race the switch for its lock.
            raise Failure("model: a host start on the platform configuration is not modelled")
        self.host = cfg
        text = self.app_text(cfg)
        if launch or text is not None:
            self.marker = text
        self.end_wait()

    # Events --------------------------------------------------------------

    def power_up(self):
        self.off()
        self.powered = True
        self.tmp_cfg = self.host = PLATFORM_CFG
        self.res = self.flash
        self.took += 3.0
        self.boot()

    def boot(self):
        """The boot hook's "--start"."""
        stock = self.store["manufacturer-selected"] is not None
        if stock:
            text = STOCK_CFG
        else:
            text = self.store["current.cfg"]
            if not self.valid(text):
                text = self.store["previous.cfg"]
            if not self.valid(text):
                return  # refused: the host stays on the hook library
        self.launch(text)
        if stock:
            return
        if self.confirmed(text):
            return self.confirm(text)
        self.took += READY_WAIT if self.ready_text(text) else 0
        previous = self.store["previous.cfg"]
        if previous != text and self.valid(previous):
            self.launch(previous)
            if self.confirmed(previous):
                return self.confirm(previous)
            self.took += READY_WAIT
        self.put("boot-error", NOTICE)
        self.waiter = True
        self.end_wait()

    def launch(self, text):
        self.took += 3.0
        self.tmp_cfg = text
        self.host_start(text, launch=True)

    def confirmed(self, text):
        return self.marker is not None and self.marker == self.ready_text(text)

    def confirm(self, text):
        self.put("current.cfg", text)
        self.put("boot-error", None)

    def switch(self, slot, version):
        self.took += 3.0
        snapshot = self.tmp_cfg
        self.put("previous.cfg", snapshot)
        self.put("result", b"pending")
        cfg = SimClock.slot_cfg(slot) if slot in self.slots else None
        if cfg is not None:
            self.tmp_cfg = cfg
        self.host_start(self.tmp_cfg, launch=True)
        if cfg is not None and self.marker == f"{slot}\n{version}\n".encode():
            self.put("current.cfg", self.tmp_cfg)
            self.put("result", b"confirmed")
            return 0
        self.took += READY_WAIT if cfg is not None else 0
        self.tmp_cfg = snapshot
        self.host_start(snapshot, launch=True)
        self.put("current.cfg", snapshot)
        self.put("result", b"rolled_back")
        return 0

    def choose_stock(self):
        self.put("manufacturer-selected", STOCK_CHOICE)
        self.launch(STOCK_CFG)
        return 0

    def install(self, mode, run_id, image, size):
        """Exit code of "--watch"; an admitted install runs to its record."""
        if slot_of(self.tmp_cfg) is None:
            return 3
        # The install lock: a live worker of an earlier install, or the
        # recovery wait, which keeps "/res" busy.
        if self.upgrade_state != "-1" or self.guard or self.waiter:
            return 5
        self.guard = True
        self.took += 6.0
        flags = dict(written=False, remounted=False, restored=False, restarted=False)
        if mode == "fail":
            self.upgrade_state, phase = "1", "upgrade_failed"
        elif mode == "hang":
            self.upgrade_state, phase = "255", "upgrade_timeout"
            self.took += GUARD_LIMIT
        elif mode == "corrupt":
            self.upgrade_state, phase = "0", "readback_mismatch"
            self.flash, self.res_stale, self.host = None, True, None
        else:
            self.upgrade_state, phase = "0", "write_verified"
            self.flash = self.good = self.res = image
            flags = dict(written=True, remounted=True, restored=True, restarted=True)
            self.host_start(self.tmp_cfg, launch=False)
        self.put("install-result.json", record(phase, size, **flags, run_id=run_id))
        return 0


def present(store):
    return {n: v for n, v in store.items() if v is not None}


# ---- Observing the clock ------------------------------------------------

def lock_held(clock, path):
    """Whether an flock is held on that file of the clock (read from
    /proc/locks, which takes no lock itself)."""
    try:
        st = os.stat(clock.path(path))
    except OSError:
        return False
    dev = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    return any(line.split()[5] == dev for line in Path("/proc/locks").read_text().splitlines()
               if len(line.split()) > 5 and line.split()[1] == "FLOCK")


def host_pid(clock):
    """The running host's process id as the clock's own log gives it (the
    service's "started" line may be logged after the host's first lines)."""
    for pid, exe, _ in clock.processes():
        if exe == "zkswe":
            try:
                status = Path(f"/proc/{pid}/status").read_text()
            except OSError:
                continue
            return int(re.search(r"^NSpid:.*\s(\d+)$", status, re.M).group(1))
    return None


def logged_by(clock, pattern, pid):
    return [e for e in clock.find(pattern) if e.pid == pid]


def busy(clock):
    """What is still under way, or None once only the recovery wait and the
    install worker's keep-alive may live."""
    for pid, exe, _ in clock.processes():
        if exe == "tavrine-ota-switch":
            return "a slot switch runs"
        if exe in ("tavrine-boot-control", "tavrine-install-guard") and session_of(pid) != pid:
            return f"{exe} pid {pid} is no detached worker"
    if lock_held(clock, SWITCH_LOCK):
        return "the switch lock is held"
    if not clock.find(r"^siminit setprop ctl\.start zkswe"):
        return "the platform has not started the host"
    host = host_pid(clock)
    if host is not None and not logged_by(clock, r"^zkswe (onStartupApp returned|cannot load)", host):
        return "the host is starting"
    return None


def observe(clock):
    procs = clock.processes()
    host = host_pid(clock)
    reads = [] if host is None else logged_by(clock, r"^zkswe read /tmp/EasyUI\.cfg: ", host)
    return {
        "store": {name: clock.read(f"{STORE}/{name}") for name in FILES},
        "tmp_cfg": clock.read(HOST_CFG),
        "host": None if host is None else reads[-1].text.split(": ", 1)[1].encode() if reads else b"?",
        "marker": clock.read(MARKER),
        "waiter": sum(exe == "tavrine-boot-control" for _, exe, _ in procs) == 1,
        "guard": sum(exe == "tavrine-install-guard" for _, exe, _ in procs) == 1,
    }


def expected(m):
    return {"store": dict(m.store), "tmp_cfg": m.tmp_cfg, "host": m.host, "marker": m.marker,
            "waiter": m.waiter, "guard": m.guard}


def differences(seen, want):
    out = []
    for key in want:
        if key == "store":
            out += [f"{n}: {seen['store'][n]!r}, expected {want['store'][n]!r}"
                    for n in FILES if seen["store"][n] != want["store"][n]]
        elif seen[key] != want[key]:
            out.append(f"{key}: {seen[key]!r}, expected {want[key]!r}")
    return out


def tree(root):
    """{relative path: bytes, or "dir"} of a folder tree."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            out[os.path.normpath(os.path.join(rel, d))] = "dir"
        for f in sorted(filenames):
            out[os.path.normpath(os.path.join(rel, f))] = Path(dirpath, f).read_bytes()
    return out


def res_problems(clock, m, trees):
    mounts = Path(f"/proc/{clock.pid}/mounts").read_text().split("\n")
    if not any(line.split()[1:3] == ["/res", "squashfs"] for line in mounts if line):
        return ['"/res" is not mounted']
    if m.res_stale:
        return []  # the old mount over a rewritten flash: nothing to read
    seen = tree(clock.path("/res"))
    if seen == trees[m.res]:
        return []
    others = [i for i, t in enumerate(trees) if t == seen]
    mixed = sorted(k for k in set(seen) | set(trees[m.res]) if seen.get(k) != trees[m.res].get(k))
    return [f'"/res" holds image {others[0]}, expected {m.res}' if others else
            f'"/res" is no whole image (differs from image {m.res} in {mixed[:5]})']


def flash_image(clock, images):
    """The image whole at the flash's start (read through the block device,
    as the next mount will), or None."""
    with open(clock.loop, "rb") as f:
        data = f.read(max(len(i) for i in images))
    return next((i for i, img in enumerate(images) if data[:len(img)] == img), None)


# ---- One history ----------------------------------------------------------

class History:
    def __init__(self, seed, events, speed, build, workdir, out):
        self.seed, self.events, self.speed, self.out = seed, events, speed, out
        self.clock = SimClock(workdir, build_dir=build, speed=speed, res_files={IMAGE_ID: b"image 0\n"})
        self.images = [(self.clock.dir / "res.squashfs").read_bytes()]
        self.images += [self.clock.make_res_image({IMAGE_ID: f"image {i}\n".encode()}).read_bytes()
                        for i in range(1, IMAGES)]
        base = tree(self.clock.res_tree)
        self.trees = [dict(base, **{IMAGE_ID: f"image {i}\n".encode()}) for i in range(IMAGES)]
        self.m = Model()
        self.log = []
        self.figures = dict.fromkeys(FIGURES, 0)
        self.deadline = None
        self.versions = 0

    def close(self):
        self.clock.close()

    def note(self, text):
        self.log.append(text)
        self.clock.note("soak: " + text)

    def real(self, device_seconds):
        # Generous: process starts under a loaded machine do not speed up.
        return device_seconds / self.speed * 2 + 10.0

    def tick(self):
        if self.deadline is not None and time.monotonic() >= self.deadline:
            raise Cut

    def wait(self, condition, device_seconds, what):
        end = time.monotonic() + self.real(device_seconds)
        while not condition():
            self.tick()
            if time.monotonic() > end:
                raise Failure(f"{what} did not come")
            time.sleep(0.01)

    # Drawing -------------------------------------------------------------

    def draw(self, i):
        rng = random.Random(f"{self.seed}/{i}")
        m = self.m
        cut = rng.random() < 0.25
        moment = rng.random()
        if not m.powered:
            if i > 0 and rng.random() < 0.2:
                return self.draw_delivery(rng)
            return ("power_up",), cut, moment
        if m.res_stale:
            return ("power_cycle",), cut, moment
        running = slot_of(m.tmp_cfg)
        # An install during the recovery wait is drawn often: it must be refused.
        kinds = {"deliver": 18, "switch": 0 if m.tmp_cfg == PLATFORM_CFG else 24,
                 "install": (40 if m.waiter else 18) if running else 3, "power_cycle": 10,
                 "stock": 3 if i >= 2 * self.events // 3 and m.store["manufacturer-selected"] is None else 0}
        kind = rng.choices(list(kinds), list(kinds.values()))[0]
        if kind == "deliver":
            return self.draw_delivery(rng)
        if kind == "switch":
            slot = rng.choice("ab")
            version = m.slots[slot][0] if slot in m.slots and rng.random() < 0.85 else "9.9.9"
            return ("switch", slot, version), cut, moment
        if kind == "install":
            mode = rng.choices(["ok", "fail", "corrupt", "hang"], [50, 20, 20, 6])[0]
            run_id = "".join(rng.choice("0123456789abcdef") for _ in range(32))
            image = rng.choice([k for k in range(IMAGES) if k != m.flash])
            return ("install", mode, run_id, image), cut, moment
        return (kind,), cut, moment

    def draw_delivery(self, rng):
        busy = slot_of(self.m.host) if self.m.powered else None
        slot = rng.choice([s for s in "ab" if s != busy])
        self.versions += 1
        version = f"{self.versions}.{rng.randrange(10)}"
        behaviour = rng.choices(["ready", "never", "wrong"], [60, 20, 20])[0]
        return ("deliver", slot, version, behaviour), False, 0.0

    # Running ---------------------------------------------------------------

    def run(self):
        c, m = self.clock, self.m
        # Factory state: slot "a" delivered and current.
        c.install_slot("a", "0.1")
        m.slots["a"] = ("0.1", "ready")
        c.write(f"{STORE}/current.cfg", SimClock.slot_cfg("a"))
        m.store["current.cfg"] = SimClock.slot_cfg("a")
        for i in range(self.events):
            event, cut, moment = self.draw(i)
            self.figures["events"] += 1
            self.step(i, event, cut, moment)

    def step(self, i, event, cut, moment):
        c, before = self.clock, self.m
        m = copy.deepcopy(before)
        m.writes, m.took = [], 0.0
        kind = event[0]
        if kind == "deliver":
            _, slot, version, behaviour = event
            self.note(f"{i}: deliver {slot} {version} {behaviour}")
            c.install_slot(slot, version, behaviour)
            m.slots[slot] = (version, behaviour)
            m.end_wait()
            self.m = m
            if m.powered:
                self.settle(m, 5.0)
            return
        if kind == "power_cycle":
            c.power_off()
            m.off()
            self.after_off(before, m, allowed_flash={m.flash})
            kind = "power_up"
        if kind == "power_up" and m.flash is None:
            self.reflash(m)
        code, want_code, flash_before = None, None, m.flash
        if kind == "power_up":
            m.power_up()
        elif kind == "switch":
            want_code = m.switch(event[1], event[2])
        elif kind == "stock":
            want_code = m.choose_stock()
        elif kind == "install":
            size = len(self.images[event[3]])
            want_code = m.install(event[1], event[2], event[3], size)
        self.count(before, m, kind, want_code)
        estimate = {"power_up": 0.5, "switch": 0.3, "stock": 0.4, "install": 0.6}[kind] + m.took / self.speed * 1.3
        self.deadline = time.monotonic() + moment * estimate if cut else None
        settled = False
        self.note(f"{i}: {' '.join(map(str, event))}" + (f", power cut after {moment * estimate:.2f} s" if cut else ""))
        try:
            if kind == "power_up":
                c.power_up()
            elif kind == "switch":
                code = c.run([SWITCH, event[1], event[2]]).returncode
            elif kind == "stock":
                code = c.run([BOOT, "--stock"]).returncode
            elif kind == "install":
                code = self.install(*event[1:])
            if code != want_code:
                raise Failure(f"exit {code}, expected {want_code}")
            self.tick()
            self.settle(m, m.took + 30.0)
            settled = True
            if cut:
                # Settled before the moment drawn: the power goes all the same.
                while time.monotonic() < self.deadline:
                    time.sleep(0.005)
                raise Cut
        except Cut:
            self.deadline = None
            self.figures["cuts"] += 1
            self.figures["cuts in flight"] += not settled
            c.power_off()
            flash = {flash_before, m.flash}
            if kind == "install" and event[1] in ("ok", "corrupt") and want_code == 0:
                flash.add(None)  # the upgrader was cut while writing
            allowed = {name: {before.store[name]} | {v for n, v in m.writes if n == name} for name in FILES}
            m.off()
            self.after_off(before, m, flash, allowed)
        finally:
            self.deadline = None
        self.m = m

    def count(self, before, m, kind, code):
        f = self.figures
        f["recovery waits"] += ("boot-error", NOTICE) in m.writes
        if kind == "switch":
            f["switches confirmed" if m.store["result"] == b"confirmed" else "switches rolled back"] += 1
        if kind == "install":
            f["installs refused" if code else "installs verified" if m.flash is not None and m.flash != before.flash
              else "installs failed"] += 1

    def install(self, mode, run_id, image):
        c = self.clock
        c.write(f"{INSTALL_DIR}/run-id", run_id.encode())
        c.write(f"{INSTALL_DIR}/res.squashfs", self.images[image])
        code = c.run([GUARD, "--watch"], env_workspace=True).returncode
        if code == 0:
            self.wait(lambda: c.read(f"{INSTALL_DIR}/guard-ready") == run_id.encode(), 10.0, "guard-ready")
            c.upgrader(f"{INSTALL_DIR}/res.squashfs", mode=mode, duration=1.0)
        return code

    def reflash(self, m):
        """A torn or corrupt flash cannot boot; the platform's recovery puts
        the last good image back (outside the product)."""
        self.figures["reflashes"] += 1
        self.note(f"flash restored to image {m.good}")
        fd = os.open(self.clock.loop, os.O_WRONLY)
        try:
            os.pwrite(fd, self.images[m.good], 0)
            os.fsync(fd)
        finally:
            os.close(fd)
        m.flash = m.good

    def settle(self, m, device_seconds):
        """Wait until the clock is quiet and holds what the model says, and
        still does a recovery poll later; then check "/res"."""
        c = self.clock
        want = expected(m)
        end = time.monotonic() + self.real(device_seconds)
        while True:
            self.tick()
            if not busy(c) and not differences(observe(c), want):
                time.sleep(RECOVERY_POLL * 1.5 / self.speed)
                if not busy(c) and not differences(observe(c), want):
                    break
            if time.monotonic() > end:
                raise Failure("; ".join(differences(observe(c), want)) or f"not settled: {busy(c)}")
            time.sleep(0.02)
        problems = (check_store(c, {n: (m.store[n],) for n in FILES}, present(m.store)) + check_whole(c)
                    + res_problems(c, m, self.trees))
        if problems:
            raise Failure("; ".join(problems))

    def after_off(self, before, m, allowed_flash, allowed=None):
        """After a power loss: the store holds only what the event may
        leave; the model takes what is there."""
        c = self.clock
        allowed = allowed or {n: {m.store[n]} for n in FILES}
        # The files the store held before the event are all looked at.
        problems = check_store(c, {n: tuple(v) for n, v in allowed.items()}, present(before.store)) + check_whole(c)
        flash = flash_image(c, self.images)
        if flash not in allowed_flash:
            problems.append(f"flash holds image {flash}, allowed {sorted(allowed_flash, key=str)}")
        if problems:
            raise Failure("after the power loss: " + "; ".join(problems))
        for name in FILES:
            m.store[name] = c.read(f"{STORE}/{name}")
        m.flash = flash
        if flash is not None:
            m.good = flash


def run_history(seed, events, speed, build, out, verbose):
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=f"soak-{seed}-") as work:
        h = History(seed, events, speed, build, work, out)
        try:
            h.run()
            ok = True
        except Failure as e:
            ok = False
            print(f"seed {seed}: FAILED at event {len(h.log) and h.log[-1]}: {e}", file=out)
            print("history:\n  " + "\n  ".join(h.log), file=out)
            print(h.clock.timeline(fold=True), file=out)
        finally:
            h.close()
    if verbose:
        print("\n".join(f"  {line}" for line in h.log), file=out)
    print(f"seed {seed}: {'ok' if ok else 'FAILED'}, " + ", ".join(f"{h.figures[k]} {k}" for k in FIGURES) +
          f", {time.monotonic() - start:.1f} s", file=out, flush=True)
    return ok, h.figures


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--histories", type=int, default=20)
    p.add_argument("--events", type=int, default=15, help="events per history")
    p.add_argument("--first", type=int, default=1, help="seed of the first history")
    p.add_argument("--seed", type=int, help="run this one history alone")
    p.add_argument("--speed", type=float, default=40)
    p.add_argument("--build", default=os.environ.get("TAVRINE_BUILD"))
    p.add_argument("--verbose", action="store_true", help="print every history's events")
    p.add_argument("--short", action="store_true", help="the short fixed soak of scripts/test")
    a = p.parse_args(argv)
    if a.short:
        a.events = SHORT_EVENTS
    reasons = missing_capabilities() + [f"not built: {m}" for m in missing_emulators(a.build)]
    if reasons:
        print("soak: cannot run: " + "; ".join(reasons), file=sys.stderr)
        return 2
    seeds = ([a.seed] if a.seed is not None else list(SHORT_SEEDS) if a.short
             else list(range(a.first, a.first + a.histories)))
    start = time.monotonic()
    totals, failed = dict.fromkeys(FIGURES, 0), []
    for seed in seeds:
        ok, figures = run_history(seed, a.events, a.speed, a.build, sys.stdout, a.verbose)
        for k in totals:
            totals[k] += figures[k]
        if not ok:
            failed.append(seed)
    span = f"{seeds[0]}..{seeds[-1]}" if seeds == list(range(seeds[0], seeds[-1] + 1)) else ", ".join(map(str, seeds))
    print(f"soak: {len(seeds)} histories (seeds {span}), " +
          ", ".join(f"{totals[k]} {k}" for k in FIGURES) + f", {time.monotonic() - start:.0f} s; " +
          (f"{len(failed)} failed, first failing seed {failed[0]} (rerun: --seed {failed[0]})" if failed
           else "all held"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
