"""The management-server simulator on its own, and the test kit's CONNECT proxy: real sockets on
127.0.0.1, no Wine."""

from __future__ import annotations

import base64
import http.client
import json
import os
import socket
import ssl
import threading
import time

import pytest

from kdht_testkit.harness import sim as simmod
from kdht_testkit.proxy import ConnectProxy

PAGE = "wpdcmgetdeskheraldtemplate"
QUERY = "mmid=5678&sid=42&rid=1234&rty=RORI"


def post(sim, page=PAGE, body="<x/>", base="/dh/", query=QUERY, timeout=10.0):
    """One POST on a fresh connection; returns (status, headers dict, body bytes)."""
    conn = http.client.HTTPConnection("127.0.0.1", sim.port, timeout=timeout)
    try:
        conn.request("POST", "%stfr_%s.asp?%s" % (base, page, query), body=body.encode("utf-8"),
                     headers={"Content-Type": "text/xml"})
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def _get_on(conn, path):
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def get(sim, path, timeout=10.0):
    return _get_on(http.client.HTTPConnection("127.0.0.1", sim.port, timeout=timeout), path)


@pytest.fixture
def sim(tmp_path):
    s = simmod.Simulator(record=tmp_path / "requests.jsonl").start()
    yield s
    s.stop()


class TestScriptedReplies:
    def test_queue_answers_in_order_then_falls_back_to_default(self, sim):
        sim.queue(PAGE, "first", simmod.reply(b"second\x00\xff", content_type="application/x-test"))
        assert post(sim)[2] == b"first"
        status, headers, body = post(sim)
        assert (status, headers["content-type"], body) == (200, "application/x-test", b"second\x00\xff")
        assert headers["content-length"] == "8"
        assert post(sim)[2].decode() == simmod.NO_NEW_TEMPLATE
        assert sim.pending() == {}

    def test_queues_are_per_page_and_the_base_path_is_free(self, sim):
        sim.queue("wpdcmscriptdetails", "scripts")
        assert post(sim, base="/some/other/base/")[2].decode() == simmod.NO_NEW_TEMPLATE
        assert post(sim, page="wpdcmscriptdetails", base="/")[2] == b"scripts"

    def test_standing_reply_repeats_until_cleared_and_queue_takes_precedence(self, sim):
        sim.set_reply(PAGE, "standing")
        sim.queue(PAGE, "queued")
        assert [post(sim)[2] for _ in range(3)] == [b"queued", b"standing", b"standing"]
        sim.set_reply(PAGE, None)
        assert post(sim)[2].decode() == simmod.NO_NEW_TEMPLATE

    def test_reset_forgets_scripts_files_and_records(self, sim):
        sim.queue(PAGE, "queued")
        sim.add_file("a.ico", b"icon")
        post(sim, page="wpdcmregidtmplveriu")
        sim.reset()
        assert sim.requests() == []
        assert post(sim)[2].decode() == simmod.NO_NEW_TEMPLATE
        assert get(sim, "/files/a.ico")[0] == 404

    @pytest.mark.parametrize("page", simmod.REPORT_PAGES)
    def test_reports_answer_one_by_default(self, sim, page):
        status, _, body = post(sim, page=page)
        assert (status, body) == (200, b"1")

    def test_default_script_and_template_details_follow_the_posted_ids(self, sim):
        body = post(sim, page="wpdcmscriptdetails",
                    body="<wpdcmscriptdetails><memberid>5</memberid><scriptid>101,102</scriptid></wpdcmscriptdetails>")[2]
        text = body.decode()
        assert text.startswith("<dcmscriptdetails>") and text.count("</dcmxprscrdet>") == 2
        assert "<scriptid>101</scriptid>" in text and "<scriptid>102</scriptid>" in text
        body = post(sim, page="wpdcmtemplatedetails",
                    body="<wpdcmtemplatedetails><memberid>5</memberid><batchid>12</batchid></wpdcmtemplatedetails>")[2]
        assert body.decode() == ("<dcmtemplatedetails><scriptid><![CDATA[1201#@#Template 12 script 1,"
                                 "1202#@#Template 12 script 2]]></scriptid></dcmtemplatedetails>")

    def test_invalid_replies_are_refused(self, sim):
        with pytest.raises(ValueError):
            sim.queue(PAGE, {"kind": "explode"})
        with pytest.raises(ValueError):
            sim.queue(PAGE, simmod.stall(simmod.MAX_STALL_SECONDS + 1))
        with pytest.raises(ValueError):
            sim.queue(PAGE, simmod.stall(1, then=simmod.stall(1)))
        assert sim.pending() == {}


