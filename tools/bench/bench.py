#!/usr/bin/env python3
"""Benchmark of whole kDHT.exe passes under Wine against the management-server simulator.

    python3 tools/bench/bench.py --build build/win32 [--compare x86_64=build/win64/bin/kDHT.exe]
                                 [--rounds 5] [--big-rounds 3] [--sizes 10,100,1000,10000]
                                 [--doc docs/performance.md] [--json FILE]

`make bench` measures the shipped i686 build and, interleaved with it, the x86_64 build.

What it measures (all in one run, in round-robin order so that a change of machine load spreads
over every case alike):

- a trivial Windows program (tools/bench/trivial.c, built here) under the same Wine loader: what
  any program costs to start and end;
- a pass that receives "No New Template": the fixed cost of a pass;
- passes that receive templates of growing size: N plain actions with operating-system, software
  and service conditions in every form, plus 50 script actions each with three script templates,
  whose details the simulator answers with replies of a few KB; the machine lists 2,000 installed
  programs (Uninstall entries made in this Wine prefix for the run, removed afterwards).

For each pass: wall time from start to exit of the Wine process that runs kDHT.exe, its CPU time
(wait4) and its peak resident memory (GNU time's maximum RSS of that process; /proc VmHWM is
sampled too as a check). After each pass its I/O floor is measured: the HTTP exchanges that the
simulator recorded, replayed by a plain client in a separate process, plus writing the bytes the
pass left on disk (files that are staged before they are installed count twice) with one MD5 of
each file (tools/bench/floor_io.py). A Wine desktop process is kept running meanwhile
(tools/bench/keeper.c), as a desktop always is on Windows. --compare NAME=PATH measures another
kDHT.exe interleaved with the build's.

The figures are printed as a table and written into docs/performance.md between its
"bench:begin" and "bench:end" markers (--doc '' leaves the document alone). A benchmark never
fails a build: missed targets are printed, and the exit status is 0 unless the bench itself could
not run.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import math
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BENCH_DIR = Path(__file__).resolve().parent

SCRIPT_ACTIONS = 50
TEMPLATE_IDS_PER_SCRIPT_ACTION = 3
SOFTWARE_ENTRIES = 2000
UNINSTALL_32 = r"HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
ENTRY_PREFIX = "KBench-"
AGENT_ROOT = r"C:\KBENCH"
AGENT_NAME = "A"
SAMPLE_SECONDS = 0.01
QUIET_TIMEOUT = 60.0
# Lines written by each round's probe of what one run-log line costs.
LOG_PROBE_LINES = 2000

# Known on this prefix's machine (the pass logs them): used by the conditions that should match.
OS_NAME = "Microsoft Windows 7 Professional"
SERVICE_PACK = "Service Pack 1"

# ----------------------------------------------------------------------------------------------
# Environment
# ----------------------------------------------------------------------------------------------


def setup_environment(build: Path) -> None:
    os.environ["KDHT_BUILD"] = str(build)
    os.environ.setdefault("WINEPREFIX", str(REPO / "build" / "wineprefix"))
    os.environ["WINEDEBUG"] = "-all"
    sys.path.insert(0, str(REPO / "tools"))


def wine_loader() -> str:
    for cand in ("/usr/lib/wine/wine64", "/usr/lib/x86_64-linux-gnu/wine/wine64"):
        if os.access(cand, os.X_OK):
            return cand
    return shutil.which("wine64") or "wine64"


def machine_info() -> dict:
    info = {"nproc": os.cpu_count()}
    try:
        info["nproc"] = int(subprocess.run(["nproc"], capture_output=True, text=True, timeout=10).stdout.strip())
    except (OSError, ValueError, subprocess.TimeoutExpired):
        pass
    try:
        mem = Path("/proc/meminfo").read_text()
        kb = int(re.search(r"^MemTotal:\s+(\d+) kB", mem, re.M).group(1))
        info["memory"] = "%.1f GiB" % (kb / 1048576)
    except (OSError, AttributeError):
        info["memory"] = "?"
    try:
        cpu = Path("/proc/cpuinfo").read_text()
        m = re.search(r"^model name\s*:\s*(.+)$", cpu, re.M)
        info["cpu"] = m.group(1).strip() if m else "?"
    except OSError:
        info["cpu"] = "?"
    try:
        info["wine"] = subprocess.run([wine_loader(), "--version"], capture_output=True, text=True,
                                      timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        info["wine"] = "?"
    info["kernel"] = os.uname().release
    return info


def load_text() -> str:
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "load average: %.2f, %.2f, %.2f" % os.getloadavg()


# ----------------------------------------------------------------------------------------------
# Inputs: installed software, templates, details replies
# ----------------------------------------------------------------------------------------------

VENDORS = ("Contoso", "Fabrikam", "Northwind", "Tailspin", "Litware", "Adatum", "Proseware", "Wingtip",
           "Woodgrove", "Lucerne")
PRODUCTS = ("Paper Reader", "Packer", "Media Player", "Backup Agent", "Runtime", "Office Tools", "Image Viewer",
            "Sync Client", "Toolkit", "Print Driver")


def software_names(count: int = SOFTWARE_ENTRIES) -> list[str]:
    names = []
    for i in range(count):
        vendor = VENDORS[i % len(VENDORS)]
        product = PRODUCTS[(i // len(VENDORS)) % len(PRODUCTS)]
        version = "%d.%02d" % (1 + i // 100, i % 97)
        names.append("%s %s %s" % (vendor, product, version))
    return names


def reg_text(s: str) -> str:
    return s.replace("\\", "\\\\").replace('"', '\\"')


def software_reg(names: list[str], remove: bool) -> str:
    out = []
    for i, name in enumerate(names):
        key = "%s\\%s%04d" % (UNINSTALL_32, ENTRY_PREFIX, i)
        if remove:
            out.append("[-%s]\n" % key)
        else:
            vendor = name.split(" ", 1)[0]
            out.append('[%s]\n"DisplayName"="%s"\n"Publisher"="%s"\n"DisplayVersion"="%s"\n'
                       '"UninstallString"="C:\\\\Program Files\\\\%s\\\\uninst.exe"\n'
                       % (key, reg_text(name), vendor, name.rsplit(" ", 1)[1], vendor))
    return "\n".join(out) + "\n"


def xml_text(s: str) -> str:
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def os_conditions() -> list[str | None]:
    return [
        "",
        "ALL$*$ALL",
        "%s$*$%s" % (OS_NAME, SERVICE_PACK),
        "Microsoft Windows XP Professional$*$Service Pack 3@#@%s$*$ALL" % OS_NAME.replace("Microsoft", "Microsoft(R)"),
        "ALL$*$Service Pack 2",
        OS_NAME,
        "Windows Server 2008 R2$*$ALL@#@Windows 10 Pro$*$ALL",
        "ALL$*$ service pack 1 ",
        None,
    ]


def software_conditions(names: list[str], rnd: random.Random) -> list[str | None]:
    def present() -> str:
        return rnd.choice(names)
    return [
        "",
        "*&*$*ALL*&*$*",
        "*&*$*all*&*$*",
        present(),
        present().lower(),
        "$*LIKE*$Media Player$*LIKE*$",
        "fabrikam$*like*$",
        "$*LIKE*$ %d.%02d" % (1 + rnd.randrange(20), rnd.randrange(97)),
        "Nonexistent Suite 1.0",
        "%s@#@$*LIKE*$Backup$*LIKE*$@#@%s" % (present(), present()),
        "%s@#@Absent Tool$*LIKE*$" % present(),
        "$*LIKE*$Not Installed Anywhere$*LIKE*$",
        None,
    ]


def service_conditions() -> list[str | None]:
    return ["", "*&*$*all*&*$*", "PlugPlay", "RpcSs@#@Winmgmt@#@Spooler", "NoSuchService",
            "Eventlog@#@NoSuchService", " spooler ", None]


def plain_action(i: int, names: list[str]) -> str:
    rnd = random.Random(i)  # action i is the same in every template size
    parts = ['<action name="Show message %d" id="%d">' % (i, i),
             "<menutext>Message %d</menutext>" % i,
             "<msgtext>Maintenance notice %d for this desktop; read before %02d:00.</msgtext>" % (i, i % 24)]
    for tag, choices in (("servicepack", os_conditions()), ("softwares", software_conditions(names, rnd)),
                         ("services", service_conditions())):
        c = rnd.choice(choices)
        if c is not None:
            parts.append("<%s>%s</%s>" % (tag, xml_text(c), tag))
    if i % 4 == 0:
        parts.append("<filtersatisfied>unknown</filtersatisfied>")
    parts.append("</action>")
    return "".join(parts)


def script_action(k: int, names: list[str]) -> str:
    rnd = random.Random(1_000_000 + k)
    name = "Execute XPR Script" if k % 3 else "execute xpr script "
    tids = ",".join(str(100 + TEMPLATE_IDS_PER_SCRIPT_ACTION * k + j) for j in range(TEMPLATE_IDS_PER_SCRIPT_ACTION))
    sids = ",".join(str(5000 + 3 * k + j) for j in range(3))
    parts = ['<action name="%s" id="S%d">' % (name, k)]
    for tag, choices in (("servicepack", os_conditions()[:-1]), ("softwares", software_conditions(names, rnd)[:-1]),
                         ("services", service_conditions()[:-1])):
        parts.append("<%s>%s</%s>" % (tag, xml_text(rnd.choice(choices)), tag))
    parts += ["<scriptids>%s</scriptids>" % sids, "<temipds>%s</temipds>" % tids,
              "<emailmsgsubject>Script set %d done</emailmsgsubject>" % k, "<executionstatus>2</executionstatus>",
              "<emailgroupids>4,5</emailgroupids>", "<emailreqd>1</emailreqd>", "</action>"]
    return "".join(parts)


def template(plain: int, names: list[str], scripts: int = SCRIPT_ACTIONS) -> bytes:
    """plain actions with the script actions spread evenly among them."""
    actions = [plain_action(i, names) for i in range(1, plain + 1)]
    step = (plain + scripts) / max(scripts, 1)
    for k in range(scripts):
        actions.insert(int(k * step), script_action(k + 1, names))
    body = ("<dcmgetdeskheraldtemplate><templateid>%d</templateid><templatever>3</templatever><icon></icon>"
            "<rsssites></rsssites><rssupd>0</rssupd>%s</dcmgetdeskheraldtemplate>" % (900 + plain, "".join(actions)))
    return body.encode("ascii")


def script_details_reply() -> bytes:
    """About 4 KB: four scripts with bodies of a few lines each."""
    items = []
    for n in range(1, 5):
        body = "\r\n".join("echo step %d of script %d: checking %s" % (line, n, "x" * 40) for line in range(12))
        items.append("<dcmxprscrdet><scriptid>90%02d</scriptid><scriptname>Maintenance script %d</scriptname>"
                     "<scripttype>1</scripttype><scriptbody><![CDATA[%s]]></scriptbody></dcmxprscrdet>" % (n, n, body))
    return ("<dcmscriptdetails>%s</dcmscriptdetails>" % "".join(items)).encode("ascii")


def template_details_reply() -> bytes:
    items = ",".join("90%02d#@#Maintenance script %d of the set; run in order %s" % (n, n, "." * 60)
                     for n in range(1, 9))
    return ("<dcmtemplatedetails><scriptid><![CDATA[%s]]></scriptid></dcmtemplatedetails>" % items).encode("ascii")


def write_scenarios(work: Path, sizes: list[int], names: list[str]) -> dict[str, tuple[Path, int]]:
    """One scenario folder per case; returns case -> (folder, template bytes)."""
    out: dict[str, tuple[Path, int]] = {}
    nnt = work / "scenario-nnt"
    nnt.mkdir(parents=True, exist_ok=True)
    out["nnt"] = (nnt, 0)
    for n in sizes:
        folder = work / ("scenario-%d" % n)
        (folder / "wpdcmscriptdetails").mkdir(parents=True, exist_ok=True)
        (folder / "wpdcmtemplatedetails").mkdir(parents=True, exist_ok=True)
        (folder / "wpdcmscriptdetails" / "default.xml").write_bytes(script_details_reply())
        (folder / "wpdcmtemplatedetails" / "default.xml").write_bytes(template_details_reply())
        body = template(n, names)
        (folder / "wpdcmgetdeskheraldtemplate.xml").write_bytes(body)
        out[str(n)] = (folder, len(body))
    return out


def held_template(plain: int, names: list[str]) -> bytes:
    """An installed template of `plain` actions as a pass leaves it: every action answered, saved
    as UTF-16 with its byte-order mark, as the DOM saves it."""
    body = template(plain, names, scripts=0).decode("ascii")
    body = body.replace("<filtersatisfied>unknown</filtersatisfied>", "")
    body = body.replace("</action>", "<filtersatisfied>true</filtersatisfied></action>")
    return b"\xff\xfe" + body.encode("utf-16-le")


def seal_text(data: bytes) -> bytes:
    """The sealed checksum file of a file's bytes, as the program writes it."""
    digest = hashlib.md5(data).hexdigest().upper().encode("ascii")
    return b"<seal>=?utf-8?B?" + base64.b64encode(digest) + b"?=</seal>"


