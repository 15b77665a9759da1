"""The VM clock: the simulated clock in a virtual machine with a real kernel.

A VMClock is a SimClock whose device is a qemu-system guest booting
Debian's packaged kernel (x86-64, or armhf on the emulated ARMv7 board)
from an initramfs made here from Debian packages and the project's own
builds; no distribution userland. A power-up is the machine booting:
sim/vm/init brings up the flash and "/data", the agent (sim/src/vmagent.cpp)
takes the test host's requests, then "/bin/siminit" plays the platform's
power-up and the real boot chain runs from the hook. A power cut is a
SIGKILL of the emulator: the guest's page cache and every write it had not
yet handed to a virtual disk are gone.

- Flash: "/dev/block/mtdblock3" is a real mtdblock device. x86-64: block2mtd
  over the virtual disk "flash" (persistent). armhf: nandsim, which lives in
  RAM; init loads it from the flash disk at power-up, and power_off() writes
  it back first when the upgrader changed it (flash keeps its content), so a
  cut on the ARM board is not a test of the flash.
- "/data": ext4 with default options on the disk "data", or (x86-64) UBIFS
  on UBI on block2mtd over it; with record=True ext4 goes through
  dm-log-writes onto the disk "log" (see crash_states.py).
- "/tmp" and "/run" are tmpfs: empty at every power-up.
- The product comes from a release tree laid out as on the device (armhf:
  build-armhf-release/stage; x86-64: build-vm/stage, the programs built with
  the release's flags); the platform's tools from build-vm/sim or
  build-armhf-sim/sim, static; the host and apps dynamic, with the C library
  of the build's own toolchain.
- Time is real (speed 1): static programs ignore libfaketime.

Differences from the sandbox clock's API (sim/API.md): `data`, `loop` and
path() are not host paths; the store of a powered-off clock is read by a
short inspection boot (power-up without the platform), and store files above
16 KiB read as a digest line (equal files, equal digests); writes to the
store while powered off are applied at the next power-up before the
platform starts; spawn() returns a handle without output; upgrader() knows
no behind_cache. Events are stamped in the guest and moved onto the host's
time axis at arrival.

Power-ups are slow under software emulation (about 10 s to the platform);
warm=True saves the booted kernel once and starts later power-ups from it.

Packages: fetch_packages() downloads the kernels, busybox and cmp with
apt-get (armhf after `dpkg --add-architecture armhf`; apt checks each
package against the archive's signed index) into build-vm/packages and
unpacks them with dpkg-deb -x; guest_kernels() names them with the hash of
each kernel image, for the record of a run.
"""

import atexit
import base64
import hashlib
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from simclock import (CONTROL, PRODUCT, REPO, STORE, FLASH_SIZE, SimClock, SimError, SimTimeout, squashfs,
                      stock_tree, _die_with_us, _live)

VM_DIR = REPO / "build-vm"
PACKAGES = VM_DIR / "packages"
INLINE_LIMIT = 16384  # the agent shows larger store files by their digest
GUEST_SAMPLES = "/usr/share/tavrine-sim"

BOARDS = {
    "x86_64": {
        "qemu": "qemu-system-x86_64",
        "machine": ["-M", "pc", "-bios", "/usr/share/qemu/qboot.rom"],
        "bus": "pci", "console": "ttyS0", "board": "x86",
        "kernel": "linux-image-amd64", "tools": ["busybox-static", "diffutils"],
        "sim": VM_DIR / "sim", "stage": VM_DIR / "stage",
        "libc": [("/lib64/ld-linux-x86-64.so.2", "lib64/ld-linux-x86-64.so.2"),
                 ("/lib/x86_64-linux-gnu/libc.so.6", "lib/x86_64-linux-gnu/libc.so.6")],
        "modules": ["virtio_pci", "virtio_blk", "virtio_console", "mtdblock", "block2mtd", "squashfs", "ext4",
                    "ubi", "ubifs", "dm_mod", "dm_log_writes", "crc32c_generic", "zstd"],
    },
    "armhf": {
        "qemu": "qemu-system-arm",
        "machine": ["-M", "virt", "-cpu", "cortex-a15"],
        "bus": "device", "console": "ttyAMA0", "board": "arm",
        "kernel": "linux-image-armmp:armhf", "tools": ["busybox-static:armhf", "diffutils:armhf"],
        "sim": REPO / "build-armhf-sim" / "sim", "stage": REPO / "build-armhf-release" / "stage",
        "libc": [("/usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3", "lib/ld-linux-armhf.so.3"),
                 ("/usr/arm-linux-gnueabihf/lib/libc.so.6", "lib/libc.so.6")],
        "modules": ["virtio_mmio", "virtio_blk", "virtio_console", "mtdblock", "nandsim", "squashfs", "ext4",
                    "crc32c_generic"],
    },
}
# The x86-64 guest's dm-log-writes set-up: dmsetup and its libraries.
DMSETUP = "/usr/sbin/dmsetup"
GUEST_TOOLS = ["setprop", "getprop", "siminit", "simwatch", "hciattach", "upgrader", "simexec", "portholder",
               "simtime", "vmagent", "zkswe"]
