#!/usr/bin/env python3
"""The hardening check of the binaries, read from the binaries themselves:

  - NX_COMPAT and DYNAMIC_BASE set, with the relocations kept (a relocatable image without them
    cannot move); HIGH_ENTROPY_VA too on x86_64;
  - no section both writable and executable;
  - only Windows' own DLLs imported (no runtime library of the toolchain: libssp, libgcc,
    libstdc++, libwinpthread are linked in statically);
  - the version resource (VS_FIXEDFILEINFO and the "FileVersion" and "ProductVersion" strings)
    equal to the project version.

    pecheck.py --version 1.2.40000.7 FILE...      every FILE checked in full
    pecheck.py --version 1.2.40000.7 --bin DIR    the shipped binaries of a build's bin folder in
                                                  full; the agent stand-ins there for the first
                                                  three checks (they stand in for the agent's own
                                                  programs, which carry the agent's version, and
                                                  never ship); test programs are not checked

One line per binary; exit code 1 when any check failed.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from kdht_testkit import pe  # noqa: E402

SHIPPED = ("kDHT.exe", "kDHTInfo.exe", "KGnMD5.dll")
STANDINS = ("kPopup.dll", "kDwnJob.dll", "kINDHM.exe", "kRSSUpd.exe", "kDHM.exe")
# The DLLs of Windows itself that the programs and the stand-ins may import.
SYSTEM_DLLS = {"advapi32.dll", "bcrypt.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "kernel32.dll",
               "msvcrt.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "shell32.dll", "user32.dll",
               "version.dll", "winhttp.dll", "winspool.drv", "ws2_32.dll", "dbghelp.dll", "ntdll.dll"}


def project_version(repo: Path) -> str:
    text = (repo / "CMakeLists.txt").read_text()
    m = re.search(r"project\s*\(\s*kDHT\b[^)]*?\bVERSION\s+([0-9.]+)", text, re.IGNORECASE | re.DOTALL)
    if not m:
        raise SystemExit("pecheck: no project version in %s" % (repo / "CMakeLists.txt"))
    return m.group(1)


def problems(img: pe.Image, version: str | None) -> list[str]:
    """What is wrong with one image; empty when it passes. version None: no version check."""
    out = []
    dc = img.dll_characteristics
    if not dc & pe.NX_COMPAT:
        out.append("NX_COMPAT not set")
    if not dc & pe.DYNAMIC_BASE:
        out.append("DYNAMIC_BASE not set")
    elif img.characteristics & pe.RELOCS_STRIPPED or not img.directory(pe.DIR_BASERELOC)[1]:
        out.append("DYNAMIC_BASE set but the relocations are stripped")
    if img.pe32_plus and not dc & pe.HIGH_ENTROPY_VA:
        out.append("HIGH_ENTROPY_VA not set")
    for s in img.sections:
        if s.characteristics & pe.SCN_MEM_WRITE and s.characteristics & pe.SCN_MEM_EXECUTE:
            out.append("section %s is writable and executable" % s.name)
    foreign = [d for d in img.imports if d.lower() not in SYSTEM_DLLS]
    if foreign:
        out.append("imports %s, not part of Windows" % ", ".join(foreign))
    if version is not None:
        want = tuple(int(p) for p in version.split("."))
        v = img.version
        if v is None:
            out.append("no version resource")
        else:
            if v.file_version != want:
                out.append("file version %s, not %s" % (v.dotted(v.file_version), version))
            if v.product_version != want:
                out.append("product version %s, not %s" % (v.dotted(v.product_version), version))
            for key in ("FileVersion", "ProductVersion"):
                if v.strings.get(key) != version:
                    out.append('"%s" is %r, not %r' % (key, v.strings.get(key), version))
    return out


def summary(img: pe.Image, version_checked: bool) -> str:
    flags = [n for n, bit in (("NX_COMPAT", pe.NX_COMPAT), ("DYNAMIC_BASE", pe.DYNAMIC_BASE),
                              ("HIGH_ENTROPY_VA", pe.HIGH_ENTROPY_VA)) if img.dll_characteristics & bit]
    text = "%s, relocs %d bytes, no W+X section, %d imports" % (
        " ".join(flags), img.directory(pe.DIR_BASERELOC)[1], len(img.imports))
    if version_checked and img.version:
        text += ", version %s" % img.version.dotted(img.version.file_version)
    return text


def check(files: list[tuple[Path, bool]], version: str, out=sys.stdout) -> bool:
    """files: (path, check the version). Prints one line each; True when all passed."""
    ok = True
    for path, with_version in files:
        label = "%s (%s)" % (path, "?")
        try:
            img = pe.read(path)
            label = "%s (%s)" % (path, img.width)
            bad = problems(img, version if with_version else None)
        except (OSError, pe.PEError) as e:
            bad = [str(e)]
        if bad:
            ok = False
            print("FAIL %s: %s" % (label, "; ".join(bad)), file=out)
        else:
            print("ok   %s: %s%s" % (label, summary(img, with_version),
                                     "" if with_version else " (agent stand-in: version not checked)"), file=out)
    return ok


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--version", help="the project version (default: from CMakeLists.txt)")
    ap.add_argument("--bin", action="append", default=[], type=Path, help="a build's bin folder")
    ap.add_argument("files", nargs="*", type=Path)
    args = ap.parse_args(argv)
    version = args.version or project_version(Path(__file__).resolve().parents[2])
    files: list[tuple[Path, bool]] = [(f, True) for f in args.files]
    for d in args.bin:
        missing = [n for n in SHIPPED if not (d / n).is_file()]
        if missing:
            print("FAIL %s: %s not built" % (d, ", ".join(missing)))
            return 1
        files += [(d / n, True) for n in SHIPPED]
        files += [(d / n, False) for n in STANDINS if (d / n).is_file()]
    if not files:
        ap.error("nothing to check")
    return 0 if check(files, version) else 1


if __name__ == "__main__":
    sys.exit(main())
