"""The server channel over HTTPS, as deployments have it: a whole pass of the example against a
server whose certificate comes from a root the machine trusts (the test root, added to the
prefix's machine store by the test kit), the next run's "No New Template", the icon through each
download method, through a CONNECT proxy named in VORNMobile.ini, and certificates the system
must refuse: nothing is sent to such a server and nothing held is touched.

Wine's WinHTTP differs from Windows' in ways the checks below name where they meet them: it
completes the TLS handshake and refuses the certificate afterwards (so the server sees a
connection that carries no request), fails with 12157 and tells no reason, and does not answer a
proxy's 407 to a CONNECT."""

from __future__ import annotations

import base64
import shutil
import time
import urllib.parse
import uuid

import pytest

from kdht_testkit import harness as h
from kdht_testkit.proxy import ConnectProxy
from flow_helpers import (MENU_REL, SEAL_REL, SUCCESS, TEMPLATE, assert_sealed, files_under, page_url,
                          post_log_files)

EXAMPLES = h.REPO_ROOT / "examples"
ICON_BYTES = bytes(range(256)) * 8
ICON_TEMPLATE = ("<dcmgetdeskheraldtemplate><templateid>34</templateid><templatever>1</templatever>"
                 "<icon>%s</icon></dcmgetdeskheraldtemplate>")
# The stand-ins a pass of the example needs, without the runner (its restart waits five seconds).
STANDINS = ["kRSSUpd.exe", "kDwnJob.dll"]
REFUSED = ["untrusted-root", "other-name", "expired", "not-yet-valid"]
# What the system download (URLMon, through Wine's internet library) names for each refusal.
# Wine's behaviour, not Windows': for a root it does not know it reports the revocation check it
# could not make, where Windows reports the untrusted root (12045).
SYSTEM_DOWNLOAD_REASON = {
    "untrusted-root": "certificate: revocation check failed",
    "other-name": "certificate: issued for another host name",
    "expired": "certificate: expired or not yet valid",
    "not-yet-valid": "certificate: expired or not yet valid",
}
# Wine's behaviour, not Windows': its WinHTTP fails a refused certificate with 12157 and calls no
# secure-failure callback, so the line has no reason. Windows fails with 12175 and gives the
# flags, and the line ends "- <url> (certificate: untrusted root)" and so on.
WINE_SECURE_FAILURE = "12157-A secure channel error occurred"
WINE_XMLHTTP_REFUSAL = "ERR : 12157 (A secure channel error occurred) line 30 in procedure XmlDownload of Module ModFunctions"


@pytest.fixture(scope="module")
def servers(kdht_exe):
    """Two HTTPS simulators with the prefix's trusted test root: `main` plays the management
    server, `other` holds icons behind whichever certificate a test gives it."""
    main = h.https_simulator().start()
    other = h.https_simulator().start()
    yield main, other
    main.stop()
    other.stop()


@pytest.fixture(scope="module")
def machine(servers):
    """One agent for the module, pointed at `main`, its job-download stand-in registered."""
    main, _ = servers
    agent = h.Agent.create("HTTPS", sim_url=main.base_url(), standins=STANDINS, register_popup=False)
    dll = agent.win(h.LAYOUT["kDwnJob.dll"])
    assert h.wine(h.regsvr32(), "/s", dll, timeout=60).returncode == 0
    yield agent
    h.wine(h.regsvr32(), "/u", "/s", dll, timeout=60)
    agent.cleanup()


def clear(servers, machine) -> None:
    """Both servers cleared and presenting the good certificate; the agent without a log, a proxy
    setting, a status file or a template."""
    for s in servers:
        s.reset()
        s.set_certificate("good")
        s.set_scenario(None)
    for rel in (h.LOG_REL, "VORNMobile.ini", h.STATUS_INI_REL):
        machine.path(rel).unlink(missing_ok=True)
    for rel in (r"kXPR\Herald", "XPRPostLogs"):
        if machine.path(rel).exists():
            shutil.rmtree(machine.path(rel))


