"""Start-up of kDHT.exe: install path, run log, identity, command line, popup, second instance, and
the end-of-run lines that every run which gets past the install folder writes."""

from __future__ import annotations

import re
import shutil

import pytest

from kdht_testkit import harness as h

TEMPLATE = "wpdcmgetdeskheraldtemplate"
TESTTOOL = "wpdcmtesttoolgetdhtmpmemb"
ORDINARY_REQUEST = ("<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid><tmplatid>0</tmplatid>"
                    "<tmplatver>0</tmplatver></wpdcmgetdeskheraldtemplate>")

PROGRESS_POPUP = (
    ("Icon", "VT_I4", "3"),
    ("Header", "VT_BSTR", "Desk Herald"),
    ("Body", "VT_BSTR", "Updating please wait..."),
    ("DisplayTimeSeconds", "VT_I4", "1000"),
    ("PopupHeight", "VT_I4", "1300"),
    ("PopupWidth", "VT_I4", "6000"),
    ("TransparencyLevel", "VT_I2", "100"),
    ("ModalForm", "VT_I4", "1"),
)


def head(install: str) -> list[str]:
    return [h.BANNER, "MSG : Application started", "MSG : Getting ExeVersion : ",
            "MSG : ExeVersion : " + h.project_version(), "MSG : VORN installation path : " + install]


def identity_lines(reg="1234", member="5678", site="42", rtype="RORI") -> list[str]:
    return ["MSG : RegId : " + reg, "MSG : MemberId : " + member, "MSG : SiteId : " + site,
            "MSG : RegType : " + rtype]


def folder_lines(install: str, missing: bool) -> list[str]:
    lines = ["MSG : Check FolderExists %sScheduler INI\\" % install]
    if missing:
        lines.append("MSG : Folder does not Exists %sScheduler INI\\" % install)
    return lines + ["MSG : CreateObject('msxml.DOMDocument')"]


@pytest.mark.width
class TestInstallFolder:
    @pytest.mark.parametrize("case", ["value missing", "key missing", "folder absent", "empty value"])
    def test_no_usable_install_path_ends_silently(self, make_agent, sim, case):
        agent = make_agent(log_folder=False)
        if case == "value missing":
            agent.write_registry(InstallationPath=None)
        elif case == "key missing":
            agent.clear_registry()
        elif case == "folder absent":
            agent.write_registry(InstallationPath=agent.install_value + "\\NoSuchFolder")
        else:
            agent.write_registry(InstallationPath="")
        result = agent.run(timeout=60)
        assert not result.timed_out
        assert not agent.exists("ApplicationLog"), "a log folder was created"
        assert not agent.exists("Scheduler INI")
        assert sim.requests() == []

    @pytest.mark.parametrize("stored", [
        pytest.param(lambda a: a.install_value, id="plain"),
        pytest.param(lambda a: a.install_value + "\\", id="trailing backslash"),
        pytest.param(lambda a: a.install_value.replace("\\", "\\\\") + "\\\\", id="doubled backslashes"),
    ])
    def test_install_path_is_logged_with_one_trailing_backslash(self, make_agent, stored):
        agent = make_agent(identity={"RegID": "0"})
        agent.write_registry(InstallationPath=stored(agent), RegID="0")
        agent.run(timeout=60)
        agent.assert_log_sequence(head(agent.install_win), contiguous=True)
        assert agent.log_messages()[0] == h.BANNER

    def test_long_folder_name_is_logged_in_short_form_and_holds_the_log(self, make_agent):
        agent = make_agent(name="Desk Herald Agent Folder", identity={"RegID": "0"})
        short = agent.short_install()
        assert short != agent.install_win and " " not in short, short
        agent.run(timeout=60)
        agent.assert_log_sequence(head(short), contiguous=True)
        agent.assert_end_of_run()


