"""The template request and every kind of reply: a failed post, excluded, not for servers, empty,
"No New Template" (and texts that only look like it), the test-tool request; the held template
named in the request only when its seal matches; reports the server does not accept."""

from __future__ import annotations

import re
import socket
import time

import pytest

from kdht_testkit import harness as h
from flow_helpers import (BOM16, CLEAR_SCHEDULE_LINES, FAILURE, MENU_REL, NO_NEW_TEMPLATE, NO_RUNNER, SEAL_REL,
                          STAGED_REL, STAGING_REL, SUCCESS, TEMPLATE, TESTTOOL, assert_posts, assert_requested,
                          assert_sealed, failure_report, files_under, md5_text, page_url, post_lines, post_log_files,
                          sandbox_processes, start_program, success_report, template_request,
                          tool_request, wait_for_starts, wait_until)

HELD_TEMPLATE = ("<dcmgetdeskheraldtemplate><templateid>17</templateid><templatever>3</templatever>"
                 "<rsssites></rsssites></dcmgetdeskheraldtemplate>")
EXCLUDED = "<dcmgetdeskheraldtemplate><outstr>Resource or Site EXCLUDED</outstr></dcmgetdeskheraldtemplate>"
NOT_FOR_SERVERS = ("<dcmgetdeskheraldtemplate><outstr>Template not applicable for Server</outstr>"
                   "</dcmgetdeskheraldtemplate>")
OLD_ADD_REQUEST = "[1]\r\nExecutableName=kXPR\\kInDHM.exe\r\nParameter=SERVICE\r\n"


@pytest.fixture(scope="module")
def held_files(kdht_exe) -> dict[str, bytes]:
    """kDHMenu.xml and its seal as the program itself installs them for template 17 version 3."""
    with h.sim.Simulator() as server:
        maker = h.Agent.create(sim_url=server.base_url(), standins=[])
        try:
            server.queue(TEMPLATE, HELD_TEMPLATE)
            maker.run(timeout=120)
            files = {rel: maker.path(rel).read_bytes() for rel in (MENU_REL, SEAL_REL) if maker.exists(rel)}
        finally:
            maker.cleanup()
    assert sorted(files) == sorted([MENU_REL, SEAL_REL]), "the held template was not installed"
    return files


def hold(agent: h.Agent, files: dict[str, bytes]) -> None:
    for rel, data in files.items():
        agent.write_bytes(rel, data)


def checksum_lines(agent: h.Agent, rel: str) -> list:
    path = agent.win(rel)
    return ["MSG : Getting MD5 checksum of : " + path,
            "MSG : Filesize : %d Bytes" % agent.path(rel).stat().st_size,
            "MSG : FileMD5CheckSum : " + md5_text(agent.path(rel))]


def seal_lines(agent: h.Agent, matched: bool) -> list:
    checksum = md5_text(agent.path(MENU_REL))
    return ["MSG : Reading checksum from encrypted file " + agent.win(SEAL_REL),
            "MSG : Encrypted checksum : " + agent.path(SEAL_REL).read_text(),
            "MSG : Decrypting ...",
            re.compile(re.escape("MSG : Checksum after decryption : ") + r"[0-9A-F]{32}"),
            "MSG : Comparing Decrypted checksum with " + checksum,
            "MSG : Checksum matched" if matched else "MSG : Checksum not matched"]


