"""The HTTPS agent API and the plain-HTTP admin API, both on 127.0.0.1 only.

One process, one event loop, state in memory (tokens and agents mirrored to the
directory). Every handler answers malformed input with a 4xx and a short text; a
middleware turns anything unexpected into a 500 so that no request stops the server.
"""

import asyncio
import base64
import collections
import hashlib
import logging
import os
import secrets
import signal
import ssl
import time
import uuid

from aiohttp import web

from . import canonical, pki, state
from .canonical import Number
from .commands import CommandBook, TAMPER_KINDS as COMMAND_TAMPERS
from .updates import UpdateShelf, TAMPER_KINDS as UPDATE_TAMPERS
from .quick_assist import QuickAssist

log = logging.getLogger("controlplane")

HOST = "127.0.0.1"


def now_iso():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def text(status, message):
    return web.Response(status=status, text=message + "\n")


def json_response(value, status=200):
    return web.Response(status=status, body=canonical.encode_bytes(value),
                        content_type="application/json")


class BadRequest(Exception):
    def __init__(self, message, status=400):
        super().__init__(message)
        self.status = status


async def read_object(request):
    raw = await request.read()
    try:
        value = canonical.parse(raw)
    except (ValueError, UnicodeDecodeError, RecursionError):
        raise BadRequest("invalid JSON body")
    if not isinstance(value, dict):
        raise BadRequest("JSON body must be an object")
    return value


def want_string(obj, key, required=True):
    value = obj.get(key)
    if value is None and not required:
        return None
    if not isinstance(value, str) or (required and not value):
        raise BadRequest(f"field '{key}' must be a non-empty string")
    return value


def client_cert_fingerprint(request):
    ssl_object = request.transport.get_extra_info("ssl_object") if request.transport else None
    if ssl_object is None:
        return None
    der = ssl_object.getpeercert(binary_form=True)
    return hashlib.sha256(der).hexdigest() if der else None