class TestStatusCodes:
    @pytest.mark.parametrize("status", [200, 302, 404, 500, 503])
    def test_scripted_status_is_sent(self, sim, status):
        sim.queue(PAGE, simmod.reply("<err/>", status=status))
        assert post(sim)[0] == status

    def test_html_error_page(self, sim):
        sim.queue(PAGE, simmod.html_error(500))
        status, headers, body = post(sim)
        assert status == 500 and headers["content-type"] == "text/html" and b"<html>" in body

    def test_unknown_paths_get_404_and_are_recorded(self, sim):
        assert get(sim, "/nothing/here")[0] == 404
        assert post(sim, base="/x/", page="wpnosuchpage")[0] == 404
        recs = sim.requests()
        assert [(r["page"], r["method"]) for r in recs] == [(None, "GET"), ("wpnosuchpage", "POST")]


class TestConnectionFaults:
    def test_close_without_answer(self, sim):
        sim.queue(PAGE, simmod.close())
        with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
            post(sim)
        assert post(sim)[0] == 200  # the next request is served normally

    def test_abortive_close(self, sim):
        sim.queue(PAGE, simmod.close(reset=True))
        with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
            post(sim)

    def test_cut_mid_body_sends_a_short_body_then_closes(self, sim):
        sim.queue(PAGE, simmod.cut("<dcmgetdeskheraldtemplate>", declared=5000))
        conn = http.client.HTTPConnection("127.0.0.1", sim.port, timeout=10)
        conn.request("POST", "/dh/tfr_%s.asp?%s" % (PAGE, QUERY), body=b"<x/>")
        resp = conn.getresponse()
        assert resp.getheader("Content-Length") == "5000"
        with pytest.raises(http.client.IncompleteRead) as e:
            resp.read()
        assert e.value.partial == b"<dcmgetdeskheraldtemplate>"
        conn.close()

    def test_stall_then_answer_waits_the_given_time(self, sim):
        sim.queue(PAGE, simmod.stall(0.6, then=simmod.reply("late")))
        t0 = time.monotonic()
        assert post(sim)[2] == b"late"
        assert 0.55 <= time.monotonic() - t0 < 5

    def test_stall_without_answer_closes_after_the_stall(self, sim):
        sim.queue(PAGE, simmod.stall(0.5))
        t0 = time.monotonic()
        with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
            post(sim)
        assert 0.45 <= time.monotonic() - t0 < 5

    def test_stop_releases_a_stalled_connection(self, tmp_path):
        s = simmod.Simulator().start()
        s.queue(PAGE, simmod.stall(simmod.MAX_STALL_SECONDS, then=simmod.reply("never")))
        errors = []

        def client():
            try:
                post(s, timeout=30)
            except (http.client.HTTPException, OSError) as e:
                errors.append(e)

        t = threading.Thread(target=client)
        t.start()
        s.wait_for(PAGE, 1, timeout=5)
        t0 = time.monotonic()
        s.stop()
        t.join(10)
        assert not t.is_alive() and len(errors) == 1
        assert time.monotonic() - t0 < 5

    def test_stalled_request_does_not_block_others(self, sim):
        sim.queue(PAGE, simmod.stall(3, then=simmod.reply("slow")))
        out = {}
        t = threading.Thread(target=lambda: out.update(slow=post(sim)[2]))
        t.start()
        sim.wait_for(PAGE, 1, timeout=5)
        t0 = time.monotonic()
        assert post(sim, page="wpdcmregidtmplveriu")[2] == b"1"
        assert time.monotonic() - t0 < 1.5
        t.join(10)
        assert out == {"slow": b"slow"}

    def test_huge_body_is_streamed_with_its_exact_length(self, sim):
        sim.queue(PAGE, simmod.huge(3, prefix="<a>", suffix="</a>"))
        status, headers, body = post(sim, timeout=30)
        assert status == 200 and int(headers["content-length"]) == 3 * 1024 * 1024 == len(body)
        assert body.startswith(b"<a><filler>") and body.endswith(b"</a>")

    def test_client_that_leaves_during_a_huge_body_does_not_hurt_the_server(self, sim):
        sim.queue(PAGE, simmod.huge(50))
        s = socket.create_connection(("127.0.0.1", sim.port), timeout=5)
        s.sendall(b"POST /dh/tfr_%s.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n" % PAGE.encode())
        assert s.recv(100).startswith(b"HTTP/1.1 200")
        s.close()
        assert post(sim)[2].decode() == simmod.NO_NEW_TEMPLATE

    def test_keep_alive_serves_several_requests_on_one_connection(self, sim):
        sim.queue(PAGE, "one", "two")
        conn = http.client.HTTPConnection("127.0.0.1", sim.port, timeout=10)
        got = []
        for _ in range(2):
            conn.request("POST", "/dh/tfr_%s.asp" % PAGE, body=b"<x/>")
            got.append(conn.getresponse().read())
        conn.close()
        assert got == [b"one", b"two"]
        assert len({r["client"] for r in sim.requests()}) == 1


