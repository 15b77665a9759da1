#!/usr/bin/env python3
"""Power cuts on the VM clock: the page cache and unwritten writes are lost.

Runs the two kinds of proof side by side, two virtual machines at a time:
the cuts below, and every crash state of ext4 (crash_states.py).

For each transaction of the power tests (tests/power/invariants.py) and each
"/data" file system (ext4, UBIFS on UBI on MTD), on the x86-64 VM clock: a
clean run learns how long the transaction takes (from its start, or from
the platform's power-up for the boot transactions, to its end) and is
checked; then the emulator is killed at seeded moments spread over that span
and a little beyond it (writes that would be written back late), the clock
is powered up again from the same disks, and the invariants are checked:

- the store as the power-up found it, and once the clock settled: every file
  absent, whole old or whole new, "result" a state word or its old content,
  the install record absent or one this install ends in;
- the clock settles on what the store names or in the documented failure
  state (the power tests' settle);
- "/res" is mounted and holds one whole image, the one the flash holds; a
  torn flash is put back to the old image first, as the platform's recovery
  would (counted as a reflash).

A moment is drawn from the seed, the transaction, the file system and the
cut's number; where it lands depends on the machine's speed, so a seed
reproduces the moments, not always the state the cut leaves.

    tests/vm/vmcuts.py [--sampled|--full] [--seed S] [--fs ext4|ubifs] [--cuts N] [--jobs N]
                       [--no-crash-states] [TRANSACTION...]
--sampled (scripts/test): every transaction but the rollback after the full
wait, 2 cuts each; the crash states of the switch confirmed. --full: every
transaction, 8 cuts each, the crash states of each.
"""

import argparse
import concurrent.futures
import hashlib
import os
import random
import shutil
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "sim"))
sys.path.insert(0, str(HERE.parents[1] / "tests" / "power"))

import crash_states  # noqa: E402
import invariants as inv  # noqa: E402
from simclock import SimError, SimTimeout  # noqa: E402
from vmclock import VMClock, missing_vm_capabilities  # noqa: E402

# Every transaction but the rollback after the full readiness wait (45 s of
# real time here; the rollback at once covers the same writes).
SAMPLED = ["boot-slot", "boot-previous", "stock", "switch-confirmed", "switch-rolled-back-at-once",
           "guard-install"]
FULL = SAMPLED + ["switch-rolled-back-after-wait"]
CUTS = {"sampled": 2, "full": 8}
LATE = 1.2  # cut moments reach this far past the transaction's end, as a share of its span


def res_listing(clock):
    """{path: sha256} of every file under the clock's "/res", or None when
    "/res" is not a squashfs mount."""
    if not any(line.split()[1:3] == ["/res", "squashfs"] for line in
               (clock.read("/proc/mounts") or b"").decode().splitlines() if len(line.split()) > 2):
        return None
    r = clock.run(["/bin/sh", "-c", "cd /res && find . -type f -exec sha256sum {} +"])
    return {line.split()[1][2:]: line.split()[0] for line in r.stdout.decode().splitlines()}


def tree_listing(root):
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(Path(root).rglob("*")) if p.is_file()}


class Job:
    """One transaction on one file system: a clock, its pristine disks, the
    images its flash may hold."""

    def __init__(self, tmp, name, fs):
        self.name, self.fs, self.tx = name, fs, inv.TRANSACTIONS[name]
        self.clock = VMClock(tmp, data_fs=fs, warm=True)
        self.pristine = self.clock.copy_disks(Path(tmp) / f"pristine-{name}-{fs}")
        self.images = [self.clock.factory_image.read_bytes()]
        self.trees = [tree_listing(self.clock.res_tree)]
        self.figures = {"run": 0, "held": 0, "in flight": 0, "reflashed": 0}
        self.problems = []

    def fresh(self):
        """The clock off, on its pristine disks, prepared; returns ctx and the
        time the transaction begins (the platform's power-up for a boot)."""
        c = self.clock
        c.power_off()
        c.use_disks(self.pristine, forget=False)
        c._store, c._pending = {}, []
        ctx = {}
        self.tx.prepare(c, ctx)
        if self.name == "guard-install" and len(self.images) == 1:
            self.images.append(ctx["image"])
            new = dict(self.trees[0])
            new[inv.NEW_FILE[0]] = hashlib.sha256(inv.NEW_FILE[1]).hexdigest()
            self.trees.append(new)
        ctx.setdefault("before", c.store())
        if self.tx.at_power_up:
            c.power_up()
        return ctx, time.monotonic()

    def clean(self):
        ctx, t0 = self.fresh()
        self.tx.start(self.clock, ctx)
        self.tx.done(self.clock, ctx)
        span = time.monotonic() - t0
        problems = self.check(ctx, self.clock.store(), "clean run")
        self.clock.power_off()
        return span, problems + self.after_cut(ctx, "clean run, powered off after its end")

    def cut(self, moment):
        """The transaction cut `moment` seconds after it began; [problem]."""
        ctx, t0 = self.fresh()
        c = self.clock
        qemu = c._proc
        timer = threading.Timer(max(0.0, t0 + moment - time.monotonic()), lambda: qemu.kill())
        timer.start()
        ended = False
        try:
            self.tx.start(c, ctx)
            self.tx.done(c, ctx)
            ended = True
        except (SimError, SimTimeout, AssertionError, OSError):
            pass  # the power went while the transaction ran
        timer.join()
        self.figures["in flight"] += not ended
        c.power_off()
        return self.after_cut(ctx, f"cut {moment:.2f} s after the start")

    def after_cut(self, ctx, what):
        c = self.clock
        flash = c.flash()
        held = [i for i, img in enumerate(self.images) if flash[:len(img)] == img]
        if not held:
            # The upgrader was cut while writing: the platform reflashes.
            self.figures["reflashed"] += 1
            c.write_flash(self.images[0])
            held = [0]
        c.power_up()
        problems = self.check(ctx, c.mounted_store, "as the power-up found it")
        try:
            state = inv.settle(c)
        except AssertionError as e:
            return [f"{what}: {p}" for p in problems + [str(e)]]
        problems += self.check(ctx, c.store(), f"settled ({state})")
        listing = res_listing(c)
        if listing is None:
            problems.append('"/res" is not mounted')
        elif listing != self.trees[held[-1]]:
            others = [i for i, t in enumerate(self.trees) if t == listing]
            problems.append(f'"/res" holds image {others[0]}, the flash image {held[-1]}' if others
                            else '"/res" holds no whole image')
        return [f"{what}: {p}" for p in problems]

    def check(self, ctx, store, when):
        leaves = self.tx.leaves(self.clock, ctx)
        return [f"{when}: {p}" for p in inv.check_store(self.clock, leaves, ctx["before"], store=store)
                + inv.check_whole(self.clock, store=store)]


