#!/usr/bin/python3
"""Test control plane for vela-agent.

  controlplane.py init DIR [--port N]          new CA, server certificate, signing keys,
                                               provisioning.json with a one-time token
  controlplane.py serve DIR [--port N] [--admin-port M]
                                               HTTPS agent API + HTTP admin API on
                                               127.0.0.1; ports land in DIR/ports.json
  controlplane.py token DIR                    issue an enrolment token
  controlplane.py agents|results|heartbeats|commands DIR [--agent ID]
  controlplane.py queue DIR --agent ID --type T [--payload JSON] [--id ID] [--tamper K]
  controlplane.py publish DIR --version V --file F [--channel C] [--os O] [--arch A]
  controlplane.py fault DIR --path P [--status S] [--body B] [--delay SEC] [--drop]
                                               [--count N] [--agent ID]

Port 0 picks free ports.
"""

import argparse
import asyncio
import json
import logging
import os
import sys
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cplane import state  # noqa: E402


class CLIError(Exception):
    pass


def admin_call(directory, method, path, body=None):
    ports = state.read_json(state.path(directory, "ports.json"), None)
    if not ports:
        raise CLIError(f"no running server for {directory} (ports.json missing)")
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(ports["admin_url"] + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request) as response:
            raw = response.read()
    except urllib.error.HTTPError as e:
        raise CLIError(f"HTTP {e.code}: {e.read().decode('utf-8', 'replace').strip()}")
    except urllib.error.URLError as e:
        raise CLIError(f"server not reachable: {e.reason}")
    return json.loads(raw) if raw else None


def print_json(value):
    print(json.dumps(value, indent=2, ensure_ascii=False))


def cmd_init(args):
    token = state.init(args.dir, args.port)
    print(f"initialised {args.dir}; enrolment token {token}")


def cmd_serve(args):
    from cplane import server
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    asyncio.run(server.serve(args.dir, args.port, args.admin_port))


def cmd_token(args):
    if state.read_json(state.path(args.dir, "ports.json"), None):
        print(admin_call(args.dir, "POST", "/admin/tokens", {})["token"])
        return
    # No server running: add the token to the file the next server start reads.
    store = state.Store(args.dir)
    print(store.issue_token())


def listing(path):
    def run(args):
        suffix = "?agent_id=" + urllib.request.quote(args.agent) if args.agent else ""
        print_json(admin_call(args.dir, "GET", path + suffix))
    return run


def cmd_agents(args):
    print_json(admin_call(args.dir, "GET", "/admin/agents"))


def cmd_queue(args):
    body = {"agent_id": args.agent, "type": args.type}
    if args.payload is not None:
        body["payload_json"] = args.payload
    if args.id:
        body["id"] = args.id
    if args.tamper:
        body["tamper"] = args.tamper
    print(admin_call(args.dir, "POST", "/admin/commands", body)["id"])


def cmd_publish(args):
    body = {"version": args.version, "file": os.path.abspath(args.file)}
    for key in ("channel", "os", "arch", "tamper"):
        if getattr(args, key):
            body[key] = getattr(args, key)
    print_json(admin_call(args.dir, "POST", "/admin/updates", body))


def cmd_fault(args):
    body = {"path": args.path, "count": args.count}
    if args.status is not None:
        body["status"] = args.status
    if args.body is not None:
        body["body"] = args.body
    if args.delay is not None:
        body["delay"] = args.delay
    if args.drop:
        body["drop"] = True
    if args.agent:
        body["agent_id"] = args.agent
    print_json(admin_call(args.dir, "POST", "/admin/faults", body))


def parser():
    p = argparse.ArgumentParser(prog="controlplane.py", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)

    def add(name, func, **kw):
        sp = sub.add_parser(name, **kw)
        sp.add_argument("dir")
        sp.set_defaults(func=func)
        return sp

    sp = add("init", cmd_init)
    sp.add_argument("--port", type=int, default=state.DEFAULT_PORT,
                    help="port written into provisioning.json until serve rewrites it")
    sp = add("serve", cmd_serve)
    sp.add_argument("--port", type=int, default=state.DEFAULT_PORT)
    sp.add_argument("--admin-port", type=int, default=state.DEFAULT_PORT + 1)
    add("token", cmd_token)
    add("agents", cmd_agents)
    for name in ("results", "heartbeats", "commands"):
        add(name, listing("/admin/" + name)).add_argument("--agent")
    sp = add("queue", cmd_queue)
    sp.add_argument("--agent", required=True)
    sp.add_argument("--type", required=True)
    sp.add_argument("--payload", help="JSON document, sent verbatim")
    sp.add_argument("--id")
    sp.add_argument("--tamper")
    sp = add("publish", cmd_publish)
    sp.add_argument("--version", required=True)
    sp.add_argument("--file", required=True)
    sp.add_argument("--channel")
    sp.add_argument("--os")
    sp.add_argument("--arch")
    sp.add_argument("--tamper")
    sp = add("fault", cmd_fault)
    sp.add_argument("--path", required=True)
    sp.add_argument("--status", type=int)
    sp.add_argument("--body")
    sp.add_argument("--delay", type=float)
    sp.add_argument("--drop", action="store_true")
    sp.add_argument("--count", type=int, default=1)
    sp.add_argument("--agent")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        args.func(args)
    except (CLIError, FileExistsError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
