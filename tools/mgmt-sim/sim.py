#!/usr/bin/env python3
"""Management-server simulator for Desk Herald's template updater.

Serves the six pages the updater posts to (POST <base>/tfr_<request name>.asp?mmid=..&sid=..&rid=..&rty=..)
and the icon files it downloads (GET /files/<name>), on 127.0.0.1 only.

Replies come, in this order of precedence, from
  1. a scripted queue per page (each entry answers one request and is dropped),
  2. a standing reply per page (answers every request until cleared),
  3. the scenario folder:  <page>.xml (or <page>.txt); script and template details keyed by the
     posted identifiers: wpdcmscriptdetails/<scriptid text>.xml, wpdcmtemplatedetails/<batchid>.xml
     (then wpdcmscriptdetails/default.xml and so on); files/<name> for GET /files/<name>;
     replies.json ({"<page>": [reply, ...]}) preloads the scripted queues; "@SIM_URL@" in a reply
     stands for the simulator's own address; the template page tells a machine that already holds
     the scenario's template (same posted tmplatid and tmplatver) "No New Template",
  4. built-in defaults: "No New Template" for the two template requests, "1" for both reports,
     generated script and template details.

A reply is a dict; see the helper functions reply(), close(), cut(), stall(), huge(), html_error().

Every request is recorded as one JSON line (flushed at once) in the record file and kept in memory.

Control of a running simulator: POST /__control with a JSON object {"op": ..., ...}; SimClient wraps it.
In-process use: Simulator(...).start(); the same methods are available directly on the object.
"""

from __future__ import annotations

import argparse
import base64
import fcntl
import hashlib
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Iterable

HOST = "127.0.0.1"

PAGES = (
    "wpdcmgetdeskheraldtemplate",
    "wpdcmtesttoolgetdhtmpmemb",
    "wpdcmscriptdetails",
    "wpdcmtemplatedetails",
    "wpdcmregidtmplveriu",
    "wpdcmtmplupdfailiu",
)
REPORT_PAGES = ("wpdcmregidtmplveriu", "wpdcmtmplupdfailiu")

NO_NEW_TEMPLATE = "<dcmgetdeskheraldtemplate><outstr>No New Template</outstr></dcmgetdeskheraldtemplate>"
# In a scenario reply: replaced by the simulator's own address, e.g. "http://127.0.0.1:41234".
SIM_URL_TOKEN = "@SIM_URL@"

# Upper bounds, so that no scripted behaviour can keep a connection (or a test) waiting for ever.
MAX_STALL_SECONDS = 300.0
MAX_HUGE_MB = 2048.0
MIN_TRICKLE_SECONDS = 0.01
MAX_REQUEST_BODY = 64 * 1024 * 1024
IDLE_CONNECTION_SECONDS = 60.0
CHUNK = 64 * 1024

_PAGE_RE = re.compile(r"(?:^|/)tfr_([^/]+?)\.asp$", re.IGNORECASE)
_FILE_RE = re.compile(r"^/files/(.+)$")


# ----------------------------------------------------------------------------------------------
# Replies
# ----------------------------------------------------------------------------------------------

def reply(body: bytes | str = b"", status: int = 200, content_type: str | None = None,
          headers: dict[str, str] | None = None, encoding: str = "utf-8") -> dict:
    """A plain answer: status, content type and body, with Content-Length."""
    r: dict[str, Any] = {"kind": "body", "status": int(status)}
    _put_body(r, body, encoding)
    if content_type is not None:
        r["content_type"] = content_type
    if headers:
        r["headers"] = dict(headers)
    return r


def close(reset: bool = False) -> dict:
    """Read the request, then close the connection without answering (reset=True: abortive close)."""
    return {"kind": "close", "reset": bool(reset)}


def cut(body: bytes | str = b"<dcmgetdeskheraldtemplate><outstr>", declared: int | None = None,
        status: int = 200, content_type: str | None = None, encoding: str = "utf-8") -> dict:
    """Send the headers with a Content-Length larger than what follows, send `body`, then close."""
    r: dict[str, Any] = {"kind": "cut", "status": int(status)}
    _put_body(r, body, encoding)
    if declared is not None:
        r["declared"] = int(declared)
    if content_type is not None:
        r["content_type"] = content_type
    return r


def stall(seconds: float, then: dict | None = None) -> dict:
    """Wait `seconds` (bounded), then give the reply `then`, or close without answering when None."""
    r: dict[str, Any] = {"kind": "stall", "seconds": float(seconds)}
    if then is not None:
        r["then"] = then
    return r


def trickle(body: bytes | str = b"<dcmgetdeskheraldtemplate></dcmgetdeskheraldtemplate>", interval: float = 0.3,
            status: int = 200, head: bool = False, content_type: str | None = None, encoding: str = "utf-8") -> dict:
    """`body` sent one byte every `interval` seconds (bounded), as a server at the end of a poor
    line would; head: the status line and headers come the same way."""
    r: dict[str, Any] = {"kind": "trickle", "interval": float(interval), "status": int(status), "head": bool(head)}
    _put_body(r, body, encoding)
    if content_type is not None:
        r["content_type"] = content_type
    return r


def huge(mb: float, status: int = 200, content_type: str | None = None, prefix: str = "<dcmgetdeskheraldtemplate>",
         suffix: str = "</dcmgetdeskheraldtemplate>", fill: str = "<filler>0123456789abcdef</filler>") -> dict:
    """A generated body of exactly `mb` MiB, streamed in chunks with its Content-Length."""
    return {"kind": "huge", "mb": float(mb), "status": int(status), "prefix": prefix, "suffix": suffix,
            "fill": fill, **({"content_type": content_type} if content_type else {})}


