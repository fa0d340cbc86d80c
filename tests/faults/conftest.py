"""Fault suite: kDHT.exe under Wine against a misbehaving server, hostile templates, interrupted
runs and local faults. Uses the test kit (tools/kdht_testkit) and the end-to-end fixtures (tests/e2e) and prints, at the end, how many
cases each group tried and how many failed."""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from kdht_fixtures import *  # noqa: E402,F401,F403

import faults_bench  # noqa: E402

GROUPS = {
    "test_server_faults.py": "server faults",
    "test_hostile_templates.py": "hostile templates",
    "test_interrupted_runs.py": "interrupted runs",
    "test_local_faults.py": "local faults",
}
# Groups of one file, by test class.
CLASS_GROUPS = {
    "TestSmallFileSystem": "small file system",
    "TestHeldTemplate": "held template",
    "TestKilledInstall": "killed install",
    "TestTricklingServer": "trickling server",
    "TestTemplateWithDtd": "templates with DTD",
    "TestRunDeadline": "run deadline",
}
_skip_reasons: dict[str, set[str]] = {}
_tally: dict[str, dict[str, int]] = {}
_started = time.monotonic()


def _group(nodeid: str) -> str:
    parts = nodeid.split("::")
    if len(parts) > 2 and parts[1] in CLASS_GROUPS:
        return CLASS_GROUPS[parts[1]]
    return GROUPS.get(parts[0].rsplit("/", 1)[-1], "other")


def pytest_runtest_logreport(report):
    counts = _tally.setdefault(_group(report.nodeid), {"tried": 0, "failed": 0, "skipped": 0})
    if report.when == "setup":
        if report.skipped:
            counts["skipped"] += 1
            reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
            _skip_reasons.setdefault(_group(report.nodeid), set()).add(reason)
        elif report.failed:
            counts["tried"] += 1
            counts["failed"] += 1
    elif report.when == "call":
        counts["tried"] += 1
        if report.failed:
            counts["failed"] += 1
    elif report.when == "teardown" and report.failed:
        counts["failed"] += 1


def pytest_terminal_summary(terminalreporter):
    if not _tally:
        return
    terminalreporter.write_sep("-", "fault suite")
    total_tried = total_failed = 0
    for group in list(GROUPS.values()) + list(CLASS_GROUPS.values()) + ["other"]:
        c = _tally.get(group)
        if not c:
            continue
        total_tried += c["tried"]
        total_failed += c["failed"]
        skipped = ", %d skipped" % c["skipped"] if c["skipped"] else ""
        terminalreporter.write_line("faults: %-18s %4d cases tried, %3d failed%s" % (group, c["tried"], c["failed"],
                                                                                       skipped))
        for reason in sorted(_skip_reasons.get(group, ())):
            terminalreporter.write_line("faults: %-18s skipped: %s" % (group, reason))
    terminalreporter.write_line("faults: %-18s %4d cases tried, %3d failed, %.0f s" % (
        "all", total_tried, total_failed, time.monotonic() - _started))
    sweeps = ", ".join("%s %d of %d" % (name, n, whole) for name, (n, whole) in faults_bench.SWEEPS.items())
    terminalreporter.write_line("faults: sweeps drawn from seed %d (%s); replay with KDHT_SWEEP_SEED=%d%s" % (
        faults_bench.SWEEP_SEED, sweeps, faults_bench.SWEEP_SEED,
        "" if faults_bench.SWEEP_FULL else ", all of them with KDHT_SWEEP=full"))
    report_start_retries(terminalreporter)


@pytest.fixture(scope="module")
def bench(kdht_exe, request):
    """One agent and one simulator for the whole module (see faults_bench.Bench); a module asks
    for the runner stand-in with `BENCH_RUNNER = True`."""
    name = "F" + request.module.__name__.replace("test_", "")[:12]
    b = faults_bench.Bench(name, runner=getattr(request.module, "BENCH_RUNNER", False))
    yield b
    b.cleanup()
