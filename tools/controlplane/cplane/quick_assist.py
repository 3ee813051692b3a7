"""Quick assist on the test control plane: support codes issued from the admin side, the
redeem and presign calls, an upload URL that keeps what is PUT to it, and the session
gateway that pairs one agent with an operator page.

Agent side (HTTPS, next to the agent API):
  POST /api/quick-assist/join                  {"code"} -> 201 session_id, client_token,
                                               gateway_url (wss://.../api/quick-assist/gateway/ID)
  POST /api/quick-assist/recordings/presign    Bearer client token; {"session_id","format"}
                                               -> 200 upload_url, headers
  PUT  /api/quick-assist/uploads/{key}         stores the body
  GET  /api/quick-assist/gateway/{session}     WebSocket: "hello" first, then relayed
Admin side (HTTP):
  POST /admin/quick-assist/codes               {"code"?, "recording_required"?,
                                               "presign_status"?, "script"?: [texts sent
                                               after hello; "binary:" + text goes as a
                                               binary message], "ready"?: false (no "ready" on
                                               operator join)} -> 201 {"code"}
  GET  /admin/quick-assist/sessions            every session with the agent's messages
  POST /admin/quick-assist/sessions/{id}/send  body: one text message to the agent
  POST /admin/quick-assist/sessions/{id}/drop  aborts the agent's connection (no close frame)
  GET  /admin/quick-assist/uploads             what arrived at the upload URL (sha256, size)
  GET  /admin/quick-assist/sessions/{id}/operator
                                               WebSocket for the operator page: "ready" goes
                                               to the agent on the first join,
                                               "renegotiate" on every later one; the page
                                               sends "signal" and "ended"
  GET  /quick-assist/operator/?qa=ID           the desktop operator page speaking this protocol
"""

import asyncio
import base64
import hashlib
import json
import logging
import os
import secrets
import uuid

from aiohttp import WSMsgType, web

log = logging.getLogger("quick-assist")
OPERATOR_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "operator")


class Session:
    def __init__(self, sid, token, code, options):
        self.id, self.token, self.code, self.options = sid, token, code, options
        self.agent = None            # the agent's WebSocket once it said hello
        self.operators = []
        self.operator_joins = 0
        self.from_agent = []         # every text the agent sent, in order
        self.hello = None
        self.agent_closed = None     # close code the agent sent, when it closed

    def public(self):
        return {"session_id": self.id, "code": self.code, "hello": self.hello,
                "agent_connected": self.agent is not None, "from_agent": self.from_agent,
                "agent_close_code": self.agent_closed, "operator_joins": self.operator_joins}


