"""Processing of a received template: filter answers for plain actions against the machine (OS,
software from both registry views, services), the sealed installed template that the next run
trusts, script actions and their details files, a failing or hostile script action, and the
icon download with its fallbacks."""

from __future__ import annotations

import uuid
import xml.etree.ElementTree as ET
from dataclasses import dataclass

import pytest

from kdht_testkit import harness as h
from flow_helpers import (DETAILS, FAILURE, MENU_REL, NO_NEW_TEMPLATE, NO_RUNNER, SCRIPTS, STAGED_REL, STAGING_REL,
                          SUCCESS, TEMPLATE, InstalledSoftware, assert_posts, assert_sealed, failure_report,
                          files_under, md5_text, post_lines, sandbox_processes, script_details_request,
                          start_program, success_report, template_details_request, template_request,
                          unique_name, utf16_text, wait_for_starts)

OS_NAME = "Microsoft Windows 7 Professional"
SERVICE_PACK = "Service Pack 1"
ICON_BYTES = bytes(range(256)) + b"\x00\r\n\x1a icon end"


def actions_of(menu: bytes) -> dict[str, ET.Element]:
    root = ET.fromstring(menu)
    return {a.get("id"): a for a in root.findall("action")}


def answers(menu: bytes) -> dict[str, list[str]]:
    """Each action's filtersatisfied texts (a list, so that a doubled element shows)."""
    return {i: [f.text for f in a.findall("filtersatisfied")] for i, a in actions_of(menu).items()}


# ----------------------------------------------------------------------------------------------
# Plain actions
# ----------------------------------------------------------------------------------------------

@dataclass
class PlainRun:
    agent: h.Agent
    base: str
    icon_url: str
    icon_name: str
    reader: str          # installed, 32-bit view
    tool: str            # installed, 64-bit view
    missing: str         # not installed
    first: list[str]     # log of the run that received the template
    second: list[str]    # log of the next run
    first_posts: list[dict]
    second_posts: list[dict]
    menu: bytes


def plain_template(icon_url: str, reader: str, tool: str, missing: str) -> str:
    return (
        "<dcmgetdeskheraldtemplate><templateid>31</templateid><templatever>4</templatever>"
        "<icon>  %s </icon><rsssites> </rsssites><rssupd>weekly</rssupd>"
        '<action name="Show Message" id="1">'
        "<servicepack>Microsoft Windows XP$*$ALL@#@%s$*$%s</servicepack>"
        "<softwares>%s@#@$*LIKE*$%s</softwares><services>Spooler@#@ rpcss </services></action>"
        '<action name="Open Link" id="2"><softwares>%s@#@%s@#@%s</softwares><services>Spooler</services></action>'
        '<action name="Run Check" id="3"><services>RpcSs@#@NoSuchService</services>'
        "<filtersatisfied>stale</filtersatisfied></action>"
        '<action name="Any Machine" id="4"><servicepack>ALL$*$ALL</servicepack>'
        "<softwares>*&amp;*$*all*&amp;*$*</softwares><services> </services></action>"
        '<action name="Other Pack" id="5"><servicepack>%s$*$Service Pack 2</servicepack>'
        "<softwares>%s</softwares></action>"
        "</dcmgetdeskheraldtemplate>"
    ) % (icon_url, OS_NAME, SERVICE_PACK, reader, tool[-12:], reader, missing, tool, OS_NAME, reader)


@pytest.fixture(scope="class")
def plain_run(kdht_exe) -> PlainRun:
    software = InstalledSoftware()
    server = h.sim.Simulator().start()
    agent = None
    try:
        reader, tool, missing = (unique_name("kDHT E2E Reader"), unique_name("kDHT E2E Tool"),
                                 unique_name("kDHT E2E Absent"))
        software.add(reader, view=32)
        software.add(tool, view=64)
        agent = h.Agent.create(sim_url=server.base_url(), standins=NO_RUNNER)
        icon_name = "dh-%s.ico" % uuid.uuid4().hex[:8]
        icon_url = "%s/files/%s" % (server.url, icon_name)
        server.add_file(icon_name, ICON_BYTES)
        server.queue(TEMPLATE, plain_template(icon_url, reader, tool, missing))
        agent.run(timeout=120)
        first = agent.log_messages()
        first_posts = server.requests()
        menu = agent.path(MENU_REL).read_bytes() if agent.exists(MENU_REL) else b""
        agent.run(timeout=120)
        yield PlainRun(agent, server.base_url(), icon_url, icon_name, reader, tool, missing, first,
                       agent.log_messages()[len(first):], first_posts, server.requests(since=len(first_posts)),
                       menu)
    finally:
        software.remove()
        if agent is not None:
            agent.cleanup()
        server.stop()