def html_error(status: int = 500, message: str = "Internal Server Error") -> dict:
    """An error page as a web server would send it."""
    page = ("<html><head><title>%d %s</title></head><body><h1>%s</h1>"
            "<p>The page cannot be displayed.</p></body></html>") % (status, message, message)
    return reply(page, status=status, content_type="text/html")


def _put_body(r: dict, body: bytes | str, encoding: str) -> None:
    if isinstance(body, str):
        body = body.encode(encoding)
    r["body_b64"] = base64.b64encode(bytes(body)).decode("ascii")


def reply_body(r: dict) -> bytes:
    if "body_b64" in r:
        return base64.b64decode(r["body_b64"])
    body = r.get("body", b"")
    if isinstance(body, str):
        return body.encode(r.get("encoding", "utf-8"))
    return bytes(body)


def _normalise(r: dict | str | bytes) -> dict:
    """Accepts a reply dict, or plain text/bytes as a 200 answer; checks the kind and its values."""
    if isinstance(r, (str, bytes, bytearray)):
        return reply(bytes(r) if not isinstance(r, str) else r)
    if not isinstance(r, dict):
        raise ValueError("a reply is a dict, str or bytes, not %r" % type(r).__name__)
    r = dict(r)
    kind = r.setdefault("kind", "body")
    if kind not in ("body", "close", "cut", "stall", "huge", "trickle"):
        raise ValueError("unknown reply kind %r" % kind)
    if "body" in r and "body_b64" not in r:
        b = r.pop("body")
        _put_body(r, b if isinstance(b, (bytes, bytearray)) else str(b), r.get("encoding", "utf-8"))
    if kind == "stall":
        s = float(r.get("seconds", 0))
        if not 0 <= s <= MAX_STALL_SECONDS:
            raise ValueError("stall seconds must lie in 0..%g" % MAX_STALL_SECONDS)
        if r.get("then") is not None:
            r["then"] = _normalise(r["then"])
            if r["then"]["kind"] == "stall":
                raise ValueError("a stall cannot be followed by another stall")
    if kind == "trickle" and not MIN_TRICKLE_SECONDS <= float(r.get("interval", 0.3)) <= MAX_STALL_SECONDS:
        raise ValueError("trickle interval must lie in %g..%g" % (MIN_TRICKLE_SECONDS, MAX_STALL_SECONDS))
    if kind == "huge" and not 0 <= float(r.get("mb", 0)) <= MAX_HUGE_MB:
        raise ValueError("huge mb must lie in 0..%g" % MAX_HUGE_MB)
    return r


def _to_json_reply(r: dict | str | bytes) -> dict:
    """A reply in a form that JSON can carry (bytes as base 64)."""
    return _normalise(r)


# ----------------------------------------------------------------------------------------------
# Built-in replies and scenario look-up
# ----------------------------------------------------------------------------------------------

def _tag_text(body: str, tag: str) -> str | None:
    m = re.search(r"<%s>(.*?)</%s>" % (tag, tag), body, re.DOTALL | re.IGNORECASE)
    return m.group(1) if m else None


def _safe_name(key: str) -> str:
    """A scenario file name for a posted identifier text (commas and blanks are kept)."""
    name = re.sub(r"[^A-Za-z0-9,._ #@-]", "_", key)
    return "_" + name if name.startswith(".") or name == "" else name


def default_script_details(scriptids: str) -> str:
    """Details for each posted script identifier, in the shape the agent stores as XPR_Script.xml."""
    parts = []
    for sid in [s.strip() for s in scriptids.split(",") if s.strip()]:
        parts.append("<dcmxprscrdet><scriptid>%s</scriptid><scriptname>Script %s</scriptname>"
                     "<scripttype>1</scripttype><scriptbody><![CDATA[echo script %s]]></scriptbody>"
                     "</dcmxprscrdet>" % (sid, sid, sid))
    return "<dcmscriptdetails>%s</dcmscriptdetails>" % "".join(parts)


def default_template_details(batchid: str) -> str:
    """Two scripts per template: <id>01 and <id>02."""
    b = batchid.strip()
    items = ",".join("%s%02d#@#Template %s script %d" % (b, n, b, n) for n in (1, 2))
    return "<dcmtemplatedetails><scriptid><![CDATA[%s]]></scriptid></dcmtemplatedetails>" % items


def builtin_reply(page: str, body: str) -> dict | None:
    if page in ("wpdcmgetdeskheraldtemplate", "wpdcmtesttoolgetdhtmpmemb"):
        return reply(NO_NEW_TEMPLATE)
    if page in REPORT_PAGES:
        return reply("1", content_type="text/html")
    if page == "wpdcmscriptdetails":
        return reply(default_script_details(_tag_text(body, "scriptid") or ""))
    if page == "wpdcmtemplatedetails":
        return reply(default_template_details(_tag_text(body, "batchid") or ""))
    return None


def holds_current_template(request: str, template: str) -> bool:
    """The ordinary template request names the template that the reply would carry (same identifier
    and version, "0" meaning none held): the machine has it already."""
    held_id, held_ver = _tag_text(request, "tmplatid"), _tag_text(request, "tmplatver")
    cur_id, cur_ver = _tag_text(template, "templateid"), _tag_text(template, "templatever")
    if None in (held_id, held_ver, cur_id, cur_ver) or held_id.strip() in ("", "0"):
        return False
    return (held_id.strip(), held_ver.strip()) == (cur_id.strip(), cur_ver.strip())


