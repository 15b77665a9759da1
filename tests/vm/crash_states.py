"""Every crash state of the ext4 "/data" partition during a transaction.

The VM clock's "/data" goes through dm-log-writes, which logs every write
that reached the disk, in the order the disk holds them, and every flush
and FUA request. For a transaction of the power tests (invariants.py): its
writes are recorded between two marks; then for every flush and FUA point
after the first mark the log is replayed onto a copy of the disk as it was
before the recording began, up to that point, and the clock is powered up
on the result: the store as the power-up found it, and once the clock
settled, must pass the power tests' checks. Points that leave the same disk
are checked once.

The log's format (drivers/md/dm-log-writes.c): a super block in the first
sector (magic, version, entry count, sector size), then per entry one sector
with its header (sector, sector count, flags, data length; a mark's name
follows the header) and, for a write, its data in the sectors after it.

Run by tests/vm/vmcuts.py beside the cuts; alone:
    tests/vm/vmcuts.py --cuts 0 [TRANSACTION...]
"""

import hashlib
import shutil
import struct
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "sim"))
sys.path.insert(0, str(HERE.parents[1] / "tests" / "power"))

import invariants as inv  # noqa: E402
from vmclock import VMClock  # noqa: E402

MAGIC = 0x6a736677736872
FLUSH, FUA, DISCARD, MARK = 1, 2, 4, 8
SAMPLED = ["switch-confirmed"]
FULL = ["boot-slot", "boot-previous", "stock", "switch-confirmed", "switch-rolled-back-at-once", "guard-install"]

Entry = namedtuple("Entry", "sector count flags mark data")


def read_log(path):
    """The log's entries, in order."""
    with open(path, "rb") as f:
        magic, version, count, sectorsize = struct.unpack("<QQQI", f.read(28))
        if magic != MAGIC or version != 1:
            raise ValueError(f"{path}: no dm-log-writes log (magic {magic:#x}, version {version})")
        entries, pos = [], sectorsize
        for _ in range(count):
            f.seek(pos)
            head = f.read(sectorsize)
            sector, nr, flags, length = struct.unpack("<QQQQ", head[:32])
            mark = head[32:32 + length].decode(errors="replace") if flags & MARK else None
            pos += sectorsize
            data = None
            if nr and not flags & (DISCARD | MARK):
                data = f.read(nr * sectorsize)
                pos += nr * sectorsize
            entries.append(Entry(sector * sectorsize, nr * sectorsize, flags, mark, data))
    return entries


def crash_points(entries, start, end):
    """Indexes after which the disk may be found: every flush and FUA
    between the marks `start` and `end`, and the marks themselves."""
    first = next(i for i, e in enumerate(entries) if e.mark == start)
    last = next(i for i, e in enumerate(entries) if e.mark == end)
    return [first] + [i for i in range(first + 1, last) if entries[i].flags & (FLUSH | FUA)] + [last]


def replay(entries, disk, begin, end):
    """Applies entries[begin:end] to the disk image."""
    with open(disk, "r+b") as f:
        for e in entries[begin:end]:
            if e.data is not None:
                f.seek(e.sector)
                f.write(e.data)
            elif e.flags & DISCARD:
                f.seek(e.sector)
                f.write(bytes(e.count))


def record(clock, tx, work):
    """Runs the transaction with "/data" recorded from the power-up on;
    returns (ctx, the data disk before that power-up, the log)."""
    start = clock.copy_disks(work / "start") / clock.disks["data"].name
    ctx = {}
    tx.prepare(clock, ctx)  # the running clock a transaction starts on, if any
    ctx.setdefault("before", clock.store())
    if tx.at_power_up:
        clock.power_up(mark="start")
    else:
        clock.mark("start")
    tx.start(clock, ctx)
    tx.done(clock, ctx)
    problems = (inv.check_store(clock, tx.leaves(clock, ctx), ctx["before"]) + inv.check_whole(clock))
    if problems:
        raise RuntimeError(f"the recorded run itself: {problems}")
    clock.mark("end")
    end = time.monotonic() + 30
    while not any(e.mark == "end" for e in read_log(clock.disks["log"])):
        if time.monotonic() > end:
            raise RuntimeError("the log never got its end mark")
        time.sleep(0.1)
    clock.power_off()
    return ctx, start, read_log(clock.disks["log"])


def check_transaction(name, tmp, log=print):
    tx = inv.TRANSACTIONS[name]
    work = Path(tempfile.mkdtemp(prefix=f"crash-{name}-", dir=tmp))
    clock = VMClock(work, record=True, warm=True)
    problems, states, points = [], 0, 0
    try:
        ctx, start_disk, entries = record(clock, tx, work)
        marks = crash_points(entries, "start", "end")
        points = len(marks)
        image = work / "replayed" / start_disk.name
        image.parent.mkdir()
        shutil.copyfile(start_disk, image)
        seen, done = set(), 0
        for index in marks:
            replay(entries, image, done, index + 1)
            done = index + 1
            digest = hashlib.sha256(image.read_bytes()).hexdigest()
            if digest in seen:
                continue
            seen.add(digest)
            states += 1
            clock.use_disks(image.parent)
            clock.power_up()
            what = f"{name}: crash state after log entry {index} ({_describe(entries[index])})"
            leaves = tx.leaves(clock, ctx)
            found = inv.check_store(clock, leaves, ctx["before"], store=clock.mounted_store) + \
                inv.check_whole(clock, store=clock.mounted_store)
            try:
                inv.settle(clock)
                found += inv.check_store(clock, leaves, ctx["before"]) + inv.check_whole(clock)
            except AssertionError as e:
                found.append(str(e))
            clock.power_off()
            for p in found:
                problems.append(f"{what}: {p}")
                log(f"  {what}: {p}")
    finally:
        clock.close()
        shutil.rmtree(work, ignore_errors=True)
    return points, states, problems


def _describe(e):
    if e.mark:
        return f"mark {e.mark}"
    kinds = [k for k, flag in (("flush", FLUSH), ("FUA", FUA)) if e.flags & flag]
    return "+".join(kinds) + (f" write of {e.count} bytes at {e.sector}" if e.data is not None else "")