def trusted_lines(agent: h.Agent) -> list:
    menu = agent.win(MENU_REL)
    return (["MSG : Template xml found: " + menu] + checksum_lines(agent, MENU_REL) + seal_lines(agent, True)
            + ["MSG: Process continue after commenting the create object part",
               "MSG : Reading Tempid and tempver from " + menu, "MSG : tempid : 17", "MSG : tempver : 3"])


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TestPostFailed:
    """A post that fails ends the run at once: nothing reported, the held template kept."""

    @pytest.mark.parametrize("failure", ["refused", "http 500", "no url"])
    def test_failed_post_ends_the_run_without_report(self, make_agent, sim, held_files, failure):
        agent = make_agent()
        hold(agent, held_files)
        if failure == "no url":
            agent.write_script_dns(overrides={TEMPLATE: None})
            base = "/"
            error = "12006-The URL does not use a recognized protocol - "
        elif failure == "refused":
            base = "http://127.0.0.1:%d/dh/" % free_port()
            agent.write_script_dns(base)
            error = "12029-A connection with the server could not be established - "
        else:
            base = sim.base_url()
            sim.set_reply(TEMPLATE, h.sim.html_error(500))
            error = "500-Internal Server Error - "
        agent.run(timeout=120)

        url = page_url(base, TEMPLATE)
        msgs = agent.log_messages()
        lines = post_lines(base, TEMPLATE, template_request("17", "3"), "")
        if failure == "no url":
            lines[1:2] = ["MSG : URL : ", "ERR: Unable to find url in " + TEMPLATE]
        idx = agent.assert_log_sequence(trusted_lines(agent) + lines
                                        + ["ERR : WebPost Failed : " + error + url, "MSG : UsersPath : C:\\Users"],
                                        contiguous=True)
        assert idx[0] == msgs.index("MSG : CreateObject('msxml.DOMDocument')") + 1
        agent.assert_end_of_run()
        # A server that answers 500 is asked three times.
        expected = [(TEMPLATE, template_request("17", "3"))] * 3 if failure == "http 500" else []
        assert_posts(sim.requests(), expected)
        for rel, data in held_files.items():
            assert agent.path(rel).read_bytes() == data, rel
        assert files_under(agent.path(r"kXPR\Herald")) == ["kDHMenu.dat", "kDHMenu.xml"]
        assert agent.status_ini() is None
        assert post_log_files(agent) == []
        assert not agent.exists(r"Scheduler INI\kDHT_DeleteSection.ini")


@pytest.mark.width
class TestHeldTemplate:
    def test_trusted_template_is_named_and_kept_on_no_new_template(self, make_agent, sim, held_files):
        agent = make_agent()
        hold(agent, held_files)
        # Leftovers of an earlier run's staging, and a status file from an earlier report.
        agent.write_text(STAGED_REL, "<old/>")
        agent.write_text(STAGING_REL + r"\Action_4_XPR\XPR_Script.xml", "<old/>")
        status = agent.write_text(h.STATUS_INI_REL, "[kDHT]\r\nLastRunDateTime=01/02/2003 04:05:06\r\n").read_bytes()
        agent.run(timeout=120)

        agent.assert_log_sequence(trusted_lines(agent)
                                  + post_lines(sim.base_url(), TEMPLATE, template_request("17", "3"), NO_NEW_TEMPLATE)
                                  + ["MSG : Deleting  folder " + agent.win(STAGING_REL),
                                     "MSG : Deleting file " + agent.win(STAGED_REL),
                                     "MSG : UsersPath : C:\\Users"], contiguous=True)
        agent.assert_end_of_run()
        assert_posts(sim.requests(), [(TEMPLATE, template_request("17", "3"))])
        for rel, data in held_files.items():
            assert agent.path(rel).read_bytes() == data, rel
        assert agent.path(STAGING_REL).is_dir()
        assert list(agent.path(STAGING_REL).iterdir()) == []
        assert not agent.exists(STAGED_REL)
        assert agent.path(h.STATUS_INI_REL).read_bytes() == status
        assert not agent.exists(h.ADD_INI_REL) and not agent.exists(h.DELETE_INI_REL)

    def test_template_whose_root_has_attributes_is_named_by_it(self, make_agent, sim):
        agent = make_agent(standins=NO_RUNNER)
        sim.queue(TEMPLATE, '<dcmgetdeskheraldtemplate version="2" xmlns:v="urn:vorn"><templateid>14</templateid>'
                            "<templatever>6</templatever></dcmgetdeskheraldtemplate>")
        agent.run(timeout=120)
        first = len(agent.log_messages())
        agent.run(timeout=120)

        h.assert_sequence(agent.log_messages()[first:], ["MSG : Checksum matched", "MSG : tempid : 14",
                                                         "MSG : tempver : 6"])
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("14", "6")),
                                      (TEMPLATE, template_request("14", "6"))])

    @pytest.mark.parametrize("damage", ["seal missing", "template changed"])
    def test_untrusted_template_is_removed_and_request_names_none(self, make_agent, sim, held_files, damage):
        agent = make_agent()
        hold(agent, held_files)
        if damage == "seal missing":
            agent.path(SEAL_REL).unlink()
            check = checksum_lines(agent, MENU_REL)
        else:
            agent.write_text(MENU_REL, HELD_TEMPLATE.replace("<templatever>3<", "<templatever>4<"),
                             encoding="utf-16")
            check = checksum_lines(agent, MENU_REL) + seal_lines(agent, False)
        agent.run(timeout=120)

        herald = agent.win(r"kXPR\Herald")
        agent.assert_log_sequence(["MSG : Template xml found: " + agent.win(MENU_REL)] + check
                                  + ["MSG : Deleting file " + agent.win(MENU_REL),
                                     "MSG : Deleting All files and folders from " + herald]
                                  + post_lines(sim.base_url(), TEMPLATE, template_request("0", "0"), NO_NEW_TEMPLATE),
                                  contiguous=False)
        msgs = agent.log_messages()
        assert not any(m.startswith("MSG : tempid : ") for m in msgs)
        agent.assert_end_of_run()
        assert_posts(sim.requests(), [(TEMPLATE, template_request("0", "0"))])
        assert not agent.exists(MENU_REL) and not agent.exists(SEAL_REL)


    def test_missing_checksum_library_is_reported_before_any_request(self, make_agent, sim, held_files):
        agent = make_agent()
        hold(agent, held_files)
        agent.path(r"kXPR\KGnMD5.dll").unlink()
        agent.run(timeout=120)

        reason = "File not found: KGnMD5"
        agent.assert_log_sequence(["MSG : Template xml found: " + agent.win(MENU_REL),
                                   "MSG : Getting MD5 checksum of : " + agent.win(MENU_REL),
                                   "ERR : 53 (%s) in procedure Checksum of Module ModAppInstall" % reason]
                                  + post_lines(sim.base_url(), FAILURE, failure_report("0", "0", reason), "1")
                                  + ["MSG : UsersPath : C:\\Users"], contiguous=True)
        agent.assert_end_of_run()
        # No template request: the run cannot tell whether the held template is intact.
        assert_posts(sim.requests(), [(FAILURE, failure_report("0", "0", reason))])
        for rel, data in held_files.items():
            assert agent.path(rel).read_bytes() == data, rel
        assert agent.status_ini() is None


