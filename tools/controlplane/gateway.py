#!/usr/bin/python3
"""Test gateway for vela-agent remote shells (test tooling only).

  gateway.py DIR [--port 8443] [--operator-port N] [--accept-token TOKEN ...]
      Serves the agent side, wss://127.0.0.1:PORT/v1/agent/conn, with DIR/server.pem and
      DIR/server.key, and the operator side, http://127.0.0.1:N (N=0 picks a free
      port). Bearer tokens are accepted from --accept-token, from DIR/device_tokens.json
      (a list of tokens, or an object mapping token -> agent id) and from the
      device_token of each record in DIR/agents.json (agent id -> record). Ports land in
      DIR/gateway.json; one line "gateway: ready ..." goes to stdout when listening.

  gateway.py shell DIR AGENT [--shell PATH]
      Attaches this terminal to a new shell on AGENT through a running gateway.

  gateway.py exec DIR AGENT COMMAND [--shell PATH] [--wait SEC]
      Runs COMMAND in a new shell on AGENT through a running gateway (waiting up to SEC
      seconds for the agent to connect) and prints what it wrote; exits with the
      shell's status.

Operator API (loopback, JSON):
  GET  /agents                 connected agents
  GET  /connections            every agent connection so far, with its close code
  POST /agents/{agent}/send    body: one frame (text), relayed to the agent unchanged
  GET  /agents/{agent}/frames?since=N&wait=SEC
                               every frame the agent sent (over all its connections),
                               from index N on; waits up to SEC seconds for one
  POST /agents/{agent}/throttle
                               body: {"rate": N} reads the agent's connection at N bytes
                               of frames per second (0: stops reading it, pings
                               included) with a 64 KiB receive buffer; {"rate": null}
                               reads at full speed again.
                               While throttled, shell.stdout frames are counted, not
                               kept (a slow operator, without the gateway's memory)
  GET  /agents/{agent}/throttle
                               {"rate": N or null, "stdout_bytes": decoded bytes counted}
  GET  /agents/{agent}/ws      WebSocket relay: each text message is one frame to the
                               agent; frames from the agent come back to the operator
                               socket that last used their session_id (to all of them
                               when unknown); {"type":"gateway.agent_gone"} when the
                               agent's connection ends.
  GET  /operator/              the operator page (operator/), which opens, shows and
                               closes desktop sessions through the relay above
"""

import argparse
import asyncio
import base64
import json
import os
import signal
import socket
import ssl
import sys
import time
import uuid

from aiohttp import WSMsgType, web

import aiohttp

CONN_PATH = "/v1/agent/conn"
OPERATOR_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "operator")
OPERATOR_FILES = {"": ("index.html", "text/html"), "index.html": ("index.html", "text/html"),
                  "operator.js": ("operator.js", "text/javascript"),
                  "session.js": ("session.js", "text/javascript"),
                  "files.js": ("files.js", "text/javascript")}


def read_json(path, default):
    try:
        with open(path, "rb") as f:
            return json.loads(f.read())
    except (OSError, ValueError):
        return default


