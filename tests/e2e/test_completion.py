"""The end of a run that installed a template: the runner ended and started again, the RSS updater,
the scheduler request, the status file deciding whether a report is due, and the "DH" run that
shows its outcome in a popup instead of ending through the end-of-run lines."""

from __future__ import annotations

import re
import shutil
import time

import pytest

from kdht_testkit import harness as h
from flow_helpers import (ADD_SCHEDULE_LINES, FAILURE, MENU_REL, NO_NEW_TEMPLATE, NO_RUNNER, RSS_REL, RUNNER_REL,
                          SCHEDULE_FOUND_LINE, SCRIPTS, SUCCESS, TEMPLATE, TESTTOOL, assert_posts, assert_requested,
                          failure_report, post_lines, sandbox_processes, script_details_request, start_program,
                          success_report, template_request, tool_request, wait_for_starts, wait_until)


def template(tid: str, tver: str, rsssites: str = "", actions: str = "", root: str = "dcmgetdeskheraldtemplate") -> str:
    return ("<%s><templateid>%s</templateid><templatever>%s</templatever><rsssites>%s</rsssites>%s</%s>"
            % (root, tid, tver, rsssites, actions, root))


def stamp_seconds(lines: list[h.LogLine], message: str) -> float:
    (line,) = [x for x in lines if x.message == message]
    return time.mktime(time.strptime(line.stamp, "%m/%d/%Y %H:%M:%S"))


def kill_lines(count: int) -> list[str]:
    return ["MSG : kINDHM.exe found in process", "MSG : Terminating kINDHM.exe",
            "MSG : kINDHM.exe Terminated  successfully"] * count


