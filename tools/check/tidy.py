#!/usr/bin/env python3
"""clang-tidy over every file of src/, with the checks of the repository's .clang-tidy, against a
clang mingw build's compile database (build/clang32: the shipped width's headers and macros).

A file's clean result is remembered under the cache folder, keyed by what clang-tidy would see:
its version, the .clang-tidy text (less its comments) and the file's preprocessed text (every header it includes),
comments kept (a NOLINT is one) and the checkout's own folder left out (a clean clone in another folder is the same
code), so a warm run analyses only what changed. Findings are printed and make the exit code 1; nothing
with a finding is remembered."""
import concurrent.futures
import hashlib
import json
import os
import pathlib
import shlex
import subprocess
import sys

TIDY = os.environ.get("CLANG_TIDY", "clang-tidy-14")


def preprocess_command(entry):
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out, skip = [], False
    for a in args:
        if skip:
            skip = False
            continue
        if a == "-o":
            skip = True
            continue
        if a in ("-c", "-MD") or a.startswith("-MF") or a.startswith("-MT"):
            if a in ("-MF", "-MT"):
                skip = True
            continue
        out.append(a)
    return out + ["-E", "-C", "-o", "-"]


def key_of(entry, base, root):
    text = subprocess.run(preprocess_command(entry), cwd=entry["directory"], capture_output=True, check=True).stdout
    text = text.replace(str(root).encode(), b"<checkout>")
    h = hashlib.sha256(base)
    h.update(text)
    return h.hexdigest()


def analyse(entry, build, key, cache):
    if (cache / key).exists():
        return entry["file"], True, "", True
    r = subprocess.run([TIDY, "-p", str(build), "--quiet", entry["file"]], capture_output=True, text=True)
    findings = [l for l in (r.stdout + r.stderr).splitlines() if "warning:" in l or "error:" in l]
    clean = r.returncode == 0 and not findings
    if clean:
        (cache / key).touch()
    return entry["file"], clean, r.stdout + r.stderr, False


def main():
    root = pathlib.Path(__file__).resolve().parents[2]
    build = pathlib.Path(sys.argv[1]).resolve()
    cache = pathlib.Path(os.environ.get("KDHT_CACHE", pathlib.Path.home() / ".cache" / "kdht")) / "tidy"
    cache.mkdir(parents=True, exist_ok=True)
    jobs = int(os.environ.get("JOBS", "2"))
    entries = [e for e in json.loads((build / "compile_commands.json").read_text())
               if pathlib.Path(e["file"]).resolve().is_relative_to(root / "src")]
    version = subprocess.run([TIDY, "--version"], capture_output=True, check=True).stdout
    # The configuration's comments (the reasons beside the checks) do not change what it finds.
    config = b"".join(l for l in (root / ".clang-tidy").read_bytes().splitlines(keepends=True)
                      if not l.lstrip().startswith(b"#"))
    base = version + config
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        keys = list(pool.map(lambda e: key_of(e, base, root), entries))
        results = list(pool.map(lambda ek: analyse(ek[0], build, ek[1], cache), zip(entries, keys)))
    failed = [r for r in results if not r[1]]
    remembered = sum(1 for r in results if r[3])
    for name, _, output, _ in failed:
        print(f"== {name}")
        print(output.rstrip())
    print(f"clang-tidy: {len(entries)} files of src/, {remembered} unchanged since a clean run, "
          f"{len(failed)} with findings")
    return 1 if failed or not entries else 0


if __name__ == "__main__":
    sys.exit(main())
