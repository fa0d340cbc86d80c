"""A CONNECT proxy on 127.0.0.1 for the scenarios where the agent's proxy settings
(VORNMobile.ini) carry HTTPS: it tunnels `CONNECT host:port` to loopback targets only, asks for
Basic credentials when given some (407 with Proxy-Authenticate until a request carries them),
and records every request it was asked.

    with ConnectProxy(user="agent", password="s3cr&t") as proxy:
        ... ProxyIP=127.0.0.1, ProxyPort=proxy.port ...
        proxy.requests  # [{"method", "target", "authorization", "status"}, ...]
"""

from __future__ import annotations

import base64
import select
import socket
import threading
from socketserver import StreamRequestHandler, ThreadingTCPServer
from typing import Any

HOST = "127.0.0.1"
# Targets it tunnels to: loopback names only, so that a wrong URL never leaves the machine.
LOOPBACK_NAMES = ("localhost", "127.0.0.1")
IDLE_SECONDS = 30.0
MAX_HEADER_LINES = 100


class _Handler(StreamRequestHandler):
    timeout = IDLE_SECONDS
    # Unbuffered: no byte the client sends after its request can be left behind in a buffer when
    # the tunnel takes over the socket.
    rbufsize = 0
    proxy: "ConnectProxy"

    def handle(self) -> None:
        try:
            self._handle()
        except (OSError, ValueError):
            pass

    def _handle(self) -> None:
        while True:
            # A request starts with its method's capitals. Anything else (a client that went on
            # with its TLS handshake after a 407, say) ends the connection at once.
            first = self.connection.recv(1, socket.MSG_PEEK)
            if not first or not first.isupper():
                if first:
                    self.proxy._record({"method": None, "target": None, "authorization": None, "status": None,
                                        "not_http": first.hex()})
                return
            line = self.rfile.readline(8192).decode("latin-1").strip()
            if not line:
                return
            method, target = (line.split(" ") + ["", ""])[:2]
            headers = {}
            for _ in range(MAX_HEADER_LINES):
                h = self.rfile.readline(8192).decode("latin-1")
                if h in ("\r\n", "\n", ""):
                    break
                name, _, value = h.partition(":")
                headers[name.strip().lower()] = value.strip()
            status = self._status(method, target, headers)
            self.proxy._record({"method": method, "target": target,
                                "authorization": headers.get("proxy-authorization"), "status": status})
            if status != 200:
                self._answer(status, headers)
                if status == 407 and "content-length" not in headers:
                    continue  # the client answers the challenge on the same connection
                return
            host, _, port = target.rpartition(":")
            with socket.create_connection((HOST, int(port)), timeout=IDLE_SECONDS) as upstream:
                self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                self.wfile.flush()
                self._tunnel(upstream)
            return

    def _status(self, method: str, target: str, headers: dict[str, str]) -> int:
        if method != "CONNECT":
            return 405
        host, _, port = target.rpartition(":")
        if host.strip("[]").lower() not in LOOPBACK_NAMES or not port.isdigit():
            return 403
        if self.proxy.credentials is not None and headers.get("proxy-authorization") != self.proxy.expected_authorization():
            return 407
        return 200

    def _answer(self, status: int, headers: dict[str, str]) -> None:
        reason = {403: "Forbidden", 405: "Method Not Allowed", 407: "Proxy Authentication Required"}[status]
        head = "HTTP/1.1 %d %s\r\nContent-Length: 0\r\n" % (status, reason)
        if status == 407:
            head += 'Proxy-Authenticate: Basic realm="kdht-test-proxy"\r\n'
        else:
            head += "Connection: close\r\n"
        self.wfile.write((head + "\r\n").encode("latin-1"))
        self.wfile.flush()

    def _tunnel(self, upstream: socket.socket) -> None:
        client = self.connection
        peers = {client: upstream, upstream: client}
        while True:
            ready, _, _ = select.select(list(peers), [], [], IDLE_SECONDS)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                peers[s].sendall(data)


class _Server(ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class ConnectProxy:
    """The proxy, listening on 127.0.0.1 (port chosen by the system) until stop()."""

    def __init__(self, user: str | None = None, password: str | None = None):
        self.credentials = (user or "", password or "") if user is not None or password is not None else None
        self.requests: list[dict[str, Any]] = []
        self._lock = threading.Lock()
        handler = type("Handler", (_Handler,), {"proxy": self})
        self._server = _Server((HOST, 0), handler)
        self.port: int = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="connect-proxy", daemon=True)
        self._thread.start()

    def expected_authorization(self) -> str | None:
        if self.credentials is None:
            return None
        return "Basic " + base64.b64encode(("%s:%s" % self.credentials).encode("utf-8")).decode("ascii")

    def _record(self, entry: dict[str, Any]) -> None:
        with self._lock:
            self.requests.append(entry)

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)

    def __enter__(self) -> "ConnectProxy":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()