def scenario_reply(folder: Path | None, page: str, body: str, own_url: str | None = None) -> dict | None:
    """The scenario folder's reply for a page. SIM_URL_TOKEN in a reply stands for the simulator's
    own address (own_url), so that a template can name icons under its /files/. The template page
    answers "No New Template" to a machine that already holds the scenario's template."""
    if folder is None:
        return None
    candidates: list[Path] = []
    keyed = {"wpdcmscriptdetails": "scriptid", "wpdcmtemplatedetails": "batchid"}
    if page in keyed:
        key = _tag_text(body, keyed[page])
        sub = folder / page
        if key is not None:
            candidates += [sub / (_safe_name(key) + ".xml"), sub / (_safe_name(key.strip()) + ".xml")]
        candidates.append(sub / "default.xml")
    candidates += [folder / (page + ".xml"), folder / (page + ".txt")]
    for c in candidates:
        if c.is_file():
            data = c.read_bytes()
            if own_url is not None:
                data = data.replace(SIM_URL_TOKEN.encode("ascii"), own_url.encode("ascii"))
            if page == "wpdcmgetdeskheraldtemplate" and holds_current_template(body, data.decode("utf-8", "replace")):
                return reply(NO_NEW_TEMPLATE)
            return reply(data)
    return None


# ----------------------------------------------------------------------------------------------
# HTTPS: the test root and the server certificates
# ----------------------------------------------------------------------------------------------

# The name an HTTPS simulator is reached by: Wine's WinHTTP checks the host against the DNS names
# of the certificate's subjectAltName only, never against an IP address.
TLS_HOST = "localhost"
# Named by the "other-name" certificate; never looked up.
OTHER_NAME = "kdht-other.invalid"
# The certificates an HTTPS simulator can present: "good" is issued by the test root for
# TLS_HOST and valid now; each other one is wrong in one way.
CERTIFICATES = ("good", "untrusted-root", "other-name", "expired", "not-yet-valid")
# The set is made again when older than this, so that "not-yet-valid" (valid from a day ahead)
# and "good" keep their meaning.
CERT_SET_MAX_AGE = 6 * 3600
DAY = 86400

_CA_CONFIG = """[ ca ]
default_ca = sim
[ sim ]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
email_in_dn = no
[ any ]
commonName = supplied
[ leaf ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:$ENV::SIM_SAN
"""


def _openssl() -> str:
    found = shutil.which("openssl")
    if not found:
        raise RuntimeError("HTTPS needs Debian's openssl command (apt-get install openssl)")
    return found


def _run_openssl(*args: str, cwd: Path, env: dict[str, str] | None = None) -> None:
    r = subprocess.run([_openssl(), *args], cwd=cwd, capture_output=True, env={**os.environ, **(env or {})},
                       timeout=60)
    if r.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], r.stderr.decode(errors="replace").strip()))


def _asn1_time(t: float) -> str:
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(t))


class TestPki:
    """The simulator's certificates, made with the openssl command in `folder`:

    - root.pem / root.der: the test root (made once and kept: the test kit trusts it once per
      Wine prefix); stray-root.pem: a root nobody trusts;
    - server.key: the one key of every server certificate;
    - set/<name>.pem for each of CERTIFICATES, made at start when missing or older than
      CERT_SET_MAX_AGE.

    Several simulators may share a folder: the making is done under a lock."""

    __test__ = False  # a name pytest would otherwise take for a test class

    def __init__(self, folder: str | Path):
        self.folder = Path(folder)
        self.root_pem = self.folder / "root.pem"
        self.root_der = self.folder / "root.der"

    def certificate(self, name: str) -> Path:
        if name not in CERTIFICATES:
            raise ValueError("unknown certificate %r (one of %s)" % (name, ", ".join(CERTIFICATES)))
        return self.folder / "set" / (name + ".pem")

    @property
    def key(self) -> Path:
        return self.folder / "server.key"

    def ensure(self) -> "TestPki":
        self.folder.mkdir(parents=True, exist_ok=True)
        with open(self.folder / ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self._make_root("root", "kDHT test root")
            self._make_root("stray-root", "kDHT stray root (never trusted)")
            if not self.key.is_file():
                _run_openssl("genrsa", "-out", "server.key.tmp", "2048", cwd=self.folder)
                os.replace(self.folder / "server.key.tmp", self.key)
            stamp = self.folder / "set" / "made"
            if (not stamp.is_file() or time.time() - stamp.stat().st_mtime > CERT_SET_MAX_AGE
                    or stamp.read_text().strip() != self.root_fingerprint()
                    or not all(self.certificate(n).is_file() for n in CERTIFICATES)):
                self._make_set()
        return self

    def root_fingerprint(self) -> str:
        """SHA-1 of the test root, as the certificate stores name it."""
        return hashlib.sha1(self.root_der.read_bytes()).hexdigest().upper()

    def _make_root(self, name: str, subject: str) -> None:
        if (self.folder / (name + ".pem")).is_file():
            return
        _run_openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out",
                     name + ".pem.tmp", "-days", "3650", "-subj", "/CN=" + subject,
                     "-addext", "basicConstraints=critical,CA:TRUE",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=self.folder)
        _run_openssl("x509", "-in", name + ".pem.tmp", "-outform", "DER", "-out", name + ".der", cwd=self.folder)
        os.replace(self.folder / (name + ".pem.tmp"), self.folder / (name + ".pem"))

    def _make_set(self) -> None:
        work = Path(tempfile.mkdtemp(prefix="set-", dir=self.folder))
        try:
            (work / "ca.cnf").write_text(_CA_CONFIG)
            now = time.time()
            plans = {  # name: (issuer, host, valid from, valid to)
                "good": ("root", TLS_HOST, now - DAY, now + 30 * DAY),
                "untrusted-root": ("stray-root", TLS_HOST, now - DAY, now + 30 * DAY),
                "other-name": ("root", OTHER_NAME, now - DAY, now + 30 * DAY),
                "expired": ("root", TLS_HOST, now - 30 * DAY, now - DAY),
                "not-yet-valid": ("root", TLS_HOST, now + DAY, now + 30 * DAY),
            }
            for name, (issuer, host, start, end) in plans.items():
                (work / "index.txt").write_text("")
                (work / "serial").write_text("%032X\n" % int.from_bytes(os.urandom(15), "big"))
                _run_openssl("req", "-new", "-key", str(self.key), "-subj", "/CN=" + host, "-out", "leaf.csr", cwd=work)
                _run_openssl("ca", "-batch", "-notext", "-config", "ca.cnf", "-extensions", "leaf",
                             "-cert", str(self.folder / (issuer + ".pem")), "-keyfile", str(self.folder / (issuer + ".key")),
                             "-startdate", _asn1_time(start), "-enddate", _asn1_time(end),
                             "-in", "leaf.csr", "-out", name + ".pem", cwd=work, env={"SIM_SAN": host})
            (work / "made").write_text(self.root_fingerprint() + "\n")
            old = self.folder / "set"
            if old.exists():
                shutil.rmtree(old)
            os.replace(work, old)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def contexts(self) -> dict[str, ssl.SSLContext]:
        """A server context per certificate (TLS 1.2 and 1.3)."""
        out = {}
        for name in CERTIFICATES:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_cert_chain(str(self.certificate(name)), str(self.key))
            out[name] = ctx
        return out


