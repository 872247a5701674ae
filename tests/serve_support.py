"""A `qorvel-plugin serve` server in this process, on a free port, for the HTTP and browser tests."""

import http.client
import json
import threading
from pathlib import Path

from QorvelAPI.devhost.runner import LocalRunner
from QorvelAPI.devhost.serve import build_app, stop
from QorvelAPI.devhost.serve.server import make_server

PROBE = Path(__file__).resolve().parent / "serve_plugin"


class Served:
    def __init__(self, folder, tmp_path, host="127.0.0.1", token=False, allow_hosts=()):
        self.app = build_app(str(folder), queue=LocalRunner(state_dir=str(tmp_path / "state")),
                             runs_dir=str(tmp_path / "runs"), config_path=str(tmp_path / "config.json"), poll=0.05)
        self.logged = []
        self.app.log = self.logged.append
        self.server = make_server(self.app, host, 0, token, allow_hosts)
        self.port = self.server.server_address[1]
        self.address = "::1" if ":" in host else "127.0.0.1"
        # A short poll interval: closing waits for the next poll, once per test.
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection(self.address, self.port, timeout=30)
        payload = json.dumps(body).encode() if isinstance(body, (dict, list)) else body
        connection.request(method, path, body=payload, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response, data

    def json(self, method, path, body=None, headers=None):
        response, data = self.request(method, path, body, headers)
        return response.status, json.loads(data) if data else None

    def close(self):
        stop(self.app, self.server)
        self.thread.join(10)
