#!/usr/bin/env bash
# The agent's main job on this machine, against the local test control plane:
# builds the agent, starts the control plane and its gateway (the agent dials the
# gateway on port 8443, which must be free), installs the agent with a provisioning
# document beside it (as an installer would), runs `vela-agent run` in the foreground
# (it provisions, enrols and starts its loop), queues a ping and an inventory command,
# runs `uname -a; id` in a remote shell through the gateway and shows what came back.
# With --desktop it also starts Xvfb with a window on it and the agent serving desktop
# sessions on that display, and prints the operator page's URL, which opens a session
# when loaded in a browser on this machine.
# Ctrl-C stops everything cleanly.
# Usage: scripts/demo.sh [--desktop]
set -euo pipefail
DESKTOP=""
[ "${1:-}" = "--desktop" ] && DESKTOP=1
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=/usr/bin/python3
CP="$PY $ROOT/tools/controlplane/controlplane.py"
GW="$PY $ROOT/tools/controlplane/gateway.py"

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target vela-agent

DEMO=$(mktemp -d /tmp/vela-demo-XXXXXX)
echo "demo directory: $DEMO"
$CP init "$DEMO/cp" >/dev/null
$CP serve "$DEMO/cp" --port 0 --admin-port 0 >"$DEMO/controlplane.log" 2>&1 &
CP_PID=$!
AGENT_PID=""
GW_PID=""
X_PID=""
WINDOW_PID=""
cleanup() {
  trap - INT TERM EXIT
  [ -n "$AGENT_PID" ] && kill -INT "$AGENT_PID" 2>/dev/null && wait "$AGENT_PID" 2>/dev/null || true
  [ -n "$WINDOW_PID" ] && kill "$WINDOW_PID" 2>/dev/null && wait "$WINDOW_PID" 2>/dev/null || true
  [ -n "$X_PID" ] && kill "$X_PID" 2>/dev/null && wait "$X_PID" 2>/dev/null || true
  [ -n "$GW_PID" ] && kill "$GW_PID" 2>/dev/null && wait "$GW_PID" 2>/dev/null || true
  kill "$CP_PID" 2>/dev/null && wait "$CP_PID" 2>/dev/null || true
  echo "stopped; files are in $DEMO"
}
trap cleanup INT TERM EXIT
for _ in $(seq 100); do [ -f "$DEMO/cp/ports.json" ] && break; sleep 0.1; done
echo "control plane: $($PY -c 'import json,sys; print(json.load(open(sys.argv[1]))["base_url"])' "$DEMO/cp/ports.json")"

# The gateway shares the control plane's directory: its server certificate and the
# device tokens of enrolled agents.
$GW "$DEMO/cp" --port 8443 --operator-port 0 >"$DEMO/gateway.log" 2>&1 &
GW_PID=$!
for _ in $(seq 100); do
  [ -f "$DEMO/cp/gateway.json" ] && break
  kill -0 "$GW_PID" 2>/dev/null || { cat "$DEMO/gateway.log"; echo "the gateway did not start (is port 8443 in use?)"; exit 1; }
  sleep 0.1
done
echo "gateway: wss://127.0.0.1:8443/v1/agent/conn"

# An installed agent with its provisioning document beside it.
mkdir -p "$DEMO/bin"
cp build/release/src/vela-agent "$DEMO/bin/vela-agent"
cp "$DEMO/cp/provisioning.json" "$DEMO/bin/provisioning.json"
export VELA_STATE_DIR="$DEMO/state"

if [ -n "$DESKTOP" ]; then
  # A screen of its own for the agent to serve, with a window to look at and click.
  exec 3>"$DEMO/display"
  Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 2>"$DEMO/xvfb.log" &
  X_PID=$!
  exec 3>&-
  for _ in $(seq 100); do [ -s "$DEMO/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(cat "$DEMO/display")"
  $PY "$ROOT/tools/demo_window.py" >/dev/null 2>"$DEMO/window.log" &
  WINDOW_PID=$!
  # Session recordings go to the state directory's recordings/.
  echo "display $DISPLAY (Xvfb) with a demo window; recordings go to $VELA_STATE_DIR/recordings"
fi

"$DEMO/bin/vela-agent" run &
AGENT_PID=$!
for _ in $(seq 100); do
  AGENT_ID=$($PY -c 'import json,sys
try: print(json.load(open(sys.argv[1])).get("agentID",""))
except Exception: print("")' "$VELA_STATE_DIR/config.json" 2>/dev/null)
  [ -n "$AGENT_ID" ] && break
  sleep 0.2
done
[ -n "$AGENT_ID" ] || { echo "the agent did not enrol"; exit 1; }
echo "agent enrolled as $AGENT_ID"
"$DEMO/bin/vela-agent" status

$CP queue "$DEMO/cp" --agent "$AGENT_ID" --type ping >/dev/null
$CP queue "$DEMO/cp" --agent "$AGENT_ID" --type collect_inventory >/dev/null
echo "queued ping and collect_inventory; waiting for the next poll (every 15 s)…"
for _ in $(seq 60); do
  COUNT=$($PY -c 'import json,sys; print(len(json.loads(sys.stdin.read() or "[]")))' \
    < <($CP results "$DEMO/cp" --agent "$AGENT_ID"))
  [ "$COUNT" -ge 2 ] && break
  sleep 0.5
done
echo "== results received by the control plane"
$CP results "$DEMO/cp" --agent "$AGENT_ID" | $PY -c '
import json, sys
for r in json.load(sys.stdin):
    body = r["body"]
    result = body.get("result")
    text = result.get("output", "") if isinstance(result, dict) else str(result)
    print("%s: exit %s: %s" % (r.get("command_id"), body.get("exit_code"), text[:160]))'
echo "== remote shell through the gateway: uname -a; id"
$GW exec "$DEMO/cp" "$AGENT_ID" 'uname -a; id' || echo "the remote shell failed"
echo "== heartbeats received: $($CP heartbeats "$DEMO/cp" --agent "$AGENT_ID" | $PY -c 'import json,sys; print(len(json.load(sys.stdin)))')"
if [ -n "$DESKTOP" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    # A root daemon leaves the screen to a per-user helper; the `gateway` command serves
    # desktop sessions itself, on the same identity.
    kill -INT "$AGENT_PID"; wait "$AGENT_PID" || true
    "$DEMO/bin/vela-agent" gateway 2>>"$DEMO/agent-gateway.log" &
    AGENT_PID=$!
    echo "the daemon stopped; \`vela-agent gateway\` serves desktop sessions now (log: $DEMO/agent-gateway.log)"
  fi
  OPERATOR=$($PY -c 'import json,sys; print(json.load(open(sys.argv[1]))["operator_port"])' "$DEMO/cp/gateway.json")
  for _ in $(seq 100); do
    curl -sf "http://127.0.0.1:$OPERATOR/agents" | grep -q "$AGENT_ID" && break
    sleep 0.2
  done
  echo "== remote desktop: open this page in a browser on this machine; it opens an"
  echo "   unattended session on $DISPLAY (the banner shows on that screen) and shows it:"
  echo "   http://127.0.0.1:$OPERATOR/operator/?agent=$AGENT_ID&open=unattended"
fi
echo "the agent keeps running; press Ctrl-C to stop"
wait "$AGENT_PID"