class TestFeatureRemoval:
    """Excluded and not-for-servers replies take Desk Herald off the machine."""

    @pytest.mark.parametrize("reply", ["excluded", "not for servers"])
    def test_feature_is_removed(self, make_agent, sim, held_files, reply):
        agent = make_agent()
        hold(agent, held_files)
        # A read-only file goes too.
        agent.write_text(r"kXPR\Herald\Action_3_XPR\XPR_Script.xml", "<s/>").chmod(0o444)
        agent.write_text(r"kXPR\Herald\Icon\a.ico", "icon")
        agent.write_text(h.ADD_INI_REL, OLD_ADD_REQUEST)
        desktop = start_program(agent, r"kXPR\kDHM.exe")
        try:
            assert len(wait_for_starts(agent, "kDHM", 1)) == 1, "the desktop stand-in did not start"
            assert "kDHM.exe" in sandbox_processes(agent).values()
            sim.queue(TEMPLATE, EXCLUDED if reply == "excluded" else NOT_FOR_SERVERS)
            agent.run(timeout=120)
            # taskkill runs beside the program, not waited for.
            assert wait_until(lambda: "kDHM.exe" not in sandbox_processes(agent).values(), 20), \
                "kDHM.exe is still running"
        finally:
            desktop.kill()

        base = sim.base_url()
        lines = ["MSG : Resource or site excluded" if reply == "excluded" else "MSG : Template Not Applicable for server",
                 "MSG : Deleting folder " + agent.win("kXPR\\Herald\\")] + CLEAR_SCHEDULE_LINES
        posts = [(TEMPLATE, template_request("17", "3"))]
        if reply == "excluded":
            lines += post_lines(base, SUCCESS, success_report("0", "0"), "1")
            posts.append((SUCCESS, success_report("0", "0")))
        agent.assert_log_sequence(post_lines(base, TEMPLATE, template_request("17", "3"),
                                             EXCLUDED if reply == "excluded" else NOT_FOR_SERVERS)
                                  + lines + ["MSG : UsersPath : C:\\Users"], contiguous=True)
        agent.assert_end_of_run()
        assert_posts(sim.requests(), posts)
        assert not agent.exists(r"kXPR\Herald")
        assert agent.exists(r"kXPR\kDHM.exe")
        assert not agent.exists(h.ADD_INI_REL), "the pending add request was left"
        assert_requested(agent.delete_requests())
        # Not a run that records its outcome: the status file is not written.
        assert agent.status_ini() is None
        assert post_log_files(agent) == []


