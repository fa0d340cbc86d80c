"""The harness's own parts whose mistakes would make the end-to-end checks meaningless: where the
identity is written, short names, and the readers of the log and record files."""

from __future__ import annotations

import re
import time
from pathlib import Path

import pytest

from kdht_testkit import harness as h


class TestWineSetUp:
    def test_identity_lands_in_the_32_bit_view_only(self, wine_session):
        try:
            h.write_registry({"InstallationPath": "C:\\K Agent\\x", "RegID": "12", "Type": 'say "hi"'})
            assert h.read_registry(32) == {"InstallationPath": "C:\\K Agent\\x", "RegID": "12", "Type": 'say "hi"'}
            assert h.read_registry(64) == {}
            h.write_registry({"RegID": "7"})  # replaces the key as a whole
            assert h.read_registry(32) == {"RegID": "7"}
        finally:
            h.clear_registry()
        assert h.read_registry(32) == {}

    def test_short_path_of_long_and_83_names(self, wine_session):
        long_dir = h.drive_c() / "KAGENT" / "harness check" / "Sub Folder"
        long_dir.mkdir(parents=True, exist_ok=True)
        short = h.short_path(r"C:\KAGENT\harness check\Sub Folder")
        assert re.fullmatch(r"C:\\KAGENT\\[A-Z0-9_]{1,6}~[A-Z0-9]+\\[A-Z0-9_]{1,6}~[A-Z0-9]+", short), short
        assert h.short_path(r"C:\KAGENT") == r"C:\KAGENT"


class TestReaders:
    def test_parse_log_keeps_trailing_blanks_and_unstamped_lines(self):
        data = (b"03/07/2016 14:05:09\tMSG : Getting ExeVersion : \r\n"
                b"03/07/2016 14:05:09\tfirst\r\nsecond half\r\n"
                b"03/07/2016 14:05:10\t\r\n"
                b"03/07/2016 14:05:10\tcaf\xe9\r\n")
        lines = h.parse_log(data)
        assert [(x.stamp, x.message) for x in lines] == [
            ("03/07/2016 14:05:09", "MSG : Getting ExeVersion : "),
            ("03/07/2016 14:05:09", "first"),
            (None, "second half"),
            ("03/07/2016 14:05:10", ""),
            ("03/07/2016 14:05:10", "caf\xe9"),
        ]

    @pytest.mark.parametrize("expected, contiguous, ok", [
        (["a", "c"], False, True),
        (["c", "a"], False, False),
        (["a", "c"], True, False),
        (["b", re.compile(r"c+")], True, True),
        (["a "], False, False),  # exact text: a trailing blank matters
    ])
    def test_sequences(self, expected, contiguous, ok):
        msgs = ["a", "b", "c", "d"]
        if ok:
            h.assert_sequence(msgs, expected, contiguous=contiguous)
        else:
            with pytest.raises(AssertionError):
                h.assert_sequence(msgs, expected, contiguous=contiguous)

    def test_ini_reads_like_the_profile_functions(self):
        ini = h.IniFile("[1]\r\nExecutableName = kXPR\\kInDHM.exe \r\nInterval=15\r\n\r\n"
                        "[Two]\r\nx=1\r\nX=2\r\n[two]\r\ny=3\r\n")
        assert ini.sections() == ["1", "Two"]
        assert ini.get("1", "executablename") == "kXPR\\kInDHM.exe"
        assert ini["TWO"] == {"x": "1"}
        assert ini.get("absent", "x") is None

    def test_popup_record(self):
        text = ("put\tIcon\tVT_I4\t3\r\nput\tBody\tVT_BSTR\tline\\none\r\npopup\r\n"
                "put\tIcon\tVT_I4\t4\r\n")
        assert h.parse_popup_record(text) == [h.PopupCall((("Icon", "VT_I4", "3"), ("Body", "VT_BSTR", "line\none")))]

    def test_runner_record(self):
        text = "start\t42\t\"C:\\A\\kXPR\\kINDHM.exe\" SERVICE\r\nrun\t43\troot\tC:\\A\\kXPR\\kRSSUpd.exe\r\n"
        assert h.parse_runner_record(text) == [
            h.RunnerStart("start", 42, None, '"C:\\A\\kXPR\\kINDHM.exe" SERVICE'),
            h.RunnerStart("run", 43, "root", "C:\\A\\kXPR\\kRSSUpd.exe"),
        ]

    def test_end_of_run_blocks(self):
        msgs = ["x", "MSG : UsersPath : C:\\Users",
                h.USER_LINE % "root", "MSG : C:\\Users\\root\\AppData\\Local\\VirtualStore - Not Available",
                h.COMPLETED_LINE, h.ENDED_LINE]
        eor = h.parse_end_of_run(msgs)
        assert eor.users_path == "C:\\Users" and eor.order == ["root"] and eor.ended and eor.extra == []
        assert eor.blocks["root"][1].endswith("- Not Available")
        assert h.parse_end_of_run(msgs[:-1]).ended is False


