"""The simulated clock: a sandboxed device that runs the real product binaries.

One SimClock is one device: its own temporary directory, app store, flash
partition (a loop device) and, while powered up, its own mount, PID, network,
IPC and UTS namespaces (bubblewrap). Every process inside runs under
libfaketime's speed-up, so the product's fixed waits pass `speed` times
faster; the event log is stamped in real time and converted to device
seconds here. See sim/API.md for the guide and sim/README.md for the layout.
"""

import atexit
import ctypes
import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import weakref
from collections import namedtuple
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_BUILD = Path(os.environ.get("TAVRINE_BUILD", REPO / "build"))
# The product may come from another build than the emulators (the sanitizer
# build builds no emulators).
DEFAULT_PRODUCT = os.environ.get("TAVRINE_PRODUCT_BUILD")
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

# ARM clocks (arch="armhf"): the release tree as installed for the device,
# and the ARM host and sample apps; everything else stays native.
ARMHF_STAGE = Path(os.environ.get("TAVRINE_ARMHF_STAGE", REPO / "build-armhf-release" / "stage"))
ARMHF_SIM = Path(os.environ.get("TAVRINE_ARMHF_SIM", REPO / "build-armhf-sim" / "sim"))
QEMU_ARM = "/usr/bin/qemu-arm-static"
ARM_LIBC = "/usr/arm-linux-gnueabihf"
ARM_EMULATORS = ["zkswe"]
# A private binfmt_misc of the holder's user namespace runs 32-bit ARM ELF
# files through qemu (F: the interpreter is opened now, from the host's
# root). The machine's own binfmt settings are never touched.
BINFMT_QEMU_ARM = (r":qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00"
                   r":\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
                   f":{QEMU_ARM}:F")

STORE = "/data/tavrine-app"
CONTROL = "/run/sim"
FLASH_SIZE = 8388608
WORKSPACE_SIZE = 32768

# The sample stock application's resources and start configuration.
STOCK_DIR = REPO / "sim" / "stock"
STOCK_CFG = b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"}'
PLATFORM_CFG = b'{"startupLibPath":"/res/lib/libtavrine-boot.so","resPath":"/res/ui/"}'

# Product: build-folder path -> place on the device.
PRODUCT = {
    "tavrine-boot-control": ("boot-control/tavrine-boot-control", "/res/bin/tavrine-boot-control"),
    "tavrine-ota-switch": ("ota-switch/tavrine-ota-switch", "/res/bin/tavrine-ota-switch"),
    "libtavrine-boot.so": ("boot-hook/libtavrine-boot.so", "/res/lib/libtavrine-boot.so"),
    # Outside "/res": its own code would keep "/res" busy during the remount.
    "tavrine-install-guard": ("install-guard/tavrine-install-guard", "/bin/tavrine-install-guard"),
}
EMULATORS = ["setprop", "getprop", "zkswe", "hciattach", "upgrader", "siminit", "simwatch",
             "simexec", "portholder", "simtime"]
# Installed when built: the cut tool exists for the x86-64 clock only.
OPTIONAL_EMULATORS = ["cut"]
BEHAVIOURS = ("ready", "never", "wrong", "crash")
HOST_ENV = {"PATH": "/usr/bin:/usr/sbin:/bin:/sbin", "LANG": "C"}
# libfaketime's shared memory as PID 1 of the clock creates it: processes
# started from outside join it, so the whole clock shares one time base.
FAKETIME_SHARED = "/faketime_sem_1 /faketime_shm_1"

Event = namedtuple("Event", "t actor pid text boot seq real")
Event.__doc__ = """One event: t in device seconds since its power-up, boot = power-up
number (1, 2, ...; 0 before the first), seq = line number, real = raw ns."""


class SimError(RuntimeError):
    """The simulated clock itself failed (not the product)."""


class SimTimeout(AssertionError):
    """An awaited event or file did not come; the message carries the timeline."""