# ----------------------------------------------------------------------------------------------
# The server
# ----------------------------------------------------------------------------------------------

class _State:
    def __init__(self, scenario: Path | None, record: Path | None, verbose: bool):
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.stop_event = threading.Event()
        self.queues: dict[str, list[dict]] = {}
        self.standing: dict[str, dict] = {}
        self.responders: dict[str, Any] = {}
        self.files: dict[str, bytes] = {}
        self.records: list[dict] = []
        self.seq = 0
        self.scenario: Path | None = None
        self.record_path = record
        self.record_file = open(record, "a", encoding="utf-8") if record else None
        self.verbose = verbose
        # HTTPS: the context of each certificate (empty for plain HTTP) and the one presented now.
        self.tls_contexts: dict[str, ssl.SSLContext] = {}
        self.certificate = "good"
        # One entry per connection accepted: the certificate presented, how the handshake went and
        # how many requests came (a client that refuses the certificate sends none).
        self.connections: list[dict] = []
        self.set_scenario(scenario)

    # -- configuration (all under the lock) -----------------------------------------------------
    def set_scenario(self, folder: str | Path | None) -> None:
        with self.lock:
            self.scenario = Path(folder) if folder else None
            if self.scenario is not None and not self.scenario.is_dir():
                raise ValueError("scenario folder %s does not exist" % self.scenario)
            preload = self.scenario / "replies.json" if self.scenario else None
            if preload is not None and preload.is_file():
                data = json.loads(preload.read_text(encoding="utf-8"))
                for page, replies in data.items():
                    self.queues.setdefault(page, []).extend(_normalise(r) for r in replies)

    def queue(self, page: str, replies: Iterable[dict]) -> int:
        items = [_normalise(r) for r in replies]
        with self.lock:
            q = self.queues.setdefault(page, [])
            q.extend(items)
            return len(q)

    def set_reply(self, page: str, r: dict | None) -> None:
        with self.lock:
            if r is None:
                self.standing.pop(page, None)
            else:
                self.standing[page] = _normalise(r)

    def add_file(self, name: str, data: bytes | None) -> None:
        with self.lock:
            if data is None:
                self.files.pop(name, None)
            else:
                self.files[name] = bytes(data)

    def reset(self, records: bool = True) -> None:
        with self.lock:
            self.queues.clear()
            self.standing.clear()
            self.responders.clear()
            self.files.clear()
            if records:
                self.records.clear()
                self.connections.clear()

    def set_certificate(self, name: str) -> None:
        if not self.tls_contexts:
            raise ValueError("this simulator serves plain HTTP")
        if name not in self.tls_contexts:
            raise ValueError("unknown certificate %r (one of %s)" % (name, ", ".join(CERTIFICATES)))
        with self.lock:
            self.certificate = name

    def tls_context(self) -> tuple[str, ssl.SSLContext] | None:
        with self.lock:
            if not self.tls_contexts:
                return None
            return self.certificate, self.tls_contexts[self.certificate]

    def connection_opened(self, entry: dict) -> None:
        with self.cond:
            self.connections.append(entry)
            self.cond.notify_all()

    def connection_changed(self) -> None:
        with self.cond:
            self.cond.notify_all()

    def connection_list(self) -> list[dict]:
        with self.lock:
            # Connections that carried control requests are the test's own, not the client's.
            return [dict(c) for c in self.connections if not c.get("control")]

    def pending(self) -> dict[str, int]:
        with self.lock:
            return {p: len(q) for p, q in self.queues.items() if q}

    def requests(self, page: str | None = None, since: int = 0) -> list[dict]:
        with self.lock:
            return [dict(r) for r in self.records if r["seq"] > since and (page is None or r["page"] == page)]

    def wait_for(self, page: str | None, count: int, timeout: float) -> list[dict]:
        deadline = time.monotonic() + min(float(timeout), MAX_STALL_SECONDS)
        with self.cond:
            while True:
                got = [r for r in self.records if page is None or r["page"] == page]
                left = deadline - time.monotonic()
                if len(got) >= count or left <= 0:
                    return [dict(r) for r in got]
                self.cond.wait(min(left, 0.5))

    # -- per request -----------------------------------------------------------------------------
    def choose(self, page: str | None, body: str, own_url: str | None = None) -> dict | None:
        with self.lock:
            if page is None:
                return None
            q = self.queues.get(page)
            if q:
                return q.pop(0)
            if page in self.standing:
                return self.standing[page]
            responder = self.responders.get(page)
            scenario = self.scenario
        if responder is not None:
            r = responder(body)
            if r is not None:
                return _normalise(r)
        return scenario_reply(scenario, page, body, own_url) or builtin_reply(page, body)

    def file_reply(self, name: str) -> dict:
        with self.lock:
            for key in ("files/" + name, "files"):
                q = self.queues.get(key)
                if q:
                    return q.pop(0)
            if "files/" + name in self.standing:
                return self.standing["files/" + name]
            data = self.files.get(name)
            scenario = self.scenario
        if data is None and scenario is not None and "/" not in name and "\\" not in name and name not in (".", ".."):
            p = scenario / "files" / name
            if p.is_file():
                data = p.read_bytes()
        if data is None:
            return html_error(404, "Not Found")
        return reply(data, content_type="application/octet-stream")

    def record(self, rec: dict) -> dict:
        with self.cond:
            self.seq += 1
            rec = {"seq": self.seq, **rec}
            self.records.append(rec)
            if self.record_file is not None:
                self.record_file.write(json.dumps(rec, ensure_ascii=False) + "\n")
                self.record_file.flush()
            self.cond.notify_all()
        if self.verbose:
            print("[sim] %s %s -> %s" % (rec["method"], rec["path"], rec.get("reply")), file=sys.stderr, flush=True)
        return rec

    def close(self) -> None:
        with self.lock:
            if self.record_file is not None:
                self.record_file.close()
                self.record_file = None