class TestLoaderRetry:
    """A start that ends at once with exit code 1 and no output is Wine's loader giving up: it is made
    once more. Anything that printed, took longer or failed again is reported as it ended."""

    @pytest.fixture(autouse=True)
    def retries(self, monkeypatch) -> list[str]:
        # The suite's own count of loader retries stays the real one.
        retries: list[str] = []
        monkeypatch.setattr(h, "LOADER_RETRIES", retries)
        return retries

    @staticmethod
    def script(tmp_path, body: str) -> list[str]:
        counter = tmp_path / "starts"
        return ["/bin/sh", "-c", "echo start >> '%s'; %s" % (counter, body)]

    @staticmethod
    def starts(tmp_path) -> int:
        f = tmp_path / "starts"
        return len(f.read_text().splitlines()) if f.exists() else 0

    def test_silent_instant_failure_is_started_once_more(self, tmp_path, retries):
        r = h.Running(self.script(tmp_path, "exit 1"), {}).wait(timeout=10)
        assert self.starts(tmp_path) == 2
        assert r.returncode == 1 and not r.timed_out
        assert len(retries) == 1 and "exit code 1 after" in retries[0]

    def test_background_start_is_covered_before_anyone_waits(self, tmp_path):
        running = h.Running(self.script(tmp_path, "exit 1"), {})
        deadline = time.monotonic() + 5
        while self.starts(tmp_path) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert self.starts(tmp_path) == 2
        assert running.wait(timeout=10).returncode == 1

    def test_wine_helper_repeats_such_a_start(self, tmp_path, monkeypatch):
        monkeypatch.setattr(h, "WINE_RUN", Path("/bin/sh"))
        r = h.wine("-c", "echo start >> '%s'; exit 1" % (tmp_path / "starts"))
        assert self.starts(tmp_path) == 2 and r.returncode == 1

    @pytest.mark.parametrize("body", ["echo said something; exit 1", "echo to stderr >&2; exit 1",
                                      "exit 2", "exit 0", "sleep 0.2; exit 1"])
    def test_other_endings_stand(self, tmp_path, body, retries):
        r = h.Running(self.script(tmp_path, body), {}).wait(timeout=10)
        assert self.starts(tmp_path) == 1
        assert r.returncode == int(body[-1])
        assert retries == []

    @pytest.mark.parametrize("first, imports, raises", [
        ((1, b"", 0.5), 2, False),              # the loader gave up, however late: imported again
        ((1, b"regedit: error", 0.0), 1, True),  # something said: stands
        ((2, b"", 0.0), 1, True),
    ])
    def test_registry_import_after_a_silent_exit_1(self, monkeypatch, retries, first, imports, raises):
        calls = []

        def fake_wine(*args, **kw):
            calls.append(args)
            code, err, took = first if len(calls) == 1 else (0, b"", 0.0)
            time.sleep(took)
            return h.subprocess.CompletedProcess(args, code, b"", err)

        monkeypatch.setattr(h, "wine", fake_wine)
        if raises:
            with pytest.raises(RuntimeError):
                h.import_reg("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KT]\n\n")
        else:
            h.import_reg("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KT]\n\n")
        assert len(calls) == imports and all(c[0] == "regedit" for c in calls)
        assert len(retries) == imports - 1