def held_id(plain: int) -> str:
    return str(900 + plain)


def write_held(folder: Path, sizes: list[int], names: list[str]) -> dict[int, tuple[Path, int]]:
    """One folder per size holding kDHMenu.xml and its seal; size -> (folder, template bytes)."""
    out = {}
    for n in sizes:
        d = folder / ("held-%d" % n)
        d.mkdir(parents=True, exist_ok=True)
        data = held_template(n, names)
        (d / "kDHMenu.xml").write_bytes(data)
        (d / "kDHMenu.dat").write_bytes(seal_text(data))
        out[n] = (d, len(data))
    return out


# ----------------------------------------------------------------------------------------------
# Processes
# ----------------------------------------------------------------------------------------------


@dataclass
class Measure:
    wall: float
    cpu: float
    peak_kb: int  # peak RSS of the process that ran the program
    hwm_kb: int   # highest VmHWM sampled from /proc (a lower bound of the peak, for a check)
    cmdline: str
    status: int
    timed_out: bool


GNU_TIME = "/usr/bin/time"


def _status_kb(pid: int, key: str) -> int:
    try:
        for line in Path("/proc/%d/status" % pid).read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def _child_of(pid: int) -> int | None:
    try:
        kids = Path("/proc/%d/task/%d/children" % (pid, pid)).read_text().split()
        return int(kids[0]) if kids else None
    except (OSError, ValueError):
        return None


def _cpu_seconds(pid: int) -> float:
    """User and system time of a live process, from /proc/PID/stat."""
    try:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return 0.0


def _program_process(program: str, after: int) -> int | None:
    """The Linux process, newer than pid `after`, whose command line is the Windows program path."""
    want = program.lower()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) <= after:
            continue
        try:
            raw = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace").strip().lower()
        except OSError:
            continue
        if raw == want or raw.startswith(want + " "):
            return int(entry.name)
    return None


