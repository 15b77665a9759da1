"""Power cuts and failing system calls at every step of each transaction.

For each transaction of invariants.TRANSACTIONS: a clean run under the cut
tool ("/bin/cut", plan "log") learns the numbered calls and is checked for
the durability order; then each chosen call N is cut (every traced process
killed at its entry), the clock power-cycled with the real boot chain and
the invariants checked; then each fault class is injected at its call sites
(call N fails with an errno) and the documented outcome checked.

Run through scripts/power-test; `python3 cutrun.py --help`.
"""

import argparse
import errno
import os
import re
import shutil
import sys
import tempfile
import time
from collections import Counter, namedtuple
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "sim"))
sys.path.insert(0, str(HERE))

import invariants as inv  # noqa: E402
from simclock import SimClock  # noqa: E402

SPEED = 20
STORE_PREFIX = inv.STORE + "/"
Call = namedtuple("Call", "n pid role name paths result")

# ----- the cut tool's plan and log ------------------------------------------


def plan(clock, program, text):
    d = clock.run_dir / "cut"
    d.mkdir(exist_ok=True)
    p = d / program
    if text is None:
        p.unlink(missing_ok=True)
    else:
        p.write_text(text + "\n")


def log_path(clock, program):
    return clock.run_dir / "cut" / f"{program}.log"


def read_log(clock, program):
    p = log_path(clock, program)
    return p.read_text(errors="replace") if p.exists() else ""


LINE = re.compile(r"^(\d+) (\d+) (\w+) (\S+) (\S+) = (\S+)$")


def parse(text):
    calls, exits = [], {}
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            paths = [] if m[5] == "-" else m[5].split("|")
            calls.append(Call(int(m[1]), int(m[2]), m[3], m[4], paths, m[6]))
        elif line.startswith(("exit ", "signal ")):
            kind, _, role, value = line.split()
            exits.setdefault(role, (kind, int(value)))
    calls.sort(key=lambda c: c.n)
    return calls, exits


def signature(call):
    # Descriptor numbers of closed descriptors and pipe inodes vary.
    paths = [re.sub(r"^fd\d+\?$", "fd?", re.sub(r":\[\d+\]$", ":[]", p)) for p in call.paths]
    return (call.role, call.name, tuple(paths))


# ----- what each call touches -------------------------------------------------

def touches_store(call):
    return any(p.startswith(STORE_PREFIX) or p == inv.STORE for p in call.paths)


def touches_tmp(call):
    return any(p.startswith("/tmp/") for p in call.paths)


def interesting(call):
    """The sampled run's cut points: the steps that change the store (a
    rename, a removal, a directory flush), take a lock, fork or mount. A cut
    before any other call leaves the same store as a cut before the next of
    these, and "/tmp" does not outlive the power-off."""
    if call.name in ("flock", "clone", "clone3", "fork", "vfork", "mount", "umount2"):
        return True
    if call.name in ("rename", "renameat2", "unlink", "unlinkat"):
        return touches_store(call)
    return call.name == "fsync" and call.paths[:1] == [inv.STORE]


def choose(calls, sampled):
    """Cut points: every call, except repeats of the same three-call
    context (runs of identical closes, reads, polls: the first is cut);
    sampled: only interesting calls, each context once, one fork per role."""
    seen, points, skipped = Counter(), [], 0
    prev = [None, None]
    # The loader's and libfaketime's start-up calls touch nothing of ours: a
    # cut at the first of them stands for all.
    first_own = next((c.n for c in calls if c.role == "command" and (
        touches_store(c) or touches_tmp(c) or any(p.startswith(("/res/", "/dev/block")) for p in c.paths))), 0)
    for c in calls:
        if 1 < c.n < first_own:
            skipped += 1
            continue
        key = (prev[0], prev[1], signature(c))
        prev = [prev[1], signature(c)]
        if sampled and not interesting(c):
            skipped += 1
            continue
        if sampled and c.name in ("clone", "clone3"):
            key = (c.role, c.name)
        seen[key] += 1
        if seen[key] > 1:
            skipped += 1
            continue
        points.append(c)
    return points, skipped


# ----- one clock per transaction, reset between runs -------------------------