class TestRecording:
    def test_record_fields(self, sim, tmp_path):
        body = "<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid><tmplatid>0</tmplatid>" \
               "<tmplatver>0</tmplatver></wpdcmgetdeskheraldtemplate>"
        before = time.time()
        post(sim, body=body, base="/dh/")
        (rec,) = sim.requests()
        assert rec["page"] == PAGE and rec["method"] == "POST" and rec["base"] == "/dh/"
        assert rec["path"] == "/dh/tfr_%s.asp?%s" % (PAGE, QUERY)
        assert rec["query"] == {"mmid": "5678", "sid": "42", "rid": "1234", "rty": "RORI"}
        assert rec["query_raw"] == QUERY and rec["body"] == body
        assert before - 1 <= rec["time"] <= time.time() + 1
        assert simmod.read_records(tmp_path / "requests.jsonl") == [rec]

    def test_record_is_written_before_the_answer(self, sim, tmp_path):
        sim.queue(PAGE, simmod.stall(2, then=simmod.reply("x")))
        t = threading.Thread(target=lambda: post(sim))
        t.start()
        path = tmp_path / "requests.jsonl"
        deadline = time.monotonic() + 1.5
        while not simmod.read_records(path) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert [r["page"] for r in simmod.read_records(path)] == [PAGE]
        assert t.is_alive()  # still stalled
        t.join(10)

    def test_non_utf8_body_is_kept_as_cp1252_text(self, sim):
        conn = http.client.HTTPConnection("127.0.0.1", sim.port, timeout=10)
        conn.request("POST", "/dh/tfr_%s.asp" % PAGE, body="<x>caf\xe9</x>".encode("cp1252"))
        conn.getresponse().read()
        conn.close()
        rec = sim.requests()[0]
        assert rec["body"] == "<x>caf\xe9</x>" and rec["body_encoding"] == "cp1252"

    def test_filter_by_page_and_since(self, sim):
        post(sim)
        post(sim, page="wpdcmregidtmplveriu")
        post(sim)
        recs = sim.requests(PAGE)
        assert [r["seq"] for r in recs] == [1, 3]
        assert [r["seq"] for r in sim.requests(since=2)] == [3]

    def test_wait_for_is_bounded(self, sim):
        t0 = time.monotonic()
        assert sim.wait_for(PAGE, 1, timeout=0.3) == []
        assert time.monotonic() - t0 < 2