class ControlPlane:
    def __init__(self, directory):
        self.directory = directory
        self.store = state.Store(directory)
        self.commands = CommandBook(self.store)
        self.updates = UpdateShelf(self.store.update_key)
        self.heartbeats = []
        self.results = []
        self.faults = []
        self.requests = collections.deque(maxlen=500)
        self.next_fault = 1
        self.port = None
        self.quick_assist = QuickAssist(self)

    @property
    def base_url(self):
        return state.server_url(self.port)

    # ---- agent API -------------------------------------------------------------

    def agent_app(self):
        app = web.Application(middlewares=[self._record, self._guard, self._faults])
        app.router.add_post("/api/agent/enroll", self.enroll)
        app.router.add_post("/api/agent/telemetry", self.telemetry)
        app.router.add_get("/api/agent/commands", self.poll)
        app.router.add_post("/api/agent/commands/result", self.result)
        app.router.add_post("/api/agent/commands/{id:.+}/result", self.result)
        app.router.add_get("/api/agent/update/check", self.update_check)
        app.router.add_get("/downloads/{name}", self.download)
        self.quick_assist.install_agent(app)
        return app

    @web.middleware
    async def _record(self, request, handler):
        entry = {"at": now_iso(), "method": request.method, "path": request.path,
                 "query": request.query_string, "user_agent": request.headers.get("User-Agent"),
                 "client_cert_fingerprint": client_cert_fingerprint(request), "status": None}
        self.requests.append(entry)
        try:
            response = await handler(request)
        except web.HTTPException as e:
            entry["status"] = e.status
            raise
        entry["status"] = response.status
        return response

    @web.middleware
    async def _guard(self, request, handler):
        try:
            return await handler(request)
        except BadRequest as e:
            return text(e.status, str(e))
        except (web.HTTPException, asyncio.CancelledError, ConnectionResetError):
            raise
        except Exception:
            log.exception("handler failed for %s %s", request.method, request.path)
            return text(500, "internal error")

    @web.middleware
    async def _faults(self, request, handler):
        fault = self._take_fault(request)
        if fault is None:
            return await handler(request)
        log.info("scripted fault %s on %s", fault["id"], request.path)
        if fault.get("delay") is not None:
            await asyncio.sleep(float(fault["delay"].text))
        if fault.get("patch") is not None:
            return _patched(await handler(request), fault["patch"])
        if fault.get("drop"):
            # The client sees the connection close without any reply.
            request.transport.abort()
            return web.Response(status=499)
        if fault.get("status") is None:
            return await handler(request)
        body = fault.get("body")
        if body is None:
            return web.Response(status=fault["status"],
                                text="" if fault["status"] == 204 else "scripted fault\n")
        # A declared encoding is sent as such (the body is already encoded), so that
        # compressed and oversized replies can be scripted byte for byte.
        headers = {}
        if fault.get("content_encoding"):
            headers["Content-Encoding"] = fault["content_encoding"]
        content_type = fault.get("content_type") or "application/json"
        if fault.get("repeat", 1) == 1:
            return web.Response(status=fault["status"], body=body, headers=headers,
                                content_type=content_type)
        # A huge reply is streamed, never held: the body `repeat` times over.
        response = web.StreamResponse(status=fault["status"], headers=headers)
        response.content_type = content_type
        await response.prepare(request)
        try:
            for _ in range(fault["repeat"]):
                await response.write(body)
            await response.write_eof()
        except ConnectionError:
            pass  # the client stopped reading, as it should
        return response

    def _take_fault(self, request):
        agent = None
        for fault in self.faults:
            if fault["path"] != request.path:
                continue
            if fault.get("agent_id"):
                if agent is None:
                    agent = self.store.agent_for_bearer(request.headers.get("Authorization"))
                if agent != fault["agent_id"]:
                    continue
            fault["remaining"] -= 1
            if fault["remaining"] <= 0:
                self.faults.remove(fault)
            return fault
        return None

    def _bearer(self, request):
        agent_id = self.store.agent_for_bearer(request.headers.get("Authorization"))
        if agent_id is None:
            raise BadRequest("unauthorized", 401)
        return agent_id

    async def enroll(self, request):
        body = await read_object(request)
        token = body.get("token")
        hostname = want_string(body, "hostname")
        public_key = want_string(body, "public_key")
        csr_pem = want_string(body, "csr")
        if not isinstance(token, str) or token not in self.store.unused_tokens:
            return text(422, "invalid or expired enrollment token")
        try:
            csr = pki.check_csr(csr_pem, public_key, hostname)
        except pki.CSRError as e:
            return text(400, str(e))
        if not self.store.consume_token(token):
            return text(422, "invalid or expired enrollment token")
        agent_id = str(uuid.uuid4())
        cert = pki.issue_client_cert(self.store.ca_key, self.store.ca_cert, csr, agent_id)
        reply = {"agent_id": agent_id, "device_token": "dev-" + secrets.token_urlsafe(24),
                 "certificate": pki.cert_reply(cert)}
        record = {key: canonical.to_plain(body[key]) for key in
                  ("hostname", "os", "os_version", "arch", "agent_version", "capabilities",
                   "tenant_id", "customer_id") if key in body}
        record.update({"agent_id": agent_id, "device_token": reply["device_token"],
                       "enrolled_at": now_iso(), "cert_serial": reply["certificate"]["serial"],
                       "cert_fingerprint": reply["certificate"]["fingerprint"],
                       "last_sequence_no": 0})
        self.store.agents[agent_id] = record
        self.store.save_agents()
        log.info("enrolled %s as %s", hostname, agent_id)
        return json_response(reply, 201)

    async def telemetry(self, request):
        agent_id = self._bearer(request)
        body = await read_object(request)
        self.heartbeats.append({"agent_id": agent_id, "received_at": now_iso(), "body": body})
        return web.Response(status=204)

    async def poll(self, request):
        agent_id = self._bearer(request)
        wire = self.commands.deliver(agent_id)
        if not wire:
            return web.Response(status=204)
        return json_response({"commands": wire})

    async def result(self, request):
        agent_id = self._bearer(request)
        command_id = request.match_info.get("id")
        body = await read_object(request)
        self.results.append({"agent_id": agent_id, "command_id": command_id,
                             "received_at": now_iso(), "body": body})
        self.commands.record_result(agent_id, command_id, body)
        return web.Response(status=204)

    async def update_check(self, request):
        query = request.query
        missing = [k for k in ("os", "arch", "channel", "current_version") if not query.get(k)]
        if missing:
            return text(400, "missing query parameter '" + missing[0] + "'")
        offer = self.updates.offer(query["channel"], query["os"], query["arch"],
                                   query["current_version"])
        if offer is None:
            return web.Response(status=204)
        return json_response({"update_available": True, "manifest": offer})

    async def download(self, request):
        data = self.updates.artifact(request.match_info["name"])
        if data is None:
            return text(404, "no such artifact")
        return web.Response(body=data, content_type="application/octet-stream")

    # ---- admin API -------------------------------------------------------------

    def admin_app(self):
        app = web.Application(middlewares=[self._guard], client_max_size=512 * 1024 * 1024)
        r = app.router
        r.add_get("/admin/health", self.admin_health)
        r.add_post("/admin/tokens", self.admin_token)
        r.add_get("/admin/agents", self.admin_agents)
        r.add_post("/admin/commands", self.admin_queue)
        r.add_get("/admin/commands", self.admin_commands)
        r.add_post("/admin/sign", self.admin_sign)
        r.add_get("/admin/results", self.admin_results)
        r.add_get("/admin/heartbeats", self.admin_heartbeats)
        r.add_post("/admin/updates", self.admin_publish)
        r.add_get("/admin/updates", self.admin_updates)
        r.add_delete("/admin/updates", self.admin_withdraw)
        r.add_post("/admin/faults", self.admin_fault)
        r.add_get("/admin/faults", self.admin_faults)
        r.add_delete("/admin/faults", self.admin_clear_faults)
        r.add_get("/admin/requests", self.admin_requests)
        r.add_get("/operator/", self.operator_page)
        r.add_get("/operator/{name}", self.operator_page)
        self.quick_assist.install_admin(app)
        return app

    # The operator's remote-desktop page: static files, no build step.
    OPERATOR_FILES = {"": ("index.html", "text/html"), "index.html": ("index.html", "text/html"),
                      "operator.js": ("operator.js", "text/javascript"),
                      "session.js": ("session.js", "text/javascript")}

    async def operator_page(self, request):
        entry = self.OPERATOR_FILES.get(request.match_info.get("name", ""))
        if entry is None:
            return text(404, "no such file")
        path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "operator", entry[0])
        with open(path, "rb") as f:
            return web.Response(body=f.read(), content_type=entry[1])

    def _known_agent(self, agent_id):
        if not isinstance(agent_id, str) or agent_id not in self.store.agents:
            raise BadRequest("unknown agent", 404)
        return agent_id

    @staticmethod
    def _filter(items, request):
        agent_id = request.query.get("agent_id")
        return [i for i in items if not agent_id or i.get("agent_id") == agent_id]

    async def admin_health(self, request):
        return json_response({"ok": True, "base_url": self.base_url})

    async def admin_token(self, request):
        return json_response({"token": self.store.issue_token()}, 201)

    async def admin_agents(self, request):
        return json_response(list(self.store.agents.values()))

    async def admin_queue(self, request):
        body = await read_object(request)
        agent_id = self._known_agent(body.get("agent_id"))
        kind = want_string(body, "type")
        payload = _payload_of(body)
        command_id = want_string(body, "id", required=False)
        tamper = want_string(body, "tamper", required=False)
        if tamper is not None and tamper not in COMMAND_TAMPERS:
            raise BadRequest("tamper must be one of " + ", ".join(COMMAND_TAMPERS))
        command = self.commands.queue(agent_id, kind, payload, command_id, tamper)
        return json_response(self.commands.describe(command), 201)

    async def admin_commands(self, request):
        return json_response(self._filter(
            [self.commands.describe(c) for c in self.commands.all], request))

    async def admin_sign(self, request):
        body = await read_object(request)
        agent_id = want_string(body, "agent_id")
        kind = want_string(body, "type")
        fields = {}
        for key in ("sequence_no", "issued_at"):
            if key in body:
                value = body[key]
                if not isinstance(value, Number) or value.as_int() is None:
                    raise BadRequest(f"field '{key}' must be an integer")
                fields[key] = value.as_int()
        if "nonce" in body:
            fields["nonce"] = want_string(body, "nonce")
        command_id = want_string(body, "id", required=False)
        signed = self.commands.sign(agent_id, kind, _payload_of(body), command_id, **fields)
        return json_response(signed)

    async def admin_results(self, request):
        return json_response(self._filter(self.results, request))

    async def admin_heartbeats(self, request):
        return json_response(self._filter(self.heartbeats, request))

    async def admin_publish(self, request):
        body = await read_object(request)
        version = want_string(body, "version")
        if "data_base64" in body:
            try:
                data = base64.b64decode(want_string(body, "data_base64"), validate=True)
            except ValueError:
                raise BadRequest("data_base64 is not base64")
        else:
            try:
                with open(want_string(body, "file"), "rb") as f:
                    data = f.read()
            except OSError as e:
                raise BadRequest(f"cannot read file: {e.strerror}")
        tamper = want_string(body, "tamper", required=False)
        if tamper is not None and tamper not in UPDATE_TAMPERS:
            raise BadRequest("tamper must be one of " + ", ".join(UPDATE_TAMPERS))
        manifest = self.updates.publish(
            self.base_url, version, data,
            channel=want_string(body, "channel", required=False) or "stable",
            os_name=want_string(body, "os", required=False) or "linux",
            arch=want_string(body, "arch", required=False) or machine_arch(),
            tamper=tamper)
        return json_response(manifest, 201)

    async def admin_updates(self, request):
        return json_response(self.updates.manifests())

    async def admin_withdraw(self, request):
        self.updates.clear()
        return web.Response(status=204)

    async def admin_fault(self, request):
        body = await read_object(request)
        path = want_string(body, "path")
        if not path.startswith("/"):
            raise BadRequest("path must start with /")
        fault = {"id": self.next_fault, "path": path,
                 "agent_id": want_string(body, "agent_id", required=False),
                 "body": _fault_body(body),
                 "content_type": want_string(body, "content_type", required=False),
                 "content_encoding": want_string(body, "content_encoding", required=False),
                 "drop": body.get("drop") is True, "patch": body.get("patch")}
        if fault["patch"] is not None and not isinstance(fault["patch"], dict):
            raise BadRequest("field 'patch' must be an object")
        for key, low, high in (("status", 100, 599), ("count", 1, 1_000_000),
                               ("repeat", 1, 1_000_000)):
            value = body.get(key)
            if value is None:
                continue
            if not isinstance(value, Number) or value.as_int() is None \
                    or not low <= value.as_int() <= high:
                raise BadRequest(f"field '{key}' must be an integer in {low}..{high}")
            fault[key] = value.as_int()
        delay = body.get("delay")
        if delay is not None:
            if not isinstance(delay, Number) or not 0 <= _seconds(delay) <= 3600:
                raise BadRequest("field 'delay' must be a number of seconds up to 3600")
            fault["delay"] = delay
        if fault["body"] is not None and fault.get("status") is None:
            fault["status"] = 200
        fault["remaining"] = fault.pop("count", 1)
        self.next_fault += 1
        self.faults.append(fault)
        return json_response(_public_fault(fault), 201)

    async def admin_faults(self, request):
        return json_response([_public_fault(f) for f in self.faults])

    async def admin_clear_faults(self, request):
        self.faults.clear()
        return web.Response(status=204)

    async def admin_requests(self, request):
        return json_response(list(self.requests))


