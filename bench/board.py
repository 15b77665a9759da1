#!/usr/bin/env python3
"""The hook and readback figures inside the emulated ARMv7 board: the VM
clock's armhf guest (Debian's armmp kernel under qemu-system-arm, TCG) with
the release tree in its flash and the benchmark programs of the armhf-sim
build. The same two programs and baselines as on the build machine, run
the same way, interleaved:

- hook: tavrine-hook-bench as PID 1 of a private PID and mount namespace
  (busybox unshare) where "/bin/setprop" is the trivial program; the
  boot control and the hook are the release's, from the flash's "/res";
- readback: tavrine-readback-bench, the whole process against GNU cmp
  (Debian's diffutils for armhf) over two 8 MiB files in the board's RAM.

A figure of an emulated processor: compare the ratios with the build
machine's, not the times.

    python3 bench/board.py [ROUNDS]
"""
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "sim"))
from vmclock import VMClock, fetch_packages, missing_vm_capabilities  # noqa: E402

HOOK = ("mount --bind /bench/trivial /bin/setprop && mount -t tmpfs tmpfs /tmp && "
        "mount -t tmpfs tmpfs /data && exec /bench/tavrine-hook-bench {rounds}")


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    reasons = fetch_packages(["armhf"]) or missing_vm_capabilities("armhf")
    if reasons:
        print("board: cannot run the ARM board: " + "; ".join(reasons), file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="bench-board-") as tmp:
        clock = VMClock(tmp, arch="armhf")
        try:
            clock.power_up(boot=False)
            if not clock.exists("/bench/tavrine-hook-bench"):
                print("board: the armhf benchmark programs are not built (scripts/build-clocks arm)", file=sys.stderr)
                return 1
            print("inside the ARM board (qemu-system-arm, cortex-a15, TCG; the armhf release):", flush=True)
            status = 0
            for argv in (["/usr/bin/unshare", "-m", "-p", "-f", "--mount-proc", "/bin/sh", "-c",
                          HOOK.format(rounds=rounds)],
                         ["/bench/tavrine-readback-bench"]):
                r = clock.run(argv, timeout=1800)
                print(r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace"), flush=True)
                status = status or r.returncode
            return status
        finally:
            clock.close()


if __name__ == "__main__":
    sys.exit(main())
