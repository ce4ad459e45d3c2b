// The page's client of the switch: it logs in over a WebSocket to the port
// that served it, announces an address, sends frames and lists the frames
// that arrive. Standard web APIs only.
"use strict";

(() => {
  // The server closes a session silent for 60 s; a frame it drops (one
  // field) still counts as input.
  const KEEP_ALIVE_MS = 20000;
  const KEEP_ALIVE_TEXT = "-";
  // The server never confirms a login: one still open this long after the
  // password is taken as accepted.
  const SETTLE_MS = 1000;
  const FRAME_MAX = 4095;
  const ROWS_KEPT = 500;

  const byId = (id) => document.getElementById(id);
  const ui = {
    state: byId("state"),
    loginForm: byId("login-form"),
    login: byId("login"),
    password: byId("password"),
    connect: byId("connect"),
    disconnect: byId("disconnect"),
    addressForm: byId("address-form"),
    address: byId("address"),
    announce: byId("announce"),
    sendForm: byId("send-form"),
    to: byId("to"),
    message: byId("message"),
    send: byId("send"),
    sendProblem: byId("send-problem"),
    rows: byId("frames").tBodies[0],
    empty: byId("frames-empty"),
    news: byId("frames-news"),
  };

  // "idle", "connecting", "login", "password", "settling", "online"
  let phase = "idle";
  let socket = null;
  let lastSent = 0;
  let settleTimer = 0;
  let keepAliveTimer = 0;

  function showState(kind, text) {
    ui.state.dataset.state = kind;
    ui.state.textContent = text;
  }

  function setPhase(next) {
    phase = next;
    const online = phase === "online";
    const connected = phase !== "idle";
    ui.connect.disabled = connected;
    ui.login.disabled = connected;
    ui.password.disabled = connected;
    ui.disconnect.disabled = !connected;
    ui.announce.disabled = !online;
    ui.send.disabled = !online;
  }

  // The payload's bytes and its check byte: 0x80 | (sum of the bytes mod 256).
  function frameOf(text) {
    if (text.length > FRAME_MAX - 1)
      throw new Error("The frame would be longer than " + (FRAME_MAX - 1) + " characters.");
    const bytes = new Uint8Array(text.length + 1);
    let sum = 0;
    for (let i = 0; i < text.length; i++) {
      const code = text.charCodeAt(i);
      if (code === 0 || code > 0x7f)
        throw new Error("Only 7-bit text without zero bytes can travel in a frame.");
      bytes[i] = code;
      sum = (sum + code) & 0xff;
    }
    bytes[text.length] = 0x80 | sum;
    return bytes;
  }

  // A field the server reads back as exactly name.
  function quoted(name) {
    return '"' + name.replace(/[\\"]/g, "\\$&") + '"';
  }

  function sendBytes(bytes) {
    socket.send(bytes);
    lastSent = Date.now();
  }

  function sendFrame(text) {
    sendBytes(frameOf(text));
  }

  function asciiOf(bytes) {
    let text = "";
    for (const byte of bytes) text += String.fromCharCode(byte);
    return text;
  }

  // Control bytes as \xNN, so no frame can forge what the page shows.
  function printable(text) {
    return text.replace(/[\x00-\x1f\x7f]/g, (c) => "\\x" + c.charCodeAt(0).toString(16).padStart(2, "0"));
  }

  const ESCAPES = { a: "\x07", b: "\b", f: "\f", n: "\n", r: "\r", t: "\t", v: "\v" };
  const isSpace = (c) => c === " " || (c >= "\t" && c <= "\r");

  // A frame's text cut into its fields as the server reads them; returns
  // the fields and where the text after the third begins.
  function splitFields(text, most) {
    const fields = [];
    let i = 0;
    while (fields.length < most) {
      while (i < text.length && isSpace(text[i])) i++;
      if (i >= text.length) break;
      let field = "";
      if (text[i] === '"') {
        i++;
        while (i < text.length && text[i] !== '"') {
          if (text[i] !== "\\") {
            field += text[i++];
            continue;
          }
          const kind = text[i + 1];
          if (kind === undefined) return { fields, rest: i };
          const octal = /^[0-7]+/.exec(text.slice(i + 1));
          const hex = kind === "x" ? /^[0-9a-fA-F]+/.exec(text.slice(i + 2)) : null;
          if (octal) {
            field += String.fromCharCode(parseInt(octal[0], 8) & 0xff);
            i += 1 + octal[0].length;
          } else if (hex) {
            field += String.fromCharCode(parseInt(hex[0].slice(-2), 16));
            i += 2 + hex[0].length;
          } else {
            field += ESCAPES[kind] ?? kind;
            i += 2;
          }
        }
        i += 2; // the closing quote and the byte after it
      } else {
        while (i < text.length && !isSpace(text[i])) field += text[i++];
        i++;
      }
      fields.push(field);
    }
    return { fields, rest: Math.min(i, text.length) };
  }

  function showFrame(bytes) {
    const payload = asciiOf(bytes.subarray(0, bytes.length - 1));
    let sum = 0;
    for (let i = 0; i < bytes.length - 1; i++) sum = (sum + bytes[i]) & 0xff;
    const { fields, rest } = splitFields(payload, 3);
    const row = ui.rows.insertRow();
    if (bytes[bytes.length - 1] !== (0x80 | sum)) row.className = "bad-check";
    const cells = [
      new Date().toLocaleTimeString(),
      fields.length >= 3 ? printable(fields[1]) : "",
      fields.length >= 3 ? printable(fields[2]) || "(everyone)" : "",
      printable(fields.length >= 3 ? payload.slice(rest) : payload),
    ];
    for (const text of cells) row.insertCell().textContent = text;
    while (ui.rows.rows.length > ROWS_KEPT) ui.rows.deleteRow(0);
    ui.empty.hidden = true;
    ui.news.textContent = "From " + cells[1] + ": " + cells[3];
  }

  function goOnline() {
    clearTimeout(settleTimer);
    lastSent = Date.now();
    setPhase("online");
    showState("online", "Logged in as " + ui.login.value + ".");
    keepAliveTimer = setInterval(() => {
      if (Date.now() - lastSent >= KEEP_ALIVE_MS) sendFrame(KEEP_ALIVE_TEXT);
    }, 1000);
    if (ui.address.value) announce();
    ui.message.focus();
  }

  // Each prompt and each frame comes as one binary message.
  function onMessage(event) {
    const bytes = new Uint8Array(event.data);
    const text = asciiOf(bytes);
    if (phase === "login" && text === "login:") {
      socket.send(ui.login.value + "\r\n");
      setPhase("password");
    } else if (phase === "password" && text === "password:") {
      socket.send(ui.password.value + "\r\n");
      setPhase("settling");
      showState("connecting", "Checking the login\u2026");
      settleTimer = setTimeout(goOnline, SETTLE_MS);
    } else if (bytes.length > 0 && (phase === "settling" || phase === "online")) {
      if (phase === "settling") goOnline();
      showFrame(bytes);
    }
  }

  function onClose(event) {
    const refused = phase === "password" || phase === "settling";
    clearTimeout(settleTimer);
    clearInterval(keepAliveTimer);
    socket = null;
    setPhase("idle");
    if (refused) {
      showState("refused", "Login refused: the server closed the connection.");
      ui.password.focus();
    } else {
      const why = event.code === 1000 || event.code === 1005 ? "" : " (code " + event.code +
        (event.reason ? ": " + event.reason : "") + ")";
      showState("closed", "Disconnected" + why + ".");
    }
  }

  function connect(event) {
    event.preventDefault();
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    socket = new WebSocket(scheme + location.host + "/", "quillmarsh");
    socket.binaryType = "arraybuffer";
    setPhase("connecting");
    showState("connecting", "Connecting\u2026");
    socket.onopen = () => {
      setPhase("login");
      showState("connecting", "Logging in\u2026");
    };
    socket.onmessage = onMessage;
    socket.onclose = onClose;
  }

  function announce() {
    const name = ui.address.value;
    sendFrame("hello " + quoted(name) + " " + quoted(name) + " ");
  }

  function onAnnounce(event) {
    event.preventDefault();
    try {
      announce();
      ui.sendProblem.textContent = "";
    } catch (error) {
      ui.sendProblem.textContent = error.message;
    }
  }

  function onSend(event) {
    event.preventDefault();
    if (!ui.address.value) {
      ui.sendProblem.textContent = "Give your address first: it is the sender of each message.";
      ui.address.focus();
      return;
    }
    try {
      sendFrame("say " + quoted(ui.address.value) + " " + quoted(ui.to.value) + " " + ui.message.value);
      ui.sendProblem.textContent = "";
      ui.message.value = "";
    } catch (error) {
      ui.sendProblem.textContent = error.message;
    }
    ui.message.focus();
  }

  ui.loginForm.addEventListener("submit", connect);
  ui.disconnect.addEventListener("click", () => socket && socket.close(1000));
  ui.addressForm.addEventListener("submit", onAnnounce);
  ui.sendForm.addEventListener("submit", onSend);
  setPhase("idle");
})();
