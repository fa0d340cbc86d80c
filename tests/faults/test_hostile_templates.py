"""Hostile templates: at least 200 templates (`make test-full`; a random sample of the random
edits in `make test`) made from valid ones by seeded mutation (elements
dropped, duplicated, renamed; text replaced by long, empty, non-ASCII, control-character and
path-like values; attributes removed; nesting broken), among them hostile names for action ids,
template identifiers and icon URLs.

For each: the run ends with its end line and does not crash, nothing is written outside the
agent's folder (nor anywhere in it that a run does not write), and the run leaves either a template
that agrees with its seal, its script files sealed too, or a failure reason. Unsafe names are
refused with their "ERR : " line; names that are safe land where they belong."""

from __future__ import annotations

import collections
import copy
import random
import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass

import pytest

import faults_bench as fb
from faults_bench import sim

# 30 of the 115 random edits in `make test`, drawn afresh each run (see faults_bench.sweep_size).
RANDOM_CASES = fb.sweep_size("random edits", 115, 30)
SIM_TOKEN = "@SIM@"  # replaced by the simulator's address when the case runs

# ----------------------------------------------------------------------------------------------
# Valid templates the mutations start from
# ----------------------------------------------------------------------------------------------

ICON = SIM_TOKEN + "/files/" + fb.ICON_NAME


def _bases() -> list[str]:
    two_scripts = fb.template(1, icon=ICON, temipds="7,8", extra_actions=(
        '<action name="execute xpr script " id="13"><scriptids>201</scriptids><temipds>9</temipds>'
        "<emailmsgsubject>Second</emailmsgsubject></action>"))
    return [
        fb.template(1, icon=ICON),
        two_scripts,
        "<dcmgetdeskheraldtemplate><templateid>501</templateid><templatever>1</templatever><icon>%s</icon>"
        "<rsssites> </rsssites><rssupd>1</rssupd></dcmgetdeskheraldtemplate>" % ICON,
        fb.template(1, icon=ICON, root="dcmtesttoolgetdhtmpmemb"),
    ]


# ----------------------------------------------------------------------------------------------
# Hostile names
# ----------------------------------------------------------------------------------------------

def _canary(name: str) -> str:
    return fb.canary_win() + "\\" + name