def agent_over(tmp_path) -> h.Agent:
    """An Agent over tmp_path with no prefix behind it; the test sets what its starts run."""
    agent = h.Agent.__new__(h.Agent)
    agent.install, agent.install_win = tmp_path, "C:\\X\\"
    agent.running_before_last_run, agent.last_run, agent._exe_rel = [], None, h.LAYOUT["kDHT.exe"]
    agent.log_path.parent.mkdir(parents=True)
    return agent


def starts_run(monkeypatch, agent: h.Agent, body: str) -> None:
    """Every start of `agent` runs the shell text `body` in place of the program."""
    monkeypatch.setattr(agent, "start", lambda args="", env=None: h.Running(["/bin/sh", "-c", body], {}))


class TestStartThatNeverReachedTheProgram:
    """Wine's own start error, on either stream, with the log as it was: started once more and
    counted. With a log line written the run stands as it ended."""

    START_ERROR = "Application could not be started, or no application associated with the specified file. " \
                  "ShellExecuteEx failed: Internal error."

    @pytest.mark.parametrize("stream, logs_first, starts", [
        ("", False, 2), (">&2", False, 2), ("", True, 1)])
    def test_retried_only_when_provable(self, tmp_path, monkeypatch, stream, logs_first, starts):
        agent = agent_over(tmp_path)
        counter = tmp_path / "starts"
        first = "echo '%s' %s; %s exit 1" % (self.START_ERROR, stream,
                                             "echo x >> '%s';" % agent.log_path if logs_first else "")
        body = "echo s >> '%s'; if [ $(wc -l < '%s') = 1 ]; then %s; fi; exit 0" % (counter, counter, first)
        starts_run(monkeypatch, agent, body)
        retries: list[str] = []
        monkeypatch.setattr(h, "START_RETRIES", retries)  # the suite's own count stays the real one
        result = agent.run()
        assert len(counter.read_text().split()) == starts
        assert result.returncode == (0 if starts == 2 else 1)
        assert len(retries) == starts - 1 and all("ShellExecuteEx failed" in r for r in retries)


class TestExitCodeLostByWine:
    """Wine's loader can fail as the process exits (ld.so's message, exit code 127) after the
    program has returned. The run then counts as ended with 0 only when its log shows the normal
    end and no crash; any other such run stands as it ended."""

    STAMP = "12/09/2026 10:00:00\t"

    def agent_whose_run_logs(self, tmp_path, monkeypatch, lines: list[str], stderr: str, code: int) -> h.Agent:
        agent = agent_over(tmp_path)
        agent.log_path.write_bytes((self.STAMP + "MSG : an earlier run\r\n").encode())
        text = "".join(self.STAMP + line + "\r\n" for line in lines).replace("\t", "\\t")
        body = "printf '%s' >> '%s'; echo '%s' >&2; exit %d" % (text, agent.log_path, stderr, code)
        starts_run(monkeypatch, agent, body)
        return agent

    LDSO = "Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion failed!"

    @pytest.mark.parametrize("lines, stderr, code, want", [
        (["MSG : Application started", h.ENDED_LINE], LDSO, 127, 0),
        (["MSG : Application started", "ERR : Crash 0xC0000005 in kDHT.exe+0x10, dump x.dmp", h.ENDED_LINE],
         LDSO, 127, 127),
        (["MSG : Application started"], LDSO, 127, 127),
        (["MSG : Application started", h.ENDED_LINE], "something else", 127, 127),
    ])
    def test_only_a_clean_end_recovers_the_code(self, tmp_path, monkeypatch, lines, stderr, code, want):
        agent = self.agent_whose_run_logs(tmp_path, monkeypatch, lines, stderr, code)
        monkeypatch.setattr(h, "EXIT_FAILURES", [])  # the suite's own count stays the real one
        assert agent.run().returncode == want
        assert len(h.EXIT_FAILURES) == (want == 0)