def _payload_of(body):
    """An admin request's command payload: `payload` as a JSON value, or `payload_json`
    as text (so that shells and C++ callers can pass a document verbatim)."""
    if "payload_json" in body:
        try:
            return canonical.parse(want_string(body, "payload_json"))
        except (ValueError, UnicodeDecodeError, RecursionError):
            raise BadRequest("payload_json is not JSON")
    payload = body.get("payload")
    return {} if payload is None else payload


def _merge(value, patch):
    for key, change in patch.items():
        if change is None:
            value.pop(key, None)
        elif isinstance(change, dict) and isinstance(value.get(key), dict):
            _merge(value[key], change)
        else:
            value[key] = change
    return value


def _patched(response, patch):
    """The handler's JSON reply with `patch` merged in (nested objects merged, null
    removes a key), so that one hostile value can ride on an otherwise genuine reply."""
    try:
        value = canonical.parse(response.body)
    except (ValueError, UnicodeDecodeError, RecursionError, TypeError):
        return response
    if not isinstance(value, dict):
        return response
    return json_response(_merge(value, patch), response.status)


def _fault_body(body):
    """A fault's reply body as bytes: `body` as UTF-8 text or `body_base64` verbatim."""
    if "body_base64" in body:
        try:
            return base64.b64decode(want_string(body, "body_base64"), validate=True)
        except ValueError:
            raise BadRequest("body_base64 is not base64")
    text = want_string(body, "body", required=False)
    return None if text is None else text.encode("utf-8")


