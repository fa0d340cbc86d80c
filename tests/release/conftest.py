"""The release package and the hardening of the binaries: the packaging script of `make dist`
pointed at the build under test (no second build), a throwaway signing certificate made here,
the hardening check over both widths' builds. Uses the test kit and the end-to-end fixtures for
the one whole pass of the signed program."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "release"))

from kdht_fixtures import *  # noqa: E402,F401,F403


def pytest_terminal_summary(terminalreporter):
    report_start_retries(terminalreporter)
