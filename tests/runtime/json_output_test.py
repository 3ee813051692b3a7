"""`status --json`, `doctor --json` and `version --json` against the schemas documented
in docs/json/, for an empty state directory, an enrolled agent whose daemon runs against
the test control plane, and the same after the daemon stopped.

Usage: json_output_test.py AGENT_EXE"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "controlplane"))
from tests.fixture import Server  # noqa: E402

AGENT = None
SCHEMAS = os.path.join(ROOT, "docs", "json")


def validator(name):
    with open(os.path.join(SCHEMAS, name)) as f:
        schema = json.load(f)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        resolver = jsonschema.RefResolver(base_uri="file://" + SCHEMAS + "/", referrer=schema)
    return jsonschema.Draft202012Validator(schema, resolver=resolver)


class JSONOutput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cp = Server()
        cls.tmp = tempfile.mkdtemp(prefix="vela-json-")
        cls.env = dict(os.environ, VELA_STATE_DIR=os.path.join(cls.tmp, "state"),
                       VELA_DESKTOP_SOCKET=os.path.join(cls.tmp, "desktop.sock"))
        for name in ("https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            cls.env.pop(name, None)
        cls.schemas = {name: validator(name + ".schema.json") for name in ("status", "doctor", "version")}

    @classmethod
    def tearDownClass(cls):
        cls.cp.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def output(self, command, status):
        run = subprocess.run([AGENT, command, "--json"], env=self.env, capture_output=True, text=True)
        self.assertEqual(run.returncode, status, run.stderr)
        self.assertEqual(run.stdout.count("\n"), 1, run.stdout)
        doc = json.loads(run.stdout)
        errors = [e.message for e in self.schemas[command].iter_errors(doc)]
        self.assertEqual(errors, [], run.stdout)
        return doc

    def test_outputs_match_their_schemas(self):
        version = self.output("version", 0)
        self.assertEqual(version["version"], "0.1.0")

        empty = self.output("status", 1)
        self.assertEqual(empty["problems"], [])
        self.assertEqual((empty["configured"], empty["daemon"]), (False, {"running": False, "pid": None}))
        self.assertFalse(self.output("doctor", 1)["passed"])

        provisioning = os.path.join(self.cp.dir, "provisioning.json")
        enrol = subprocess.run([AGENT, "provision", "--from-file", provisioning], env=self.env,
                               capture_output=True, text=True)
        self.assertEqual(enrol.returncode, 0, enrol.stderr)
        daemon = subprocess.Popen([AGENT, "run"], env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
        try:
            while True:
                running = self.output("status", 0)
                beat = running["daemon"].get("heartbeat")
                if beat and beat["ok"]:
                    break
                self.assertIsNone(daemon.poll(), daemon.stderr.read() if daemon.poll() is not None else "")
                time.sleep(0.2)
            self.assertEqual((running["daemon"]["running"], running["daemon"]["pid"]), (True, daemon.pid))
            self.assertTrue(running["config"]["enrolled"])
            self.assertEqual(running["problems"], [])
            self.assertEqual(running["daemon"]["agent_id"], running["config"]["agent_id"])
            self.assertIn(running["daemon"]["gateway"], ("connecting", "connected", "disconnected"))
            doctor = self.output("doctor", 0)
            self.assertTrue(doctor["passed"])
            self.assertEqual(doctor["daemon"]["pid"], daemon.pid)
        finally:
            daemon.terminate()
            daemon.wait()
        stopped = self.output("status", 0)
        self.assertEqual(stopped["daemon"], {"running": False, "pid": None})


if __name__ == "__main__":
    AGENT = sys.argv.pop(1)
    unittest.main()