def _seconds(number):
    try:
        return float(number.text)
    except ValueError:
        return -1.0


def _public_fault(fault):
    public = {k: v for k, v in fault.items() if v is not None}
    if "body" in public:
        try:
            public["body"] = public["body"].decode("utf-8")
        except UnicodeDecodeError:
            public["body_base64"] = base64.b64encode(public.pop("body")).decode("ascii")
    return public


def machine_arch():
    machine = os.uname().machine
    return {"x86_64": "amd64", "aarch64": "arm64"}.get(machine, machine)


def tls_context(directory):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(state.path(directory, "server.pem"), state.path(directory, "server.key"))
    # Agents holding an issued certificate may present it; nobody is required to.
    ctx.load_verify_locations(state.path(directory, "ca.pem"))
    ctx.verify_mode = ssl.CERT_OPTIONAL
    return ctx


async def serve(directory, port, admin_port, ready=None):
    cp = ControlPlane(directory)
    agent_runner = web.AppRunner(cp.agent_app())
    admin_runner = web.AppRunner(cp.admin_app(), access_log=None)
    await agent_runner.setup()
    await admin_runner.setup()
    await web.TCPSite(agent_runner, HOST, port, ssl_context=tls_context(directory)).start()
    await web.TCPSite(admin_runner, HOST, admin_port).start()
    cp.port = agent_runner.addresses[0][1]
    actual_admin = admin_runner.addresses[0][1]
    state.write_provisioning(directory, cp.port)
    ports_file = state.path(directory, "ports.json")
    state.write_json(ports_file, {"port": cp.port, "admin_port": actual_admin, "pid": os.getpid(),
                                  "base_url": cp.base_url,
                                  "admin_url": f"http://{HOST}:{actual_admin}"})
    print(f"agent API https://{HOST}:{cp.port}  admin http://{HOST}:{actual_admin}", flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if ready is not None:
        ready(cp)
    try:
        await stop.wait()
    finally:
        try:
            os.remove(ports_file)
        except OSError:
            pass
        await agent_runner.cleanup()
        await admin_runner.cleanup()