class Bench:
    """One clock for one transaction; `reset` brings it back to the state
    before the transaction (store, flash), `go` runs it under a plan."""

    def __init__(self, tmp, name):
        self.name, self.tx = name, inv.TRANSACTIONS[name]
        self.clock = SimClock(tmp, speed=SPEED, wrap={self.tx.program: ["/bin/cut"]})
        self.flash0 = self.clock.flash()
        self.store0 = None

    def close(self):
        self.clock.close()

    def reset(self):
        c = self.clock
        c.power_off()
        plan(c, self.tx.program, None)
        log_path(c, self.tx.program).unlink(missing_ok=True)
        for p in c.data.iterdir():
            if p.is_file() or p.is_symlink():
                p.unlink()
        if self.name == "guard-install":
            fd = os.open(c.loop, os.O_WRONLY)
            try:
                os.write(fd, self.flash0)
                os.fsync(fd)
            finally:
                os.close(fd)
        ctx = {}
        self.tx.prepare(c, ctx)
        ctx.setdefault("before", c.store())
        return ctx

    def go(self, text, wait_done=False):
        """Reset, run the transaction under the plan; returns ctx. With
        wait_done the clean end is awaited, else the cut or the end."""
        ctx = self.reset()
        c = self.clock
        plan(c, self.tx.program, text)
        if self.tx.at_power_up:
            c.power_up()
        self.tx.start(c, ctx)
        if wait_done:
            self.tx.done(c, ctx)
        return ctx

    def quiet(self, limit=20.0):
        """Until every traced process ended, was cut, or went into one of
        the endless loops."""
        end = time.monotonic() + limit
        text = ""
        while time.monotonic() < end:
            text = read_log(self.clock, self.tx.program)
            if text and not running(text):
                return text
            for mark in ENDLESS:
                if mark in text and text.count("\n", text.index(mark)) > 30:
                    return text
            time.sleep(0.05)
        return text


# Renames after which a worker loops for good: the guard's keep-alive after
# its record, the boot control's recovery wait after the failure notice.
ENDLESS = (f"rename {inv.STORE}/install-result.json.next", f"rename {inv.STORE}/boot-error.next")


def running(text):
    """Traced processes of the log that have not ended: a child that exec'd
    was let go and counts as ended."""
    seen, gone = set(), set()
    for line in text.splitlines():
        parts = line.split()
        if LINE.match(line):
            seen.add(parts[1])
            # A child is ours from its fork on, before it logs a call.
            if parts[3] in ("clone", "clone3", "fork", "vfork") and parts[-1].isdigit():
                seen.add(parts[-1])
            if parts[3] == "execve":
                gone.add(parts[1])
        elif line.startswith(("exit ", "signal ")):
            gone.add(parts[1])
        elif line.startswith("run "):
            seen.add(parts[1])
    return seen - gone


# ----- checks -----------------------------------------------------------------

def durability(calls):
    """Every replacement in the store: open of PATH.next, writes, fsync of it,
    rename onto PATH, fsync of the directory, before the next durable step;
    every removal in the store followed by a directory fsync likewise."""
    problems = []
    by_pid = {}
    for c in calls:
        by_pid.setdefault(c.pid, []).append(c)
    for pid, seq in by_pid.items():
        for i, c in enumerate(seq):
            ok = c.result not in ("?",) and not c.result.startswith("-")
            if c.name in ("rename", "renameat", "renameat2") and ok:
                src, dst = c.paths[0], c.paths[-1]
                if not dst.startswith(STORE_PREFIX):
                    continue
                if src != dst + ".next":
                    problems.append(f"{c.n}: rename {src} onto {dst}")
                before = seq[:i]
                writes = [k for k, b in enumerate(before) if b.name == "write" and b.paths == [src]]
                syncs = [k for k, b in enumerate(before) if b.name == "fsync" and b.paths == [src]]
                if not writes or not syncs or syncs[-1] < writes[-1]:
                    problems.append(f"{c.n}: {dst} renamed without an fsync of {src} after its writes")
                problems += _dir_synced(seq, i, f"{c.n}: rename onto {dst}")
            # A ".next" is only ever written: nothing may take it for its target.
            if c.name in ("read", "pread64", "execve") and any(p.endswith(".next") for p in c.paths):
                problems.append(f"{c.n}: {c.name} of {c.paths[-1]}")
            if c.name in ("unlink", "unlinkat") and ok and touches_store(c):
                problems += _dir_synced(seq, i, f"{c.n}: removal of {c.paths[-1]}")
    return problems


