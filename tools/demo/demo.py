#!/usr/bin/env python3
"""`make demo`: two whole passes of kDHT.exe under Wine against the management-server simulator,
which serves the example set in examples/.

The first pass finds no template on the machine, receives the example template, answers its filter
conditions against a sandbox machine (programs registered for uninstalling as examples/sandbox.json
lists them, Wine's own services), fetches and seals the scripts of its script action, installs it,
restarts the runner, asks the scheduler for it and reports success. The second pass trusts the held
template by its seal, names it in its request and is told "No New Template". Then the state
report kDHTInfo.exe, run from beside kDHT.exe, explains with `--actions` which condition decided
each action's answer on this machine.

Everything is printed in sections: the run log of each pass, the requests the server received, the
install folder, the scheduler request files, the status file and the verdicts of the installed
template. The exit status is 0 only when both passes ran to their end as described.

    python3 tools/demo/demo.py --build build/win32 [--examples examples] [--keep-registry] [--https]

--https: the simulator serves HTTPS at https://localhost:PORT with a certificate from the test
root that the test kit adds to the prefix's trusted roots (once per prefix), so that both passes
go over TLS, as they do in the field.

The build is the shipped i686 one unless --build names another; a 32-bit build runs through the
WoW64 of Wine's 64-bit loader (see `make wine32-env`). The sandbox agent lives in the Wine prefix
$WINEPREFIX (default build/wineprefix) under
C:\\VORNDemo\\Agent\\ and is left there for inspection; its registry entries are removed at the end.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import xml.etree.ElementTree as ET
from pathlib import Path
from types import ModuleType

REPO_ROOT = Path(__file__).resolve().parents[2]
DEFAULT_EXAMPLES = REPO_ROOT / "examples"

AGENT_ROOT = r"C:\VORNDemo"
AGENT_NAME = "Agent"
STANDINS = ("kINDHM.exe", "kRSSUpd.exe", "kPopup.dll", "kDwnJob.dll")
UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
UNINSTALL_KEY_32 = r"SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
TEMPLATE_PAGE = "wpdcmgetdeskheraldtemplate"
PASS_TIMEOUT = 300.0
WIDTH = 100


# ----------------------------------------------------------------------------------------------
# The example set's machine (shared with the demo example's end-to-end test)
# ----------------------------------------------------------------------------------------------

def load_harness() -> ModuleType:
    """The test kit's harness (it reads KDHT_BUILD and WINEPREFIX when called)."""
    tools = str(REPO_ROOT / "tools")
    if tools not in sys.path:
        sys.path.insert(0, tools)
    from kdht_testkit import harness
    return harness


def sandbox_software(examples: Path) -> list[dict]:
    """The programs that examples/sandbox.json registers for uninstalling: view, key, DisplayName."""
    data = json.loads((examples / "sandbox.json").read_text(encoding="utf-8"))
    return list(data.get("uninstall", []))


def _uninstall_path(view: int) -> str:
    if view not in (32, 64):
        raise ValueError("registry view must be 32 or 64, not %r" % view)
    return "HKEY_LOCAL_MACHINE\\" + (UNINSTALL_KEY_32 if view == 32 else UNINSTALL_KEY)


