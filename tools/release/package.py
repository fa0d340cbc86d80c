#!/usr/bin/env python3
"""The release package of one build: dist/kDHT-<version>-<arch>.zip.

    package.py --build build/dist-win32 --arch win32 --out dist
               [--sign-cert CERT.pem --sign-key KEY.pem [--sign-pass-file FILE] [--sign-tsa URL]]

From the build's bin folder it takes kDHT.exe, kDHTInfo.exe and KGnMD5.dll and, for each, keeps
its debug information apart (symbols/<name>.debug, which the binary names in its .gnu_debuglink
and shares its build id with), strips it, signs it with Authenticode (SHA-256) when a certificate
and key are given, and checks its hardening (pecheck.py). Then it writes SHA256SUMS over every
file and BUILDINFO (version, source commit, compiler and binutils, flags, signature), and the zip:
entries sorted, every time the commit's (SOURCE_DATE_EPOCH, which the PE time stamps of the
tools run here also take), every mode 0644. The same build gives the same bytes.
"""

from __future__ import annotations

import argparse
import datetime as dt
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import pecheck  # noqa: E402

SHIPPED = pecheck.SHIPPED
TRIPLETS = {"win32": "i686-w64-mingw32", "win64": "x86_64-w64-mingw32"}
ZIP_EPOCH_MIN = 315532800  # 1980-01-01, the earliest time a zip entry can hold


def run(cmd: list[str], env: dict[str, str] | None = None) -> str:
    r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise SystemExit("package: %s failed (%d): %s" % (" ".join(cmd), r.returncode, r.stderr.strip()))
    return r.stdout


def first_line(cmd: list[str]) -> str:
    return run(cmd).splitlines()[0].strip()


def debian_package(tool: str) -> str:
    """ " (Debian package <name> <version>)" of the package that installed tool, or ""."""
    path = tool if os.path.isabs(tool) and os.path.exists(tool) else shutil.which(tool)
    if not path or not shutil.which("dpkg-query"):
        return ""
    owner = subprocess.run(["dpkg-query", "-S", os.path.realpath(path)], capture_output=True, text=True)
    if owner.returncode != 0 or ":" not in owner.stdout:
        return ""
    name = owner.stdout.split(":", 1)[0].split(",")[0].strip()
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True, text=True).stdout
    return " (Debian package %s %s)" % (name, version) if version else ""


def source_date_epoch() -> int:
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(run(["git", "-C", str(REPO), "log", "-1", "--format=%ct"]).strip())


def source_commit() -> str:
    commit = run(["git", "-C", str(REPO), "rev-parse", "HEAD"]).strip()
    dirty = run(["git", "-C", str(REPO), "status", "--porcelain", "--untracked-files=no"]).strip()
    return commit + (" with uncommitted changes" if dirty else "")


def build_tool(build: Path, name: str) -> str:
    """A tool of the build as CMake recorded it (buildtools.txt: cxx, rc)."""
    for line in (build / "buildtools.txt").read_text().splitlines():
        key, _, value = line.partition("=")
        if key == name and value:
            return value
    raise SystemExit("package: %s names no %s" % (build / "buildtools.txt", name))


def sign(path: Path, args: argparse.Namespace) -> None:
    """Authenticode, SHA-256, with the real signing time (so a signed package is not the same
    bytes twice; the unsigned one is)."""
    out = path.with_name(path.name + ".signed")
    cmd = ["osslsigncode", "sign", "-certs", str(args.sign_cert), "-key", str(args.sign_key), "-h", "sha256",
           "-n", "Desk Herald"]
    if args.sign_pass_file:
        cmd += ["-readpass", str(args.sign_pass_file)]
    if args.sign_tsa:
        cmd += ["-ts", args.sign_tsa]
    run(cmd + ["-in", str(path), "-out", str(out)])
    out.replace(path)


def signature_line(args: argparse.Namespace) -> str:
    if not (args.sign_cert and args.sign_key):
        return "signature: none (unsigned: no SIGN_CERT and SIGN_KEY given)"
    subject = first_line(["openssl", "x509", "-in", str(args.sign_cert), "-noout", "-subject", "-nameopt", "RFC2253"])
    fp = first_line(["openssl", "x509", "-in", str(args.sign_cert), "-noout", "-fingerprint", "-sha256"])
    return "signature: Authenticode SHA-256 by %s (%s); RFC 3161 time stamp: %s" % (
        subject.split("=", 1)[1] if subject.startswith("subject=") else subject, fp.replace("sha256 Fingerprint=",
                                                                                            "certificate SHA-256 "),
        args.sign_tsa or "none")


