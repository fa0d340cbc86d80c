"""Fixtures for tests that run kDHT.exe: a warm Wine prefix, the simulator, sandboxed agents.
A conftest.py takes them with `from kdht_fixtures import *` (tests/e2e on sys.path)."""

from __future__ import annotations

import pytest

from kdht_testkit import harness as h

__all__ = ["wine_session", "kdht_exe", "sim", "make_agent", "agent", "pytest_configure", "report_start_retries"]


def pytest_configure(config):
    config.addinivalue_line("markers", "width: a scenario where the build's width matters; `make test` runs "
                                       "only these against the x86_64 build")


def report_start_retries(terminalreporter) -> None:
    """One line with the number of starts of kDHT.exe that Wine could not make (and that were
    made once more), then a line for each; the same for runs whose exit code Wine's loader lost
    after the program had ended cleanly, and for starts Wine's loader gave up."""
    terminalreporter.write_line("wine start failures retried: %d" % len(h.START_RETRIES))
    for what in h.START_RETRIES:
        terminalreporter.write_line("  retried: " + what)
    terminalreporter.write_line("wine exit failures after a clean end: %d" % len(h.EXIT_FAILURES))
    for what in h.EXIT_FAILURES:
        terminalreporter.write_line("  exit code lost: " + what)
    terminalreporter.write_line("wine loader gave up, started again: %d" % len(h.LOADER_RETRIES))
    for what in h.LOADER_RETRIES:
        terminalreporter.write_line("  started again: " + what)


@pytest.fixture(scope="session")
def wine_session():
    """The prefix exists and a wineserver is kept alive for it (left running at the end)."""
    h.ensure_prefix()
    h.start_wineserver()
    yield h.wineprefix()


@pytest.fixture(scope="session")
def kdht_exe(wine_session):
    """The kDHT.exe under test, once its build has shown that its programs really run here: a suite
    that cannot run the build fails, it never skips."""
    try:
        bits = h.require_runnable_build()
    except (RuntimeError, ValueError) as e:
        pytest.fail(str(e), pytrace=False)
    print("\nkDHT.exe under test: %s (%d-bit)" % (h.binary("kDHT.exe"), bits))
    return h.binary("kDHT.exe")


@pytest.fixture
def sim(tmp_path):
    """An in-process management-server simulator recording into tmp_path/requests.jsonl."""
    server = h.sim.Simulator(record=tmp_path / "requests.jsonl").start()
    yield server
    server.stop()


@pytest.fixture
def make_agent(kdht_exe, sim):
    """make_agent(name=None, root=r"C:\\KAGENT", identity={...}, ...) -> Agent pointed at `sim`
    (see Agent.create). Every agent made is cleaned up after the test."""
    made: list[h.Agent] = []

    def _make(name: str | None = None, **kw) -> h.Agent:
        kw.setdefault("sim_url", sim.base_url())
        agent = h.Agent.create(name, **kw)
        made.append(agent)
        return agent

    yield _make
    for agent in made:
        agent.cleanup()


@pytest.fixture
def agent(make_agent):
    """A deployed agent C:\\KAGENT\\T<n>\\ with the default identity and the URLs of `sim`."""
    return make_agent()
