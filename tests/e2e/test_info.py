"""kDHTInfo.exe, the read-only state report: its answers for a template's actions are the ones
kDHT.exe writes into the installed template on the same machine, a report leaves the install
folder, the agent's registry keys and the server untouched (also while an update runs), and the
cases it cannot report on end with exit code 2 and one line."""

from __future__ import annotations

import hashlib
import json
import os
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from kdht_testkit import harness as h
from flow_helpers import (MENU_REL, NO_RUNNER, SCRIPTS, SUCCESS, TEMPLATE, InstalledSoftware, template_details_request,
                          unique_name)
from test_processing import OWN_SCRIPTS, SCRIPT_TEMPLATE, plain_template

OS_NAME = "Microsoft Windows 7 Professional"


def installed_answers(agent: h.Agent) -> dict[str, str | None]:
    """Each action's filtersatisfied in the installed template, by action id."""
    root = ET.fromstring(agent.path(MENU_REL).read_bytes())
    return {a.get("id"): a.findtext("filtersatisfied") for a in root.findall("action")}


def info_json(agent: h.Agent, *args: str) -> dict:
    r = agent.info(*args, "--json")
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.decode("utf-8"))


def reported_answers(report: dict) -> dict[str, str]:
    return {a["id"]: a["filtersatisfied"] for a in report["actions"]}


def reply_file(text: str) -> tuple[Path, str]:
    """The reply as the server sends it, in a file outside every agent folder (UTF-8, as posted)."""
    folder = h.drive_c() / "kdht-harness"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / ("reply-%s.xml" % unique_name("t").split()[-1])
    path.write_bytes(text.encode("utf-8"))
    return path, h.unix_to_win(path)


# ----------------------------------------------------------------------------------------------
# The same answers as the updater
# ----------------------------------------------------------------------------------------------

HOWEVER_WRITTEN = ("<dcmgetdeskheraldtemplate><templateid>15</templateid><templatever>1</templatever>"
                   '<action name="Empty Answer" id="1"><services>NoSuchService</services>'
                   "<filtersatisfied></filtersatisfied></action>"
                   '<action name="Closed Answer" id="2"><services>RpcSs</services><filtersatisfied/></action>'
                   '<action name="Attributes" id="3"><softwares lang="en">%s</softwares>'
                   '<filtersatisfied checked="1">true</filtersatisfied></action>'
                   '<action name="Bare" id="4"></action>'
                   '<action name="Broken OS" id="5"><servicepack>x$*$ALL@#@@#@ALL$*$ALL</servicepack></action>'
                   "</dcmgetdeskheraldtemplate>")


@pytest.fixture
def software():
    installed = InstalledSoftware()
    yield installed
    installed.remove()


def scenario(kind: str, software: InstalledSoftware, icon_url: str) -> str:
    if kind == "plain":
        reader, tool, missing = (unique_name("kDHT E2E Reader"), unique_name("kDHT E2E Tool"),
                                 unique_name("kDHT E2E Absent"))
        software.add(reader, view=32)
        software.add(tool, view=64)
        return plain_template(icon_url, reader, tool, missing)
    if kind == "however-written":
        return HOWEVER_WRITTEN % unique_name("kDHT E2E Absent")
    return SCRIPT_TEMPLATE


@pytest.mark.width
@pytest.mark.parametrize("kind", ["plain", "however-written", "script"])
def test_actions_answer_as_the_updater_wrote_them(make_agent, sim, software, kind):
    agent = make_agent(standins=NO_RUNNER)
    reply = scenario(kind, software, "")
    path, win = reply_file(reply)
    try:
        # Before the update: the reply evaluated as a file, with nothing held yet.
        from_file = info_json(agent, "--actions", win)
        sim.queue(TEMPLATE, reply)
        if kind == "script":
            sim.queue(SCRIPTS, OWN_SCRIPTS)
        agent.run(timeout=120)
        expected = installed_answers(agent)
        assert expected and None not in expected.values()

        held = info_json(agent, "--actions")
        assert held["source"] == agent.win(MENU_REL)
        assert reported_answers(held) == expected
        assert reported_answers(from_file) == expected
        root = ET.fromstring(agent.path(MENU_REL).read_bytes())
        assert (held["template"]["id"], held["template"]["version"]) == \
            (root.findtext("templateid"), root.findtext("templatever"))
        names = [a.get("name") for a in root.findall("action")]
        assert [a["name"] for a in held["actions"]] == names
    finally:
        path.unlink(missing_ok=True)

    # Every failed condition says why; the answer is false exactly when one failed.
    for action in held["actions"]:
        failed = [c for c in action["conditions"] if not c["holds"]]
        assert (action["filtersatisfied"] == "false") == bool(failed), action
        assert all(c["reason"] for c in action["conditions"]), action
    if kind == "plain":
        open_link = next(a for a in held["actions"] if a["id"] == "2")
        (soft,) = [c for c in open_link["conditions"] if c["element"] == "softwares"]
        assert soft["reason"].startswith("Software KDHT E2E ABSENT ") and soft["reason"].endswith(" not found")
        show = next(a for a in held["actions"] if a["id"] == "1")
        assert show["conditions"][0]["reason"] == \
            'alternative 2 matched: OS "%s", service pack "Service Pack 1"' % OS_NAME
    if kind == "however-written":
        bare = next(a for a in held["actions"] if a["id"] == "4")
        assert bare["conditions"] == [] and bare["filtersatisfied"] == "true"
        broken = next(a for a in held["actions"] if a["id"] == "5")
        assert broken["conditions"][0]["reason"] == "check failed at alternative 2: 9 (Subscript out of range)"
    if kind == "script":
        # What the file's plan said would be fetched is what the update fetched.
        (planned,) = [a["fetch"] for a in from_file["actions"] if a["id"] == "7"]
        fetched_ids = [t["id"] for t in planned["templates"] if t["plan"] == "fetch"]
        assert planned["scripts"] == "fetch" and planned["scriptIds"] == "11,12"
        assert [t["plan"] for t in planned["templates"]] == ["fetch", "not an id", "not an id", "fetch"]
        assert [r["body"] for r in sim.requests("wpdcmtemplatedetails")] == \
            [template_details_request(i) for i in fetched_ids]
        # Installed and sealed now: fetched again only where the updater would, " 22" (its installed
        # copy is looked for under the name as written, with the blank, and never found).
        (again,) = [a["fetch"] for a in held["actions"] if a["id"] == "7"]
        assert again["scripts"] == "trusted"
        assert [t["plan"] for t in again["templates"]] == ["trusted", "not an id", "not an id", "fetch"]


