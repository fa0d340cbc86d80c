"""What the template request, template processing and completion tests share: the request texts
the server must receive, the log lines of a post, the scheduler requests, and readers for the
files a run leaves (UTF-16 details files, sealed checksum files, processes of a sandbox)."""

from __future__ import annotations

import base64
import hashlib
import re
import time
import uuid
from pathlib import Path
from typing import Sequence

from kdht_testkit import harness as h

TEMPLATE = "wpdcmgetdeskheraldtemplate"
TESTTOOL = "wpdcmtesttoolgetdhtmpmemb"
SCRIPTS = "wpdcmscriptdetails"
DETAILS = "wpdcmtemplatedetails"
SUCCESS = "wpdcmregidtmplveriu"
FAILURE = "wpdcmtmplupdfailiu"

QUERY = "mmid=5678&sid=42&rid=1234&rty=RORI"
STAMP = r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d"
NO_NEW_TEMPLATE = h.sim.NO_NEW_TEMPLATE
BOM16 = b"\xff\xfe"

RUNNER_REL = r"kXPR\kINDHM.exe"
RSS_REL = r"kXPR\kRSSUpd.exe"
MENU_REL = r"kXPR\Herald\kDHMenu.xml"
SEAL_REL = r"kXPR\Herald\kDHMenu.dat"
STAGED_REL = r"kXPR\Herald\Pre_kDHMenu.xml"
STAGING_REL = r"kXPR\Herald\PreProcessScripts"

# Stand-ins without the runner: a run that installs a template then skips the runner's 5 s
# restart wait. Tests of the restart deploy it.
NO_RUNNER = ["kPopup.dll", "kRSSUpd.exe", "kDHM.exe", "kDwnJob.dll"]


# ----------------------------------------------------------------------------------------------
# Requests
# ----------------------------------------------------------------------------------------------

def template_request(tid: str = "0", tver: str = "0") -> str:
    return ("<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid><tmplatid>%s</tmplatid>"
            "<tmplatver>%s</tmplatver></wpdcmgetdeskheraldtemplate>" % (tid, tver))


def tool_request(tid: str) -> str:
    return ("<wpdcmtesttoolgetdhtmpmemb><mmid>5678</mmid><regid>1234</regid><tmplatid>%s</tmplatid>"
            "</wpdcmtesttoolgetdhtmpmemb>" % tid)


def script_details_request(ids: str) -> str:
    return "<wpdcmscriptdetails><memberid>5678</memberid><scriptid>%s</scriptid></wpdcmscriptdetails>" % ids


def template_details_request(tid: str) -> str:
    return "<wpdcmtemplatedetails><memberid>5678</memberid><batchid>%s</batchid></wpdcmtemplatedetails>" % tid


def success_report(tid: str, tver: str) -> re.Pattern:
    return re.compile(re.escape("<wpdcmregidtmplveriu><mmid>5678</mmid><siteid>42</siteid><regid>1234</regid>"
                                "<tempid>%s</tempid><tempver>%s</tempver><exever>%s</exever><scandt>"
                                % (tid, tver, h.project_version()))
                      + STAMP + re.escape(" </scandt></wpdcmregidtmplveriu>"))


def failure_report(tid: str, tver: str, reason: str) -> re.Pattern:
    return re.compile(re.escape("<wpdcmtmplupdfailiu><mmid>5678</mmid><siteid>42</siteid><regid>1234</regid>"
                                "<tempid>%s </tempid><tempver>%s</tempver><exever>%s</exever><scandt>"
                                % (tid, tver, h.project_version()))
                      + STAMP + re.escape("</scandt><faildesc>%s</faildesc></wpdcmtmplupdfailiu>" % reason))


def page_url(base: str, page: str) -> str:
    return "%stfr_%s.asp?%s" % (base, page, QUERY)


def _same(expected: str | re.Pattern, actual: str) -> bool:
    return expected.fullmatch(actual) is not None if isinstance(expected, re.Pattern) else expected == actual


def assert_posts(records: Sequence[dict], expected: Sequence[tuple[str, str | re.Pattern]]) -> None:
    """The recorded posts (downloads left out) are exactly these, in this order: each a POST of the
    body to /dh/tfr_<page>.asp with the agent's query."""
    posts = [r for r in records if r["page"] != "files"]
    got = [(r["method"], r["path"], r["body"]) for r in posts]
    assert len(posts) == len(expected), "posts: %r" % got
    for (method, path, body), (page, want) in zip(got, expected):
        assert (method, path) == ("POST", "/dh/tfr_%s.asp?%s" % (page, QUERY)), got
        assert _same(want, body), "%s body %r, expected %r" % (page, body, want)


def post_lines(base: str, page: str, body: str | re.Pattern, status: str | re.Pattern) -> list:
    """The log lines of one server request: the URL look-up, then the post and its reply."""
    return ["MSG : Getting URL from kScriptDNS.ini %s section " % page, "MSG : URL : " + base,
            _line("MSG : Webpost string : ", body), "MSG : Webpost url : " + page_url(base, page),
            _line("MSG : WebPost Return Status: ", status)]


def _line(prefix: str, value: str | re.Pattern) -> str | re.Pattern:
    if isinstance(value, re.Pattern):
        return re.compile(re.escape(prefix) + value.pattern, value.flags)
    return prefix + value


# ----------------------------------------------------------------------------------------------
# Scheduler requests
# ----------------------------------------------------------------------------------------------

def _schedule_detail(section: int, interval: str) -> str:
    return ("SectionName=%d,Executablename=kXPR\\kInDHM.exe,Parameter=SERVICE,StartTime=00:01,EndTime=23:59,"
            "Interval=%s,Weekdays=0,1,2,3,4,5,6" % (section, interval))


