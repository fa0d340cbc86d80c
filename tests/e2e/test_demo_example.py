"""The example set of `make demo` (examples/) end to end: what a first pass installs, requests and
reports, and that a second pass trusts the result by its seals and is told "No New Template"."""

from __future__ import annotations

import base64
import datetime as dt
import hashlib
import re
import xml.etree.ElementTree as ET
from pathlib import Path
from types import SimpleNamespace

import pytest

from kdht_testkit import harness as h

# The whole pass of the example, in whichever width is under test.
pytestmark = pytest.mark.width

EXAMPLES = h.REPO_ROOT / "examples"
TEMPLATE = "wpdcmgetdeskheraldtemplate"
QUERY = {"mmid": "5678", "sid": "42", "rid": "1234", "rty": "RORI"}
HERALD = "kXPR\\Herald\\"
ACTION = HERALD + "Action_21_XPR\\"
EMAIL = ('<msgsubject><![CDATA[Disk maintenance finished]]></msgsubject>'
         '<email emailreqd="1" emailgrpids="4,5" executionstatus="2" />')
# The verdict each action of the example template must get on the sandbox machine (Wine's
# "Microsoft Windows 7 Professional" with "Service Pack 1", its services, examples/sandbox.json).
VERDICTS = {"11": "true", "12": "true", "13": "true", "14": "false", "15": "false", "16": "false", "21": "true"}
STAMP = r"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)"


demo = h.load_demo()


def example(rel: str) -> bytes:
    return (EXAMPLES / rel).read_bytes()


def utf16_with_bom(path: Path) -> str:
    data = path.read_bytes()
    assert data[:2] == b"\xff\xfe", "%s has no UTF-16 byte-order mark" % path.name
    return data[2:].decode("utf-16-le")


def stamp_time(text: str) -> dt.datetime:
    return dt.datetime.strptime(text, "%m/%d/%Y %H:%M:%S")


def run_pass(agent: h.Agent, server) -> SimpleNamespace:
    log_before = len(agent.log_bytes())
    seq_before = max((r["seq"] for r in server.requests()), default=0)
    started = dt.datetime.now().replace(microsecond=0)
    result = agent.run(timeout=300)
    ended = dt.datetime.now()
    messages = [x.message for x in h.parse_log(agent.log_bytes()[log_before:])]
    return SimpleNamespace(result=result, messages=messages, requests=server.requests(since=seq_before),
                           started=started, ended=ended)


def herald_files(agent: h.Agent) -> dict[str, bytes]:
    base = agent.path(HERALD)
    return {p.relative_to(base).as_posix(): p.read_bytes() for p in sorted(base.rglob("*")) if p.is_file()}


@pytest.fixture(scope="module")
def passes(kdht_exe, tmp_path_factory):
    """Two passes of the demo's sandbox against the simulator serving examples/: what each left."""
    server = h.sim.Simulator(scenario=EXAMPLES, record=tmp_path_factory.mktemp("demo") / "requests.jsonl").start()
    agent = h.Agent.create("DEMOEX", sim_url=server.base_url(), standins=demo.STANDINS)
    try:
        demo.install_software(h, EXAMPLES)
        first = run_pass(agent, server)
        after_first = SimpleNamespace(files=herald_files(agent), status=agent.path(h.STATUS_INI_REL).read_bytes(),
                                      add=agent.path(h.ADD_INI_REL).read_bytes())
        second = run_pass(agent, server)
        yield SimpleNamespace(agent=agent, server=server, first=first, second=second, after_first=after_first)
    finally:
        agent.cleanup()
        demo.remove_software(h, EXAMPLES)
        server.stop()


