# The property service emulator against the platform contract: exit status 0
# exactly when the property was set, the value on standard output, services
# started detached with the workspace, stopped before ctl.stop returns.
import os
import re

import pytest

LONGEST = "v" * 91


@pytest.fixture(scope="module")
def shared_clock(tmp_path_factory):
    """One powered clock for the stateless contract cases; each case uses
    its own property names or sets what it reads."""
    from clockfixture import clock_skip_reason
    from simclock import SimClock
    if clock_skip_reason(False):
        pytest.skip(clock_skip_reason(False))
    with SimClock(tmp_path_factory.mktemp("props"), squashfs=False) as clock:
        clock.power_up(boot=False)
        yield clock


def setprop(clock, name, value):
    return clock.run(["/bin/setprop", name, value]).returncode


def getprop(clock, name):
    r = clock.run(["/bin/getprop", name])
    assert r.returncode == 0
    return r.stdout


@pytest.mark.parametrize("argv, status, name, stored", [
    (["sys.zkapp.state", "running"], 0, "sys.zkapp.state", "running"),
    (["sys.zkupgrade.dir", ""], 0, "sys.zkupgrade.dir", ""),
    (["sys.zkupgrade.flag", "0"], 0, "sys.zkupgrade.flag", "0"),
    (["sys.zkupgrade.state", "255"], 0, "sys.zkupgrade.state", "255"),
    (["sys.longest", LONGEST], 0, "sys.longest", LONGEST),
    (["sys.too.long", LONGEST + "v"], 1, "sys.too.long", None),
    (["sys/x", "1"], 1, "sys/x", None),
    (["sys.one.arg"], 1, "sys.one.arg", None),
    (["sys.three.args", "1", "2"], 1, "sys.three.args", None),
    (["ctl.start", "no-such-service"], 0, "ctl.start", None),
])
def test_setprop_status_and_stored_value(shared_clock, argv, status, name, stored):
    clock = shared_clock
    assert clock.run(["/bin/setprop", *argv]).returncode == status
    assert clock.prop(name) == stored
    if "/" not in name:
        assert getprop(clock, name) == (stored or "").encode() + b"\n"


def test_getprop_prints_value_and_line_feed_and_logs_the_caller(shared_clock):
    clock = shared_clock
    clock.set_prop("sys.zkupgrade.state", "0")
    assert getprop(clock, "sys.zkupgrade.state") == b"0\n"
    assert getprop(clock, "never.set") == b"\n"
    assert clock.find(r"^outside getprop sys\.zkupgrade\.state -> 0$")
    assert clock.find(r'^outside getprop never\.set -> ""$')


@pytest.mark.parametrize("fault, call, status, stored", [
    (("sys.zkupgrade.flag", "0"), ("sys.zkupgrade.flag", "0"), 1, "1"),
    (("sys.zkupgrade.flag", "0"), ("sys.zkupgrade.flag", "2"), 0, "2"),
    (("sys.zkupgrade.flag", None), ("sys.zkupgrade.flag", "2"), 1, "1"),
    (("sys.zkupgrade.dir", ""), ("sys.zkupgrade.dir", ""), 1, "1"),
    (("sys.zkupgrade.dir", ""), ("sys.zkupgrade.dir", "x"), 0, "x"),
])
def test_scripted_setprop_failure_sets_nothing(clock, fault, call, status, stored):
    clock.set_prop("sys.zkupgrade.flag", "1")
    clock.set_prop("sys.zkupgrade.dir", "1")
    clock.power_up(boot=False)
    clock.fail_setprop(*fault)
    assert setprop(clock, *call) == status
    assert clock.prop(call[0]) == stored
    clock.clear_faults()
    assert setprop(clock, *call) == 0


def test_scripted_hang_delays_the_call_in_device_time(clock):
    clock.power_up(boot=False)
    clock.hang_setprop("sys.zkapp.state", "running", seconds=4)
    before = clock.events()[-1]
    assert setprop(clock, "sys.zkapp.state", "running") == 0
    hang, done = clock.find(r"^outside setprop sys\.zkapp\.state running", after=before)
    assert "hangs 4 s" in hang.text and done.text.endswith("-> 0")
    assert 3.8 <= done.t - hang.t <= 4.8


def service_pid(clock, name):
    return [pid for pid, exe, _ in clock.processes() if exe == name]


def test_services_start_detached_with_the_property_workspace(clock):
    clock.power_up(boot=False)
    clock.write("/tmp/EasyUI.cfg", b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"}')
    assert setprop(clock, "ctl.start", "zkswe") == 0
    clock.wait_event(r"^stock-app port 80 bound")
    assert setprop(clock, "ctl.start", "zkswe") == 0
    assert clock.find(r"^zkswe already running")
    [pid] = service_pid(clock, "zkswe")
    env = dict(v.split("=", 1) for v in open(f"/proc/{pid}/environ").read().split("\0") if "=" in v)
    fd, size = env["ANDROID_PROPERTY_WORKSPACE"].split(",")
    assert (fd, size) == ("10", "32768")
    assert os.readlink(f"/proc/{pid}/fd/10").endswith("/run/sim/workspace")
    assert open(f"/proc/{pid}/stat").read().split(") ")[1].split()[3] == \
        open(f"/proc/{pid}/stat").read().split(") ")[1].split()[2]  # own session (sid == pgid)


def test_ctl_stop_returns_after_the_host_ran_its_deinit_and_exited(clock):
    clock.power_up(boot=False)
    clock.write("/tmp/EasyUI.cfg", b'{"startupLibPath":"/res/lib/libzkgui.so","resPath":"/res/ui/"}')
    setprop(clock, "ctl.start", "zkswe")
    clock.wait_event(r"^stock-app port 80 bound")
    [host] = service_pid(clock, "zkswe")
    assert setprop(clock, "ctl.stop", "zkswe") == 0
    names = [f"{e.actor} {e.text}" for e in clock.events()]
    order = [next(i for i, n in enumerate(names) if re.search(p, n)) for p in
             (r"^stock-app deinit", r"^zkswe exited with status 0", r"^outside setprop ctl\.stop zkswe -> 0")]
    assert order == sorted(order)
    assert host not in service_pid(clock, "zkswe")  # what is left is the app's port lingering
    assert setprop(clock, "ctl.stop", "zkswe") == 0  # not running: still 0
    assert clock.find(r"^zkswe not running")


def test_a_service_refusing_to_stop_keeps_running(clock):
    clock.power_up(boot=False)
    clock.refuse_stop("hciattach")
    assert setprop(clock, "ctl.stop", "hciattach") == 0
    assert len(service_pid(clock, "hciattach")) == 1
    clock.clear_faults()
    assert setprop(clock, "ctl.stop", "hciattach") == 0
    assert service_pid(clock, "hciattach") == []


@pytest.mark.clock(speed=1)
def test_setprop_calls_in_a_row_are_each_logged(clock):
    """Forty calls in a row, none lost. Their cost is a figure, not a
    pass/fail: printed here (the gap between consecutive calls: one fork and
    exec of the shell plus the setprop itself)."""
    clock.power_up(boot=False)
    r = clock.run(["/usr/bin/sh", "-c", "for i in $(seq 40); do /bin/setprop sys.zkapp.state running; done"])
    assert r.returncode == 0
    calls = clock.find(r"^dash setprop sys\.zkapp\.state running -> 0$")
    assert len(calls) == 40
    gaps = sorted((b.real - a.real) / 1e6 for a, b in zip(calls, calls[1:]))
    print(f"setprop: median {gaps[len(gaps) // 2]:.2f} ms per call")
