# The event log as tests read it (per power-up, device time, file changes
# seen by the watcher) and programs run from outside the way a caller on the
# device would run them.
import os
import time

import pytest


def test_events_belong_to_their_power_up(clock):
    clock.power_up(boot=False)
    first = clock.wait_event(r"^platform ready$")
    clock.power_off()
    clock.power_up(boot=False)
    # The earlier power-up's "ready" must not satisfy a wait in this one.
    again = clock.wait_event(r"^platform ready$")
    assert (first.boot, again.boot) == (1, 2)
    assert again.seq > first.seq
    assert {e.boot for e in clock.events()} == {2}
    assert [e.boot for e in clock.find(r"^platform power-up", all_boots=True)] == [1, 2]
    assert 0 <= again.t < 2  # device seconds since its own power-up


@pytest.mark.parametrize("action, expected", [
    (lambda c: c.write("/tmp/EasyUI.cfg", b"{}\n\t"), r"^fs replaced /tmp/EasyUI\.cfg: \{\}\n\t$"),
    (lambda c: c.write("/data/tavrine-app/result", b"confirmed"), r"^fs replaced /data/tavrine-app/result: confirmed$"),
    (lambda c: c.path("/data/tavrine-app/x").write_bytes(b"in place"), r"^fs written /data/tavrine-app/x: in place$"),
    (lambda c: c.write("/data/tavrine-app/b/ui/deep/f", b"1"), r"^fs (replaced|created) /data/tavrine-app/b/ui/deep/f: 1$"),
    (lambda c: os.symlink("/data/tavrine-app/current.cfg", c.path("/tmp/tavrine-ota-ready")),
     r"^fs created /tmp/tavrine-ota-ready -> symlink /data/tavrine-app/current\.cfg$"),
    (lambda c: os.mkfifo(c.path("/tmp/tavrine-boot.cfg")), r"^fs created /tmp/tavrine-boot\.cfg \(fifo\)$"),
    (lambda c: c.write("/tmp/big", bytes(300)), r"^fs replaced /tmp/big \(300 bytes\)$"),
])
def test_watcher_records_file_changes(clock, action, expected):
    clock.power_up(boot=False)
    action(clock)
    clock.wait_event(expected, timeout=5)
    if "fifo" in expected:
        # A FIFO must not have stopped the watcher.
        clock.write("/tmp/after-fifo", b"ok")
        clock.wait_event(r"^fs replaced /tmp/after-fifo: ok$", timeout=5)


def test_removal_is_recorded(clock):
    clock.write("/data/tavrine-app/boot-error", b"x")
    clock.power_up(boot=False)
    clock.remove("/data/tavrine-app/boot-error")
    clock.wait_event(r"^fs removed /data/tavrine-app/boot-error$", timeout=5)


def test_run_gives_status_output_and_the_workspace_on_request(clock):
    clock.power_up(boot=False)
    r = clock.run(["/usr/bin/sh", "-c", "echo out; echo err >&2; exit 7"])
    assert (r.returncode, r.stdout, r.stderr) == (7, b"out\n", b"err\n")
    assert clock.find(r"^test run /usr/bin/sh -c .* -> 7$")
    probe = 'echo "${ANDROID_PROPERTY_WORKSPACE:-unset}"; readlink /proc/self/fd/10 || true'
    assert clock.run(["/usr/bin/sh", "-c", probe]).stdout == b"unset\n"
    assert clock.run(["/usr/bin/sh", "-c", probe], env_workspace=True).stdout == b"10,32768\n/run/sim/workspace\n"
    assert clock.run(["/usr/bin/sh", "-c", "pwd"], cwd="/res").stdout == b"/res\n"
    assert clock.run(["/nonexistent"]).returncode == 127


def test_closed_descriptor_stays_closed_without_libfaketime(clock):
    clock.power_up(boot=False)
    probe = ["/usr/bin/sh", "-c", "[ -e /proc/self/fd/0 ] && echo open || echo closed"]
    assert clock.run(probe, close_fds=[0], faketime=False).stdout == b"closed\n"
    assert clock.run(probe).stdout == b"open\n"


def test_timeline_folds_repeats(clock):
    clock.power_up(boot=False)
    for _ in range(4):
        clock.note("keep-alive")
    time.sleep(0.01)
    text = clock.timeline(fold=True)
    assert text.count("keep-alive") == 1 and "... 3 more" in text
    assert clock.timeline().count("keep-alive") == 4
