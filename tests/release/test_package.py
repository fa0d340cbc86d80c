"""The packaging script of `make dist` (tools/release/package.py) over the build under test:
what the zip holds and how its parts tie together, the same bytes when packed again, an
Authenticode signature (made with a throwaway root and code-signing certificate) that verifies
and stops verifying after one changed byte, and the signed program running a whole pass."""

from __future__ import annotations

import hashlib
import subprocess
import sys
import zipfile
import zlib
from pathlib import Path
from types import SimpleNamespace

import pytest

from kdht_testkit import harness as h
from kdht_testkit import pe

PACKAGE = h.REPO_ROOT / "tools" / "release" / "package.py"
SHIPPED = ("kDHT.exe", "kDHTInfo.exe", "KGnMD5.dll")
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
ENTRIES = sorted(["BUILDINFO", "SHA256SUMS", *SHIPPED, *("symbols/%s.debug" % n for n in SHIPPED)])


def openssl(*args: str, cwd: Path) -> None:
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def throwaway_ca(folder: Path) -> SimpleNamespace:
    """A root certificate and a code-signing certificate issued by it, valid for a day."""
    folder.mkdir()
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out", "root.pem", "-days", "1",
            "-subj", "/CN=kDHT Test Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
            "-subj", "/CN=kDHT Test Signer", cwd=folder)
    (folder / "ext.cnf").write_text("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "sign.csr", "-CA", "root.pem", "-CAkey", "root.key", "-set_serial", "2",
            "-days", "1", "-extfile", "ext.cnf", "-out", "sign.pem", cwd=folder)
    return SimpleNamespace(root=folder / "root.pem", cert=folder / "sign.pem", key=folder / "sign.key")


def arch() -> str:
    return "win64" if pe.read(h.binary("kDHT.exe"), full=False).pe32_plus else "win32"


def package(out: Path, *sign: str) -> Path:
    r = subprocess.run([sys.executable, str(PACKAGE), "--build", str(h.build_dir()), "--arch", arch(),
                        "--out", str(out), *sign], capture_output=True, text=True,
                       env=dict(h.wine_env(), SOURCE_DATE_EPOCH=str(EPOCH)))
    assert r.returncode == 0, r.stdout + r.stderr
    return out / ("kDHT-%s-%s.zip" % (h.project_version(), arch()))


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    base = tmp_path_factory.mktemp("release")
    ca = throwaway_ca(base / "ca")
    signed = package(base / "signed", "--sign-cert", str(ca.cert), "--sign-key", str(ca.key))
    unsigned = package(base / "unsigned")
    again = package(base / "again")
    return SimpleNamespace(ca=ca, signed=signed, unsigned=unsigned, again=again, base=base)


def extract(zip_path: Path, dest: Path) -> Path:
    with zipfile.ZipFile(zip_path) as z:
        z.extractall(dest)
    return dest


def verify(ca: SimpleNamespace, path: Path) -> subprocess.CompletedProcess:
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca.root), "-in", str(path)],
                          capture_output=True, text=True)