@pytest.mark.width
class TestRunnerRestart:
    def test_running_instances_are_ended_and_the_runner_started_again(self, make_agent, sim):
        # A folder name with blanks: the run works with its short form, which has none.
        agent = make_agent(name="Desk Herald Runner Agent")
        install = agent.short_install()
        assert " " not in install
        shutil.copy2(agent.path(r"kXPR\kDHM.exe"), agent.path(r"kXPR\DHM.EXE"))
        started = [start_program(agent, RUNNER_REL, "first"), start_program(agent, RUNNER_REL, "second"),
                   start_program(agent, r"kXPR\DHM.EXE")]
        try:
            assert len(wait_for_starts(agent, "kINDHM", 2)) == 2
            assert len(wait_for_starts(agent, "kDHM", 1)) == 1
            before = sandbox_processes(agent)
            old_runners = [pid for pid, name in before.items() if name == "kINDHM.exe"]
            assert len(old_runners) == 2 and "DHM.EXE" in before.values(), before
            sim.queue(TEMPLATE, template("5", "1", rsssites="news;weather"))
            agent.run(timeout=120)

            def settled():
                now = sandbox_processes(agent, install)
                return (not set(old_runners) & set(now)) and list(now.values()).count("kINDHM.exe") == 1
            # Ended processes take a moment to go, the started one to show its image name.
            wait_until(settled, 10)
            after = sandbox_processes(agent, install)
        finally:
            for r in started:
                r.kill()

        runner = install + RUNNER_REL
        agent.assert_log_sequence(
            ["MSG : Creating file " + install + r"kXPR\Herald\kDHMenu.dat"] + kill_lines(2)
            + ["MSG : Sleeping for 5 seconds ", "MSG : Executing %s SERVICE" % runner,
               "MSG : successfully executed " + runner] + ADD_SCHEDULE_LINES
            + ["MSG : EXPLORER.EXE Found", "MSG : executing kRSSUpd.exe",
               re.compile(re.escape("MSG : Executing fncExecuteInUserAcc With parameter Process handle : ") + r"\d+"
                          + re.escape(", Exe path :%sKXPR\\kRSSUpd.Exe, Parameter :, Working Directory :%sKXPR"
                                      % (install, install))),
               "MSG : Explorer token found!!", "MSG : Successfully Started the process",
               "MSG : Successfully executed kRSSUpd.exe", SCHEDULE_FOUND_LINE, "MSG : sStatus : "]
            + post_lines(sim.base_url(), SUCCESS, success_report("5", "1"), "1"), contiguous=True)
        lines = agent.log_lines()
        assert stamp_seconds(lines, "MSG : Executing %s SERVICE" % runner) \
            - stamp_seconds(lines, "MSG : Sleeping for 5 seconds ") >= 5

        # Both old instances are gone, DHM.EXE (a name inside "KINDHM.EXE") is not ours to end.
        assert not set(old_runners) & set(after), after
        assert "DHM.EXE" in after.values()
        starts = agent.runner_starts()
        assert [s.command_line for s in starts[2:]] == [runner + " SERVICE"]
        assert len(starts) == 3
        assert [name for name in after.values() if name == "kINDHM.exe"] == ["kINDHM.exe"]
        (rss,) = agent.runner_starts("kRSSUpd")
        assert rss.tag == "run" and rss.user
        assert rss.command_line == '"%sKXPR\\kRSSUpd.Exe"' % install
        assert_requested(agent.add_requests())
        agent.assert_end_of_run()
        # The run's own runner was started by the short path, which the harness's clean-up does not know.
        h.kill_pids(pid for pid, name in after.items() if name == "kINDHM.exe")


    def test_a_runner_of_the_other_width_is_ended_and_started_again(self, make_agent, sim):
        # The runner of an agent may be built for the other width than kDHT.exe (a 64-bit runner
        # beside the shipped 32-bit program). A 32-bit process cannot read a 64-bit one's module
        # list, on Windows as under Wine; the run must still find it by its image name.
        other = h.other_build_dir() / "bin" / "kINDHM.exe"
        if not other.is_file():
            pytest.fail("the other width's runner is not built (%s): `make build` builds both" % other,
                        pytrace=False)
        assert h.pe_bits(other) != h.build_bits()
        agent = make_agent(name="Other Width Runner")
        install = agent.short_install()
        shutil.copy2(other, agent.path(RUNNER_REL))
        running = start_program(agent, RUNNER_REL, "other-width")
        try:
            assert len(wait_for_starts(agent, "kINDHM", 1)) == 1
            (old_runner,) = [pid for pid, name in sandbox_processes(agent).items() if name == "kINDHM.exe"]
            sim.queue(TEMPLATE, template("6", "1"))
            agent.run(timeout=120)

            def settled():
                now = sandbox_processes(agent, install)
                return old_runner not in now and list(now.values()).count("kINDHM.exe") == 1
            wait_until(settled, 10)
            after = sandbox_processes(agent, install)
        finally:
            running.kill()

        runner = install + RUNNER_REL
        agent.assert_log_sequence(kill_lines(1) + ["MSG : Sleeping for 5 seconds ",
                                                   "MSG : Executing %s SERVICE" % runner,
                                                   "MSG : successfully executed " + runner], contiguous=True)
        assert old_runner not in after, after
        # The started runner records its start a moment after it shows in the process list.
        starts = wait_for_starts(agent, "kINDHM", 2)
        assert [s.command_line for s in starts[1:]] == [runner + " SERVICE"]
        agent.assert_end_of_run()
        h.kill_pids(pid for pid, name in after.items() if name == "kINDHM.exe")

    def test_runner_that_cannot_start_is_trapped_and_scheduled_once(self, make_agent, sim):
        agent = make_agent(standins=NO_RUNNER)
        agent.write_bytes(RUNNER_REL, b"MZ but not a program")
        sim.queue(TEMPLATE, template("5", "2"))
        agent.run(timeout=120)

        runner = agent.install_win + RUNNER_REL
        agent.assert_log_sequence(["MSG : Sleeping for 5 seconds ", "MSG : Executing %s SERVICE" % runner,
                                   re.compile(r"ERR : function GetProcessList\. ErrDesc :: 193 .+")]
                                  + ADD_SCHEDULE_LINES + ["MSG : sStatus : "], contiguous=True)
        assert_requested(agent.add_requests())
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("5", "2"))])


