"""Interrupted runs: a run that receives a new template is killed at a random moment (drawn from
the sweep's seed, between 0 and the duration of a typical run, but not before Wine has made the
program's process: killing Wine's loader while it starts can leave the next start hung after its
program ended, a fault of Wine's, not the program's), then a normal run follows. Afterwards the installed
template is the server's current one, it and its script files agree with their seals and are all
there, no staged content is left, the scheduler's request files are well-formed INI, and nothing
was written outside the agent's folder.

The server knows which template the machine should hold and answers "No New Template" when the
machine names it, so a normal run trusts whatever the killed run left exactly as a real one would."""

from __future__ import annotations

import random
import statistics
import time

import pytest

import faults_bench as fb

# 40 of the 200 points in `make test`, drawn afresh each run (see faults_bench.sweep_size).
KILL_POINTS = fb.sweep_size("kill points", 200, 40)


@pytest.fixture(scope="module")
def served(bench):
    """The server's current template and the duration of a typical run that installs one."""
    bench.reset()
    current = fb.CurrentTemplate(bench.sim, version=1)
    durations = []
    for _ in range(3):
        current.version += 1
        p = bench.run()
        bench.assert_ended(p, "calibration run")
        bench.assert_installed(p, version=current.version, complete=True)
        durations.append(p.result.elapsed)
    return current, statistics.median(durations)


@pytest.mark.parametrize("point", range(KILL_POINTS))
def test_killed_run_then_normal_run(bench, served, point):
    current, typical = served
    delay = random.Random(fb.SWEEP_SEED * 100003 + point).uniform(0.0, typical)
    current.version += 1
    fb._unlink(bench.agent.log_path)  # the log of one case at a time
    before = fb.Snapshot.take(bench.agent.install)

    killed = bench.agent.start()
    time.sleep(delay)
    # A kill point before the program's process exists is taken as soon as it does.
    assert killed.wait_for_program(bench.agent.win("kXPR")), "the program never started"
    assert not killed.kill_all().timed_out

    p = bench.run(watch_outside=False)
    what = "normal run after a kill at %.2f s" % delay
    p.outside = before.changes(fb.Snapshot.take(bench.agent.install))
    bench.assert_ended(p, what)
    bench.assert_installed(p, version=current.version, complete=True)
    assert bench.request_file_problems() == []
    assert bench.unexpected_inside() == []


def _there(path) -> bool:
    try:
        return path.stat().st_size > 0 or path.is_dir()
    except OSError:
        return False


def _wait_for_reappearance(path, running, limit: float = 60.0) -> bool:
    """Waits until `path` has gone (the run clears the held template) and is back with content
    (bounded)."""
    deadline = time.monotonic() + limit
    gone = not _there(path)
    while time.monotonic() < deadline and running.poll() is None:
        if not gone:
            gone = not _there(path)
        elif _there(path):
            return True
        time.sleep(0.0005)
    return False


@pytest.mark.parametrize("event", ["template copied", "scripts being copied", "seal written",
                                   "schedule being requested"])
def test_run_killed_at_a_chosen_moment(bench, served, event):
    """Kills aimed at moments that random points seldom hit: right after the template is copied
    into place, while its script folders are copied (large scripts make that last), right after its
    seal is written, and as the request for the runner's schedule is written (the machine had none)."""
    current, _ = served
    current.version += 1
    if event == "schedule being requested":
        fb._unlink(bench.agent.path(fb.h.ADD_INI_REL))
    big = ("<dcmscriptdetails><dcmxprscrdet><scriptid>101</scriptid><scriptbody><![CDATA[%s]]></scriptbody>"
           "</dcmxprscrdet></dcmscriptdetails>" % ("x" * (3 * 1024 * 1024)))
    bench.sim.set_reply(fb.SCRIPT_PAGE, fb.sim.reply(big))
    watched = {"template copied": bench.menu, "scripts being copied": bench.herald / "Action_12_XPR",
               "seal written": bench.herald / "kDHMenu.dat",
               "schedule being requested": bench.agent.path(fb.h.ADD_INI_REL)}[event]
    before = fb.Snapshot.take(bench.agent.install)

    killed = bench.agent.start()
    try:
        assert _wait_for_reappearance(watched, killed), "the run never reached the moment"
    finally:
        killed.kill_all()
    bench.sim.set_reply(fb.SCRIPT_PAGE, None)

    p = bench.run(watch_outside=False)
    p.outside = before.changes(fb.Snapshot.take(bench.agent.install))
    bench.assert_ended(p, "normal run after a kill when the " + event)
    bench.assert_installed(p, version=current.version)
    # The scripts are those of whichever run installed the template, but they are all there.
    assert bench.missing_parts() == [], bench.missing_parts()
    assert bench.request_file_problems() == []
    assert bench.unexpected_inside() == []