def durable_count(calls):
    """(replacements, removals) in the store that the order check covered."""
    ok = [c for c in calls if c.result != "?" and not c.result.startswith("-")]
    return (sum(1 for c in ok if c.name in ("rename", "renameat2") and c.paths[-1].startswith(STORE_PREFIX)),
            sum(1 for c in ok if c.name in ("unlink", "unlinkat") and touches_store(c)))


def _durable_step(c):
    return (c.name in ("rename", "renameat", "renameat2", "unlink", "unlinkat", "clone", "exit_group")
            or (c.name == "openat" and c.paths[-1].startswith(STORE_PREFIX) and c.paths[-1].endswith(".next")))


def _dir_synced(seq, i, what):
    for c in seq[i + 1:]:
        if c.name == "fsync" and c.paths and c.paths[0].rstrip("/") == inv.STORE:
            return []
        if _durable_step(c):
            return [f"{what}: no directory fsync before {c.n} {c.name}"]
    return [f"{what}: no directory fsync before the end"]


def after_cut(bench, ctx, what):
    """Power-cycle and check the invariants; [problem]."""
    c = bench.clock
    c.power_off()
    plan(c, bench.tx.program, None)
    leaves = bench.tx.leaves(c, ctx)
    problems = inv.check_store(c, leaves, ctx["before"]) + inv.check_whole(c)
    c.power_up()
    try:
        inv.settle(c)
    except AssertionError as e:
        problems.append(str(e))
    problems += inv.check_store(c, leaves, ctx["before"]) + inv.check_whole(c)
    return [f"{bench.name} {what}: {p}" for p in problems]


# ----- the three parts --------------------------------------------------------

Figures = namedtuple("Figures", "calls run held missed skipped repeated faults failures")


def clean(bench):
    ctx = bench.go("log", wait_done=True)
    text = bench.quiet()
    calls, exits = parse(text)
    bench.calls = calls
    c = bench.clock
    problems = inv.check_store(c, bench.tx.leaves(c, ctx), ctx["before"]) + inv.check_whole(c)
    problems += durability(calls)
    return calls, exits, [f"{bench.name} clean run: {p}" for p in problems]


# Calls after a wait on another program (the guard's watch of the
# upgrader) are counted from an anchor call that follows the wait.
ANCHORS = {"guard-install": ("openat", "/dev/block/mtdblock3")}


def aim(bench, call):
    """The cut tool's address of a call: "N" or "K after NAME PATH"."""
    anchor = ANCHORS.get(bench.name)
    if anchor:
        first = next((c for c in bench.calls if c.name == anchor[0] and c.paths[-1:] == [anchor[1]]), None)
        if first is not None and call.n >= first.n:
            return f"{call.n - first.n}", f" after {anchor[0]} {anchor[1]}"
    return str(call.n), ""


def landed(text):
    """The call the cut tool killed at, or None when the run ended first."""
    for line in text.splitlines():
        m = re.match(r"^(\d+) (\d+) (\w+) (\S+) (\S+) = killed$", line)
        if m:
            return Call(int(m[1]), int(m[2]), m[3], m[4], [] if m[5] == "-" else m[5].split("|"), "")
    return None


def cuts(bench, points, log):
    """Each point cut, power-cycled and checked. A host that is slow to
    write its ready text costs the waits one more poll and moves the
    numbers after it; such a point is tried once more, and every cut that
    ran is checked wherever it landed."""
    held, missed, failures = 0, 0, []
    for call in points:
        for attempt in (1, 2):
            n, after = aim(bench, call)
            ctx = bench.go(f"kill {n}{after}")
            text = bench.quiet()
            got = landed(text)
            problems = after_cut(bench, ctx, f"cut at {call.n} {call.name} {'|'.join(call.paths)}")
            failures += problems
            if problems:
                log("\n".join(problems))
            if got is not None and signature(got) == signature(call):
                break
        if problems:
            continue
        if got is None or signature(got) != signature(call):
            missed += 1
            log(f"  {bench.name}: call {call.n} {call.name} was "
                f"{'not reached' if got is None else got.name + ' ' + '|'.join(got.paths)} twice")
        else:
            held += 1
    return held, missed, failures


