// The operator's side of a remote-desktop session: answers the agent's offer, shows the
// screen, and sends mouse, wheel, key and resolution messages over the "input" data
// channel. Signalling travels as desktop frames ({"type":"desktop.signal","session_id",
// "data": Base64 of the signal document}); a transport carries them. The built-in
// transport is an outbox that a test driver drains with velaOperator.drain() and feeds
// with velaOperator.receive(frameText); session.js replaces it with the gateway relay.
"use strict";

const velaOperator = (() => {
  const params = new URLSearchParams(location.search);
  let sessionId = params.get("session") || "operator";
  const $ = (id) => document.getElementById(id);
  const video = $("screen");

  let pc = null;
  let input = null;            // the channel named "input" this page sends on
  const outbox = [];           // frame texts for the agent
  let transport = (text) => outbox.push(text);
  const listeners = [];        // called with every frame from the agent
  const controls = [];         // control messages received from the agent
  const channels = {};         // every channel by label, for tests
  const stamps = [];           // [frame counter, page clock ms] when measuring
  let remoteStreamId = null;
  let remoteTrackId = null;

  // Canonical JSON (keys sorted, no blanks), as the agent writes and reads it.
  function canonical(value) {
    if (value === null || typeof value !== "object") return JSON.stringify(value);
    if (Array.isArray(value)) return "[" + value.map(canonical).join(",") + "]";
    return "{" + Object.keys(value).sort().map((k) => JSON.stringify(k) + ":" + canonical(value[k])).join(",") + "}";
  }
  const toBase64 = (text) => btoa(String.fromCharCode(...new TextEncoder().encode(text)));
  const fromBase64 = (b64) => new TextDecoder().decode(Uint8Array.from(atob(b64), (c) => c.charCodeAt(0)));

  function sendSignal(signal) {
    transport(canonical({ type: "desktop.signal", session_id: sessionId, data: toBase64(canonical(signal)) }));
  }

  function log(line) {
    const el = $("log");
    el.textContent += line + "\n";
    el.scrollTop = el.scrollHeight;
  }

  function setState(text) { $("state").textContent = text; }

  // Clipboard text in parts, as the agent sends and takes it (1 MiB at most).
  const CLIP_PART = 48 * 1024, CLIP_MAX = 1 << 20;
  let clipIn = null, clipId = 0, lastClipboard = null;
  function clipMessage(text) {
    let m;
    try { m = JSON.parse(text); } catch (_) { return false; }
    if (m.t === "clip-refused") { $("clip-state").textContent = "agent refused: " + m.message; return true; }
    if (m.t !== "clip") return false;
    if (m.part === 0) clipIn = { id: m.id, parts: m.parts, text: "" };
    if (!clipIn || clipIn.id !== m.id) return true;
    clipIn.text += m.text;
    if (m.part + 1 === clipIn.parts) {
      lastClipboard = clipIn.text;
      $("clip-in").value = lastClipboard;
      $("clip-state").textContent = `received ${new TextEncoder().encode(lastClipboard).length} bytes from the agent`;
      clipIn = null;
    }
    return true;
  }
  function sendClipboard(text) {
    const bytes = new TextEncoder().encode(text);
    if (bytes.length > CLIP_MAX) { $("clip-state").textContent = "over 1 MiB: not sent"; return false; }
    const parts = [];
    for (let i = 0; i < text.length || parts.length === 0;) {
      let piece = text.slice(i, i + CLIP_PART / 4);  // at most 4 bytes a character
      if (i + piece.length < text.length && /[\uD800-\uDBFF]$/.test(piece)) piece = piece.slice(0, -1);
      parts.push(piece);
      i += piece.length;
    }
    const id = ++clipId;
    for (let p = 0; p < parts.length; ++p) {
      if (!send({ t: "clip", id, part: p, parts: parts.length, text: parts[p] })) return false;
    }
    $("clip-state").textContent = `sent ${bytes.length} bytes`;
    return true;
  }

  function adoptChannel(channel) {
    channels[channel.label] = channel;
    channel.onmessage = (e) => {
      const text = typeof e.data === "string" ? e.data : new TextDecoder().decode(e.data);
      if (channel.label === "input" && clipMessage(text)) return;
      controls.push({ label: channel.label, text });
      log(channel.label + ": " + text);
    };
    if (channel.label === "input") input = channel;
  }

  function newConnection() {
    if (pc) pc.close();
    input = null;
    for (const k of Object.keys(channels)) delete channels[k];
    pc = new RTCPeerConnection({ iceServers: [] });
    pc.onicecandidate = (e) => {
      if (!e.candidate || !e.candidate.candidate) return;
      sendSignal({ kind: "ice", candidate: { candidate: e.candidate.candidate,
        sdpMLineIndex: e.candidate.sdpMLineIndex ?? 0, sdpMid: e.candidate.sdpMid ?? null } });
    };
    pc.ontrack = (e) => {
      remoteTrackId = e.track.id;
      remoteStreamId = e.streams.length ? e.streams[0].id : null;
      video.srcObject = e.streams.length ? e.streams[0] : new MediaStream([e.track]);
    };
    pc.ondatachannel = (e) => adoptChannel(e.channel);
    pc.oniceconnectionstatechange = () => setState(pc.iceConnectionState);
  }

  // A frame from the agent. Anything that is not a signal for this page is ignored.
  // Frames are handled one after another: a candidate must wait for its offer.
  let pending = Promise.resolve();
  function receive(frameText) {
    pending = pending.then(() => handle(frameText)).catch((err) => log("signal failed: " + err));
  }

  async function handle(frameText) {
    let frame;
    try { frame = JSON.parse(frameText); } catch (_) { return; }
    for (const listener of listeners) listener(frame);
    if (frame.session_id !== undefined && frame.session_id !== sessionId) return;
    if (frame.type !== "desktop.signal" || typeof frame.data !== "string") return;
    const signal = JSON.parse(fromBase64(frame.data));
    if (signal.kind === "offer") {
      newConnection();
      await pc.setRemoteDescription({ type: "offer", sdp: signal.sdp });
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      sendSignal({ kind: "answer", sdp: pc.localDescription.sdp });
    } else if (signal.kind === "ice" && pc) {
      const c = signal.candidate;
      await pc.addIceCandidate({ candidate: c.candidate, sdpMLineIndex: c.sdpMLineIndex, sdpMid: c.sdpMid ?? undefined })
        .catch((err) => log("candidate refused: " + err));
    }
  }

  function send(message) {
    if (!input || input.readyState !== "open") return false;
    input.send(JSON.stringify(message));
    return true;
  }

  // Pointer positions as fractions of the picture actually shown (letterboxing aside).
  function fraction(e) {
    const r = video.getBoundingClientRect();
    const clamp = (v) => Math.min(1, Math.max(0, v));
    return { x: clamp((e.clientX - r.left) / r.width), y: clamp((e.clientY - r.top) / r.height) };
  }
  const mods = (e) => ({ ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey, meta: e.metaKey });

  video.addEventListener("mousemove", (e) => send({ t: "m", e: "move", ...fraction(e) }));
  video.addEventListener("mousedown", (e) => { video.focus(); send({ t: "m", e: "down", b: e.button, ...fraction(e) }); });
  video.addEventListener("mouseup", (e) => send({ t: "m", e: "up", b: e.button, ...fraction(e) }));
  video.addEventListener("contextmenu", (e) => e.preventDefault());
  video.addEventListener("wheel", (e) => { e.preventDefault(); send({ t: "w", dx: Math.trunc(e.deltaX), dy: Math.trunc(e.deltaY) }); },
    { passive: false });
  video.addEventListener("keydown", (e) => { e.preventDefault(); send({ t: "k", code: e.code, e: "down", mods: mods(e) }); });
  video.addEventListener("keyup", (e) => { e.preventDefault(); send({ t: "k", code: e.code, e: "up", mods: mods(e) }); });
  $("res-send").addEventListener("click", () => send({ t: "res",
    w: parseInt($("res-w").value, 10), h: parseInt($("res-h").value, 10), fps: parseInt($("res-fps").value, 10) }));

  $("clip-send").addEventListener("click", () => sendClipboard($("clip-out").value));

  async function stats() {
    const result = { iceState: pc ? pc.iceConnectionState : "none", streamId: remoteStreamId, trackId: remoteTrackId };
    if (!pc) return result;
    (await pc.getStats()).forEach((s) => {
      if (s.type === "inbound-rtp" && s.kind === "video") {
        Object.assign(result, { framesDecoded: s.framesDecoded || 0, framesReceived: s.framesReceived || 0,
          framesDropped: s.framesDropped || 0, totalDecodeTime: s.totalDecodeTime || 0, frameWidth: s.frameWidth || 0,
          frameHeight: s.frameHeight || 0, framesPerSecond: s.framesPerSecond || 0, codecId: s.codecId,
          packetsReceived: s.packetsReceived || 0, keyFramesDecoded: s.keyFramesDecoded || 0,
          pliCount: s.pliCount || 0, freezeCount: s.freezeCount || 0 });
      }
    });
    return result;
  }

  setInterval(async () => {
    const s = await stats();
    if (s.framesDecoded !== undefined) $("stats").textContent = `${s.frameWidth}x${s.frameHeight} · ${s.framesPerSecond || 0} fps`;
  }, 1000);

  // Reads the frame counter the test pattern draws along the picture's top edge: 24
  // blocks of 40x40 pixels, most significant bit first, white for one.
  function measure() {
    const canvas = document.createElement("canvas");
    canvas.width = 24 * 40;
    canvas.height = 40;
    const ctx = canvas.getContext("2d", { willReadFrequently: true });
    const onFrame = () => {
      const seen = Date.now();
      if (video.videoWidth >= canvas.width) {
        ctx.drawImage(video, 0, 0, canvas.width, 40, 0, 0, canvas.width, 40);
        const pixels = ctx.getImageData(0, 0, canvas.width, 40).data;
        let counter = 0;
        for (let bit = 0; bit < 24; ++bit) {
          const i = (20 * canvas.width + bit * 40 + 20) * 4;
          counter = counter * 2 + (pixels[i + 1] > 128 ? 1 : 0);
        }
        if (stamps.length < 100000) stamps.push([counter, seen]);
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  }

  return {
    receive,
    // For session.js: where frames for the agent go, who hears the agent's frames, and
    // which session this page speaks for.
    setTransport: (send) => { transport = send; },
    onFrame: (listener) => listeners.push(listener),
    session: () => sessionId,
    setSession: (id) => { sessionId = id; },
    canonical,
    toBase64,
    fromBase64,
    hangUp: () => { if (pc) pc.close(); pc = null; input = null; setState("closed"); },
    drain: () => outbox.splice(0, outbox.length),
    send,
    stats,
    measure,
    stamps: () => stamps.splice(0, stamps.length),
    controls: () => controls.slice(),
    sendClipboard,
    clipboard: () => lastClipboard,
    // For tests: a channel this page opens itself.
    openChannel: (label) => { const ch = pc.createDataChannel(label); adoptChannel(ch); return true; },
    sendOn: (label, text) => { const ch = channels[label]; if (!ch || ch.readyState !== "open") return false; ch.send(text); return true; },
    channelOpen: (label) => !!channels[label] && channels[label].readyState === "open",
  };
})();
window.velaOperator = velaOperator;