@pytest.mark.width
class TestPlainActions:
    def test_inventory_is_taken_once_from_wmi_registry_and_services(self, plain_run):
        msgs = plain_run.first
        assert msgs.count("MSG : OS name : " + OS_NAME) == 1
        assert msgs.count("MSG : OS service Pack : " + SERVICE_PACK) == 1
        (soft,) = [m for m in msgs if m.startswith("MSG : Softwares installed on machine : ")]
        listed = soft[len("MSG : Softwares installed on machine : "):].split(";")
        assert plain_run.reader in listed and plain_run.tool in listed
        assert plain_run.missing not in listed
        (services,) = [m for m in msgs if m.startswith("MSG : Services on machines : ")]
        listed = services[len("MSG : Services on machines : "):].split(";")
        assert "Spooler" in listed and "RpcSs" in listed

    def test_filter_checks_are_logged_per_action(self, plain_run):
        r = plain_run
        h.assert_sequence(r.first, [
            "MSG : Show Message found",
            "MSG : Checking for OS Name and Service pack",
            "MSG : OS from filter condition : " + OS_NAME,
            "MSG : Service pack from filter condition : " + SERVICE_PACK,
            "MSG : OS on machine : " + OS_NAME,
            "MSG : Service pack on machine : " + SERVICE_PACK,
            "MSG : OS And Service pack matched",
            "MSG : Searching for software : " + r.reader,
            "MSG : software found : " + r.reader.upper(),
            "MSG : Searching for software : $*LIKE*$" + r.tool[-12:],
            "MSG : software found : " + r.tool.upper(),
            "MSG : software Filter condition satisfied",
            "MSG : Searching for service : SPOOLER",
            "MSG : Service found : SPOOLER",
            "MSG : Searching for service :  RPCSS",
            "MSG : Service found :  RPCSS",
            "MSG : Service filter conditions satisfied",
            "MSG : Open Link found",
            "MSG : Searching for software : " + r.reader,
            "MSG : software found : " + r.reader.upper(),
            "MSG : Searching for software : " + r.missing,
            "MSG : software not found : " + r.missing.upper(),
            # The software check stops at the first name not found; the services still run.
            "MSG : Searching for service : SPOOLER",
            "MSG : Service found : SPOOLER",
            "MSG : Service filter conditions satisfied",
            "MSG : Run Check found",
            "MSG : Searching for service : RPCSS",
            "MSG : Service found : RPCSS",
            "MSG : Searching for service : NOSUCHSERVICE",
            "MSG : Service not found : NOSUCHSERVICE",
            "MSG : Any Machine found",
            "MSG : Checking for OS Name and Service pack",
            "MSG : OS from filter condition : ALL",
            "MSG : Service pack from filter condition : ALL",
            "MSG : OS on machine : " + OS_NAME,
            "MSG : Service pack on machine : " + SERVICE_PACK,
            "MSG : Other Pack found",
            "MSG : Checking for OS Name and Service pack",
            "MSG : OS And Service pack not matched",
            "MSG : Searching for software : " + r.reader,
            "MSG : software found : " + r.reader.upper(),
            "MSG : software Filter condition satisfied",
            "MSG : EXECUTE XPR SCRIPT not found in template",
            "MSG : EXECUTE ASE SCRIPT not found in template",
        ], contiguous=True)
        assert "MSG : Searching for software : " + r.tool not in r.first

    def test_installed_template_carries_every_answer_and_is_sealed(self, plain_run):
        r = plain_run
        assert answers(r.menu) == {"1": ["true"], "2": ["false"], "3": ["false"], "4": ["true"], "5": ["false"]}
        root = ET.fromstring(r.menu)
        assert (root.tag, root.findtext("templateid"), root.findtext("templatever")) == \
            ("dcmgetdeskheraldtemplate", "31", "4")
        assert root.findtext("icon") == "  %s " % r.icon_url
        assert r.agent.path(MENU_REL).read_bytes() == r.menu
        assert_sealed(r.agent.path(MENU_REL))
        assert files_under(r.agent.path(r"kXPR\Herald")) == ["Icon/" + r.icon_name, "kDHMenu.dat", "kDHMenu.xml"]
        herald = r.agent.win(r"kXPR\Herald")
        h.assert_sequence(r.first, [
            "MSG : Renaming %s to %s" % (r.agent.win(STAGED_REL), r.agent.win(MENU_REL)),
            "MSG : Getting MD5 checksum of : " + r.agent.win(MENU_REL),
            "MSG : Filesize : %d Bytes" % len(r.menu),
            "MSG : FileMD5CheckSum : " + md5_text(r.agent.path(MENU_REL)),
            "MSG : Creating file " + herald + "\\kDHMenu.dat",
            "MSG : File not found  :" + r.agent.win(r"kXPR\kINDHM.exe"),
        ], contiguous=True)
        assert not any(m.startswith("MSG : Copying Data from") for m in r.first)
        assert_posts(r.first_posts, [(TEMPLATE, template_request()), (SUCCESS, success_report("31", "4"))])
        status = r.agent.status_ini()["kDHT"]
        assert (status["TempId"], status["TempVer"], status["Status"]) == ("31", "4", "SUCCESS")

    def test_next_run_trusts_the_installed_template(self, plain_run):
        r = plain_run
        menu = r.agent.win(MENU_REL)
        h.assert_sequence(r.second, ["MSG : Template xml found: " + menu, "MSG : Checksum matched",
                                     "MSG: Process continue after commenting the create object part",
                                     "MSG : Reading Tempid and tempver from " + menu,
                                     "MSG : tempid : 31", "MSG : tempver : 4"]
                          + post_lines(r.base, TEMPLATE, template_request("31", "4"), NO_NEW_TEMPLATE))
        assert_posts(r.second_posts, [(TEMPLATE, template_request("31", "4"))])
        assert r.agent.path(MENU_REL).read_bytes() == r.menu
        assert r.second[-1] == "MSG : Application Ended"

    def test_icon_is_downloaded_into_the_icon_folder(self, plain_run):
        r = plain_run
        dest = r.agent.win("kXPR\\Herald\\Icon\\" + r.icon_name)
        h.assert_sequence(r.first, [
            "MSG : icon : " + r.icon_url,
            "MSG : Downloading using xmlhttp : %s to %s" % (r.icon_url, dest),
            "MSG : File not found : " + r.agent.win("VORNMobile.ini"),
            "MSG : Downloaded Successsfully",
            "MSG : Successfully downloaded to " + dest,
            "MSG : rssupd : weekly",
        ], contiguous=True)
        assert r.agent.path("kXPR\\Herald\\Icon\\" + r.icon_name).read_bytes() == ICON_BYTES
        gets = [(q["method"], q["path"]) for q in r.first_posts if q["page"] == "files"]
        assert gets == [("GET", "/files/" + r.icon_name)]