class TestScenarioFolder:
    @pytest.fixture
    def scenario(self, tmp_path):
        d = tmp_path / "scn"
        (d / "wpdcmscriptdetails").mkdir(parents=True)
        (d / "wpdcmtemplatedetails").mkdir()
        (d / "files").mkdir()
        (d / (PAGE + ".xml")).write_bytes(b"<dcmgetdeskheraldtemplate><templateid>7</templateid></dcmgetdeskheraldtemplate>")
        (d / "wpdcmscriptdetails" / "101,102.xml").write_text("<keyed/>")
        (d / "wpdcmscriptdetails" / "default.xml").write_text("<fallback/>")
        (d / "wpdcmtemplatedetails" / "12.xml").write_text("<t12/>")
        (d / "files" / "menu.ico").write_bytes(b"\x00\x00\x01\x00icon")
        (d / "replies.json").write_text(json.dumps({"wpdcmregidtmplveriu": ["0", {"kind": "close"}]}))
        return d

    def test_scenario_replies(self, scenario, tmp_path):
        with simmod.Simulator(scenario=scenario) as s:
            assert post(s)[2].startswith(b"<dcmgetdeskheraldtemplate><templateid>7")
            assert post(s, page="wpdcmscriptdetails", body="<scriptid>101,102</scriptid>")[2] == b"<keyed/>"
            assert post(s, page="wpdcmscriptdetails", body="<scriptid>9</scriptid>")[2] == b"<fallback/>"
            assert post(s, page="wpdcmtemplatedetails", body="<batchid>12</batchid>")[2] == b"<t12/>"
            assert b"1301#@#" in post(s, page="wpdcmtemplatedetails", body="<batchid>13</batchid>")[2]
            # replies.json preloads the queue: "0", then a closed connection, then the default "1"
            assert post(s, page="wpdcmregidtmplveriu")[2] == b"0"
            with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
                post(s, page="wpdcmregidtmplveriu")
            assert post(s, page="wpdcmregidtmplveriu")[2] == b"1"

    def test_files_from_folder_and_registered_bytes(self, scenario):
        with simmod.Simulator(scenario=scenario) as s:
            s.add_file("extra.ico", b"registered")
            assert get(s, "/files/menu.ico") == (200, b"\x00\x00\x01\x00icon")
            assert get(s, "/files/extra.ico") == (200, b"registered")
            assert get(s, "/files/missing.ico")[0] == 404
            assert get(s, "/files/..%2Freplies.json")[0] == 404
            s.queue("files/menu.ico", simmod.close())
            with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
                get(s, "/files/menu.ico")
            assert [r.get("file") for r in s.requests("files")] == \
                ["menu.ico", "extra.ico", "missing.ico", "../replies.json", "menu.ico"]

    @pytest.mark.parametrize("held, answer", [
        ("<tmplatid>0</tmplatid><tmplatver>0</tmplatver>", "template"),
        ("<tmplatid>7</tmplatid><tmplatver>2</tmplatver>", "template"),      # older version held
        ("<tmplatid>8</tmplatid><tmplatver>3</tmplatver>", "template"),      # another template held
        ("<tmplatid>7</tmplatid><tmplatver>3</tmplatver>", "no new"),
        ("<tmplatid> 7</tmplatid><tmplatver>3 </tmplatver>", "no new"),
        ("<tmplatid>7</tmplatid>", "template"),                              # test-tool form: no version
    ])
    def test_template_page_tells_a_machine_holding_it_that_nothing_is_new(self, tmp_path, held, answer):
        d = tmp_path / "scn"
        d.mkdir()
        template = b"<dcmgetdeskheraldtemplate>\n<templateid>7</templateid><templatever>3</templatever>\n</dcmgetdeskheraldtemplate>"
        (d / (PAGE + ".xml")).write_bytes(template)
        body = "<wpdcmgetdeskheraldtemplate><mmid>5678</mmid><regid>1234</regid>%s</wpdcmgetdeskheraldtemplate>" % held
        with simmod.Simulator(scenario=d) as s:
            got = post(s, body=body)[2]
            # The rule belongs to the ordinary request only.
            assert post(s, page="wpdcmtesttoolgetdhtmpmemb", body=body)[2].decode() == simmod.NO_NEW_TEMPLATE
        assert got == (template if answer == "template" else simmod.NO_NEW_TEMPLATE.encode())

    def test_own_address_is_put_into_scenario_replies(self, tmp_path):
        d = tmp_path / "scn"
        (d / "wpdcmscriptdetails").mkdir(parents=True)
        (d / (PAGE + ".xml")).write_text("<x><icon>@SIM_URL@/files/a.ico</icon><b>@SIM_URL@</b></x>")
        (d / "wpdcmscriptdetails" / "default.xml").write_text("<s>@SIM_URL@</s>")
        (d / "files").mkdir()
        (d / "files" / "a.ico").write_bytes(b"@SIM_URL@")
        with simmod.Simulator(scenario=d) as s:
            url = "http://127.0.0.1:%d" % s.port
            assert post(s)[2].decode() == "<x><icon>%s/files/a.ico</icon><b>%s</b></x>" % (url, url)
            assert post(s, page="wpdcmscriptdetails", body="<scriptid>1</scriptid>")[2].decode() == "<s>%s</s>" % url
            assert get(s, "/files/a.ico") == (200, b"@SIM_URL@")  # files are served as they are
            s.queue(PAGE, "@SIM_URL@")
            assert post(s)[2] == b"@SIM_URL@"  # and so are scripted replies

    def test_missing_scenario_folder_is_an_error(self, tmp_path):
        with pytest.raises(ValueError):
            simmod.Simulator(scenario=tmp_path / "absent")