@pytest.fixture
def fresh(servers, machine):
    clear(servers, machine)
    return servers


def settled_connections(server, limit: float = 5.0) -> list[dict]:
    """The server's connections once the client has closed them all."""
    deadline = time.monotonic() + limit
    while any(c["open"] for c in server.connections()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return server.connections()


def icon_dest(agent: h.Agent, name: str) -> str:
    return agent.win("kXPR\\Herald\\Icon\\" + name)


def held_state(agent: h.Agent) -> dict[str, bytes]:
    return {rel: agent.path(rel).read_bytes() for rel in (MENU_REL, SEAL_REL, h.STATUS_INI_REL)}


# ----------------------------------------------------------------------------------------------
# A whole pass and the next one
# ----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def passes(servers, machine):
    """The example's two passes over HTTPS: what each logged and requested."""
    main, _ = servers
    clear(servers, machine)
    main.set_scenario(EXAMPLES)
    out = []
    for _ in range(2):
        before = len(machine.log_bytes())
        seq = max((r["seq"] for r in main.requests()), default=0)
        machine.run(timeout=180)
        out.append(([x.message for x in h.parse_log(machine.log_bytes()[before:])], main.requests(since=seq),
                    held_state(machine)))
    return out


class TestWholePass:
    def test_template_scripts_details_icon_and_report_go_over_https(self, passes, servers, machine):
        messages, requests, _ = passes[0]
        assert [(r["page"], r.get("file")) for r in requests] == [
            (TEMPLATE, None), ("files", "herald.ico"),
            ("wpdcmscriptdetails", None), ("wpdcmtemplatedetails", None),
            ("wpdcmscriptdetails", None), ("wpdcmtemplatedetails", None), ("wpdcmscriptdetails", None),
            (SUCCESS, None)]
        assert not [m for m in messages if m.startswith("ERR : WebPost Failed")], messages
        assert "MSG : sStatus : " in messages and messages[-1] == h.ENDED_LINE
        base = servers[0].base_url()
        assert base.startswith("https://localhost:")
        assert "MSG : Webpost url : " + page_url(base, SUCCESS) in messages
        assert_sealed(machine.path(MENU_REL))
        for rel in (r"kXPR\Herald\Action_21_XPR\XPR_Script.xml", r"kXPR\Herald\Action_21_XPR\XPR_Template_12.xml"):
            assert_sealed(machine.path(rel))
        assert machine.path(r"kXPR\Herald\Icon\herald.ico").read_bytes() == (EXAMPLES / "files" / "herald.ico").read_bytes()
        assert machine.status_ini()["kDHT"]["Status"] == "SUCCESS"
        assert post_log_files(machine) == []

    def test_next_run_is_told_no_new_template_over_https(self, passes):
        messages, requests, held = passes[1]
        assert "MSG : Checksum matched" in messages
        assert "MSG : WebPost Return Status: " + h.sim.NO_NEW_TEMPLATE in messages
        assert [r["page"] for r in requests] == [TEMPLATE]
        assert "<tmplatid>2041</tmplatid><tmplatver>3</tmplatver>" in requests[0]["body"]
        assert held == passes[0][2]
        assert messages[-1] == h.ENDED_LINE

    def test_every_connection_was_tls_with_the_good_certificate(self, passes, servers):
        conns = settled_connections(servers[0])
        assert conns and all(c["tls"] in ("TLSv1.2", "TLSv1.3") and c["certificate"] == "good" for c in conns), conns
        assert sum(c["requests"] for c in conns) == len(passes[0][1]) + len(passes[1][1])


# ----------------------------------------------------------------------------------------------
# The icon through the other two download methods, and through the agent's proxy
# ----------------------------------------------------------------------------------------------

def serve_icon(main, other, *fail_first: dict) -> tuple[str, str]:
    """The template names an icon on `other`; the first GETs get `fail_first`. Returns name, URL."""
    name = "i-%s.ico" % uuid.uuid4().hex[:8]
    url = "%s/files/%s" % (other.url, name)
    if fail_first:
        other.queue("files/" + name, *fail_first)
    other.add_file(name, ICON_BYTES)
    main.queue(TEMPLATE, ICON_TEMPLATE % url)
    return name, url


@pytest.mark.parametrize("method", [2, 3], ids=["system download", "job download"])
def test_icon_through_the_fallback_methods_over_https(fresh, machine, method):
    main, other = fresh
    name, url = serve_icon(main, other, *[h.sim.html_error(404, "Not Found")] * (method - 1))
    machine.run(timeout=120)

    dest = icon_dest(machine, name)
    expected = ["MSG : Downloading Using API from URL : " + url]
    if method == 3:
        expected += ["ERR : Failed to download to " + dest, "MSG : Downloading using JobDownload component",
                     "MSG : Downloading : %s to %s" % (url, dest), "MSG : Successfully Downloaded : " + url]
    machine.assert_log_sequence(["MSG : Download Failed   "] + expected + ["MSG : Successfully downloaded to " + dest],
                                contiguous=True)
    assert machine.path("kXPR\\Herald\\Icon\\" + name).read_bytes() == ICON_BYTES
    assert [r["path"] for r in other.requests("files")] == ["/files/" + name] * method
    assert all(c["tls"] for c in settled_connections(other))


def encode(text: str) -> str:
    """The agent's encoding of proxy credentials: character codes joined by "H"."""
    return "H".join(str(ord(c)) for c in text)


@pytest.mark.parametrize("credentials", [None, ("agent", "s3cr&t")], ids=["open proxy", "proxy asking credentials"])
def test_icon_through_the_agents_connect_proxy(fresh, machine, credentials):
    main, other = fresh
    with ConnectProxy(*(credentials or ())) as proxy:
        ini = "[ProxySettings]\r\nProxyIP=127.0.0.1\r\nProxyPort=%d\r\n" % proxy.port
        if credentials:
            ini += "ProxyUsername=%s\r\nProxyPassword=%s\r\n" % (encode(credentials[0]), encode(credentials[1]))
        machine.write_text("VORNMobile.ini", ini)
        name, url = serve_icon(main, other)
        machine.run(timeout=120)
        asked = list(proxy.requests)

    dest = icon_dest(machine, name)
    user = credentials[0] if credentials else ""
    lines = ["MSG : Downloading using xmlhttp : %s to %s" % (url, dest),
             "MSG : Reading ProxySettings from " + machine.win("VORNMobile.ini"),
             "MSG : ProxyIP=127.0.0.1", "MSG : ProxyPort=%d" % proxy.port, "MSG : ProxyUserName=" + user]
    target = "localhost:%d" % other.port
    gets = other.requests("files")
    if credentials is None:
        machine.assert_log_sequence(lines + ["MSG : Downloaded Successsfully", "MSG : Successfully downloaded to " + dest],
                                    contiguous=True)
        assert [(r["method"], r["target"], r["status"]) for r in asked] == [("CONNECT", target, 200)]
        # Inside the tunnel Wine's WinHTTP names the whole URL where Windows sends the path alone.
        assert [urllib.parse.urlsplit(r["path"]).path for r in gets] == ["/files/" + name]
    else:
        # Wine's behaviour, not Windows': its WinHTTP takes no notice of the proxy's 407 to the
        # CONNECT and starts its TLS handshake on the proxy's connection, so the download through
        # the proxy fails and the system download (which does not use the agent's proxy) fetches
        # the icon. Windows hands the 407 back, and the program answers it with the agent's
        # credentials (the unit tests check that answer against a plain HTTP proxy).
        machine.assert_log_sequence(lines + [WINE_XMLHTTP_REFUSAL, "MSG : Downloading Using API from URL : " + url,
                                             "MSG : Successfully downloaded to " + dest], contiguous=True)
        assert [(r["method"], r["target"], r["authorization"], r["status"]) for r in asked[:1]] == [
            ("CONNECT", target, None, 407)]
        assert [r.get("not_http") for r in asked[1:]] == ["16"], asked  # a TLS record, not a request
        assert [r["path"] for r in gets] == ["/files/" + name]
        # The password is never logged, and never reaches the server.
        assert not [m for m in machine.log_messages() if credentials[1] in m]
        secret = base64.b64encode(("%s:%s" % credentials).encode()).decode()
        assert not [r for r in other.requests() + main.requests() if secret in str(r["headers"])]
    assert machine.path("kXPR\\Herald\\Icon\\" + name).read_bytes() == ICON_BYTES


# ----------------------------------------------------------------------------------------------
# Certificates the system must refuse
# ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("certificate", REFUSED)
def test_refused_certificate_fails_the_post_and_touches_nothing(passes, fresh, machine, certificate):
    main, _ = fresh
    for rel, data in passes[0][2].items():
        machine.write_bytes(rel, data)
    main.set_certificate(certificate)
    machine.run(timeout=120)

    url = page_url(main.base_url(), TEMPLATE)
    machine.assert_log_sequence(["MSG : Webpost url : " + url, "MSG : WebPost Return Status: ",
                                 "ERR : WebPost Failed : %s - %s" % (WINE_SECURE_FAILURE, url),
                                 "MSG : UsersPath : " + h.USERS_WIN], contiguous=True)
    machine.assert_end_of_run()
    assert main.requests() == []
    # The three tries each reached the server and were refused there, before any request.
    # (Wine completes the handshake first; Windows ends it with an alert.)
    assert [(c["certificate"], c["requests"]) for c in settled_connections(main)] == [(certificate, 0)] * 3
    assert held_state(machine) == passes[0][2]
    assert files_under(machine.path(r"kXPR\Herald")) == ["kDHMenu.dat", "kDHMenu.xml"]
    assert post_log_files(machine) == []


@pytest.mark.parametrize("certificate", REFUSED)
def test_refused_certificate_fails_every_download_method(fresh, machine, certificate):
    main, other = fresh
    other.set_certificate(certificate)
    name, url = serve_icon(main, other)
    machine.run(timeout=120)

    dest = icon_dest(machine, name)
    # Methods 1 and 3 both go through Wine's WinHTTP: 12157 and no reason (Wine's behaviour; on
    # Windows both lines end with the reason in brackets). Method 2 names what Wine's internet
    # library reported.
    machine.assert_log_sequence([
        "MSG : Downloading using xmlhttp : %s to %s" % (url, dest),
        "MSG : File not found : " + machine.win("VORNMobile.ini"),
        WINE_XMLHTTP_REFUSAL,
        "MSG : Downloading Using API from URL : " + url,
        "ERR : Failed to download to %s (%s)" % (dest, SYSTEM_DOWNLOAD_REASON[certificate]),
        "MSG : Downloading using JobDownload component",
        "MSG : Downloading : %s to %s" % (url, dest),
        "ERR : Failed to download : %s. ErrDesc : 12157 A secure channel error occurred %s" % (url, url),
        "MSG : EXECUTE XPR SCRIPT not found in template"], contiguous=True)
    assert other.requests() == []
    conns = settled_connections(other)
    assert len(conns) >= 3 and all(c["certificate"] == certificate and c["requests"] == 0 for c in conns), conns
    # A failed icon is not part of the outcome: the template is installed and success reported.
    assert not machine.exists("kXPR\\Herald\\Icon\\" + name)
    assert_sealed(machine.path(MENU_REL))
    assert [r["page"] for r in main.requests()] == [TEMPLATE, SUCCESS]