class TestMissingPrograms:
    def test_missing_runner_is_logged_and_only_the_schedule_is_requested(self, make_agent, sim):
        agent = make_agent(standins=NO_RUNNER)
        sim.queue(TEMPLATE, template("6", "2"))
        agent.run(timeout=120)

        install = agent.install_win
        agent.assert_log_sequence(["MSG : Creating file " + install + r"kXPR\Herald\kDHMenu.dat",
                                   "MSG : File not found  :" + install + RUNNER_REL] + ADD_SCHEDULE_LINES
                                  + ["MSG : sStatus : "], contiguous=True)
        msgs = agent.log_messages()
        assert msgs.count("MSG : Creating Schedule for kInDHM.exe") == 1
        assert "MSG : Sleeping for 5 seconds " not in msgs
        assert not any(m.startswith("MSG : Executing ") for m in msgs)
        assert not any("kRSSUpd" in m for m in msgs)
        assert_requested(agent.add_requests())
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("6", "2"))])
        agent.assert_end_of_run()

    def test_rss_sites_without_the_updater_fail_the_run(self, make_agent, sim):
        agent = make_agent(standins=[n for n in NO_RUNNER if n != "kRSSUpd.exe"])
        sim.queue(TEMPLATE, template("7", "3", rsssites=" site "))
        agent.run(timeout=120)

        install = agent.install_win
        reason = "File not found : " + install + RSS_REL
        agent.assert_log_sequence(["MSG : File not found  :" + install + RUNNER_REL, "MSG : " + reason]
                                  + ADD_SCHEDULE_LINES + ["MSG : sStatus : " + reason]
                                  + post_lines(sim.base_url(), FAILURE, failure_report("7", "3", reason), "1"),
                                  contiguous=True)
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (FAILURE, failure_report("7", "3", reason))])
        assert agent.exists(MENU_REL)
        assert_requested(agent.add_requests())
        status = agent.status_ini()["kDHT"]
        assert (status["TempId"], status["TempVer"], status["Status"]) == ("7", "3", "FAILED")
        agent.assert_end_of_run()


SCRIPTED = template("51", "2", actions='<action name="Show" id="1"><services>RpcSs</services></action>'
                    '<action name="Execute XPR Script" id="9"><servicepack>ALL$*$ALL</servicepack>'
                    "<softwares></softwares><services></services><scriptids>61</scriptids><temipds></temipds>"
                    "</action>")


class TestReportDue:
    """The first run reports; a second one with the same template less than a day later does not,
    whatever its outcome, and leaves the status file as it was."""

    @pytest.mark.parametrize("second", ["success", "failure", "a day later", "clock set back"])
    def test_second_run_with_the_same_template(self, make_agent, sim, second):
        agent = make_agent(standins=NO_RUNNER)
        sim.queue(TEMPLATE, SCRIPTED, SCRIPTED)
        agent.run(timeout=120)
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SCRIPTS, script_details_request("61")),
                                      (SUCCESS, success_report("51", "2"))])
        first = agent.log_messages()
        seq = sim.requests()[-1]["seq"]
        if second == "failure":
            sim.set_reply(SCRIPTS, h.sim.html_error(500))
        if second in ("a day later", "clock set back"):
            # The last report 25 hours ago, or (the clock having been set back since) two days ahead.
            text = agent.path(h.STATUS_INI_REL).read_text()
            stored = agent.status_ini()["kDHT"]["LastRunDateTime"]
            shift = -25 * 3600 if second == "a day later" else 48 * 3600
            other = time.strftime("%m/%d/%Y %H:%M:%S", time.localtime(time.time() + shift))
            agent.write_text(h.STATUS_INI_REL, text.replace(stored, other))
        status_before = agent.path(h.STATUS_INI_REL).read_bytes()
        agent.run(timeout=120)

        msgs = agent.log_messages()[len(first):]
        posts = sim.requests(since=seq)
        if second in ("a day later", "clock set back"):
            h.assert_sequence(msgs, ["MSG : sStatus : "]
                              + post_lines(sim.base_url(), SUCCESS, success_report("51", "2"), "1"), contiguous=True)
            assert_posts(posts, [(TEMPLATE, template_request("51", "2")), (SCRIPTS, script_details_request("61")),
                                 (SUCCESS, success_report("51", "2"))])
            assert agent.path(h.STATUS_INI_REL).read_bytes() != status_before
            stored = agent.status_ini()["kDHT"]["LastRunDateTime"]
            assert abs(time.mktime(time.strptime(stored, "%m/%d/%Y %H:%M:%S")) - time.time()) < 120
        else:
            outcome = "Updated successfully " if second == "success" else "Update failed"
            before = [SCHEDULE_FOUND_LINE] if second == "success" else [
                "MSG : Deleting file " + agent.win(r"kXPR\Herald\Pre_kDHMenu.xml")]
            h.assert_sequence(msgs, before + ["MSG : " + outcome, "MSG : UsersPath : C:\\Users"], contiguous=True)
            assert not any(m.startswith("MSG : sStatus : ") for m in msgs)
            scripts = [(SCRIPTS, script_details_request("61"))] * (1 if second == "success" else 3)
            assert_posts(posts, [(TEMPLATE, template_request("51", "2"))] + scripts)
            assert agent.path(h.STATUS_INI_REL).read_bytes() == status_before
            # A failed processing leaves no template: the next run asks for one afresh.
            assert agent.exists(MENU_REL) == (second == "success")
        h.assert_sequence(msgs, ["MSG : tempid : 51", "MSG : tempver : 2"])
        assert msgs[-1] == h.ENDED_LINE