def repeated_cuts(bench, points, times=3):
    """The same cut on several power-ups in a row, then none: the store
    stays whole throughout and the clock settles once the cuts stop."""
    failures = []
    c = bench.clock
    for call in points:
        ctx = bench.reset()
        for _ in range(times):
            log_path(c, bench.tx.program).unlink(missing_ok=True)
            plan(c, bench.tx.program, f"kill {call.n}")
            c.power_up()
            bench.quiet(limit=5)
            c.power_off()
            problems = inv.check_store(c, bench.tx.leaves(c, ctx), ctx["before"]) + inv.check_whole(c)
            failures += [f"{bench.name} repeated cut at {call.n}: {p}" for p in problems]
        plan(c, bench.tx.program, None)
        failures += after_cut(bench, ctx, f"after {times} cuts at {call.n}")
    return failures


# Fault classes: (name, errno, which calls are its sites).
def _next_open(c):
    return c.name == "openat" and c.paths[-1].endswith(".next")


def _write_site(c):
    return c.name == "write" and (touches_store(c) or touches_tmp(c))


FAULTS = [
    ("write ENOSPC", errno.ENOSPC, _write_site),
    ("write EIO", errno.EIO, _write_site),
    ("fsync EIO", errno.EIO, lambda c: c.name == "fsync"),
    ("rename EIO", errno.EIO, lambda c: c.name in ("rename", "renameat2")),
    ("rename ENOSPC", errno.ENOSPC, lambda c: c.name in ("rename", "renameat2")),
    ("open .next ENOSPC", errno.ENOSPC, _next_open),
    ("flock EWOULDBLOCK", errno.EWOULDBLOCK, lambda c: c.name == "flock"),
    ("fork EAGAIN", errno.EAGAIN, lambda c: c.name in ("clone", "clone3", "fork", "vfork")),
    ("mount EBUSY", errno.EBUSY, lambda c: c.name == "mount"),
    ("mount EINVAL", errno.EINVAL, lambda c: c.name == "mount"),
    ("umount EBUSY", errno.EBUSY, lambda c: c.name == "umount2"),
    ("umount EINVAL", errno.EINVAL, lambda c: c.name == "umount2"),
]


# Sampled runs inject faults once per program (and the stock launch): the
# other transactions of a program share its call sites.
SAMPLED_FAULTS = ("boot-slot", "stock", "switch-confirmed", "guard-install")


def fault_sites(calls, test):
    seen, sites = set(), []
    prev = None
    for c in calls:
        key = (prev, signature(c))
        prev = signature(c)
        if test(c) and key not in seen:
            seen.add(key)
            sites.append(c)
    return sites


def faults(bench, calls, clean_exits, expect, log, sampled=False, only=None):
    """Each fault class at each of its sites (sampled: the first): the
    documented outcome, files whole, a failed copy leaves no ".next", the
    next power-up comes up."""
    figures, failures = {}, []
    for name, err, test in FAULTS:
        if only and name not in only:
            continue
        sites = fault_sites(calls, test)
        if sampled:
            sites = sites[:1]
        if not sites:
            continue
        held = 0
        for site in sites:
            n, after = aim(bench, site)
            ctx = bench.go(f"fail {n} {err}{after}")
            text = bench.quiet()
            _, exits = parse(text)
            what = f"{name} at {site.n} {site.name} {'|'.join(site.paths)}"
            problems = expect(bench, site, err, ctx, exits, clean_exits, calls)
            problems = [f"{bench.name} {what}: {p}" for p in problems]
            if problems:
                # What the traced processes did, to tell a fault that landed
                # elsewhere from a program that did not end in time.
                lines = text.splitlines()
                log("\n".join(problems) + f"\n  the cut log's last of {len(lines)} lines:\n    "
                    + "\n    ".join(lines[-12:]))
            problems += after_cut(bench, ctx, what)
            if problems:
                failures += problems
                log("\n".join(problems))
            else:
                held += 1
        figures[name] = (len(sites), held)
    return figures, failures


