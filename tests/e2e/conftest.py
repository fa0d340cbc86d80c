"""End-to-end tests: the real kDHT.exe under Wine against the management-server simulator.
Other suites reuse the same fixtures with:

    sys.path.insert(0, str(<repo>/"tests"/"e2e"))
    from kdht_fixtures import *  # noqa: F401,F403
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
# The test kit shared with the demo and the bench.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

from kdht_fixtures import *  # noqa: E402,F401,F403


def pytest_terminal_summary(terminalreporter):
    report_start_retries(terminalreporter)
