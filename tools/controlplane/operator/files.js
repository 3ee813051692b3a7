// The file panel: lists a directory of the selected agent, uploads a picked file with a
// progress bar and downloads a clicked one, over the file frames on a relay socket of
// its own (docs/file-transfer.md). One transfer at a time from this panel.
"use strict";

const velaFiles = (() => {
  const $ = (id) => document.getElementById(id);
  const params = new URLSearchParams(location.search);
  const base = params.get("gateway") || (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
  let socket = null, socketAgent = null, seq = 0;
  const waiting = {};  // session id -> handler of its frames

  const agent = () => $("agent").value || params.get("agent");
  const state = (text) => { $("files-state").textContent = text; };
  const progress = (done, total) => { $("files-progress").max = total || 1; $("files-progress").value = done; };
  const toBase64 = (bytes) => {
    let s = "";
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(s);
  };
  const fromBase64 = (b64) => Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  const hex = (buf) => Array.from(new Uint8Array(buf), (b) => b.toString(16).padStart(2, "0")).join("");

  function connect() {
    const a = agent();
    if (socket && socketAgent === a && socket.readyState === WebSocket.OPEN) return Promise.resolve(socket);
    if (socket) socket.close();
    socketAgent = a;
    socket = new WebSocket(base + "/agents/" + encodeURIComponent(a) + "/ws");
    socket.onmessage = (e) => {
      const frame = JSON.parse(e.data);
      const handler = waiting[frame.session_id];
      if (handler) handler(frame);
    };
    return new Promise((resolve, reject) => {
      socket.onopen = () => resolve(socket);
      socket.onerror = () => reject(new Error("cannot reach the gateway relay"));
    });
  }

  // Sends the first frame of a new exchange; `step(frame, send)` returns a value to finish.
  async function exchange(first, step) {
    const ws = await connect();
    const id = "files-" + Date.now() + "-" + (++seq);
    const send = (frame) => ws.send(JSON.stringify(Object.assign({ session_id: id }, frame)));
    return new Promise((resolve, reject) => {
      waiting[id] = async (frame) => {
        if (frame.type === "file.error") { delete waiting[id]; reject(new Error(frame.code + ": " + frame.message)); return; }
        try {
          const result = await step(frame, send);
          if (result !== undefined) { delete waiting[id]; resolve(result); }
        } catch (err) { delete waiting[id]; reject(err); }
      };
      send(first);
    });
  }

  async function list(path) {
    const listing = await exchange({ type: "file.list", path }, (f) => (f.type === "file.listing" ? f : undefined));
    $("files-path").value = listing.path;
    const body = $("files-table").tBodies[0];
    body.textContent = "";
    for (const e of listing.entries) {
      const row = body.insertRow();
      row.className = e.type === "dir" ? "dir" : e.type === "file" ? "file" : "";
      for (const v of [e.name, e.type, e.type === "dir" ? "" : e.size, e.mode, e.mtime]) row.insertCell().textContent = v;
      const full = (listing.path === "/" ? "" : listing.path) + "/" + e.name;
      if (e.type === "dir") row.cells[0].onclick = () => list(full).catch((err) => state(err.message));
      if (e.type === "file") row.cells[0].onclick = () => download(full).catch((err) => state(err.message));
    }
    state(`${listing.entries.length} entries${listing.truncated ? " (more not shown)" : ""}`);
    return listing;
  }

  async function upload(file, directory, options = {}) {
    const data = new Uint8Array(await file.arrayBuffer());
    const sha256 = hex(await crypto.subtle.digest("SHA-256", data));
    const path = (directory === "/" ? "" : directory.replace(/\/+$/, "")) + "/" + file.name;
    let offset = 0, acked = 0, window = 0, chunk = 0;
    progress(0, data.length);
    state("uploading " + path);
    const pump = (send) => {
      while (offset < data.length && offset - acked < window) {
        const piece = data.subarray(offset, offset + chunk);
        send({ type: "file.chunk", offset, data: toBase64(piece) });
        offset += piece.length;
      }
    };
    const done = await exchange(Object.assign({ type: "file.upload", path, size: data.length, sha256 }, options), (f, send) => {
      if (f.type === "file.ready") { window = f.window; chunk = f.chunk; pump(send); }
      if (f.type === "file.ack") { acked = f.offset; progress(acked, data.length); pump(send); }
      return f.type === "file.done" ? f : undefined;
    });
    progress(data.length, data.length);
    state(`uploaded ${path}: ${done.size} bytes, sha256 ${done.sha256.slice(0, 16)}…`);
    return done;
  }

  async function download(path, save = true) {
    const parts = [];
    let size = 0, received = 0;
    state("downloading " + path);
    const done = await exchange({ type: "file.download", path }, (f, send) => {
      if (f.type === "file.meta") { size = f.size; progress(0, size); }
      if (f.type === "file.data") {
        const piece = fromBase64(f.data);
        parts.push(piece);
        received += piece.length;
        progress(received, size);
        send({ type: "file.ack", offset: received });
      }
      return f.type === "file.done" ? f : undefined;
    });
    const blob = new Blob(parts);
    const sha256 = hex(await crypto.subtle.digest("SHA-256", await blob.arrayBuffer()));
    if (sha256 !== done.sha256) throw new Error("download of " + path + " does not match its sha256");
    state(`downloaded ${path}: ${done.size} bytes, sha256 verified`);
    if (save) {
      const a = document.createElement("a");
      a.href = URL.createObjectURL(blob);
      a.download = path.split("/").pop();
      a.click();
    }
    return { size: done.size, sha256, text: save ? undefined : await blob.text() };
  }

  $("files-list").addEventListener("click", () => list($("files-path").value).catch((err) => state(err.message)));
  $("files-up").addEventListener("click", () => {
    const p = $("files-path").value.replace(/\/+$/, "");
    list(p.slice(0, p.lastIndexOf("/")) || "/").catch((err) => state(err.message));
  });
  $("files-upload").addEventListener("click", () => {
    const file = $("files-pick").files[0];
    if (!file) return state("pick a file first");
    // Left empty, the agent's defaults apply: 0644 for a new file, a replaced file's own mode.
    const options = { overwrite: $("files-overwrite").checked };
    if ($("files-mode").value) options.mode = $("files-mode").value;
    if ($("files-owner").value) options.owner = $("files-owner").value;
    upload(file, $("files-path").value, options).then(() => list($("files-path").value)).catch((err) => state(err.message));
  });

  return { list, upload, download };
})();
window.velaFiles = velaFiles;