def run_measured(argv: list[str], env: dict[str, str], timeout: float, work: Path) -> Measure:
    """Runs argv (the Wine loader with a Windows program: that Linux process becomes the Windows
    process) and waits for it. The peak RSS comes from GNU time's %M for that process: a process
    forked from this interpreter would carry the interpreter's own size into its maximum RSS. The
    CPU time is that of the process (wait4), without the wineserver's share."""
    out = work / "time.out"
    out.unlink(missing_ok=True)
    use_time = os.access(GNU_TIME, os.X_OK)
    cmd = [GNU_TIME, "-f", "%M", "-o", str(out)] + argv if use_time else argv
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    pid = proc.pid
    done = threading.Event()
    seen = {"hwm": 0, "cmdline": ""}
    program = argv[1] if len(argv) > 1 else ""

    def sample() -> None:
        target = None if use_time else pid
        while not done.wait(SAMPLE_SECONDS):
            if target is None:
                target = _child_of(pid)
                if target is None:
                    continue
            hwm = _status_kb(target, "VmHWM")
            seen["hwm"] = max(seen["hwm"], hwm)
            try:
                raw = Path("/proc/%d/cmdline" % target).read_bytes()
                if raw:
                    seen["cmdline"] = raw.replace(b"\0", b" ").decode("utf-8", "replace").strip()
            except OSError:
                pass
            # A 32-bit program started by the 64-bit loader runs in a process of its own (the
            # loader runs start.exe /exec), which Wine detaches: it is found by its command line
            # (the program's Windows path) among the newer processes, and sampled from then on.
            if "start.exe" not in seen["cmdline"].lower():
                continue
            kid = seen.get("child")
            if kid is None:
                kid = seen["child"] = _program_process(program, pid)
            if kid is not None:
                hwm = _status_kb(kid, "VmHWM")
                if hwm:
                    seen["child_hwm"] = max(seen.get("child_hwm", 0), hwm)
                    seen["child_cpu"] = max(seen.get("child_cpu", 0.0), _cpu_seconds(kid))
                    seen["cmdline_child"] = program
                else:
                    seen["child"] = None  # gone, or not yet the program: looked for again

    timed_out = threading.Event()

    def kill() -> None:
        timed_out.set()
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    watchdog = threading.Timer(timeout, kill)
    watchdog.daemon = True
    watchdog.start()
    try:
        _, status, usage = os.wait4(pid, 0)
    finally:
        watchdog.cancel()
        done.set()
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    sampler.join(timeout=5)
    peak = seen["hwm"]
    if use_time:
        try:
            peak = int(out.read_text().strip().splitlines()[-1])
        except (OSError, ValueError, IndexError):
            pass
    cmdline = seen["cmdline"]
    cpu = usage.ru_utime + usage.ru_stime
    if "start.exe" in cmdline.lower() and seen.get("cmdline_child"):
        # The program ran beside start.exe: its peak, CPU time (neither is in wait4's figures,
        # which stop at the loader; both as last sampled, so at most one interval short) and
        # name are those of that process.
        peak, cmdline = max(peak, seen.get("child_hwm", 0)), seen["cmdline_child"]
        cpu = max(cpu, seen.get("child_cpu", 0.0))
    return Measure(wall, cpu, peak, seen["hwm"], cmdline, proc.returncode, timed_out.is_set())


def _environ_prefix(pid: int) -> str | None:
    try:
        for item in Path("/proc/%d/environ" % pid).read_bytes().split(b"\0"):
            if item.startswith(b"WINEPREFIX="):
                return item[len(b"WINEPREFIX="):].decode("utf-8", "replace")
    except OSError:
        pass
    return None


def programs_of(prefix: Path, names: tuple[str, ...] = ("regsvr32", "kdht.exe", "trivial.exe")) -> set[int]:
    """Linux processes of this prefix running one of the programs a pass starts or is."""
    me = os.getpid()
    found = set()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == me:
            continue
        try:
            cmd = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace").lower()
        except OSError:
            continue
        if any(n in cmd for n in names) and _environ_prefix(int(entry.name)) == str(prefix):
            found.add(int(entry.name))
    return found


def wait_quiet(prefix: Path, ignore: set[int], timeout: float = QUIET_TIMEOUT) -> None:
    """Waits (bounded) until the programs an earlier pass started have ended: each pass starts
    registrations that it does not wait for, and they must not run into the next measure. One
    still running after the time-out is reported and not waited for again (`ignore` grows)."""
    deadline = time.monotonic() + timeout
    while True:
        busy = programs_of(prefix) - ignore
        if not busy:
            return
        if time.monotonic() > deadline:
            print("  (not waiting any longer for processes %s, still running after %gs)"
                  % (sorted(busy), timeout), flush=True)
            ignore |= busy
            return
        time.sleep(0.1)


COMPILERS = {64: ("x86_64-w64-mingw32-gcc", "x86_64-w64-mingw32-gcc-posix"),
             32: ("i686-w64-mingw32-gcc", "i686-w64-mingw32-gcc-posix")}


def compiler_for(bits: int, cxx: bool = False) -> str | None:
    for name in COMPILERS[bits]:
        found = shutil.which(name.replace("-gcc", "-g++") if cxx else name)
        if found:
            return found
    return None


def build_tools(h) -> dict[str, tuple[Path, str]]:
    """trivial.exe, keeper.exe and logline.exe in the prefix's drive C, plus the trivial program and
    the steady pass's probe of each width (trivial32.exe, trivial64.exe, probe32.exe, probe64.exe).
    Without a cross compiler the trivial program is the kRSSUpd.exe stand-in (which records one
    line) and no desktop is kept."""
    target_dir = h.drive_c() / "kdht-bench"
    target_dir.mkdir(parents=True, exist_ok=True)
    compiler = compiler_for(64)
    out: dict[str, tuple[Path, str]] = {}
    for name in ("trivial", "keeper", "logline"):
        exe = target_dir / (name + ".exe")
        if compiler:
            libs = ["-lshell32"] if name == "logline" else []
            r = subprocess.run([compiler, "-O2", "-mwindows", "-o", str(exe), str(BENCH_DIR / (name + ".c")), *libs],
                               capture_output=True, text=True, timeout=300)
            if r.returncode == 0 and exe.is_file():
                out[name] = (exe, "%s.exe (tools/bench/%s.c)" % (name, name))
    if "trivial" not in out:
        shutil.copy2(h.binary("kRSSUpd.exe"), target_dir / "kRSSUpd.exe")
        out["trivial"] = (target_dir / "kRSSUpd.exe", "kRSSUpd.exe stand-in")
    for bits in (32, 64):
        cc, cxx = compiler_for(bits), compiler_for(bits, cxx=True)
        jobs = [("trivial%d" % bits, cc, BENCH_DIR / "trivial.c", []),
                ("imports%d" % bits, cc, BENCH_DIR / "imports.c",
                 ["-ladvapi32", "-lole32", "-loleaut32", "-lshell32", "-luser32", "-lversion", "-lwinhttp"]),
                ("probe%d" % bits, cxx, BENCH_DIR / "steady_probe.cpp",
                 ["-std=c++20", "-I", str(REPO / "src"), str(REPO / "src" / "core" / "PlainXml.cpp"), "-static",
                  "-lole32", "-loleaut32", "-luuid"])]
        for name, comp, source, libs in jobs:
            exe = target_dir / (name + ".exe")
            if not comp:
                continue
            r = subprocess.run([comp, "-O2", "-mwindows", "-o", str(exe), str(source), *libs],
                               capture_output=True, text=True, timeout=300)
            if r.returncode == 0 and exe.is_file():
                out[name] = (exe, "%s (tools/bench/%s, %d-bit)" % (exe.name, source.name, bits))
            else:
                print("bench: could not build %s: %s" % (exe.name, r.stderr[-500:]), file=sys.stderr)
    return out


