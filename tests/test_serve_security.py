"""`qorvel-plugin serve` against other sites: rebound host names, the token, cross-site reads,
malformed requests, random requests and many connections at once."""

import json
import os
import shutil
import socket
import threading
import time

import pytest
from hypothesis import strategies as st

from fuzzing import TEXTS, fuzz, json_values, pick
from serve_support import PROBE, Served

ENDPOINT = "/plugins/pages/serve_probe.tools"


@pytest.fixture
def serve(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "xdg-state"))
    running = []

    def start(**options):
        folder = tmp_path / f"probe{len(running)}"
        shutil.copytree(PROBE, folder)
        running.append(Served(folder, tmp_path, **options))
        return running[-1]
    yield start
    for one in running:
        one.close()


def _ipv6():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def _login(served):
    """The cookie that the printed address's visit sets."""
    token = served.app.guard.token
    response, _ = served.request("GET", f"/?token={token}")
    assert (response.status, response.getheader("Location")) == (303, "/")
    cookie = response.getheader("Set-Cookie")
    assert cookie == f"qorvel-serve-{served.port}={token}; HttpOnly; SameSite=Strict; Path=/"
    return {"Cookie": cookie.split(";")[0]}


@pytest.mark.parametrize("host", ["127.0.0.1", "0.0.0.0", pytest.param("::", marks=pytest.mark.skipif(
    not _ipv6(), reason="no IPv6 loopback"))])
def test_a_rebound_host_name_cannot_drive_the_server_in_any_bind_mode(serve, host):
    served = serve(host=host)
    own = {} if host == "127.0.0.1" else _login(served)
    request = {"block": "serve_probe.mvs"}
    rebound = {**own, "Host": f"evil.example:{served.port}", "Origin": f"http://evil.example:{served.port}"}
    assert served.json("POST", "/api/run", request, rebound) == (403, {"error": f"unexpected Host 'evil.example:"
                                                                                f"{served.port}'"})
    assert served.json("GET", "/api/plugin", headers=rebound)[0] == 403
    assert not served.app.session.events.snapshot()
    assert served.json("POST", "/api/check", request, own)[0] == 200


def test_off_loopback_every_request_needs_the_token_which_the_printed_address_turns_into_a_cookie(serve):
    served = serve(host="0.0.0.0", allow_hosts=["Lab.Example"])
    token = served.app.guard.token
    assert served.app.guard.url() == f"http://{socket.gethostname()}:{served.port}/?token={token}" and len(token) > 30
    for path in ("/", "/api/plugin", f"{ENDPOINT}/echo", "/files/plugin/peptide.pdb", f"/?token={token}x"):
        status, answer = served.json("GET", path)
        assert status == 403 and "needs its token" in answer["error"], path
    own = _login(served)
    for headers in (own, {"Authorization": f"token {token}"}, {**own, "Host": f"lab.example:{served.port}"},
                    {**own, "Host": f"localhost:{served.port}"}):
        assert served.json("GET", "/api/plugin", headers=headers)[0] == 200, headers
    assert served.json("GET", "/api/plugin", headers={"Cookie": f"qorvel-serve-{served.port}=guess"})[0] == 403
    loopback = serve(token=True)
    assert loopback.json("GET", "/api/plugin")[0] == 403 and serve().json("GET", "/api/plugin")[0] == 200
    assert loopback.json("GET", "/api/plugin", headers=_login(loopback))[0] == 200


def test_other_sites_cannot_call_endpoints_and_files_of_runs_cannot_script_the_page(serve):
    served = serve()
    folder = served.app.loaded.plugin._path
    for method in ("GET", "HEAD"):
        for site in ("cross-site", "same-site"):
            response, _ = served.request(method, f"{ENDPOINT}/fail", headers={"Sec-Fetch-Site": site})
            assert response.status == 403, (method, site)
    assert served.request("GET", "/", headers={"Sec-Fetch-Site": "cross-site"})[0].status == 200  # a link to it
    assert not served.logged  # the endpoint never ran
    foreign = {"Referer": "http://evil.example/page"}
    assert served.json("POST", f"{ENDPOINT}/echo", {"a": 1}, foreign) == (403, {"error": "cross-origin request refused"})
    own = {"Referer": f"http://127.0.0.1:{served.port}/", "Sec-Fetch-Site": "same-origin"}
    assert served.json("POST", f"{ENDPOINT}/echo", {"a": 1}, own)[0] == 200
    with open(os.path.join(folder, "report.html"), "w") as page:
        page.write("<script>fetch('/api/run', {method: 'POST'})</script>")
    response, _ = served.request("GET", "/files/plugin/report.html")
    assert response.status == 200 and response.getheader("Content-Security-Policy") == "sandbox"
    os.mkfifo(os.path.join(folder, "Pages", "pipe.html"))
    status, answer = served.json("GET", f"{ENDPOINT}/pipe.html")
    assert status == 403 and "it is a FIFO" in answer["error"]


DEEP = "[" * 10**5 + "]" * 10**5


