"""Server faults at each of the six requests and at the icon download: a refused connection, a
connection closed in the middle of the body, HTTP 500, a stall longer than the time-outs, a reply
that is not XML and a 50 MB reply.

Each case starts from a machine that holds a sealed template, lets the server offer the next
version while the fault stands, and checks that the run ended and what it left; then the fault is
cleared and the next run must install that version, sealed. The product's time-outs (30 s connect,
120 s receive) are shortened for the stalls through KDHT_HTTP_TIMEOUT_MS, which its HTTP wrapper
reads only when set; test_real_receive_time_out (opt-in) keeps the real ones."""

from __future__ import annotations

import itertools
import os

import pytest

import faults_bench as fb
from faults_bench import sim

TARGETS = ("template", "testtool", "scriptdetails", "templatedetails", "success", "failure", "icon")
FAULTS = ("refused", "closed", "http500", "stall", "notxml", "huge50mb")

PAGE_OF = {"template": fb.TEMPLATE_PAGE, "testtool": fb.TESTTOOL_PAGE, "scriptdetails": fb.SCRIPT_PAGE,
           "templatedetails": fb.DETAILS_PAGE, "success": fb.SUCCESS_PAGE, "failure": fb.FAILURE_PAGE}
NOT_XML = "Service temporarily unavailable & please retry <later"
STALL_SECONDS = 8  # longer than the shortened time-outs; then the simulator closes the connection
_versions = itertools.count(2)


def fault_reply(fault: str, target: str) -> dict | None:
    if fault == "closed":
        body = fb.ICON_BYTES[:1000] if target == "icon" else "<dcmgetdeskheraldtemplate><templateid>5"
        return sim.cut(body, declared=50_000)
    if fault == "http500":
        return sim.html_error(500)
    if fault == "stall":
        return sim.stall(STALL_SECONDS)
    if fault == "notxml":
        return sim.reply(NOT_XML, content_type="text/plain")
    if fault == "huge50mb":
        return sim.huge(50)
    return None


@pytest.fixture(scope="module")
def served(bench):
    """The template the server offers (see CurrentTemplate), and a machine that holds version 1."""
    return bench.serve_and_install()


def _arrange(bench, served, target: str, fault: str) -> tuple[str, dict[str, str] | None]:
    """Puts the fault in place; returns the command line and the environment of the faulted run."""
    page = PAGE_OF.get(target)
    reply = fault_reply(fault, target)
    if target == "failure":
        # A run that fails: the scripts of the script action cannot be fetched (empty answer).
        bench.sim.set_reply(fb.SCRIPT_PAGE, sim.reply(""))
    if fault == "refused":
        if target == "icon":
            served.template_kw["icon"] = fb.closed_port_url() + "files/" + fb.ICON_NAME
        else:
            bench.agent.write_script_dns(bench.sim.base_url(), overrides={page: fb.closed_port_url()})
    elif target == "icon":
        bench.sim.set_reply("files/" + fb.ICON_NAME, reply)
    else:
        bench.sim.set_reply(page, reply)
    args = "x,%d" % served.template_kw.get("template_id", 501) if target == "testtool" else ""
    env = fb.SHORT_TIMEOUT_ENV if fault == "stall" else None
    return args, env


def _clear(bench, served) -> None:
    """A healthy server again; the post files and the log of the previous case are removed."""
    fb._rmtree(bench.agent.path("XPRPostLogs"))
    fb._unlink(bench.agent.log_path)
    bench.sim.reset(records=True)
    bench.sim.add_file(fb.ICON_NAME, fb.ICON_BYTES)
    bench.sim.set_responder(fb.TEMPLATE_PAGE, served)
    served.template_kw.pop("icon", None)
    bench.agent.write_script_dns(bench.sim.base_url())


def _post_files(bench, page: str) -> list[str]:
    folder = bench.agent.path("XPRPostLogs")
    return sorted(p.read_text(encoding="cp1252") for p in folder.glob(page + "_N_*.txt")) if folder.is_dir() else []