class DesktopKeeper:
    """keeper.exe running for the whole bench (see keeper.c); ended by its process id."""

    def __init__(self, loader: str, exe_win: str, env: dict[str, str], seconds: int):
        self.proc = subprocess.Popen([loader, exe_win, str(seconds)], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass


# ----------------------------------------------------------------------------------------------
# Passes and floors
# ----------------------------------------------------------------------------------------------

STAGED = re.compile(r"^kxpr/herald/(kdhmenu\.xml|action_[^/]+_xpr/[^/]+)$", re.IGNORECASE)


def tree_state(root: Path) -> dict[str, tuple[int, int]]:
    out = {}
    for dirpath, _dirs, files in os.walk(root):
        for f in files:
            p = Path(dirpath) / f
            try:
                st = p.stat()
            except OSError:
                continue
            out[p.relative_to(root).as_posix()] = (st.st_size, st.st_mtime_ns)
    return out


@dataclass
class PassRecord:
    variant: str
    case: str
    round: int
    load: float
    m: Measure
    exchanges: int = 0
    floor_http: float = 0.0
    floor_files: float = 0.0
    written: int = 0
    files: int = 0
    answers: int = -1
    log_lines: int = 0

    @property
    def floor(self) -> float:
        return self.floor_http + self.floor_files


@dataclass
class Bench:
    h: object
    agent: object
    client: object
    port: int
    work: Path
    env: dict[str, str]
    loader: str
    timeout: float
    records: list[PassRecord] = field(default_factory=list)
    deployed: str | None = None
    ignore: set[int] = field(default_factory=set)  # hung programs not to wait for
    log_line_costs: list[tuple[int, float]] = field(default_factory=list)  # (round, seconds per line)
    probes: list[dict] = field(default_factory=list)  # parts of the steady pass, timed alone

    def reset_agent(self) -> None:
        a = self.agent
        for rel in (r"kXPR\Herald", "Herald", "XPRPostLogs", "Scheduler INI"):
            shutil.rmtree(a.path(rel), ignore_errors=True)
        for rel in (self.h.LOG_REL, self.h.STATUS_INI_REL):
            a.path(rel).unlink(missing_ok=True)
        a.path("Scheduler INI").mkdir(exist_ok=True)
        a.path(r"ApplicationLog\kXPRLog").mkdir(parents=True, exist_ok=True)

    def deploy(self, exe: Path) -> None:
        if self.deployed != str(exe):
            shutil.copy2(exe, self.agent.path(self.h.LAYOUT["kDHT.exe"]))
            # The checksum library of the program's own width: a 64-bit program cannot load a
            # 32-bit library, and the other way round.
            library = exe.parent / "KGnMD5.dll"
            if library.is_file():
                shutil.copy2(library, self.agent.path(self.h.LAYOUT["KGnMD5.dll"]))
            self.deployed = str(exe)

    def run_pass(self, variant: str, exe: Path, case: str, scenario: Path, rnd: int, plain: int | None) -> PassRecord:
        self.deploy(exe)
        self.reset_agent()
        wait_quiet(self.h.wineprefix(), self.ignore)
        self.client.set_scenario(scenario)
        since = max((r["seq"] for r in self.client.requests()), default=0)
        before = tree_state(self.agent.install)
        load = os.getloadavg()[0]
        m = run_measured([self.loader, self.agent.exe_win], self.env, self.timeout, self.work)
        rec = PassRecord(variant, case, rnd, load, m)
        if m.timed_out:
            raise RuntimeError("%s: kDHT.exe did not end within %gs" % (case, self.timeout))
        msgs = self.agent.log_messages()
        if not msgs or msgs[-1] != "MSG : Application Ended":
            raise RuntimeError("%s: the pass did not end normally; log tail:\n%s" % (case, "\n".join(msgs[-15:])))
        if "kdht.exe" not in m.cmdline.lower():
            raise RuntimeError("%s: measured process was %r, not kDHT.exe" % (case, m.cmdline))
        errors = [x for x in msgs if x.startswith("ERR : ") and "CleanUpPostProcess" not in x
                  and "Could not open registry key" not in x]
        if errors:
            raise RuntimeError("%s: unexpected error lines, e.g. %r" % (case, errors[0][:300]))
        exchanges = [r for r in self.client.requests(since=since) if r.get("page")]
        rec.exchanges = len(exchanges)
        # Lines as written, one per time stamp: a message's own line breaks do not count.
        rec.log_lines = sum(1 for line in self.agent.log_lines() if line.stamp is not None)
        if plain is not None:
            rec.answers = self.count_answers()
            if rec.answers != plain + SCRIPT_ACTIONS:
                raise RuntimeError("%s: %d actions answered, %d expected" % (case, rec.answers, plain + SCRIPT_ACTIONS))
        self.floor(rec, exchanges, before)
        self.records.append(rec)
        return rec

    def count_answers(self) -> int:
        p = self.agent.path(r"kXPR\Herald\kDHMenu.xml")
        if not p.is_file():
            return -1
        data = p.read_bytes()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("utf-8", "replace")
        return len(re.findall(r"<filtersatisfied>(?:true|false)</filtersatisfied>", text))

    def floor(self, rec: PassRecord, exchanges: list[dict], before: dict[str, tuple[int, int]]) -> None:
        after = tree_state(self.agent.install)
        scratch = self.work / "floor-scratch"
        shutil.rmtree(scratch, ignore_errors=True)
        files = []
        for rel, st in sorted(after.items()):
            if before.get(rel) == st:
                continue
            src = str(self.agent.install / rel)
            files.append({"source": src, "target": str(scratch / rel)})
            if STAGED.match(rel):  # staged first, then copied into place
                files.append({"source": src, "target": str(scratch / "staged" / rel)})
        job = {"port": self.port, "host": "127.0.0.1", "files": files, "exchanges": [
            {"method": r["method"], "path": r["path"], "headers": r.get("headers") or {},
             "body_b64": base64.b64encode(r["body"].encode(r.get("body_encoding") or "utf-8")).decode()}
            for r in exchanges]}
        job_path = self.work / "floor-job.json"
        job_path.write_text(json.dumps(job))
        r = subprocess.run([sys.executable, str(BENCH_DIR / "floor_io.py"), str(job_path)], capture_output=True,
                           text=True, timeout=self.timeout)
        if r.returncode != 0:
            raise RuntimeError("floor replay failed: %s" % r.stderr[-2000:])
        out = json.loads(r.stdout.strip().splitlines()[-1])
        rec.floor_http, rec.floor_files = out["http_s"], out["files_s"]
        rec.written, rec.files = out["written"], out["files"]
        shutil.rmtree(scratch, ignore_errors=True)

    def run_log_lines(self, exe_win: str, rnd: int, lines: int = LOG_PROBE_LINES) -> float:
        """Seconds per log line written as the run log writes it (open, append, close), in the
        agent's own log folder under the same Wine."""
        wait_quiet(self.h.wineprefix(), self.ignore)
        result = self.h.drive_c() / "kdht-bench" / "logline.txt"
        result.unlink(missing_ok=True)
        target = self.agent.win(r"ApplicationLog\kXPRLog\logline-probe.log")
        r = subprocess.run([self.loader, exe_win, target, str(lines), self.h.unix_to_win(result)], env=self.env,
                           capture_output=True, timeout=self.timeout)
        if r.returncode != 0 or not result.is_file():
            raise RuntimeError("log line probe failed with %d" % r.returncode)
        per_line = float(result.read_text().strip())
        self.log_line_costs.append((rnd, per_line))
        return per_line

    def run_trivial(self, exe_win: str, rnd: int, case: str = "trivial") -> PassRecord:
        wait_quiet(self.h.wineprefix(), self.ignore)
        load = os.getloadavg()[0]
        m = run_measured([self.loader, exe_win], self.env, self.timeout, self.work)
        if m.timed_out or m.status != 0:
            raise RuntimeError("trivial program failed: %r" % m)
        rec = PassRecord("", case, rnd, load, m)
        self.records.append(rec)
        return rec

    def run_steady(self, variant: str, exe: Path, plain: int, held: Path, nnt: Path, rnd: int,
                   retry: bool = True) -> PassRecord:
        """A pass that holds a sealed template of `plain` actions and is told "No New Template"."""
        self.deploy(exe)
        self.reset_agent()
        herald = self.agent.path(r"kXPR\Herald")
        herald.mkdir(parents=True, exist_ok=True)
        for name in ("kDHMenu.xml", "kDHMenu.dat"):
            shutil.copy2(held / name, herald / name)
        wait_quiet(self.h.wineprefix(), self.ignore)
        self.client.set_scenario(nnt)
        before = (herald / "kDHMenu.xml").read_bytes()
        load = os.getloadavg()[0]
        m = run_measured([self.loader, self.agent.exe_win], self.env, self.timeout, self.work)
        case = "steady-%d" % plain
        rec = PassRecord(variant, case, rnd, load, m)
        if m.timed_out:
            raise RuntimeError("%s: kDHT.exe did not end within %gs" % (case, self.timeout))
        msgs = self.agent.log_messages()
        if not msgs and retry and m.status == 0:
            # No log at all: the program ended before it knew its log (a silent end, as at the
            # single-instance check). Seen once in a few hundred passes, with the previous release,
            # the cause not established; such a pass measures nothing, and is run again once.
            print("  (%s %s left no log: a silent end; run again)" % (variant, case), flush=True)
            return self.run_steady(variant, exe, plain, held, nnt, rnd, retry=False)
        if not msgs or msgs[-1] != "MSG : Application Ended":
            raise RuntimeError("%s: the pass did not end normally; log tail:\n%s" % (case, "\n".join(msgs[-15:])))
        # A pass this short may end before the sampler has seen its command line: the log lines
        # below show that it was the kDHT.exe deployed that ran.
        if m.cmdline and "kdht.exe" not in m.cmdline.lower() and "start.exe" not in m.cmdline.lower():
            raise RuntimeError("%s: measured process was %r, not kDHT.exe" % (case, m.cmdline))
        expected = ["MSG : Checksum matched", "MSG : tempid : " + held_id(plain), "MSG : tempver : 3"]
        missing = [x for x in expected if x not in msgs]
        errors = [x for x in msgs if x.startswith("ERR")]
        if missing or errors:
            raise RuntimeError("%s: the held template was not read as it should be (missing %r, errors %r)"
                               % (case, missing, errors[:2]))
        if (herald / "kDHMenu.xml").read_bytes() != before:
            raise RuntimeError("%s: the pass changed the held template" % case)
        rec.log_lines = sum(1 for line in self.agent.log_lines() if line.stamp is not None)
        self.records.append(rec)
        return rec

    def run_probe(self, exe_win: str, bits: int, plain: int, held: Path, library: Path, rnd: int) -> dict:
        """The parts of a steady pass timed alone (tools/bench/steady_probe.cpp), in a fresh process
        of the pass's width, against the same held template."""
        wait_quiet(self.h.wineprefix(), self.ignore)
        result = self.h.drive_c() / "kdht-bench" / "probe.txt"
        result.unlink(missing_ok=True)
        r = subprocess.run([self.loader, exe_win, self.h.unix_to_win(held / "kDHMenu.xml"),
                            self.h.unix_to_win(library), self.h.unix_to_win(result)], env=self.env,
                           capture_output=True, timeout=self.timeout)
        if r.returncode != 0 or not result.is_file():
            raise RuntimeError("steady probe failed with %d" % r.returncode)
        parts = {k: float(v) for k, v in (line.split() for line in result.read_text().split("\n") if line.strip())}
        if any(v < 0 for v in parts.values()):
            raise RuntimeError("steady probe: a part could not be measured: %r" % parts)
        self.probes.append({"bits": bits, "plain": plain, "round": rnd, **parts})
        return parts


# ----------------------------------------------------------------------------------------------
# Figures
# ----------------------------------------------------------------------------------------------


def med(values: list[float]) -> float:
    return statistics.median(values) if values else float("nan")


def summarise(records: list[PassRecord], variant: str, sizes: list[int], template_bytes: dict[str, int]) -> list[dict]:
    """One row per case of a variant (trivial program first): medians, and the derived columns."""
    by: dict[str, list[PassRecord]] = {}
    for r in records:
        if r.case == "trivial" or r.variant == variant:
            by.setdefault(r.case, []).append(r)

    def stats(case: str) -> dict:
        rs = by.get(case, [])
        return {
            "case": case, "n": len(rs), "bytes": template_bytes.get(case, 0),
            "wall": med([r.m.wall for r in rs]), "wall_min": min((r.m.wall for r in rs), default=float("nan")),
            "wall_max": max((r.m.wall for r in rs), default=float("nan")),
            "cpu": med([r.m.cpu for r in rs]), "rss": med([r.m.peak_kb / 1024 for r in rs]),
            "floor": med([r.floor for r in rs]), "floor_http": med([r.floor_http for r in rs]),
            "floor_files": med([r.floor_files for r in rs]), "exchanges": med([r.exchanges for r in rs]),
            "written": med([r.written for r in rs]), "load": med([r.load for r in rs]),
            "log_lines": med([r.log_lines for r in rs]),
        }

    trivial, nnt = stats("trivial"), stats("nnt")
    nnt["rss_trivial"] = nnt["rss"] - trivial["rss"]
    nnt["x_trivial"] = nnt["wall"] / trivial["wall"] if trivial["wall"] > 0 else float("nan")
    rows = [trivial, nnt]
    prev = None
    for n in sizes:
        s = stats(str(n))
        if s["n"] == 0:
            continue
        s["grow"] = s["wall"] - nnt["wall"]
        s["floor_grow"] = s["floor"] - nnt["floor"]
        s["ratio"] = s["grow"] / s["floor_grow"] if s["floor_grow"] > 0 else float("nan")
        s["rss_trivial"] = s["rss"] - trivial["rss"]
        s["rss_nnt"] = s["rss"] - nnt["rss"]
        s["exponent"] = float("nan")
        if prev is not None and prev["grow"] > 0 and s["grow"] > 0:
            s["exponent"] = math.log(s["grow"] / prev["grow"]) / math.log(n / int(prev["case"]))
        rows.append(s)
        prev = s
    return rows


def fmt(v: float | None, pattern: str = "%.2f") -> str:
    return "–" if v is None or (isinstance(v, float) and math.isnan(v)) else pattern % v


def table(rows: list[dict]) -> str:
    head = ("| case | template bytes | runs | pass s (min–max) | CPU s | growing s | floor s | floor growing s "
            "| growing ÷ floor growing | peak MiB | peak − trivial MiB | peak − NNT MiB | exponent |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    labels = {"trivial": "trivial program", "nnt": "No New Template"}
    for r in rows:
        case = labels[r["case"]] if r["case"] in labels else "%s actions" % format(int(r["case"]), ",")
        lines.append("| %s | %s | %d | %s (%s–%s) | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            case, format(r["bytes"], ",") if r["bytes"] else "–", r["n"], fmt(r["wall"], "%.3f"),
            fmt(r["wall_min"], "%.3f"), fmt(r["wall_max"], "%.3f"), fmt(r["cpu"], "%.3f"), fmt(r.get("grow"), "%.3f"),
            fmt(r["floor"] if r["case"] != "trivial" else None, "%.3f"), fmt(r.get("floor_grow"), "%.3f"),
            fmt(r.get("ratio"), "%.1f"), fmt(r["rss"], "%.1f"), fmt(r.get("rss_trivial"), "%.1f"),
            fmt(r.get("rss_nnt"), "%.1f"), fmt(r.get("exponent"), "%.2f")))
    return "\n".join(lines)


def log_block(rows: list[dict], per_line: float) -> list[str]:
    """What the run log's lines cost as the log writes them (one open, write and close each), and the
    growing part without that cost against the floor's growing part."""
    if math.isnan(per_line):
        return []
    nnt = next((r for r in rows if r["case"] == "nnt"), None)
    out = ["The run log: one open, append and close per line cost %.3f ms under this Wine (median of the "
           "rounds' probes, %s lines each). Per pass:" % (per_line * 1000, format(LOG_PROBE_LINES, ",")), ""]
    for r in rows:
        if r["case"] in ("trivial", "nnt") or nnt is None or "grow" not in r:
            continue
        grow_lines = r["log_lines"] - nnt["log_lines"]
        log_s = grow_lines * per_line
        rest = r["grow"] - log_s
        ratio = rest / r["floor_grow"] if r["floor_grow"] > 0 else float("nan")
        out.append("- %s actions: %s log lines (%s more than No New Template), about %.1f s of the growing part; "
                   "the rest %.1f s, %s× its floor's growing part" % (
                       format(int(r["case"]), ","), format(int(r["log_lines"]), ","), format(int(grow_lines), ","),
                       log_s, rest, fmt(ratio, "%.1f")))
    return out


def targets(rows: list[dict]) -> list[str]:
    by = {r["case"]: r for r in rows}
    sized = [r for r in rows if r["case"] not in ("trivial", "nnt")]
    out = []

    def line(ok: bool | None, text: str) -> None:
        out.append("- %s %s" % ({True: "met:", False: "MISSED:", None: "not measured:"}[ok], text))

    big = sized[-1] if sized else None
    if len(sized) >= 2 and not math.isnan(big["exponent"]):
        line(big["exponent"] <= 1.1, "growth exponent %s→%s actions %.2f (at most 1.1)"
             % (format(int(sized[-2]["case"]), ","), format(int(big["case"]), ","), big["exponent"]))
    else:
        line(None, "growth exponent between the two largest sizes")
    if big and not math.isnan(big["ratio"]):
        line(big["ratio"] <= 10, "growing part at %s actions %.1f× its I/O floor's growing part (at most 10×)"
             % (format(int(big["case"]), ","), big["ratio"]))
    nnt = by.get("nnt")
    if nnt and not math.isnan(nnt["x_trivial"]):
        line(nnt["x_trivial"] <= 4, "No New Template pass %.2f× the trivial program (at most 4×)" % nnt["x_trivial"])
    if big and big["bytes"]:
        q = big["rss_nnt"] * 1048576 / big["bytes"]
        line(q < 3, "growing memory at %s actions %.1f× the template's size (under 3×)" % (format(int(big["case"]), ","), q))
    return out


STEADY_TARGET = 0.050


def steady_rows(records: list[PassRecord], probes: list[dict], variants: list[tuple[str, Path, int]],
                sizes: list[int], held_bytes: dict[int, int], per_line: float) -> list[dict]:
    """One row per variant and held size: the pass less the trivial program of its width in the
    same round (median, min, max), and the parts each take when timed alone (medians)."""
    trivial = {(r.case, r.round): r.m.wall for r in records if r.case.startswith(("trivial", "imports"))}
    rows = []
    for name, exe, bits in variants:
        for n in sizes:
            rs = [r for r in records if r.variant == name and r.case == "steady-%d" % n]
            diffs = [r.m.wall - trivial[("trivial%d" % bits, r.round)] for r in rs
                     if ("trivial%d" % bits, r.round) in trivial]
            ps = [p for p in probes if p["bits"] == bits and p["plain"] == n]
            imports = [trivial[("imports%d" % bits, rnd)] - trivial[("trivial%d" % bits, rnd)]
                       for (case, rnd) in trivial if case == "imports%d" % bits and ("trivial%d" % bits, rnd) in trivial]
            part = {k: med([p[k] for p in ps])
                    for k in ("spawn", "dll_http", "dll_dom", "checksum", "dom_read", "plain_read")}
            lines = med([r.log_lines for r in rs])
            rows.append({"variant": name, "bits": bits, "plain": n, "bytes": held_bytes.get(n, 0), "n": len(diffs),
                         "diff": med(diffs), "diff_min": min(diffs, default=float("nan")),
                         "diff_max": max(diffs, default=float("nan")), "wall": med([r.m.wall for r in rs]),
                         # Not known when only the loader's start.exe was measured (see run_measured).
                         "peak": (float("nan") if any("start.exe" in r.m.cmdline.lower() for r in rs)
                                  else med([r.m.peak_kb / 1024 for r in rs])), "lines": lines,
                         "log_s": lines * per_line if not math.isnan(per_line) else float("nan"),
                         "imports": med(imports), **part})
    return rows


def steady_table(rows: list[dict], trivial: dict[int, float]) -> str:
    head = ("| kDHT.exe | width | held actions | held bytes | runs | pass − trivial s (min–max) | log lines | "
            "log lines s | children s | imported DLLs s | HTTP DLL s | COM + DOM DLL s | checksum s | DOM read s | "
            "plain read s | peak MiB |")
    out = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        out.append("| %s | %s | %s | %s | %d | %s (%s–%s) | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            r["variant"], "i686" if r["bits"] == 32 else "x86_64", format(r["plain"], ","), format(r["bytes"], ","),
            r["n"], fmt(r["diff"], "%.3f"), fmt(r["diff_min"], "%.3f"), fmt(r["diff_max"], "%.3f"),
            fmt(r["lines"], "%.0f"), fmt(r["log_s"], "%.3f"), fmt(r["spawn"], "%.3f"), fmt(r["imports"], "%.3f"),
            fmt(r["dll_http"], "%.3f"),
            fmt(r["dll_dom"], "%.3f"), fmt(r["checksum"], "%.3f"), fmt(r["dom_read"], "%.3f"),
            fmt(r["plain_read"], "%.3f"), fmt(r["peak"], "%.1f")))
    widths = ", ".join("%s %s s" % ("i686" if b == 32 else "x86_64", fmt(v, "%.3f")) for b, v in sorted(trivial.items()))
    return "\n".join(out) + "\n\nTrivial program of each width (median): " + widths


