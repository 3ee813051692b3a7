"""A control plane started as a child process in a temporary directory, plus the
curl and openssl helpers the end-to-end tests talk to it with."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ENTRY = os.path.join(os.path.dirname(HERE), "controlplane.py")


def run(args, **kw):
    return subprocess.run(args, capture_output=True, check=False, **kw)


def openssl(*args, input=None):
    result = run(["openssl", *args], input=input)
    if result.returncode != 0:
        raise AssertionError(f"openssl {args[0]} failed: {result.stderr.decode()}")
    return result.stdout


def device_key(directory, name="dev", curve="prime256v1"):
    """Writes NAME.key and NAME.pub (PEM) for a fresh EC key; returns the pub text."""
    key = os.path.join(directory, name + ".key")
    openssl("ecparam", "-name", curve, "-genkey", "-noout", "-out", key)
    return openssl("ec", "-in", key, "-pubout").decode()


def make_csr(directory, common_name, name="dev"):
    return openssl("req", "-new", "-key", os.path.join(directory, name + ".key"),
                   "-subj", "/CN=" + common_name).decode()


class Gateway:
    """gateway.py on a server's directory, on `port` (0: picked free) and a free operator
    port; agent_url, operator."""

    def __init__(self, server, port=0):
        info = os.path.join(server.dir, "gateway.json")
        if os.path.exists(info):  # a killed gateway's
            os.remove(info)
        self.log = open(os.path.join(server.tmp, "gateway.log"), "ab")
        self.proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(HERE), "gateway.py"),
                                      server.dir, "--port", str(port)], stdout=subprocess.DEVNULL, stderr=self.log)
        while not os.path.exists(info):
            if self.proc.poll() is not None:
                raise AssertionError(f"gateway exited (is port {port} taken?)")
            time.sleep(0.05)
        with open(info) as f:
            ports = json.load(f)
        self.agent_url = f"wss://127.0.0.1:{ports['port']}/v1/agent/conn"
        self.operator = f"http://127.0.0.1:{ports['operator_port']}"

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.log.close()


class Server:
    """`init` + `serve --port 0 --admin-port 0`; stop() sends SIGTERM and waits."""

    def __init__(self, directory=None):
        self.tmp = tempfile.mkdtemp(prefix="cp-test-")
        self.dir = directory or os.path.join(self.tmp, "cp")
        if directory is None:
            result = run([sys.executable, ENTRY, "init", self.dir])
            assert result.returncode == 0, result.stderr
        self.start()

    def start(self):
        self.log = open(os.path.join(self.tmp, "server.log"), "ab")
        self.proc = subprocess.Popen([sys.executable, ENTRY, "serve", self.dir,
                                      "--port", "0", "--admin-port", "0"],
                                     stdout=self.log, stderr=self.log)
        ports_file = os.path.join(self.dir, "ports.json")
        # No deadline: a server that dies is noticed through poll(), and one that
        # hangs is for the test runner to report.
        while not os.path.exists(ports_file):
            if self.proc.poll() is not None:
                raise AssertionError("control plane exited: " + self.server_log())
            time.sleep(0.05)
        with open(ports_file) as f:
            ports = json.load(f)
        self.port, self.admin_port = ports["port"], ports["admin_port"]
        self.base = f"https://127.0.0.1:{self.port}"
        self.admin_base = f"http://127.0.0.1:{self.admin_port}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()
        self.log.close()

    def close(self):
        self.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def server_log(self):
        with open(os.path.join(self.tmp, "server.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def file(self, name):
        return os.path.join(self.dir, name)

    def provisioning(self):
        with open(self.file("provisioning.json")) as f:
            return json.load(f)

    def curl(self, path, method="GET", data=None, bearer=None, headers=(), extra=()):
        """(status, body bytes) of an HTTPS call checked against the pinned CA."""
        args = ["curl", "-sS", "--cacert", self.file("ca.pem"), "-o", "-",
                "-w", "\n%{http_code}", "-X", method, *extra]
        if bearer is not None:
            args += ["-H", "Authorization: Bearer " + bearer]
        for h in headers:
            args += ["-H", h]
        if data is not None:
            args += ["-H", "Content-Type: application/json", "--data-binary", "@-"]
        result = run(args + [self.base + path],
                     input=data.encode() if isinstance(data, str) else data)
        body, _, status = result.stdout.rpartition(b"\n")
        return int(status), body

    def admin(self, path, body=None, method=None):
        """(status, parsed JSON or text) of an admin call."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.admin_base + path, data=data,
                                         method=method or ("POST" if data else "GET"),
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request) as response:
                status, raw = response.status, response.read()
        except urllib.error.HTTPError as e:
            status, raw = e.code, e.read()
        try:
            return status, json.loads(raw) if raw else None
        except ValueError:
            return status, raw.decode()

    def enroll(self, hostname="mac-01", token=None):
        """Enrols a fresh openssl-made device key; returns the reply."""
        key_dir = tempfile.mkdtemp(dir=self.tmp)
        pub = device_key(key_dir)
        body = {"token": token or self.admin("/admin/tokens", {})[1]["token"],
                "hostname": hostname, "os": "linux", "os_version": "12", "arch": "amd64",
                "agent_version": "0.1.0", "public_key": pub,
                "csr": make_csr(key_dir, hostname),
                "capabilities": {"shell": True, "backup": False, "desktop": True}}
        status, reply = self.curl("/api/agent/enroll", "POST", json.dumps(body))
        assert status == 201, reply
        reply = json.loads(reply)
        reply["key_file"] = os.path.join(key_dir, "dev.key")
        return reply