class Gateway:
    def __init__(self, directory, accept_tokens):
        self.directory = directory
        self.extra_tokens = list(accept_tokens)
        self.agents = {}          # agent id -> AgentLink
        self.connections = []     # records of every agent connection
        self.frames = {}          # agent id -> every text frame it sent
        self.arrived = asyncio.Condition()

    def token_map(self):
        """token -> agent id, re-read on every upgrade so new enrolments count."""
        tokens = {t: t for t in self.extra_tokens}
        listed = read_json(os.path.join(self.directory, "device_tokens.json"), None)
        if isinstance(listed, list):
            tokens.update({t: t for t in listed if isinstance(t, str)})
        elif isinstance(listed, dict):
            tokens.update({t: str(a) for t, a in listed.items()})
        agents = read_json(os.path.join(self.directory, "agents.json"), {})
        if isinstance(agents, dict):
            for agent_id, record in agents.items():
                if isinstance(record, dict) and isinstance(record.get("device_token"), str):
                    tokens[record["device_token"]] = agent_id
        return tokens

    async def agent_conn(self, request):
        auth = request.headers.get("Authorization", "")
        token = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        agent_id = self.token_map().get(token) if token else None
        record = {"agent": agent_id, "user_agent": request.headers.get("User-Agent"),
                  "authorized": agent_id is not None, "connected_at": time.time(),
                  "closed_at": None, "close_code": None, "frames_in": 0}
        self.connections.append(record)
        if agent_id is None:
            return web.json_response({"error": "unauthorized"}, status=401)
        ws = web.WebSocketResponse(heartbeat=None,
                                   max_msg_size=0)
        await ws.prepare(request)
        old = self.agents.get(agent_id)
        link = AgentLink(agent_id, ws, record["user_agent"])
        link.sock = request.transport.get_extra_info("socket") if request.transport else None
        self.agents[agent_id] = link
        if old is not None:
            old.rate = None
            old.rate_changed.set()
            await old.ws.close()
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    record["frames_in"] += 1
                    if link.rate is None or not link.count_stdout(msg.data):
                        self.frames.setdefault(agent_id, []).append(msg.data)
                        async with self.arrived:
                            self.arrived.notify_all()
                        await link.from_agent(msg.data)
                    await link.throttle(len(msg.data))
        finally:
            record["closed_at"] = time.time()
            record["close_code"] = ws.close_code
            if self.agents.get(agent_id) is link:
                del self.agents[agent_id]
            await link.gone()
        return ws

    async def list_agents(self, request):
        return web.json_response([{"agent": a, "user_agent": link.user_agent}
                                  for a, link in self.agents.items()])

    async def agent_frames(self, request):
        agent = request.match_info["agent"]
        since = int(request.query.get("since", "0"))
        deadline = time.monotonic() + float(request.query.get("wait", "0"))
        async with self.arrived:
            while len(self.frames.get(agent, [])) <= since:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                try:
                    await asyncio.wait_for(self.arrived.wait(), remaining)
                except asyncio.TimeoutError:
                    break
        frames = self.frames.get(agent, [])
        return web.json_response({"frames": frames[since:], "next": len(frames)})

    async def set_throttle(self, request):
        link = self.link_or_404(request)
        rate = json.loads(await request.text()).get("rate")
        link.rate = rate if isinstance(rate, (int, float)) and rate >= 0 else None
        link.rate_changed.set()
        if link.rate is not None and link.sock is not None:
            # A slow relay buffers little; a large kernel buffer would only delay pings.
            link.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        return web.json_response({"rate": link.rate})

    async def get_throttle(self, request):
        link = self.link_or_404(request)
        return web.json_response({"rate": link.rate, "stdout_bytes": link.stdout_bytes})

    async def list_connections(self, request):
        return web.json_response(self.connections)

    def link_or_404(self, request):
        link = self.agents.get(request.match_info["agent"])
        if link is None:
            raise web.HTTPNotFound(text=json.dumps({"error": "agent not connected"}),
                                   content_type="application/json")
        return link

    async def send(self, request):
        link = self.link_or_404(request)
        await link.ws.send_str(await request.text())
        return web.json_response({"sent": True})

    async def operator_page(self, request):
        entry = OPERATOR_FILES.get(request.match_info.get("name", ""))
        if entry is None:
            raise web.HTTPNotFound(text="no such file")
        with open(os.path.join(OPERATOR_DIR, entry[0]), "rb") as f:
            return web.Response(body=f.read(), content_type=entry[1])

    async def operator_ws(self, request):
        link = self.link_or_404(request)
        ws = web.WebSocketResponse(max_msg_size=0)
        await ws.prepare(request)
        link.operators.add(ws)
        try:
            async for msg in ws:
                if msg.type != WSMsgType.TEXT:
                    continue
                try:
                    session = json.loads(msg.data).get("session_id")
                except (ValueError, AttributeError):
                    session = None
                if isinstance(session, str):
                    link.owners[session] = ws
                if not link.ws.closed:
                    await link.ws.send_str(msg.data)
        finally:
            link.operators.discard(ws)
        return ws


class AgentLink:
    def __init__(self, agent_id, ws, user_agent):
        self.agent_id = agent_id
        self.ws = ws
        self.user_agent = user_agent
        self.operators = set()
        self.owners = {}  # session id -> operator socket
        self.sock = None
        self.rate = None  # bytes per second while throttled
        self.rate_changed = asyncio.Event()
        self.stdout_bytes = 0

    def count_stdout(self, text):
        try:
            frame = json.loads(text)
            if frame.get("type") != "shell.stdout":
                return False
            self.stdout_bytes += len(base64.b64decode(frame.get("data", "")))
            return True
        except (ValueError, AttributeError, TypeError):
            return False

    async def throttle(self, size):
        """Holds the next read from the agent until this frame's share of the rate."""
        while self.rate == 0:
            self.rate_changed.clear()
            await self.rate_changed.wait()
        if self.rate:
            await asyncio.sleep(size / self.rate)

    async def from_agent(self, text):
        try:
            session = json.loads(text).get("session_id")
        except (ValueError, AttributeError):
            session = None
        owner = self.owners.get(session)
        targets = [owner] if owner is not None and not owner.closed else list(self.operators)
        for ws in targets:
            if not ws.closed:
                await ws.send_str(text)

    async def gone(self):
        for ws in list(self.operators):
            if not ws.closed:
                await ws.send_str(json.dumps({"type": "gateway.agent_gone",
                                              "agent": self.agent_id}))
                await ws.close()


