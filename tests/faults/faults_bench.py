"""The fault suite's bench: one sandboxed agent and one simulator reused for many cases, reset
between cases, and the checks that every case makes (the run ended, nothing was written outside
the agent's folder, the installed template agrees with its seal, the request files are INI).

Runs cost about a second each under a warm wineserver, so a bench is made once per test module
and a case only clears what the previous one left."""

from __future__ import annotations

import base64
import hashlib
import os
import random
import re
import shutil
import socket
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

from kdht_testkit import harness as h

sim = h.sim

# The randomized sweeps (kill points, hostile edits). `make test` runs a sample of each, drawn
# from a seed that changes per run and is printed at the end (KDHT_SWEEP_SEED replays one);
# `make test-full` (KDHT_SWEEP=full) runs every case. The same seed gives the same cases in both:
# the sample is the first part of the whole sweep.
SWEEP_FULL = os.environ.get("KDHT_SWEEP", "quick") == "full"
SWEEP_SEED = int(os.environ.get("KDHT_SWEEP_SEED") or random.SystemRandom().randrange(2 ** 32))
# name -> (cases run, cases in the whole sweep), for the summary
SWEEPS: dict[str, tuple[int, int]] = {}


def sweep_size(name: str, whole: int, sample: int) -> int:
    """How many cases of a sweep of `whole` cases this run takes."""
    n = whole if SWEEP_FULL else min(sample, whole)
    SWEEPS[name] = (n, whole)
    return n


ROOT = r"C:\KFAULTS"
TEMPLATE_PAGE = "wpdcmgetdeskheraldtemplate"
TESTTOOL_PAGE = "wpdcmtesttoolgetdhtmpmemb"
SCRIPT_PAGE = "wpdcmscriptdetails"
DETAILS_PAGE = "wpdcmtemplatedetails"
SUCCESS_PAGE = "wpdcmregidtmplveriu"
FAILURE_PAGE = "wpdcmtmplupdfailiu"
ICON_NAME = "herald.ico"
ICON_BYTES = bytes(range(256)) * 24  # 6 KiB that no text conversion leaves alone

ENDED = h.ENDED_LINE
CRASH_MARKERS = (b"Unhandled exception", b"unhandled exception", b"Unhandled page fault", b"Backtrace:",
                 b"wine: Assertion", b"Unhandled stack overflow")
# Server faults: time-outs shortened for the product through the variable its HTTP wrapper reads.
SHORT_TIMEOUT_ENV = {"KDHT_HTTP_TIMEOUT_MS": "1500"}


# ----------------------------------------------------------------------------------------------
# Templates
# ----------------------------------------------------------------------------------------------

def icon_url(server: sim.Simulator, name: str = ICON_NAME) -> str:
    return "%s/files/%s" % (server.url, name)


def template(version: int, icon: str = "", template_id: int = 501, root: str = "dcmgetdeskheraldtemplate",
             script_action: bool = True, action_id: str = "12", temipds: str = "7", scriptids: str = "101,102",
             extra_actions: str = "") -> str:
    """A template as the server sends it: one plain action with filters, one script action with
    its scripts, one script template and the e-mail settings."""
    script = ""
    if script_action:
        script = ('<action name="Execute XPR Script" id="%s"><servicepack>ALL$*$ALL</servicepack>'
                  "<softwares>*&amp;*$*ALL*&amp;*$*</softwares><services>*&amp;*$*ALL*&amp;*$*</services>"
                  "<scriptids>%s</scriptids><temipds>%s</temipds><emailmsgsubject>Done</emailmsgsubject>"
                  "<executionstatus>2</executionstatus><emailgroupids>4,5</emailgroupids><emailreqd>1</emailreqd>"
                  "</action>" % (_attr(action_id), _text(scriptids), _text(temipds)))
    return ("<%s><templateid>%d</templateid><templatever>%d</templatever><icon>%s</icon><rsssites></rsssites>"
            "<rssupd>0</rssupd>"
            '<action name="Open Portal" id="11"><servicepack>ALL$*$ALL</servicepack>'
            "<softwares>*&amp;*$*ALL*&amp;*$*</softwares><filtersatisfied>x</filtersatisfied></action>"
            "%s%s</%s>" % (root, template_id, version, _text(icon), script, extra_actions, root))


