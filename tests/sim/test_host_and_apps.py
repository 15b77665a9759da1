# The EasyUI host emulator and the sample applications: the host reads the
# start configuration, loads the library and calls its hooks; slot apps
# write their ready text as their behaviour file says; the stock app holds
# port 80 while it runs and a moment after.
import time

import pytest

from simclock import STOCK_CFG

MARKER = "/tmp/tavrine-ota-ready"


def start_host(clock, cfg):
    clock.write("/tmp/EasyUI.cfg", cfg)
    assert clock.run(["/bin/setprop", "ctl.start", "zkswe"]).returncode == 0


@pytest.mark.clock(speed=20)
@pytest.mark.parametrize("behaviour, marker, after", [
    ("ready", b"a\n1.4.2\n", 0.0),
    ("ready_after:6", b"a\n1.4.2\n", 6.0),
    ("wrong", b"a\n1.4.2", 0.0),
    ("never", None, None),
])
def test_slot_app_writes_its_ready_text_as_told(clock, behaviour, marker, after):
    clock.install_slot("a", "1.4.2", behaviour=behaviour)
    clock.power_up(boot=False)
    start_host(clock, clock.slot_cfg("a"))
    loaded = clock.wait_event(r"^zkswe loaded /data/tavrine-app/a/lib/libzkgui\.so$")
    clock.wait_event(r"^zkswe onStartupApp returned 0$")
    steps = [f"{e.actor} {e.text}" for e in clock.events() if e.actor.startswith(("zkswe", "app-a"))]
    assert steps.index("zkswe calling onEasyUIInit") < steps.index("app-a init from /data/tavrine-app/a/") < \
        steps.index("zkswe onStartupApp returned 0")
    if marker is None:
        clock.wait_event(r"^app-a started")
        time.sleep(8 / clock.speed)
        assert clock.read(MARKER) is None and not clock.find(r"^app-a ready")
        return
    assert clock.wait_file(MARKER, timeout=after + 5) == marker
    written = clock.find(r"^app-a ready text written")[0]
    assert after <= written.t - loaded.t <= after + 0.6


def test_crashing_app_takes_the_host_down(clock):
    clock.install_slot("b", "2.0", behaviour="crash")
    clock.power_up(boot=False)
    start_host(clock, clock.slot_cfg("b"))
    clock.wait_event(r"^zkswe exited by signal 6")
    assert clock.read(MARKER) is None
    assert clock.run(["/bin/setprop", "ctl.stop", "zkswe"]).returncode == 0
    assert clock.find(r"^zkswe not running")


@pytest.mark.parametrize("cfg, event", [
    (None, r"^zkswe cannot read /tmp/EasyUI\.cfg$"),
    (b"{", r"^zkswe bad start configuration$"),
    (b'{"startupLibPath":"/res/lib/nothing.so","resPath":"/res/ui/"}', r"^zkswe cannot load /res/lib/nothing\.so"),
    (b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/none/"}', r"^zkswe resPath /res/none/ missing$"),
])
def test_host_reports_a_start_configuration_it_cannot_use(clock, cfg, event):
    clock.power_up(boot=False)
    if cfg is not None:
        clock.write("/tmp/EasyUI.cfg", cfg)
    clock.run(["/bin/setprop", "ctl.start", "zkswe"])
    clock.wait_event(event)


def test_stock_app_holds_port_80_until_a_moment_after_its_stop(clock):
    clock.power_up(boot=False)
    start_host(clock, STOCK_CFG)
    clock.wait_event(r"^stock-app port 80 bound$")
    assert clock.run(["/bin/portholder", "0"]).returncode == 1
    clock.run(["/bin/setprop", "ctl.stop", "zkswe"])
    stopped = clock.find(r"^outside setprop ctl\.stop zkswe -> 0")[0]
    released = clock.wait_event(r"^stock-app port 80 released$")
    assert 0.9 <= released.t - stopped.t <= 1.4
    assert clock.run(["/bin/portholder", "0"]).returncode == 0


@pytest.mark.clock(speed=10)
def test_boot_chain_reaches_the_boot_hook_library(clock):
    clock.power_up()  # the platform's own start
    # Written by the platform just after it reports ready.
    clock.wait_file("/tmp/EasyUI.cfg",
                    b'{"startupLibPath":"/res/lib/libtavrine-boot.so","resPath":"/res/ui/"}', timeout=5)
    if clock.has("libtavrine-boot.so"):
        clock.wait_event(r"^zkswe loaded /res/lib/libtavrine-boot\.so$")
    else:
        clock.wait_event(r"^zkswe cannot load /res/lib/libtavrine-boot\.so")
