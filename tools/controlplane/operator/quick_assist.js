// The operator's side of a quick-assist session: the desktop page (operator.js) talking
// to the control plane's session gateway (?qa=SESSION_ID). Signals travel as
// {"type":"signal","data":Base64}; velaQuickAssist.end() sends "ended".
"use strict";

const velaQuickAssist = (() => {
  const op = window.velaOperator;
  const session = new URLSearchParams(location.search).get("qa");
  const base = (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
  const received = [];
  let ws = null;

  function connect() {
    const socket = new WebSocket(base + "/admin/quick-assist/sessions/" + encodeURIComponent(session) + "/operator");
    ws = socket;
    socket.onmessage = (e) => {
      let message;
      try { message = JSON.parse(e.data); } catch (_) { return; }
      received.push(message);
      const type = message.type ?? message.Type;
      const data = message.Data ?? message.data;
      if (type === "signal" && typeof data === "string") {
        op.receive(op.canonical({ type: "desktop.signal", session_id: op.session(), data }));
      }
    };
    op.setTransport((text) => {
      const frame = JSON.parse(text);
      if (frame.type === "desktop.signal" && socket.readyState === WebSocket.OPEN) {
        socket.send(JSON.stringify({ type: "signal", data: frame.data }));
      }
    });
    return new Promise((resolve) => { socket.onopen = () => resolve(true); });
  }

  function end() {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "ended" }));
    op.hangUp();
  }

  if (session) connect();
  return { connect, end, received: () => received.slice() };
})();
window.velaQuickAssist = velaQuickAssist;