DATA_SIZE = 32 << 20  # the "data" disk: ext4 on it, or 256 erase blocks of UBI
LOG_SIZE = 256 << 20
ERASE_BLOCK = 128 << 10
UBI_LEB = ERASE_BLOCK - 128  # block2mtd writes single bytes: EC and VID headers take 64 bytes each


def _run(argv, **kw):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


# ----- packages and guest images -------------------------------------------

def _unpacked(arch):
    return PACKAGES / arch


def fetch_packages(arches=("x86_64", "armhf")):
    """Downloads (apt-get download) and unpacks the guest kernels, busybox
    and cmp (the readback benchmark's baseline);
    returns [reason] for what could not be had. Idempotent."""
    reasons = []
    PACKAGES.mkdir(parents=True, exist_ok=True)
    for arch in arches:
        board = BOARDS[arch]
        dest = _unpacked(arch)
        wanted = " ".join([board["kernel"]] + board["tools"]) + "\n"
        done = dest / ".complete"
        if done.exists() and done.read_text().startswith(wanted):
            continue
        if arch == "armhf" and "armhf" not in _run(["dpkg", "--print-foreign-architectures"]).stdout.decode():
            try:
                _run(["dpkg", "--add-architecture", "armhf"])
                _run(["apt-get", "update", "-qq"])
            except (OSError, subprocess.CalledProcessError) as e:
                reasons.append(f"cannot add the armhf architecture: {e}")
                continue
        try:
            debs = PACKAGES / f"debs-{arch}"
            debs.mkdir(exist_ok=True)
            meta = _download(board["kernel"], debs)
            # The metapackage names the versioned kernel image.
            image = next(d.strip().split()[0] for d in _run(["dpkg-deb", "-f", str(meta), "Depends"]).stdout
                         .decode().split(",") if d.strip().startswith("linux-image-"))
            if arch == "armhf":
                image += ":armhf"
            shutil.rmtree(dest, ignore_errors=True)
            for deb in [_download(image, debs)] + [_download(p, debs) for p in board["tools"]]:
                _run(["dpkg-deb", "-x", str(deb), str(dest)])
            # The package leaves the module index to its installation.
            _run(["depmod", "-b", str(dest), kernel(arch)[2]])
            done.write_text(wanted + image + "\n")
        except (OSError, subprocess.CalledProcessError, StopIteration) as e:
            err = getattr(e, "stderr", b"") or b""
            reasons.append(f"{arch} guest packages: {e} {err.decode(errors='replace').strip()}")
    return reasons


def _download(package, dest):
    before = set(dest.glob("*.deb"))
    name = package.split(":")[0]
    existing = sorted(dest.glob(f"{name}_*.deb"))
    if existing:
        return existing[-1]
    _run(["apt-get", "download", "-q", package], cwd=dest)
    new = sorted(set(dest.glob(f"{name}_*.deb")) - before)
    if not new:
        raise OSError(f"apt-get download {package} left no package")
    return new[-1]


def kernel(arch):
    """(vmlinuz, modules folder, release) of the unpacked kernel package."""
    boot = _unpacked(arch) / "boot"
    images = sorted(boot.glob("vmlinuz-*")) if boot.exists() else []
    if not images:
        return None
    release = images[-1].name[len("vmlinuz-"):]
    return images[-1], _unpacked(arch) / "lib" / "modules" / release, release


def guest_kernels():
    """One line per unpacked guest kernel: its package and the sha256 of its image."""
    lines = []
    for arch in BOARDS:
        found = kernel(arch)
        done = _unpacked(arch) / ".complete"
        if found and done.exists():
            digest = hashlib.sha256(found[0].read_bytes()).hexdigest()
            lines.append(f"{arch}: {done.read_text().split()[-1]}, {found[0].name} sha256 {digest}")
    return lines


def missing_vm_capabilities(arch="x86_64"):
    """Reasons this machine cannot run a VM clock of `arch` (empty when it can)."""
    board = BOARDS[arch]
    reasons = []
    if os.geteuid() != 0:
        reasons.append("needs root")
    for tool in (board["qemu"], "mksquashfs", "mkfs.ext4", "cpio", "depmod", "mkfs.ubifs", "ubinize"):
        if shutil.which(tool) is None and not Path("/usr/sbin", tool).exists():
            reasons.append(f"{tool} not installed")
    if arch == "x86_64" and not Path("/usr/share/qemu/qboot.rom").exists():
        reasons.append("qemu's qboot firmware missing")
    if arch == "x86_64" and not Path(DMSETUP).exists():
        reasons.append("dmsetup not installed")
    if kernel(arch) is None:
        reasons.append(f"{board['kernel']} not unpacked in {_unpacked(arch)} (vmclock.fetch_packages)")
    for src, _ in board["libc"]:
        if not Path(src).exists():
            reasons.append(f"C library missing: {src}")
    missing = [t for t in GUEST_TOOLS + ["libapp-stock.so", "libapp-slot.so"] if not (board["sim"] / t).exists()]
    if missing:
        reasons.append(f"guest tools not built in {board['sim']}: {', '.join(missing)}")
    for name, (_, device_path) in PRODUCT.items():
        if not (board["stage"] / device_path.lstrip("/")).exists():
            reasons.append(f"release tree {board['stage']} lacks {device_path}")
    return reasons