class TestFirstPass:
    def test_ran_to_its_end_and_reported_success(self, passes):
        msgs = passes.first.messages
        assert msgs[-1] == h.ENDED_LINE, msgs[-40:]
        h.assert_sequence(msgs, ["MSG : EXECUTE XPR SCRIPT found", "MSG : id : 21", "MSG : sStatus : "])
        assert not [m for m in msgs if m.startswith("ERR : ") and "CleanUpPostProcess" not in m]

    def test_installed_template_carries_one_verdict_per_action(self, passes):
        installed = ET.fromstring(passes.agent.path(HERALD + "kDHMenu.xml").read_bytes())
        answers = {a.get("id"): [f.text for f in a.findall("filtersatisfied")] for a in installed.findall("action")}
        assert answers == {k: [v] for k, v in VERDICTS.items()}
        # Apart from the answers the installed template is the one the server sent.
        for a in installed.findall("action"):
            a.remove(a.find("filtersatisfied"))
        received = ET.fromstring(example(TEMPLATE + ".xml").replace(b"@SIM_URL@", passes.server.url.encode()))
        for doc in (installed, received):
            for e in doc.iter():  # layout white space between elements is not content
                e.text = None if e.text is not None and not e.text.strip() else e.text
                e.tail = None
        assert ET.tostring(installed) == ET.tostring(received)

    def test_icon_downloaded_from_the_server(self, passes):
        assert passes.agent.path(HERALD + "Icon\\herald.ico").read_bytes() == example("files/herald.ico")

    def test_script_action_files_are_the_replies_with_the_email_element(self, passes):
        files = herald_files(passes.agent)
        assert sorted(files) == sorted([
            "Action_21_XPR/XPR_Script.dat", "Action_21_XPR/XPR_Script.xml",
            "Action_21_XPR/XPR_Template_12.dat", "Action_21_XPR/XPR_Template_12.xml",
            "Action_21_XPR/XPR_Template_13.dat", "Action_21_XPR/XPR_Template_13.xml",
            "Icon/herald.ico", "kDHMenu.dat", "kDHMenu.xml"])
        own = example("wpdcmscriptdetails/201,202.xml").decode("utf-8")
        assert utf16_with_bom(passes.agent.path(ACTION + "XPR_Script.xml")) == \
            own.replace("</dcmxprscrdet>", EMAIL + "</dcmxprscrdet>")
        assert "Disk health report \u2013 drive C:" in own  # a character outside ASCII travels intact
        for template, scripts in (("12", "101,102"), ("13", "103")):
            reply = example("wpdcmscriptdetails/%s.xml" % scripts).decode("utf-8")
            expected = reply.replace("dcmscriptdetails", "dcmtemplatedetails")
            expected = expected.replace("</dcmtemplatedetails>", EMAIL + "</dcmtemplatedetails>")
            assert utf16_with_bom(passes.agent.path(ACTION + "XPR_Template_%s.xml" % template)) == expected

    def test_every_seal_holds_the_checksum_of_its_file(self, passes):
        files = herald_files(passes.agent)
        sealed = [n for n in files if n.endswith(".xml")]
        assert len(sealed) == 4
        for name in sealed:
            seal = files[name[:-4] + ".dat"].decode("ascii")
            assert "\r\n" not in seal and not seal.endswith("\n")
            m = re.search(r"\?[Bb]\?([A-Za-z0-9+/=]+)\?=", seal)
            assert m, seal
            assert base64.b64decode(m.group(1)).decode().strip().upper() == \
                hashlib.md5(files[name]).hexdigest().upper(), name

    def test_requests_in_order(self, passes):
        got = [(r["page"], r.get("file") or r["body"]) for r in passes.first.requests]
        assert got == [
            (TEMPLATE, "<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid><tmplatid>0</tmplatid>"
                       "<tmplatver>0</tmplatver></wpdcmgetdeskheraldtemplate>"),
            ("files", "herald.ico"),
            ("wpdcmscriptdetails", "<wpdcmscriptdetails><memberid>5678</memberid><scriptid>201,202</scriptid>"
                                   "</wpdcmscriptdetails>"),
            ("wpdcmtemplatedetails", "<wpdcmtemplatedetails><memberid>5678</memberid><batchid>12</batchid>"
                                     "</wpdcmtemplatedetails>"),
            ("wpdcmscriptdetails", "<wpdcmscriptdetails><memberid>5678</memberid><scriptid>101,102</scriptid>"
                                   "</wpdcmscriptdetails>"),
            ("wpdcmtemplatedetails", "<wpdcmtemplatedetails><memberid>5678</memberid><batchid>13</batchid>"
                                     "</wpdcmtemplatedetails>"),
            ("wpdcmscriptdetails", "<wpdcmscriptdetails><memberid>5678</memberid><scriptid>103</scriptid>"
                                   "</wpdcmscriptdetails>"),
            ("wpdcmregidtmplveriu", passes.first.requests[-1]["body"]),
        ]
        assert all(r["query"] == QUERY for r in passes.first.requests if r["page"] != "files")

    def test_success_report_body(self, passes):
        (report,) = [r for r in passes.first.requests if r["page"] == "wpdcmregidtmplveriu"]
        m = re.fullmatch(re.escape("<wpdcmregidtmplveriu><mmid>5678</mmid><siteid>42</siteid><regid>1234</regid>"
                                   "<tempid>2041</tempid><tempver>3</tempver><exever>%s</exever><scandt>"
                                   % h.project_version()) + STAMP + re.escape(" </scandt></wpdcmregidtmplveriu>"),
                         report["body"])
        assert m, report["body"]
        assert passes.first.started <= stamp_time(m.group(1)) <= passes.first.ended

    def test_scheduler_asked_for_the_runner_in_sections_1_and_2(self, passes):
        add = h.IniFile(passes.after_first.add.decode("cp1252"))
        assert add.sections() == ["1", "2"]
        for section, interval in (("1", "15"), ("2", "0")):
            assert add[section] == {"ExecutableName": "kXPR\\kInDHM.exe", "Parameter": "SERVICE",
                                    "StartTime": "00:01", "EndTime": "23:59", "Interval": interval,
                                    "Weekdays": "0,1,2,3,4,5,6"}
        assert not passes.agent.exists(h.DELETE_INI_REL)

    def test_status_file_records_the_report(self, passes):
        status = h.IniFile(passes.after_first.status.decode("cp1252"))
        assert status.sections() == ["kDHT"]
        values = status["kDHT"]
        assert list(values) == ["LastRunDateTime", "TempId", "TempVer", "Status"]
        assert (values["TempId"], values["TempVer"], values["Status"]) == ("2041", "3", "SUCCESS")
        assert passes.first.started <= stamp_time(values["LastRunDateTime"]) <= passes.first.ended

    def test_runner_restarted_and_rss_updater_run(self, passes):
        runner = passes.agent.runner_starts("kINDHM")
        assert [(r.tag, r.command_line.replace('"', "")) for r in runner] == \
            [("start", passes.agent.win(r"kXPR\kINDHM.exe") + " SERVICE")]
        (rss,) = passes.agent.runner_starts("kRSSUpd")
        assert rss.tag == "run" and rss.command_line.replace('"', "").upper() == \
            passes.agent.win(r"KXPR\kRSSUpd.Exe").upper()