class TestSubprocess:
    def test_command_line_mode_with_client(self, tmp_path):
        record = tmp_path / "rec.jsonl"
        with simmod.SimProcess(record=record) as sp:
            assert sp.client.ping()
            sp.client.queue(PAGE, simmod.reply(b"\x01\x02", status=201), simmod.close())
            assert post(sp)[0::2] == (201, b"\x01\x02")
            with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError)):
                post(sp)
            recs = sp.client.wait_for(PAGE, 2, timeout=5)
            assert [r["seq"] for r in recs] == [1, 2]
            with pytest.raises(ValueError):
                sp.client._op("no-such-op")
            assert sp.client.base_url() == "http://127.0.0.1:%d/dh/" % sp.port
        assert [r["page"] for r in simmod.read_records(record)] == [PAGE, PAGE]
        assert sp.proc.returncode is not None

    def test_client_refuses_remote_hosts(self):
        with pytest.raises(ValueError):
            simmod.SimClient("http://10.0.0.1:80")


# ----------------------------------------------------------------------------------------------
# HTTPS and the CONNECT proxy
# ----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def tls_dir(tmp_path_factory):
    """One test root for the module: its keys take a second or two to make."""
    return tmp_path_factory.mktemp("tls")


def https_get(sim, path, cafile, host=simmod.TLS_HOST, tunnel=None):
    """GET over TLS checked against `cafile` (Python's own checks, as strict as Windows'), directly
    or through a CONNECT proxy: tunnel = (proxy port, headers)."""
    ctx = ssl.create_default_context(cafile=str(cafile))
    if tunnel is None:
        conn = http.client.HTTPSConnection(host, sim.port, context=ctx, timeout=10)
    else:
        conn = http.client.HTTPSConnection("127.0.0.1", tunnel[0], context=ctx, timeout=10)
        conn.set_tunnel(host, sim.port, headers=tunnel[1])
    return _get_on(conn, path)


