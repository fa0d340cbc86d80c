"""Runs the real kDHT.exe under Wine in a sandboxed agent install, against the management-server
simulator (tools/mgmt-sim/sim.py). Used by the end-to-end tests, the fault suite, the demo and the bench.

    from kdht_testkit.harness import Agent, sim
    with sim.Simulator() as server:
        agent = Agent.create("T1", sim_url=server.base_url())
        result = agent.run("DH", timeout=60)
        agent.assert_log_sequence(["MSG : Application started", "MSG : Application Ended"])
        agent.cleanup()

Everything lives in the Wine prefix $WINEPREFIX (default <repo>/build/wineprefix, which both builds
share); the binaries come from $KDHT_BUILD/bin (default <repo>/build/win32/bin, the shipped i686
build). 32-bit programs run through the WoW64 of Wine's 64-bit loader, with the 32-bit DLLs that
tools/wine32/setup.sh unpacks ($WINEDLLPATH; tools/wine-run.sh finds the cached set-up itself).
"""

from __future__ import annotations

import importlib.util
import dataclasses
import itertools
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath
from typing import Iterable, Sequence

REPO_ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = REPO_ROOT / "tools" / "wine-run.sh"
SIM_PATH = REPO_ROOT / "tools" / "mgmt-sim" / "sim.py"


DEMO_PATH = REPO_ROOT / "tools" / "demo" / "demo.py"


def load_script(name: str, path: Path):
    """A tool script of the repository (not a package) imported as module `name`, once a process."""
    if name in sys.modules:
        return sys.modules[name]
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def load_demo():
    """tools/demo/demo.py, whose passes of the example the suites run too."""
    return load_script("kdht_demo", DEMO_PATH)


sim = load_script("mgmt_sim", SIM_PATH)
PAGES = sim.PAGES

REG_KEY = r"SOFTWARE\VORNOD"
REG_KEY_32_NATIVE = r"SOFTWARE\Wow6432Node\VORNOD"  # where the 32-bit view lives on 64-bit Windows
REG_VALUE_NAMES = ("InstallationPath", "RegID", "MemberID", "SiteID", "Type")
DEFAULT_IDENTITY = {"RegID": "1234", "MemberID": "5678", "SiteID": "42", "Type": "RORI"}

BINARIES = ("kDHT.exe", "KGnMD5.dll", "kPopup.dll", "kDwnJob.dll", "kINDHM.exe", "kRSSUpd.exe", "kDHM.exe")
# Where each binary goes in a deployed agent, relative to the install folder.
LAYOUT = {
    "kDHT.exe": r"kXPR\kDHT.exe",
    "KGnMD5.dll": r"kXPR\KGnMD5.dll",
    "kPopup.dll": r"kXPR\kPopup.dll",
    "kINDHM.exe": r"kXPR\kINDHM.exe",
    "kRSSUpd.exe": r"kXPR\kRSSUpd.exe",
    "kDHM.exe": r"kXPR\kDHM.exe",
    "kDwnJob.dll": r"kDwnJob.dll",
}
POPUP_PROGID_KEY = r"HKEY_LOCAL_MACHINE\Software\Classes\kPopup.Display"
# The read-only state report, run from beside kDHT.exe (it loads KGnMD5.dll from its own folder).
INFO_EXE = "kDHTInfo.exe"
INFO_REL = r"kXPR\kDHTInfo.exe"

LOG_REL = r"ApplicationLog\kXPRLog\kDHT.log"
STATUS_INI_REL = r"kXPR\kDHTStatus.ini"
ADD_INI_REL = r"Scheduler INI\kDHT_Addsection.ini"
DELETE_INI_REL = r"Scheduler INI\kDHT_DeleteSection.ini"
SCRIPT_DNS_REL = r"Configuration\kScriptDNS.ini"
POPUP_RECORD_REL = r"kXPR\kPopup-calls.log"

BANNER = "*" * 85


# ----------------------------------------------------------------------------------------------
# Locations and Wine
# ----------------------------------------------------------------------------------------------

def build_dir() -> Path:
    p = Path(os.environ.get("KDHT_BUILD") or REPO_ROOT / "build" / "win32")
    return p if p.is_absolute() else REPO_ROOT / p


def other_build_dir() -> Path:
    """The build of the other width beside the one under test (build/win32 <-> build/win64)."""
    here = build_dir()
    return here.parent / ("win64" if here.name == "win32" else "win32")


def bin_dir() -> Path:
    return build_dir() / "bin"


def binary(name: str) -> Path:
    return bin_dir() / name


def wineprefix() -> Path:
    p = Path(os.environ.get("WINEPREFIX") or REPO_ROOT / "build" / "wineprefix")
    return p if p.is_absolute() else REPO_ROOT / p


def drive_c() -> Path:
    return wineprefix() / "drive_c"


def wine_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = dict(os.environ)
    env["WINEPREFIX"] = str(wineprefix())
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    if extra:
        env.update(extra)
    return env


# Now and then (about once in 2,500 starts here) Wine's loader gives up before any Windows code
# runs: exit code 1 within a few milliseconds and nothing on stdout or stderr. A Windows program
# cannot have started, run and ended that fast, so such a start is made once more.
LOADER_FAILURE_SECONDS = 0.03


def loader_gave_up(returncode: int | None, elapsed: float, out: bytes, err: bytes) -> bool:
    return returncode == 1 and elapsed < LOADER_FAILURE_SECONDS and not out and not err


# Starts of Wine's own tools and of kDHT.exe that Wine's loader gave up (each made once more);
# the suites print them on a line of their own.
LOADER_RETRIES: list[str] = []


# Wine prints this when it could not create the 32-bit program's process at all ("Application
# could not be started, or no application associated with the specified file. ShellExecuteEx
# failed: Internal error."), on standard output as the runs here show it, so both streams are
# looked at. The program itself, windowless, writes to neither.
WINE_START_ERROR = b"ShellExecuteEx failed"
# Starts of kDHT.exe that provably never reached the program (Wine's own start error and not
# one log line written), each made once more; the suites print them on a line of their own.
START_RETRIES: list[str] = []


def wine_could_not_start(result: "RunResult") -> bool:
    return WINE_START_ERROR in result.stdout or WINE_START_ERROR in result.stderr


