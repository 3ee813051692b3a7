// Opening and closing a desktop session on an enrolled agent through the test gateway's
// operator relay (GET /agents/{agent}/ws on the gateway's operator port). Served by the
// gateway itself, the page lists the connected agents; served elsewhere it needs
// ?gateway=ws://127.0.0.1:PORT. ?agent=ID preselects an agent; with ?open=MODE
// ("attended" or "unattended") the page opens a session on it at once. Without a relay the page
// keeps its outbox transport (velaOperator.drain / receive) untouched.
"use strict";

const velaSession = (() => {
  const op = window.velaOperator;
  const params = new URLSearchParams(location.search);
  const $ = (id) => document.getElementById(id);
  const base = params.get("gateway") || (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
  const events = [];           // every lifecycle frame of this page's sessions, decoded
  let socket = null;
  let socketAgent = null;

  function note(event) {
    events.push(event);
    const line = event.type + " " + JSON.stringify(Object.fromEntries(
      Object.entries(event).filter(([k]) => k !== "type" && k !== "session_id")));
    const el = $("events");
    el.textContent += line + "\n";
    el.scrollTop = el.scrollHeight;
    if (event.type === "desktop.opened") $("session-state").textContent = "opened";
    if (event.type === "desktop.consent") $("session-state").textContent = "closed";
    // The reason says who ended it: ended_by_user is the person at the screen.
    if (event.type === "desktop.closed") $("session-state").textContent = "closed: " + event.reason;
    if (event.type === "gateway.agent_gone") $("session-state").textContent = "agent gone";
  }

  // Everything but signals is shown; `data` documents are decoded.
  op.onFrame((frame) => {
    if (frame.type === "gateway.agent_gone") return note(frame);
    if (typeof frame.type !== "string" || !frame.type.startsWith("desktop.") || frame.type === "desktop.signal") return;
    if (frame.session_id !== op.session()) return;
    const event = { type: frame.type, session_id: frame.session_id };
    if (typeof frame.data === "string") Object.assign(event, JSON.parse(op.fromBase64(frame.data)));
    if (frame.message !== undefined) event.message = frame.message;
    if (frame.reason !== undefined) event.reason = frame.reason;
    note(event);
  });

  function connect(agent) {
    if (socket && socketAgent === agent && socket.readyState <= WebSocket.OPEN) {
      return socket.readyState === WebSocket.OPEN ? Promise.resolve() :
        new Promise((resolve, reject) => { socket.addEventListener("open", resolve); socket.addEventListener("error", reject); });
    }
    if (socket) socket.close();
    socketAgent = agent;
    socket = new WebSocket(base + "/agents/" + encodeURIComponent(agent) + "/ws");
    const ws = socket;
    ws.onmessage = (e) => op.receive(e.data);
    ws.onclose = () => { if (socket === ws) socket = null; };
    op.setTransport((text) => { if (ws.readyState === WebSocket.OPEN) ws.send(text); });
    return new Promise((resolve, reject) => {
      ws.onopen = () => resolve();
      ws.onerror = () => reject(new Error("cannot reach the gateway relay at " + base));
    });
  }

  // options: mode, consent, recording, indicator, monitor, operatorName (all optional).
  async function open(agent, options = {}) {
    await connect(agent);
    const session = options.session || "op-" + Math.random().toString(16).slice(2, 10);
    op.setSession(session);
    const doc = { mode: options.mode || "attended", consent: options.consent !== false,
      recording_required: options.recording !== false, mon: options.monitor || 0 };
    if (options.indicator) doc.indicator = options.indicator;
    if (options.operatorName) doc.operator = options.operatorName;
    socket.send(op.canonical({ type: "desktop.open", session_id: session, data: op.toBase64(op.canonical(doc)) }));
    $("session-state").textContent = "opening " + session;
    return session;
  }

  function close(reason = "operator") {
    if (socket && socket.readyState === WebSocket.OPEN) {
      socket.send(op.canonical({ type: "desktop.close", session_id: op.session(), reason }));
    }
    op.hangUp();
    $("session-state").textContent = "closed by operator";
  }

  async function listAgents() {
    if (params.get("gateway")) return;
    try {
      const reply = await fetch("/agents");
      if (!reply.ok) return;
      const select = $("agent");
      for (const { agent } of await reply.json()) {
        if ([...select.options].some((o) => o.value === agent)) continue;
        select.add(new Option(agent, agent));
      }
    } catch (_) { /* not served by the gateway */ }
  }

  if (params.get("agent")) $("agent").add(new Option(params.get("agent"), params.get("agent")));
  $("agents-refresh").addEventListener("click", listAgents);
  $("open").addEventListener("click", () => open($("agent").value, {
    mode: $("mode").value, consent: $("consent").checked, recording: $("recording").checked,
    indicator: $("indicator").value || undefined, operatorName: $("operator-name").value || undefined,
  }).catch((err) => note({ type: "page.error", message: String(err) })));
  $("close").addEventListener("click", () => close());
  listAgents();
  if (params.get("agent") && params.get("open")) {
    const mode = params.get("open");
    open(params.get("agent"), { mode, consent: mode === "attended" })
      .catch((err) => note({ type: "page.error", message: String(err) }));
  }

  return { open, close, connect, events: () => events.slice() };
})();
window.velaSession = velaSession;