@pytest.mark.parametrize("path, body, message", [
    ("/api/check", DEEP, "nested deeper than 100 levels"),
    ("/api/run", '{"block": "serve_probe.mvs", "variables": {"x": ' + "[" * 500 + "]" * 500 + "}}",
     "nested deeper than 100 levels"),
    (f"{ENDPOINT}/echo", DEEP, "nested deeper than 100 levels"),
    ("/api/check", {"block": "serve_probe.mvs", "inputGroup": {"a": 1}}, '"inputGroup" must be a string, got an object'),
    ("/api/run", {"block": "serve_probe.mvs", "inputGroup": []}, '"inputGroup" must be a string, got a list'),
    ("/api/check", {"block": ["serve_probe.mvs"]}, '"block" must be a string, got a list'),
    ("/api/run", {"block": "serve_probe.mvs", "inputs": [1]}, '"inputs" must be an object, got a list'),
    ("/api/run", {"flow": {"name": 1}}, '"flow" must be a string, got an object'),
    ("/api/run", {"flow": "x", "values": {"b": {"inputGroup": [1]}}}, 'values of block b: "inputGroup" must be'),
    ("/api/run", {"flow": "x", "values": {"b": 1}}, "values of block b must be an object, got a number"),
])
def test_malformed_requests_are_answered_400_with_the_reason(serve, path, body, message):
    served = serve()
    status, answer = served.json("POST", path, body)
    assert status == 400 and message in answer["error"], answer
    assert served.json("POST", "/api/check", b"{}", {"Content-Length": "many"}) == (
        400, {"error": "Content-Length is not a number"})


HEADER_TEXTS = [t for t in TEXTS if all(32 <= ord(c) < 256 for c in t)]
HEADERS = st.dictionaries(pick("Origin", "Referer", "Sec-Fetch-Site", "Cookie", "Authorization", "Content-Type",
                               "Last-Event-ID", "Host"), st.sampled_from(HEADER_TEXTS + ["cross-site", "same-origin"]),
                          max_size=2)
HEADERS = st.just({}) | st.just({"Sec-Fetch-Site": "same-origin"}) | HEADERS  # most requests get past the checks
BLOCK_REQUEST = st.fixed_dictionaries({}, optional={
    "block": pick("serve_probe.mvs", "serve_probe.scene", "missing") | json_values, "variables": json_values,
    "inputs": json_values, "inputGroup": json_values, "flow": json_values, "values": json_values})


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    folder = tmp_path_factory.mktemp("random") / "probe"
    shutil.copytree(PROBE, folder)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_STATE_HOME", str(folder.parent / "xdg-state"))
        served = Served(folder, folder.parent)
        yield served
        served.close()


@fuzz(pick("POST", "POST", "GET", "PUT", "HEAD"), pick("/api/check", "/api/run", f"{ENDPOINT}/echo", "/api/plugin",
                                                 f"{ENDPOINT}/made", "/files/plugin/peptide.pdb"),
      BLOCK_REQUEST | json_values, HEADERS)
def test_random_requests_are_answered_without_a_fault_of_the_host(shared, method, path, body, headers):
    payload = json.dumps(body).encode()
    response, data = shared.request(method, path, payload if method != "GET" else None, headers)
    assert response.status < 500, (response.status, data)
    shared.app.session.wait(30)


def test_three_hundred_connections_at_once_are_answered_quickly_with_threads_kept_bounded(serve):
    served = serve()
    before = threading.active_count()
    started = time.monotonic()
    sockets = [socket.create_connection(("127.0.0.1", served.port), timeout=30) for _ in range(300)]
    time.sleep(0.5)
    assert threading.active_count() <= before + served.server.MAX_THREADS
    request = f"GET /api/run HTTP/1.1\r\nHost: 127.0.0.1:{served.port}\r\nConnection: close\r\n\r\n".encode()
    for connection in sockets:
        connection.sendall(request)
    for connection in sockets:
        assert connection.recv(12) == b"HTTP/1.1 200"
        connection.close()
    assert time.monotonic() - started < 10


def test_a_stop_signal_while_a_request_thread_starts_stops_the_server_and_keeps_its_slot_count(monkeypatch):
    import socketserver
    from QorvelAPI.devhost.serve.server import Server

    start = threading.Thread.start

    def start_then_signal(thread):
        start(thread)
        thread.join()
        raise KeyboardInterrupt  # the stop signal lands while start() waits for the thread
    monkeypatch.setattr(threading.Thread, "start", start_then_signal)
    server = Server(("127.0.0.1", 0), socketserver.BaseRequestHandler)
    request, peer = socket.socketpair()
    try:
        with pytest.raises(KeyboardInterrupt):
            server.process_request(request, ("127.0.0.1", 1))
        slots = [server._free.acquire(blocking=False) for _ in range(server.MAX_THREADS + 1)]
        assert slots == [True] * server.MAX_THREADS + [False]
    finally:
        server.server_close()
        peer.close()
