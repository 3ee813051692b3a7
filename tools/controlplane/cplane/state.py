"""The control plane's directory: keys and certificates written by `init`, plus the
small JSON files that let a restarted server keep its tokens and enrolled agents."""

import json
import os

from . import pki

DEFAULT_PORT = 9443


def path(directory, name):
    return os.path.join(directory, name)


def write_json(file_path, value, private=False):
    tmp = file_path + ".tmp"
    data = (json.dumps(value, indent=2, sort_keys=True) + "\n").encode("utf-8")
    if private:
        pki.write_private(tmp, data)
    else:
        with open(tmp, "wb") as f:
            f.write(data)
    os.replace(tmp, file_path)


def read_json(file_path, default):
    try:
        with open(file_path, "rb") as f:
            return json.loads(f.read())
    except (OSError, ValueError):
        return default


def server_url(port):
    return f"https://127.0.0.1:{port}"


def init(directory, port=DEFAULT_PORT):
    """Creates a fresh control-plane directory; refuses one that already holds a CA."""
    os.makedirs(directory, mode=0o700, exist_ok=True)
    if os.path.exists(path(directory, "ca.key")):
        raise FileExistsError(f"{directory} is already initialised")
    ca_key, ca_cert = pki.make_ca()
    server_key, server_cert = pki.make_server_cert(ca_key, ca_cert)
    pki.write_private(path(directory, "ca.key"), pki.key_pem(ca_key))
    pki.write_private(path(directory, "server.key"), pki.key_pem(server_key))
    with open(path(directory, "ca.pem"), "wb") as f:
        f.write(pki.cert_pem(ca_cert))
    with open(path(directory, "server.pem"), "wb") as f:
        f.write(pki.cert_pem(server_cert))
    for name in ("command", "update"):
        key = pki.make_signing_key()
        pki.write_private(path(directory, f"{name}.key"), pki.key_pem(key))
        with open(path(directory, f"{name}.pub.b64"), "w") as f:
            f.write(pki.raw_public_b64(key) + "\n")
    token = pki.new_token()
    write_json(path(directory, "tokens.json"), {"unused": [token], "used": []}, private=True)
    write_provisioning(directory, port, token)
    return token


def write_provisioning(directory, port, token=None):
    """(Re)writes provisioning.json; without a token the previous one is kept."""
    old = read_json(path(directory, "provisioning.json"), {})
    if token is None:
        token = old.get("token")
    with open(path(directory, "ca.pem")) as f:
        ca_pem = f.read()
    doc = {"server": server_url(port),
           "caPem": ca_pem,
           "commandPubkey": read_text(directory, "command.pub.b64"),
           "updatePubkey": read_text(directory, "update.pub.b64"),
           "channel": "stable"}
    if token:
        doc["token"] = token
    write_json(path(directory, "provisioning.json"), doc, private=True)


def read_text(directory, name):
    with open(path(directory, name)) as f:
        return f.read().strip()


class Store:
    """Tokens and agents, in memory and mirrored to DIR after every change."""

    def __init__(self, directory):
        self.directory = directory
        self.ca_key = pki.load_key(path(directory, "ca.key"))
        self.ca_cert = pki.load_cert(path(directory, "ca.pem"))
        self.command_key = pki.load_key(path(directory, "command.key"))
        self.update_key = pki.load_key(path(directory, "update.key"))
        tokens = read_json(path(directory, "tokens.json"), {})
        self.unused_tokens = list(tokens.get("unused", []))
        self.used_tokens = list(tokens.get("used", []))
        # agent_id -> record; each record holds device_token and last_sequence_no.
        self.agents = read_json(path(directory, "agents.json"), {})

    def save_tokens(self):
        write_json(path(self.directory, "tokens.json"),
                   {"unused": self.unused_tokens, "used": self.used_tokens}, private=True)

    def save_agents(self):
        write_json(path(self.directory, "agents.json"), self.agents, private=True)

    def issue_token(self):
        token = pki.new_token()
        self.unused_tokens.append(token)
        self.save_tokens()
        return token

    def consume_token(self, token):
        if token not in self.unused_tokens:
            return False
        self.unused_tokens.remove(token)
        self.used_tokens.append(token)
        self.save_tokens()
        return True

    def agent_for_bearer(self, header):
        if not header or not header.startswith("Bearer "):
            return None
        token = header[len("Bearer "):]
        for agent_id, record in self.agents.items():
            if token and record.get("device_token") == token:
                return agent_id
        return None
