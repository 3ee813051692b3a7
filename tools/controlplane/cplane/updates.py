"""Published update artifacts and their signed manifests.

The signature covers one pipe-separated line, not JSON, binding channel, os, arch and
version to the artifact's hash and length.
"""

import hashlib

from . import pki
from .commands import corrupt

# Broken offers for exercising the agent's update checks: a signature that fails, a
# manifest signed by a key the agent does not pin, and a hash or length that does
# not match the served bytes (signed correctly, so only the download check catches it).
TAMPER_KINDS = ("signature", "key", "sha256", "size")


def canonical_string(channel, os_name, arch, version, sha256, size_bytes):
    return (f"rmm-agent|{channel}|{os_name}|{arch}|{version}"
            f"|sha256:{sha256}|size:{size_bytes}")


def _version_key(text):
    try:
        return tuple(int(part) for part in text.split("."))
    except ValueError:
        return None


def is_newer(offered, current):
    a, b = _version_key(offered), _version_key(current)
    if a is None or b is None:
        return offered != current
    return a > b


class UpdateShelf:
    def __init__(self, update_key):
        self.key = update_key
        self.items = []  # dicts: manifest, name, data

    def publish(self, base_url, version, data, channel="stable", os_name="linux",
                arch="amd64", tamper=None):
        name = f"vela-agent-{version}-{len(self.items) + 1}"
        sha256 = hashlib.sha256(data).hexdigest()
        size = len(data)
        if tamper == "sha256":
            sha256 = hashlib.sha256(data + b"\0").hexdigest()
        if tamper == "size":
            size += 1
        key = pki.make_signing_key() if tamper == "key" else self.key
        message = canonical_string(channel, os_name, arch, version, sha256, size)
        signature = pki.sign_b64(key, message.encode("utf-8"))
        if tamper == "signature":
            signature = corrupt(signature)
        manifest = {"version": version, "channel": channel, "os": os_name, "arch": arch,
                    "sha256": sha256, "size_bytes": size, "signature": signature,
                    "public_key": pki.raw_public_b64(self.key), "public_key_id": "update-1",
                    "download_url": f"{base_url}/downloads/{name}"}
        self.items.append({"manifest": manifest, "name": name, "data": data})
        return manifest

    def offer(self, channel, os_name, arch, current_version):
        """The newest matching manifest if it is newer than the agent's build."""
        for item in reversed(self.items):
            m = item["manifest"]
            if (m["channel"], m["os"], m["arch"]) == (channel, os_name, arch):
                return m if is_newer(m["version"], current_version) else None
        return None

    def artifact(self, name):
        for item in self.items:
            if item["name"] == name:
                return item["data"]
        return None

    def manifests(self):
        return [item["manifest"] for item in self.items]

    def clear(self):
        self.items.clear()