def test_conditions_and_answers_count_however_they_are_written(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    missing = unique_name("kDHT E2E Absent")
    sim.queue(TEMPLATE, "<dcmgetdeskheraldtemplate><templateid>15</templateid><templatever>1</templatever>"
                        '<action name="Empty Answer" id="1"><services>NoSuchService</services>'
                        "<filtersatisfied></filtersatisfied></action>"
                        '<action name="Closed Answer" id="2"><services>RpcSs</services><filtersatisfied/></action>'
                        '<action name="Attributes" id="3"><softwares lang="en">%s</softwares>'
                        '<filtersatisfied checked="1">true</filtersatisfied></action>'
                        "</dcmgetdeskheraldtemplate>" % missing)
    agent.run(timeout=120)

    menu = agent.path(MENU_REL).read_bytes()
    # One answer per action: a stale first one would be the one read.
    assert answers(menu) == {"1": ["false"], "2": ["true"], "3": ["false"]}
    assert actions_of(menu)["3"].find("filtersatisfied").get("checked") == "1"
    agent.assert_log_sequence(["MSG : Attributes found", "MSG : Searching for software : " + missing,
                               "MSG : software not found : " + missing.upper()], contiguous=True)


def test_comments_around_the_template_do_not_hide_it(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    sim.queue(TEMPLATE, '<?xml version="1.0"?><!-- made for 1234 --><dcmgetdeskheraldtemplate>'
                        "<templateid>8</templateid><templatever>3</templatever>"
                        '<action name="Show" id="1"><services>RpcSs</services></action>'
                        "</dcmgetdeskheraldtemplate><!-- generated -->")
    agent.run(timeout=120)

    agent.assert_log_sequence(["MSG : Show found", "MSG : Searching for service : RPCSS"])
    assert answers(agent.path(MENU_REL).read_bytes()) == {"1": ["true"]}
    assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("8", "3"))])
    status = agent.status_ini()["kDHT"]
    assert (status["TempId"], status["TempVer"]) == ("8", "3")