class TestSecondPass:
    def test_held_template_trusted_by_its_seal_and_nothing_new(self, passes):
        msgs = passes.second.messages
        menu = passes.agent.win(HERALD + "kDHMenu.xml")
        h.assert_sequence(msgs, [
            "MSG : Template xml found: " + menu,
            "MSG : Reading checksum from encrypted file " + passes.agent.win(HERALD + "kDHMenu.dat"),
            "MSG : Checksum matched",
            "MSG: Process continue after commenting the create object part",
            "MSG : tempid : 2041", "MSG : tempver : 3",
            "MSG : WebPost Return Status: " + h.sim.NO_NEW_TEMPLATE,
            "MSG : UsersPath : " + h.USERS_WIN,
        ])
        assert msgs[-1] == h.ENDED_LINE
        assert [(r["page"], r["body"]) for r in passes.second.requests] == [
            (TEMPLATE, "<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid><tmplatid>2041</tmplatid>"
                       "<tmplatver>3</tmplatver></wpdcmgetdeskheraldtemplate>")]

    def test_installed_files_status_and_requests_untouched(self, passes):
        assert herald_files(passes.agent) == passes.after_first.files
        assert passes.agent.path(h.STATUS_INI_REL).read_bytes() == passes.after_first.status
        assert passes.agent.path(h.ADD_INI_REL).read_bytes() == passes.after_first.add
        assert len(passes.agent.runner_starts("kINDHM")) == 1

    def test_altered_template_is_not_trusted_and_asked_for_again(self, passes):
        # Runs last: it changes the installed template behind the seal's back.
        agent = passes.agent
        menu = agent.path(HERALD + "kDHMenu.xml")
        menu.write_bytes(menu.read_bytes().replace(b"<templatever>3<", b"<templatever>4<"))
        third = run_pass(agent, passes.server)
        h.assert_sequence(third.messages, ["MSG : Checksum not matched",
                                           re.compile(r"MSG : Webpost string : .*<tmplatid>0</tmplatid>"
                                                      r"<tmplatver>0</tmplatver>.*")])
        assert third.messages[-1] == h.ENDED_LINE
        assert [r["page"] for r in third.requests][0] == TEMPLATE
        assert herald_files(agent).keys() == passes.after_first.files.keys()
        assert agent.path(HERALD + "kDHMenu.dat").read_bytes() == passes.after_first.files["kDHMenu.dat"]