def announce(line):
    """One line on stdout, then stdout goes to /dev/null: whoever waited for the line
    may close its end of the pipe at once."""
    try:
        sys.stdout.write(line)
        sys.stdout.flush()
    except BrokenPipeError:
        pass
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


async def serve(args):
    gateway = Gateway(args.directory, args.accept_token or [])
    agent_app = web.Application()
    agent_app.router.add_get(CONN_PATH, gateway.agent_conn)
    operator_app = web.Application(client_max_size=64 * 1024 * 1024)
    operator_app.router.add_get("/agents", gateway.list_agents)
    operator_app.router.add_get("/connections", gateway.list_connections)
    operator_app.router.add_post("/agents/{agent}/send", gateway.send)
    operator_app.router.add_get("/agents/{agent}/ws", gateway.operator_ws)
    operator_app.router.add_get("/agents/{agent}/frames", gateway.agent_frames)
    operator_app.router.add_post("/agents/{agent}/throttle", gateway.set_throttle)
    operator_app.router.add_get("/operator/", gateway.operator_page)
    operator_app.router.add_get("/operator/{name}", gateway.operator_page)
    operator_app.router.add_get("/agents/{agent}/throttle", gateway.get_throttle)

    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(os.path.join(args.directory, "server.pem"),
                        os.path.join(args.directory, "server.key"))

    agent_runner = web.AppRunner(agent_app, access_log=None)
    operator_runner = web.AppRunner(operator_app, access_log=None)
    await agent_runner.setup()
    await operator_runner.setup()
    agent_site = web.TCPSite(agent_runner, "127.0.0.1", args.port, ssl_context=ctx,
                             reuse_address=True, shutdown_timeout=1.0)
    operator_site = web.TCPSite(operator_runner, "127.0.0.1", args.operator_port,
                                reuse_address=True, shutdown_timeout=1.0)
    await agent_site.start()
    await operator_site.start()
    port = agent_site._server.sockets[0].getsockname()[1]
    operator_port = operator_site._server.sockets[0].getsockname()[1]
    info = {"port": port, "operator_port": operator_port, "pid": os.getpid()}
    tmp = os.path.join(args.directory, "gateway.json.tmp")
    with open(tmp, "w") as f:
        json.dump(info, f)
    os.replace(tmp, os.path.join(args.directory, "gateway.json"))
    announce(f"gateway: ready wss://127.0.0.1:{port}{CONN_PATH} "
             f"operator http://127.0.0.1:{operator_port}\n")

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    await stop.wait()
    for link in list(gateway.agents.values()):
        await link.ws.close(code=1001)
    await agent_runner.cleanup()
    await operator_runner.cleanup()


async def attach_shell(args):
    """Raw terminal <-> one remote shell, until the shell exits."""
    import termios
    import tty

    info = read_json(os.path.join(args.directory, "gateway.json"), None)
    if not info:
        print("no running gateway for " + args.directory, file=sys.stderr)
        return 1
    session = "cli-" + uuid.uuid4().hex[:8]
    cols, rows = os.get_terminal_size() if sys.stdin.isatty() else (80, 24)
    url = f"http://127.0.0.1:{info['operator_port']}/agents/{args.agent}/ws"
    loop = asyncio.get_running_loop()
    code = 1
    saved = termios.tcgetattr(0) if sys.stdin.isatty() else None
    async with aiohttp.ClientSession() as http:
        async with http.ws_connect(url) as ws:
            async def send(frame):
                frame["session_id"] = session
                await ws.send_str(json.dumps(frame))

            await send({"type": "shell.open", "shell": args.shell, "cols": cols, "rows": rows})
            if saved is not None:
                tty.setraw(0)

            def on_stdin():
                data = os.read(0, 4096)
                if data:
                    asyncio.ensure_future(send({"type": "shell.stdin",
                                                "data": base64.b64encode(data).decode()}))

            def on_winch():
                c, r = os.get_terminal_size()
                asyncio.ensure_future(send({"type": "shell.resize", "cols": c, "rows": r}))

            loop.add_reader(0, on_stdin)
            if saved is not None:
                loop.add_signal_handler(signal.SIGWINCH, on_winch)
            try:
                async for msg in ws:
                    if msg.type != WSMsgType.TEXT:
                        continue
                    frame = json.loads(msg.data)
                    kind = frame.get("type")
                    if kind == "shell.stdout":
                        os.write(1, base64.b64decode(frame.get("data", "")))
                    elif kind == "shell.exit":
                        code = frame.get("code") if frame.get("code") is not None else 128 + (
                            frame.get("signal") or 0)
                        break
                    elif kind == "shell.error":
                        os.write(2, f"\r\n{frame.get('code')}: {frame.get('message')}\r\n".encode())
                        break
                    elif kind == "gateway.agent_gone":
                        os.write(2, b"\r\nagent disconnected\r\n")
                        break
            finally:
                loop.remove_reader(0)
                if saved is not None:
                    termios.tcsetattr(0, termios.TCSADRAIN, saved)
    return code


