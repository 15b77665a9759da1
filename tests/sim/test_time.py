# Accelerated time: libfaketime must speed up every sleep and monotonic
# deadline of every process of the clock alike (forked, detached, exec'd),
# while the event log keeps real time that the fixture scales back.
import pytest

ROLES = {"parent", "fork", "setsid", "exec"}


def measure(clock, seconds):
    r = clock.run(["/bin/simtime", str(seconds)])
    assert r.returncode == 0
    rows = {}
    for line in r.stdout.decode().splitlines():
        role, *fields = line.split()
        rows[role] = {k: float(v) for k, v in (f.split("=") for f in fields)}
    assert set(rows) == ROLES
    return rows


@pytest.mark.parametrize("speed, seconds", [(10, 2.0), (20, 4.0), (1, 0.3)])
def test_sleeps_and_deadlines_scale_in_every_kind_of_process(tmp_path, speed, seconds, request):
    from simclock import SimClock
    with SimClock(tmp_path, speed=speed, squashfs=False) as clock:
        clock.power_up(boot=False)
        for role, row in measure(clock, seconds).items():
            # As the process sees it: the whole device duration ...
            assert seconds * 0.97 <= row["sleep_device"] <= seconds * 1.15, role
            # ... in 1/speed of the real time, for a sleep and for a deadline.
            for kind in ("sleep_real", "deadline_real"):
                assert seconds / speed * 0.9 <= row[kind] <= seconds / speed * 1.3 + 0.02, (role, kind, row)


def test_event_times_are_device_seconds(clock):
    clock.power_up(boot=False)
    clock.run(["/usr/bin/sh", "-c", "/bin/setprop sim.mark 1; sleep 3; /bin/setprop sim.mark 2"])
    first, second = clock.find(r"^dash setprop sim\.mark")
    assert 3.0 <= second.t - first.t <= 3.4
    assert (second.real - first.real) / 1e9 < 0.34 + 0.05  # 3 device s at x10


def test_product_processes_get_the_speed_up_through_their_environment_only(clock):
    clock.power_up(boot=False)
    r = clock.run(["/usr/bin/sh", "-c", "tr '\\0' '\\n' < /proc/1/environ | grep -E '^(LD_PRELOAD|FAKETIME)='"])
    assert r.stdout.decode().splitlines() == [
        "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1", "FAKETIME=+0 x10"]