# Now and then (seen once in several thousand starts here) the Linux side of Wine's loader fails
# as the process exits, after the Windows program has returned: glibc's ld.so prints this and
# exits 127, which replaces the program's own exit code.
WINE_EXIT_ERROR = b"Inconsistency detected by ld.so"
# Runs whose program provably ended as it should (its log's normal end line written, no crash
# line) but whose exit code Wine's loader lost that way; the suites print them on a line of their
# own. Any other run with that message stands as it ended and fails its test.
EXIT_FAILURES: list[str] = []


def wine_failed_at_exit(result: "RunResult") -> bool:
    return result.returncode == 127 and WINE_EXIT_ERROR in result.stderr


def wine(*args: str, timeout: float = 120.0, check: bool = False, input: bytes | None = None,
         env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Runs one Windows program (and waits for it) through tools/wine-run.sh."""
    for attempt in (1, 2):
        started = time.monotonic()
        r = subprocess.run([str(WINE_RUN), *args], env=wine_env(env), input=input, capture_output=True,
                           timeout=timeout)
        elapsed = time.monotonic() - started
        if attempt == 1 and loader_gave_up(r.returncode, elapsed, r.stdout, r.stderr):
            LOADER_RETRIES.append("%s: exit code 1 after %.3f s, nothing said" % (" ".join(args), elapsed))
            continue
        break
    if check:
        r.check_returncode()
    return r


def ensure_prefix(timeout: float = 300.0) -> Path:
    """Creates the Wine prefix when it is missing."""
    prefix = wineprefix()
    if not (prefix / "system.reg").is_file() or not (drive_c() / "windows" / "system32").is_dir():
        prefix.mkdir(parents=True, exist_ok=True)
        wine("wineboot", "-i", timeout=timeout)
        deadline = time.monotonic() + 60
        while not (prefix / "system.reg").is_file() and time.monotonic() < deadline:
            time.sleep(0.2)
    return prefix


def _wineserver() -> str:
    for cand in ("wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
        found = shutil.which(cand)
        if found:
            return found
    return "wineserver"


def start_wineserver() -> None:
    """Keeps a wineserver alive for the prefix (`-p`), so that each Wine start is quick. It is left
    running: `make wine-down` (or `wineserver -k`) ends it."""
    subprocess.Popen([_wineserver(), "-p"], env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
    # Wait until a Wine process can connect (bounded).
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            if wine("cmd", "/c", "exit", timeout=30).returncode == 0:
                return
        except subprocess.TimeoutExpired:
            pass
        time.sleep(0.2)


def project_version() -> str:
    """The version of the CMake project, which is the file version of kDHT.exe."""
    text = (REPO_ROOT / "CMakeLists.txt").read_text()
    m = re.search(r"project\s*\(\s*kDHT\b[^)]*?\bVERSION\s+([0-9.]+)", text, re.IGNORECASE | re.DOTALL)
    if not m:
        raise RuntimeError("no project version in CMakeLists.txt")
    return m.group(1)


def win_to_unix(win_path: str) -> Path:
    """C:\\a\\b -> <prefix>/drive_c/a/b (only drive C: is mapped)."""
    p = PureWindowsPath(win_path)
    if p.drive.upper() != "C:":
        raise ValueError("only paths on drive C: are mapped: %r" % win_path)
    return drive_c().joinpath(*p.parts[1:])


def unix_to_win(path: str | Path) -> str:
    rel = Path(path).resolve().relative_to(drive_c().resolve())
    return "C:\\" + "\\".join(rel.parts)


def _bat_quote(text: str) -> str:
    """A literal text on a cmd.exe line."""
    return re.sub(r'([&|<>^()])', r"^\1", text).replace("%", "%%")


def run_batch(lines: Iterable[str], timeout: float = 60.0) -> subprocess.CompletedProcess:
    """Runs cmd.exe lines as one batch file (one Wine process)."""
    tmpdir = drive_c() / "kdht-harness"
    tmpdir.mkdir(parents=True, exist_ok=True)
    fd, name = tempfile.mkstemp(suffix=".bat", dir=tmpdir)
    with os.fdopen(fd, "wb") as f:
        f.write(("@echo off\r\n" + "\r\n".join(lines) + "\r\n").encode("cp1252"))
    try:
        return wine("cmd", "/c", unix_to_win(name), timeout=timeout)
    finally:
        os.unlink(name)


def short_path(win_path: str) -> str:
    """The 8.3 form of an existing path, as GetShortPathName gives it. Wine's cmd shortens every
    component of %~s but the last one, so the last one is looked up in `dir /x` of its parent."""
    win_path = win_path.rstrip("\\")
    parent, _, last = win_path.rpartition("\\")
    esc = win_path.replace("%", "%%")
    lines = ['for %%I in ("' + esc + '") do echo S %%~sI']
    if parent:
        lines.append('dir /x /a "' + (parent + "\\" if parent.endswith(":") else parent).replace("%", "%%") + '"')
    r = run_batch(lines)
    out = r.stdout.decode("cp1252", "replace").splitlines()
    first = next((x[2:].strip() for x in out if x.startswith("S ")), None)
    if r.returncode != 0 or not first:
        raise RuntimeError("cannot get the short form of %r: %s" % (win_path, r.stderr.decode(errors="replace")))
    head = first.rpartition("\\")[0] if parent else ""
    short_last = last
    for line in out:
        m = re.match(r"^.*<DIR>\s+(\S+)\s+(.+?)\s*$", line) or re.match(r"^.*\d\s+(\S+)\s+(.+?)\s*$", line)
        if m and m.group(2) == last and "~" in m.group(1):
            short_last = m.group(1)
            break
    return (head + "\\" + short_last) if parent else first


# ----------------------------------------------------------------------------------------------
# Registry
# ----------------------------------------------------------------------------------------------

def _reg_text(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


def _hklm(view: int) -> str:
    return "HKEY_LOCAL_MACHINE\\" + (REG_KEY_32_NATIVE if view == 32 else REG_KEY)


def import_reg(body: str, timeout: float = 60.0) -> None:
    """Imports registry text (without the header) with one `regedit /S` run."""
    tmpdir = drive_c() / "kdht-harness"
    tmpdir.mkdir(parents=True, exist_ok=True)
    fd, name = tempfile.mkstemp(suffix=".reg", dir=tmpdir)
    text = "Windows Registry Editor Version 5.00\r\n\r\n" + body.replace("\r\n", "\n").replace("\n", "\r\n")
    with os.fdopen(fd, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    try:
        started = time.monotonic()
        r = wine("regedit", "/S", unix_to_win(name), timeout=timeout)
        # regedit /S exits 0 whatever it imports (a garbage file, a missing one, a malformed value
        # alike), so exit code 1 with nothing said is Wine's loader giving up, which on a loaded
        # machine can take longer than LOADER_FAILURE_SECONDS. Every import of the kit deletes or
        # writes whole keys and values, so importing once more gives the same registry.
        if r.returncode == 1 and not r.stdout and not r.stderr:
            LOADER_RETRIES.append("regedit: exit code 1 after %.3f s, nothing said" % (time.monotonic() - started))
            r = wine("regedit", "/S", unix_to_win(name), timeout=timeout)
        if r.returncode != 0:
            raise RuntimeError("regedit failed (%d): %s" % (r.returncode, r.stderr.decode(errors="replace")))
    finally:
        os.unlink(name)


def write_registry(values: dict[str, str | None] | None, view: int = 32, clear_other_view: bool = True) -> None:
    """Replaces HKLM\\SOFTWARE\\VORNOD (in the 32-bit view unless view=64) by the given REG_SZ values;
    a value of None is left out. values=None only removes the key. One regedit run."""
    views = (32, 64) if clear_other_view else (view,)
    body = "".join("[-%s]\n\n" % _hklm(v) for v in views)
    if values is not None:
        body += "[%s]\n" % _hklm(view)
        for name, value in values.items():
            if value is not None:
                body += '"%s"="%s"\n' % (_reg_text(name), _reg_text(str(value)))
        body += "\n"
    import_reg(body)


def clear_registry() -> None:
    write_registry(None)


def read_registry(view: int = 32) -> dict[str, str]:
    """The REG_SZ values of the key as `reg query` shows them (for checks of the set-up itself)."""
    r = wine("reg", "query", "HKLM\\" + REG_KEY, "/reg:%d" % view, timeout=60)
    out: dict[str, str] = {}
    for line in r.stdout.decode("cp1252", "replace").splitlines():
        m = re.match(r"^\s{4}(.+?)\s{4}REG_SZ\s{4}(.*)$", line.rstrip("\r"))
        if m:
            out[m.group(1)] = m.group(2)
    return out


# ----------------------------------------------------------------------------------------------
# Processes
# ----------------------------------------------------------------------------------------------

def _proc_cmdlines() -> Iterable[tuple[int, str]]:
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            raw = (entry / "cmdline").read_bytes()
        except OSError:
            continue
        yield int(entry.name), raw.replace(b"\0", b" ").decode("utf-8", "replace")


def _in_other_prefix(pid: int) -> bool:
    """True when the process runs in another Wine prefix: C:\\ of every prefix on the machine
    looks the same in a command line, and other people's processes are not ours to end."""
    try:
        env = Path("/proc/%d/environ" % pid).read_bytes().split(b"\0")
    except OSError:
        return False
    ours = str(wineprefix()).encode()
    found = [e[len(b"WINEPREFIX="):] for e in env if e.startswith(b"WINEPREFIX=")]
    return bool(found) and os.path.realpath(found[0]) != os.path.realpath(ours)


def processes_under(win_folder: str) -> list[int]:
    """Wine processes of this prefix whose image lies in the given Windows folder (Wine shows the
    Windows image path as a process's command line)."""
    prefix = win_folder.rstrip("\\").lower() + "\\"
    me = os.getpid()
    return [pid for pid, cmd in _proc_cmdlines()
            if pid != me and cmd.lower().lstrip('"').startswith(prefix) and not _in_other_prefix(pid)]


def running_kdht() -> list[tuple[int, str]]:
    """kDHT.exe processes of this prefix, whatever their folder (they share one single-instance
    name)."""
    me = os.getpid()
    return [(pid, cmd) for pid, cmd in _proc_cmdlines()
            if pid != me and "kdht.exe" in cmd.lower() and "wine-run" not in cmd and not _in_other_prefix(pid)]


# Programs Wine keeps running in a prefix for every program (and the wineserver): never a run's own.
_RESIDENT = frozenset(("services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe", "rpcss.exe",
                       "svchost.exe", "conhost.exe", "wineserver", "wineserver64"))


def prefix_processes() -> set[int]:
    """The processes of this prefix other than Wine's resident ones: those a run started, whatever
    their command line says yet (a process Wine is still creating shows its loader's, and one
    created detached is in no process group of ours)."""
    ours = os.path.realpath(str(wineprefix())).encode()
    me = os.getpid()
    found = set()
    for pid, cmd in _proc_cmdlines():
        if pid == me or not cmd:
            continue
        # Wine's own, also while the loader still shows in its command line ("wine64 C:\...\x.exe").
        words = [w.replace("\\", "/").rsplit("/", 1)[-1].strip('"').lower() for w in cmd.split(" ")[:2]]
        if any(w in _RESIDENT for w in words):
            continue
        try:  # Wine's loader, whatever the program (the test's own Python has the prefix too)
            loader = os.path.basename(os.readlink("/proc/%d/exe" % pid))
        except OSError:
            continue
        if not loader.startswith("wine") or loader.startswith("wineserver"):
            continue
        try:
            env = Path("/proc/%d/environ" % pid).read_bytes().split(b"\0")
        except OSError:
            continue
        prefix = [e[len(b"WINEPREFIX="):] for e in env if e.startswith(b"WINEPREFIX=")]
        if prefix and os.path.realpath(prefix[0]) == ours and _alive(pid):
            found.add(pid)
    return found


def kill_pids(pids: Iterable[int], wait: float = 5.0) -> None:
    pids = list(pids)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline and any(Path("/proc/%d" % p).exists() and _alive(p) for p in pids):
        time.sleep(0.05)


def _alive(pid: int) -> bool:
    try:
        state = Path("/proc/%d/stat" % pid).read_text().split(") ", 1)[1][0]
    except (OSError, IndexError):
        return False
    return state != "Z"


# ----------------------------------------------------------------------------------------------
# Reading results
# ----------------------------------------------------------------------------------------------

_STAMP = re.compile(r"^(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)\t(.*)\Z", re.DOTALL)


@dataclass(frozen=True)
class LogLine:
    stamp: str | None  # "MM/DD/YYYY HH:NN:SS", None for a line without one (a message's second line)
    message: str
    raw: str


def parse_log(data: bytes) -> list[LogLine]:
    """The run log as lines: CR LF ends a line; text is the ANSI code page (cp1252)."""
    text = data.decode("cp1252", "replace")
    parts = text.split("\r\n")
    if parts and parts[-1] == "":
        parts.pop()
    out = []
    for raw in parts:
        m = _STAMP.match(raw)
        out.append(LogLine(m.group(1), m.group(2), raw) if m else LogLine(None, raw, raw))
    return out


def _matches(expected: str | re.Pattern, message: str) -> bool:
    if isinstance(expected, re.Pattern):
        return expected.fullmatch(message) is not None
    return expected == message


def find_sequence(messages: Sequence[str], expected: Sequence[str | re.Pattern], start: int = 0,
                  contiguous: bool = False) -> list[int] | None:
    """Indices where the expected lines occur in order (exact text, or a compiled pattern that must
    match the whole line); None when they do not. contiguous=True: one after another with nothing
    between them."""
    if contiguous:
        for i in range(start, len(messages) - len(expected) + 1):
            if all(_matches(e, messages[i + k]) for k, e in enumerate(expected)):
                return list(range(i, i + len(expected)))
        return None if expected else []
    found, pos = [], start
    for e in expected:
        while pos < len(messages) and not _matches(e, messages[pos]):
            pos += 1
        if pos >= len(messages):
            return None
        found.append(pos)
        pos += 1
    return found


def assert_sequence(messages: Sequence[str], expected: Sequence[str | re.Pattern], contiguous: bool = False,
                    what: str = "log") -> list[int]:
    idx = find_sequence(messages, expected, contiguous=contiguous)
    if idx is not None:
        return idx
    # Say which expected line was the first one missing, and show the text.
    got, pos = 0, 0
    for got, e in enumerate(expected):
        while pos < len(messages) and not _matches(e, messages[pos]):
            pos += 1
        if pos >= len(messages):
            break
        pos += 1
    listing = "\n".join("  %3d %r" % (i, m) for i, m in enumerate(messages))
    raise AssertionError("%s: expected line %d %r not found in order%s\n%s:\n%s" % (
        what, got, expected[got], " (contiguous)" if contiguous else "", what, listing or "  (empty)"))


class IniFile:
    """An INI file read the way the profile-string functions read it: section and key names keep their
    case but are looked up without regard to it; the first of duplicate sections/keys counts; blanks
    around keys and values are dropped."""

    def __init__(self, text: str):
        self.text = text
        self._sections: dict[str, tuple[str, dict[str, tuple[str, str]]]] = {}
        current: dict[str, tuple[str, str]] | None = None
        for line in text.splitlines():
            s = line.strip()
            if s.startswith("[") and "]" in s:
                name = s[1:s.index("]")].strip()
                if name.lower() in self._sections:
                    current = {}  # a repeated section is not seen by the profile functions
                else:
                    self._sections[name.lower()] = (name, {})
                    current = self._sections[name.lower()][1]
            elif current is not None and "=" in s and not s.startswith(";"):
                k, v = s.split("=", 1)
                current.setdefault(k.strip().lower(), (k.strip(), v.strip()))

    @classmethod
    def read(cls, path: str | Path, encoding: str = "cp1252") -> "IniFile | None":
        p = Path(path)
        if not p.is_file():
            return None
        data = p.read_bytes()
        if data.startswith(b"\xff\xfe"):
            return cls(data[2:].decode("utf-16-le"))
        return cls(data.decode(encoding, "replace"))

    def sections(self) -> list[str]:
        return [name for name, _ in self._sections.values()]

    def has_section(self, section: str) -> bool:
        return section.lower() in self._sections

    def items(self, section: str) -> list[tuple[str, str]]:
        sec = self._sections.get(section.lower())
        return list(sec[1].values()) if sec else []

    def get(self, section: str, key: str, default: str | None = None) -> str | None:
        sec = self._sections.get(section.lower())
        if not sec:
            return default
        kv = sec[1].get(key.lower())
        return kv[1] if kv else default

    def as_dict(self) -> dict[str, dict[str, str]]:
        return {name: dict(kv.values()) for name, kv in self._sections.values()}

    def __getitem__(self, section: str) -> dict[str, str]:
        if not self.has_section(section):
            raise KeyError(section)
        return dict(self.items(section))


@dataclass(frozen=True)
class PopupCall:
    """One popup shown: the properties set before it, in order, as (name, VT name, value)."""
    properties: tuple[tuple[str, str, str], ...]

    def values(self) -> dict[str, str]:
        return {name: value for name, _vt, value in self.properties}


def _unescape_field(text: str) -> str:
    return re.sub(r"\\([trn])", lambda m: {"t": "\t", "r": "\r", "n": "\n"}[m.group(1)], text)


def parse_popup_record(text: str) -> list[PopupCall]:
    """kPopup-calls.log: "put<TAB>name<TAB>VT<TAB>value" lines, then "popup" for each popup shown.
    Properties set after the last popup (no popup shown) are not returned."""
    calls, pending = [], []
    for line in text.splitlines():
        if line == "popup":
            calls.append(PopupCall(tuple(pending)))
            pending = []
        elif line.startswith("put\t"):
            _, name, vt, value = (line.split("\t", 3) + ["", "", ""])[:4]
            pending.append((_unescape_field(name), vt, _unescape_field(value)))
    return calls


@dataclass(frozen=True)
class RunnerStart:
    """One line of a runner stand-in's record (<name>-runs.log)."""
    tag: str           # "start" (stays until ended) or "run" (records and exits)
    pid: int
    user: str | None   # only for "run"
    command_line: str


def parse_runner_record(text: str) -> list[RunnerStart]:
    out = []
    for line in text.splitlines():
        f = line.split("\t")
        if len(f) >= 3 and f[0] == "start":
            out.append(RunnerStart("start", int(f[1]), None, _unescape_field("\t".join(f[2:]))))
        elif len(f) >= 4 and f[0] == "run":
            out.append(RunnerStart("run", int(f[1]), _unescape_field(f[2]), _unescape_field("\t".join(f[3:]))))
    return out


# ----------------------------------------------------------------------------------------------
# End of run (VirtualStore refresh)
# ----------------------------------------------------------------------------------------------

USERS_WIN = "C:\\Users"
STARS = "*" * 21
USER_LINE = "MSG : " + STARS + " User Name : %s " + "*" * 22
COMPLETED_LINE = "MSG : " + STARS + " Completed " + "*" * 22
ENDED_LINE = "MSG : Application Ended"


def profile_folders() -> list[str]:
    """The folders under C:\\Users, sorted (the program visits them in listing order)."""
    users = drive_c() / "users"
    return sorted(p.name for p in users.iterdir() if p.is_dir()) if users.is_dir() else []


def _find_ci(base: Path, rel_parts: Sequence[str]) -> Path | None:
    """base/rel with each component matched without regard to case, as Windows would."""
    p = base
    for part in rel_parts:
        if (p / part).exists():
            p = p / part
            continue
        try:
            hit = next((c for c in p.iterdir() if c.name.lower() == part.lower()), None)
        except OSError:
            return None
        if hit is None:
            return None
        p = hit
    return p


@dataclass
class EndOfRun:
    users_path: str | None          # the text after "MSG : UsersPath : "
    blocks: dict[str, list[str]]    # profile folder name -> its lines, "User Name" to "Completed"
    order: list[str]                # the profile folders in the order visited
    extra: list[str]                # lines between the blocks that belong to none (errors)
    ended: bool                     # the log's last line is "MSG : Application Ended"


def parse_end_of_run(messages: Sequence[str]) -> EndOfRun | None:
    """The end-of-run lines from the last "MSG : UsersPath : " on; None when there is none."""
    start = max((i for i, m in enumerate(messages) if m.startswith("MSG : UsersPath : ")), default=None)
    if start is None:
        return None
    blocks: dict[str, list[str]] = {}
    order: list[str] = []
    extra: list[str] = []
    current: list[str] | None = None
    user_re = re.compile(r"^MSG : \*{21} User Name : (.*) \*{22}$", re.DOTALL)
    for m in messages[start + 1:]:
        um = user_re.match(m)
        if um:
            current = blocks.setdefault(um.group(1), [])
            order.append(um.group(1))
            current.append(m)
        elif current is not None:
            current.append(m)
            if m == COMPLETED_LINE:
                current = None
        elif m != ENDED_LINE:
            extra.append(m)
    return EndOfRun(messages[start][len("MSG : UsersPath : "):], blocks, order, extra,
                    bool(messages) and messages[-1] == ENDED_LINE)


def expected_profile_block(profile: str, install_long: str) -> list[str]:
    """What the end of a run logs for one profile, from the profile as it is now on disk (a
    VirtualStore copy of the install's Desk Herald folder, if present, is refreshed)."""
    vs_win = "%s\\%s\\AppData\\Local\\VirtualStore" % (USERS_WIN, profile)
    lines = [USER_LINE % profile]
    vs = _find_ci(drive_c() / "users", [profile, "AppData", "Local", "VirtualStore"])
    if vs is None or not vs.is_dir():
        return lines + ["MSG : %s - Not Available" % vs_win, COMPLETED_LINE]
    rel = install_long[install_long.index("\\"):] + "kXPR\\herald"
    target = vs_win + rel
    lines += ["MSG : UserVirutalStorePath : " + vs_win, "MSG : VornODLongPath : " + install_long,
              "MSG : VirtualStoreVORNOD : " + rel]
    tp = _find_ci(vs, [p for p in rel.split("\\") if p])
    if tp is None or not tp.is_dir():
        return lines + ["MSG : %s - Not Available" % target, COMPLETED_LINE]
    return lines + ["MSG : DeleteFolder : " + target, "MSG : CreateFolder : " + target,
                    "MSG : CopyFolder : %skXPR\\herald   To   %s" % (install_long, target), COMPLETED_LINE]


# ----------------------------------------------------------------------------------------------
# Runs
# ----------------------------------------------------------------------------------------------

@dataclass
class RunResult:
    returncode: int | None
    stdout: bytes
    stderr: bytes
    elapsed: float
    timed_out: bool = False


def _argv_for(args: str) -> list[str]:
    """Wine builds the program's command line by joining its arguments with one blank (quoting those
    that hold blanks), so text with single blanks and no quotes arrives exactly as given."""
    if not args:
        return []
    return args.split(" ")


def _exact_possible(args: str) -> bool:
    return args == "" or ('"' not in args and "\t" not in args and "  " not in args
                          and not args.startswith(" ") and not args.endswith(" "))


class Running:
    """A kDHT.exe started in the background. Its stdout/stderr go to temporary files, not pipes:
    the programs it starts inherit them, and waiting for a pipe's end would wait for those too."""

    def __init__(self, cmd: list[str], env: dict[str, str], cleanup: Path | None = None):
        self._cleanup = cleanup
        self._before = prefix_processes()
        self._start(cmd, env)
        # Wine's loader gives up, if it does, within a few milliseconds: watched for here, so that
        # programs started in the background are covered too. A program that runs meanwhile is
        # not held up by this.
        try:
            self.proc.wait(timeout=LOADER_FAILURE_SECONDS)
        except subprocess.TimeoutExpired:
            return
        self._out.seek(0)
        self._err.seek(0)
        elapsed = time.monotonic() - self.started
        if loader_gave_up(self.proc.returncode, elapsed, self._out.read(), self._err.read()):
            LOADER_RETRIES.append("%s: exit code 1 after %.3f s, nothing said" % (" ".join(cmd[-2:]), elapsed))
            self._out.close()
            self._err.close()
            self._start(cmd, env)

    def _start(self, cmd: list[str], env: dict[str, str]) -> None:
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._err,
                                     start_new_session=True)
        self.pid = self.proc.pid

    def poll(self) -> int | None:
        return self.proc.poll()

    def wait(self, timeout: float = 120.0, kill_on_timeout: bool = True) -> RunResult:
        timed_out = False
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            if not kill_on_timeout:
                raise
            self.kill()
            self.proc.wait(timeout=30)
        elapsed = time.monotonic() - self.started
        if self._cleanup is not None:
            self._cleanup.unlink(missing_ok=True)
        out, err = b"", b""
        for f, which in ((self._out, "out"), (self._err, "err")):
            if not f.closed:
                f.seek(0)
                data = f.read()
                f.close()
                out, err = (data, err) if which == "out" else (out, data)
        return RunResult(self.proc.returncode, out, err, elapsed, timed_out)

    def kill(self) -> None:
        """Kills the run and what it started (its process group)."""
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def wait_for_program(self, win_folder: str, limit: float = 20.0) -> bool:
        """Waits (bounded) until Wine has made the program's own process, one whose image lies in
        `win_folder`, or the run has ended. Killing Wine's loader while it is still starting
        (before the program exists) interrupts nothing of the program's, and under Wine it can
        leave the prefix so that the next start hangs after its program has ended."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and self.proc.poll() is None:
            if processes_under(win_folder):
                return True
            time.sleep(0.002)
        return self.proc.poll() is not None

    def kill_all(self, limit: float = 20.0) -> RunResult:
        """Kills the run as a power cut would, and waits until nothing it started is left: Wine
        creates a program's process outside the run's process group, so a run killed while it was
        starting one (or while Wine's start.exe was starting the run itself) leaves processes that
        go on, and a start made meanwhile can fail. Only for runs with nothing else running beside
        them: every process of the prefix born since this run began is ended."""
        self.kill()
        result = self.wait(timeout=limit)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            left = prefix_processes() - self._before
            if not left:
                return result
            kill_pids(left, wait=max(0.0, deadline - time.monotonic()))
        raise RuntimeError("processes of a killed run still there after %.0f s: %s" % (
            limit, sorted(prefix_processes() - self._before)))


_counter = itertools.count(1)


class Agent:
    """A sandboxed agent install in the Wine prefix: folder, registry identity, deployed binaries,
    URL INI, and the helpers to run kDHT.exe there and read what it left.

    Paths: `install_win` is the Windows form with one trailing backslash ("C:\\KAGENT\\T1\\"),
    `install` the Linux path of the same folder. `path(rel)` / `win(rel)` give a file's two forms."""

    def __init__(self, win_folder: str, sim_url: str | None = None):
        win_folder = win_folder.rstrip("\\")
        self.install_win = win_folder + "\\"
        self.install = win_to_unix(win_folder)
        self.sim_url = sim_url
        self.popup_registered = False
        # Told by a failing log assertion: how the last run ended, and which kDHT.exe processes of
        # this prefix were already running when it started (one would make it end silently).
        self.last_run: RunResult | None = None
        self.running_before_last_run: list[tuple[int, str]] = []
        self._exe_rel = LAYOUT["kDHT.exe"]

    # -- creation --------------------------------------------------------------------------------
    @classmethod
    def create(cls, name: str | None = None, root: str = r"C:\KAGENT", sim_url: str | None = None,
               identity: dict[str, str | None] | None = None, registry: bool = True, deploy: bool = True,
               standins: Iterable[str] | None = None, register_popup: bool = True,
               urls: bool = True, scheduler_ini: bool = False, log_folder: bool = True) -> "Agent":
        """A fresh agent folder <root>\\<name> (name T<N> when not given; any old folder of that name is
        removed first), its registry identity (defaults plus `identity`; InstallationPath defaults to the
        folder without trailing backslash), the binaries deployed and the URL INI pointing at sim_url.
        log_folder: ApplicationLog\\kXPRLog\\ exists beforehand, as in an agent that has run before
        (without it the program loses the first line of its log)."""
        if name is None:
            name = "T%d" % next(_counter)
        agent = cls(root.rstrip("\\") + "\\" + name, sim_url=sim_url)
        # Tests run one at a time, so anything still running from the sandbox root was left behind
        # (a waiting stand-in would otherwise be found, or ended by name, by this test's run).
        kill_pids(processes_under(root))
        if agent.install.exists():
            shutil.rmtree(agent.install)
        agent.install.mkdir(parents=True)
        if scheduler_ini:
            agent.path("Scheduler INI").mkdir()
        if log_folder:
            agent.path(r"ApplicationLog\kXPRLog").mkdir(parents=True)
        if deploy:
            agent.deploy(standins=standins, register_popup=register_popup)
        if urls and sim_url:
            agent.write_script_dns(sim_url)
        if registry:
            agent.write_registry(**(identity or {}))
        return agent

    @property
    def install_value(self) -> str:
        """The folder as written to InstallationPath by default (no trailing backslash)."""
        return self.install_win.rstrip("\\")

    def path(self, rel: str = "") -> Path:
        rel = rel.replace("\\", "/").strip("/")
        return self.install / rel if rel else self.install

    def win(self, rel: str = "") -> str:
        return self.install_win + rel

    def short_install(self) -> str:
        """InstallPath as the program logs it: the short form and one trailing backslash."""
        return short_path(self.install_value).rstrip("\\") + "\\"

    # -- set-up ----------------------------------------------------------------------------------
    def write_registry(self, **values: str | None) -> None:
        """Writes the identity (one regedit run). Keywords: InstallationPath, RegID, MemberID, SiteID,
        Type, view (32 or 64), or any other value name; None leaves a value out. Unnamed values get the
        defaults (RegID 1234, MemberID 5678, SiteID 42, Type RORI, InstallationPath the folder)."""
        view = int(values.pop("view", 32))  # type: ignore[arg-type]
        full: dict[str, str | None] = {"InstallationPath": self.install_value, **DEFAULT_IDENTITY}
        full.update(values)
        write_registry(full, view=view)

    def clear_registry(self) -> None:
        clear_registry()

    def deploy(self, standins: Iterable[str] | None = None, register_popup: bool = True) -> None:
        """Copies kDHT.exe and KGnMD5.dll into kXPR\\ and the stand-ins (all built ones when standins is
        None, else those named, e.g. ["kPopup.dll", "kINDHM.exe"]) to their places; registers kPopup.dll
        with the system's regsvr32."""
        names = ["kDHT.exe", "KGnMD5.dll"]
        if standins is None:
            names += [n for n in BINARIES[2:] if binary(n).is_file()]
        else:
            names += list(standins)
        for n in names:
            src = binary(n)
            if not src.is_file():
                raise FileNotFoundError("%s is not built (%s)" % (n, src))
            dst = self.path(LAYOUT[n])
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dst)
        if register_popup and "kPopup.dll" in names:
            self.register_popup()

    def register_popup(self) -> None:
        # Seen to fail now and then under load while a previous run's own background registrations
        # are still writing the classes key; a second try succeeds.
        for attempt in range(3):
            r = wine(regsvr32(), "/s", self.win(LAYOUT["kPopup.dll"]), timeout=60)
            if r.returncode == 0:
                self.popup_registered = True
                return
            time.sleep(0.5)
        raise RuntimeError("regsvr32 kPopup.dll failed: %d %r" % (r.returncode, r.stderr[-2000:]))

    def write_script_dns(self, url: str | None = None, sections: Iterable[str] = PAGES,
                         omit: Iterable[str] = (), overrides: dict[str, str | None] | None = None,
                         key: str = "URL") -> None:
        """Configuration\\kScriptDNS.ini with [<request name>] URL=<url> for each request name;
        `omit` leaves sections out, `overrides` gives a section another URL (None: section without key)."""
        url = url if url is not None else (self.sim_url or "")
        overrides = overrides or {}
        omit = set(omit)
        lines = []
        for s in sections:
            if s in omit:
                continue
            lines.append("[%s]" % s)
            v = overrides.get(s, url)
            if v is not None:
                lines.append("%s=%s" % (key, v))
            lines.append("")
        self.write_text(SCRIPT_DNS_REL, "\r\n".join(lines))

    def write_text(self, rel: str, text: str, encoding: str = "cp1252") -> Path:
        p = self.path(rel)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(text.encode(encoding))
        return p

    def write_bytes(self, rel: str, data: bytes) -> Path:
        p = self.path(rel)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        return p

    def exists(self, rel: str) -> bool:
        return self.path(rel).exists()

    # -- runs ------------------------------------------------------------------------------------
    @property
    def exe_win(self) -> str:
        return self.win(self._exe_rel)

    def _command(self, args: str) -> tuple[list[str], Path | None]:
        if _exact_possible(args):
            return [str(WINE_RUN), self.exe_win, *_argv_for(args)], None
        # Blanks that Wine's argument joining would lose: let cmd.exe start the program from a batch
        # line, which passes the rest of the line as it stands.
        tmpdir = drive_c() / "kdht-harness"
        tmpdir.mkdir(parents=True, exist_ok=True)
        fd, name = tempfile.mkstemp(suffix=".bat", dir=tmpdir)
        with os.fdopen(fd, "wb") as f:
            f.write(('@"%s" %s\r\n@exit /b %%ERRORLEVEL%%\r\n' % (self.exe_win, _bat_quote(args))).encode("cp1252"))
        return [str(WINE_RUN), "cmd", "/c", unix_to_win(name)], Path(name)

    def start(self, args: str = "", env: dict[str, str] | None = None) -> Running:
        """Starts kXPR\\kDHT.exe with the given command-line text and returns at once."""
        cmd, tmp = self._command(args)
        return Running(cmd, wine_env(env), tmp)

    def run(self, args: str = "", timeout: float = 120.0, env: dict[str, str] | None = None,
            check_timeout: bool = True) -> RunResult:
        """Runs kXPR\\kDHT.exe with the given command-line text and waits for it (at most `timeout`
        seconds; then it is killed and, with check_timeout, the test fails)."""
        self.running_before_last_run = running_kdht()
        log_before = self._log_state()
        result = self.start(args, env=env).wait(timeout=timeout)
        if wine_could_not_start(result) and self._log_state() == log_before:
            # The program never ran: Wine said so and the log is as it was. Once more, counted.
            said = (result.stdout + result.stderr).decode("utf-8", "replace")
            START_RETRIES.append("%s %r: %s" % (self.exe_win, args, said.strip().replace("\n", " / ")))
            result = self.start(args, env=env).wait(timeout=timeout)
        if wine_failed_at_exit(result) and self._ended_cleanly_since(log_before):
            # Every run that reaches its end leaves 0; the code Wine's loader lost is that one.
            EXIT_FAILURES.append("%s %r: %s" % (self.exe_win, args, result.stderr.decode("utf-8", "replace")
                                                .strip().replace("\n", " / ")))
            result = dataclasses.replace(result, returncode=0)
        self.last_run = result
        if result.timed_out and check_timeout:
            tail = "\n".join(self.log_messages()[-20:])
            raise AssertionError("kDHT.exe %r did not end within %gs; log tail:\n%s" % (args, timeout, tail))
        return result

    def info(self, *args: str, timeout: float = 120.0) -> subprocess.CompletedProcess:
        """Runs kDHTInfo.exe with the given argument words from beside kDHT.exe (copied there on
        first use) and waits for it. A console program: its stdout and stderr are the Wine
        process's own, captured here."""
        dst = self.path(INFO_REL)
        if not dst.is_file():
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(binary(INFO_EXE), dst)
        return wine(self.win(INFO_REL), *args, timeout=timeout)

    # -- results ---------------------------------------------------------------------------------
    @property
    def log_path(self) -> Path:
        return self.path(LOG_REL)

    def _ended_cleanly_since(self, before: tuple[int, int] | None) -> bool:
        """The log grew since `before` (its size and time then), and what it gained ends with the
        run's normal end line and holds no crash line."""
        try:
            data = self.log_path.read_bytes()
        except OSError:
            return False
        start = before[0] if before is not None and before[0] <= len(data) else 0
        gained = [line.message for line in parse_log(data[start:])]
        return (bool(gained) and gained[-1] == ENDED_LINE
                and not any(m.startswith("ERR : Crash ") for m in gained))

    def _log_state(self) -> tuple[int, int] | None:
        try:
            st = self.log_path.stat()
        except OSError:
            return None
        return st.st_size, st.st_mtime_ns

    def log_exists(self) -> bool:
        return self.log_path.exists()

    def log_bytes(self) -> bytes:
        return self.log_path.read_bytes() if self.log_path.is_file() else b""

    def log_lines(self) -> list[LogLine]:
        return parse_log(self.log_bytes())

    def log_messages(self) -> list[str]:
        """The messages of the run log, time stamp and TAB removed, trailing blanks kept."""
        return [line.message for line in self.log_lines()]

    def assert_log_sequence(self, expected: Sequence[str | re.Pattern], contiguous: bool = False,
                            messages: Sequence[str] | None = None) -> list[int]:
        """Asserts that the lines occur in this order (exact texts or compiled patterns)."""
        msgs = self.log_messages() if messages is None else messages
        try:
            return assert_sequence(msgs, expected, contiguous)
        except AssertionError as e:
            if msgs or self.last_run is None:
                raise
            raise AssertionError("%s\nthe last run left no log: exit code %r after %.2f s; kDHT.exe processes "
                                 "of this prefix running when it started: %r" % (
                                     e, self.last_run.returncode, self.last_run.elapsed,
                                     self.running_before_last_run)) from None

    def assert_not_logged(self, text: str | re.Pattern, messages: Sequence[str] | None = None) -> None:
        msgs = self.log_messages() if messages is None else messages
        hits = [m for m in msgs if _matches(text, m) or (isinstance(text, str) and m.startswith(text))]
        assert not hits, "unexpected log line(s) %r" % hits

    def end_of_run(self) -> EndOfRun | None:
        return parse_end_of_run(self.log_messages())

    def assert_end_of_run(self, messages: Sequence[str] | None = None) -> EndOfRun:
        """The run ended through the end-of-run procedure: "MSG : UsersPath : C:\\Users", one block
        per profile folder as expected_profile_block() describes, and "MSG : Application Ended" last."""
        msgs = self.log_messages() if messages is None else messages
        eor = parse_end_of_run(msgs)
        listing = "\n".join(msgs[-40:])
        assert eor is not None, "no end-of-run lines; log tail:\n" + listing
        assert eor.users_path == USERS_WIN, eor.users_path
        assert eor.ended, "last line is not %r; log tail:\n%s" % (ENDED_LINE, listing)
        assert eor.extra == [], eor.extra
        assert sorted(eor.order) == profile_folders(), eor.order
        for p in profile_folders():
            assert eor.blocks[p] == expected_profile_block(p, self.install_win), (p, eor.blocks[p])
        return eor

    def read_ini(self, rel: str) -> IniFile | None:
        return IniFile.read(self.path(rel))

    def status_ini(self) -> IniFile | None:
        return self.read_ini(STATUS_INI_REL)

    def add_requests(self) -> IniFile | None:
        return self.read_ini(ADD_INI_REL)

    def delete_requests(self) -> IniFile | None:
        return self.read_ini(DELETE_INI_REL)

    def popup_record(self) -> str:
        p = self.path(POPUP_RECORD_REL)
        return p.read_text(encoding="utf-8") if p.is_file() else ""

    def popup_calls(self) -> list[PopupCall]:
        return parse_popup_record(self.popup_record())

    def runner_starts(self, name: str = "kINDHM") -> list[RunnerStart]:
        """The starts recorded by a runner stand-in (kINDHM, kDHM, kRSSUpd) in kXPR\\<name>-runs.log."""
        p = self.path(r"kXPR\%s-runs.log" % name)
        return parse_runner_record(p.read_text(encoding="utf-8")) if p.is_file() else []

    # -- clean-up --------------------------------------------------------------------------------
    def kill_processes(self) -> None:
        """Ends every Wine process started from this install folder (stand-ins left waiting, a kDHT
        that did not end)."""
        kill_pids(processes_under(self.install_value))

    def cleanup(self, remove_registry: bool = True, remove_folder: bool = False) -> None:
        """Ends the sandbox's processes and removes the identity key and the popup's ProgID (one
        regedit run; without the ProgID the next agent's popup is "not registered" unless it registers
        its own). The folder stays for inspection unless remove_folder."""
        self.kill_processes()
        body = ""
        if remove_registry:
            body += "".join("[-%s]\n\n" % _hklm(v) for v in (32, 64))
        if self.popup_registered:
            body += "[-%s]\n\n" % POPUP_PROGID_KEY
            self.popup_registered = False
        if body:
            import_reg(body)
        if remove_folder and self.install.exists():
            shutil.rmtree(self.install, ignore_errors=True)