def test_empty_reply_discards_the_held_template_and_completes(make_agent, sim, held_files):
    agent = make_agent()
    hold(agent, held_files)
    agent.write_text(r"kXPR\Herald\Icon\old.ico", "icon")
    agent.write_text(h.ADD_INI_REL, OLD_ADD_REQUEST)
    sim.queue(TEMPLATE, "")
    trusted = trusted_lines(agent)
    agent.run(timeout=120)

    base = sim.base_url()
    herald = agent.win(r"kXPR\Herald")
    agent.assert_log_sequence(trusted
                              + post_lines(base, TEMPLATE, template_request("17", "3"), "")
                              + ["MSG : Deleting file " + agent.win(MENU_REL),
                                 "MSG : Deleting All files and folders from " + herald]
                              + CLEAR_SCHEDULE_LINES + ["MSG : sStatus : "]
                              + post_lines(base, SUCCESS, success_report("0", "0"), "1")
                              + ["MSG : UsersPath : C:\\Users"])
    msgs = agent.log_messages()
    # No template installed: the runner is neither restarted nor scheduled.
    assert "MSG : Sleeping for 5 seconds " not in msgs
    assert not any("Schedule not found" in m or m.startswith("MSG : To Create schedule") for m in msgs)
    agent.assert_end_of_run()
    assert_posts(sim.requests(), [(TEMPLATE, template_request("17", "3")), (SUCCESS, success_report("0", "0"))])
    assert files_under(agent.path(r"kXPR\Herald")) == []
    assert not agent.exists(r"kXPR\Herald\Icon")
    assert agent.path(r"Herald\old.ico").read_text() == "icon"
    assert not agent.exists(h.ADD_INI_REL)
    assert_requested(agent.delete_requests())
    assert agent.runner_starts() == []
    status = agent.status_ini()
    assert status is not None
    assert status["kDHT"]["TempId"] == "0" and status["kDHT"]["TempVer"] == "0"
    assert status["kDHT"]["Status"] == "SUCCESS"
    assert re.fullmatch(r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d", status["kDHT"]["LastRunDateTime"])


def test_template_that_survives_an_empty_reply_is_read_at_completion(make_agent, sim, held_files):
    """kDHMenu.xml held open by another program (readers allowed, deletion not) outlives the removal
    an empty reply asks for; completion reads it again, so the report names it, as the runner
    that is restarted for it does."""
    agent = make_agent()
    hold(agent, held_files)
    agent.write_bytes(r"kXPR\kHoldFile.exe", h.binary("kHoldFile.exe").read_bytes())
    ready = agent.path(r"kXPR\held.ready")
    holder = h.Running([str(h.WINE_RUN), agent.win(r"kXPR\kHoldFile.exe"), agent.win(MENU_REL), "read", "120",
                        agent.win(r"kXPR\held.ready")], h.wine_env())
    try:
        deadline = time.monotonic() + 30
        while not ready.exists() and holder.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert ready.exists(), "kDHMenu.xml could not be held"
        sim.queue(TEMPLATE, "")
        agent.run(timeout=120)
    finally:
        holder.kill()
        holder.wait(timeout=30)
    assert agent.exists(MENU_REL)
    agent.assert_log_sequence(["MSG : Deleting file " + agent.win(MENU_REL), "MSG : sStatus : "])
    assert_posts(sim.requests(), [(TEMPLATE, template_request("17", "3")), (SUCCESS, success_report("17", "3"))])
    status = agent.status_ini()["kDHT"]
    assert (status["TempId"], status["TempVer"], status["Status"]) == ("17", "3", "SUCCESS")
    agent.assert_end_of_run()


@pytest.mark.parametrize("prefix", ['<?xml version="1.0"?>', " "], ids=["declaration", "blank"])
def test_text_that_only_looks_like_no_new_template_is_a_template(make_agent, sim, prefix):
    agent = make_agent(standins=NO_RUNNER)
    reply = prefix + NO_NEW_TEMPLATE
    sim.queue(TEMPLATE, reply)
    agent.run(timeout=120)

    agent.assert_log_sequence(post_lines(sim.base_url(), TEMPLATE, template_request(), reply)
                              + ["MSG : Saving xml to " + agent.win(STAGED_REL),
                                 "MSG : After processing it will be copied to " + agent.win(MENU_REL),
                                 "MSG : EXECUTE XPR SCRIPT not found in template",
                                 "MSG : EXECUTE ASE SCRIPT not found in template",
                                 "MSG : Renaming %s to %s" % (agent.win(STAGED_REL), agent.win(MENU_REL))])
    assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("0", "0"))])
    assert agent.path(MENU_REL).read_bytes() == BOM16 + reply.encode("utf-16-le")
    assert_sealed(agent.path(MENU_REL))
    agent.assert_end_of_run()


