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
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
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
            self._control(raw, split.query)
            return
        text, enc = _decode_body(raw)
        m_page = _PAGE_RE.search(path)
        m_file = _FILE_RE.match(path)
        page: str | None = None
        extra: dict[str, Any] = {}
        if m_page:
            page = m_page.group(1)
            r = self.state.choose(page, text, "http://%s:%d" % self.server.server_address[:2])
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
    if op == "shutdown":
        state.stop_event.set()
        threading.Thread(target=server.shutdown, daemon=True).start()
        return {}
    raise ValueError("unknown op %r" % op)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


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

    def base_url(self, prefix: str = "dh") -> str:
        prefix = prefix.strip("/")
        return "%s/%s" % (self.url, prefix + "/" if prefix else "")

    url: str


class Simulator(_Api):
    """In-process simulator: `with Simulator(scenario=...) as sim: ... sim.url ...`."""

    def __init__(self, port: int = 0, scenario: str | Path | None = None, record: str | Path | None = None,
                 verbose: bool = False):
        self._state = _State(Path(scenario) if scenario else None, Path(record) if record else None, verbose)
        handler = type("Handler", (_Handler,), {"state": self._state})
        self._server = _Server((HOST, port), handler)
        self.port: int = self._server.server_address[1]
        self.url = "http://%s:%d" % (HOST, self.port)
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

    def stop(self) -> None:
        self._state.stop_event.set()
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join(timeout=10)
            self._thread = None
        self._server.server_close()
        self._state.close()

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

    def __init__(self, url: str, timeout: float = 30.0):
        self.url = url.rstrip("/")
        self.timeout = timeout
        host = urllib.parse.urlsplit(self.url).hostname
        if host not in ("127.0.0.1", "localhost"):
            raise ValueError("the simulator lives on 127.0.0.1 only")

    def _op(self, op: str, **kw: Any) -> dict:
        data = json.dumps({"op": op, **kw}).encode("utf-8")
        timeout = self.timeout + (float(kw.get("timeout", 0)) if op == "wait" else 0)
        req = urllib.request.Request(self.url + "/__control", data=data, method="POST",
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as resp:
                out = json.loads(resp.read().decode("utf-8"))
        except urllib.error.HTTPError as e:
            out = json.loads(e.read().decode("utf-8") or "{}")
            raise ValueError(out.get("error", str(e))) from None
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
                 lifetime: float = 3600.0, start_timeout: float = 15.0):
        self._tmp = tempfile.TemporaryDirectory(prefix="mgmt-sim-")
        port_file = Path(self._tmp.name) / "port"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--port", "0", "--port-file", str(port_file),
               "--lifetime", str(lifetime)]
        if scenario:
            cmd += ["--scenario", str(scenario)]
        if record:
            cmd += ["--record", str(record)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        deadline = time.monotonic() + start_timeout
        while not port_file.is_file() or not port_file.read_text().strip():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("simulator did not start: %s" % self._stderr())
            time.sleep(0.02)
        self.port = int(port_file.read_text().strip())
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
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args(argv)

    sim = Simulator(port=args.port, scenario=args.scenario, record=args.record, verbose=args.verbose)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=sim._server.shutdown, daemon=True).start())
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % sim.port)
        os.replace(tmp, args.port_file)
    print("mgmt-sim listening on %s/ (pages under any base, e.g. %s)" % (sim.url, sim.base_url()), flush=True)
    try:
        sim.serve_forever(lifetime=args.lifetime or None)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