def test_template_that_cannot_be_sealed_stays_installed_and_fails_the_run(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    agent.path(r"kXPR\KGnMD5.dll").unlink()
    sim.queue(TEMPLATE, "<dcmgetdeskheraldtemplate><templateid>12</templateid><templatever>5</templatever>"
                        "</dcmgetdeskheraldtemplate>")
    agent.run(timeout=120)

    reason = "File not found: KGnMD5"
    agent.assert_log_sequence(["MSG : Renaming %s to %s" % (agent.win(STAGED_REL), agent.win(MENU_REL)),
                               "MSG : Getting MD5 checksum of : " + agent.win(MENU_REL),
                               "ERR : 53 (%s) in procedure Checksum of Module ModAppInstall" % reason,
                               "MSG : sStatus : " + reason], contiguous=True)
    assert files_under(agent.path(r"kXPR\Herald")) == ["kDHMenu.xml"]
    msgs = agent.log_messages()
    assert not any("kINDHM" in m or "kInDHM" in m for m in msgs)
    assert_posts(sim.requests(), [(TEMPLATE, template_request()), (FAILURE, failure_report("12", "5", reason))])
    agent.assert_end_of_run()


# ----------------------------------------------------------------------------------------------
# Script actions
# ----------------------------------------------------------------------------------------------

EMAIL = ('<msgsubject><![CDATA[Done & dusted \u2713 \u00fc]]></msgsubject>'
         '<email emailreqd="1" emailgrpids="4,5" executionstatus="2" />')
# The action's own scripts, with text beyond the ANSI code page (a character outside the BMP too).
OWN_SCRIPTS = ("<dcmscriptdetails><dcmxprscrdet><scriptid>11</scriptid><scriptbody><![CDATA[echo \u00e9chec "
               "\u2603 \U0001d11e]]></scriptbody></dcmxprscrdet><dcmxprscrdet><scriptid>12</scriptid>"
               "<scriptbody><![CDATA[exit 0]]></scriptbody></DCMXPRSCRDET></dcmscriptdetails>")

SCRIPT_TEMPLATE = (
    "<dcmgetdeskheraldtemplate><templateid>32</templateid><templatever>1</templatever>"
    '<action name="Show" id="1"><services>RpcSs</services></action>'
    '<action name="Execute X&PR Script" id="7"><servicepack>ALL$*$ALL</servicepack><softwares></softwares>'
    "<services>NoSuchService</services><scriptids>11,12</scriptids><temipds>21, 0, x, 22</temipds>"
    "<emailmsgsubject>Done &amp; dusted \u2713 \u00fc</emailmsgsubject><emailreqd>1</emailreqd>"
    "<emailgroupids>4,5</emailgroupids><executionstatus>2</executionstatus></action>"
    '<action name=" execute xpr script " id="8"><servicepack></servicepack><softwares></softwares>'
    "<services></services><scriptids> </scriptids><temipds></temipds><filtersatisfied>x</filtersatisfied></action>"
    "</dcmgetdeskheraldtemplate>"
)


def stored_template_details(scriptids: str) -> str:
    """A template's script details as stored: the simulator's generated script details renamed to
    template details, with the e-mail element in front of the closing tag."""
    text = h.sim.default_script_details(scriptids).replace("dcmscriptdetails", "dcmtemplatedetails")
    return text.replace("</dcmtemplatedetails>", EMAIL + "</dcmtemplatedetails>")


@dataclass
class ScriptRun:
    agent: h.Agent
    base: str
    log: list[str]
    posts: list[dict]


@pytest.fixture(scope="class")
def script_run(kdht_exe) -> ScriptRun:
    server = h.sim.Simulator().start()
    agent = None
    try:
        agent = h.Agent.create(sim_url=server.base_url(), standins=NO_RUNNER)
        server.queue(TEMPLATE, SCRIPT_TEMPLATE)
        server.queue(SCRIPTS, OWN_SCRIPTS)
        agent.run(timeout=120)
        yield ScriptRun(agent, server.base_url(), agent.log_messages(), server.requests())
    finally:
        if agent is not None:
            agent.cleanup()
        server.stop()


@pytest.mark.width
class TestScriptAction:
    def test_details_are_requested_per_script_list_and_template(self, script_run):
        assert_posts(script_run.posts, [
            (TEMPLATE, template_request()),
            (SCRIPTS, script_details_request("11,12")),
            (DETAILS, template_details_request("21")),
            (SCRIPTS, script_details_request("2101,2102")),
            (DETAILS, template_details_request("22")),
            # Each template's scripts only: the list starts empty for every template.
            (SCRIPTS, script_details_request("2201,2202")),
            (SUCCESS, success_report("32", "1")),
        ])

    def test_details_files_are_utf16_with_the_email_element_and_sealed(self, script_run):
        folder = script_run.agent.path(r"kXPR\Herald\Action_7_XPR")
        assert files_under(folder) == ["XPR_Script.dat", "XPR_Script.xml", "XPR_Template_21.dat",
                                       "XPR_Template_21.xml", "XPR_Template_22.dat", "XPR_Template_22.xml"]
        # The e-mail element goes in front of every closing tag, found in any letter case.
        assert utf16_text(folder / "XPR_Script.xml") == (
            OWN_SCRIPTS.replace("</dcmxprscrdet>", EMAIL + "</dcmxprscrdet>")
            .replace("</DCMXPRSCRDET>", EMAIL + "</DCMXPRSCRDET>"))
        assert utf16_text(folder / "XPR_Template_21.xml") == stored_template_details("2101,2102")
        assert utf16_text(folder / "XPR_Template_22.xml") == stored_template_details("2201,2202")
        for name in ("XPR_Script.xml", "XPR_Template_21.xml", "XPR_Template_22.xml"):
            assert_sealed(folder / name)

    def test_staged_folders_are_copied_into_place_and_removed(self, script_run):
        agent = script_run.agent
        herald = agent.path(r"kXPR\Herald")
        assert sorted(p.name for p in herald.iterdir()) == ["Action_7_XPR", "kDHMenu.dat", "kDHMenu.xml"]
        staged = agent.win(STAGING_REL + r"\Action_7_XPR")
        h.assert_sequence(script_run.log, [
            "MSG : EXECUTE XPR SCRIPT found", "MSG : id : 7",
            "MSG : scriptids :  11,12",
            "MSG : Creating file : " + staged + "\\XPR_Script.xml",
            "MSG : Creating file " + staged + "\\XPR_Script.dat",
            "MSG : tempids :  21, 0, x, 22",
            "MSG : Creating file : " + staged + "\\XPR_Template_21.xml",
            "MSG : Creating file : " + staged + "\\XPR_Template_22.xml",
            "MSG : EXECUTE XPR SCRIPT found", "MSG : id : 8",
            "MSG : scriptids :  ", "MSG : tempids :  ",
            "MSG : Renaming %s to %s" % (agent.win(STAGED_REL), agent.win(MENU_REL)),
            "MSG : Copying Data from %s to %s" % (agent.win(STAGING_REL), agent.win(r"kXPR\Herald")),
            "MSG : Deleting  folder " + agent.win(STAGING_REL),
        ])
        assert not any("EXECUTE XPR SCRIPT not found" in m for m in script_run.log)

    def test_stored_template_carries_the_replaced_name_and_the_answers(self, script_run):
        menu = script_run.agent.path(MENU_REL).read_bytes()
        assert b"X&PR" not in menu
        actions = actions_of(menu)
        assert actions["7"].get("name") == "Execute XPR Script"
        assert answers(menu) == {"1": ["true"], "7": ["false"], "8": ["true"]}
        assert_sealed(script_run.agent.path(MENU_REL))


SCRIPT_FAILS_SECOND = (
    "<dcmgetdeskheraldtemplate><templateid>33</templateid><templatever>2</templatever>"
    '<action name="First" id="1"><services>RpcSs</services></action>'
    '<action name="Execute XPR Script" id="%s"><servicepack>ALL$*$ALL</servicepack><softwares></softwares>'
    "<services></services><scriptids>99</scriptids><temipds>41</temipds></action>"
    '<action name="Third" id="3"><services>RpcSs</services></action>'
    "</dcmgetdeskheraldtemplate>"
)


class TestScriptActionFailure:
    @pytest.mark.parametrize("answer", ["empty", "http 500"])
    def test_failing_second_action_installs_nothing_and_is_reported(self, make_agent, sim, answer):
        agent = make_agent()
        runner = start_program(agent, r"kXPR\kINDHM.exe")
        try:
            assert len(wait_for_starts(agent, "kINDHM", 1)) == 1
            sim.queue(TEMPLATE, SCRIPT_FAILS_SECOND % "8")
            sim.set_reply(SCRIPTS, "" if answer == "empty" else h.sim.html_error(500))
            agent.run(timeout=120)
            running = sandbox_processes(agent)
        finally:
            runner.kill()

        reason = "webpost failed (wpdcmscriptdetails) scriptids : 99"
        msgs = agent.log_messages()
        agent.assert_log_sequence(["MSG : First found", "MSG : EXECUTE XPR SCRIPT found", "MSG : id : 8",
                                   "MSG : scriptids :  99"]
                                  + post_lines(sim.base_url(), SCRIPTS, script_details_request("99"), "")
                                  + ["MSG : Deleting file " + agent.win(STAGED_REL),
                                     "MSG : sStatus : " + reason])
        assert "MSG : Third found" not in msgs
        assert not any(m.startswith("MSG : Renaming") or m.startswith("MSG : tempids") for m in msgs)
        # A failed run neither restarts nor schedules the runner.
        assert "MSG : Sleeping for 5 seconds " not in msgs
        assert not any("kINDHM" in m or "kInDHM" in m for m in msgs), [m for m in msgs if "INDHM" in m.upper()]
        assert "kINDHM.exe" in running.values(), "the running runner was ended"
        assert len(agent.runner_starts()) == 1
        assert not agent.exists(h.ADD_INI_REL)
        assert files_under(agent.path(r"kXPR\Herald")) == []
        assert_posts(sim.requests(), [(TEMPLATE, template_request())]
                     + [(SCRIPTS, script_details_request("99"))] * (1 if answer == "empty" else 3)
                     + [(FAILURE, failure_report("33", "2", reason))])
        status = agent.status_ini()["kDHT"]
        assert (status["TempId"], status["TempVer"], status["Status"]) == ("33", "2", "FAILED")
        agent.assert_end_of_run()

    @pytest.mark.parametrize("action_id", [r"..\..\..\Outside", r"C:\Outside"])
    def test_hostile_action_id_is_refused(self, make_agent, sim, action_id):
        agent = make_agent(standins=NO_RUNNER)
        kagent = h.drive_c() / "KAGENT"
        before = {p for p in h.drive_c().glob("*")} | {p for p in kagent.glob("*")}
        sim.queue(TEMPLATE, SCRIPT_FAILS_SECOND % action_id)
        agent.run(timeout=120)

        reason = "Invalid action id : " + action_id
        agent.assert_log_sequence(["MSG : EXECUTE XPR SCRIPT found", "MSG : id : " + action_id], contiguous=True)
        agent.assert_log_sequence(["MSG : scriptids :  99", "ERR : " + reason,
                                   "MSG : Deleting file " + agent.win(STAGED_REL), "MSG : sStatus : " + reason],
                                  contiguous=True)
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (FAILURE, failure_report("33", "2", reason))])
        assert files_under(agent.path(r"kXPR\Herald")) == []
        after = {p for p in h.drive_c().glob("*")} | {p for p in kagent.glob("*")}
        assert after == before
        assert not [p for p in agent.install.rglob("*") if "Outside" in p.name or "Action_" in p.name]
        agent.assert_end_of_run()