class TestTestToolRequest:
    @pytest.mark.parametrize("reply", ["no new template", "http 500"])
    def test_test_tool_request_leaves_the_held_template_alone(self, make_agent, sim, held_files, reply):
        agent = make_agent()
        hold(agent, held_files)
        if reply == "http 500":
            sim.set_reply(TESTTOOL, h.sim.html_error(500))
        agent.run("DH,77", timeout=120)

        base = sim.base_url()
        body = tool_request("77")
        msgs = agent.log_messages()
        if reply == "no new template":
            tail = post_lines(base, TESTTOOL, body, NO_NEW_TEMPLATE) + ["MSG : UsersPath : C:\\Users"]
            posts = [(TESTTOOL, body)]
        else:
            tail = post_lines(base, TESTTOOL, body, "") + [
                "ERR : WebPost Failed : 500-Internal Server Error - " + page_url(base, TESTTOOL),
                "MSG : UsersPath : C:\\Users"]
            posts = [(TESTTOOL, body)] * 3
        agent.assert_log_sequence(["MSG : CreateObject('msxml.DOMDocument')"] + tail, contiguous=True)
        assert not any(m.startswith("MSG : Template xml found") for m in msgs)
        agent.assert_end_of_run()
        assert_posts(sim.requests(), posts)
        for rel, data in held_files.items():
            assert agent.path(rel).read_bytes() == data, rel
        assert [c.values()["Body"] for c in agent.popup_calls()] == ["Updating please wait..."]


class TestReportNotAccepted:
    @pytest.mark.parametrize("answer", ["0", "1 ", "http 500"])
    def test_success_report_lands_in_post_logs(self, make_agent, sim, answer):
        agent = make_agent()
        sim.queue(TEMPLATE, EXCLUDED)
        sim.set_reply(SUCCESS, h.sim.html_error(500) if answer == "http 500" else h.sim.reply(answer))
        started = time.time()
        agent.run(timeout=120)
        ended = time.time()

        reports = [r for r in sim.requests(SUCCESS)]
        assert len(reports) == (3 if answer == "http 500" else 1)
        body = reports[-1]["body"]
        assert success_report("0", "0").fullmatch(body), body
        self._assert_post_file(agent, SUCCESS, body, started, ended)

    def test_failure_report_of_an_unloadable_template_lands_in_post_logs(self, make_agent, sim):
        agent = make_agent(standins=NO_RUNNER)
        sim.queue(TEMPLATE, "this is not XML")
        sim.set_reply(FAILURE, "0")
        started = time.time()
        agent.run(timeout=120)
        ended = time.time()

        base = sim.base_url()
        reason = "Unable to load Template xml"
        agent.assert_log_sequence(["MSG : Saving xml to " + agent.win(STAGED_REL),
                                   "MSG : After processing it will be copied to " + agent.win(MENU_REL),
                                   "MSG : Unable to load xml : " + agent.win(STAGED_REL),
                                   "MSG : Deleting file " + agent.win(STAGED_REL),
                                   "MSG : sStatus : " + reason]
                                  + post_lines(base, FAILURE, failure_report("0", "0", reason), "0"),
                                  contiguous=True)
        posts = sim.requests()
        assert_posts(posts, [(TEMPLATE, template_request()), (FAILURE, failure_report("0", "0", reason))])
        assert not agent.exists(MENU_REL) and not agent.exists(STAGED_REL) and not agent.exists(STAGING_REL)
        status = agent.status_ini()
        assert status is not None and status["kDHT"]["Status"] == "FAILED"
        assert (status["kDHT"]["TempId"], status["kDHT"]["TempVer"]) == ("0", "0")
        self._assert_post_file(agent, FAILURE, posts[-1]["body"], started, ended)
        agent.assert_end_of_run()

    @staticmethod
    def _assert_post_file(agent: h.Agent, page: str, body: str, started: float, ended: float) -> None:
        (post_file,) = post_log_files(agent)
        m = re.fullmatch(r"%s_N_1234_%s_(\d{14})\.txt" % (page, page), post_file.name)
        assert m, post_file.name
        stamp = time.mktime(time.strptime(m.group(1), "%m%d%Y%H%M%S"))
        assert started - 2 <= stamp <= ended + 1, (m.group(1), started, ended)
        assert post_file.read_bytes() == body.encode("cp1252") + b"\r\n"
        agent.assert_log_sequence(["MSG : Creating webpost file  %s in XPRPostLogs folder" % post_file.name])