def _reg_text(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


def install_software(h: ModuleType, examples: Path) -> list[dict]:
    """Registers the example set's programs in the prefix (one regedit run); returns them."""
    programs = sandbox_software(examples)
    body = ""
    for p in programs:
        body += '[%s\\%s]\n"DisplayName"="%s"\n\n' % (_uninstall_path(int(p["view"])), p["key"],
                                                     _reg_text(p["DisplayName"]))
    if body:
        h.import_reg(body)
    return programs


def remove_software(h: ModuleType, examples: Path) -> None:
    body = "".join("[-%s\\%s]\n\n" % (_uninstall_path(int(p["view"])), p["key"]) for p in sandbox_software(examples))
    if body:
        h.import_reg(body)


# ----------------------------------------------------------------------------------------------
# Printing
# ----------------------------------------------------------------------------------------------

def section(title: str) -> None:
    print()
    print("=" * WIDTH)
    print(title)
    print("=" * WIDTH, flush=True)


def print_log(lines) -> None:
    """Run-log lines as "HH:NN:SS  message"; a message's further lines are indented below it."""
    for line in lines:
        if line.stamp is None:
            print(" " * 10 + line.message)
        else:
            print("%s  %s" % (line.stamp[-8:], line.message))
    sys.stdout.flush()


def print_requests(records: list[dict]) -> None:
    if not records:
        print("(none)")
    for rec in records:
        answer = rec.get("reply") or {}
        what = "%s %s" % (rec["method"], rec["path"].split("?", 1)[0])
        said = "answered %s, %s bytes" % (answer.get("status", "-"), answer.get("length", "-"))
        print("[%d] %-62s %s" % (rec["seq"], what, said))
        if rec.get("page") and rec["page"] != "files":
            print("     page  : %s" % rec["page"])
        if rec.get("query"):
            print("     query : %s" % "  ".join("%s=%s" % kv for kv in rec["query"].items()))
        if rec.get("body"):
            print("     body  : %s" % rec["body"])
    sys.stdout.flush()


def print_tree(root: Path, win_root: str) -> None:
    print(win_root)

    def walk(folder: Path, depth: int) -> None:
        entries = sorted(folder.iterdir(), key=lambda p: (p.is_file(), p.name.lower()))
        for p in entries:
            indent = "    " * depth
            if p.is_dir():
                print("%s%s\\" % (indent, p.name))
                walk(p, depth + 1)
            else:
                name = indent + p.name
                print("%-70s %10s bytes" % (name, format(p.stat().st_size, ",")))

    walk(root, 1)
    sys.stdout.flush()


def print_text_file(path: Path, label: str) -> None:
    print("--- %s" % label)
    if not path.is_file():
        print("    (missing)")
        return
    data = path.read_bytes()
    text = data[2:].decode("utf-16-le") if data.startswith(b"\xff\xfe") else data.decode("cp1252", "replace")
    for line in text.split("\r\n") if "\r\n" in text else text.splitlines():
        print("    " + line)
    sys.stdout.flush()


def print_verdicts(menu: Path) -> None:
    """The installed template's actions with the conditions and the answer the pass wrote."""
    if not menu.is_file():
        print("(no installed template)")
        return
    data = menu.read_bytes()
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le")
    else:
        text = data.decode("utf-8", "replace")
    root = ET.fromstring(text.lstrip("\ufeff").split("?>", 1)[-1] if text.lstrip().startswith("<?xml") else text)
    print("template %s version %s: %s" % (root.findtext("templateid"), root.findtext("templatever"),
                                          root.findtext("templatename") or ""))
    for action in root.findall("action"):
        print()
        print("action %-4s %-24s filtersatisfied = %s" % (action.get("id"), action.get("name"),
                                                           action.findtext("filtersatisfied")))
        for tag in ("servicepack", "softwares", "services", "scriptids", "temipds"):
            value = action.findtext(tag)
            if value is not None:
                print("    %-12s %s" % (tag, value))
    sys.stdout.flush()


def installed_answers(menu: Path) -> dict[str, str | None]:
    """Each action's filtersatisfied in the installed template, by action id."""
    if not menu.is_file():
        return {}
    root = ET.fromstring(menu.read_bytes())
    return {a.get("id"): a.findtext("filtersatisfied") for a in root.findall("action")}


# ----------------------------------------------------------------------------------------------
# The demo
# ----------------------------------------------------------------------------------------------

def herald_snapshot(agent) -> dict[str, str]:
    """Digest of every file of the feature folder, to tell whether a pass changed it."""
    base = agent.path(r"kXPR\Herald")
    if not base.is_dir():
        return {}
    return {str(p.relative_to(base)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(base.rglob("*")) if p.is_file()}


def run_pass(h: ModuleType, agent, server, number: int, timeout: float) -> tuple[list, list[dict], bool]:
    """One pass: returns its log lines, the requests it made, and whether it completed."""
    log_before = len(agent.log_bytes())
    seq_before = max((r["seq"] for r in server.requests()), default=0)
    result = agent.run("", timeout=timeout, check_timeout=False)
    lines = h.parse_log(agent.log_bytes()[log_before:])
    records = server.requests(since=seq_before)

    section("Pass %d: run log (kXPR\\kDHT.exe started without command line, %.1f s)" % (number, result.elapsed))
    print_log(lines)
    section("Pass %d: requests the server received" % number)
    print_requests(records)
    completed = not result.timed_out and bool(lines) and lines[-1].message == h.ENDED_LINE
    if result.timed_out:
        print("\n!! pass %d did not end within %g s and was stopped" % (number, timeout))
    elif not completed:
        print("\n!! pass %d has no %r line at its end" % (number, h.ENDED_LINE))
    return lines, records, completed


def check(results: list[tuple[str, bool]], what: str, ok: bool) -> None:
    results.append((what, ok))


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=str(REPO_ROOT / "build" / "win32"),
                    help="build folder with bin/kDHT.exe and the agent's stand-ins")
    ap.add_argument("--examples", default=str(DEFAULT_EXAMPLES), help="the simulator's scenario folder")
    ap.add_argument("--timeout", type=float, default=PASS_TIMEOUT, help="seconds allowed for one pass")
    ap.add_argument("--keep-registry", action="store_true",
                    help="leave the sandbox's identity and programs in the registry afterwards")
    ap.add_argument("--https", action="store_true",
                    help="serve HTTPS with a certificate from the test root trusted in the prefix")
    args = ap.parse_args(argv)
    try:
        sys.stdout.reconfigure(errors="replace")
    except (AttributeError, ValueError):
        pass

    build = Path(args.build)
    build = build if build.is_absolute() else (Path.cwd() / build)
    os.environ["KDHT_BUILD"] = str(build.resolve())
    os.environ.setdefault("WINEPREFIX", str(REPO_ROOT / "build" / "wineprefix"))
    examples = Path(args.examples).resolve()
    h = load_harness()

    needed = ("kDHT.exe", "KGnMD5.dll", h.INFO_EXE) + STANDINS + ((h.TRUST_EXE,) if args.https else ())
    missing = [n for n in needed if not h.binary(n).is_file()]
    if missing:
        print("demo: not built in %s: %s (run `make demo`, which builds them)" % (h.bin_dir(), ", ".join(missing)),
              file=sys.stderr)
        return 2
    if not (examples / (TEMPLATE_PAGE + ".xml")).is_file():
        print("demo: %s holds no example template" % examples, file=sys.stderr)
        return 2

    section("kDHT demo: two passes against the management-server simulator")
    print("program        : %s (version %s, %d-bit build)" % (h.binary("kDHT.exe"), h.project_version(),
                                                               h.build_bits()))
    print("Wine prefix    : %s" % h.wineprefix())
    print("example set    : %s" % examples)
    sys.stdout.flush()
    h.ensure_prefix()
    h.start_wineserver()
    try:
        h.require_runnable_build()
    except (RuntimeError, ValueError) as e:
        print("demo: %s" % e, file=sys.stderr)
        return 2

    results: list[tuple[str, bool]] = []
    record = build / "demo" / "requests.jsonl"
    record.parent.mkdir(parents=True, exist_ok=True)
    record.unlink(missing_ok=True)
    if args.https:
        try:
            server = h.https_simulator(scenario=examples, record=record).start()
        except RuntimeError as e:
            print("demo: %s" % e, file=sys.stderr)
            return 2
    else:
        server = h.sim.Simulator(scenario=examples, record=record).start()
    agent = None
    try:
        agent = h.Agent.create(AGENT_NAME, root=AGENT_ROOT, sim_url=server.base_url(), standins=STANDINS)
        programs = install_software(h, examples)
        print("simulator      : %s (pages under %s)" % (server.url, server.base_url()))
        if args.https:
            print("test root      : %s (trusted in the prefix's machine store)" % server.pki.root_pem)
        print("sandbox agent  : %s  (%s)" % (agent.install_win, agent.install))
        print("identity       : HKLM\\%s (32-bit view): InstallationPath=%s %s" % (
            h.REG_KEY, agent.install_value, " ".join("%s=%s" % kv for kv in h.DEFAULT_IDENTITY.items())))
        print("deployed       : kXPR\\kDHT.exe, kXPR\\KGnMD5.dll and the stand-ins %s" % ", ".join(STANDINS))
        print("software       : %s" % "; ".join("%s (%d-bit view)" % (p["DisplayName"], p["view"]) for p in programs))

        # ---- pass 1: no template held ---------------------------------------------------------
        lines1, records1, done1 = run_pass(h, agent, server, 1, args.timeout)
        msgs1 = [x.message for x in lines1]
        check(results, "pass 1 ran to its end", done1)
        check(results, "pass 1 installed the template and reported success",
              agent.exists(r"kXPR\Herald\kDHMenu.xml") and "MSG : sStatus : " in msgs1
              and any(r["page"] == "wpdcmregidtmplveriu" for r in records1))

        section("Install folder after pass 1")
        print_tree(agent.install, agent.install_win)
        section("Installed template kXPR\\Herald\\kDHMenu.xml: actions and the verdicts of pass 1")
        print_verdicts(agent.path(r"kXPR\Herald\kDHMenu.xml"))
        section("Scheduler request files (Scheduler INI\\)")
        sched = agent.path("Scheduler INI")
        files = sorted(sched.iterdir()) if sched.is_dir() else []
        if not files:
            print("(none)")
        for f in files:
            print_text_file(f, "Scheduler INI\\" + f.name)
        section("Status file (kXPR\\kDHTStatus.ini)")
        print_text_file(agent.path(h.STATUS_INI_REL), h.STATUS_INI_REL)
        runner = agent.runner_starts("kINDHM")
        rss = agent.runner_starts("kRSSUpd")
        print()
        print("runner stand-in kINDHM.exe started %d time(s): %s" % (
            len(runner), "; ".join(r.command_line for r in runner) or "-"))
        print("RSS updater stand-in kRSSUpd.exe ran %d time(s)%s" % (
            len(rss), (" as " + ", ".join(sorted({r.user or "?" for r in rss}))) if rss else ""))

        # ---- pass 2: the held template is current ---------------------------------------------
        before = herald_snapshot(agent)
        lines2, records2, done2 = run_pass(h, agent, server, 2, args.timeout)
        msgs2 = [x.message for x in lines2]
        after = herald_snapshot(agent)
        check(results, "pass 2 ran to its end", done2)
        check(results, "pass 2 trusted the held template by its seal (Checksum matched, tempid 2041)",
              "MSG : Checksum matched" in msgs2 and "MSG : tempid : 2041" in msgs2)
        check(results, "pass 2 was told No New Template and changed nothing installed",
              any(m.startswith("MSG : WebPost Return Status: ") and "No New Template" in m for m in msgs2)
              and before == after and before != {})

        if args.https:
            conns = server.connections()
            check(results, "every connection of both passes was TLS with the certificate of the trusted test root",
                  bool(conns) and all(c["tls"] and c["certificate"] == "good" for c in conns)
                  and sum(c["requests"] for c in conns) == len(records1) + len(records2))

        # ---- the state report: why each message is or is not shown ------------------------------
        before_info = herald_snapshot(agent)
        report = agent.info("--actions")
        section("kDHTInfo.exe --actions: which condition decided each action's answer on this machine")
        print(report.stdout.decode("utf-8", "replace").replace("\r\n", "\n"), end="")
        if report.returncode != 0:
            print("!! kDHTInfo.exe --actions ended with %d: %s" % (report.returncode,
                                                                  report.stderr.decode("utf-8", "replace").strip()))
        sys.stdout.flush()
        as_json = agent.info("--actions", "--json")
        reported = {}
        if as_json.returncode == 0:
            reported = {a["id"]: a["filtersatisfied"] for a in json.loads(as_json.stdout.decode("utf-8"))["actions"]}
        check(results, "kDHTInfo.exe --actions gives every action the answer pass 1 installed, and changes nothing",
              report.returncode == 0 and reported == installed_answers(agent.path(r"kXPR\Herald\kDHMenu.xml"))
              and reported != {} and herald_snapshot(agent) == before_info)

        section("Outcome")
        for what, ok in results:
            print("%-6s %s" % ("OK" if ok else "FAILED", what))
        print()
        print("The sandbox stays in %s for inspection; the requests, one JSON object a line, in %s."
              % (agent.install, record))
        return 0 if all(ok for _, ok in results) else 1
    finally:
        if agent is not None:
            agent.kill_processes()
            if not args.keep_registry:
                agent.cleanup(remove_registry=True)
                remove_software(h, examples)
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