def _text(value: str) -> str:
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _attr(value: str) -> str:
    # Line ends and tabs as character references: written raw, a parser turns them into blanks.
    return _text(value).replace('"', "&quot;").replace("\n", "&#10;").replace("\r", "&#13;").replace("\t", "&#9;")


def template_version(xml: bytes) -> str | None:
    text = decode_xml_file(xml)
    m = re.search(r"<templatever>(.*?)</templatever>", text, re.DOTALL)
    return m.group(1) if m else None


def decode_xml_file(data: bytes) -> str:
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", "replace")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8", "replace")
    if len(data) > 1 and data[1:2] == b"\0":
        return data.decode("utf-16-le", "replace")
    return data.decode("utf-8", "replace")


class CurrentTemplate:
    """A server that knows which template the machine should hold: it answers "No New Template"
    when the request names that identifier and version, and the template otherwise."""

    def __init__(self, server: sim.Simulator, version: int = 1, **template_kw):
        self.server = server
        self.version = version
        self.template_kw = template_kw
        server.set_responder(TEMPLATE_PAGE, self)

    def xml(self) -> str:
        kw = dict(self.template_kw)
        kw.setdefault("icon", icon_url(self.server))
        return template(self.version, **kw)

    def __call__(self, body: str):
        m = re.search(r"<tmplatid>(.*?)</tmplatid><tmplatver>(.*?)</tmplatver>", body)
        if m and m.group(1) == str(self.template_kw.get("template_id", 501)) and m.group(2) == str(self.version):
            return sim.NO_NEW_TEMPLATE
        return self.xml()


# ----------------------------------------------------------------------------------------------
# Checks
# ----------------------------------------------------------------------------------------------

_SEAL = re.compile(rb"<seal>=\?utf-8\?B\?([A-Za-z0-9+/]*={0,2})\?=</seal>")


def seal_checksum(data: bytes) -> str | None:
    """The checksum sealed in a .dat file, None when the file is not a seal."""
    m = _SEAL.fullmatch(data.strip())
    if not m:
        return None
    try:
        return base64.b64decode(m.group(1), validate=True).decode("ascii")
    except (ValueError, UnicodeDecodeError):
        return None


def seal_path(xml: Path) -> Path:
    return xml.with_name(xml.name.split(".")[0] + ".dat")


def seal_problem(xml: Path) -> str | None:
    """None when the file and its seal agree; otherwise what is wrong."""
    if not xml.is_file():
        return "%s is missing" % xml.name
    dat = seal_path(xml)
    if not dat.is_file():
        return "%s has no seal" % xml.name
    sealed = seal_checksum(dat.read_bytes())
    if sealed is None:
        return "%s is not a seal: %r" % (dat.name, dat.read_bytes()[:200])
    actual = hashlib.md5(xml.read_bytes()).hexdigest().upper()
    if sealed.strip().upper() != actual:
        return "%s: sealed %s, file %s" % (xml.name, sealed, actual)
    return None


_INI_LINE = re.compile(r"^(?:\s*|\s*[;#].*|\s*\[[^\]\r\n]+\]\s*|[^=\[\r\n][^=\r\n]*=[^\r\n]*)$")


REQUEST_KEYS = ("executablename", "parameter", "starttime", "endtime", "interval", "weekdays")


def ini_problems(path: Path, required: Sequence[str] = ()) -> list[str]:
    """What keeps a request file from being a well-formed INI file: lines that are neither blank,
    a comment, a section header nor key=value; keys before any section; a section or key twice;
    a section without one of the `required` keys (lower case)."""
    data = path.read_bytes()
    problems = []
    if b"\0" in data:
        problems.append("NUL bytes")
    text = data.decode("cp1252", "replace")
    if text and not text.endswith("\n"):
        problems.append("last line has no line end: %r" % text[-80:])
    sections: set[str] = set()
    keys: set[str] = set()
    seen: dict[str, set[str]] = {}
    current = None
    for n, line in enumerate(text.replace("\r\n", "\n").split("\n"), 1):
        if not _INI_LINE.match(line):
            problems.append("line %d: %r" % (n, line))
            continue
        s = line.strip()
        if s.startswith("["):
            current = s[1:-1].strip().lower()
            if current in sections:
                problems.append("section [%s] twice" % current)
            sections.add(current)
            keys = seen.setdefault(current, set())
        elif "=" in s and not s.startswith((";", "#")):
            if current is None:
                problems.append("line %d: key outside a section" % n)
            k = s.split("=", 1)[0].strip().lower()
            if k in keys:
                problems.append("key %s twice in [%s]" % (k, current))
            keys.add(k)
    for name, have in seen.items():
        missing = [k for k in required if k not in have]
        if missing:
            problems.append("section [%s] lacks %s" % (name, ", ".join(missing)))
    return problems