def _module_closure(modules_dir, names):
    """Paths (relative to the modules folder) of the modules and everything
    they depend on, from modules.dep."""
    deps = {}
    for line in (modules_dir / "modules.dep").read_text().splitlines():
        path, _, needs = line.partition(":")
        deps[path] = needs.split()
    by_name = {Path(p).name.split(".ko")[0].replace("-", "_"): p for p in deps}
    todo = [by_name[n.replace("-", "_")] for n in names]
    seen = set()
    while todo:
        p = todo.pop()
        if p not in seen:
            seen.add(p)
            todo += deps[p]
    return sorted(seen)


def _shared_libraries(program):
    """The libraries a dynamic program of this machine loads, from ldd."""
    out = _run(["ldd", program]).stdout.decode()
    return [part.split()[0] for line in out.splitlines() for part in [line.split("=>")[-1].strip()]
            if part.startswith("/")]


_images = {}
_cache = None


def _cache_dir():
    """A folder for what this process makes once: guest images, saved machines."""
    global _cache
    if _cache is None or not Path(_cache).exists():
        _cache = tempfile.mkdtemp(prefix="vmclock-cache-")
        atexit.register(shutil.rmtree, _cache, True)
    return Path(_cache)


def guest_image(arch):
    """The initramfs of the guest (an uncompressed cpio: the kernel unpacks
    it faster than a compressed one), made once per process and arch."""
    workdir = _cache_dir()
    if arch in _images and _images[arch].exists():
        return _images[arch]
    board = BOARDS[arch]
    vmlinuz, modules, release = kernel(arch)
    root = Path(tempfile.mkdtemp(prefix=f"guest-{arch}-", dir=workdir))
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "lib", "proc", "sys", "dev", "tmp", "run", "data", "res",
              GUEST_SAMPLES.lstrip("/")):
        (root / d).mkdir(parents=True, exist_ok=True)
    shutil.copy2(REPO / "sim" / "vm" / "init", root / "init")
    (root / "init").chmod(0o755)
    for tool in GUEST_TOOLS:
        shutil.copy2(board["sim"] / tool, root / "bin" / tool)
    for lib in ("libapp-slot.so", "libapp-stock.so"):
        shutil.copy2(board["sim"] / lib, root / GUEST_SAMPLES.lstrip("/") / lib)
    # The install guard sits outside "/res", on the device's own root.
    guard = PRODUCT["tavrine-install-guard"][1]
    shutil.copy2(board["stage"] / guard.lstrip("/"), root / guard.lstrip("/"))
    for src, dest in board["libc"]:
        (root / dest).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(src, root / dest)
    busybox = _unpacked(arch) / "bin" / "busybox"
    shutil.copy2(busybox, root / "usr/bin/busybox")
    applets = _run(["/bin/busybox", "--list"]).stdout.decode().split()
    for applet in applets:
        if applet != "busybox" and not (root / "usr/bin" / applet).exists():
            os.symlink("busybox", root / "usr/bin" / applet)
    # The benchmarks' baseline is GNU cmp, as on the build machine.
    (root / "usr/bin/cmp").unlink()
    shutil.copy2(_unpacked(arch) / "usr/bin/cmp", root / "usr/bin/cmp")
    bench = board["sim"].parent / "bench"
    if (bench / "tavrine-hook-bench").exists():
        (root / "bench").mkdir()
        shutil.copy2(bench / "tavrine-trivial", root / "bench/trivial")
        for program in ("tavrine-hook-bench", "tavrine-readback-bench", "tavrine-readback-cmp"):
            shutil.copy2(bench / program, root / "bench" / program)
    os.symlink("/usr/bin/busybox", root / "bin" / "sh")
    # The kernel asks for modules (a file system's checksum) through this path.
    os.symlink("/usr/bin/busybox", root / "sbin" / "modprobe")
    if arch == "x86_64":
        shutil.copy2(DMSETUP, root / "usr/sbin/dmsetup")
        for lib in _shared_libraries(DMSETUP):
            (root / lib.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(lib, root / lib.lstrip("/"))
    # Kernel modules: what init loads, with their dependencies; depmod
    # writes the index busybox's modprobe reads.
    dest_modules = root / "lib" / "modules" / release
    for rel in _module_closure(modules, board["modules"]):
        (dest_modules / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(modules / rel, dest_modules / rel)
    for extra in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
        if (modules / extra).exists():
            shutil.copy2(modules / extra, dest_modules / extra)
    _run(["depmod", "-b", str(root), release])
    os.mknod(root / "dev" / "console", 0o600 | 0o020000, os.makedev(5, 1))
    image = workdir / f"initramfs-{arch}.cpio"
    files = _run(["find", "."], cwd=root).stdout
    with open(image, "wb") as out:
        if subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files, stdout=out).returncode:
            raise SimError("the guest image could not be packed")
    shutil.rmtree(root)
    _images[arch] = image
    return image


def release_res_tree(arch, dest, stage=None, stock=None):
    """The "/res" of the release tree `stage` (default the board's) with the
    stock application folder `stock` (default the sample)."""
    board = BOARDS[arch]
    stage = Path(stage or board["stage"])
    shutil.copytree(stage / "res", dest, dirs_exist_ok=True)
    if stock is None:
        stock_tree(dest, board["sim"] / "libapp-stock.so")
    else:
        stock_tree(dest, None, stock)
    return Path(dest)


def res_image(dest, arch="armhf", stage=None, stock=None, run_id=None, replace=None):
    """Writes the resource image the outside installer delivers into the
    folder `dest`: "res.squashfs", the squashfs of the release tree's "/res"
    (`stage`, default the board's) with the stock application folder `stock`
    (default the sample), and "run-id", the run's id (32 lower-case hex
    digits; fresh unless given). replace: {path in "/res": host file} put
    in place of the release's files. Returns (image, run id)."""
    run_id = run_id or secrets.token_hex(16)
    if len(run_id) != 32 or any(c not in "0123456789abcdef" for c in run_id):
        raise ValueError(f"a run id is 32 lower-case hexadecimal digits, not {run_id!r}")
    dest = Path(dest)
    dest.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="res-image-") as tmp:
        tree = release_res_tree(arch, Path(tmp) / "res", stage, stock)
        for rel, src in (replace or {}).items():
            shutil.copy2(src, tree / rel.lstrip("/"))
        image = squashfs(tree, dest / "res.squashfs")
    (dest / "run-id").write_text(run_id)
    return image, run_id


