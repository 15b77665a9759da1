"""The cut tool's numbering and the durability checker, which the power
runs (cutrun.py) rely on: a checker that cannot fail or a numbering that
moves between runs would make every cut point meaningless."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cutrun  # noqa: E402
from clockfixture import clock_skip_reason  # noqa: E402

S = "/data/tavrine-app"


def calls(*rows):
    return [cutrun.Call(n, 7, "worker", name, list(paths), result)
            for n, (name, paths, result) in enumerate(rows, 1)]


GOOD = [("openat", ["AT_FDCWD", f"{S}/x.next"], "3"), ("write", [f"{S}/x.next"], "4"),
        ("fsync", [f"{S}/x.next"], "0"), ("close", [f"{S}/x.next"], "0"),
        ("rename", [f"{S}/x.next", f"{S}/x"], "0"), ("openat", ["AT_FDCWD", f"{S}/"], "3"),
        ("fsync", [S], "0"), ("close", [S], "0"), ("clone", [], "9")]


@pytest.mark.parametrize("rows,problem", [
    (GOOD, None),
    # The fsync of the temporary file missing, or before its last write.
    ([r for r in GOOD if r != ("fsync", [f"{S}/x.next"], "0")], "without an fsync"),
    (GOOD[:1] + GOOD[2:3] + GOOD[1:2] + GOOD[3:], "without an fsync"),
    # No directory flush, or one only after the next step.
    (GOOD[:6] + GOOD[7:], "no directory fsync before"),
    (GOOD[:5] + GOOD[8:] + GOOD[5:8], "no directory fsync before 6 clone"),
    # Written in place of a ".next".
    ([("rename", [f"{S}/y", f"{S}/x"], "0")] + GOOD[5:8], "rename"),
    # A removal that is never flushed; a failed one needs nothing.
    ([("unlink", [f"{S}/boot-error"], "0"), ("clone", [], "9")], "removal"),
    ([("unlink", [f"{S}/boot-error"], "-2"), ("clone", [], "9")], None),
    # A temporary file read as if it were its target.
    (GOOD[:4] + [("read", [f"{S}/x.next"], "4")] + GOOD[4:], "read of"),
], ids=["whole", "no-file-fsync", "fsync-before-write", "no-dir-fsync", "dir-fsync-late",
        "not-from-next", "removal-unflushed", "failed-removal", "next-read"])
def test_durability_checker(rows, problem):
    found = cutrun.durability(calls(*rows))
    if problem is None:
        assert found == []
    else:
        assert found and problem in found[0], found


@pytest.mark.skipif(bool(clock_skip_reason()), reason=clock_skip_reason() or "clock ready")
def test_numbering_is_the_same_on_every_run(tmp_path):
    # A switch that rolls back at once has no poll whose count could vary:
    # every call, of the command, the worker and the children before their
    # exec, must get the same number in two runs.
    bench = cutrun.Bench(tmp_path, "switch-rolled-back-at-once")
    try:
        runs = [[(c.n, cutrun.signature(c)) for c in cutrun.clean(bench)[0]] for _ in range(2)]
    finally:
        bench.close()
    assert len(runs[0]) > 1000
    assert runs[0] == runs[1]