# ----------------------------------------------------------------------------------------------
# Writes outside the agent's folder
# ----------------------------------------------------------------------------------------------

def canary_dir() -> Path:
    """A folder outside the Wine prefix's drive C: that hostile Z:\\ paths aim at."""
    return h.wineprefix().parent / "faults-canary"


def canary_win() -> str:
    return "Z:" + str(canary_dir()).replace("/", "\\")


# Wine's own churn: temporary files, the URL cache of the system download, the registration
# tools' logs. Everything else under drive C: counts.
_CHURN = [re.compile(p, re.IGNORECASE) for p in (
    r"^users/[^/]+/temp(/|$)",
    r"^users/[^/]+/appdata/local/temp(/|$)",
    r"^users/[^/]+/appdata/local/microsoft/windows/(inetcache|inetcookies|history|temporary internet files)(/|$)",
    r"^users/[^/]+/(appdata/roaming/microsoft/windows/)?cookies(/|$)",
    r"^users/[^/]+/appdata/local/microsoft/windows/webcache(/|$)",
    r"^windows/temp(/|$)",
    r"^windows/(inf|logs)/[^/]*\.log$",
    r"^windows/system32/wbem/logs?(/|$)",
    r"^kdht-harness(/|$)",
)]


@dataclass
class Snapshot:
    """Names, sizes and modification times of every file and folder under drive C: (and the canary
    folder), except those inside `inside` (the agent's folder) and Wine's own churn."""
    entries: dict[str, tuple[int, int, bool]]

    @classmethod
    def take(cls, inside: Path) -> "Snapshot":
        entries: dict[str, tuple[int, int, bool]] = {}
        drive = h.drive_c()
        inside_rel = os.path.relpath(inside, drive).replace(os.sep, "/").lower()
        for base, label in ((drive, ""), (canary_dir(), "<canary>/")):
            if not base.exists():
                continue
            for root, dirs, files in os.walk(base):
                rel_root = os.path.relpath(root, base).replace(os.sep, "/")
                rel_root = "" if rel_root == "." else rel_root + "/"
                keep = []
                for d in dirs:
                    rel = rel_root + d
                    if label == "" and (rel.lower() == inside_rel or _churn(rel)):
                        continue
                    keep.append(d)
                    entries[label + rel + "/"] = (0, 0, True)
                dirs[:] = keep
                for f in files:
                    rel = rel_root + f
                    if label == "" and _churn(rel):
                        continue
                    try:
                        st = os.lstat(os.path.join(root, f))
                    except OSError:
                        continue
                    entries[label + rel] = (st.st_size, st.st_mtime_ns, False)
        return cls(entries)

    def changes(self, after: "Snapshot") -> list[str]:
        out = []
        for name, v in after.entries.items():
            old = self.entries.get(name)
            if old is None:
                out.append("new: " + name)
            elif not v[2] and old != v:
                out.append("changed: " + name)
        out += ["removed: " + n for n in self.entries if n not in after.entries]
        return sorted(out)


def _churn(rel: str) -> bool:
    return any(p.search(rel) for p in _CHURN)


# What a run may write inside the agent's folder (paths relative to it, "/" separated).
_ALLOWED_INSIDE = [re.compile(p, re.IGNORECASE) for p in (
    r"^kXPR/Herald(/kDHMenu\.(xml|dat))?$",
    r"^kXPR/Herald/Icon(/[^/]+)?$",
    r"^kXPR/Herald/Action_[^/]*_XPR(/XPR_(Script|Template_[^/]+)\.(xml|dat))?$",
    r"^kXPR/Herald/PreProcessScripts(/Action_[^/]*_XPR(/XPR_(Script|Template_[^/]+)\.(xml|dat))?)?$",
    r"^kXPR/Herald/Pre_kDHMenu\.xml$",
    r"^Herald(/[^/]+)?$",
    r"^ApplicationLog(/kXPRLog(/kDHT\.log)?)?$",
    r"^Scheduler INI(/kDHT_(Add|Delete)Section\.ini)?$",
    r"^kXPR/kDHTStatus\.ini$",
    r"^XPRPostLogs(/wpdcm(regidtmplveriu|tmplupdfailiu)_N_[^/]*\.txt)?$",
    r"^Configuration$",
    r"^kXPR/k(INDHM|DHM|RSSUpd)-runs\.log$",
    r"^kXPR/kPopup-calls\.log$",
    r"^kDwnJob-calls\.log$",
)]