def write_zip(zip_path: Path, stage: Path, epoch: int) -> None:
    when = dt.datetime.fromtimestamp(max(epoch, ZIP_EPOCH_MIN), dt.timezone.utc).timetuple()[:6]
    tmp = zip_path.with_name(zip_path.name + ".tmp")
    with zipfile.ZipFile(tmp, "w") as z:
        for f in sorted(p for p in stage.rglob("*") if p.is_file()):
            info = zipfile.ZipInfo(f.relative_to(stage).as_posix(), date_time=when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, whatever the machine that packs it
            info.external_attr = 0o100644 << 16
            z.writestr(info, f.read_bytes(), compresslevel=9)
    tmp.replace(zip_path)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", type=Path, required=True, help="a build folder (its bin/ holds the binaries)")
    ap.add_argument("--arch", choices=sorted(TRIPLETS), required=True)
    ap.add_argument("--out", type=Path, required=True, help="where the zip goes")
    ap.add_argument("--version", help="the project version (default: from CMakeLists.txt)")
    ap.add_argument("--sign-cert", type=Path)
    ap.add_argument("--sign-key", type=Path)
    ap.add_argument("--sign-pass-file", type=Path)
    ap.add_argument("--sign-tsa", help="an RFC 3161 time-stamp server URL")
    args = ap.parse_args(argv)
    if bool(args.sign_cert) != bool(args.sign_key):
        ap.error("--sign-cert and --sign-key go together")

    version = args.version or pecheck.project_version(REPO)
    epoch = source_date_epoch()
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), LC_ALL="C")
    triplet = TRIPLETS[args.arch]
    objcopy = triplet + "-objcopy"
    bin_dir = args.build / "bin"
    args.out.mkdir(parents=True, exist_ok=True)
    stage = Path(tempfile.mkdtemp(prefix=".stage-%s-" % args.arch, dir=args.out))
    try:
        return package(args, version, epoch, env, triplet, objcopy, bin_dir, stage)
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def package(args: argparse.Namespace, version: str, epoch: int, env: dict[str, str], triplet: str, objcopy: str,
            bin_dir: Path, stage: Path) -> int:
    (stage / "symbols").mkdir()

    for name in SHIPPED:
        src = bin_dir / name
        if not src.is_file():
            raise SystemExit("package: %s is not built" % src)
        out, debug = stage / name, stage / "symbols" / (name + ".debug")
        run([objcopy, "--only-keep-debug", str(src), str(debug)], env)
        run([objcopy, "--strip-all", str(src), str(out)], env)
        # ld names only the file; a debugger finds it beside the binary, in its .debug folder, or
        # by the build id (docs/release.md).
        run([objcopy, "--add-gnu-debuglink=" + str(debug), str(out)], env)
        os.chmod(out, 0o644)
        os.chmod(debug, 0o644)
        if args.sign_cert:
            sign(out, args)

    log = io.StringIO()
    ok = pecheck.check([(stage / n, True) for n in SHIPPED], version, out=log)
    sys.stdout.write(log.getvalue().replace(str(stage) + "/", "%s " % args.arch))
    sys.stdout.flush()
    if not ok:
        raise SystemExit("package: the hardening check failed")

    flags = (args.build / "buildflags.txt").read_text().strip()
    cxx, rc = build_tool(args.build, "cxx"), build_tool(args.build, "rc")
    info = [
        "kDHT %s %s (%s)" % (version, args.arch, triplet),
        "source commit: %s" % source_commit(),
        "source date: %d (%s UTC), SOURCE_DATE_EPOCH of the PE and zip time stamps" % (
            epoch, dt.datetime.fromtimestamp(epoch, dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")),
        "compiler: %s %s%s" % (Path(cxx).name, run([cxx, "-dumpfullversion"]).strip(), debian_package(cxx)),
        "binutils: %s%s" % (first_line([triplet + "-ld", "--version"]), debian_package(triplet + "-ld")),
        "resource compiler: %s" % first_line([rc, "--version"]),
        "runtime: mingw-w64%s" % debian_package("/usr/%s/lib/libmingwex.a" % triplet),
        *flags.splitlines(),
        "debug information: symbols/<name>.debug, named by each binary's .gnu_debuglink, same build id",
        signature_line(args),
    ]
    (stage / "BUILDINFO").write_text("\n".join(info) + "\n")
    os.chmod(stage / "BUILDINFO", 0o644)

    sums = []
    for f in sorted(p for p in stage.rglob("*") if p.is_file()):
        sums.append("%s  %s" % (hashlib.sha256(f.read_bytes()).hexdigest(), f.relative_to(stage).as_posix()))
    (stage / "SHA256SUMS").write_text("\n".join(sums) + "\n")
    os.chmod(stage / "SHA256SUMS", 0o644)

    zip_path = args.out / ("kDHT-%s-%s.zip" % (version, args.arch))
    write_zip(zip_path, stage, epoch)
    digest = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    sizes = ", ".join("%s %d" % (n, (stage / n).stat().st_size) for n in SHIPPED)
    print("%s  %s (%s bytes)" % (digest, zip_path, sizes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