# (name, must be refused). Names that are refused may still be harmless; those not refused must
# land inside the feature folder under their own name.
ACTION_IDS = [
    (r"..\..\..\evil", True), ("../../../evil", True), (r"x\..\..\..\..\evil", True),
    ("\\evil", True), ("/evil", True), (r"C:\evil", True), ("C:evil", True), (_canary("evil"), True),
    (r"\\127.0.0.1\c$\evil", True), (r"\\?\C:\evil", True), (r"\\.\C:\evil", True), ("evil:stream", True),
    ("evil::$DATA", True), ("*", True), ("a?b", True), ("a|b", True), ("a<b>", True), ('a"b', True),
    ("9" * 300, True), ("\nevil", True),
    # The id is the middle of "Action_<id>_XPR": these still name an ordinary folder, made as written.
    ("..", False), (".", False), ("", False), ("CON", False), ("nul", False), ("COM1", False), ("LPT9", False),
    ("AUX.txt", False), ("con.", False), ("evil.", False), ("evil ", False), ("evil. . .", False),
    ("Größe", False), ("x y", False), ("9" * 150, False), ("-1", False),
]
TEMPLATE_IDS = [
    (r"7\..\..\..\evil", True), ("7/../../../evil", True), ("7" + "\\..\\" * 8 + fb.canary_win()[3:] + "\\evil", True),
    ("7:stream", True), ("7::$DATA", True), ("7.", True), ("7 .", True), ("7..", True), ("7\\", True),
    ("7/", True), ("1" + "0" * 300, True), ("7*", True), ("7?", True), ("7|x", True), ("7<x>", True),
    ("7\nx", True), ("7\\C:\\evil", True),
    ("7Größe", False), (" 8 ", False), ("8 x", False),
]
# Icon texts; the file name is what follows the last "/".
ICONS = [
    (SIM_TOKEN + "/files/..\\..\\..\\evil.ico", True), (SIM_TOKEN + "/files/evil.ico:stream", True),
    (SIM_TOKEN + "/files/evil.ico::$DATA", True), (SIM_TOKEN + "/files/CON", True),
    (SIM_TOKEN + "/files/nul.ico", True), (SIM_TOKEN + "/files/LPT1.ico", True),
    (SIM_TOKEN + "/files/evil.ico.", True), (SIM_TOKEN + "/files/evil.ico ", False),  # trimmed first
    (SIM_TOKEN + "/files/" + "a" * 250 + ".ico", True), (SIM_TOKEN + "/files/", True),  # no name
    (SIM_TOKEN + "/files/a*b.ico", True), (SIM_TOKEN + "/files/a?b.ico", True),
    (SIM_TOKEN + "/files/x.ico?y=/..\\..\\evil", True), (r"C:\evil.ico", True), (r"..\..\evil.ico", True),
    (r"\\127.0.0.1\c$\evil.ico", True), (_canary("evil.ico"), True), (r"\\?\C:\evil.ico", True),
    ("file:///C:/windows/win.ini", True), ("file://127.0.0.1/c$/windows/win.ini", True),
    ("ftp://127.0.0.1/evil.ico", True),
    (SIM_TOKEN + "/files/%2e%2e%5cevil.ico", False), (SIM_TOKEN + "/files/Größe.ico", False),
    (SIM_TOKEN + "/files/x y.ico", False),
]

# ----------------------------------------------------------------------------------------------
# Seeded mutation
# ----------------------------------------------------------------------------------------------

TEXTS = [
    "A" * 5000, "B" * 70000, "", "   ", "Größe – 中文 – ✓ – 𝄞", "\x01\x02\x1b", "a\r\nb\tc", "]]>",
    r"..\..\..\..\Windows\win.ini", r"C:\Windows\System32\drivers\etc\hosts", r"\\127.0.0.1\c$\x", "/etc/passwd",
    "%WINDIR%\\x", "file:///C:/windows/win.ini", "..", "CON", r"\\?\C:\x", _canary("x"), "-1", "0",
    "99999999999999999999", "1e9", "0x1F", " 12 ", "&lt;b&gt;", "<notatag>", "Execute X&PR Script",
    "EXECUTE XPR SCRIPT", "ALL$*$ALL@#@", "$*LIKE*$", "*&*$*ALL*&*$*", "a" * 300 + "#@#x,",
]
NAMES = ["ACTION", "templateID", "Action", "icon2", "x" * 300, "a-b.c", "ns:foo", "action", "templateid",
         "scriptids", "temipds", "filtersatisfied", "dcmgetdeskheraldtemplate"]


@dataclass
class Case:
    id: str
    text: str                  # with SIM_TOKEN for the simulator's address
    slot: str | None = None    # "action", "template", "icon" for the hostile-name cases
    name: str = ""
    refuse: bool = False


def _elements(root: ET.Element) -> list[tuple[ET.Element, ET.Element]]:
    return [(parent, child) for parent in root.iter() for child in parent]


def _structural(rng: random.Random, root: ET.Element) -> str:
    pairs = _elements(root)
    op = rng.choice(["drop", "dup", "rename", "text", "text", "attr_remove", "attr_set", "add"])
    if not pairs:
        op = "add"
    if op == "drop":
        parent, child = rng.choice(pairs)
        parent.remove(child)
    elif op == "dup":
        parent, child = rng.choice(pairs)
        parent.insert(list(parent).index(child) + 1, copy.deepcopy(child))
    elif op == "rename":
        rng.choice(pairs)[1].tag = rng.choice(NAMES)
    elif op == "text":
        rng.choice(pairs)[1].text = rng.choice(TEXTS)
    elif op in ("attr_remove", "attr_set"):
        actions = [c for _, c in pairs if c.attrib] or [rng.choice(pairs)[1]]
        target = rng.choice(actions)
        key = rng.choice(["name", "id"])
        if op == "attr_remove":
            target.attrib.pop(key, None)
        else:
            target.set(key, rng.choice(TEXTS))
    else:
        parent = rng.choice([root] + [c for _, c in pairs])
        ET.SubElement(parent, rng.choice(NAMES)).text = rng.choice(TEXTS)
    return op