ADD_SCHEDULE_LINES = ["MSG : Schedule not found for kInDHM.exe", "MSG : Creating Schedule for kInDHM.exe",
                      "MSG : To Create schedule : " + _schedule_detail(1, "15"),
                      "MSG : To Create schedule : " + _schedule_detail(2, "0")]
SCHEDULE_FOUND_LINE = "MSG : Schedule found for kInDHM.exe : 1"
CLEAR_SCHEDULE_LINES = ["MSG : Creating Schedule for kInDHM.exe in kDHT_DeleteSection.ini",
                        "MSG : For Clearing schedule : " + _schedule_detail(1, "15"),
                        "MSG : For Clearing schedule : " + _schedule_detail(2, "0")]


def runner_sections() -> dict[str, dict[str, str]]:
    """The two request sections written for the runner (as read back from the INI file)."""
    base = {"ExecutableName": "kXPR\\kInDHM.exe", "Parameter": "SERVICE", "StartTime": "00:01",
            "EndTime": "23:59", "Weekdays": "0,1,2,3,4,5,6"}
    return {"1": {**base, "Interval": "15"}, "2": {**base, "Interval": "0"}}


def assert_requested(ini: h.IniFile | None) -> None:
    assert ini is not None, "request file missing"
    assert {name: {k: v for k, v in ini.items(name)} for name in ini.sections()} == runner_sections()


# ----------------------------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------------------------

def utf16_text(path: Path) -> str:
    """A file written as UTF-16 little-endian with byte-order mark, as text."""
    data = path.read_bytes()
    assert data[:2] == BOM16, "%s does not start with the UTF-16 LE byte-order mark: %r" % (path, data[:8])
    return data[2:].decode("utf-16-le")


def md5_text(path: Path) -> str:
    return hashlib.md5(path.read_bytes()).hexdigest().upper()


def sealed_checksum(seal_path: Path) -> str:
    """The checksum text a sealed checksum file holds (its encoded word decoded)."""
    text = seal_path.read_bytes().decode("ascii")
    assert "\r" not in text and "\n" not in text, text
    m = re.fullmatch(r"<seal>=\?utf-8\?B\?([A-Za-z0-9+/=]*)\?=</seal>", text, re.IGNORECASE)
    assert m, "not a sealed checksum: %r" % text
    return base64.b64decode(m.group(1)).decode("ascii")


def assert_sealed(xml_path: Path) -> None:
    """The .dat beside the file holds the file's MD5 checksum."""
    seal = xml_path.with_name(xml_path.name.split(".")[0] + ".dat")
    assert seal.is_file(), "no seal %s" % seal
    assert sealed_checksum(seal).strip().upper() == md5_text(xml_path), xml_path


def files_under(folder: Path) -> list[str]:
    """The files below a folder, as sorted relative paths with "/"."""
    if not folder.is_dir():
        return []
    return sorted(str(p.relative_to(folder)).replace("\\", "/") for p in folder.rglob("*") if p.is_file())


def post_log_files(agent: h.Agent) -> list[Path]:
    folder = agent.path("XPRPostLogs")
    return sorted(folder.iterdir()) if folder.is_dir() else []


# ----------------------------------------------------------------------------------------------
# Processes and registry
# ----------------------------------------------------------------------------------------------

def start_program(agent: h.Agent, rel: str, *args: str) -> h.Running:
    """Starts a program of the sandbox in the background (a stand-in that then waits)."""
    return h.Running([str(h.WINE_RUN), agent.win(rel), *args], h.wine_env())


def sandbox_processes(agent: h.Agent, short_install: str | None = None) -> dict[int, str]:
    """The running Wine processes whose image lies in the sandbox: Unix pid -> image name. Programs
    that the run starts by the short form of the install path are found with `short_install`."""
    out = {}
    pids = set(h.processes_under(agent.install_value))
    if short_install:
        pids |= set(h.processes_under(short_install))
    for pid in sorted(pids):
        try:
            cmd = Path("/proc/%d/cmdline" % pid).read_bytes().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if h._alive(pid):
            out[pid] = cmd.strip('"').rsplit("\\", 1)[-1]
    return out


def wait_until(predicate, timeout: float, interval: float = 0.1) -> bool:
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def wait_for_starts(agent: h.Agent, name: str, count: int, timeout: float = 20.0) -> list[h.RunnerStart]:
    wait_until(lambda: len(agent.runner_starts(name)) >= count, timeout)
    return agent.runner_starts(name)


UNINSTALL_32 = r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
UNINSTALL_64 = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def _key_exists(key: str) -> bool:
    return h.wine("reg", "query", key, timeout=60).returncode == 0


class InstalledSoftware:
    """Uninstall entries made for one test (32-bit view unless given), removed by remove(); an
    Uninstall key that only exists because of them goes too, so that the prefix is left as found."""

    def __init__(self) -> None:
        self.keys: list[str] = []
        self.parents: list[str] = []

    def add(self, display_name: str, view: int = 32) -> str:
        parent = UNINSTALL_32 if view == 32 else UNINSTALL_64
        if parent not in self.parents and not _key_exists(parent):
            self.parents.append(parent)
        key = "%s\\kDHT-e2e-%s" % (parent, uuid.uuid4().hex[:12])
        h.import_reg('[%s]\n"DisplayName"="%s"\n\n' % (key, h._reg_text(display_name)))
        self.keys.append(key)
        return key

    def remove(self) -> None:
        if self.keys or self.parents:
            h.import_reg("".join("[-%s]\n\n" % k for k in self.keys + self.parents))
            self.keys, self.parents = [], []


def unique_name(prefix: str) -> str:
    return "%s %s" % (prefix, uuid.uuid4().hex[:8])