# ----- documented outcomes of a failing call ---------------------------------

def _owner(site, calls):
    """The durable step a site belongs to: the ".next" file it works on, or
    the target of the next replacement after it in its process."""
    for p in site.paths:
        if p.endswith(".next"):
            return p[:-5]
        if p.startswith("/tmp/") and site.name == "flock":
            return p
    for c in calls:
        if c.pid == site.pid and c.n >= site.n and c.name in ("rename", "renameat2"):
            return c.paths[-1]
    return None


def expect(bench, site, err, ctx, exits, clean_exits, calls):
    """The documented outcome of one failing call, per program and step."""
    c, tx, problems = bench.clock, bench.name, []
    store = c.store()
    owner = _owner(site, calls)
    worker = exits.get("worker")
    command = exits.get("command")
    # Only ".next" files and directories are ever flushed.
    dir_sync = site.name == "fsync" and not site.paths[0].endswith(".next")

    def want(label, got, value):
        if got != value:
            problems.append(f"{label} {got!r}, documented {value!r}")

    if site.name == "flock":
        # Single-instance lock refused: the command's own exit, nothing written.
        want("command", command, ("exit", {"tavrine-boot-control": 4, "tavrine-ota-switch": 3,
                                            "tavrine-install-guard": 5}[tx_program(bench)]))
        if not bench.tx.at_power_up:
            want("store", store == ctx["before"], True)
        return problems
    if site.name in ("clone", "clone3") and site.role != "command":
        # A setprop or getprop that cannot start is ignored or reads as an
        # empty answer; what follows depends on the command that did not
        # run (a host not stopped, a keep-alive missed), so only the
        # invariants hold here.
        return problems
    if site.name in ("clone", "clone3") and site.role == "command":
        last = max(x.n for x in calls if x.role == "command" and x.name == site.name)
        if site.n == last:
            # The worker's fork.
            want("command", command, ("exit", {"tavrine-boot-control": 6, "tavrine-ota-switch": 4,
                                                "tavrine-install-guard": 6}[tx_program(bench)]))
        else:
            # The guard's upgrader-state read: an empty answer is not idle.
            want("command", command, ("exit", 5))
        before = dict(ctx["before"])
        if tx == "stock" and site.n == last:
            # Written before the fork, and it stays.
            before["manufacturer-selected"] = inv.STOCK_MARKER_TEXT
        want("store", store == before, True)
        return problems
    if tx.startswith("switch"):
        copies = {inv.STORE + "/previous.cfg", inv.STORE + "/current.cfg", "/tmp/EasyUI.cfg"}
        for t in copies:
            if c.exists(t + ".next"):
                problems.append(f"failed copy left {t}.next")
        clean_result = {"switch-confirmed": b"confirmed"}.get(tx, b"rolled_back")
        if dir_sync or site.name == "clone":
            pass  # ignored by the program; the outcome may follow from the host
        elif owner == inv.STORE + "/previous.cfg":
            want("worker", worker, ("exit", 5))
            want("result", store.get("result"), b"prepare_failed")
            want("previous.cfg", store.get("previous.cfg"), ctx["before"].get("previous.cfg"))
        elif owner == inv.STORE + "/result":
            want("worker", worker, clean_exits.get("worker"))
        elif owner == "/tmp/EasyUI.cfg" and tx == "switch-confirmed":
            want("worker", worker, ("exit", 6))
            want("result", store.get("result"), b"rolled_back")
            want("current.cfg", store.get("current.cfg"), inv.slot_cfg("a"))
        elif owner == inv.STORE + "/current.cfg":
            want("worker", worker, clean_exits.get("worker"))
            want("result", store.get("result"), clean_result)
            want("current.cfg", store.get("current.cfg"), ctx["before"].get("current.cfg"))
        return problems
    if tx.startswith("boot") or tx == "stock":
        if owner == inv.STORE + "/manufacturer-selected" and not dir_sync:
            want("command", command, ("exit", 5))
            want("manufacturer-selected", store.get("manufacturer-selected"), None)
        elif owner == inv.STORE + "/current.cfg" and not dir_sync:
            # Not examined: the launch stands, "current.cfg" keeps its content.
            want("worker", worker, clean_exits.get("worker"))
            want("current.cfg", store.get("current.cfg"), ctx["before"].get("current.cfg"))
        return problems
    if tx == "guard-install":
        size = len(ctx["image"])
        rec = store.get("install-result.json")
        if site.name == "umount2" and err == errno.EBUSY:
            # Retried while busy: the next attempt succeeds.
            want("record", rec, inv.record("write_verified", size, True, True, True, True))
        elif site.name == "umount2":
            want("record", rec, inv.record("resource_unmount_failed", size, True, False, False, False))
        elif site.name == "mount":
            want("record", rec, inv.record("resource_mount_failed", size, True, False, False, False))
        elif owner == "/tmp/EasyUI.cfg" and not dir_sync:
            want("record", rec, inv.record("app_config_restore_failed", size, True, True, False, False))
        elif owner == "/tmp/tavrine-permanent-install/guard-ready" and not dir_sync:
            want("worker", worker, ("exit", 7))
            want("record", rec, None)
        elif owner == inv.STORE + "/install-result.json" and not dir_sync:
            want("record", rec, None)
        return problems
    return problems


