"""Queued commands and their signing.

Each command is signed at delivery for the one agent it addresses: the signature
covers the canonical JSON of the addressee's id, the sequence number, nonce, issue
time, type and payload. Sequence numbers grow per agent and survive restarts (they
live in the agent records), because an agent refuses anything at or below the
highest number it has accepted.
"""

import base64
import secrets
import time

from . import canonical, pki

# Deliberately broken deliveries for exercising the agent's verifier.
TAMPER_KINDS = ("signature", "replay_sequence", "replay_nonce", "wrong_agent", "stale")


def signed_text(agent_id, sequence_no, nonce, issued_at, kind, payload):
    return canonical.encode_bytes({"agent_id": agent_id, "sequence_no": sequence_no,
                                   "nonce": nonce, "issued_at": issued_at, "type": kind,
                                   "payload": {} if payload is None else payload})


def corrupt(signature_b64):
    raw = bytearray(base64.b64decode(signature_b64))
    raw[0] ^= 0x01
    return base64.b64encode(bytes(raw)).decode("ascii")


class CommandBook:
    def __init__(self, store):
        self.store = store
        self.all = []
        self.counter = 0

    def queue(self, agent_id, kind, payload, command_id=None, tamper=None):
        self.counter += 1
        command = {"id": command_id or f"c-{self.counter}", "agent_id": agent_id,
                   "type": kind, "payload": payload, "status": "queued",
                   "queued_at": _iso(time.time())}
        if tamper:
            command["tamper"] = tamper
        self.all.append(command)
        return command

    @staticmethod
    def describe(command):
        return dict(command)

    def sign(self, agent_id, kind, payload, command_id=None, sequence_no=None, nonce=None,
             issued_at=None, signer_view=None):
        """A wire command for `agent_id`; unset fields get the next sequence number, a
        fresh nonce and the current time. `signer_view` signs as if for another agent."""
        record = self.store.agents.get(agent_id)
        if sequence_no is None:
            sequence_no = (record["last_sequence_no"] if record else 0) + 1
        if nonce is None:
            nonce = secrets.token_hex(16)
        if issued_at is None:
            issued_at = int(time.time())
        payload = {} if payload is None else payload
        message = signed_text(signer_view or agent_id, sequence_no, nonce, issued_at, kind,
                              payload)
        wire = {"sequence_no": sequence_no, "nonce": nonce, "issued_at": issued_at,
                "type": kind, "payload": payload,
                "signature": pki.sign_b64(self.store.command_key, message)}
        if command_id is not None:
            wire["id"] = command_id
        if record is not None:
            record["last_sequence_no"] = max(record["last_sequence_no"], sequence_no)
            record["last_nonce"] = nonce
            self.store.save_agents()
        return wire

    def deliver(self, agent_id):
        """Signs and hands out every queued command of the agent, oldest first."""
        wire = []
        for command in self.all:
            if command["agent_id"] == agent_id and command["status"] == "queued":
                wire.append(self._deliver(command))
        return wire

    def _deliver(self, command):
        record = self.store.agents[command["agent_id"]]
        tamper = command.get("tamper")
        fields = {}
        if tamper == "replay_sequence":
            fields["sequence_no"] = record["last_sequence_no"]
        if tamper == "replay_nonce" and record.get("last_nonce"):
            fields["nonce"] = record["last_nonce"]
        if tamper == "stale":
            fields["issued_at"] = int(time.time()) - 3600
        if tamper == "wrong_agent":
            fields["signer_view"] = "not-" + command["agent_id"]
        wire = self.sign(command["agent_id"], command["type"], command["payload"],
                         command["id"], **fields)
        if tamper == "signature":
            wire["signature"] = corrupt(wire["signature"])
        command.update(status="delivered", sequence_no=wire["sequence_no"],
                       nonce=wire["nonce"], issued_at=wire["issued_at"],
                       delivered_at=_iso(time.time()))
        return wire

    def record_result(self, agent_id, command_id, body):
        for command in self.all:
            if command["agent_id"] == agent_id and command["id"] == command_id:
                status = body.get("status")
                command["status"] = status if isinstance(status, str) else "reported"
                command["result"] = body
                return


def _iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))