class TestHttps:
    @pytest.mark.parametrize("certificate, refusal", [
        ("good", None),
        ("untrusted-root", "unable to get local issuer certificate"),
        ("other-name", "Hostname mismatch"),
        ("expired", "certificate has expired"),
        ("not-yet-valid", "certificate is not yet valid"),
    ])
    def test_each_certificate_is_wrong_in_its_own_way(self, tls_dir, certificate, refusal):
        with simmod.Simulator(https=True, tls_dir=tls_dir, certificate=certificate) as s:
            s.add_file("a.ico", b"ICON")
            assert s.url == "https://localhost:%d" % s.port
            if refusal is None:
                assert https_get(s, "/files/a.ico", s.pki.root_pem) == (200, b"ICON")
            else:
                with pytest.raises(ssl.SSLCertVerificationError, match=refusal):
                    https_get(s, "/files/a.ico", s.pki.root_pem)
            deadline = time.monotonic() + 5
            while any(c["open"] for c in s.connections()) and time.monotonic() < deadline:
                time.sleep(0.02)
            conns = s.connections()
            assert [(c["certificate"], c["requests"], c["open"]) for c in conns] == [
                (certificate, 1 if refusal is None else 0, False)], conns
            assert (conns[0]["tls"] is None) == (refusal is not None), conns
            assert len(s.requests()) == (0 if refusal else 1)

    def test_the_root_is_kept_and_the_certificates_made_again_when_stale(self, tls_dir):
        pki = simmod.TestPki(tls_dir).ensure()
        root, good = pki.root_pem.read_bytes(), pki.certificate("good").read_bytes()
        assert simmod.TestPki(tls_dir).ensure().certificate("good").read_bytes() == good
        stamp = tls_dir / "set" / "made"
        old = time.time() - simmod.CERT_SET_MAX_AGE - 60
        os.utime(stamp, (old, old))
        again = simmod.TestPki(tls_dir).ensure()
        assert again.root_pem.read_bytes() == root
        assert again.certificate("good").read_bytes() != good

    def test_own_address_and_control_over_https(self, tls_dir, tmp_path):
        d = tmp_path / "scn"
        d.mkdir()
        (d / (PAGE + ".xml")).write_text("<x><icon>@SIM_URL@/files/a.ico</icon></x>")
        with simmod.SimProcess(scenario=d, https=True, tls_dir=tls_dir) as sp:
            assert sp.url == "https://localhost:%d" % sp.port
            assert sp.client.ping()
            sp.client.set_certificate("expired")
            with pytest.raises(ssl.SSLCertVerificationError):
                https_get(sp, "/files/a.ico", simmod.TestPki(tls_dir).root_pem)
            # The control channel's own connections are not the client's.
            assert [c["certificate"] for c in sp.client.connections()] == ["expired"]
            sp.client.set_certificate("good")
            ctx = ssl.create_default_context(cafile=str(simmod.TestPki(tls_dir).root_pem))
            conn = http.client.HTTPSConnection("localhost", sp.port, context=ctx, timeout=10)
            conn.request("POST", "/dh/tfr_%s.asp?%s" % (PAGE, QUERY), body=b"<x/>")
            assert conn.getresponse().read().decode() == "<x><icon>%s/files/a.ico</icon></x>" % sp.url
            conn.close()
            with pytest.raises(ValueError):
                sp.client.set_certificate("no-such-certificate")


class TestConnectProxy:
    @pytest.mark.parametrize("given", ["none", "wrong", "right"])
    def test_tunnels_to_loopback_only_with_the_credentials_it_asks_for(self, tls_dir, given):
        with simmod.Simulator(https=True, tls_dir=tls_dir) as s, ConnectProxy("agent", "s3cr&t") as proxy:
            s.add_file("a.ico", b"ICON")
            headers = {}
            if given != "none":
                secret = "agent:" + ("s3cr&t" if given == "right" else "guess")
                headers["Proxy-Authorization"] = "Basic " + base64.b64encode(secret.encode()).decode()
            if given == "right":
                assert https_get(s, "/files/a.ico", s.pki.root_pem, tunnel=(proxy.port, headers)) == (200, b"ICON")
            else:
                with pytest.raises(OSError, match="407"):
                    https_get(s, "/files/a.ico", s.pki.root_pem, tunnel=(proxy.port, headers))
            assert [(r["method"], r["target"], r["status"]) for r in proxy.requests] == [
                ("CONNECT", "localhost:%d" % s.port, 200 if given == "right" else 407)]
            assert len(s.requests()) == (1 if given == "right" else 0)

    def test_other_targets_and_methods_are_refused(self):
        with ConnectProxy() as proxy:
            for request, status in (("CONNECT example.com:443", 403), ("GET http://127.0.0.1/", 405)):
                with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as c:
                    c.sendall(("%s HTTP/1.1\r\nHost: x\r\n\r\n" % request).encode())
                    assert c.recv(100).split(b"\r\n")[0] == b"HTTP/1.1 %d" % status + {
                        403: b" Forbidden", 405: b" Method Not Allowed"}[status]
            assert [r["status"] for r in proxy.requests] == [403, 405]