def _decode_body(raw: bytes) -> tuple[str, str]:
    for enc in ("utf-8", "cp1252"):
        try:
            return raw.decode(enc), enc
        except UnicodeDecodeError:
            pass
    return raw.decode("latin-1"), "latin-1"


def _summary(r: dict | None) -> dict | None:
    if r is None:
        return None
    s = {k: v for k, v in r.items() if k not in ("body_b64", "then", "prefix", "suffix", "fill")}
    if "body_b64" in r:
        s["length"] = len(reply_body(r))
    if r.get("then") is not None:
        s["then"] = _summary(r["then"])
    return s


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VORNMgmtSim/1.0"
    sys_version = ""
    timeout = IDLE_CONNECTION_SECONDS

    state: _State  # set on the subclass made per server

    def setup(self) -> None:
        super().setup()
        # The headers and the body of a reply go out as two writes; without this the body waits
        # for the client's delayed acknowledgement of the headers (40 ms on Linux), which a real
        # server does not add to every exchange.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn_entry: dict[str, Any] = {"client": "%s:%d" % self.client_address[:2], "certificate": None,
                                           "tls": None, "error": None, "requests": 0, "open": True}
        self.state.connection_opened(self.conn_entry)
        if isinstance(self.connection, ssl.SSLSocket):
            self.conn_entry["certificate"] = getattr(self.connection, "sim_certificate", None)
            try:
                self.connection.do_handshake()
                self.conn_entry["tls"] = self.connection.version()
            except (ssl.SSLError, OSError) as e:
                # The client refused the certificate during the handshake (Windows' way); a client
                # that checks it afterwards (Wine's) completes the handshake and sends nothing.
                self.conn_entry["error"] = "%s: %s" % (type(e).__name__, e)
                self.close_connection = True

    def handle(self) -> None:
        if self.conn_entry["error"] is not None:
            return
        try:
            super().handle()
        except (ssl.SSLError, ConnectionError, socket.timeout) as e:
            self.conn_entry["error"] = "%s: %s" % (type(e).__name__, e)

    def finish(self) -> None:
        try:
            super().finish()
        except OSError:
            pass
        self.conn_entry["open"] = False
        self.state.connection_changed()

    def log_message(self, fmt: str, *args: Any) -> None:  # quiet; the record file is the log
        if self.state.verbose:
            sys.stderr.write("[sim] " + (fmt % args) + "\n")

    def do_POST(self) -> None:
        self._dispatch()

    def do_GET(self) -> None:
        self._dispatch()

    def do_PUT(self) -> None:
        self._dispatch()

    # -- request ---------------------------------------------------------------------------------
    def _read_body(self) -> bytes:
        # Acknowledge the request headers at once: a client that writes the headers and the body
        # separately (WinHTTP under Wine does) holds the body back until the headers are
        # acknowledged, and Linux delays that acknowledgement by 40 ms, on every exchange.
        if hasattr(socket, "TCP_QUICKACK"):
            try:
                self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            except OSError:
                pass
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            out = bytearray()
            while True:
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(out)
                if len(out) + size > MAX_REQUEST_BODY:
                    raise ValueError("request body too large")
                out += self.rfile.read(size)
                self.rfile.readline(8)
        n = int(self.headers.get("Content-Length") or 0)
        if n > MAX_REQUEST_BODY:
            raise ValueError("request body too large")
        return self.rfile.read(n) if n > 0 else b""

    def _dispatch(self) -> None:
        try:
            raw = self._read_body()
        except (ValueError, OSError):
            self.close_connection = True
            return
        split = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(split.path)
        if path.rstrip("/") == "/__control":
            self.conn_entry["control"] = True
            self._control(raw, split.query)
            return
        self.conn_entry["requests"] += 1
        text, enc = _decode_body(raw)
        m_page = _PAGE_RE.search(path)
        m_file = _FILE_RE.match(path)
        page: str | None = None
        extra: dict[str, Any] = {}
        if m_page:
            page = m_page.group(1)
            r = self.state.choose(page, text, self.server.own_url)
            if r is None:
                r = html_error(404, "Not Found")
        elif m_file and self.command == "GET":
            page = "files"
            extra["file"] = m_file.group(1)
            r = self.state.file_reply(m_file.group(1))
        else:
            r = html_error(404, "Not Found")
        now = time.time()
        rec = {
            "time": now,
            "iso_time": time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(now)) + ".%03d" % int(now % 1 * 1000),
            "page": page,
            "method": self.command,
            "path": self.path,
            "base": path[: m_page.start(1) - len("tfr_")] if m_page else None,
            "query": {k: v[0] if len(v) == 1 else v
                      for k, v in urllib.parse.parse_qs(split.query, keep_blank_values=True).items()},
            "query_raw": split.query,
            "body": text,
            "body_encoding": enc,
            "body_length": len(raw),
            "headers": {k: v for k, v in self.headers.items()},
            "client": "%s:%d" % self.client_address[:2],
            "reply": _summary(r),
            **extra,
        }
        self.state.record(rec)
        try:
            self._answer(r)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, socket.timeout):
            self.close_connection = True

    # -- replies ---------------------------------------------------------------------------------
    def _answer(self, r: dict) -> None:
        kind = r["kind"]
        if kind == "stall":
            if self.state.stop_event.wait(min(float(r.get("seconds", 0)), MAX_STALL_SECONDS)):
                self._drop(reset=False)
                return
            then = r.get("then")
            if then is None:
                self._drop(reset=False)
                return
            r, kind = then, then["kind"]
        if kind == "close":
            self._drop(reset=bool(r.get("reset")))
        elif kind == "body":
            body = reply_body(r)
            self._head(r, len(body), default_type=_default_type(body))
            self.wfile.write(body)
            self.wfile.flush()
        elif kind == "cut":
            body = reply_body(r)
            declared = int(r.get("declared", len(body) + 1024))
            self._head(r, max(declared, len(body) + 1), default_type=_default_type(body))
            self.wfile.write(body)
            self.wfile.flush()
            self._drop(reset=False)
        elif kind == "huge":
            self._huge(r)
        elif kind == "trickle":
            self._trickle(r)

    def _head(self, r: dict, length: int, default_type: str) -> None:
        self.send_response(int(r.get("status", 200)))
        self.send_header("Content-Type", r.get("content_type") or default_type)
        self.send_header("Content-Length", str(length))
        for k, v in (r.get("headers") or {}).items():
            self.send_header(k, v)
        self.end_headers()

    def _huge(self, r: dict) -> None:
        total = int(float(r.get("mb", 1)) * 1024 * 1024)
        prefix = str(r.get("prefix", "")).encode()
        suffix = str(r.get("suffix", "")).encode()
        fill = (str(r.get("fill", "x")) or "x").encode()
        middle = max(0, total - len(prefix) - len(suffix))
        self._head(r, len(prefix) + middle + len(suffix), default_type="text/xml")
        self.wfile.write(prefix)
        block = (fill * (CHUNK // len(fill) + 1))[:CHUNK]
        sent = 0
        while sent < middle:
            if self.state.stop_event.is_set():
                self._drop(reset=False)
                return
            n = min(CHUNK, middle - sent)
            self.wfile.write(block[:n])
            sent += n
        self.wfile.write(suffix)
        self.wfile.flush()

    def _trickle(self, r: dict) -> None:
        body = reply_body(r)
        content_type = r.get("content_type") or _default_type(body)
        data = body
        if r.get("head"):
            data = ("HTTP/1.1 %d OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                    % (int(r.get("status", 200)), content_type, len(body))).encode("ascii") + body
        else:
            self._head(r, len(body), default_type=content_type)
            self.wfile.flush()
        interval = max(MIN_TRICKLE_SECONDS, float(r.get("interval", 0.3)))
        for i in range(len(data)):
            if self.state.stop_event.wait(interval):
                self._drop(reset=False)
                return
            try:
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
            except OSError:  # the client gave up
                self.close_connection = True
                return

    def _drop(self, reset: bool) -> None:
        self.close_connection = True
        try:
            self.wfile.flush()
        except OSError:
            pass
        try:
            if reset:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # -- control ---------------------------------------------------------------------------------
    def _control(self, raw: bytes, query: str) -> None:
        try:
            if self.command == "GET":
                q = urllib.parse.parse_qs(query)
                cmd = {"op": q.get("op", ["requests"])[0]}
                if "page" in q:
                    cmd["page"] = q["page"][0]
            else:
                cmd = json.loads(raw.decode("utf-8") or "{}")
            result = _control(self.state, self.server, cmd)
            status, out = 200, {"ok": True, **result}
        except (ValueError, KeyError, TypeError) as e:
            status, out = 400, {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
        data = json.dumps(out).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def _default_type(body: bytes) -> str:
    return "text/xml" if body.lstrip()[:1] == b"<" else "text/html"


def _control(state: _State, server: Any, cmd: dict) -> dict:
    op = cmd.get("op")
    if op == "ping":
        return {"pages": list(PAGES)}
    if op == "queue":
        return {"pending": state.queue(cmd["page"], cmd.get("replies") or [])}
    if op == "set_reply":
        state.set_reply(cmd["page"], cmd.get("reply"))
        return {}
    if op == "add_file":
        data = cmd.get("data_b64")
        state.add_file(cmd["name"], base64.b64decode(data) if data is not None else None)
        return {}
    if op == "scenario":
        state.set_scenario(cmd.get("dir"))
        return {}
    if op == "reset":
        state.reset(records=bool(cmd.get("records", True)))
        return {}
    if op == "pending":
        return {"pending": state.pending()}
    if op == "requests":
        return {"requests": state.requests(cmd.get("page"), int(cmd.get("since", 0)))}
    if op == "wait":
        return {"requests": state.wait_for(cmd.get("page"), int(cmd.get("count", 1)), float(cmd.get("timeout", 10)))}
    if op == "certificate":
        state.set_certificate(str(cmd["name"]))
        return {}
    if op == "connections":
        return {"connections": state.connection_list()}
    if op == "shutdown":
        state.stop_event.set()
        threading.Thread(target=server.shutdown, daemon=True).start()
        return {}
    raise ValueError("unknown op %r" % op)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    state: _State
    own_url: str

    def get_request(self) -> tuple[socket.socket, Any]:
        sock, addr = super().get_request()
        tls = self.state.tls_context()
        if tls is not None:
            # The handshake is made by the connection's own thread (in the handler's setup).
            name, ctx = tls
            sock = ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
            sock.sim_certificate = name
        return sock, addr


# ----------------------------------------------------------------------------------------------
# Public API
# ----------------------------------------------------------------------------------------------

class _Api:
    """The control operations, shared by the in-process Simulator and the HTTP SimClient."""

    def _op(self, op: str, **kw: Any) -> dict:  # pragma: no cover - overridden
        raise NotImplementedError

    def queue(self, page: str, *replies: dict | str | bytes) -> int:
        """Appends replies to the page's queue; each answers one request. Returns the queue length."""
        return self._op("queue", page=page, replies=[_to_json_reply(r) for r in replies])["pending"]

    def set_reply(self, page: str, r: dict | str | bytes | None) -> None:
        """The reply to every request of the page while its queue is empty (None clears it)."""
        self._op("set_reply", page=page, reply=None if r is None else _to_json_reply(r))

    def add_file(self, name: str, data: bytes | str | None) -> None:
        """Serves `data` at GET /files/<name> (None removes it)."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        self._op("add_file", name=name, data_b64=None if data is None else base64.b64encode(data).decode())

    def set_scenario(self, folder: str | Path | None) -> None:
        self._op("scenario", dir=None if folder is None else str(Path(folder).resolve()))

    def reset(self, records: bool = True) -> None:
        """Forgets scripted and standing replies and registered files (and the recorded requests)."""
        self._op("reset", records=records)

    def pending(self) -> dict[str, int]:
        return self._op("pending")["pending"]

    def requests(self, page: str | None = None, since: int = 0) -> list[dict]:
        """The recorded requests, oldest first (only those of `page` when given)."""
        return self._op("requests", page=page, since=since)["requests"]

    def wait_for(self, page: str | None = None, count: int = 1, timeout: float = 10.0) -> list[dict]:
        """Waits (at most `timeout` seconds) until `count` requests of `page` are recorded; returns them."""
        return self._op("wait", page=page, count=count, timeout=timeout)["requests"]

    def set_certificate(self, name: str) -> None:
        """HTTPS: the certificate presented to the next connections (one of CERTIFICATES)."""
        self._op("certificate", name=name)

    def connections(self) -> list[dict]:
        """The connections accepted, oldest first: client, certificate presented (HTTPS), TLS
        version or the handshake's error, number of requests, whether still open."""
        return self._op("connections")["connections"]

    def base_url(self, prefix: str = "dh") -> str:
        prefix = prefix.strip("/")
        return "%s/%s" % (self.url, prefix + "/" if prefix else "")

    url: str


class Simulator(_Api):
    """In-process simulator: `with Simulator(scenario=...) as sim: ... sim.url ...`.

    https=True: serves HTTPS at https://localhost:PORT with the certificates of TestPki(tls_dir)
    (a temporary folder when none is given), presenting `certificate` until set_certificate()."""

    def __init__(self, port: int = 0, scenario: str | Path | None = None, record: str | Path | None = None,
                 verbose: bool = False, https: bool = False, tls_dir: str | Path | None = None,
                 certificate: str = "good"):
        self._state = _State(Path(scenario) if scenario else None, Path(record) if record else None, verbose)
        self._tmp: tempfile.TemporaryDirectory | None = None
        self.pki: TestPki | None = None
        if https:
            if tls_dir is None:
                self._tmp = tempfile.TemporaryDirectory(prefix="mgmt-sim-tls-")
                tls_dir = self._tmp.name
            self.pki = TestPki(tls_dir).ensure()
            self._state.tls_contexts = self.pki.contexts()
            self._state.set_certificate(certificate)
        handler = type("Handler", (_Handler,), {"state": self._state})
        self._server = _Server((HOST, port), handler)
        self._server.state = self._state
        self.port: int = self._server.server_address[1]
        self.url = ("https://%s:%d" % (TLS_HOST, self.port)) if https else ("http://%s:%d" % (HOST, self.port))
        self._server.own_url = self.url
        self._thread: threading.Thread | None = None

    def start(self) -> "Simulator":
        if self._thread is None:
            self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                            name="mgmt-sim", daemon=True)
            self._thread.start()
        return self

    def serve_forever(self, lifetime: float | None = None) -> None:
        if lifetime:
            timer = threading.Timer(lifetime, self._server.shutdown)
            timer.daemon = True
            timer.start()
        try:
            self._server.serve_forever(poll_interval=0.1)
        finally:
            self._state.stop_event.set()
            self._server.server_close()
            self._state.close()
            if self._tmp is not None:
                self._tmp.cleanup()
                self._tmp = None

    def stop(self) -> None:
        self._state.stop_event.set()
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join(timeout=10)
            self._thread = None
        self._server.server_close()
        self._state.close()
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def set_responder(self, page: str, fn: Any | None) -> None:
        """In-process only: fn(request body text) answers the page's requests (a reply, or None to
        leave the request to the scenario folder and the built-in default) when neither a queued nor
        a standing reply does; a server that decides from what the agent sends. None removes it."""
        with self._state.lock:
            if fn is None:
                self._state.responders.pop(page, None)
            else:
                self._state.responders[page] = fn

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def _op(self, op: str, **kw: Any) -> dict:
        return _control(self._state, self._server, {"op": op, **kw})


class SimClient(_Api):
    """Controls a simulator running elsewhere (a subprocess) through POST /__control."""

    def __init__(self, url: str, timeout: float = 30.0, tls_dir: str | Path | None = None):
        """tls_dir: the certificates of an HTTPS simulator (TestPki). The client accepts exactly
        those, by their fingerprints, whichever one the simulator presents at the moment (an
        expired one included): the control channel shares the simulator's listener."""
        self.url = url.rstrip("/")
        self.timeout = timeout
        split = urllib.parse.urlsplit(self.url)
        if split.hostname not in ("127.0.0.1", "localhost"):
            raise ValueError("the simulator lives on 127.0.0.1 only")
        self._port = split.port or (443 if split.scheme == "https" else 80)
        self._pins: set[str] | None = None
        if split.scheme == "https":
            if tls_dir is None:
                raise ValueError("an HTTPS simulator's client needs its certificate folder")
            pki = TestPki(tls_dir)
            self._pins = {hashlib.sha256(ssl.PEM_cert_to_DER_cert(pki.certificate(n).read_text())).hexdigest()
                          for n in CERTIFICATES}

    def _connection(self, timeout: float) -> http.client.HTTPConnection:
        if self._pins is None:
            return http.client.HTTPConnection(HOST, self._port, timeout=timeout)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE  # checked below against the pinned certificates
        conn = http.client.HTTPSConnection(HOST, self._port, timeout=timeout, context=ctx)
        conn.connect()
        der = conn.sock.getpeercert(binary_form=True) or b""
        if hashlib.sha256(der).hexdigest() not in self._pins:
            conn.close()
            raise ssl.SSLError("the server at %s is not this simulator" % self.url)
        return conn

    def _op(self, op: str, **kw: Any) -> dict:
        data = json.dumps({"op": op, **kw}).encode("utf-8")
        timeout = self.timeout + (float(kw.get("timeout", 0)) if op == "wait" else 0)
        conn = self._connection(timeout)
        try:
            conn.request("POST", "/__control", body=data, headers={"Content-Type": "application/json"})
            resp = conn.getresponse()
            text = resp.read().decode("utf-8")
        finally:
            conn.close()
        out = json.loads(text or "{}")
        if resp.status != 200:
            raise ValueError(out.get("error", "HTTP %d" % resp.status))
        return out

    def ping(self) -> bool:
        try:
            return bool(self._op("ping").get("ok"))
        except OSError:
            return False

    def shutdown(self) -> None:
        self._op("shutdown")


class SimProcess:
    """The simulator as a child process: `with SimProcess(scenario=..., record=...) as sp: sp.client...`."""

    def __init__(self, scenario: str | Path | None = None, record: str | Path | None = None,
                 lifetime: float = 3600.0, start_timeout: float = 15.0, https: bool = False,
                 tls_dir: str | Path | None = None):
        self._tmp = tempfile.TemporaryDirectory(prefix="mgmt-sim-")
        port_file = Path(self._tmp.name) / "port"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--port", "0", "--port-file", str(port_file),
               "--lifetime", str(lifetime)]
        if scenario:
            cmd += ["--scenario", str(scenario)]
        if record:
            cmd += ["--record", str(record)]
        if https:
            tls_dir = Path(tls_dir) if tls_dir else Path(self._tmp.name) / "tls"
            cmd += ["--https", "--tls-dir", str(tls_dir)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        deadline = time.monotonic() + start_timeout
        while not port_file.is_file() or not port_file.read_text().strip():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("simulator did not start: %s" % self._stderr())
            time.sleep(0.02)
        self.port = int(port_file.read_text().strip())
        if https:
            self.client = SimClient("https://%s:%d" % (TLS_HOST, self.port), tls_dir=tls_dir)
        else:
            self.client = SimClient("http://%s:%d" % (HOST, self.port))
        self.url = self.client.url

    def _stderr(self) -> str:
        try:
            return self.proc.stderr.read().decode(errors="replace") if self.proc.stderr and self.proc.poll() is not None else ""
        except OSError:
            return ""

    def stop(self, timeout: float = 10.0) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=timeout)
        if self.proc.stderr:
            self.proc.stderr.close()
        self._tmp.cleanup()

    def __enter__(self) -> "SimProcess":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def read_records(path: str | Path) -> list[dict]:
    """The requests recorded in a record file, oldest first."""
    p = Path(path)
    if not p.is_file():
        return []
    return [json.loads(line) for line in p.read_text(encoding="utf-8").splitlines() if line.strip()]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="Management-server simulator (127.0.0.1 only).")
    ap.add_argument("--port", type=int, default=0, help="port to listen on (0: any free port)")
    ap.add_argument("--scenario", help="folder with the replies (<page>.xml, files/, ...)")
    ap.add_argument("--record", help="file that receives one JSON line per request")
    ap.add_argument("--port-file", help="file that receives the port number once listening")
    ap.add_argument("--lifetime", type=float, default=3600.0, help="stop after this many seconds (0: never)")
    ap.add_argument("--https", action="store_true",
                    help="serve HTTPS at https://localhost:PORT with certificates of the test root")
    ap.add_argument("--tls-dir", help="folder of the test root and the certificates (made when missing; "
                                      "default: a temporary folder)")
    ap.add_argument("--certificate", default="good", choices=CERTIFICATES,
                    help="the certificate presented (HTTPS)")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args(argv)

    sim = Simulator(port=args.port, scenario=args.scenario, record=args.record, verbose=args.verbose,
                    https=args.https, tls_dir=args.tls_dir, certificate=args.certificate)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=sim._server.shutdown, daemon=True).start())
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % sim.port)
        os.replace(tmp, args.port_file)
    print("mgmt-sim listening on %s/ (pages under any base, e.g. %s)" % (sim.url, sim.base_url()), flush=True)
    if sim.pki is not None:
        print("mgmt-sim test root: %s (certificate presented: %s)" % (sim.pki.root_pem, args.certificate), flush=True)
    try:
        sim.serve_forever(lifetime=args.lifetime or None)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