def kdht_built() -> bool:
    return binary("kDHT.exe").is_file()


# IMAGE_FILE_HEADER.Machine of the two widths.
PE_MACHINE_BITS = {0x014C: 32, 0x8664: 64}


def pe_bits(path: Path) -> int:
    """32 or 64: the width a Windows program was built for, from its PE header."""
    data = Path(path).read_bytes()[:4096]
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError("%s is not a Windows program" % path)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s has no PE header" % path)
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    if machine not in PE_MACHINE_BITS:
        raise ValueError("%s is built for machine 0x%04X" % (path, machine))
    return PE_MACHINE_BITS[machine]


def build_bits() -> int:
    """The width of the kDHT.exe under test."""
    return pe_bits(binary("kDHT.exe"))


def regsvr32() -> str:
    """The regsvr32.exe of the build's width, as the program under test finds it in its own system
    folder (a 32-bit process's System32 is SysWOW64): the stand-in components are registered by
    the registrar of their own width."""
    return r"C:\windows\syswow64\regsvr32.exe" if build_bits() == 32 else r"C:\windows\system32\regsvr32.exe"


def canary_line(bits: int) -> str:
    return "kDHT canary: 32-bit process under WoW64" if bits == 32 else "kDHT canary: 64-bit process"


def require_runnable_build() -> int:
    """Fails loudly unless programs of the build under test really run in this prefix: its kCanary.exe
    must print the line of its width. (A 64-bit Wine without the 32-bit DLLs runs a 32-bit program as
    nothing at all, and exits 0.) Returns the width."""
    if not kdht_built():
        raise RuntimeError("kDHT.exe is not built in %s" % bin_dir())
    bits = build_bits()
    canary = binary("kCanary.exe")
    if not canary.is_file():
        raise RuntimeError("%s is missing: the build's proof that its programs run" % canary)
    r = wine(str(canary), timeout=120)
    got = r.stdout.decode("ascii", "replace").replace("\r", "").strip()
    if r.returncode != 0 or got != canary_line(bits):
        raise RuntimeError("%s printed %r (exit %d), not %r: %d-bit programs do not run under this Wine "
                           "(WINEDLLPATH=%r; `make wine32-env` prints the lines that set it up)"
                           % (canary, got, r.returncode, canary_line(bits), bits, os.environ.get("WINEDLLPATH")))
    return bits