class TestContents:
    def test_entries_sorted_with_the_commit_time_and_one_mode(self, packages):
        for zip_path in (packages.signed, packages.unsigned):
            with zipfile.ZipFile(zip_path) as z:
                infos = z.infolist()
            assert [i.filename for i in infos] == ENTRIES
            assert {i.date_time for i in infos} == {(2023, 11, 14, 22, 13, 20)}
            assert {i.external_attr >> 16 for i in infos} == {0o100644}

    def test_unsigned_package_packed_again_is_the_same_bytes(self, packages):
        assert packages.unsigned.read_bytes() == packages.again.read_bytes()

    def test_binaries_stripped_and_tied_to_their_debug_information(self, packages, tmp_path):
        root = extract(packages.unsigned, tmp_path)
        for name in SHIPPED:
            built, shipped = pe.read(h.binary(name)), pe.read(root / name)
            debug = pe.read(root / "symbols" / (name + ".debug"), full=False)
            assert not [s.name for s in shipped.sections if s.name.startswith(".debug_")], name
            assert any(s.name.startswith(".debug_") for s in debug.sections), name
            assert (root / name).stat().st_size < h.binary(name).stat().st_size
            assert shipped.build_id and shipped.build_id == built.build_id == debug.build_id, name
            link, crc = shipped.debuglink
            assert link == name + ".debug"
            assert crc == zlib.crc32((root / "symbols" / link).read_bytes()), name
            assert shipped.timestamp == EPOCH, name

    def test_checksums_cover_every_file_and_hold(self, packages, tmp_path):
        root = extract(packages.signed, tmp_path)
        lines = (root / "SHA256SUMS").read_text().splitlines()
        listed = {line.split("  ", 1)[1]: line.split("  ", 1)[0] for line in lines}
        assert sorted(listed) == [e for e in ENTRIES if e != "SHA256SUMS"]
        for rel, digest in listed.items():
            assert hashlib.sha256((root / rel).read_bytes()).hexdigest() == digest, rel
        r = subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=root, capture_output=True, text=True)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_buildinfo_names_version_commit_tools_flags_and_signature(self, packages, tmp_path):
        commit = subprocess.run(["git", "-C", str(h.REPO_ROOT), "rev-parse", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        infos = {}
        for kind in ("signed", "unsigned"):
            with zipfile.ZipFile(getattr(packages, kind)) as z:
                infos[kind] = z.read("BUILDINFO").decode()
        text = infos["unsigned"]
        assert text.startswith("kDHT %s %s " % (h.project_version(), arch()))
        assert "source commit: " + commit in text
        assert "source date: %d (2023-11-14 22:13:20 UTC)" % EPOCH in text
        for label in ("compiler: ", "binutils: GNU ld", "resource compiler: ", "link options: ", "compile options: "):
            assert "\n" + label in text, label
        assert "-Wl,--nxcompat" in text and "--dynamicbase" in text
        assert str(h.REPO_ROOT) not in text  # no clone-specific path
        assert "\nsignature: none (unsigned" in text
        assert "\nsignature: Authenticode SHA-256 by CN=kDHT Test Signer" in infos["signed"]
        assert "RFC 3161 time stamp: none" in infos["signed"]


class TestSignature:
    def test_every_binary_verifies_and_one_changed_byte_breaks_it(self, packages, tmp_path):
        root = extract(packages.signed, tmp_path / "signed")
        for name in SHIPPED:
            r = verify(packages.ca, root / name)
            assert r.returncode == 0, r.stdout + r.stderr
            assert "Signature verification: ok" in r.stdout, r.stdout
        img = pe.read(root / "kDHT.exe")
        text = img.section(".text")
        data = bytearray(img.data)
        data[text.raw_offset + 0x100] ^= 0x01
        changed = tmp_path / "changed.exe"
        changed.write_bytes(bytes(data))
        r = verify(packages.ca, changed)
        assert r.returncode != 0, r.stdout

    def test_unsigned_binaries_do_not_verify(self, packages, tmp_path):
        root = extract(packages.unsigned, tmp_path)
        assert verify(packages.ca, root / "kDHT.exe").returncode != 0
        assert pe.read(root / "kDHT.exe").directory(pe.DIR_SECURITY) == (0, 0)

    def test_another_root_does_not_verify(self, packages, tmp_path):
        other = throwaway_ca(tmp_path / "other")
        root = extract(packages.signed, tmp_path / "signed")
        assert verify(other, root / "KGnMD5.dll").returncode != 0


def test_signed_program_runs_a_whole_pass(packages, kdht_exe, tmp_path):
    """The example's first pass (tests/e2e/test_demo_example.py) with the signed kDHT.exe and
    KGnMD5.dll of the package in place of the build's."""
    demo = h.load_demo()
    root = extract(packages.signed, tmp_path / "signed")
    examples = h.REPO_ROOT / "examples"
    server = h.sim.Simulator(scenario=examples, record=tmp_path / "requests.jsonl").start()
    agent = h.Agent.create("SIGNED", sim_url=server.base_url(), standins=demo.STANDINS)
    try:
        for name in ("kDHT.exe", "KGnMD5.dll"):
            dst = agent.path(h.LAYOUT[name])
            dst.write_bytes((root / name).read_bytes())
        agent.run(timeout=300)
        msgs = agent.log_messages()
        assert msgs[-1] == h.ENDED_LINE, msgs[-30:]
        assert "MSG : ExeVersion : " + h.project_version() in msgs
        assert "MSG : sStatus : " in msgs, msgs[-30:]
        assert agent.exists(r"kXPR\Herald\kDHMenu.xml") and agent.exists(r"kXPR\Herald\kDHMenu.dat")
        assert [r["page"] for r in server.requests()][-1] == "wpdcmregidtmplveriu"
    finally:
        agent.cleanup()
        server.stop()
