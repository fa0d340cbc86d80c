#!/usr/bin/env python3
"""The I/O floor of one kDHT pass: the same HTTP exchanges and the same file bytes, done by a plain
program. Run by bench.py as a separate process (so that neither the simulator nor the bench shares
its interpreter); it reads a job file, does the work and prints one JSON line of timings.

Job (JSON): {"port": P, "exchanges": [{"method", "path", "headers", "body_b64"}...],
             "files": [{"source": <file holding the bytes>, "target": <path to write>}...]}

Timed separately: the exchanges (one connection each, reply read to its end, as the pass makes
them one after another), then the files (each written whole, then one MD5 of its bytes). The
sources are read into memory before the clock starts: reading them is not part of the pass.
"""

from __future__ import annotations

import base64
import hashlib
import http.client
import json
import os
import sys
import time

HOST = "127.0.0.1"
TIMEOUT = 120.0
SKIPPED_HEADERS = {"host", "content-length", "connection", "transfer-encoding"}


def exchanges(port: int, items: list[dict]) -> tuple[float, int]:
    received = 0
    start = time.perf_counter()
    for item in items:
        body = base64.b64decode(item["body_b64"]) if item.get("body_b64") else None
        headers = {k: v for k, v in (item.get("headers") or {}).items() if k.lower() not in SKIPPED_HEADERS}
        conn = http.client.HTTPConnection(HOST, port, timeout=TIMEOUT)
        try:
            conn.request(item.get("method", "POST"), item["path"], body=body, headers=headers)
            received += len(conn.getresponse().read())
        finally:
            conn.close()
    return time.perf_counter() - start, received


def files(items: list[dict]) -> tuple[float, int]:
    loaded = []
    for item in items:
        with open(item["source"], "rb") as f:
            loaded.append((item["target"], f.read()))
    written = 0
    start = time.perf_counter()
    for target, data in loaded:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        hashlib.md5(data).hexdigest()
        written += len(data)
    return time.perf_counter() - start, written


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: floor_io.py JOB.json", file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        job = json.load(f)
    if job.get("host", HOST) != HOST:
        print("loopback only", file=sys.stderr)
        return 2
    http_s, received = exchanges(int(job["port"]), job.get("exchanges", []))
    files_s, written = files(job.get("files", []))
    print(json.dumps({"http_s": http_s, "files_s": files_s, "exchanges": len(job.get("exchanges", [])),
                      "received": received, "files": len(job.get("files", [])), "written": written}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