@pytest.mark.width
def test_text_report_names_each_action_and_its_reasons(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    sim.queue(TEMPLATE, HOWEVER_WRITTEN % "Absent Program 1")
    agent.run(timeout=120)
    r = agent.info("--actions")
    assert r.returncode == 0, r.stderr
    out = r.stdout.decode("utf-8").split("\r\n")
    assert out[0].endswith(": the actions of " + agent.win(MENU_REL))
    assert '1. action 1 "Empty Answer", plain: filtersatisfied = false' in out
    assert '3. action 3 "Attributes", plain: filtersatisfied = false' in out
    assert any(line.split() == ["softwares", "FAILS", "Software", "ABSENT", "PROGRAM", "1", "not", "found"]
               for line in out)
    assert "     no conditions" in out


# ----------------------------------------------------------------------------------------------
# Read only
# ----------------------------------------------------------------------------------------------

def folder_snapshot(root: Path) -> dict[str, tuple]:
    """Every folder and file below root: files by size, content digest and modification time."""
    snap: dict[str, tuple] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            snap[os.path.relpath(os.path.join(dirpath, d), root) + "/"] = ()
        for f in filenames:
            p = Path(dirpath) / f
            st = p.stat()
            snap[os.path.relpath(p, root)] = (st.st_size, st.st_mtime_ns, hashlib.sha256(p.read_bytes()).hexdigest())
    return snap


def registry_snapshot() -> list[bytes]:
    """The agent's key in both views and the ProgIDs of its components, as `reg query` lists them."""
    out = []
    for key, view in ((h.REG_KEY, 32), (h.REG_KEY, 64), (r"SOFTWARE\Classes\kPopup.Display", 64),
                      (r"SOFTWARE\Classes\kDwnJob.JobDownload", 64)):
        r = h.wine("reg", "query", "HKLM\\" + key, "/s", "/reg:%d" % view, timeout=60)
        out.append(r.stdout)
    return out


def test_a_report_changes_nothing_on_the_machine_or_the_server(make_agent, sim, software):
    agent = make_agent(standins=NO_RUNNER)
    software.add(unique_name("kDHT E2E Info"), view=64)
    sim.queue(TEMPLATE, plain_template("", "No Such Reader", "No Such Tool", "No Such Program"))
    sim.queue(SUCCESS, "0")  # not accepted: the report waits as a post file
    agent.run(timeout=120)
    assert agent.info("--help").returncode == 0  # deployed beside kDHT.exe before the snapshot
    path, win = reply_file(HOWEVER_WRITTEN % "x")

    before = (folder_snapshot(agent.install), registry_snapshot(), len(sim.requests()))
    try:
        reports = {}
        for args in ([], ["--json"], ["--actions"], ["--actions", "--json"], ["--actions", win, "--json"]):
            r = agent.info(*args)
            assert r.returncode == 0, (args, r.stderr)
            assert r.stdout and not r.stderr.strip(), args
            reports[" ".join(args)] = r.stdout
    finally:
        path.unlink(missing_ok=True)
    after = (folder_snapshot(agent.install), registry_snapshot(), len(sim.requests()))
    assert after == before

    state = json.loads(reports["--json"].decode("utf-8"))
    assert state["install"]["path"] == agent.short_install()
    assert [(v["name"], v["value"], v["valid"]) for v in state["identity"]] == \
        [("RegID", "1234", True), ("MemberID", "5678", True), ("SiteID", "42", True), ("Type", "RORI", True)]
    held = state["heldTemplate"]
    assert (held["exists"], held["seal"], held["id"], held["version"]) == (True, "trusted", "31", "4")
    status = agent.status_ini()["kDHT"]
    assert (state["status"]["lastRunDateTime"], state["status"]["status"]) == \
        (status["LastRunDateTime"], "SUCCESS")
    assert state["status"]["dueAtNextRun"] is False and state["status"]["dueBy"]
    runner = [(q["file"], q["interval"]) for q in state["scheduler"]["requests"] if q["runner"]]
    assert runner == [("kDHT_Addsection.ini", "15"), ("kDHT_Addsection.ini", "0")]
    posts = sorted(p.name for p in agent.path("XPRPostLogs").iterdir())
    assert (state["postFiles"]["count"], state["postFiles"]["oldest"]) == (1, posts[0])
    assert state["runner"]["running"] is False
    inventory = state["inventory"]
    assert inventory["osName"] == OS_NAME and inventory["osServicePack"] == "Service Pack 1"
    assert inventory["software"]["view64"] >= 1 and inventory["services"] > 0

    # The seal as the next run would judge it: a changed template no longer matches, and one
    # without its seal file is not trusted either.
    menu = agent.path(MENU_REL)
    menu.write_bytes(menu.read_bytes().replace(b"</dcmgetdeskheraldtemplate>", b" </dcmgetdeskheraldtemplate>"))
    assert info_json(agent)["heldTemplate"]["seal"] == "not matching"
    agent.path(r"kXPR\Herald\kDHMenu.dat").unlink()
    assert info_json(agent)["heldTemplate"]["seal"] == "missing"

    text = reports[""].decode("utf-8")
    for line in ("  seal                 trusted (%s)" % agent.win(r"kXPR\Herald\kDHMenu.dat"),
                 "  kINDHM.exe           not running", "  waiting              1 file"):
        assert line in text.split("\r\n"), text


def test_a_report_runs_while_an_update_is_in_progress(make_agent, sim):
    agent = make_agent(standins=NO_RUNNER)
    sim.queue(TEMPLATE, h.sim.stall(10, then=h.sim.reply(HOWEVER_WRITTEN % "x")))
    running = agent.start()
    try:
        sim.wait_for(TEMPLATE, timeout=60)
        # The updater holds its lock and waits on the server; the report neither waits for it nor
        # keeps it from finishing.
        r = agent.info("--json", timeout=60)
        assert r.returncode == 0, r.stderr
        assert json.loads(r.stdout.decode("utf-8"))["heldTemplate"]["exists"] is False
        assert running.poll() is None
    finally:
        result = running.wait(timeout=120)
    assert not result.timed_out
    assert agent.log_messages()[-1] == h.ENDED_LINE
    assert installed_answers(agent) == {"1": "false", "2": "true", "3": "false", "4": "true", "5": "false"}


# ----------------------------------------------------------------------------------------------
# Cannot report: exit 2 and one line
# ----------------------------------------------------------------------------------------------

def assert_refused(r, text: str) -> None:
    assert r.returncode == 2, (r.returncode, r.stdout, r.stderr)
    assert r.stdout == b""
    lines = [x for x in r.stderr.decode("utf-8", "replace").splitlines() if x.strip()]
    assert len(lines) == 1 and lines[0].startswith("kDHTInfo: ") and text in lines[0], lines


def test_unregistered_or_missing_install_folder(make_agent):
    agent = make_agent(log_folder=False)
    for setup in (lambda: agent.clear_registry(),
                  lambda: agent.write_registry(InstallationPath=agent.install_value + "-gone"),
                  lambda: agent.write_registry(InstallationPath=agent.install_value, view=64)):
        setup()
        for args in ([], ["--actions"], ["--actions", "--json"]):
            assert_refused(agent.info(*args), "install folder is not registered")
    assert not agent.exists("ApplicationLog")


def test_missing_or_unloadable_template(make_agent):
    agent = make_agent(log_folder=False)
    assert_refused(agent.info("--actions"), "no template is held on this machine")
    assert_refused(agent.info("--actions", r"C:\kdht-harness\no-such-reply.xml"),
                   r"template file not found: C:\kdht-harness\no-such-reply.xml")
    agent.write_bytes(MENU_REL, b"<dcmgetdeskheraldtemplate><templateid>1</templateid>")
    assert_refused(agent.info("--actions", "--json"), "cannot be loaded as XML")
    path, win = reply_file("No New Template, or anything that is not XML")
    try:
        assert_refused(agent.info("--actions", win), "cannot be loaded as XML")
    finally:
        path.unlink(missing_ok=True)
    assert_refused(agent.info("--action"), 'unknown argument "--action"')
    assert not agent.exists("ApplicationLog")