def _textual(rng: random.Random, text: str) -> tuple[str, str]:
    op = rng.choice(["drop_close", "swap_close", "unclosed", "truncate", "after_root", "close_case", "prolog",
                     "doctype", "comment_after", "deep"])
    closes = [m for m in re.finditer(r"</[^>]+>", text)]
    if op == "drop_close" and closes:
        m = rng.choice(closes)
        return op, text[:m.start()] + text[m.end():]
    if op == "swap_close" and len(closes) > 1:
        a, b = sorted(rng.sample(closes, 2), key=lambda m: m.start())
        return op, text[:a.start()] + b.group() + text[a.end():b.start()] + a.group() + text[b.end():]
    if op == "unclosed":
        pos = rng.choice([m.end() for m in re.finditer(r">", text)])
        return op, text[:pos] + '<action name="x" id="14">' + text[pos:]
    if op == "truncate":
        return op, text[:rng.randrange(1, len(text))]
    if op == "after_root":
        return op, text + "<templateid>999</templateid>"
    if op == "close_case" and closes:
        m = rng.choice(closes)
        return op, text[:m.start()] + m.group().upper() + text[m.end():]
    if op == "prolog":
        decl = rng.choice(['<?xml version="1.0" encoding="UTF-16"?>', '<?xml version="1.0" encoding="bogus"?>',
                           '<?xml version="1.0" encoding="ISO-8859-1"?>', "\ufeff", '<?xml version="2.0"?>',
                           "<?pi x?>", " \r\n"])
        return op, decl + text
    if op == "doctype":
        kind = rng.choice(["laughs", "external", "param"])
        if kind == "laughs":  # nested entities: a small "billion laughs"
            ents = '<!ENTITY a0 "lol">' + "".join('<!ENTITY a%d "%s">' % (i, ("&a%d;" % (i - 1)) * 10)
                                                   for i in range(1, 8))
            doctype = "<!DOCTYPE dcmgetdeskheraldtemplate [%s]>" % ents
            text = text.replace("<rssupd>0</rssupd>", "<rssupd>&a7;</rssupd>", 1)
        elif kind == "external":  # an external entity: only ever the simulator
            doctype = '<!DOCTYPE dcmgetdeskheraldtemplate [<!ENTITY x SYSTEM "%s/files/%s">]>' % (SIM_TOKEN,
                                                                                                fb.ICON_NAME)
            text = text.replace("<rssupd>0</rssupd>", "<rssupd>&x;</rssupd>", 1)
        else:
            doctype = '<!DOCTYPE dcmgetdeskheraldtemplate SYSTEM "%s/files/none.dtd">' % SIM_TOKEN
        return op, doctype + text
    if op == "comment_after":
        return op, text + "<!-- trailing -->"
    depth = rng.choice([300, 5000])
    return "deep", text.replace("<rssupd>0</rssupd>", "<rssupd>%s%s</rssupd>" % ("<d>" * depth, "</d>" * depth), 1)


def _forbidden(text: str) -> bool:
    """Replies that take another defined road (empty, no new template, exclusion)."""
    upper = text.upper()
    return (not text or text == sim.NO_NEW_TEMPLATE or "TEMPLATE NOT APPLICABLE FOR SERVER" in upper
            or "<OUTSTR>RESOURCE OR SITE EXCLUDED</OUTSTR>" in upper)