def run_job(args):
    name, fs, cuts, seed = args
    start = time.monotonic()
    tmp = tempfile.mkdtemp(prefix=f"vmcuts-{name}-{fs}-")
    out = {"name": name, "fs": fs, "figures": {}, "problems": [], "span": None}
    job = None
    try:
        job = Job(tmp, name, fs)
        span, problems = job.clean()
        out["span"] = span
        out["problems"] += problems
        rng = random.Random(f"{seed}/{name}/{fs}")
        for i in range(cuts):
            moment = rng.uniform(0, span * LATE)
            problems = job.cut(moment)
            job.figures["run"] += 1
            job.figures["held"] += not problems
            out["problems"] += problems
        out["figures"] = job.figures
    except Exception:
        out["problems"].append(f"{name} on {fs}: the run broke off:\n{traceback.format_exc()}"
                               + (job.clock.timeline(last=40) if job else ""))
    finally:
        if job is not None:
            job.clock.close()
        shutil.rmtree(tmp, ignore_errors=True)
    out["seconds"] = time.monotonic() - start
    return out


def run_crash_states(args):
    name, _, _, _ = args
    start = time.monotonic()
    tmp = tempfile.mkdtemp(prefix=f"crash-states-{name}-")
    try:
        points, states, problems = crash_states.check_transaction(name, tmp, log=lambda *a: None)
    except Exception:
        points, states, problems = 0, 0, [f"the run broke off:\n{traceback.format_exc()}"]
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return {"name": name, "fs": "ext4", "crash": (points, states), "problems": problems,
            "seconds": time.monotonic() - start}


def run_any(args):
    return run_crash_states(args) if args[2] == "crash" else run_job(args)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--full", action="store_true", help=f"{CUTS['full']} cuts per transaction and file system")
    mode.add_argument("--sampled", action="store_true", help=f"{CUTS['sampled']} cuts each (scripts/test)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--fs", action="append", choices=["ext4", "ubifs"])
    ap.add_argument("--cuts", type=int, help="cuts per transaction and file system")
    ap.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1), help="virtual machines at a time")
    ap.add_argument("--no-crash-states", action="store_true", help="cuts only")
    ap.add_argument("transactions", nargs="*")
    a = ap.parse_args(argv)
    reasons = missing_vm_capabilities("x86_64")
    if reasons:
        print("vmcuts: skipped: " + "; ".join(reasons))
        return 0
    kind = "sampled" if a.sampled else "full"
    names = a.transactions or (SAMPLED if a.sampled else FULL)
    cuts = a.cuts if a.cuts is not None else CUTS[kind]
    jobs = [(n, fs, cuts, a.seed) for n in names for fs in (a.fs or ["ext4", "ubifs"])] if cuts else []
    if not a.no_crash_states:
        crash = a.transactions or (crash_states.SAMPLED if a.sampled else crash_states.FULL)
        jobs += [(n, "ext4", "crash", a.seed) for n in crash]
    # The long ones first, so the last machine does not run alone.
    jobs.sort(key=lambda j: (j[2] != "crash", j[0] not in ("guard-install", "stock"), j[0]))
    t0 = time.monotonic()
    failed = []
    with concurrent.futures.ProcessPoolExecutor(max_workers=a.jobs) as pool:
        for out in pool.map(run_any, jobs):
            if "crash" in out:
                points, states = out["crash"]
                print(f"{out['name']:<28} ext4   crash states: {points} flush and FUA points, {states} distinct "
                      f"states checked, {len(out['problems'])} problems; {out['seconds']:.0f} s", flush=True)
            else:
                f = out["figures"]
                span = f"{out['span']:.1f} s" if out["span"] is not None else "-"
                print(f"{out['name']:<28} {out['fs']:<6} span {span:>7}; cuts run {f.get('run', 0)}, "
                      f"held {f.get('held', 0)} ({f.get('in flight', 0)} in flight, "
                      f"{f.get('reflashed', 0)} reflashed); {out['seconds']:.0f} s", flush=True)
            for p in out["problems"]:
                print(f"  {out['name']} {out['fs']}: {p}", flush=True)
            if out["problems"]:
                failed.append((out["name"], out["fs"], "crash states" if "crash" in out else "cuts"))
    print(f"vmcuts: {len(jobs)} runs, seed {a.seed}, {time.monotonic() - t0:.0f} s; "
          + (f"{len(failed)} FAILED: {failed}" if failed else "all held"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
