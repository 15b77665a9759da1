# The upgrader emulator: what lands in the flash and how the state property
# moves, per mode.
import time

import pytest

IMAGE = "/tmp/tavrine-permanent-install/res.squashfs"


@pytest.mark.clock(speed=20)
@pytest.mark.parametrize("mode, behind_cache, states, flash_is", [
    ("ok", False, ["255", "0"], "image"),
    ("ok", True, ["255", "0"], "image"),
    ("corrupt", False, ["255", "0"], "corrupt"),
    ("fail", False, ["255", "1"], "old"),
])
def test_upgrader_modes(clock, mode, behind_cache, states, flash_is):
    clock.power_up(boot=False)
    old = clock.flash()
    image = clock.make_res_image({"etc/release": b"2\n"}).read_bytes()
    clock.write(IMAGE, image)
    # Fill the block device's page cache with the old content first.
    clock.run(["/usr/bin/dd", "if=/dev/block/mtdblock3", "of=/dev/null", "bs=1M"])
    clock.upgrader(IMAGE, mode=mode, behind_cache=behind_cache, duration=1).wait(timeout=10)
    seen = [e.text.split(" = ")[1] for e in clock.find(r"^upgrader sys\.zkupgrade\.state = ")]
    assert seen == states
    assert clock.prop("sys.zkupgrade.state") == states[-1]
    flash = clock.flash()
    assert len(flash) == 8388608
    if flash_is == "old":
        assert flash == old
        return
    assert flash[len(image):] == old[len(image):]
    differs = [i for i in range(len(image)) if flash[i] != image[i]]
    assert differs == ([] if flash_is == "image" else [len(image) // 2])
    if flash_is == "image":
        assert clock.prop("sys.zkupgrade.flag") == "1"
        assert clock.prop("sys.zkupgrade.dir") == "/tmp/tavrine-permanent-install/"
    if behind_cache:
        # The device still serves the cached old bytes: exactly the trap a
        # readback must avoid by dropping the cache.
        r = clock.run(["/usr/bin/dd", "if=/dev/block/mtdblock3", "bs=4096", "count=1", "status=none"])
        assert r.stdout == old[:4096]


@pytest.mark.clock(speed=20)
def test_hanging_upgrader_never_finishes(clock):
    clock.power_up(boot=False)
    clock.write(IMAGE, b"hsqs" + bytes(92))
    clock.upgrader(IMAGE, mode="hang")
    began = clock.wait_event(r"^upgrader sys\.zkupgrade\.state = 255$")
    time.sleep(10 / clock.speed)
    assert clock.events()[-1].t - began.t < 12  # the log is still live
    assert clock.find(r"^upgrader (image written|sys\.zkupgrade\.state = [^2])") == []
    assert clock.prop("sys.zkupgrade.state") == "255"
    assert [exe for _, exe, _ in clock.processes()].count("upgrader") == 1