def steady_targets(rows: list[dict]) -> list[str]:
    out = []
    for r in rows:
        if math.isnan(r["diff"]):
            continue
        out.append("- %s %s (%s), %s held actions: %.3f s beyond the trivial program (at most %.3f s)" % (
            "met:" if r["diff"] <= STEADY_TARGET else "MISSED:", r["variant"], "i686" if r["bits"] == 32 else "x86_64",
            format(r["plain"], ","), r["diff"], STEADY_TARGET))
    return out


def steady_round(bench: "Bench", rnd: int, variants: list[tuple[str, Path, int]], sizes: list[int],
                 held: dict[int, tuple[Path, int]], nnt: Path, tools: dict, libraries: dict[int, Path]) -> None:
    cases = [("", "trivial%d" % b) for b in sorted({v[2] for v in variants})]
    cases += [("", "imports%d" % b) for b in sorted({v[2] for v in variants}) if "imports%d" % b in tools]
    cases += [(name, str(n)) for name, _exe, _bits in variants for n in sizes]
    k = (rnd - 1) % len(cases)
    cases = cases[k:] + cases[:k]
    exes = {name: (exe, bits) for name, exe, bits in variants}
    print("steady round %d (%s)" % (rnd, load_text()), flush=True)
    for name, case in cases:
        if case.startswith(("trivial", "imports")):
            r = bench.run_trivial(bench.h.unix_to_win(tools[case][0]), rnd, case)
            print("  %-9s %-10s %8.3f s  peak %6.1f MiB" % ("", case, r.m.wall, r.m.peak_kb / 1024), flush=True)
        else:
            n = int(case)
            r = bench.run_steady(name, exes[name][0], n, held[n][0], nnt, rnd)
            print("  %-9s steady-%-5d %8.3f s  cpu %6.3f s  peak %6.1f MiB  %d log lines  load %.2f" % (
                name, n, r.m.wall, r.m.cpu, r.m.peak_kb / 1024, r.log_lines, r.load), flush=True)
    for bits in sorted({v[2] for v in variants}):
        probe = tools.get("probe%d" % bits)
        if probe is None or bits not in libraries:
            continue
        for n in sizes:
            p = bench.run_probe(bench.h.unix_to_win(probe[0]), bits, n, held[n][0], libraries[bits], rnd)
            print("  probe %d-bit %6d: %s" % (bits, n, "  ".join("%s %.3f" % kv for kv in p.items())), flush=True)


