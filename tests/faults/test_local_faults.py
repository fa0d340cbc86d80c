"""Local faults: read-only installed files, a run log held open by another program, a second
instance started during a run, and an install folder whose name has blanks and non-ASCII letters.
Each run must end, and the machine must end up with its template installed, complete and sealed."""

from __future__ import annotations

import os
import time

import pytest

import faults_bench as fb
from faults_bench import h, sim

HOLD_SECONDS = 120


@pytest.fixture(scope="module")
def served(bench):
    return bench.serve_and_install(complete=True)


@pytest.fixture
def fresh(bench, served):
    """Each case starts from a machine that holds the current template; the log and the post
    files of earlier cases are removed, the server is healthy again."""
    fb._unlink(bench.agent.log_path)
    fb._rmtree(bench.agent.path("XPRPostLogs"))
    bench.sim.reset()
    bench.sim.add_file(fb.ICON_NAME, fb.ICON_BYTES)
    bench.sim.set_responder(fb.TEMPLATE_PAGE, served)
    if bench.template_problem() is not None or bench.missing_parts():
        served.version += 1
        bench.assert_ended(bench.run(), "set-up run")
    yield served
    bench.agent.kill_processes()


def _read_only(paths) -> list:
    done = []
    for p in paths:
        if p.is_file():
            os.chmod(p, 0o444)
            done.append(p)
    return done


def _pages(bench) -> list[str]:
    return [r["page"] for r in bench.sim.requests()]


# ----------------------------------------------------------------------------------------------
# Read-only files
# ----------------------------------------------------------------------------------------------

class TestReadOnlyFiles:
    def test_read_only_template_scripts_and_icon_are_replaced(self, bench, fresh):
        herald = bench.herald
        made = _read_only([bench.menu, herald / "kDHMenu.dat", *herald.glob("Action_*_XPR/*"),
                           herald / "Icon" / fb.ICON_NAME])
        assert len(made) >= 7, made
        fresh.version += 1
        p = bench.run()
        bench.assert_ended(p)
        bench.assert_installed(p, version=fresh.version, complete=True)

    def test_read_only_staging_left_by_an_earlier_run_is_cleared(self, bench, fresh):
        staged = bench.herald / "PreProcessScripts" / "Action_12_XPR"
        staged.mkdir(parents=True, exist_ok=True)
        (staged / "XPR_Script.xml").write_bytes(b"stale")
        (bench.herald / "Pre_kDHMenu.xml").write_bytes(b"stale")
        _read_only([staged / "XPR_Script.xml", bench.herald / "Pre_kDHMenu.xml"])
        fresh.version += 1
        p = bench.run()
        bench.assert_ended(p)
        bench.assert_installed(p, version=fresh.version, complete=True)

    def test_read_only_status_and_request_files(self, bench, fresh):
        """The request files as an exclusion leaves them (a request to remove the runner's schedule,
        none to keep it), read-only, and a read-only status file: the run installs and asks for the
        runner's schedule, and the stale removal request does not stand beside it."""
        bench.agent.path(h.ADD_INI_REL).unlink(missing_ok=True)
        bench.agent.write_text(h.DELETE_INI_REL, "".join(
            "[%d]\r\nExecutableName=kXPR\\kInDHM.exe\r\nParameter=SERVICE\r\nStartTime=00:01\r\n"
            "EndTime=23:59\r\nInterval=%s\r\nWeekdays=0,1,2,3,4,5,6\r\n\r\n" % (n, i) for n, i in ((1, 15), (2, 0))))
        made = _read_only([bench.agent.path(h.STATUS_INI_REL), bench.agent.path(h.DELETE_INI_REL)])
        assert len(made) == 2, made
        fresh.version += 1
        p = bench.run()
        bench.assert_ended(p)
        bench.assert_installed(p, version=fresh.version, complete=True)
        assert bench.request_file_problems() == []
        # A pending request to remove the runner's schedule must not outlive one to keep it.
        assert not bench.agent.path(h.DELETE_INI_REL).exists(), p.tail()
        adds = bench.agent.add_requests()
        assert adds is not None and any(v.get("ExecutableName", "").lower() == r"kxpr\kindhm.exe"
                                         for v in adds.as_dict().values()), p.tail()


# ----------------------------------------------------------------------------------------------
# The run log held open
# ----------------------------------------------------------------------------------------------