@pytest.mark.width
class TestDHCommandLine:
    def test_dh_runs_show_their_outcome_and_skip_the_end_of_run(self, make_agent, sim):
        agent = make_agent(standins=NO_RUNNER)
        tool_template = template("9", "2", root="dcmtesttoolgetdhtmpmemb")
        sim.queue(TESTTOOL, tool_template, tool_template)

        agent.run("DH,77", timeout=120)
        first = agent.log_messages()
        h.assert_sequence(first, ["MSG : sStatus : "] + post_lines(sim.base_url(), SUCCESS, success_report("9", "2"), "1")
                          + ["MSg : In fncCallPopup"], contiguous=True)
        assert first[-1] == "MSg : In fncCallPopup"
        assert not any(m.startswith("MSG : UsersPath : ") or m == h.ENDED_LINE for m in first)
        assert [(c.values()["Body"], c.values()["DisplayTimeSeconds"]) for c in agent.popup_calls()] == [
            ("Updating please wait...", "1000"), ("Updated successfully.", "8000")]

        # The same template again: no report is due, the outcome text itself is shown.
        agent.run("DH,77", timeout=120)
        second = agent.log_messages()[len(first):]
        assert second[-2:] == ["MSG : Updated successfully ", "MSg : In fncCallPopup"]
        assert not any(m.startswith("MSG : UsersPath : ") or m == h.ENDED_LINE for m in second)
        calls = agent.popup_calls()
        assert [c.values()["Body"] for c in calls[2:]] == ["Updating please wait...", "Updated successfully "]
        assert calls[3].properties == (
            ("Icon", "VT_I4", "3"), ("Header", "VT_BSTR", "Desk Herald"), ("Body", "VT_BSTR", "Updated successfully "),
            ("DisplayTimeSeconds", "VT_I4", "8000"), ("PopupHeight", "VT_I4", "1300"), ("PopupWidth", "VT_I4", "6000"),
            ("TransparencyLevel", "VT_I2", "100"), ("ModalForm", "VT_I4", "1"))

        # An ordinary run reads the held test-tool template under its own root and names it.
        agent.run(timeout=120)
        third = agent.log_messages()[len(first) + len(second):]
        h.assert_sequence(third, ["MSG : tempid : 9", "MSG : tempver : 2"]
                          + post_lines(sim.base_url(), TEMPLATE, template_request("9", "2"), NO_NEW_TEMPLATE))
        assert third[-1] == h.ENDED_LINE
        assert_posts(sim.requests(), [(TESTTOOL, tool_request("77")), (SUCCESS, success_report("9", "2")),
                                      (TESTTOOL, tool_request("77")), (TEMPLATE, template_request("9", "2"))])


def test_template_identifiers_are_escaped_in_what_is_sent(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    sim.queue(TEMPLATE, template("4&amp;5", "<1>".replace("<", "&lt;").replace(">", "&gt;")))
    agent.run(timeout=120)
    agent.run(timeout=120)

    status = agent.status_ini()["kDHT"]
    assert (status["TempId"], status["TempVer"]) == ("4&5", "<1>")
    assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("4&amp;5", "&lt;1&gt;")),
                                  (TEMPLATE, template_request("4&amp;5", "&lt;1&gt;"))])