class TestRunLog:
    def test_first_lines_of_a_run(self, agent, sim):
        agent.run(timeout=90)
        msgs = agent.log_messages()
        assert msgs[:len(head(agent.install_win))] == head(agent.install_win)
        agent.assert_log_sequence(head(agent.install_win) + identity_lines()
                                  + ["MSG : Command line parameter : "]
                                  + folder_lines(agent.install_win, missing=True), contiguous=True)
        assert all(line.stamp is not None for line in agent.log_lines())
        assert agent.log_bytes().endswith(b"\r\n")
        agent.assert_end_of_run()

    def test_every_line_has_time_stamp_tab_and_crlf(self, make_agent):
        agent = make_agent(identity={"RegID": "0"})
        agent.run(timeout=60)
        raw = agent.log_bytes()
        lines = raw.split(b"\r\n")
        assert lines[-1] == b"" and len(lines) > 5
        for line in lines[:-1]:
            assert re.fullmatch(rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\t[^\r\n]*", line), line

    def test_missing_log_folder_loses_the_first_line(self, make_agent):
        agent = make_agent(identity={"RegID": "0"}, log_folder=False)
        agent.run(timeout=60)
        assert agent.log_messages()[:4] == head(agent.install_win)[1:]

    def test_log_is_kept_across_runs(self, make_agent):
        agent = make_agent(identity={"RegID": "0"})
        agent.run(timeout=60)
        first = agent.log_bytes()
        agent.run(timeout=60)
        assert agent.log_bytes().startswith(first)
        assert agent.log_messages().count("MSG : Application started") == 2

    @pytest.mark.parametrize("size, kept", [(1_048_576, False), (1_048_575, True)])
    def test_log_size_limit(self, make_agent, size, kept):
        agent = make_agent(identity={"RegID": "0"})
        line = b"01/02/2003 04:05:06\tMSG : old line\r\n"
        old = (line * (size // len(line) + 1))[:size - 2] + b"\r\n"
        assert len(old) == size
        agent.write_bytes(h.LOG_REL, old)
        agent.run(timeout=60)
        data = agent.log_bytes()
        if kept:
            assert data.startswith(old)
            new = h.parse_log(data[len(old):])
        else:
            assert b"MSG : old line" not in data
            new = h.parse_log(data)
        assert [x.message for x in new[:5]] == head(agent.install_win)


@pytest.mark.width
class TestIdentity:
    @pytest.mark.parametrize("name, value, lines, not_read", [
        ("RegID", "0", ["MSG : RegId : 0", "ERR : RegId not found"], "MSG : MemberId : "),
        ("RegID", "", ["MSG : RegId : ", "ERR : RegId not found"], "MSG : MemberId : "),
        ("RegID", "abc", ["MSG : RegId : abc", "ERR : RegId not found"], "MSG : MemberId : "),
        ("RegID", None, ["MSG : RegId : ", "ERR : RegId not found"], "MSG : MemberId : "),
        ("MemberID", "0", ["MSG : RegId : 1234", "MSG : MemberId : 0", "ERR : MemberID not found"],
         "MSG : SiteId : "),
        ("SiteID", "x7", ["MSG : RegId : 1234", "MSG : MemberId : 5678", "MSG : SiteId : x7",
                          "ERR : SiteID not found"], "MSG : RegType : "),
        ("Type", "RORX", identity_lines(rtype="RORX") + ["ERR : Invalid RegType::RORX"],
         "MSG : Command line parameter : "),
        ("Type", "", identity_lines(rtype="") + ["ERR : Invalid RegType::"], "MSG : Command line parameter : "),
        ("Type", " RORI", identity_lines(rtype=" RORI") + ["ERR : Invalid RegType:: RORI"],
         "MSG : Command line parameter : "),
    ])
    def test_missing_or_invalid_identity_ends_the_run(self, make_agent, sim, name, value, lines, not_read):
        agent = make_agent(identity={name: value})
        agent.run(timeout=60)
        msgs = agent.log_messages()
        idx = agent.assert_log_sequence(head(agent.install_win) + lines, contiguous=True)
        assert msgs[idx[-1] + 1] == "MSG : UsersPath : " + h.USERS_WIN
        assert not any(m.startswith(not_read) for m in msgs), not_read
        agent.assert_end_of_run()
        assert not agent.exists("Scheduler INI")
        assert sim.requests() == []

    @pytest.mark.parametrize("values, logged, query", [
        ({"RegID": "12abc"}, identity_lines(reg="12abc"), {"rid": "12abc"}),
        ({"RegID": " 7", "SiteID": "3.5"}, identity_lines(reg=" 7", site="3.5"), {"sid": "3.5"}),
        ({"Type": "rori"}, identity_lines(rtype="rori"), {"rty": "rori"}),
    ])
    def test_values_with_a_leading_number_are_accepted(self, make_agent, sim, values, logged, query):
        agent = make_agent(identity=values)
        agent.run(timeout=90)
        agent.assert_log_sequence(logged + ["MSG : Command line parameter : "], contiguous=True)
        (req,) = sim.requests(TEMPLATE)
        assert {k: req["query"].get(k) for k in query} == query


@pytest.mark.width
class TestCommandLine:
    @pytest.mark.parametrize("args, popup, page, request_body", [
        ("DH", True, TEMPLATE, ORDINARY_REQUEST),
        ("dh,123", True, TESTTOOL, "<wpdcmtesttoolgetdhtmpmemb><mmid>5678</mmid><regid>1234</regid>"
                                   "<tmplatid>123</tmplatid></wpdcmtesttoolgetdhtmpmemb>"),
        ("x, 45 ,y", False, TESTTOOL, "<wpdcmtesttoolgetdhtmpmemb><mmid>5678</mmid><regid>1234</regid>"
                                      "<tmplatid>45</tmplatid></wpdcmtesttoolgetdhtmpmemb>"),
        ("x,  45", False, TESTTOOL, "<wpdcmtesttoolgetdhtmpmemb><mmid>5678</mmid><regid>1234</regid>"
                                    "<tmplatid>45</tmplatid></wpdcmtesttoolgetdhtmpmemb>"),
        ('a "b c" & d%PATH%^', False, TEMPLATE, ORDINARY_REQUEST),
        ("abc", False, TEMPLATE, ORDINARY_REQUEST),
        ("", False, TEMPLATE, ORDINARY_REQUEST),
    ])
    def test_command_line(self, agent, sim, args, popup, page, request_body):
        agent.run(args, timeout=90)
        cmd_line = "MSG : Command line parameter : " + args
        after = ["MSg : In fncCallPopup"] if popup else []
        agent.assert_log_sequence(identity_lines() + [cmd_line] + after
                                  + folder_lines(agent.install_win, missing=True), contiguous=True)
        calls = agent.popup_calls()
        assert calls == ([h.PopupCall(PROGRESS_POPUP)] if popup else [])
        reqs = sim.requests()
        assert [r["page"] for r in reqs] == [page]
        assert reqs[0]["body"] == request_body
        assert reqs[0]["query"] == {"mmid": "5678", "sid": "42", "rid": "1234", "rty": "RORI"}
        agent.assert_end_of_run()

    def test_missing_popup_component_is_logged_and_the_run_goes_on(self, make_agent):
        agent = make_agent(standins=["kINDHM.exe"])
        agent.run("DH", timeout=90)
        missing = "ERR : %skXPR\\kPopup.dll is missing. " % agent.install_win
        agent.assert_log_sequence(["MSG : Command line parameter : DH", "MSg : In fncCallPopup", missing,
                                   re.compile(r"ERR : fncCallPopup, .*")]
                                  + folder_lines(agent.install_win, missing=True), contiguous=True)
        assert agent.popup_calls() == []
        agent.assert_end_of_run()


class TestSchedulerFolder:
    @pytest.mark.parametrize("present", [False, True])
    def test_scheduler_request_folder(self, make_agent, present):
        agent = make_agent(scheduler_ini=present)
        agent.run(timeout=90)
        agent.assert_log_sequence(["MSG : Command line parameter : "]
                                  + folder_lines(agent.install_win, missing=not present), contiguous=True)
        assert agent.path("Scheduler INI").is_dir()


@pytest.mark.width
class TestSingleInstance:
    def test_second_instance_ends_silently(self, agent, sim):
        sim.queue(TEMPLATE, h.sim.stall(12, then=h.sim.reply(h.sim.NO_NEW_TEMPLATE)))
        first = agent.start()
        try:
            assert sim.wait_for(TEMPLATE, 1, timeout=60), "the first run never asked for its template"
            before = agent.log_bytes()
            second = agent.start("DH")
            result = second.wait(timeout=60)
            assert not result.timed_out
            assert first.poll() is None, "the first run ended before the second one was done"
            assert agent.log_bytes() == before
            assert agent.popup_calls() == []
            assert len(sim.requests()) == 1
        finally:
            first_result = first.wait(timeout=60)
        assert not first_result.timed_out
        msgs = agent.log_messages()
        assert msgs.count("MSG : Application started") == 1
        assert msgs.count(h.BANNER) == 1
        agent.assert_end_of_run()


class TestEndOfRun:
    @pytest.fixture
    def virtual_store(self, agent):
        """A VirtualStore copy of the agent's Desk Herald folder in the first profile, removed afterwards."""
        profile = h.profile_folders()[0]
        local = h.drive_c() / "users" / profile / "AppData" / "Local"
        vs = local / "VirtualStore"
        created = not vs.exists()
        base = vs.joinpath(*agent.install_win.split("\\")[1:-1])
        target = base / "kXPR" / "herald"
        target.mkdir(parents=True)
        yield profile, target
        shutil.rmtree(vs if created else vs / agent.install_win.split("\\")[1], ignore_errors=True)

    def test_virtualstore_copy_is_replaced_by_the_installed_folder(self, agent, virtual_store):
        profile, target = virtual_store
        (target / "stale.txt").write_text("old")
        (target / "kDHMenu.xml").write_text("old menu")
        agent.write_text(r"kXPR\Herald\kDHMenu.xml", "<menu/>")
        agent.write_text(r"kXPR\Herald\Action_1_XPR\XPR_Script.xml", "<script/>")
        agent.write_registry(RegID="0")
        expected = h.expected_profile_block(profile, agent.install_win)
        agent.run(timeout=60)
        eor = agent.assert_end_of_run()
        assert eor.blocks[profile] == expected
        assert any(line.startswith("MSG : CopyFolder : ") for line in expected)
        store = h._find_ci(target.parent, ["herald"])
        files = sorted(str(p.relative_to(store)) for p in store.rglob("*") if p.is_file())
        assert files == ["Action_1_XPR/XPR_Script.xml", "kDHMenu.xml"]
        assert (store / "kDHMenu.xml").read_text() == "<menu/>"

    def test_virtualstore_without_a_copy_is_left_alone(self, agent, virtual_store):
        profile, target = virtual_store
        shutil.rmtree(target)
        agent.write_text(r"kXPR\Herald\kDHMenu.xml", "<menu/>")
        agent.write_registry(RegID="0")
        agent.run(timeout=60)
        eor = agent.assert_end_of_run()
        assert eor.blocks[profile][-2].endswith("\\kXPR\\herald - Not Available")
        assert not target.exists()