def update_doc(doc: Path, block: str, marker: str = "bench") -> None:
    begin, end = "<!-- %s:begin -->" % marker, "<!-- %s:end -->" % marker
    text = doc.read_text(encoding="utf-8") if doc.is_file() else "# Performance\n\n%s\n%s\n" % (begin, end)
    if begin not in text or end not in text:
        text = text.rstrip("\n") + "\n\n%s\n%s\n" % (begin, end)
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    doc.parent.mkdir(parents=True, exist_ok=True)
    doc.write_text(head + begin + "\n" + block.strip("\n") + "\n" + end + tail, encoding="utf-8")


# ----------------------------------------------------------------------------------------------
# Main
# ----------------------------------------------------------------------------------------------


def parse_variants(items: list[str], default: Path) -> list[tuple[str, Path]]:
    out = [("build", default)]
    for item in items:
        name, sep, path = item.partition("=")
        if not sep or not name or not Path(path).is_file():
            raise SystemExit("bench: --compare wants NAME=PATH to a kDHT.exe, not %r" % item)
        out.append((name, Path(path).resolve()))
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build/win32", help="build folder holding bin/kDHT.exe")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of every case")
    ap.add_argument("--big-rounds", type=int, default=3, help="rounds that include the largest size")
    ap.add_argument("--sizes", default="10,100,1000,10000", help="plain actions per template")
    ap.add_argument("--compare", action="append", default=[], metavar="NAME=PATH",
                    help="also measure another kDHT.exe, interleaved with the build's (e.g. before=old.exe)")
    ap.add_argument("--timeout", type=float, default=900.0, help="limit of one pass, seconds")
    ap.add_argument("--doc", default=str(REPO / "docs" / "performance.md"),
                    help="document whose bench block receives the table ('' for none)")
    ap.add_argument("--json", help="also write every measure to this file")
    ap.add_argument("--keep", action="store_true", help="keep the agent folder (and the last pass's log) afterwards")
    ap.add_argument("--steady-only", action="store_true",
                    help="measure only the steady pass (held template, \"No New Template\"): a few minutes")
    ap.add_argument("--steady-rounds", type=int, default=7, help="rounds of the steady pass")
    ap.add_argument("--steady-sizes", default="10,1000,10000", help="actions of the held templates of the steady pass")
    args = ap.parse_args(argv)

    build = Path(args.build)
    build = (build if build.is_absolute() else (REPO / build)).resolve()
    setup_environment(build)
    from kdht_testkit import harness as h  # noqa: E402  (needs the environment above)

    if not h.kdht_built():
        print("bench: kDHT.exe is not built in %s" % h.bin_dir(), file=sys.stderr)
        return 1
    variants = parse_variants(args.compare, h.binary("kDHT.exe"))
    sizes = sorted({int(x) for x in args.sizes.split(",") if x.strip()})
    steady_sizes = sorted({int(x) for x in args.steady_sizes.split(",") if x.strip()})
    widths = [(name, exe, h.pe_bits(exe)) for name, exe in variants]
    work = build / "bench"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    info = machine_info()
    load_start = load_text()
    print("bench: %s, %s CPUs, %s, %s" % (info["cpu"], info["nproc"], info["memory"], info["wine"]))
    print("bench: load at start: %s" % load_start, flush=True)

    h.ensure_prefix()
    h.start_wineserver()
    names = software_names()
    scenarios = write_scenarios(work, [] if args.steady_only else sizes, names)
    tools = build_tools(h)
    bench_dir = h.drive_c() / "kdht-bench"
    held = write_held(bench_dir, steady_sizes, names)
    libraries: dict[int, Path] = {}
    for _name, exe, bits in widths:
        library = exe.parent / "KGnMD5.dll"
        if bits not in libraries and library.is_file():
            libraries[bits] = bench_dir / ("KGnMD5-%d.dll" % bits)
            shutil.copy2(library, libraries[bits])
    trivial_win = h.unix_to_win(tools["trivial"][0])
    env = h.wine_env()
    loader = wine_loader()

    sim_proc = h.sim.SimProcess(record=work / "requests.jsonl", lifetime=0)
    keeper = DesktopKeeper(loader, h.unix_to_win(tools["keeper"][0]), env, 6 * 3600) if "keeper" in tools else None
    agent = None
    installed = False
    bench = None
    try:
        agent = h.Agent.create(AGENT_NAME, root=AGENT_ROOT, sim_url=sim_proc.client.base_url(), standins=[],
                               register_popup=False)
        if not args.steady_only:
            h.import_reg(software_reg(names, remove=False), timeout=300)
            installed = True
        bench = Bench(h, agent, sim_proc.client, sim_proc.port, work, env, loader, args.timeout)
        # Programs of this prefix left from before the bench (a registration that hangs under
        # Wine, say) are not the bench's to wait for.
        bench.ignore |= programs_of(h.wineprefix())
        if bench.ignore:
            print("bench: not waiting for programs already running: %s" % sorted(bench.ignore), flush=True)

        if not args.steady_only:
            # One unmeasured pass of each kind first: Wine's and the page cache's first-use costs.
            print("bench: warming up", flush=True)
            bench.run_trivial(trivial_win, 0)
            for name, exe in variants:
                bench.run_pass(name, exe, "nnt", scenarios["nnt"][0], 0, None)
                warm = bench.run_pass(name, exe, str(sizes[0]), scenarios[str(sizes[0])][0], 0, sizes[0])
            soft_line = next((m for m in agent.log_messages() if m.startswith("MSG : Softwares installed on machine : ")), "")
            listed = len([x for x in soft_line.split(" : ", 2)[-1].split(";") if x.startswith(tuple(VENDORS))])
            if listed < len(names):
                raise RuntimeError("the pass listed %d of the %d bench programs" % (listed, len(names)))
            print("bench: the pass lists %d installed programs; %d exchanges per template pass"
                  % (listed, warm.exchanges), flush=True)
            bench.records.clear()

            for rnd in range(1, args.rounds + 1):
                cases = [("", "trivial")] + [(name, case) for name, _ in variants for case in
                                            ["nnt"] + [str(n) for n in sizes if n != max(sizes) or rnd <= args.big_rounds]]
                # Rotate the order so that no case always follows the same neighbour.
                k = (rnd - 1) % len(cases)
                cases = cases[k:] + cases[:k]
                print("round %d/%d (%s)" % (rnd, args.rounds, load_text()), flush=True)
                if "logline" in tools:
                    per_line = bench.run_log_lines(h.unix_to_win(tools["logline"][0]), rnd)
                    print("  log line probe: %.3f ms per line" % (per_line * 1000), flush=True)
                for name, case in cases:
                    if case == "trivial":
                        r = bench.run_trivial(trivial_win, rnd)
                    else:
                        exe = dict(variants)[name]
                        r = bench.run_pass(name, exe, case, scenarios[case][0], rnd, None if case == "nnt" else int(case))
                    print("  %-7s %-8s %8.3f s  cpu %7.3f s  peak %6.1f MiB  floor %7.3f s (http %.3f, files %.3f; "
                          "%d exchanges, %d files, %d bytes)  load %.2f" % (
                              r.variant, case, r.m.wall, r.m.cpu, r.m.peak_kb / 1024, r.floor, r.floor_http,
                              r.floor_files, r.exchanges, r.files, r.written, r.load), flush=True)

        # The steady pass: a held template, "No New Template", beside the trivial program of its width.
        print("bench: steady pass, held templates of %s actions" % ", ".join(format(n, ",") for n in steady_sizes),
              flush=True)
        for name, exe, bits in widths:  # unmeasured: first-use costs of each program and size
            bench.run_trivial(bench.h.unix_to_win(tools["trivial%d" % bits][0]), 0, "trivial%d" % bits)
            for n in steady_sizes:
                bench.run_steady(name, exe, n, held[n][0], scenarios["nnt"][0], 0)
        bench.records = [r for r in bench.records if r.round != 0]
        for rnd in range(1, args.steady_rounds + 1):
            if "logline" in tools:
                per_line = bench.run_log_lines(h.unix_to_win(tools["logline"][0]), 100 + rnd)
                print("  log line probe: %.3f ms per line" % (per_line * 1000), flush=True)
            steady_round(bench, rnd, widths, steady_sizes, held, scenarios["nnt"][0], tools, libraries)
    finally:
        if installed:
            try:
                h.import_reg(software_reg(names, remove=True), timeout=300)
            except Exception as e:  # noqa: BLE001 - reported, the rest of the clean-up still runs
                print("bench: could not remove the Uninstall entries: %s" % e, file=sys.stderr)
        if agent is not None:
            agent.cleanup(remove_folder=not args.keep)
        if keeper is not None:
            keeper.stop()
        sim_proc.stop()
        shutil.rmtree(h.drive_c() / "kdht-bench", ignore_errors=True)

    load_end = load_text()
    stamp = time.strftime("%Y-%m-%d %H:%M %Z")
    machine = "- machine: %s CPUs (%s), %s memory, %s, Linux %s" % (info["nproc"], info["cpu"], info["memory"],
                                                                  info["wine"], info["kernel"])
    if not args.steady_only:
        template_bytes = {case: b for case, (_f, b) in scenarios.items()}
        blocks = []
        goals: list[str] = []
        per_line = med([c for r, c in bench.log_line_costs if r < 100])
        log_lines: list[str] = []
        for name, exe in variants:
            rows = summarise(bench.records, name, sizes, template_bytes)
            tab = table(rows)
            width = "i686" if h.pe_bits(exe) == 32 else "x86_64"
            title = ("kDHT.exe of the build (%s, %s)" % (width, exe) if name == "build"
                     else "%s (%s): %s" % (name, width, exe))
            blocks.append("%s:\n\n%s" % (title, tab))
            if name == "build":
                goals = targets(rows)
                log_lines = log_block(rows, per_line)
        print()
        print("\n\n".join(blocks))
        print()
        print("\n".join(goals))
        if log_lines:
            print()
            print("\n".join(log_lines))

        block = "\n".join([
            "Run of %s: %d rounds (%d with %s actions), medians." % (
                stamp, args.rounds, min(args.big_rounds, args.rounds), format(max(sizes), ",")),
            "",
            machine,
            "- load at start: `%s`" % load_start,
            "- load at end: `%s`" % load_end,
            "- template passes: N plain actions + %d script actions × %d script templates, %s installed programs; "
            "trivial program: %s; desktop kept: %s" % (SCRIPT_ACTIONS, TEMPLATE_IDS_PER_SCRIPT_ACTION,
                                                       format(len(names), ","), tools["trivial"][1],
                                                       "yes" if keeper else "no"),
            "",
            "\n\n".join(blocks),
            "",
            "Targets:",
            "",
            *goals,
            *([""] + log_lines if log_lines else []),
        ])
        if args.doc:
            update_doc(Path(args.doc), block)

    steady_line = med([c for r, c in bench.log_line_costs if r > 100])
    held_bytes = {n: b for n, (_d, b) in held.items()}
    srows = steady_rows(bench.records, bench.probes, widths, steady_sizes, held_bytes, steady_line)
    trivial_by_bits = {b: med([r.m.wall for r in bench.records if r.case == "trivial%d" % b])
                       for b in sorted({w[2] for w in widths})}
    stab = steady_table(srows, trivial_by_bits)
    sgoals = steady_targets(srows)
    variants_text = "; ".join("%s = %s" % (name, exe) for name, exe, _b in widths)
    sblock = "\n".join([
        "Run of %s: %d rounds, medians; each pass less the trivial program of its width in the same round." % (
            stamp, args.steady_rounds),
        "",
        machine,
        "- load at start: `%s`" % load_start,
        "- load at end: `%s`" % load_end,
        "- held template: N plain actions, every one answered, UTF-16, sealed; reply \"No New Template\"; "
        "desktop kept: %s" % ("yes" if keeper else "no"),
        "- programs: %s" % variants_text,
        "- parts, each timed alone in a fresh process of the width (tools/bench/steady_probe.cpp, medians): log "
        "lines = the pass's lines × %s ms (one open, append and close each); children = starting the two regsvr32 "
        "until each CreateProcess returns (a pass that waits for them pays it, one that starts them from a "
        "thread does not); imported DLLs = a trivial program importing the libraries kDHT.exe imports "
        "(tools/bench/imports.c) less the trivial program, same round; HTTP DLL = loading the HTTP library; "
        "COM + DOM DLL = entering the COM apartment and creating the first DOM document (paid by a pass that "
        "creates a component); checksum = loading the checksum library and one checksum of the held "
        "file; DOM read = loading it into a DOM (what a pass that reads the held template through the DOM pays); "
        "plain read = reading its bytes and names with the program's plain reader" % fmt(steady_line * 1000, "%.3f"),
        "",
        stab,
        "",
        "Targets:",
        "",
        *sgoals,
    ])
    print()
    print(sblock)
    print("load at end: %s" % load_end)
    if args.doc:
        update_doc(Path(args.doc), sblock, "steady")
        print("bench: tables written to %s" % args.doc)
    if args.json:
        Path(args.json).write_text(json.dumps({"info": info, "load_start": load_start, "load_end": load_end,
                                               "variants": [[n, str(p)] for n, p in variants],
                                               "records": [{**{k: v for k, v in vars(r).items() if k != "m"},
                                                            **vars(r.m)} for r in bench.records],
                                               "log_line_costs": bench.log_line_costs,
                                               "probes": bench.probes}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