class TestHeldLog:
    @pytest.fixture
    def hold(self, bench):
        helper = h.binary("kHoldFile.exe")
        if not helper.is_file():
            pytest.skip("kHoldFile.exe is not built (%s)" % helper)
        tools = bench.agent.path("kXPR")
        held: list[h.Running] = []

        def _hold(share: str) -> h.Running:
            exe = bench.agent.path(r"kXPR\kHoldFile.exe")
            if not exe.exists():
                exe.write_bytes(helper.read_bytes())
            ready = tools / "held.ready"
            ready.unlink(missing_ok=True)
            r = h.Running([str(h.WINE_RUN), bench.agent.win(r"kXPR\kHoldFile.exe"), bench.agent.win(h.LOG_REL),
                           share, str(HOLD_SECONDS), bench.agent.win(r"kXPR\held.ready")], h.wine_env())
            held.append(r)
            deadline = time.monotonic() + 30
            while not ready.exists() and r.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            assert ready.exists(), "the log could not be held: %r" % (r.wait(5).returncode,)
            return r

        yield _hold
        for r in held:
            r.kill()
            r.wait(timeout=30)
        (tools / "held.ready").unlink(missing_ok=True)
        bench.agent.path(r"kXPR\kHoldFile.exe").unlink(missing_ok=True)

    @pytest.mark.parametrize("share", ["none", "read"])
    @pytest.mark.parametrize("log_size", ["small", "over the limit"])
    def test_held_log_does_not_stop_the_update(self, bench, fresh, hold, share, log_size):
        line = b"01/02/2003 04:05:06\tMSG : old line\r\n"
        old = line * (2 if log_size == "small" else 1_048_576 // len(line) + 1)
        bench.agent.write_bytes(h.LOG_REL, old)
        holder = hold(share)
        fresh.version += 1
        result = bench.agent.run(timeout=60, check_timeout=False)
        assert not result.timed_out, "the run did not end with its log held"
        assert result.returncode == 0 and not [m for m in fb.CRASH_MARKERS if m in result.stderr], result.stderr[-800:]
        # Its log lines are lost, but the update is not.
        bench.assert_installed(version=fresh.version, complete=True)
        assert fb.SUCCESS_PAGE in _pages(bench), _pages(bench)
        holder.kill()
        holder.wait(timeout=30)
        # Once the log is free again, the next run writes it, up to its end line.
        p = bench.run()
        bench.assert_ended(p, "run after the log was released")
        assert p.has("MSG : Application started")


# ----------------------------------------------------------------------------------------------
# A second instance
# ----------------------------------------------------------------------------------------------

class TestSecondInstance:
    @pytest.mark.parametrize("page", [fb.TEMPLATE_PAGE, fb.SCRIPT_PAGE, fb.SUCCESS_PAGE])
    def test_second_instance_during_a_run_leaves_it_alone(self, bench, fresh, page):
        """The second instance is started while the first waits for the server at `page`: it ends
        at once without a line or a request of its own, and the first finishes its update."""
        fresh.version += 1
        if page == fb.TEMPLATE_PAGE:
            then = sim.reply(fresh.xml())
        else:
            then = sim.builtin_reply(page, "<scriptid>101,102</scriptid>")
        bench.sim.queue(page, sim.stall(6, then=then))
        first = bench.agent.start()
        try:
            assert bench.sim.wait_for(page, 1, timeout=60), "the first run never reached " + page
            log_before = bench.agent.log_bytes()
            requests_before = len(bench.sim.requests())
            second = bench.agent.start("DH")
            r2 = second.wait(timeout=30)
            assert not r2.timed_out and r2.returncode == 0
            assert first.poll() is None, "the first run ended before the second one was done"
            assert bench.agent.log_bytes() == log_before
            assert len(bench.sim.requests()) == requests_before
        finally:
            r1 = first.wait(timeout=60)
        assert not r1.timed_out and r1.returncode == 0
        msgs = bench.messages_since(0)
        assert msgs.count("MSG : Application started") == 1 and msgs[-1] == fb.ENDED, msgs[-10:]
        bench.assert_installed(version=fresh.version, complete=True)


# ----------------------------------------------------------------------------------------------
# An install folder with blanks and non-ASCII letters
# ----------------------------------------------------------------------------------------------

def test_install_folder_with_blanks_and_non_ascii_letters(bench):
    name = "Agent Földer ÄÖ é"
    other = fb.Bench(name)
    try:
        assert "Földer" in other.agent.install_win
        current = fb.CurrentTemplate(other.sim, version=1)
        p = other.run()
        other.assert_ended(p)
        other.assert_installed(p, version=1, complete=True)
        assert other.request_file_problems() == []
        assert other.unexpected_inside() == []
        assert other.agent.add_requests() is not None
        # The held template is trusted through the same path: the next run asks for nothing new.
        q = other.run()
        other.assert_ended(q, "second run")
        assert q.has("MSG : Checksum matched") and q.has("MSG : WebPost Return Status: " + sim.NO_NEW_TEMPLATE), q.tail()
        current.version = 2
        r = other.run()
        other.assert_ended(r, "third run")
        other.assert_installed(r, version=2, complete=True)
    finally:
        other.cleanup()
        bench.agent.write_registry()
        bench._register_job_download(True)
