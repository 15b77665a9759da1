# A product program can be run through a wrapper (strace now, qemu-user
# later) without changing it: the real binary moves aside, a wrapper takes
# its place.
import pytest

TRACE = "/data/tavrine-app/trace"


@pytest.mark.clock(squashfs=False, wrap={"tavrine-ota-switch": ["strace", "-f", "-qq", "-o", TRACE]})
def test_wrapped_program_runs_under_strace_with_its_own_exit_status(clock):
    clock.require("tavrine-ota-switch")
    clock.power_up(boot=False)
    assert clock.read("/res/bin/tavrine-ota-switch").startswith(b"#!/bin/sh\n")
    assert clock.read("/res/bin/tavrine-ota-switch.real")[:4] == b"\x7fELF"
    r = clock.run(["/res/bin/tavrine-ota-switch", "A", "1.0"])  # a bad slot letter
    assert r.returncode == 2 and r.stdout == b""
    trace = clock.read(TRACE).decode()
    assert 'execve("/res/bin/tavrine-ota-switch.real", ["/res/bin/tavrine-ota-switch.real", "A", "1.0"]' in trace
    assert "exit_group(2)" in trace
