#!/usr/bin/python3
"""A small HTTP CONNECT proxy for the agent's proxy tests (test tooling only).

  connect_proxy.py LOG [--port 0] [--auth USER:PASSWORD] [--refuse PORT ...]
                       [--intercept PORT ...]

Listens on 127.0.0.1 and prints one line "proxy: ready port=N" once listening. Each
request appends one line to LOG: "<METHOD> <target> <status>" (and "intercepted
<target>: <outcome>" for intercepted tunnels). Only CONNECT is served (405 otherwise).
With --auth, a request without matching Basic Proxy-Authorization gets 407. A CONNECT
to a port given with --refuse gets 403. A tunnel to a port given with --intercept is
answered by the proxy's own TLS server (a fresh CA of its own, certificate for
localhost, 127.0.0.1 and ::1) which relays to the real server over TLS: a TLS-inspecting
proxy.
"""

import argparse
import asyncio
import base64
import os
import ssl
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cplane import pki  # noqa: E402


def intercepting_context():
    ca_key, ca_cert = pki.make_ca()
    key, cert = pki.make_server_cert(ca_key, ca_cert)
    directory = tempfile.mkdtemp(prefix="intercept-")
    chain, key_path = os.path.join(directory, "chain.pem"), os.path.join(directory, "key.pem")
    with open(chain, "wb") as f:
        f.write(pki.cert_pem(cert) + pki.cert_pem(ca_cert))
    pki.write_private(key_path, pki.key_pem(key))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(chain, key_path)
    return context


class Proxy:
    def __init__(self, args):
        self.args = args
        self.log_path = args.log
        self.intercept_context = intercepting_context() if args.intercept else None

    def log(self, line):
        with open(self.log_path, "a") as f:
            f.write(line + "\n")

    def authorised(self, headers):
        if not self.args.auth:
            return True
        expected = "Basic " + base64.b64encode(self.args.auth.encode()).decode()
        return headers.get("proxy-authorization") == expected

    async def handle(self, reader, writer):
        try:
            await self.serve(reader, writer)
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError) as e:
            self.log(f"connection ended: {e.__class__.__name__}")
        finally:
            writer.close()

    async def serve(self, reader, writer):
        request = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        method, target = (request[0].split(" ") + ["", ""])[:2]
        headers = {}
        for line in request[1:]:
            name, _, value = line.partition(":")
            if name:
                headers[name.strip().lower()] = value.strip()

        async def answer(status, reason, extra=""):
            self.log(f"{method} {target} {status}")
            writer.write(f"HTTP/1.1 {status} {reason}\r\n{extra}Content-Length: 0\r\n\r\n".encode())
            await writer.drain()

        if method != "CONNECT":
            return await answer(405, "Method Not Allowed")
        if not self.authorised(headers):
            return await answer(407, "Proxy Authentication Required",
                                'Proxy-Authenticate: Basic realm="test"\r\n')
        host, _, port = target.rpartition(":")
        host = host.strip("[]")
        if port in self.args.refuse:
            return await answer(403, "Forbidden")
        try:
            up_reader, up_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            return await answer(502, "Bad Gateway")
        await answer(200, "Connection established")
        if port in self.args.intercept:
            up_writer.close()
            try:
                await writer.start_tls(self.intercept_context)
            except (ssl.SSLError, ConnectionError) as e:
                self.log(f"intercepted {target}: refused by the client ({e.__class__.__name__})")
                return
            self.log(f"intercepted {target}: client accepted the proxy's certificate")
            up_reader, up_writer = await asyncio.open_connection(
                host, int(port), ssl=ssl._create_unverified_context())
        await asyncio.gather(self.pipe(reader, up_writer), self.pipe(up_reader, writer))

    @staticmethod
    async def pipe(source, sink):
        try:
            while data := await source.read(65536):
                sink.write(data)
                await sink.drain()
        except (ConnectionError, ssl.SSLError):
            pass
        finally:
            sink.close()


async def main(args):
    proxy = Proxy(args)
    server = await asyncio.start_server(proxy.handle, "127.0.0.1", args.port)
    print(f"proxy: ready port={server.sockets[0].getsockname()[1]}", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    p = argparse.ArgumentParser(prog="connect_proxy.py")
    p.add_argument("log")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--auth")
    p.add_argument("--refuse", action="append", default=[])
    p.add_argument("--intercept", action="append", default=[])
    asyncio.run(main(p.parse_args()))