def random_cases(count: int = RANDOM_CASES, seed: int = fb.SWEEP_SEED) -> list[Case]:
    rng = random.Random(seed)
    bases = _bases()
    out: list[Case] = []
    while len(out) < count:
        base = rng.randrange(len(bases))
        root = ET.fromstring(bases[base])
        ops = []
        for _ in range(rng.randint(1, 3)):
            ops.append(_structural(rng, root))
        text = ET.tostring(root, encoding="unicode")
        if rng.random() < 0.35:
            op, text = _textual(rng, text)
            ops.append(op)
        if _forbidden(text):
            continue
        out.append(Case("m%03d-b%d-%s" % (len(out), base, "+".join(ops)), text))
    return out


def special_cases() -> list[Case]:
    """Mutations that chance seldom makes: DOCTYPE declarations (entity expansion, external
    entities that point at the simulator or a local file, an external DTD), deep nesting, prologs."""
    base = fb.template(1, icon=ICON)
    rss = "<rssupd>0</rssupd>"

    def laughs(levels: int) -> str:
        ents = '<!ENTITY a0 "lol">' + "".join('<!ENTITY a%d "%s">' % (i, ("&a%d;" % (i - 1)) * 10)
                                               for i in range(1, levels + 1))
        return "<!DOCTYPE dcmgetdeskheraldtemplate [%s]>" % ents + base.replace(rss, "<rssupd>&a%d;</rssupd>" % levels)

    def entity(system: str) -> str:
        return ('<!DOCTYPE dcmgetdeskheraldtemplate [<!ENTITY x SYSTEM "%s">]>' % system
                + base.replace(rss, "<rssupd>&x;</rssupd>"))

    def deep(depth: int) -> str:
        return base.replace(rss, "<rssupd>%s%s</rssupd>" % ("<d>" * depth, "</d>" * depth))

    texts = {
        "laughs3": laughs(3), "laughs9": laughs(9), "entity-sim": entity(SIM_TOKEN + "/files/" + fb.ICON_NAME),
        "entity-file": entity("file:///C:/windows/win.ini"),
        "dtd-sim": '<!DOCTYPE dcmgetdeskheraldtemplate SYSTEM "%s/files/none.dtd">' % SIM_TOKEN + base,
        "param-entity": ('<!DOCTYPE dcmgetdeskheraldtemplate [<!ENTITY %% p SYSTEM "%s/files/p.dtd"> %%p;]>'
                         % SIM_TOKEN + base),
        "deep250": deep(250), "deep5000": deep(5000),
        "utf16-declared": '<?xml version="1.0" encoding="UTF-16"?>' + base,
        "bom": "\ufeff" + base, "comment-after": base + "<!-- trailing -->",
        "pi-before": "<?kdht x?>" + base,
    }
    return [Case("special-" + k, v) for k, v in texts.items()]


def name_cases() -> list[Case]:
    out = []
    for i, (name, refuse) in enumerate(ACTION_IDS):
        out.append(Case("action%02d" % i, fb.template(1, icon=ICON, action_id=name), "action", name, refuse))
    for i, (name, refuse) in enumerate(TEMPLATE_IDS):
        out.append(Case("tempid%02d" % i, fb.template(1, icon=ICON, temipds=name), "template", name, refuse))
    for i, (name, refuse) in enumerate(ICONS):
        out.append(Case("icon%02d" % i, fb.template(1, icon=name), "icon", name, refuse))
    return out


CASES = name_cases() + special_cases() + random_cases()
assert len(name_cases()) >= 50 and (len(CASES) >= 200 or not fb.SWEEP_FULL)


# ----------------------------------------------------------------------------------------------
# The cases
# ----------------------------------------------------------------------------------------------