def unexpected_inside(install: Path, ignore: Iterable[str] = ()) -> list[str]:
    """Paths in the agent's folder that no run writes (relative, "/" separated), apart from the
    deployed binaries and the configuration the bench put there (`ignore`)."""
    ignore = {i.lower() for i in ignore}
    out = []
    for root, dirs, files in os.walk(install):
        for name in dirs + files:
            rel = os.path.relpath(os.path.join(root, name), install).replace(os.sep, "/")
            if rel.lower() in ignore or any(p.fullmatch(rel) for p in _ALLOWED_INSIDE):
                continue
            out.append(rel)
    return sorted(out)


# ----------------------------------------------------------------------------------------------
# The bench
# ----------------------------------------------------------------------------------------------

@dataclass
class Pass:
    """One run of kDHT.exe and the part of the log it wrote."""
    result: h.RunResult
    messages: list[str]
    outside: list[str] = field(default_factory=list)   # writes outside the agent's folder

    @property
    def ended(self) -> bool:
        return bool(self.messages) and self.messages[-1] == ENDED

    def crashed(self) -> list[str]:
        return [m.decode("ascii", "replace") for m in CRASH_MARKERS if m in self.result.stderr]

    def reason(self) -> str | None:
        """The failure reason the run logged: the "sStatus" of a due report, or "Update failed"."""
        for m in reversed(self.messages):
            if m.startswith("MSG : sStatus : ") and m[len("MSG : sStatus : "):].strip():
                return m[len("MSG : sStatus : "):]
            if m == "MSG : Update failed":
                return "Update failed"
        return None

    def has(self, prefix: str) -> bool:
        return any(m.startswith(prefix) for m in self.messages)

    def tail(self, n: int = 40) -> str:
        return "\n".join("  " + m[:300] for m in self.messages[-n:])

    def stderr_tail(self) -> str:
        return self.result.stderr[-1500:].decode("utf-8", "replace")


