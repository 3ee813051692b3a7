"""The internal CA, the server certificate, client certificates from agent CSRs and
the Ed25519 signing keys, all with the `cryptography` package."""

import base64
import datetime
import hashlib
import ipaddress
import os
import secrets

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


class CSRError(Exception):
    """A certificate request the control plane will not sign; the text goes to the client."""


def _now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def iso(dt):
    return dt.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def write_private(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM,
                             serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def cert_pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def load_key(path):
    with open(path, "rb") as f:
        return serialization.load_pem_private_key(f.read(), password=None)


def load_cert(path):
    with open(path, "rb") as f:
        return x509.load_pem_x509_certificate(f.read())


def fingerprint(cert):
    return hashlib.sha256(cert.public_bytes(serialization.Encoding.DER)).hexdigest()


def _name(common_name, org="Vela Test Control Plane"):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, org),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def make_ca():
    key = ec.generate_private_key(ec.SECP256R1())
    name = _name("Vela Test Internal CA")
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True,
                                         crl_sign=True, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, encipher_only=False,
                                         decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .sign(key, hashes.SHA256()))
    return key, cert


def _leaf(ca_key, ca_cert, subject, public_key, days, usage, san=None):
    now = _now()
    builder = (x509.CertificateBuilder()
               .subject_name(subject).issuer_name(ca_cert.subject)
               .public_key(public_key)
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(minutes=5))
               .not_valid_after(now + datetime.timedelta(days=days))
               .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=False,
                                            crl_sign=False, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False,
                                            key_agreement=True, encipher_only=False,
                                            decipher_only=False), critical=True)
               .add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                   ca_key.public_key()), critical=False))
    if san:
        builder = builder.add_extension(x509.SubjectAlternativeName(san), critical=False)
    return builder.sign(ca_key, hashes.SHA256())


def make_server_cert(ca_key, ca_cert):
    key = ec.generate_private_key(ec.SECP256R1())
    san = [x509.DNSName("localhost"),
           x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
           x509.IPAddress(ipaddress.ip_address("::1"))]
    cert = _leaf(ca_key, ca_cert, _name("localhost"), key.public_key(), 825,
                 ExtendedKeyUsageOID.SERVER_AUTH, san)
    return key, cert


def _spki_der(public_key):
    return public_key.public_bytes(serialization.Encoding.DER,
                                   serialization.PublicFormat.SubjectPublicKeyInfo)


def check_csr(csr_pem, public_key_pem, hostname):
    """The CSR after the checks enrolment makes, or CSRError with the reason."""
    try:
        csr = x509.load_pem_x509_csr(csr_pem.encode("utf-8"))
    except (ValueError, UnicodeError):
        raise CSRError("csr is not a PEM certificate request")
    try:
        valid = csr.is_signature_valid
    except (ValueError, InvalidSignature):
        valid = False
    if not valid:
        raise CSRError("csr signature does not verify")
    key = csr.public_key()
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
        raise CSRError("csr key is not EC P-256")
    try:
        claimed = serialization.load_pem_public_key(public_key_pem.encode("utf-8"))
    except (ValueError, UnicodeError):
        raise CSRError("public_key is not a PEM public key")
    if _spki_der(claimed) != _spki_der(key):
        raise CSRError("csr key differs from public_key")
    names = csr.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
    if len(names) != 1 or not names[0].value:
        raise CSRError("csr must carry exactly one common name")
    if names[0].value != hostname:
        raise CSRError("csr common name differs from hostname")
    return csr


def issue_client_cert(ca_key, ca_cert, csr, agent_id):
    cert = _leaf(ca_key, ca_cert, _name(agent_id, "Vela Agents"), csr.public_key(), 365,
                 ExtendedKeyUsageOID.CLIENT_AUTH)
    return cert


def cert_reply(cert):
    """The certificate object of the enrolment reply."""
    return {"serial": format(cert.serial_number, "x"),
            "fingerprint": fingerprint(cert),
            "not_after": iso(cert.not_valid_after.replace(tzinfo=datetime.timezone.utc)),
            "pem": cert_pem(cert).decode("ascii")}


def make_signing_key():
    return ed25519.Ed25519PrivateKey.generate()


def raw_public_b64(key):
    raw = key.public_key().public_bytes(serialization.Encoding.Raw,
                                        serialization.PublicFormat.Raw)
    return base64.b64encode(raw).decode("ascii")


def sign_b64(key, message):
    return base64.b64encode(key.sign(message)).decode("ascii")


def new_token():
    return "enr-" + secrets.token_urlsafe(18)
