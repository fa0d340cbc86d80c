"""The hardening check (tools/release/pecheck.py) passes for every shipped binary and agent
stand-in of both widths' builds, and fails, naming the fault, on a copy with one fault put in."""

from __future__ import annotations

import struct
import subprocess
import sys

import pytest

import pecheck
from kdht_testkit import harness as h
from kdht_testkit import pe

PECHECK = h.REPO_ROOT / "tools" / "release" / "pecheck.py"


def builds():
    found = [b for b in (h.build_dir(), h.other_build_dir()) if (b / "bin" / "kDHT.exe").is_file()]
    if len(found) != 2:
        pytest.fail("both widths must be built (make build): %s" % [str(b) for b in (h.build_dir(), h.other_build_dir())],
                    pytrace=False)
    return found


def test_every_binary_of_both_widths_passes():
    args = [a for b in builds() for a in ("--bin", str(b / "bin"))]
    r = subprocess.run([sys.executable, str(PECHECK), *args], capture_output=True, text=True)
    print(r.stdout)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    for width in ("i686", "x86_64"):
        for name in pecheck.SHIPPED:
            assert any(l.startswith("ok ") and ("/" + name + " (" + width + ")") in l and h.project_version() in l
                       for l in lines), (name, width, lines)
    assert all(l.startswith("ok ") for l in lines)
    assert sum("HIGH_ENTROPY_VA" in l for l in lines) == len(lines) // 2  # the x86_64 half only


def _set16(data: bytearray, off: int, value: int) -> None:
    struct.pack_into("<H", data, off, value)


def _idata_replace(img: pe.Image, data: bytearray, old: bytes, new: bytes) -> None:
    s = img.section(".idata")
    at = data.index(old, s.raw_offset, s.raw_offset + s.raw_size)
    data[at:at + len(new)] = new


def _string_value(data: bytearray, img: pe.Image, key: str, new: str) -> None:
    """Overwrites the start of the value of a StringFileInfo string."""
    at = data.index((key + "\0").encode("utf-16-le"), img.section(".rsrc").raw_offset)
    value = data.index(h.project_version().encode("utf-16-le"), at)
    data[value:value + 2 * len(new)] = new.encode("utf-16-le")


def _fixed_file_version_ls(data: bytearray, img: pe.Image) -> None:
    at = data.index(struct.pack("<I", pe.FIXEDFILEINFO_SIGNATURE), img.section(".rsrc").raw_offset)
    struct.pack_into("<I", data, at + 12, struct.unpack_from("<I", data, at + 12)[0] + 1)


FAULTS = {
    "nx": ("kDHT.exe", lambda d, i: _set16(d, i.dll_characteristics_offset, i.dll_characteristics & ~pe.NX_COMPAT),
           "NX_COMPAT not set"),
    "dynamic base": ("KGnMD5.dll", lambda d, i: _set16(d, i.dll_characteristics_offset,
                                                       i.dll_characteristics & ~pe.DYNAMIC_BASE),
                     "DYNAMIC_BASE not set"),
    "relocs stripped": ("kDHT.exe", lambda d, i: _set16(d, i.timestamp_offset + 14,
                                                        i.characteristics | pe.RELOCS_STRIPPED),
                        "DYNAMIC_BASE set but the relocations are stripped"),
    "high entropy": ("x64:kDHTInfo.exe", lambda d, i: _set16(d, i.dll_characteristics_offset,
                                                             i.dll_characteristics & ~pe.HIGH_ENTROPY_VA),
                     "HIGH_ENTROPY_VA not set"),
    "writable code": ("kDHT.exe", lambda d, i: struct.pack_into("<I", d, i.section(".text").characteristics_offset,
                                                                i.section(".text").characteristics | pe.SCN_MEM_WRITE),
                      "section .text is writable and executable"),
    "runtime dll": ("kDHTInfo.exe", lambda d, i: _idata_replace(i, d, b"KERNEL32.dll\0", b"libssp-0.dll\0"),
                    "imports libssp-0.dll, not part of Windows"),
    "FileVersion": ("KGnMD5.dll", lambda d, i: _string_value(d, i, "FileVersion", "0"),
                    '"FileVersion" is'),
    "ProductVersion": ("kDHT.exe", lambda d, i: _string_value(d, i, "ProductVersion", "9"),
                       '"ProductVersion" is'),
    "fixed version": ("kDHT.exe", _fixed_file_version_ls, "file version "),
}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_a_copy_with_one_fault_fails_and_names_it(tmp_path, fault):
    name, change, expected = FAULTS[fault]
    b32, b64 = sorted(builds(), key=lambda b: pe.read(b / "bin" / "kDHT.exe").pe32_plus)
    src = (b64 if name.startswith("x64:") else b32) / "bin" / name.split(":")[-1]
    intact = pe.read(src)
    assert pecheck.problems(intact, h.project_version()) == []
    data = bytearray(intact.data)
    change(data, intact)
    copy = tmp_path / src.name
    copy.write_bytes(bytes(data))
    r = subprocess.run([sys.executable, str(PECHECK), str(copy)], capture_output=True, text=True)
    assert r.returncode == 1, r.stdout
    assert r.stdout.startswith("FAIL ") and expected in r.stdout, r.stdout