# ----------------------------------------------------------------------------------------------
# HTTPS: the test root, trusted in the prefix
# ----------------------------------------------------------------------------------------------

TRUST_EXE = "kTrustRoot.exe"


def test_root_dir() -> Path:
    """Where the prefix's test root and the HTTPS simulators' certificates live (sim.TestPki): in
    the prefix itself, so that a new prefix gets a new root and trusts it."""
    return wineprefix() / "kdht-test-root"


def trust_test_root() -> Path:
    """Makes the test root (once) and adds it to the trusted roots of the prefix's machine store
    (once per prefix; a marker beside it names the root trusted). Nothing else in the store is
    touched. Returns the root's folder."""
    pki = sim.TestPki(test_root_dir()).ensure()
    marker = pki.folder / "trusted"
    fingerprint = pki.root_fingerprint()
    if marker.is_file() and marker.read_text().strip() == fingerprint:
        return pki.folder
    tool = binary(TRUST_EXE)
    if not tool.is_file():
        raise RuntimeError("%s is not built (%s): the HTTPS scenarios need it" % (TRUST_EXE, tool))
    r = wine(str(tool), "Z:" + str(pki.root_der).replace("/", "\\"), timeout=120)
    if r.returncode != 0:
        raise RuntimeError("%s could not add the test root: exit %d, %s" % (
            TRUST_EXE, r.returncode, r.stderr.decode("utf-8", "replace").strip()))
    marker.write_text(fingerprint + "\n")
    return pki.folder


def https_simulator(**kw) -> "sim.Simulator":
    """An HTTPS simulator (not started) at https://localhost:PORT whose certificates come from the
    prefix's trusted test root."""
    trust_test_root()
    return sim.Simulator(https=True, tls_dir=test_root_dir(), **kw)