class Bench:
    """One sandboxed agent C:\\KFAULTS\\<name> and one simulator, reused for many cases.

    The job download stand-in is deployed, registered once and told to fail at once
    (kDwnJob.fail), so that an icon that cannot be fetched costs no registration and no wait; the
    runner stand-in is not deployed unless asked for (its restart waits five seconds)."""

    def __init__(self, name: str, runner: bool = False, root: str = ROOT):
        self.sim = sim.Simulator().start()
        standins = ["kDwnJob.dll"] + (["kINDHM.exe"] if runner else [])
        self.agent = h.Agent.create(name, root=root, sim_url=self.sim.base_url(), standins=standins,
                                    register_popup=False)
        self.agent.write_bytes("kDwnJob.fail", b"")
        self._register_job_download(True)
        canary_dir().mkdir(parents=True, exist_ok=True)
        self.reset()

    def _register_job_download(self, register: bool) -> None:
        args = ["/s"] if register else ["/u", "/s"]
        h.wine(h.regsvr32(), *args, self.agent.win("kDwnJob.dll"), timeout=60)

    # -- state -------------------------------------------------------------------------------------
    def reset(self, keep_template: bool = False) -> None:
        """Back to an agent that has never run (keep_template: keeps the installed template, its
        script folders and icon): processes ended, the run's files removed, the simulator cleared."""
        self.agent.kill_processes()
        a = self.agent
        if not keep_template:
            for rel in (r"kXPR\Herald", "Herald"):
                _rmtree(a.path(rel))
        for rel in ("XPRPostLogs",):
            _rmtree(a.path(rel))
        for rel in (h.LOG_REL, h.STATUS_INI_REL, h.ADD_INI_REL, h.DELETE_INI_REL, r"kXPR\kINDHM-runs.log",
                    "kDwnJob-calls.log"):
            _unlink(a.path(rel))
        self.sim.reset()
        self.sim.add_file(ICON_NAME, ICON_BYTES)
        self.agent.write_script_dns(self.sim.base_url())

    def cleanup(self) -> None:
        self.agent.kill_processes()
        self._register_job_download(False)
        self.agent.cleanup(remove_folder=True)
        self.sim.stop()

    # -- runs --------------------------------------------------------------------------------------
    def run(self, args: str = "", timeout: float = 60.0, env: dict[str, str] | None = None,
            watch_outside: bool = True) -> Pass:
        before = Snapshot.take(self.agent.install) if watch_outside else None
        offset = len(self.agent.log_bytes())
        result = self.agent.run(args, timeout=timeout, env=env, check_timeout=False)
        p = Pass(result, self.messages_since(offset))
        if before is not None:
            p.outside = before.changes(Snapshot.take(self.agent.install))
        return p

    def messages_since(self, offset: int) -> list[str]:
        data = self.agent.log_bytes()
        if len(data) < offset:  # replaced because of its size
            offset = 0
        return [line.message for line in h.parse_log(data[offset:])]

    # -- what a run left ---------------------------------------------------------------------------
    @property
    def herald(self) -> Path:
        return self.agent.path(r"kXPR\Herald")

    @property
    def menu(self) -> Path:
        return self.herald / "kDHMenu.xml"

    def template_problem(self) -> str | None:
        """None when an installed template agrees with its seal and so do all its script files."""
        problem = seal_problem(self.menu)
        if problem:
            return problem
        for xml in sorted(self.herald.glob("Action_*_XPR/*.xml")):
            problem = seal_problem(xml)
            if problem:
                return problem
        return None

    def missing_parts(self) -> list[str]:
        """For the bench's standard template (see template()): the script files of its script
        action and its icon, which a usable installed template comes with."""
        action = self.herald / "Action_12_XPR"
        out = [n for n in ("XPR_Script.xml", "XPR_Template_7.xml") if not (action / n).is_file()]
        icon = self.herald / "Icon" / ICON_NAME
        if not icon.is_file() or icon.read_bytes() != ICON_BYTES:
            out.append("Icon/" + ICON_NAME)
        return out

    def staging_left(self) -> list[str]:
        """Staged content left behind (an empty staging folder is what "No New Template" leaves)."""
        out = []
        if (self.herald / "Pre_kDHMenu.xml").exists():
            out.append("Pre_kDHMenu.xml")
        staging = self.herald / "PreProcessScripts"
        if staging.exists():
            out += ["PreProcessScripts/" + str(p.relative_to(staging)) for p in staging.rglob("*")]
        return out

    def request_file_problems(self) -> list[str]:
        out = []
        folder = self.agent.path("Scheduler INI")
        for p in sorted(folder.glob("*")) if folder.is_dir() else []:
            out += ["%s: %s" % (p.name, x) for x in ini_problems(p, REQUEST_KEYS)]
        return out

    def unexpected_inside(self) -> list[str]:
        deployed = ["kXPR", "Configuration/kScriptDNS.ini", "kDwnJob.dll", "kDwnJob.fail"]
        deployed += ["kXPR/" + n for n in ("kDHT.exe", "KGnMD5.dll", "kINDHM.exe")]
        return unexpected_inside(self.agent.install, deployed)

    # -- assertions --------------------------------------------------------------------------------
    def assert_ended(self, p: Pass, what: str = "run") -> None:
        assert not p.result.timed_out, "%s did not end in time; log tail:\n%s" % (what, p.tail())
        assert not p.crashed(), "%s crashed (%s):\n%s" % (what, p.crashed(), p.stderr_tail())
        assert p.result.returncode == 0, "%s exit code %r:\n%s\n%s" % (what, p.result.returncode, p.tail(),
                                                                         p.stderr_tail())
        assert p.ended, "%s has no end line; log tail:\n%s" % (what, p.tail())
        assert p.outside == [], "%s wrote outside the agent's folder: %s" % (what, p.outside[:20])

    def serve_and_install(self, complete: bool = False) -> CurrentTemplate:
        """A clean machine, a server that offers version 1 of its template (see CurrentTemplate), and
        one run that installs it; complete: the run must also have installed every part."""
        self.reset()
        current = CurrentTemplate(self.sim, version=1)
        p = self.run()
        self.assert_ended(p, "first run")
        self.assert_installed(p, version=1, complete=complete)
        return current

    def assert_installed(self, p: Pass | None = None, version: int | None = None, complete: bool = False) -> None:
        """A template that agrees with its seal, its script files sealed, no staged content left;
        version: its templatever; complete: the standard template with all its parts."""
        problem = self.template_problem()
        assert problem is None, "no usable template: %s%s" % (problem, "\n" + p.tail() if p else "")
        if version is not None:
            assert template_version(self.menu.read_bytes()) == str(version)
        assert self.staging_left() == [], self.staging_left()
        if complete:
            assert self.missing_parts() == [], "the installed template lacks %s%s" % (
                self.missing_parts(), "\n" + p.tail() if p else "")