async def exec_in_shell(args):
    """One command line in a new remote shell; prints its output without the prompts."""
    info = read_json(os.path.join(args.directory, "gateway.json"), None)
    if not info:
        print("no running gateway for " + args.directory, file=sys.stderr)
        return 1
    base = f"http://127.0.0.1:{info['operator_port']}"
    session = "exec-" + uuid.uuid4().hex[:8]
    # The terminal echoes the typed line; split quoting keeps the echo from matching.
    begin, end = "vela-exec-begin", "vela-exec-end"
    line = (f"echo '{begin[:5]}''{begin[5:]}'; {args.command}; "
            f"echo '{end[:5]}''{end[5:]}'; exit\n")
    deadline = time.monotonic() + args.wait
    output = b""
    code = 1
    async with aiohttp.ClientSession() as http:
        while True:
            async with http.get(base + "/agents") as r:
                if any(a.get("agent") == args.agent for a in await r.json()):
                    break
            if time.monotonic() > deadline:
                print(f"agent {args.agent} is not connected to the gateway", file=sys.stderr)
                return 1
            await asyncio.sleep(0.2)
        async with http.ws_connect(f"{base}/agents/{args.agent}/ws") as ws:
            async def send(frame):
                frame["session_id"] = session
                await ws.send_str(json.dumps(frame))

            await send({"type": "shell.open", "shell": args.shell, "cols": 200, "rows": 50})
            typed = False
            while True:
                try:
                    msg = await asyncio.wait_for(ws.receive(), max(deadline - time.monotonic(), 1))
                except asyncio.TimeoutError:
                    print("the remote shell did not finish", file=sys.stderr)
                    return 1
                if msg.type != WSMsgType.TEXT:
                    print("gateway connection ended", file=sys.stderr)
                    return 1
                frame = json.loads(msg.data)
                kind = frame.get("type")
                if kind == "shell.stdout":
                    output += base64.b64decode(frame.get("data", ""))
                    if not typed:  # the first prompt: the shell reads its terminal now
                        typed = True
                        await send({"type": "shell.stdin",
                                    "data": base64.b64encode(line.encode()).decode()})
                elif kind == "shell.exit":
                    code = frame.get("code") if frame.get("code") is not None else 128 + (
                        frame.get("signal") or 0)
                    break
                elif kind in ("shell.error", "gateway.agent_gone"):
                    print(f"{kind}: {frame.get('message', '')}", file=sys.stderr)
                    return 1
    text = output.decode("utf-8", "replace").replace("\r\n", "\n")
    start = text.find(begin + "\n")
    stop = text.find(end, start + 1)
    if start < 0 or stop < 0:
        sys.stdout.write(text)
        return code or 1
    body = text[start + len(begin) + 1:stop]
    sys.stdout.write(body[:body.rfind("\n") + 1] if "\n" in body else body)
    return code


def main(argv):
    if argv and argv[0] == "exec":
        p = argparse.ArgumentParser(prog="gateway.py exec")
        p.add_argument("directory")
        p.add_argument("agent")
        p.add_argument("command")
        p.add_argument("--shell", default="auto")
        p.add_argument("--wait", type=float, default=30.0)
        return asyncio.run(exec_in_shell(p.parse_args(argv[1:])))
    if argv and argv[0] == "shell":
        p = argparse.ArgumentParser(prog="gateway.py shell")
        p.add_argument("directory")
        p.add_argument("agent")
        p.add_argument("--shell", default="auto")
        return asyncio.run(attach_shell(p.parse_args(argv[1:])))
    p = argparse.ArgumentParser(prog="gateway.py")
    p.add_argument("directory")
    p.add_argument("--port", type=int, default=8443)
    p.add_argument("--operator-port", type=int, default=0)
    p.add_argument("--accept-token", action="append")
    asyncio.run(serve(p.parse_args(argv)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
