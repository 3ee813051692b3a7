import base64
import gzip
import hashlib
import json
import os
import socket
import unittest

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from tests.fixture import Server, device_key, make_csr


def verify(pub_b64, signature_b64, message):
    key = Ed25519PublicKey.from_public_bytes(base64.b64decode(pub_b64))
    key.verify(base64.b64decode(signature_b64), message)


def listening_addresses(port):
    """Local addresses of every socket listening on `port`, from the kernel's tables."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                address, hex_port = fields[1].split(":")
                if fields[3] == "0A" and int(hex_port, 16) == port:
                    found.append(address)
    return found


class AgentAPI(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.provisioning = cls.server.provisioning()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_listens_on_loopback_only_and_provisions_its_address(self):
        self.assertEqual(self.provisioning["server"], self.server.base)
        for port in (self.server.port, self.server.admin_port):
            self.assertEqual(listening_addresses(port), ["0100007F"])

    def test_enrolment_token_is_single_use(self):
        token = self.server.admin("/admin/tokens", {})[1]["token"]
        for t in (token, self.provisioning["token"]):
            reply = self.server.enroll("host-a", t)
            with self.assertRaises(AssertionError) as ctx:
                self.server.enroll("host-a", t)
            self.assertIn("invalid or expired", str(ctx.exception))
        self.assertEqual(set(reply) - {"key_file"}, {"agent_id", "device_token", "certificate"})
        self.assertEqual(set(reply["certificate"]), {"serial", "fingerprint", "not_after", "pem"})
        agents = {a["agent_id"]: a for a in self.server.admin("/admin/agents")[1]}
        self.assertEqual(agents[reply["agent_id"]]["hostname"], "host-a")

    def test_issued_certificate_is_accepted_as_client_identity(self):
        reply = self.server.enroll("host-i")
        cert_file = os.path.join(self.server.tmp, "host-i.pem")
        with open(cert_file, "w") as f:
            f.write(reply["certificate"]["pem"])
        status, _ = self.server.curl("/api/agent/update/check?os=linux&arch=x&channel=x"
                                     "&current_version=9", extra=["--cert", cert_file,
                                                                  "--key", reply["key_file"]])
        self.assertEqual(status, 204)
        seen = [r["client_cert_fingerprint"] for r in self.server.admin("/admin/requests")[1]
                if r["path"] == "/api/agent/update/check"]
        self.assertIn(reply["certificate"]["fingerprint"], seen)

    def test_enrolment_refusals(self):
        key_dir = os.path.join(self.server.tmp, "refusals")
        os.makedirs(key_dir)
        pub = device_key(key_dir)
        token = self.server.admin("/admin/tokens", {})[1]["token"]
        base = {"token": token, "hostname": "mac-01", "public_key": pub,
                "csr": make_csr(key_dir, "mac-01")}
        other = device_key(key_dir, "other")
        cases = [
            ({**base, "token": "enr-unknown"}, 422),
            ({**base, "hostname": "mac-02"}, 400),
            ({**base, "public_key": other}, 400),
            ({k: v for k, v in base.items() if k != "csr"}, 400),
            ({**base, "hostname": 7}, 400),
        ]
        for body, status in cases:
            got, text = self.server.curl("/api/agent/enroll", "POST", json.dumps(body))
            self.assertEqual(got, status, text)
        # The refused attempts did not use the token up.
        got, _ = self.server.curl("/api/agent/enroll", "POST", json.dumps(base))
        self.assertEqual(got, 201)

    def test_bearer_is_required(self):
        reply = self.server.enroll("host-b")
        for path, method, data in (("/api/agent/commands", "GET", None),
                                   ("/api/agent/telemetry", "POST", "{}"),
                                   ("/api/agent/commands/result", "POST", "{}"),
                                   ("/api/agent/commands/x/result", "POST", "{}")):
            for bearer in (None, "", "wrong", reply["device_token"] + "x"):
                status, _ = self.server.curl(path, method, data, bearer=bearer)
                self.assertEqual(status, 401, (path, bearer))
        status, _ = self.server.curl("/api/agent/commands", headers=[
            "Authorization: Basic " + reply["device_token"]])
        self.assertEqual(status, 401)

    def test_commands_are_signed_for_their_agent(self):
        agent = self.server.enroll("host-c")
        other = self.server.enroll("host-d")
        token, agent_id = agent["device_token"], agent["agent_id"]
        self.assertEqual(self.server.curl("/api/agent/commands", bearer=token)[0], 204)
        ids = []
        for kind, payload in (("ping", None), ("run_script", '{"z":1.50,"a":"é\\u0001"}')):
            body = {"agent_id": agent_id, "type": kind}
            if payload:
                body["payload_json"] = payload
            status, queued = self.server.admin("/admin/commands", body)
            self.assertEqual(status, 201)
            ids.append(queued["id"])
        self.server.admin("/admin/commands", {"agent_id": other["agent_id"], "type": "ping"})

        status, raw = self.server.curl("/api/agent/commands", bearer=token)
        self.assertEqual(status, 200)
        commands = json.loads(raw)["commands"]
        self.assertEqual([c["id"] for c in commands], ids)
        self.assertEqual([c["sequence_no"] for c in commands], [1, 2])
        self.assertNotEqual(commands[0]["nonce"], commands[1]["nonce"])
        # The payload travels with its number text intact.
        self.assertIn(b'"payload":{"a":"\xc3\xa9\\u0001","z":1.50}', raw)
        second = commands[1]
        message = ('{"agent_id":"%s","issued_at":%d,"nonce":"%s","payload":{"a":"é\\u0001",'
                   '"z":1.50},"sequence_no":2,"type":"run_script"}'
                   % (agent_id, second["issued_at"], second["nonce"])).encode()
        verify(self.provisioning["commandPubkey"], second["signature"], message)
        first = commands[0]
        message = ('{"agent_id":"%s","issued_at":%d,"nonce":"%s","payload":{},'
                   '"sequence_no":1,"type":"ping"}'
                   % (agent_id, first["issued_at"], first["nonce"])).encode()
        verify(self.provisioning["commandPubkey"], first["signature"], message)
        # Delivered once; the other agent's command stayed with the other agent.
        self.assertEqual(self.server.curl("/api/agent/commands", bearer=token)[0], 204)
        other_cmds = json.loads(self.server.curl("/api/agent/commands",
                                                 bearer=other["device_token"])[1])["commands"]
        self.assertEqual([c["sequence_no"] for c in other_cmds], [1])

        report = '{"exit_code":0,"result":{"output":"pong","type":"ping"},"status":"done"}'
        self.assertEqual(self.server.curl(f"/api/agent/commands/{ids[0]}/result", "POST",
                                          report, bearer=token)[0], 204)
        self.assertEqual(self.server.curl("/api/agent/commands/result", "POST", report,
                                          bearer=token)[0], 204)
        results = self.server.admin("/admin/results?agent_id=" + agent_id)[1]
        self.assertEqual([r["command_id"] for r in results], [ids[0], None])
        self.assertEqual(results[0]["body"]["result"]["output"], "pong")
        states = {c["id"]: c["status"] for c in self.server.admin(
            "/admin/commands?agent_id=" + agent_id)[1]}
        self.assertEqual(states, {ids[0]: "done", ids[1]: "delivered"})

    def test_tampered_deliveries(self):
        agent = self.server.enroll("host-t")
        agent_id, token = agent["agent_id"], agent["device_token"]
        pub = self.provisioning["commandPubkey"]
        for tamper in ("signature", "replay_sequence", "replay_nonce", "wrong_agent", "stale"):
            self.server.admin("/admin/commands", {"agent_id": agent_id, "type": "ping",
                                                  "tamper": tamper})
        commands = json.loads(self.server.curl("/api/agent/commands", bearer=token)[1])["commands"]
        by = dict(zip(("signature", "replay_sequence", "replay_nonce", "wrong_agent", "stale"),
                      commands))

        def signed(c, for_agent=agent_id):
            return ('{"agent_id":"%s","issued_at":%d,"nonce":"%s","payload":{},'
                    '"sequence_no":%d,"type":"ping"}' % (for_agent, c["issued_at"], c["nonce"],
                                                         c["sequence_no"])).encode()

        with self.assertRaises(InvalidSignature):
            verify(pub, by["signature"]["signature"], signed(by["signature"]))
        self.assertEqual(by["replay_sequence"]["sequence_no"], by["signature"]["sequence_no"])
        self.assertEqual(by["replay_nonce"]["nonce"], by["replay_sequence"]["nonce"])
        self.assertGreater(by["replay_nonce"]["sequence_no"], by["replay_sequence"]["sequence_no"])
        with self.assertRaises(InvalidSignature):
            verify(pub, by["wrong_agent"]["signature"], signed(by["wrong_agent"]))
        verify(pub, by["wrong_agent"]["signature"], signed(by["wrong_agent"], "not-" + agent_id))
        self.assertLess(by["stale"]["issued_at"], by["wrong_agent"]["issued_at"] - 3000)
        verify(pub, by["stale"]["signature"], signed(by["stale"]))

    def test_telemetry_is_stored_per_agent(self):
        a, b = self.server.enroll("host-e"), self.server.enroll("host-f")
        body = '{"metrics":{"cpu_total":12.50},"recorded_at":"2026-12-04T16:03:08Z"}'
        self.assertEqual(self.server.curl("/api/agent/telemetry", "POST", body,
                                          bearer=a["device_token"])[0], 204)
        beats = self.server.admin("/admin/heartbeats?agent_id=" + a["agent_id"])[1]
        self.assertEqual(len(beats), 1)
        self.assertEqual(beats[0]["body"]["metrics"]["cpu_total"], 12.5)
        self.assertEqual(self.server.admin("/admin/heartbeats?agent_id=" + b["agent_id"])[1], [])

    def test_update_check_and_download(self):
        query = "/api/agent/update/check?os=linux&arch=amd64&channel=beta&current_version=0.1.0"
        self.assertEqual(self.server.curl(query)[0], 204)
        artifact = os.path.join(self.server.tmp, "artifact.bin")
        data = b"\x7fELF" + bytes(range(256)) * 4
        with open(artifact, "wb") as f:
            f.write(data)
        status, published = self.server.admin("/admin/updates", {
            "version": "0.2.0", "file": artifact, "channel": "beta", "arch": "amd64"})
        self.assertEqual(status, 201)
        status, raw = self.server.curl(query)
        self.assertEqual(status, 200)
        offer = json.loads(raw)
        self.assertTrue(offer["update_available"])
        manifest = offer["manifest"]
        self.assertEqual(manifest, published)
        self.assertEqual(manifest["sha256"], hashlib.sha256(data).hexdigest())
        self.assertEqual(manifest["size_bytes"], len(data))
        line = ("rmm-agent|beta|linux|amd64|0.2.0|sha256:%s|size:%d"
                % (hashlib.sha256(data).hexdigest(), len(data))).encode()
        verify(self.provisioning["updatePubkey"], manifest["signature"], line)
        self.assertEqual(manifest["public_key"], self.provisioning["updatePubkey"])
        self.assertTrue(manifest["download_url"].startswith(self.server.base + "/"))
        status, body = self.server.curl(manifest["download_url"][len(self.server.base):])
        self.assertEqual((status, body), (200, data))
        for current in ("0.2.0", "0.10.0"):
            self.assertEqual(self.server.curl(query.replace("0.1.0", current))[0], 204)
        self.assertEqual(self.server.curl(query.replace("amd64", "arm64"))[0], 204)
        self.assertEqual(self.server.curl("/api/agent/update/check?os=linux")[0], 400)

    def test_malformed_requests_get_short_4xx(self):
        agent = self.server.enroll("host-m")
        cases = [
            ("/api/agent/enroll", "POST", "not json", None),
            ("/api/agent/enroll", "POST", "[1,2]", None),
            ("/api/agent/enroll", "POST", '"\\ud800"', None),
            ("/api/agent/enroll", "POST", b"\xff\xfe{}", None),
            ("/api/agent/enroll", "POST", "[" * 5000 + "]" * 5000, None),
            ("/api/agent/telemetry", "POST", '{"a":', agent["device_token"]),
            ("/api/agent/commands/result", "POST", "", agent["device_token"]),
        ]
        for path, method, data, bearer in cases:
            status, body = self.server.curl(path, method, data, bearer=bearer)
            self.assertTrue(400 <= status < 500, (path, data[:20], status))
            self.assertLess(len(body), 200)
        self.assertEqual(self.server.curl("/nothing/here")[0], 404)
        self.assertEqual(self.server.curl("/api/agent/enroll", "GET")[0], 405)
        # Not even HTTP: the server answers 400 and keeps serving.
        with socket.create_connection(("127.0.0.1", self.server.admin_port)) as s:
            s.sendall(b"\x00\x01garbage\r\n\r\n")
            self.assertIn(b"400", s.recv(100))
        self.assertEqual(self.server.admin("/admin/health")[0], 200)
        self.assertIsNone(self.server.proc.poll())


class AdminAPI(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_scripted_faults(self):
        agent = self.server.enroll("host-f")
        path = "/api/agent/commands"
        self.server.admin("/admin/faults", {"path": path, "status": 503, "body": "busy",
                                            "count": 2})
        for _ in range(2):
            self.assertEqual(self.server.curl(path, bearer=agent["device_token"]),
                             (503, b"busy"))
        self.assertEqual(self.server.curl(path, bearer=agent["device_token"])[0], 204)

        # A raw body for one agent only, e.g. a command list built by hand.
        raw = '{"commands":[{"type":"ping","sequence_no":1}]}'
        other = self.server.enroll("host-g")
        self.server.admin("/admin/faults", {"path": path, "agent_id": agent["agent_id"],
                                            "body": raw})
        self.assertEqual(self.server.curl(path, bearer=other["device_token"])[0], 204)
        self.assertEqual(self.server.curl(path, bearer=agent["device_token"]),
                         (200, raw.encode()))

        # Bytes sent as given, with the declared encoding and nothing re-encoded.
        packed = gzip.compress(b"[]" * 1000)
        self.server.admin("/admin/faults", {"path": path, "content_encoding": "gzip",
                                            "body_base64": base64.b64encode(packed).decode()})
        self.assertEqual(self.server.curl(path, bearer=agent["device_token"]), (200, packed))
        self.server.admin("/admin/faults", {"path": path, "body": "ab", "repeat": 3000})
        self.assertEqual(self.server.curl(path, bearer=agent["device_token"]), (200, b"ab" * 3000))

        self.server.admin("/admin/faults", {"path": path, "drop": True})
        status, _ = self.server.curl(path, bearer=agent["device_token"])
        self.assertEqual(status, 0)  # no HTTP reply at all
        self.server.admin("/admin/faults", {"path": path, "delay": 0.2})
        self.assertEqual(self.server.curl(path, bearer=agent["device_token"])[0], 204)
        self.assertEqual(self.server.admin("/admin/faults")[1], [])

        # A patch rides on the genuine reply: nested objects merge, null removes a key.
        self.server.admin("/admin/faults", {"path": "/api/agent/enroll", "patch": {
            "device_token": None, "agent_id": "a\r\nb", "certificate": {"serial": "x"}}})
        patched = self.server.enroll("host-p")
        self.assertNotIn("device_token", patched)
        self.assertEqual(patched["agent_id"], "a\r\nb")
        self.assertEqual(patched["certificate"]["serial"], "x")
        self.assertIn("BEGIN CERTIFICATE", patched["certificate"]["pem"])
        self.assertEqual(self.server.admin("/admin/faults", {"path": "/x", "patch": []})[0], 400)

    def test_admin_refusals(self):
        cases = [
            ("/admin/commands", {"agent_id": "nobody", "type": "ping"}, 404),
            ("/admin/faults", {"path": "no-slash"}, 400),
            ("/admin/faults", {"path": "/x", "status": 99}, 400),
            ("/admin/faults", {"path": "/x", "delay": "soon"}, 400),
            ("/admin/faults", {"path": "/x", "body_base64": "!!"}, 400),
            ("/admin/updates", {"version": "1.0.0", "file": "/nonexistent"}, 400),
            ("/admin/updates", {"version": "1.0.0", "data_base64": "!!"}, 400),
        ]
        agent = self.server.enroll("host-r")
        cases += [("/admin/commands", {"agent_id": agent["agent_id"], "type": "ping",
                                       "payload_json": "{"}, 400),
                  ("/admin/commands", {"agent_id": agent["agent_id"], "type": "ping",
                                       "tamper": "gremlins"}, 400)]
        for path, body, status in cases:
            self.assertEqual(self.server.admin(path, body)[0], status, body)

    def test_sign_builds_commands_and_advances_sequence(self):
        agent = self.server.enroll("host-s")
        status, signed = self.server.admin("/admin/sign", {
            "agent_id": agent["agent_id"], "type": "ping", "sequence_no": 40,
            "nonce": "n-1", "issued_at": 1000, "id": "c-x"})
        self.assertEqual(status, 200)
        message = ('{"agent_id":"%s","issued_at":1000,"nonce":"n-1","payload":{},'
                   '"sequence_no":40,"type":"ping"}' % agent["agent_id"]).encode()
        verify(self.server.provisioning()["commandPubkey"], signed["signature"], message)
        self.server.admin("/admin/commands", {"agent_id": agent["agent_id"], "type": "ping"})
        commands = json.loads(self.server.curl("/api/agent/commands",
                                               bearer=agent["device_token"])[1])["commands"]
        self.assertEqual(commands[0]["sequence_no"], 41)

    def test_restart_keeps_agents_and_sequence_numbers(self):
        agent = self.server.enroll("host-k")
        self.server.admin("/admin/commands", {"agent_id": agent["agent_id"], "type": "ping"})
        self.server.curl("/api/agent/commands", bearer=agent["device_token"])
        token = self.server.admin("/admin/tokens", {})[1]["token"]
        self.server.stop()
        self.assertFalse(os.path.exists(self.server.file("ports.json")))
        self.server.start()
        self.server.admin("/admin/commands", {"agent_id": agent["agent_id"], "type": "ping"})
        status, raw = self.server.curl("/api/agent/commands", bearer=agent["device_token"])
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(raw)["commands"][0]["sequence_no"], 2)
        self.server.enroll("host-l", token)

    def test_operator_page_is_served_without_a_build_step(self):
        page = self.server.admin("/operator/")
        self.assertEqual(page[0], 200)
        self.assertIn('<script src="operator.js">', page[1])
        script = self.server.admin("/operator/operator.js")
        self.assertEqual(script[0], 200)
        self.assertIn("velaOperator", script[1])
        self.assertEqual(self.server.admin("/operator/../controlplane.py")[0], 404)
        self.assertEqual(self.server.admin("/operator/ca.key")[0], 404)


if __name__ == "__main__":
    unittest.main()