def _rmtree(p: Path) -> None:
    if p.exists():
        for q in [p, *p.rglob("*")]:
            try:
                os.chmod(q, 0o755 if q.is_dir() else 0o644)
            except OSError:
                pass
        shutil.rmtree(p, ignore_errors=True)


def _unlink(p: Path) -> None:
    try:
        os.chmod(p, 0o644)
    except OSError:
        pass
    p.unlink(missing_ok=True)


def closed_port_url() -> str:
    """A loopback URL where nothing listens (a port just released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return "http://127.0.0.1:%d/dh/" % port


# ----------------------------------------------------------------------------------------------
# What a run under a fault may leave: a template that the next run trusts is a whole one, and a
# failure is never reported as a success
# ----------------------------------------------------------------------------------------------

_HELD = re.compile(r"<tmplatid>(.*?)</tmplatid><tmplatver>(.*?)</tmplatver>")


def action_count(text: str) -> int:
    return len(re.findall(r"<action[\s>/]", text))


def whole_template_problem(bench: Bench, served_xml: str) -> str | None:
    """None when the installed template is a whole one: well-formed, named, every action of what
    was served, and the script files of its script action present."""
    import xml.etree.ElementTree as ET
    try:
        text = decode_xml_file(bench.menu.read_bytes())
        root = ET.fromstring(re.sub(r"^<\?xml[^>]*\?>", "", text.lstrip()))
    except (OSError, ET.ParseError) as e:
        return "not a whole document: %s" % e
    if root.find("templateid") is None or root.find("templatever") is None:
        return "no identifier or version"
    if len(root.findall("action")) != action_count(served_xml):
        return "%d of %d actions" % (len(root.findall("action")), action_count(served_xml))
    missing = [m for m in bench.missing_parts() if not m.startswith("Icon/")]
    return "lacks %s" % missing if missing else None


def check_fault_outcome(bench: Bench, p: Pass, served: CurrentTemplate, what: str) -> str | None:
    """The properties of what a faulted run `p` left, for the template version `served` offered.
    Returns the version the machine holds and trusts, or None when it holds none it trusts."""
    trusted = bench.template_problem() is None
    held = template_version(bench.menu.read_bytes()) if trusted else None
    if trusted:
        # A seal vouches only for a whole template (the staged one was the served text).
        problem = whole_template_problem(bench, served.xml())
        assert problem is None, "%s: a sealed template that is not whole: %s\n%s" % (what, problem, p.tail())
    pages = [r["page"] for r in bench.sim.requests()]
    if SUCCESS_PAGE in pages:
        assert held == str(served.version), "%s: success reported, but the machine holds %r\n%s" % (
            what, held, p.tail())
    return held


def check_next_run(bench: Bench, served: CurrentTemplate, held: str | None, what: str) -> None:
    """With the fault gone, the next run names what the faulted run left (its version when
    trusted, else 0/0) and ends with the served template installed, whole and sealed."""
    bench.sim.reset()
    bench.sim.add_file(ICON_NAME, ICON_BYTES)
    bench.sim.set_responder(TEMPLATE_PAGE, served)
    p = bench.run(watch_outside=False)
    bench.assert_ended(p, what + ", next run")
    asked = [_HELD.search(r["body"]) for r in bench.sim.requests(TEMPLATE_PAGE)]
    assert asked and asked[0], "%s, next run: no template request\n%s" % (what, p.tail())
    named = (asked[0].group(1), asked[0].group(2))
    expected = ("0", "0") if held is None else (str(served.template_kw.get("template_id", 501)), held)
    assert named == expected, "%s, next run named %s, expected %s\n%s" % (what, named, expected, p.tail())
    bench.assert_installed(p, version=served.version)
    assert whole_template_problem(bench, served.xml()) is None, p.tail()