def tx_program(bench):
    return bench.tx.program


# ----- the command ------------------------------------------------------------

def run(names, sampled, log=print, only=None):
    """only: fault class names; then no cut points, only those faults."""
    totals = {}
    all_failures = []
    tmp = Path(tempfile.mkdtemp(prefix="power-"))
    try:
        for name in names:
            t0 = time.monotonic()
            bench = Bench(tmp, name)
            try:
                calls, exits, failures = clean(bench)
                if not calls:
                    failures.append(f"{name}: the clean run logged no calls")
                points, skipped = choose(calls, sampled)
                if only:
                    points = []
                held, missed, f = cuts(bench, points, log)
                failures += f
                rep = []
                if bench.tx.at_power_up and (not sampled or name == "boot-slot") and not only:
                    renames = [c for c in calls if c.name == "rename" and touches_store(c)]
                    rep = renames[:1] + [c for c in calls if c.name == "fsync"][:1]
                    failures += repeated_cuts(bench, rep)
                fig = {}
                if not sampled or name in SAMPLED_FAULTS:
                    fig, f = faults(bench, calls, exits, expect, log, sampled, only)
                    failures += f
            finally:
                bench.close()
            dt = time.monotonic() - t0
            totals[name] = Figures(len(calls), len(points), held, missed, skipped, len(rep), fig, len(failures))
            log(f"{name}: durability order of {durable_count(calls)[0]} replacements and "
                f"{durable_count(calls)[1]} removals checked")
            log(f"{name}: {len(calls)} calls; cut points run {len(points)}, held {held}, "
                f"not reached {missed}, sampled away {skipped}; repeated-cut points {len(rep)}; "
                f"{dt:.0f} s")
            for k, (n, h) in fig.items():
                log(f"  fault {k}: injected {n}, held {h}")
            all_failures += failures
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return totals, all_failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--full", action="store_true", help="every call (repeats sampled), default")
    mode.add_argument("--sampled", action="store_true", help="calls on the store, /tmp, locks, forks, mounts")
    ap.add_argument("--fault", action="append", metavar="CLASS",
                    help='only this fault class (e.g. "fork EAGAIN"), no cuts; repeatable')
    ap.add_argument("transactions", nargs="*", default=list(inv.TRANSACTIONS))
    args = ap.parse_args()
    t0 = time.monotonic()
    totals, failures = run(args.transactions, args.sampled, only=args.fault)
    faults_by_class = Counter()
    held_by_class = Counter()
    for f in totals.values():
        for k, (n, h) in f.faults.items():
            faults_by_class[k] += n
            held_by_class[k] += h
    print("faults per class: " + "; ".join(f"{k} {held_by_class[k]}/{n}" for k, n in faults_by_class.items()))
    print(f"cut points: run {sum(f.run for f in totals.values())}, held {sum(f.held for f in totals.values())}, "
          f"sampled away {sum(f.skipped for f in totals.values())}; wall time {time.monotonic() - t0:.0f} s")
    if failures:
        print(f"{len(failures)} FAILED")
        return 1
    print("all held")
    return 0


if __name__ == "__main__":
    sys.exit(main())