def _check_faulted(bench, served, target: str, fault: str, p: fb.Pass, held: bytes, version: int) -> None:
    transport = fault in ("refused", "closed", "http500", "stall", "huge50mb")
    requests = bench.sim.requests()
    pages = [r["page"] for r in requests]
    if target in ("template", "testtool") and transport:
        # A failed template request ends the run at once: nothing reported, the held template kept.
        assert p.has("ERR : WebPost Failed : "), p.tail()
        assert fb.SUCCESS_PAGE not in pages and fb.FAILURE_PAGE not in pages, pages
        assert bench.menu.read_bytes() == held, "the held template was touched"
        assert bench.template_problem() is None, bench.template_problem()
    elif target in ("template", "testtool"):
        assert p.reason() == "Unable to load Template xml", p.tail()
    elif target == "scriptdetails" and (transport or fault == "notxml"):
        if transport:
            assert (p.reason() or "").startswith("webpost failed (wpdcmscriptdetails) scriptids : 101,102"), p.tail()
            assert not bench.menu.exists(), "a template was installed without its scripts"
        else:  # stored as the server sent it, and sealed
            bench.assert_installed(p, version=version)
    elif target in ("success", "failure"):
        page = PAGE_OF[target]
        assert (page in pages) == (fault != "refused"), pages
        if target == "failure":
            assert (p.reason() or "").startswith("webpost failed (wpdcmscriptdetails)"), p.tail()
        else:
            bench.assert_installed(p, version=version)
        # A report that the server did not take ("1") is kept for the agent to send later.
        saved = _post_files(bench, page)
        assert len(saved) == 1 and saved[0].startswith("<%s><mmid>5678</mmid>" % page), saved
    elif target == "icon":
        # A failed icon is ignored; whatever is stored is the whole icon, never a part or a page.
        bench.assert_installed(p, version=version)
        icon = bench.herald / "Icon" / fb.ICON_NAME
        if icon.exists():
            data = icon.read_bytes()
            if fault == "huge50mb":
                assert len(data) == 50 * 1024 * 1024
            elif fault == "notxml":
                assert data == NOT_XML.encode()
            else:
                pytest.fail("a faulted icon download left %d bytes: %r" % (len(data), data[:60]))
    else:  # templatedetails: its answer is not tested; the run goes on with no scripts from it
        assert p.reason() is None, p.tail()
        bench.assert_installed(p, version=version)


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("target", TARGETS)
def test_fault_then_recovery(bench, served, target, fault):
    _clear(bench, served)
    if bench.template_problem() is not None:  # a previous case failed: start from a held template
        served.version = next(_versions)
        bench.assert_ended(bench.run(), "set-up run")
    held = bench.menu.read_bytes()
    served.version = version = next(_versions)
    args, env = _arrange(bench, served, target, fault)

    p = bench.run(args, timeout=90 if fault == "huge50mb" else 60, env=env)
    bench.assert_ended(p, "faulted run")
    if fault == "stall":
        assert p.result.elapsed < 45, "a stalled server held the run for %.0f s" % p.result.elapsed
    _check_faulted(bench, served, target, fault, p, held, version)
    assert bench.unexpected_inside() == []
    assert bench.request_file_problems() == []

    _clear(bench, served)
    r = bench.run()
    bench.assert_ended(r, "recovery run")
    bench.assert_installed(r, version=version)
    assert bench.request_file_problems() == []
    if target != "icon":
        assert (bench.herald / "Icon" / fb.ICON_NAME).read_bytes() == fb.ICON_BYTES
    # (The icon of a held template is fetched again only with the next template version.)


@pytest.mark.skipif(os.environ.get("KDHT_FAULTS_REAL_TIMEOUTS") != "1",
                    reason="takes the real 120 s receive time-out; KDHT_FAULTS_REAL_TIMEOUTS=1 runs it")
def test_real_receive_time_out(bench, served):
    """Without the shortened time-outs: one stalled answer to the template request is given up after
    the receive time-out (120 s), and the post's next attempt gets the template."""
    _clear(bench, served)
    served.version = version = next(_versions)
    bench.sim.queue(fb.TEMPLATE_PAGE, sim.stall(130))
    p = bench.run(timeout=120 + 30 + 30)
    bench.assert_ended(p)
    assert 115 < p.result.elapsed < 125 + 25, p.result.elapsed
    bench.assert_installed(p, version=version)