def _check_name(bench, case: Case, p: fb.Pass, url: str) -> None:
    herald = bench.herald
    if case.slot == "action":
        if case.refuse:
            assert p.has("ERR : Invalid action id : "), p.tail()
            assert (p.reason() or "").startswith("Invalid action id : "), p.reason()
            assert not list(herald.glob("Action_*")) if herald.exists() else True
        else:
            bench.assert_installed(p)
            assert (herald / ("Action_%s_XPR" % case.name) / "XPR_Script.xml").is_file(), p.tail()
    elif case.slot == "template":
        if case.refuse:
            assert p.has("ERR : Invalid template id : "), p.tail()
            assert (p.reason() or "").startswith("Invalid template id : "), p.reason()
        else:
            bench.assert_installed(p)
            t = case.name.strip()
            assert (herald / "Action_12_XPR" / ("XPR_Template_%s.xml" % t)).is_file(), p.tail()
    elif case.slot == "icon":
        bench.assert_installed(p)  # an icon never costs the template
        icons = sorted(x.name for x in (herald / "Icon").glob("*")) if (herald / "Icon").is_dir() else []
        if case.refuse:
            assert p.has("ERR : Invalid icon file name : ") or p.has("ERR : Invalid icon URL : "), p.tail()
            assert icons == [], icons
        else:
            name = case.name.replace(SIM_TOKEN, url).strip().rsplit("/", 1)[-1]
            assert icons in ([], [name]), icons


_outcomes: collections.Counter = collections.Counter()


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_hostile_template(bench, case):
    bench.reset()
    url = bench.sim.url
    text = case.text.replace(SIM_TOKEN, url)
    bench.sim.set_reply(fb.TEMPLATE_PAGE, sim.reply(text, content_type="text/xml"))
    if case.slot == "icon" and not case.refuse:
        bench.sim.add_file(case.name.replace(SIM_TOKEN + "/files/", "").strip(), fb.ICON_BYTES)

    p = bench.run(timeout=60)
    bench.assert_ended(p)
    assert bench.unexpected_inside() == [], bench.unexpected_inside()
    assert bench.request_file_problems() == []
    problem = bench.template_problem()
    _outcomes["installed" if problem is None else "failed"] += 1
    if problem is None:
        assert bench.staging_left() == [], bench.staging_left()
    else:
        assert p.reason() is not None, "neither a sealed template (%s) nor a failure reason:\n%s" % (problem,
                                                                                                     p.tail())
    if case.slot:
        _check_name(bench, case, p, url)


def test_outside_check_sees_a_write(bench):
    """The snapshot that guards every case above sees a file written outside the agent's folder,
    in drive C: and in the canary folder that Z:\\ paths aim at, and a file changed in C:\\windows."""
    before = fb.Snapshot.take(bench.agent.install)
    planted = [fb.canary_dir() / "planted.txt", bench.agent.install.parent / "planted.txt"]
    win_ini = fb.h.drive_c() / "windows" / "win.ini"
    old = win_ini.read_bytes() if win_ini.exists() else None
    try:
        for f in planted:
            f.write_text("x")
        win_ini.write_bytes((old or b"") + b"\r\n; planted\r\n")
        changes = before.changes(fb.Snapshot.take(bench.agent.install))
    finally:
        for f in planted:
            f.unlink(missing_ok=True)
        if old is None:
            win_ini.unlink(missing_ok=True)
        else:
            win_ini.write_bytes(old)
    assert "new: <canary>/planted.txt" in changes
    assert "new: KFAULTS/planted.txt" in changes
    assert "changed: windows/win.ini" in changes


def test_mutations_reach_both_outcomes():
    """Were most mutations refused at load, the checks above would see one road only: the cases
    must both install templates and fail them, in good numbers."""
    if sum(_outcomes.values()) < len(CASES):
        pytest.skip("only %d of %d cases ran" % (sum(_outcomes.values()), len(CASES)))
    least = len(CASES) // 5
    assert _outcomes["installed"] >= least and _outcomes["failed"] >= least, dict(_outcomes)