def _shown(data):
    """The store's view of a file, as the agent gives it."""
    if len(data) <= INLINE_LIMIT:
        return data
    h = 1469598103934665603
    for c in data:
        h = ((h ^ c) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return f"fnv1a64:{h:016x} ({len(data)} bytes)".encode()


# ----- the clock ------------------------------------------------------------

class VMProcess:
    """A program spawned inside the VM: enough of Popen for the tests."""

    def __init__(self, clock, pid):
        self.clock, self.pid, self.stdout, self.returncode = clock, pid, None, None

    def poll(self):
        if self.returncode is None and (not self.clock.powered or
                                        all(p[0] != self.pid for p in self.clock.processes())):
            self.returncode = 0
        return self.returncode

    def wait(self, timeout=None):
        end = time.monotonic() + (timeout or 1e9)
        while self.poll() is None:
            if time.monotonic() > end:
                raise subprocess.TimeoutExpired(str(self.pid), timeout)
            time.sleep(0.05)
        return self.returncode

    def kill(self):
        if self.clock.powered:
            self.clock._ask({"op": "kill", "pid": self.pid})


class VMClock(SimClock):
    """One clock in a virtual machine; the API of SimClock (see the module
    docstring for the differences)."""

    def __init__(self, tmp_path, arch="x86_64", data_fs="ext4", record=False, stage=None, memory=256,
                 warm=False):
        """arch: "x86_64" or "armhf" (the emulated ARMv7 board);
        data_fs: "ext4" or "ubifs" (x86-64 only) for "/data";
        record: "/data" (ext4) through dm-log-writes onto the disk "log";
        stage: the release tree to take the product from (default the board's);
        warm: the first power-up saves the machine where its init waits for
        the disks (kernel booted, no disk touched); every later power-up
        starts from there, with the disks as they are then. Saves the
        kernel's boot (most of a power-up) where a test powers up often."""
        if arch not in BOARDS:
            raise ValueError(f"unknown arch {arch!r}")
        if data_fs not in ("ext4", "ubifs") or (data_fs == "ubifs" and arch != "x86_64"):
            raise ValueError(f"no {data_fs} data partition on {arch}")
        if record and data_fs != "ext4":
            raise ValueError("writes are recorded on ext4 only")
        reasons = missing_vm_capabilities(arch)
        if reasons:
            raise SimError("cannot run a VM clock: " + "; ".join(reasons))
        self.board = BOARDS[arch]
        self.arch, self.data_fs, self.record, self.memory, self.warm = arch, data_fs, record, memory, warm
        self.arm = arch == "armhf"
        self.speed, self.squashfs = 1.0, True
        self.build = self.product = self.board["sim"].parent
        self.stage = Path(stage or self.board["stage"])
        self.dir = Path(tempfile.mkdtemp(prefix=f"vmclock-{arch}-{data_fs}-", dir=tmp_path))
        self.run_dir = self.dir / "run"
        self.run_dir.mkdir()
        # Unix socket paths are short (108 bytes): the emulator's live apart.
        self._sockets = Path(tempfile.mkdtemp(prefix="vmc-", dir="/tmp"))
        self.log = self.run_dir / "events.log"
        self.log.touch()
        self.data = self.loop = None
        self.res_tree = release_res_tree(arch, self.dir / "res-tree", self.stage)
        self.installed = {n: p for n, (_, p) in PRODUCT.items() if (self.stage / p.lstrip("/")).exists()}
        self._proc = self._agent = self._events = self._reader = None
        self.pid = None
        self._spawned = []
        self._props = {"sys.zkupgrade.state": "-1"}
        self._boots = self._images = self._requests = 0
        self._parsed = (0, [], 0, None)
        self._lock = threading.Lock()
        self._offset = None
        self._store = {}  # what the store holds while off; None: unknown since a power cut
        self._pending = []  # store changes made while off, applied at the next power-up
        self._flash_dirty = False
        # One saved machine serves every clock of this process alike.
        self._saved = _cache_dir() / f"booted-{arch}-{data_fs}-{int(record)}-{memory}.state"
        self.power_ups = {"cold": 0, "warm": 0}
        self.image = guest_image(arch)
        self.disks = {"flash": self.dir / "flash.img", "data": self.dir / "data.img"}
        if record:
            self.disks["log"] = self.dir / "log.img"
        # The factory's image, made as the installer's are (scripts/res-image).
        self.factory_image = res_image(self.dir / "factory", arch, self.stage)[0]
        self.write_flash(self.factory_image.read_bytes())
        self._make_data()
        _live.add(self)

    # ----- disks ------------------------------------------------------------

    def write_flash(self, image):
        """Puts an image at the start of the flash (zero padded), as the
        factory or the platform's recovery would; powered off only."""
        if self.powered:
            raise SimError("the flash is rewritten only while the clock is off")
        with open(self.disks["flash"], "wb") as f:
            f.write(image)
            f.truncate(FLASH_SIZE)

    def _make_data(self):
        tree = self.dir / "data-tree"
        (tree / STORE.split("/")[-1]).mkdir(parents=True)
        disk = self.disks["data"]
        if self.data_fs == "ext4":
            with open(disk, "wb") as f:
                f.truncate(DATA_SIZE)
            _run(["mkfs.ext4", "-q", "-F", "-d", str(tree), str(disk)])
        else:
            ubifs, ubi, cfg = self.dir / "data.ubifs", self.dir / "data.ubi", self.dir / "ubinize.cfg"
            _run(["mkfs.ubifs", "-m", "1", "-e", str(UBI_LEB), "-c", str(DATA_SIZE // ERASE_BLOCK), "-r", str(tree),
                  "-o", str(ubifs)])
            cfg.write_text(f"[data]\nmode=ubi\nimage={ubifs}\nvol_id=0\nvol_type=dynamic\nvol_name=data\n"
                           "vol_flags=autoresize\n")
            _run(["ubinize", "-o", str(ubi), "-p", str(ERASE_BLOCK), "-m", "1", str(cfg)])
            with open(disk, "wb") as f:
                f.write(b"\xff" * DATA_SIZE)  # erased flash
                f.seek(0)
                f.write(ubi.read_bytes())
            for p in (ubifs, ubi, cfg):
                p.unlink()
        shutil.rmtree(tree)
        if self.record:
            with open(self.disks["log"], "wb") as f:
                f.truncate(LOG_SIZE)
        self._store = {}

    def copy_disks(self, dest):
        """Copies of the disks (while off), e.g. a crash state's starting point."""
        dest = Path(dest)
        dest.mkdir(parents=True, exist_ok=True)
        for name, path in self.disks.items():
            _run(["cp", "--sparse=always", str(path), str(dest / path.name)])
        return dest

    def use_disks(self, source, forget=True):
        """Replaces the disks by copies of those in `source` (while off); the
        store is unknown until read."""
        if self.powered:
            raise SimError("disks are swapped only while the clock is off")
        for name, path in self.disks.items():
            if (Path(source) / path.name).exists():
                _run(["cp", "--sparse=always", str(Path(source) / path.name), str(path)])
        if forget:
            self._store, self._pending = None, []

    # ----- power ------------------------------------------------------------

    def _qemu_argv(self, restore):
        b = self.board
        vmlinuz = kernel(self.arch)[0]
        append = [f"console={b['console']}", "quiet", "panic=-1", "mitigations=off", f"tavrine.board={b['board']}",
                  f"tavrine.data={self.data_fs}", f"tavrine.log={int(self.record)}"]
        argv = [b["qemu"], *b["machine"], "-m", str(self.memory), "-smp", "1", "-nodefaults", "-no-user-config",
                "-display", "none", "-no-reboot", "-kernel", str(vmlinuz), "-initrd", str(self.image),
                "-append", " ".join(append),
                "-chardev", f"file,id=console,path={self.run_dir / 'console.log'}", "-serial", "chardev:console",
                "-qmp", f"unix:{self._sockets / 'qmp.sock'},server=on,wait=off",
                "-device", f"virtio-serial-{b['bus']}"]
        for port in ("agent", "events"):
            argv += ["-chardev", f"socket,id={port},path={self._sockets / port}.sock,server=on,wait=off",
                     "-device", f"virtserialport,chardev={port},name=tavrine.{port}"]
        # The host never crashes: what qemu wrote stays in the files, so the
        # host-side flush costs nothing and proves nothing.
        for name, path in self.disks.items():
            argv += ["-drive", f"file={path},format=raw,if=none,id={name},cache=unsafe",
                     "-device", f"virtio-blk-{b['bus']},drive={name},serial={name}"]
        if restore:
            argv += ["-incoming", f"exec:cat {self._saved}"]
        return argv

    def _qmp(self, *commands):
        """Runs QMP commands in order on the emulator's monitor; their returns."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(60)
            s.connect(str(self._sockets / "qmp.sock"))
            f = s.makefile("rwb")
            f.readline()  # greeting
            out = []
            for cmd in ({"execute": "qmp_capabilities"},) + commands:
                f.write(json.dumps(cmd).encode() + b"\n")
                f.flush()
                while True:
                    reply = json.loads(f.readline() or b"{}")
                    if "event" in reply:
                        continue
                    if "error" in reply or not reply:
                        raise SimError(f"qmp {cmd['execute']}: {reply.get('error', 'no reply')}")
                    out.append(reply["return"])
                    break
            return out[1:]

    def _save_booted(self):
        """Saves the machine (memory and devices; the disks are untouched so
        far) to start later power-ups from."""
        tmp = self._saved.with_suffix(".part")
        self._qmp({"execute": "stop"}, {"execute": "migrate", "arguments": {"uri": f"exec:cat > {tmp}"}})
        end = time.monotonic() + 120
        while True:
            status = self._qmp({"execute": "query-migrate"})[0].get("status")
            if status == "completed":
                break
            if status in ("failed", "cancelled") or time.monotonic() > end:
                raise SimError(f"saving the booted machine: {status}")
            time.sleep(0.05)
        os.replace(tmp, self._saved)
        self._qmp({"execute": "cont"})

    def _resume_booted(self, timeout):
        """Runs the machine restored from the saved one: it comes in paused,
        as it was saved."""
        end = time.monotonic() + timeout
        while True:
            try:
                status = self._qmp({"execute": "query-status"})[0]["status"]
            except OSError:
                status = "starting"
            if status == "running":
                return
            if status in ("paused", "postmigrate", "prelaunch"):
                self._qmp({"execute": "cont"})
                return
            if self._proc.poll() is not None or time.monotonic() > end:
                raise SimError(f"the saved machine did not come back ({status})")
            time.sleep(0.02)

    @property
    def powered(self):
        return self._proc is not None and self._proc.poll() is None

    def power_up(self, boot=True, timeout=120.0, inspect=False, mark=None):
        """Powers the machine up. boot=True: the platform starts the host with
        the hook (the real chain); boot=False: the platform comes up, nothing
        else. inspect: only "/data" is mounted (the store is read, nothing
        runs). mark: with record=True, a mark of that name in the log once
        the store holds what was written while off (before the platform
        starts). Sets `mounted_store`: the store as the kernel found it."""
        if self._proc is not None:
            raise SimError("already powered up")
        for sock in ("agent.sock", "events.sock", "qmp.sock"):
            (self._sockets / sock).unlink(missing_ok=True)
        self._offset = None
        restore = self.warm and self._saved.exists()
        self.power_ups["warm" if restore else "cold"] += 1
        console = open(self.run_dir / "console.log", "ab")
        try:
            self._proc = subprocess.Popen(self._qemu_argv(restore), stdin=subprocess.DEVNULL, stdout=console,
                                          stderr=console, preexec_fn=_die_with_us)
        finally:
            console.close()
        self.pid = self._proc.pid
        self.started = time.monotonic()
        try:
            if restore:
                self._resume_booted(timeout)
            self._agent = self._connect("agent.sock")
            self._events = self._connect("events.sock")
            self._reader = threading.Thread(target=self._forward, args=(self._events, self._proc), daemon=True)
            self._reader.start()
            self._agent_file = self._agent.makefile("rb")
            self._ask({"op": "hello"}, timeout=timeout)
            if self.warm and not restore:
                self._save_booted()
            # The guest's clock against ours, for the event log's time axis.
            t0 = time.monotonic_ns()
            hello = self._ask({"op": "hello"}, timeout=timeout)
            self._offset = (t0 + time.monotonic_ns()) // 2 - hello["ns"]
            self._ask({"op": "disks", "timeout": timeout}, timeout=timeout + 10)
            self.agent_up = time.monotonic() - self.started
            self.mounted_store = self.store()
            if inspect:
                return self
            self._flash_dirty = False
            for op in self._pending:
                self._ask(op)
            self._pending = []
            if mark is not None:
                self.mark(mark)
            for name, value in self._props.items():
                self._ask({"op": "write", "path": f"{CONTROL}/props-init/{name}", "data": _b64(value.encode())})
            self._boots += 1
            self._ask({"op": "go", "boot": boot})
            self.wait_event(r"^platform ready$", timeout=timeout)
            self.ready = time.monotonic() - self.started
        except BaseException as e:
            self.power_off()
            raise SimError(f"the VM clock did not come up: {e}\n{self.console()[-3000:]}\n{self.timeline(last=30)}")
        return self

    def _connect(self, name):
        path = self._sockets / name
        end = time.monotonic() + 30
        while True:
            if self._proc.poll() is not None:
                raise SimError(f"qemu ended: {self.console()[-2000:]}")
            try:
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(str(path))
                return s
            except OSError:
                s.close()
                if time.monotonic() > end:
                    raise
                time.sleep(0.02)

    def _forward(self, sock, proc):
        """Moves the guest's event lines into the host's log, onto its time axis."""
        buf = b""
        while True:
            try:
                chunk = sock.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while self._offset is None and proc.poll() is None:
                time.sleep(0.005)
            lines, _, buf = buf.rpartition(b"\n")
            out = []
            for line in lines.split(b"\n") if lines else []:
                stamp, _, rest = line.partition(b" ")
                if stamp.isdigit():
                    out.append(str(int(stamp) + (self._offset or 0)).encode() + b" " + rest + b"\n")
            if out:
                fd = os.open(self.log, os.O_WRONLY | os.O_APPEND)
                try:
                    os.write(fd, b"".join(out))
                finally:
                    os.close(fd)

    def _ask(self, request, timeout=60.0):
        if self._agent is None:
            raise SimError("clock is powered off")
        with self._lock:
            self._requests += 1
            request = dict(request, id=self._requests)
            self._agent.settimeout(timeout)
            try:
                self._agent.sendall(json.dumps(request).encode() + b"\n")
                line = self._agent_file.readline()
            except (OSError, socket.timeout) as e:
                raise SimError(f"agent: {request['op']}: {e}")
            if not line:
                raise SimError(f"agent: {request['op']}: the connection ended")
            reply = json.loads(line)
            if not reply.get("ok"):
                raise SimError(f"agent: {request['op']} {request.get('path', request.get('argv', ''))} failed: "
                               f"{reply.get('error', '')}")
            return reply

    def power_off(self):
        """Cuts the power: SIGKILL of the emulator. On the ARM board the
        flash (RAM in nandsim) is first written back to its disk when the
        upgrader changed it."""
        if self._proc is None:
            return
        if self.arm and self._flash_dirty and self.powered:
            self._ask({"op": "run", "argv": ["/bin/sh", "-c", "dd if=/dev/block/mtdblock3 of=$(for d in "
                       "/sys/block/vd*; do [ $(cat $d/serial) = flash ] && echo /dev/${d##*/}; done) bs=64k "
                       "2>/dev/null && sync"], "timeout": 120}, timeout=150)
        try:
            self._proc.send_signal(signal.SIGKILL)
        except ProcessLookupError:
            pass
        self._proc.wait()
        for s in (self._agent, self._events):
            if s is not None:
                s.close()
        if self._reader is not None:
            self._reader.join(timeout=5)
        self._proc = self._agent = self._events = self._reader = None
        self.pid = None
        self._spawned = []
        self._store = None
        self.note("power-off")

    def close(self):
        self.power_off()
        shutil.rmtree(self._sockets, ignore_errors=True)
        _live.discard(self)

    # ----- inside ---------------------------------------------------------------

    def env(self, extra=None, faketime=True):
        env = {"PATH": "/usr/bin:/bin:/usr/sbin", "HOME": "/", "LANG": "C"}
        env.update(extra or {})
        return env

    def _launch(self, argv, env_workspace, close_fds, cwd, env):
        return {"argv": [str(a) for a in argv], "workspace": env_workspace, "close": list(close_fds), "cwd": cwd,
                "env": self.env(env)}

    def run(self, argv, env_workspace=False, close_fds=(), timeout=60.0, input=None, cwd="/", env=None,
            faketime=True):
        r = self._ask(dict(self._launch(argv, env_workspace, close_fds, cwd, env), op="run", timeout=timeout,
                           input=_b64(input or b"")), timeout=timeout + 30)
        if r["timeout"]:
            raise SimTimeout(f"{argv} did not end within {timeout} s")
        self.note(f"run {' '.join(map(str, argv))} -> {r['code']}")
        return subprocess.CompletedProcess(argv, r["code"], _unb64(r["stdout"]), _unb64(r["stderr"]))

    def spawn(self, argv, env_workspace=False, close_fds=(), cwd="/", env=None, faketime=True,
              stdout=subprocess.DEVNULL):
        if stdout != subprocess.DEVNULL:
            raise SimError("a VM clock's spawned programs have no output")
        r = self._ask(dict(self._launch(argv, env_workspace, close_fds, cwd, env), op="spawn"))
        self.note(f"spawn {' '.join(map(str, argv))}")
        p = VMProcess(self, r["pid"])
        self._spawned.append(p)
        return p

    def upgrader(self, image, mode="ok", behind_cache=False, duration=2.0, fail_state="1"):
        if behind_cache:
            raise SimError("a VM clock has no loop device to write behind")
        if isinstance(image, Path):
            self._images += 1
            path = f"{CONTROL}/upgrade-{self._images}.img"
            self.write(path, image.read_bytes())
            image = path
        self._flash_dirty = self._flash_dirty or mode in ("ok", "corrupt")
        return self.spawn(["/bin/upgrader", image, "--mode", mode, "--duration", str(duration),
                           "--fail-state", fail_state])

    def processes(self):
        if not self.powered:
            return []
        return [(p["pid"], p["exe"], p["argv"]) for p in self._ask({"op": "ps"})["processes"]]

    def sessions(self):
        """{pid: session id} of every process inside."""
        return {p["pid"]: p["sid"] for p in self._ask({"op": "ps"})["processes"]}

    # ----- files ------------------------------------------------------------------

    def path(self, device_path):
        raise SimError("a VM clock's files have no host path: use read, write, exists, store")

    @staticmethod
    def _in_store(device_path):
        return str(device_path) == STORE or str(device_path).startswith(STORE + "/")

    def _offline(self, device_path):
        if self._proc is not None:
            # The emulator died under us: nothing is known until power_off().
            raise SimError("the clock lost its power")
        if not self._in_store(device_path):
            raise SimError(f"{device_path}: clock is powered off")

    def store(self):
        if self.powered:
            files = self._ask({"op": "store"})["files"]
            return {k: _unb64(v) for k, v in sorted(files.items())}
        self._offline(STORE)
        if self._store is None:
            # Unknown since the power went: ask the disk itself.
            self.power_up(inspect=True)
            self._store = self.mounted_store
            self.power_off()
            self._store = self.mounted_store
        view = dict(self._store)
        for op in self._pending:
            rel = op["path"][len(STORE) + 1:]
            if op["op"] == "write":
                view[rel] = _shown(_unb64(op["data"]))
            elif op["op"] == "copy":
                view[rel] = _shown(Path(self.board["sim"], Path(op["from"]).name).read_bytes())
            elif op["op"] == "remove":
                view = {k: v for k, v in view.items() if k != rel and not k.startswith(rel + "/")}
        return dict(sorted(view.items()))

    def read(self, device_path):
        if not self.powered:
            self._offline(device_path)
            return self.store().get(str(device_path)[len(STORE) + 1:])
        r = self._ask({"op": "read", "path": str(device_path)})
        return None if r.get("missing") else _unb64(r["data"])

    def exists(self, device_path):
        if not self.powered:
            self._offline(device_path)
            rel = str(device_path)[len(STORE) + 1:]
            return any(k == rel or k.startswith(rel + "/") for k in self.store())
        return self._ask({"op": "exists", "path": str(device_path)})["exists"]

    def _change(self, op):
        if self.powered:
            self._ask(op)
        else:
            self._offline(op["path"])
            self._pending.append(op)

    def write(self, device_path, data, mode=0o644):
        data = data if isinstance(data, bytes) else data.encode()
        self._change({"op": "write", "path": str(device_path), "data": _b64(data), "mode": mode})

    def remove(self, device_path):
        self._change({"op": "remove", "path": str(device_path)})

    def install_slot(self, slot, version, behaviour="ready", write_cfg=True, manifest=None):
        d = f"{STORE}/{slot}"
        self._change({"op": "copy", "from": f"{GUEST_SAMPLES}/libapp-slot.so", "path": f"{d}/lib/libzkgui.so"})
        self.write(f"{d}/ui/main.ftu", f"slot {slot} main window\n".encode())
        self.write(f"{d}/manifest.json", manifest if manifest is not None else json.dumps({"version": version}).encode())
        self.write(f"{d}/sim-behaviour", behaviour.encode())
        if write_cfg:
            self.write(f"{d}/EasyUI.cfg", self.slot_cfg(slot))
        return d

    def flash(self):
        """The partition's bytes: the flash disk, or on the ARM board while
        powered, nandsim's content through "/dev/block/mtdblock3"."""
        if self.arm and self.powered:
            return self.read("/dev/block/mtdblock3")
        return self.disks["flash"].read_bytes()

    # ----- faults and the log --------------------------------------------------------

    def _add_fault(self, file, line):
        path = f"{CONTROL}/faults/{file}"
        old = self.read(path) or b""
        self.write(path, old + line.encode() + b"\n")
        self.note(f"fault {file}: {line}")

    def clear_faults(self):
        for name in ("setprop-fail", "setprop-hang", "refuse-stop"):
            self.remove(f"{CONTROL}/faults/{name}")
        self.note("faults cleared")

    def mark(self, name):
        """Flushes "/data" and puts a mark in its dm-log-writes log
        (record=True): what came before it is on the disk."""
        r = self.run(["/bin/sh", "-c", f"sync && dmsetup message datalog 0 mark {name}"],
                     env={"DM_DISABLE_UDEV": "1"})
        if r.returncode != 0:
            raise SimError(f"dmsetup mark {name}: {r.stderr.decode(errors='replace')}")


def _b64(data):
    return base64.b64encode(data).decode()


def _unb64(text):
    return base64.b64decode(text)