def session_of(pid):
    """The session id of a process, or None once it has gone."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
    except OSError:
        return None
    return int(stat[stat.rindex(")") + 2:].split()[3])


def stock_tree(dest, library, stock=STOCK_DIR):
    """The stock application's part of "/res" in `dest`: the folder `stock`
    (ui/, etc/tavrine-stock.cfg, and lib/libzkgui.so if it has one), else
    `library` as "lib/libzkgui.so"."""
    shutil.copytree(stock, dest, dirs_exist_ok=True, ignore=shutil.ignore_patterns("README.md"))
    lib = Path(dest) / "lib" / "libzkgui.so"
    if not lib.exists():
        lib.parent.mkdir(exist_ok=True)
        shutil.copy2(library, lib)


def squashfs(tree, path):
    """A squashfs image of `tree` at `path` as the clock's flash holds it:
    every file owned by root; at most the 8 MiB of the partition."""
    subprocess.run(["mksquashfs", str(tree), str(path), "-noappend", "-all-root", "-quiet", "-no-progress"],
                   check=True, stdout=subprocess.DEVNULL)
    if Path(path).stat().st_size > FLASH_SIZE:
        raise SimError(f"{path} is larger than the 8 MiB partition")
    return Path(path)


def missing_capabilities(squashfs=True, arch=None):
    """Reasons this machine cannot run a clock (empty when it can)."""
    reasons = []
    if arch == "armhf":
        if not Path(QEMU_ARM).exists():
            reasons.append(f"qemu-user-static missing ({QEMU_ARM})")
        if not Path(ARM_LIBC, "lib", "ld-linux-armhf.so.3").exists():
            reasons.append(f"ARM C library missing ({ARM_LIBC})")
        if shutil.which("unshare") is None:
            reasons.append("unshare not installed")
    if os.geteuid() != 0:
        reasons.append("needs root (namespaces, mounts, loop devices)")
    for tool in ["bwrap", "nsenter"] + (["mksquashfs", "losetup"] if squashfs else []):
        if shutil.which(tool) is None and not Path("/usr/sbin", tool).exists():
            reasons.append(f"{tool} not installed")
    if not Path(FAKETIME_LIB).exists():
        reasons.append(f"libfaketime missing ({FAKETIME_LIB})")
    if "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ:
        reasons.append("libfaketime does not work under sanitizers")
    return reasons


def missing_emulators(build_dir=None, arch=None):
    build = Path(build_dir or DEFAULT_BUILD) / "sim"
    missing = [e for e in EMULATORS if not (build / e).exists()]
    arm = [ARMHF_SIM / f for f in ARM_EMULATORS + ["libapp-stock.so", "libapp-slot.so"]]
    if arch == "armhf":
        return missing + [str(f) for f in arm if not f.exists()]
    return missing + [lib for lib in ("libapp-stock.so", "libapp-slot.so") if not (build / lib).exists()]


_live = weakref.WeakSet()


@atexit.register
def _close_all():
    for clock in list(_live):
        clock.close()


def _die_with_us():
    # The sandbox goes when this process goes, however it ends.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


_UNESCAPE = re.compile(r"\\(x[0-9a-f]{2}|.)")


def _unescape(text):
    def one(m):
        c = m.group(1)
        if len(c) == 3:
            return chr(int(c[1:], 16))
        return {"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(c, m.group(0))
    return _UNESCAPE.sub(one, text)


def _escape(text):
    return "".join(c if " " <= c < "\x7f" and c != "\\" else
                   {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\\": "\\\\"}.get(c, f"\\x{ord(c) & 0xff:02x}")
                   for c in text)


class SimClock:
    """One simulated clock. Use as a context manager or call close()."""

    def __init__(self, tmp_path, build_dir=None, speed=None, squashfs=True, wrap=None, res_files=None,
                 product_dir=None, arch=None):
        """tmp_path: a directory for this clock (a fresh subdirectory is made);
        build_dir: the CMake build folder with the product and sim/;
        speed: libfaketime speed-up (1 = real time);
        squashfs: "/res" a squashfs on a loop device at "/dev/block/mtdblock3"
        (else a plain read-only directory);
        wrap: {"tavrine-ota-switch": ["strace", "-f", "-o", "/data/tavrine-app/trace"]}
        runs that program through the given command;
        res_files: {relative path: bytes} added to the stock "/res";
        product_dir: the build folder to take the product from (default
        $TAVRINE_PRODUCT_BUILD, else build_dir);
        arch="armhf": the product from the ARM release tree and the ARM host
        and apps, run through qemu-user (real time only: speed 1)."""
        self.build = Path(build_dir or DEFAULT_BUILD)
        self.product = Path(product_dir or DEFAULT_PRODUCT or self.build)
        self.arm = arch == "armhf"
        if arch not in (None, "x86_64", "armhf"):
            raise ValueError(f"unknown arch {arch!r}")
        if self.arm and (speed not in (None, 1) or wrap):
            # Static ARM programs ignore libfaketime's preload.
            raise ValueError("an ARM clock runs at speed 1 and wraps nothing")
        self.speed = float(speed or (1 if self.arm else 10))
        self._holder = None
        self.squashfs = squashfs
        self.dir = Path(tempfile.mkdtemp(prefix="clock-", dir=tmp_path))
        self.data = self.dir / "data"
        self.run_dir = self.dir / "run"
        self.bin = self.dir / "bin"
        self.res_tree = self.dir / "res-tree"
        self.log = self.run_dir / "events.log"
        self.loop = None
        self._loop_fd = None
        self._proc = None
        self.pid = None
        self._spawned = []
        self._props = {"sys.zkupgrade.state": "-1"}
        self._boots = 0
        self._images = 0
        self._parsed = (0, [], 0, None)  # log offset, events, boot, its start
        missing = missing_emulators(self.build, arch)
        if missing:
            raise SimError(f"simulated clock not built in {self.build}: missing {missing}")
        for d in (self.data, self.run_dir / "faults", self.bin, self.res_tree):
            d.mkdir(parents=True)
        self.log.touch()
        with open(self.run_dir / "workspace", "wb") as f:
            f.truncate(WORKSPACE_SIZE)
        self.installed = {}
        self._install_bin(wrap or {})
        self._install_res(wrap or {}, res_files or {})
        _live.add(self)
        if self.arm:
            self._start_holder()
        if squashfs:
            self._attach_flash(self.make_res_image(path=self.dir / "res.squashfs"))

    # ----- construction -------------------------------------------------

    def _copy_product(self, name, wrap, dest_root):
        build_rel, device_path = PRODUCT[name]
        # The ARM release tree is laid out as on the device.
        src = ARMHF_STAGE / device_path.lstrip("/") if self.arm else self.product / build_rel
        if not src.exists():
            return
        dest = dest_root / device_path.split("/", 2)[2] if dest_root == self.res_tree else \
            dest_root / Path(device_path).name
        if name in wrap:
            real = dest.with_name(dest.name + ".real")
            shutil.copy2(src, real)
            cmd = " ".join(shlex.quote(a) for a in wrap[name])
            dest.write_text(f'#!/bin/sh\nexec {cmd} {shlex.quote(device_path + ".real")} "$@"\n')
            dest.chmod(0o755)
        else:
            shutil.copy2(src, dest)
        self.installed[name] = device_path

    def _install_bin(self, wrap):
        for e in EMULATORS:
            shutil.copy2(self._emulator(e), self.bin / e)
        for e in OPTIONAL_EMULATORS:
            if (self.build / "sim" / e).exists():
                shutil.copy2(self.build / "sim" / e, self.bin / e)
        os.symlink("/usr/bin/sh", self.bin / "sh")
        self._copy_product("tavrine-install-guard", wrap, self.bin)

    def _install_res(self, wrap, extra):
        stock_tree(self.res_tree, self._emulator("libapp-stock.so"))
        (self.res_tree / "bin").mkdir()
        for name in ("tavrine-boot-control", "tavrine-ota-switch", "libtavrine-boot.so"):
            self._copy_product(name, wrap, self.res_tree)
        self._add_files(self.res_tree, extra)

    @staticmethod
    def _add_files(root, files):
        for rel, content in files.items():
            p = root / rel.lstrip("/")
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(content)
            if rel.lstrip("/").startswith("bin/"):
                p.chmod(0o755)

    def _emulator(self, name):
        """Host path of an emulator or sample app: the host and the apps it
        loads are ARM on an ARM clock, the platform's tools stay native."""
        if self.arm and (name in ARM_EMULATORS or name.endswith(".so")):
            return ARMHF_SIM / name
        return self.build / "sim" / name

    def _start_holder(self):
        """A process that keeps a user namespace with its own binfmt_misc,
        where qemu-arm runs ARM programs; services of the clock join it.
        It dies with us, and close() ends it."""
        script = ('mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && '
                  'printf %s "$1" > /proc/sys/fs/binfmt_misc/register && echo ready && exec sleep infinity')
        self._holder = subprocess.Popen(
            ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private",
             "sh", "-c", script, "sh", BINFMT_QEMU_ARM],
            env=HOST_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_us)
        line = self._holder.stdout.readline()
        if line != b"ready\n":
            out = line + self._holder.stdout.read()
            self._stop_holder()
            raise SimError(f"no binfmt_misc for ARM in a user namespace: {out.decode(errors='replace')}")
        self._holder.stdout.close()

    def _stop_holder(self):
        if self._holder is not None:
            if self._holder.poll() is None:
                os.kill(self._holder.pid, signal.SIGKILL)
            self._holder.wait()
            if self._holder.stdout:
                self._holder.stdout.close()
            self._holder = None

    def has(self, name):
        """True when the product program `name` was built and installed."""
        return name in self.installed

    def require(self, *names):
        """Skip the running pytest test unless these product programs exist."""
        missing = [n for n in names if n not in self.installed]
        if missing:
            import pytest
            pytest.skip(f"not built yet in {self.build}: {', '.join(missing)}")

    def make_res_image(self, extra_files=None, path=None, remove=()):
        """A squashfs image of the stock "/res" plus extra_files ({relative path:
        bytes}) minus `remove`; returns its host Path."""
        tree = self.res_tree
        if extra_files or remove:
            tree = self.dir / f"res-tree-{self._images}"
            shutil.copytree(self.res_tree, tree, symlinks=True)
            self._add_files(tree, extra_files or {})
            for rel in remove:
                p = tree / rel.lstrip("/")
                shutil.rmtree(p) if p.is_dir() else p.unlink()
        self._images += 1
        path = squashfs(tree, path or self.dir / f"image-{self._images}.squashfs")
        if tree != self.res_tree:
            shutil.rmtree(tree)
        return path

    def _attach_flash(self, image):
        flash = self.run_dir / "flash.img"
        with open(flash, "wb") as f:
            f.write(image.read_bytes())
            f.truncate(FLASH_SIZE)
        self.loop = subprocess.run(["losetup", "--find", "--show", str(flash)], check=True,
                                   capture_output=True, text=True).stdout.strip()
        # Our descriptor keeps the device; the detach then only marks it
        # auto-clear, so it vanishes once we and the last mount let go, even
        # if this process is killed.
        self._loop_fd = os.open(self.loop, os.O_RDONLY | os.O_CLOEXEC)
        subprocess.run(["losetup", "--detach", self.loop], check=True)

    def flash(self):
        """The partition's bytes (the loop device's backing file)."""
        return (self.run_dir / "flash.img").read_bytes() if self.squashfs else None

    # ----- store preparation --------------------------------------------

    @staticmethod
    def slot_cfg(slot):
        return (f'{{"startupLibPath":"{STORE}/{slot}/lib/libzkgui.so",'
                f'"resPath":"{STORE}/{slot}/ui/"}}').encode()

    def install_slot(self, slot, version, behaviour="ready", write_cfg=True, manifest=None):
        """Deliver the sample application into a slot. behaviour: "ready",
        "ready_after:SECONDS", "never", "wrong" (no final line feed) or "crash".
        manifest: bytes replacing the generated manifest.json."""
        if behaviour not in BEHAVIOURS and not re.fullmatch(r"ready_after:[0-9.]+", behaviour):
            raise ValueError(f"unknown behaviour {behaviour!r}")
        d = self.data / slot
        (d / "lib").mkdir(parents=True, exist_ok=True)
        (d / "ui").mkdir(exist_ok=True)
        tmp = d / "lib" / ".libzkgui.so.sim"
        shutil.copy2(self._emulator("libapp-slot.so"), tmp)
        os.replace(tmp, d / "lib" / "libzkgui.so")
        (d / "ui" / "main.ftu").write_text(f"slot {slot} main window\n")
        self.write(f"{STORE}/{slot}/manifest.json",
                   manifest if manifest is not None else json.dumps({"version": version}).encode())
        self.write(f"{STORE}/{slot}/sim-behaviour", behaviour.encode())
        if write_cfg:
            self.write(f"{STORE}/{slot}/EasyUI.cfg", self.slot_cfg(slot))
        return d

    def set_behaviour(self, slot, behaviour):
        self.write(f"{STORE}/{slot}/sim-behaviour", behaviour.encode())

    # ----- power ----------------------------------------------------------

    def env(self, extra=None, faketime=True):
        """The environment every process of the clock starts with. Only
        processes inside get it: libfaketime in a host-side tool would leave
        its shared memory in the host's /dev/shm."""
        env = {"PATH": "/usr/bin:/bin:/usr/sbin", "HOME": "/", "LANG": "C"}
        if self.arm:
            # The dynamic ARM host finds its loader and C library there.
            env["QEMU_LD_PREFIX"] = ARM_LIBC
        if faketime and not self.arm:
            env.update({"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+0 x{self.speed:g}"})
        env.update(extra or {})
        return env

    @property
    def powered(self):
        return self._proc is not None and self._proc.poll() is None

    def power_up(self, boot=True, timeout=15.0):
        """Start the device: fresh /tmp and properties, /res mounted, file
        watcher running; with boot=True the platform writes its start
        configuration and runs "ctl.start zkswe" (the real boot chain)."""
        if self._proc is not None:
            raise SimError("already powered up")
        for sub in ("props-init", "services", "props"):
            shutil.rmtree(self.run_dir / sub, ignore_errors=True)
            (self.run_dir / sub).mkdir()
        for name, value in self._props.items():
            (self.run_dir / "props-init" / name).write_text(value)
        args = ["bwrap", "--unshare-pid", "--unshare-net", "--unshare-ipc", "--unshare-uts",
                "--hostname", "tavrine-clock", "--as-pid-1", "--die-with-parent", "--cap-add", "ALL",
                "--ro-bind", "/usr", "/usr", "--symlink", "usr/lib", "/lib",
                "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/sbin", "/sbin",
                "--ro-bind", str(self.bin), "/bin", "--proc", "/proc", "--dev", "/dev",
                "--tmpfs", "/dev/shm", "--tmpfs", "/tmp", "--dir", "/run",
                "--bind", str(self.run_dir), CONTROL, "--bind", str(self.data), STORE,
                # Properties live in RAM, as on the device, and cost no disk journal.
                "--tmpfs", f"{CONTROL}/props"]
        if self.squashfs:
            args += ["--dir", "/res", "--dev-bind", self.loop, "/dev/block/mtdblock3"]
        else:
            args += ["--ro-bind", str(self.res_tree), "/res"]
        r, w = os.pipe()
        args += ["--chdir", "/", "--info-fd", str(w), "--clearenv"]
        for k, v in self.env().items():
            args += ["--setenv", k, v]
        args.append("/bin/siminit")
        args += (["--squashfs"] if self.squashfs else []) + (["--boot"] if boot else [])
        fds = [w]
        if self.arm:
            if self._holder is None or self._holder.poll() is not None:
                os.close(r)
                os.close(w)
                raise SimError("the ARM user namespace holder has ended")
            fds.append(os.open(f"/proc/{self._holder.pid}/ns/user", os.O_RDONLY))
            args += ["--arm-userns", str(fds[-1])]
        console = open(self.run_dir / "console.log", "ab")
        self._boots += 1
        try:
            self._proc = subprocess.Popen(args, env=HOST_ENV, stdin=subprocess.DEVNULL, stdout=console,
                                          stderr=console, pass_fds=fds, preexec_fn=_die_with_us)
        finally:
            console.close()
            for fd in fds:
                os.close(fd)
        try:
            info = b""
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                if not select.select([r], [], [], 0.1)[0]:
                    if self._proc.poll() is not None:
                        break
                    continue
                chunk = os.read(r, 4096)
                if not chunk:
                    break
                info += chunk
                if b"}" in info:
                    break
            if b"child-pid" not in info:
                raise SimError(f"sandbox did not start: {self.console()}")
            self.pid = json.loads(info[:info.index(b"}") + 1])["child-pid"]
        except BaseException:
            self.power_off()
            raise
        finally:
            os.close(r)
        try:
            self.wait_event(r"^platform ready$", timeout=timeout * self.speed)
        except SimTimeout:
            self.power_off()
            raise SimError(f"clock did not come up:\n{self.console()}\n{self.timeline()}")
        return self

    def power_off(self):
        """Cut the power: every process of the clock dies at once, its /tmp
        and mounts go with its namespaces."""
        if self._proc is None:
            return
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        for p in self._spawned:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            if p.stdout:
                p.stdout.close()
        self._spawned = []
        self.note("power-off")
        self._proc = None
        self.pid = None

    def close(self):
        """Power off and release the flash's loop device. Idempotent."""
        self.power_off()
        if self._loop_fd is not None:
            os.close(self._loop_fd)
            self._loop_fd = None
        self._stop_holder()
        _live.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def console(self):
        p = self.run_dir / "console.log"
        return p.read_text(errors="replace") if p.exists() else ""

    # ----- running programs inside --------------------------------------

    def _inside(self, argv, env_workspace, close_fds, cwd, env, faketime):
        if not self.powered:
            raise SimError("clock is powered off")
        inner = self.env(env, faketime)
        if faketime and not self.arm:
            inner.setdefault("FAKETIME_SHARED", FAKETIME_SHARED)
        if self.arm and argv and argv[0] in self.installed.values() and not argv[0].endswith(".so"):
            # As an outside caller, in the machine's own user namespace: the
            # install guard mounts "/res", which the ARM one may not.
            argv = [QEMU_ARM, *argv]
        cmd = ["nsenter", "-t", str(self.pid), "-m", "-p", "-n", "-i", "-u", "-r", "-w", "--",
               "/usr/bin/env", "-i", *(f"{k}={v}" for k, v in inner.items()), "/bin/simexec", "--cwd", cwd]
        if env_workspace:
            cmd.append("--workspace")
        for fd in close_fds:
            cmd += ["--close", str(fd)]
        return cmd + ["--", *argv]

    def run(self, argv, env_workspace=False, close_fds=(), timeout=60.0, input=None, cwd="/", env=None,
            faketime=True):
        """Run a program inside the clock as an outside caller would and wait
        for it. env_workspace: "ANDROID_PROPERTY_WORKSPACE" set and its
        descriptor open; close_fds: descriptors closed at start (e.g. [0]).
        timeout in device seconds. faketime=False: without libfaketime (real
        time for it and its children). Returns subprocess.CompletedProcess
        (returncode, stdout, stderr as bytes)."""
        cmd = self._inside(argv, env_workspace, close_fds, cwd, env, faketime)
        p = subprocess.Popen(cmd, env=HOST_ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
        try:
            out, err = p.communicate(input, timeout=self._real(timeout))
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
            raise SimTimeout(f"{argv} did not end within {timeout} device s")
        self.note(f"run {shlex.join(argv)} -> {p.returncode}")
        return subprocess.CompletedProcess(argv, p.returncode, out, err)

    def spawn(self, argv, env_workspace=False, close_fds=(), cwd="/", env=None, faketime=True,
              stdout=subprocess.DEVNULL):
        """Start a program inside the clock without waiting; returns the
        Popen (of the nsenter that carries it). It dies at power-off."""
        p = subprocess.Popen(self._inside(argv, env_workspace, close_fds, cwd, env, faketime), env=HOST_ENV,
                             stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL)
        self._spawned.append(p)
        self.note(f"spawn {shlex.join(argv)}")
        return p

    def hold_port80(self, seconds):
        """Bind TCP port 80 inside the clock for `seconds` device seconds;
        returns once it is held."""
        p = self.spawn(["/bin/portholder", str(seconds)], stdout=subprocess.PIPE)
        line = p.stdout.readline()
        if line.strip() != b"bound":
            raise SimError(f"could not hold port 80: {line!r}")
        return p

    def upgrader(self, image, mode="ok", behind_cache=False, duration=2.0, fail_state="1"):
        """Start the platform upgrader on `image` (a device path, or a host
        Path which is copied in). mode: "ok", "fail", "hang" or "corrupt".
        behind_cache: write the loop device's backing file directly, past the
        block device's page cache. duration: device seconds of writing."""
        if isinstance(image, Path):
            self._images += 1
            name = f"upgrade-{self._images}.img"
            shutil.copy2(image, self.run_dir / name)
            image = f"{CONTROL}/{name}"
        argv = ["/bin/upgrader", image, "--mode", mode, "--duration", str(duration), "--fail-state", fail_state]
        if behind_cache:
            argv += ["--target", f"{CONTROL}/flash.img"]
        return self.spawn(argv)

    def processes(self):
        """(host pid, executable name, command line) of every process inside."""
        if not self.powered:
            return []
        try:
            ns = os.readlink(f"/proc/{self.pid}/ns/pid")
        except OSError:
            return []
        out = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.readlink(f"/proc/{entry}/ns/pid") != ns:
                    continue
                cmd = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
                exe = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
                if exe.startswith("qemu-") and len(cmd) > 1 and cmd[1]:
                    exe = os.path.basename(cmd[1].decode(errors="replace"))  # the ARM program it runs
            except OSError:
                continue
            out.append((int(entry), exe, [c.decode(errors="replace") for c in cmd if c]))
        return out

    # ----- files ------------------------------------------------------------

    def path(self, device_path):
        """Host path of a device path ("/data/tavrine-app/..." works powered
        off too; anything else needs the clock powered up)."""
        device_path = str(device_path)
        if device_path == STORE or device_path.startswith(STORE + "/"):
            return self.data / device_path[len(STORE) + 1:]
        if device_path.startswith(CONTROL + "/") and not device_path.startswith(CONTROL + "/props/"):
            return self.run_dir / device_path[len(CONTROL) + 1:]
        if not self.powered:
            raise SimError(f"{device_path}: clock is powered off")
        return Path(f"/proc/{self.pid}/root") / device_path.lstrip("/")

    def read(self, device_path):
        """Bytes of a file of the clock, or None when it does not exist."""
        try:
            return self.path(device_path).read_bytes()
        except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
            return None

    def exists(self, device_path):
        return os.path.lexists(self.path(device_path))

    def write(self, device_path, data, mode=0o644):
        """Replace a file of the clock atomically (parents created)."""
        target = self.path(device_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        tmp = target.with_name(f".{target.name}.sim{os.getpid()}")
        tmp.write_bytes(data if isinstance(data, bytes) else data.encode())
        tmp.chmod(mode)
        os.replace(tmp, target)

    def remove(self, device_path):
        p = self.path(device_path)
        if p.is_dir() and not p.is_symlink():
            shutil.rmtree(p)
        elif os.path.lexists(p):
            p.unlink()

    def store(self):
        """{relative path: bytes} of every regular file in the app store."""
        out = {}
        for p in sorted(self.data.rglob("*")):
            if p.is_file() and not p.is_symlink():
                out[str(p.relative_to(self.data))] = p.read_bytes()
        return out

    # ----- properties and faults ------------------------------------------

    def set_prop(self, name, value):
        """Set a property from outside. Powered off: a value every later
        power-up starts with (properties are RAM: lost at power-off)."""
        if self.powered:
            self.write(f"{CONTROL}/props/{name}", value.encode())
        else:
            self._props[name] = value
        self.note(f"set_prop {name} = {value!r}")

    def prop(self, name):
        """Current value of a property, None when unset (powered off: the
        value the next power-up starts with)."""
        if not self.powered:
            return self._props.get(name)
        data = self.read(f"{CONTROL}/props/{name}")
        return None if data is None else data.decode(errors="replace")

    def _add_fault(self, file, line):
        p = self.run_dir / "faults" / file
        old = p.read_text() if p.exists() else ""
        tmp = p.with_name(file + ".sim-host")
        tmp.write_text(old + line + "\n")
        os.replace(tmp, p)
        self.note(f"fault {file}: {line}")

    def fail_setprop(self, name, value=None):
        """Make "setprop name value" (any value when None) exit 1 without
        setting anything."""
        self._add_fault("setprop-fail", name if value is None else f"{name}={value}")

    def hang_setprop(self, name, value=None, seconds=10):
        """Make "setprop name value" hang `seconds` device seconds first."""
        self._add_fault("setprop-hang", f"{int(seconds)} " + (name if value is None else f"{name}={value}"))

    def refuse_stop(self, service):
        """Make "ctl.stop service" exit 0 while the service keeps running."""
        self._add_fault("refuse-stop", service)

    def tick_host(self, milliseconds=1):
        """Give the host a timer signal every `milliseconds` (device time)
        while its init hook runs, with a handler lacking SA_RESTART."""
        self._add_fault("host-ticks", str(int(milliseconds)))

    def clear_faults(self):
        for p in (self.run_dir / "faults").iterdir():
            p.unlink()
        self.note("faults cleared")

    # ----- events -----------------------------------------------------------

    def note(self, text, actor="test"):
        """Add a line to the event log (host side)."""
        line = f"{time.monotonic_ns()} {os.getpid()} {actor} {_escape(text)}\n"
        fd = os.open(self.log, os.O_WRONLY | os.O_APPEND)
        try:
            os.write(fd, line.encode())
        finally:
            os.close(fd)

    def events(self, all_boots=False):
        """Events of the current (or last) power-up, or of all with
        all_boots=True, as Event(t device s, actor, pid, text, boot, seq, real)."""
        # Parsed incrementally: waits poll this every 10 ms.
        offset, out, boot, start = self._parsed
        with open(self.log, "rb") as f:
            f.seek(offset)
            chunk = f.read()
        complete = chunk[:chunk.rfind(b"\n") + 1]
        for raw in complete.splitlines():
            parts = raw.decode(errors="replace").split(" ", 3)
            if len(parts) < 3:
                continue
            real, pid, actor = int(parts[0]), int(parts[1]), parts[2]
            text = _unescape(parts[3]) if len(parts) > 3 else ""
            if actor == "platform" and text.startswith("power-up"):
                boot, start = boot + 1, real
            if start is None:
                start = real
            out.append(Event(round((real - start) * self.speed / 1e9, 4), actor, pid, text, boot, len(out), real))
        self._parsed = (offset + len(complete), out, boot, start)
        if all_boots:
            return list(out)
        # The power-up this object made last, even before its first line is in.
        return [e for e in out if e.boot == self._boots]

    def find(self, pattern, after=None, all_boots=False):
        """Events whose "actor text" matches the regular expression."""
        rx = re.compile(pattern)
        return [e for e in self.events(all_boots)
                if (after is None or e.seq > after.seq) and rx.search(f"{e.actor} {e.text}")]

    def _check_power(self):
        """A wait ends at once when the clock died under it (a cut made by
        killing its first process): nothing will come any more."""
        if self._proc is not None and self._proc.poll() is not None:
            raise SimError("the clock lost its power")

    def _real(self, device_seconds):
        # Slack for process start-up costs, which libfaketime cannot speed up.
        return device_seconds / self.speed * 1.25 + 2.0

    def wait_event(self, pattern, timeout=30.0, after=None, count=1):
        """Wait until `count` events of the current power-up match `pattern`
        (a regular expression searched in "actor text", after the Event
        `after` if given); returns the last of them. timeout: device seconds."""
        end = time.monotonic() + self._real(timeout)
        while True:
            hits = self.find(pattern, after)
            if len(hits) >= count:
                return hits[count - 1]
            self._check_power()
            if time.monotonic() > end:
                raise SimTimeout(f"no event /{pattern}/ (x{count}) within {timeout} device s\n"
                                 + self.timeline(last=60))
            time.sleep(0.01)

    def wait_file(self, device_path, content=None, timeout=30.0):
        """Wait until the file exists (and holds exactly `content` if given);
        returns its bytes. timeout: device seconds."""
        end = time.monotonic() + self._real(timeout)
        while True:
            data = self.read(device_path)
            if data is not None and (content is None or data == content):
                return data
            self._check_power()
            if time.monotonic() > end:
                raise SimTimeout(f"{device_path} {'missing' if data is None else 'holds ' + repr(data)}"
                                 f" after {timeout} device s\n" + self.timeline(last=60))
            time.sleep(0.01)

    def timeline(self, last=None, all_boots=True, fold=False):
        """The event log as readable lines: device time since power-up, actor,
        event. fold=True shows a run of identical events (the keep-alive
        during a wait) as its first line and a count."""
        lines, boot, prev, repeats = [], None, None, 0
        evs = self.events(all_boots=all_boots)
        if last:
            evs = evs[-last:]

        def flush():
            if repeats:
                lines.append(f"{'':9}  {'':<22} ... {repeats} more, the last at {prev.t:.3f}")

        for e in evs:
            if fold and prev is not None and (e.actor, e.text, e.boot) == (prev.actor, prev.text, prev.boot):
                repeats, prev = repeats + 1, e
                continue
            flush()
            repeats, prev = 0, e
            if e.boot != boot:
                boot = e.boot
                lines.append(f"--- power-up {boot} ---" if boot else "--- before power-up ---")
            text = e.text if len(e.text) <= 160 else e.text[:157] + "..."
            lines.append(f"{e.t:9.3f}  {e.actor:<22} {text}".replace("\n", "\\n"))
        flush()
        return "\n".join(lines)