class QuickAssist:
    def __init__(self, cp):
        self.cp = cp
        self.codes = {}      # code -> options
        self.sessions = {}   # id -> Session
        self.uploads = {}    # key -> record

    # ---- agent side --------------------------------------------------------------

    def install_agent(self, app):
        r = app.router
        r.add_post("/api/quick-assist/join", self.join)
        r.add_post("/api/quick-assist/recordings/presign", self.presign)
        r.add_put("/api/quick-assist/uploads/{key}", self.upload)
        r.add_get("/api/quick-assist/gateway/{session}", self.agent_socket)

    async def join(self, request):
        try:
            body = json.loads(await request.text())
        except ValueError:
            return web.json_response({"error": "bad json"}, status=400)
        code = body.get("code") if isinstance(body, dict) else None
        options = self.codes.pop(code, None) if isinstance(code, str) else None
        if options is None:
            return web.json_response({"error": "invalid or expired code"}, status=404)
        sid = "qa-" + uuid.uuid4().hex[:12]
        session = Session(sid, secrets.token_urlsafe(24), code, options)
        self.sessions[sid] = session
        reply = {"session_id": sid, "client_token": session.token,
                 "gateway_url": f"wss://127.0.0.1:{self.cp.port}/api/quick-assist/gateway/{sid}"}
        if "recording_required" in options:
            reply["recording_required"] = options["recording_required"]
        return web.json_response(reply, status=201)

    def _session_for_bearer(self, request):
        auth = request.headers.get("Authorization", "")
        token = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        return next((s for s in self.sessions.values() if token and s.token == token), None)

    async def presign(self, request):
        session = self._session_for_bearer(request)
        if session is None:
            return web.json_response({"error": "unauthorized"}, status=401)
        body = json.loads(await request.text())
        if body.get("session_id") != session.id:
            return web.json_response({"error": "wrong session"}, status=403)
        status = session.options.get("presign_status")
        if status:
            return web.json_response({"error": "scripted"}, status=status)
        key = uuid.uuid4().hex
        self.uploads[key] = {"key": key, "session_id": session.id, "format": body.get("format"),
                             "received": False}
        return web.json_response({"upload_url": f"{self.cp.base_url}/api/quick-assist/uploads/{key}",
                                  "headers": {"X-Vela-Upload": key, "Content-Type": "video/mp4",
                                              "X-Ignored": 7}})

    async def upload(self, request):
        record = self.uploads.get(request.match_info["key"])
        if record is None or request.headers.get("X-Vela-Upload") != record["key"]:
            return web.json_response({"error": "unknown upload"}, status=403)
        digest, size = hashlib.sha256(), 0
        while True:
            chunk = await request.content.read(1 << 16)
            if not chunk:
                break
            digest.update(chunk)
            size += len(chunk)
        record.update(received=True, bytes=size, sha256=digest.hexdigest(),
                      content_type=request.headers.get("Content-Type"))
        return web.Response(status=200)

    async def agent_socket(self, request):
        session = self.sessions.get(request.match_info["session"])
        if session is None:
            return web.json_response({"error": "no such session"}, status=404)
        ws = web.WebSocketResponse(max_msg_size=0)
        await ws.prepare(request)
        first = await ws.receive()
        if first.type != WSMsgType.TEXT:
            return ws
        session.from_agent.append(first.data)
        hello = json.loads(first.data)
        session.hello = hello
        if hello.get("type") != "hello" or hello.get("token") != session.token:
            await ws.send_str(json.dumps({"type": "error", "code": "unauthorized"}))
            await ws.close()
            return ws
        session.agent = ws
        for text in session.options.get("script", []):
            if text.startswith("binary:"):
                await ws.send_bytes(text[len("binary:"):].encode())
            else:
                await ws.send_str(text)
        if session.operators and session.options.get("ready", True):
            await ws.send_str(self._ready())
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    session.from_agent.append(msg.data)
                    for op in list(session.operators):
                        await op.send_str(msg.data)
        finally:
            session.agent_closed = ws.close_code
            if session.agent is ws:
                session.agent = None
        return ws

    @staticmethod
    def _ready():
        ice = {"ice": {"urls": [], "username": "", "credential": ""}}
        return json.dumps({"type": "ready", "data": base64.b64encode(json.dumps(ice).encode()).decode()})

    # ---- admin side --------------------------------------------------------------

    def install_admin(self, app):
        r = app.router
        r.add_post("/admin/quick-assist/codes", self.issue_code)
        r.add_get("/admin/quick-assist/sessions", self.list_sessions)
        r.add_post("/admin/quick-assist/sessions/{session}/send", self.send_to_agent)
        r.add_post("/admin/quick-assist/sessions/{session}/drop", self.drop_agent)
        r.add_get("/admin/quick-assist/sessions/{session}/operator", self.operator_socket)
        r.add_get("/admin/quick-assist/uploads", self.list_uploads)
        r.add_get("/quick-assist/operator/", self.operator_page)
        r.add_get("/quick-assist/operator/{name}", self.operator_page)

    async def issue_code(self, request):
        raw = await request.text()
        options = json.loads(raw) if raw else {}
        code = str(options.pop("code", None) or secrets.randbelow(10 ** 9)).zfill(9)
        self.codes[code] = options
        return web.json_response({"code": code}, status=201)

    async def list_sessions(self, request):
        return web.json_response([s.public() for s in self.sessions.values()])

    def _session(self, request):
        session = self.sessions.get(request.match_info["session"])
        if session is None:
            raise web.HTTPNotFound(text="no such session")
        return session

    async def send_to_agent(self, request):
        session = self._session(request)
        if session.agent is None:
            return web.json_response({"error": "agent not connected"}, status=409)
        await session.agent.send_str(await request.text())
        return web.json_response({"sent": True})

    async def drop_agent(self, request):
        session = self._session(request)
        if session.agent is None:
            return web.json_response({"error": "agent not connected"}, status=409)
        # The transport goes without a closing handshake, as a broken network would.
        session.agent._req.transport.abort()
        return web.json_response({"dropped": True})

    async def list_uploads(self, request):
        return web.json_response(list(self.uploads.values()))

    async def operator_socket(self, request):
        session = self._session(request)
        ws = web.WebSocketResponse(max_msg_size=0)
        await ws.prepare(request)
        session.operators.append(ws)
        session.operator_joins += 1
        if session.agent is not None and session.options.get("ready", True):
            await session.agent.send_str(self._ready() if session.operator_joins == 1
                                         else json.dumps({"type": "renegotiate"}))
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT and session.agent is not None:
                    await session.agent.send_str(msg.data)
        finally:
            session.operators.remove(ws)
        return ws

    FILES = {"": "index.html", "index.html": "index.html", "operator.js": "operator.js",
             "quick_assist.js": "quick_assist.js"}

    async def operator_page(self, request):
        name = self.FILES.get(request.match_info.get("name", ""))
        if name is None:
            raise web.HTTPNotFound(text="no such file")
        with open(os.path.join(OPERATOR_DIR, name), "rb") as f:
            body = f.read()
        if name == "index.html":
            # The desktop page, with the quick-assist relay in place of the agent relay.
            body = body.replace(b'<script src="session.js"></script>', b'<script src="quick_assist.js"></script>')
            return web.Response(body=body, content_type="text/html")
        return web.Response(body=body, content_type="text/javascript")
