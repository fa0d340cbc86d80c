"""What a crash leaves: a program with the updater's crash handler (kCrashOnPurpose.exe, a test
program: kDHT.exe has no way to be made to crash) crashes in each way while it holds the
updater's lock. It leaves one log line naming the code, the module and the offset, one dump that
names the same code, no more than five dumps, and a next run of kDHT.exe that starts and ends
normally; kDHTInfo reports the newest crash."""

from __future__ import annotations

import json
import os
import re
import shutil
import struct

import pytest

from kdht_testkit import harness as h

pytestmark = pytest.mark.width

CODES = {"access": 0xC0000005, "stack": 0xC00000FD, "terminate": 0xE0000001, "abort": 0x40000015}


def exception_code(dump: bytes) -> int | None:
    """The code of a minidump's exception stream; None when it is not a minidump or has none."""
    if len(dump) < 32 or dump[:4] != b"MDMP":
        return None
    streams, directory = struct.unpack_from("<II", dump, 8)
    for i in range(streams):
        kind, _, rva = struct.unpack_from("<III", dump, directory + 12 * i)
        if kind == 6:  # ExceptionStream: thread id, alignment, then the exception record
            return struct.unpack_from("<I", dump, rva + 8)[0]
    return None


@pytest.mark.parametrize("kind", list(CODES))
def test_crash_leaves_its_line_and_one_dump_and_the_next_run_starts(make_agent, sim, kind):
    code = CODES[kind]
    agent = make_agent()
    folder = agent.log_path.parent
    folder.mkdir(parents=True, exist_ok=True)
    for day in range(1, 7):  # dumps of earlier crashes, older than any new one
        old = folder / ("kDHT-202001%02d-120000-7.dmp" % day)
        old.write_bytes(b"MDMP")
        os.utime(old, (1577880000 + day * 86400,) * 2)
    exe = agent.path(r"kXPR\kCrashOnPurpose.exe")
    shutil.copy2(h.binary("kCrashOnPurpose.exe"), exe)

    r = h.Running([str(h.WINE_RUN), agent.win(r"kXPR\kCrashOnPurpose.exe"), kind, agent.win(h.LOG_REL)],
                  h.wine_env()).wait(timeout=120)
    assert not r.timed_out
    assert r.returncode != 0

    crashes = [m for m in agent.log_messages() if m.startswith("ERR : Crash ")]
    assert len(crashes) == 1, agent.log_messages()
    m = re.fullmatch(r"ERR : Crash 0x%08X in (\S+)\+0x[0-9A-F]+, dump (.+\.dmp)" % code, crashes[0])
    assert m, crashes[0]
    dumps = sorted(p.name for p in folder.glob("kDHT-*.dmp"))
    new = h.win_to_unix(m.group(2))
    assert len(dumps) == 5 and new.name in dumps, dumps
    assert "kDHT-20200101-120000-7.dmp" not in dumps and "kDHT-20200102-120000-7.dmp" not in dumps
    assert exception_code(new.read_bytes()) == code
    assert list(folder.glob("*.tmp")) == []

    # The lock went with the crashed process: a normal run starts, and ends as always.
    agent.run(timeout=120)
    agent.assert_end_of_run()
    if kind == "access":
        r = agent.info("--json")
        assert r.returncode == 0, r.stderr
        report = json.loads(r.stdout.decode("utf-8"))["crashes"]
        assert report["dumps"] == 5
        newest = report["newest"]
        assert newest["dump"].lower() == m.group(2).lower()
        assert (newest["code"], newest["module"], newest["readable"]) == ("0x%08X" % code, m.group(1), True)