# ----------------------------------------------------------------------------------------------
# Icon download fallbacks
# ----------------------------------------------------------------------------------------------

ICON_TEMPLATE = ("<dcmgetdeskheraldtemplate><templateid>34</templateid><templatever>1</templatever>"
                 "<icon>%s</icon></dcmgetdeskheraldtemplate>")


@pytest.mark.width
class TestIconFallbacks:
    """Method 1 (WinHTTP GET) answered 404; method 2 (the system's URL download) and method 3 (the
    job-download component) take over in turn. An error page is never stored as the icon."""

    @pytest.fixture
    def job_component(self, make_agent):
        """An agent whose job-download stand-in is the registered one (another agent's would record
        there)."""
        agent = make_agent(standins=NO_RUNNER)
        dll = agent.win(h.LAYOUT["kDwnJob.dll"])
        r = h.wine(h.regsvr32(), "/s", dll, timeout=60)
        assert r.returncode == 0, r.stderr[-2000:]
        yield agent
        h.wine(h.regsvr32(), "/u", "/s", dll, timeout=60)

    @pytest.mark.parametrize("not_found", [1, 2, 3], ids=["system download", "job download", "none"])
    def test_icon_fallbacks(self, job_component, sim, not_found):
        agent = job_component
        name = "fb-%s.ico" % uuid.uuid4().hex[:8]
        url = "%s/files/%s" % (sim.url, name)
        dest = agent.win("kXPR\\Herald\\Icon\\" + name)
        sim.queue("files/" + name, *[h.sim.html_error(404, "Not Found")] * not_found)
        sim.add_file(name, ICON_BYTES)
        sim.queue(TEMPLATE, ICON_TEMPLATE % url)
        agent.run(timeout=120)

        lines = ["MSG : icon : " + url, "MSG : Downloading using xmlhttp : %s to %s" % (url, dest),
                 "MSG : File not found : " + agent.win("VORNMobile.ini"), "MSG : Download Failed   ",
                 "MSG : Downloading Using API from URL : " + url]
        if not_found == 1:
            lines += ["MSG : Successfully downloaded to " + dest]
        else:
            lines += ["ERR : Failed to download to " + dest, "MSG : Downloading using JobDownload component",
                      "MSG : Downloading : %s to %s" % (url, dest)]
            if not_found == 2:
                lines += ["MSG : Successfully Downloaded : " + url, "MSG : Successfully downloaded to " + dest]
            else:
                lines += ["ERR : Failed to download : %s. ErrDesc : 404 HTTP status 404 Not Found %s" % (url, url)]
        lines.append("MSG : EXECUTE XPR SCRIPT not found in template")
        agent.assert_log_sequence(lines, contiguous=True)

        gets = [q["path"] for q in sim.requests("files")]
        assert gets == ["/files/" + name] * min(not_found + 1, 3)
        icon = agent.path("kXPR\\Herald\\Icon\\" + name)
        if not_found < 3:
            assert icon.read_bytes() == ICON_BYTES
        else:
            assert not icon.exists(), "an error page was stored as the icon: %r" % icon.read_bytes()[:80]
        jobs = agent.path("kDwnJob-calls.log")
        expected_jobs = [] if not_found == 1 else ["download\t%s\t%s\t%d" % (url, dest, 1 if not_found == 2 else 0)]
        assert (jobs.read_text(encoding="utf-8").splitlines() if jobs.exists() else []) == expected_jobs
        # The icon is not part of the outcome: the template is installed and success reported.
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("34", "1"))])

    @pytest.mark.parametrize("unsafe", ["name leaving the folder", "local file"])
    def test_unsafe_icon_is_refused(self, make_agent, sim, unsafe):
        agent = make_agent(standins=NO_RUNNER)
        agent.write_text("secret.txt", "agent's own file")
        if unsafe == "local file":
            url = "file:///" + agent.win("secret.txt").replace("\\", "/")
            refused = "ERR : Invalid icon URL : " + url
        else:
            url = "%s/files/..\\..\\..\\evil.ico" % sim.url
            refused = "ERR : Invalid icon file name : ..\\..\\..\\evil.ico"
        sim.add_file("evil.ico", ICON_BYTES)
        sim.queue(TEMPLATE, ICON_TEMPLATE % url)
        agent.run(timeout=120)

        agent.assert_log_sequence(["MSG : icon : " + url, refused, "MSG : EXECUTE XPR SCRIPT not found in template"],
                                  contiguous=True)
        assert sim.requests("files") == []
        assert files_under(agent.path(r"kXPR\Herald")) == ["kDHMenu.dat", "kDHMenu.xml"]
        assert not list(h.drive_c().glob("evil.ico")) and not list((h.drive_c() / "KAGENT").rglob("evil.ico"))
        assert_posts(sim.requests(), [(TEMPLATE, template_request()), (SUCCESS, success_report("34", "1"))])
