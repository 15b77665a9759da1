#!/usr/bin/env python3
"""Peak resident memory of each release program (native static build) on a
full run on the simulated clock: the boot control's "--start" into slot "a"
confirmed, a slot switch to "b" confirmed, a guarded install verified and
remounted. Every process of a run is traced by tavrine-peak-rss, which reads
each one's VmHWM at its exit; the guard's worker, which never ends on its
own, is ended with SIGTERM once its record is written and two keep-alives
have followed.

    TAVRINE_BUILD=build-bench python3 bench/memory.py
"""
import os
import re
import shutil
import signal
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "sim"))
from simclock import SimClock  # noqa: E402

BUILD = Path(os.environ.get("TAVRINE_BUILD", ROOT / "build-bench"))
TRACER = "/run/sim/peak-rss"
INSTALL_DIR = "/tmp/tavrine-permanent-install"
RUN_ID = b"0123456789abcdef" * 2
TIMEOUT = 120


def traced(clock, name, argv, **options):
    """Runs argv under the tracer to its last process; the trace's path."""
    out = f"/run/sim/rss-{name}"
    return out, clock.spawn([TRACER, out, *argv], **options)


def finish(clock, out, process):
    """Waits for the traced run; its processes as (pid, parent, exe, kB)."""
    if process.wait(timeout=TIMEOUT) != 0:
        raise SystemExit(f"{out}: the run ended with {process.returncode}\n{clock.timeline(fold=True)}")
    rows = [line.split() for line in clock.path(out).read_text().splitlines()]
    return [(int(pid), int(parent), Path(exe).name, int(kb)) for pid, parent, exe, kb in rows]


def main():
    with tempfile.TemporaryDirectory(prefix="tavrine-memory-") as tmp, \
            SimClock(Path(tmp), build_dir=BUILD, speed=10) as clock:
        shutil.copy(BUILD / "bench" / "tavrine-peak-rss", clock.run_dir / "peak-rss")
        clock.install_slot("a", "1.0")
        clock.install_slot("b", "1.1")
        clock.write("/data/tavrine-app/current.cfg", clock.slot_cfg("a"))
        clock.power_up(boot=False)
        assert clock.run(["/bin/setprop", "ctl.start", "hciattach"]).returncode == 0
        runs = {}

        out, p = traced(clock, "boot", ["/res/bin/tavrine-boot-control", "--start"])
        runs["tavrine-boot-control"] = finish(clock, out, p)
        clock.wait_event(r"^fs replaced /data/tavrine-app/current\.cfg")

        out, p = traced(clock, "switch", ["/res/bin/tavrine-ota-switch", "b", "1.1"])
        runs["tavrine-ota-switch"] = finish(clock, out, p)
        if not clock.read("/data/tavrine-app/result").startswith(b"confirmed"):
            raise SystemExit(f"slot switch not confirmed\n{clock.timeline(fold=True)}")

        clock.write(f"{INSTALL_DIR}/run-id", RUN_ID)
        clock.write(f"{INSTALL_DIR}/res.squashfs", clock.make_res_image({"ui/new.txt": b"new\n"}).read_bytes())
        out, p = traced(clock, "guard", ["/bin/tavrine-install-guard", "--watch"], env_workspace=True)
        clock.wait_event(rf"^fs replaced {INSTALL_DIR}/guard-ready")
        clock.upgrader(f"{INSTALL_DIR}/res.squashfs", duration=1.0)
        done = clock.wait_event(r"^fs replaced /data/tavrine-app/install-result\.json", timeout=60)
        if b'"phase":"write_verified"' not in clock.read("/data/tavrine-app/install-result.json"):
            raise SystemExit(f"install not verified\n{clock.timeline(fold=True)}")
        clock.wait_event(r"^tavrine-install-guard setprop sys\.zkapp\.state", after=done, count=2)
        for pid, exe, _ in clock.processes():
            if exe == "tavrine-install-guard":
                os.kill(pid, signal.SIGTERM)
        # The command process has ended with 0 long before: the status of the
        # trace is the command's.
        runs["tavrine-install-guard"] = finish(clock, out, p)

    print("peak resident memory (VmHWM at each process's exit), native static build, full runs on the simulated clock")
    for program, rows in runs.items():
        own = [(pid, parent, kb) for pid, parent, exe, kb in rows if exe == program]
        first = {pid for pid, parent, _ in own if parent not in {p for p, _, _ in own}}
        roles = ", ".join(f"{'command' if pid in first else 'worker'} {kb} kB" for pid, _, kb in own)
        print(f"  {program:22} peak {max(kb for _, _, kb in own):5} kB  ({roles})")


if __name__ == "__main__":
    main()
