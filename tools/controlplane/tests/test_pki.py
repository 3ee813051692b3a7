import os
import shutil
import subprocess
import tempfile
import unittest

from cryptography import x509

from cplane import pki, state
from tests.fixture import device_key, make_csr, openssl


class InitialisedDirectory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="cp-pki-")
        cls.dir = os.path.join(cls.tmp, "cp")
        cls.token = state.init(cls.dir, 8443)
        cls.ca_key = pki.load_key(os.path.join(cls.dir, "ca.key"))
        cls.ca_cert = pki.load_cert(os.path.join(cls.dir, "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_openssl_accepts_server_certificate_for_loopback_names(self):
        out = openssl("verify", "-CAfile", self.path("ca.pem"), "-purpose", "sslserver",
                      self.path("server.pem"))
        self.assertIn(b"OK", out)
        for check in (["-verify_hostname", "localhost"], ["-verify_ip", "127.0.0.1"],
                      ["-verify_ip", "::1"]):
            openssl("verify", "-CAfile", self.path("ca.pem"), *check, self.path("server.pem"))
        result = subprocess.run(["openssl", "verify", "-CAfile", self.path("ca.pem"),
                                 "-verify_hostname", "example.com", self.path("server.pem")],
                                capture_output=True)
        self.assertNotEqual(result.returncode, 0)

    def test_private_files_are_owner_only(self):
        for name in ("ca.key", "server.key", "command.key", "update.key", "tokens.json",
                     "provisioning.json"):
            self.assertEqual(os.stat(self.path(name)).st_mode & 0o077, 0, name)

    def test_provisioning_document(self):
        doc = state.read_json(self.path("provisioning.json"), {})
        self.assertEqual(doc["server"], "https://127.0.0.1:8443")
        self.assertEqual(doc["token"], self.token)
        with open(self.path("ca.pem")) as f:
            self.assertEqual(doc["caPem"], f.read())
        for key in ("commandPubkey", "updatePubkey"):
            raw = __import__("base64").b64decode(doc[key], validate=True)
            self.assertEqual(len(raw), 32)
        self.assertNotEqual(doc["commandPubkey"], doc["updatePubkey"])

    def test_second_init_refused(self):
        with self.assertRaises(FileExistsError):
            state.init(self.dir)

    def csr_for(self, cn, curve="prime256v1"):
        key_dir = tempfile.mkdtemp(dir=self.tmp)
        pub = device_key(key_dir, curve=curve)
        return make_csr(key_dir, cn), pub

    def test_openssl_csr_gets_a_client_certificate(self):
        csr_pem, pub = self.csr_for("mac-01")
        csr = pki.check_csr(csr_pem, pub, "mac-01")
        cert = pki.issue_client_cert(self.ca_key, self.ca_cert, csr, "agent-1")
        reply = pki.cert_reply(cert)
        cert_file = os.path.join(self.tmp, "client.pem")
        with open(cert_file, "w") as f:
            f.write(reply["pem"])
        openssl("verify", "-CAfile", self.path("ca.pem"), "-purpose", "sslclient", cert_file)
        fp = openssl("x509", "-in", cert_file, "-noout", "-fingerprint", "-sha256").decode()
        self.assertEqual(reply["fingerprint"], fp.split("=", 1)[1].strip().replace(":", "").lower())
        serial = openssl("x509", "-in", cert_file, "-noout", "-serial").decode()
        self.assertEqual(int(reply["serial"], 16), int(serial.split("=", 1)[1], 16))
        self.assertRegex(reply["not_after"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(x509.load_pem_x509_certificate(reply["pem"].encode()).public_key()
                         .public_numbers(), csr.public_key().public_numbers())

    def test_csr_refusals(self):
        csr_pem, pub = self.csr_for("mac-01")
        other_csr, other_pub = self.csr_for("mac-01")
        p384_csr, p384_pub = self.csr_for("mac-01", curve="secp384r1")
        # Flip one byte inside the signature: the request still parses, but no longer
        # verifies with its own key.
        der = bytearray(openssl("req", "-in", "/dev/stdin", "-outform", "DER",
                                input=csr_pem.encode()))
        der[-5] ^= 0x01
        forged = openssl("req", "-inform", "DER", "-in", "/dev/stdin", input=bytes(der)).decode()
        cases = {
            "wrong common name": (csr_pem, pub, "mac-02"),
            "mismatched public key": (csr_pem, other_pub, "mac-01"),
            "not P-256": (p384_csr, p384_pub, "mac-01"),
            "bad signature": (forged, pub, "mac-01"),
            "not a CSR": ("hello", pub, "mac-01"),
            "public key not PEM": (csr_pem, "junk", "mac-01"),
        }
        for label, (c, p, host) in cases.items():
            with self.subTest(label), self.assertRaises(pki.CSRError):
                pki.check_csr(c, p, host)
        pki.check_csr(other_csr, other_pub, "mac-01")


if __name__ == "__main__":
    unittest.main()
