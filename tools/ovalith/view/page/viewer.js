// The viewer page: frames arrive on the WebSocket as binary messages (a
// 48-byte header, then the frame's bytes; see ViewFrames.h), state and
// replies as JSON texts; commands go back as tab-separated texts.
'use strict';

const KIND_NAMES = {1: 'Depth', 2: 'Image', 3: 'IR', 4: 'Audio', 5: 'Colours'};
const HEADER_SIZE = 48;

// What the page measured and shows; the browser test reads it too.
const viewer = {
  streams: {},      // by kind name: frames, fps, dropped, lastId
  depth: null,      // the depth frame shown: frameId, timestamp, width, height, valid
  cloud: null,      // the cloud shown: frameId, points, coloured (by that frame's colours)
  state: null,
  replies: [],
  connected: false,
};
window.viewer = viewer;

const $ = (id) => document.getElementById(id);

// ---- connection ----

let socket = null;
const pending = [];  // commands waiting for their replies, in order

// This run's token, served inside the page: it lets the page's connection
// send commands (docs/viewer.md, "Security").
const token = document.querySelector('meta[name="ovalith-token"]').content;

// State texts read on this connection: each is answered with "ping N", which
// tells the server that the page still reads (docs/viewer.md, "Caps and
// timeouts").
let statesRead = 0;

function connect() {
  statesRead = 0;
  socket = new WebSocket(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { viewer.connected = true; $('connection').textContent = 'connected'; };
  socket.onclose = (event) => {
    viewer.connected = false;
    viewer.closeReason = event.reason;
    // The server says why it closed (too many pages, stopping): shown, and
    // retried more calmly.
    $('connection').textContent = event.reason ? `disconnected: ${event.reason}; retrying…` : 'disconnected, retrying…';
    pending.length = 0;
    setTimeout(connect, event.reason ? 5000 : 1000);
  };
  socket.onmessage = (event) => {
    if (typeof event.data === 'string') onText(JSON.parse(event.data));
    else onFrame(event.data);
  };
}

function send(fields, onReply) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return false;
  pending.push(onReply || null);
  socket.send(fields.join('\t'));
  return true;
}

function onText(message) {
  if (message.type === 'state') {
    viewer.state = message;
    showState(message);
    statesRead += 1;
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(`ping ${statesRead}`);
  } else if (message.type === 'reply') {
    viewer.replies.push(message);
    const onReply = pending.shift();
    $('reply').textContent = message.ok ? message.text : `${message.command}: ${message.status}`;
    if (onReply) onReply(message);
  }
}

// ---- frame counters ----

function account(kind, frameId) {
  const name = KIND_NAMES[kind];
  const s = viewer.streams[name] ||
      (viewer.streams[name] = {frames: 0, fps: 0, dropped: 0, lastId: 0, windowFrames: 0, fpsHistory: []});
  if (s.lastId !== 0 && frameId > s.lastId + 1 && !viewer.state?.isFile) s.dropped += frameId - s.lastId - 1;
  s.lastId = frameId;
  s.frames++;
  s.windowFrames++;
}

let lastTick = performance.now();
setInterval(() => {
  const now = performance.now();
  const seconds = (now - lastTick) / 1000;
  lastTick = now;
  for (const [name, s] of Object.entries(viewer.streams)) {
    s.fps = s.windowFrames / seconds;
    s.fpsHistory.push(s.fps);
    s.windowFrames = 0;
    const kind = Object.keys(KIND_NAMES).find((k) => KIND_NAMES[k] === name);
    const label = document.querySelector(`.stats[data-kind="${kind}"]`);
    if (label) label.textContent = `${s.fps.toFixed(1)} fps · ${s.dropped} dropped · #${s.lastId}`;
  }
}, 1000);

// ---- frames ----

function parseHeader(buffer) {
  const v = new DataView(buffer);
  if (buffer.byteLength < HEADER_SIZE || v.getUint32(0, true) !== 0x3246564f) return null;  // "OVF2"
  return {
    kind: v.getUint8(4), format: v.getUint8(5), bytesPerUnit: v.getUint16(6, true),
    width: v.getUint16(8, true), height: v.getUint16(10, true), frameId: v.getUint32(12, true),
    timestamp: Number(v.getBigUint64(16, true)), noSample: v.getUint16(24, true), shadow: v.getUint16(26, true),
    extra: v.getUint32(28, true), scale: v.getFloat32(28, true),
    fx: v.getFloat32(32, true), fy: v.getFloat32(36, true), cx: v.getFloat32(40, true), cy: v.getFloat32(44, true),
  };
}

// Frames are counted as they arrive and drawn once per display frame, the
// newest of each stream, so a slow machine shows fewer frames but never
// falls behind the stream.
const latest = {};
function onFrame(buffer) {
  const h = parseHeader(buffer);
  if (!h) return;
  account(h.kind, h.frameId);
  latest[h.kind] = {h, buffer};
}

function drawLatest() {
  for (const kind of [2, 3, 5, 1, 4]) {
    const frame = latest[kind];
    if (!frame) continue;
    delete latest[kind];
    const {h, buffer} = frame;
    if (kind === 1) showDepth(h, new Uint16Array(buffer, HEADER_SIZE, h.width * h.height));
    else if (kind === 5) showColours(h, new Uint8Array(buffer, HEADER_SIZE, h.width * h.height * 3));
    else if (kind === 2 || kind === 3) showImage(h, new Uint8Array(buffer, HEADER_SIZE), kind === 2 ? 'image' : 'ir');
    else showAudio(h, new Int16Array(buffer, HEADER_SIZE, (buffer.byteLength - HEADER_SIZE) >> 1));
  }
}

// A canvas's 2D context and an ImageData of the frame's size.
const surfaces = {};
function surface(id, width, height) {
  let s = surfaces[id];
  if (!s || s.image.width !== width || s.image.height !== height) {
    const canvas = $(id);
    canvas.width = width;
    canvas.height = height;
    const context = canvas.getContext('2d');
    s = surfaces[id] = {context, image: context.createImageData(width, height)};
    s.pixels = new Uint32Array(s.image.data.buffer);
  }
  return s;
}

// Depth colours: near red through yellow, green and cyan to far blue, by a
// table of every 16-bit value, rebuilt when the range or colour changes.
let depthTable = null;
function colourOf(hex) {
  const n = parseInt(hex.slice(1), 16);
  return 0xff000000 | ((n & 0xff) << 16) | (n & 0xff00) | (n >> 16);  // RGBA bytes, little-endian
}
function buildDepthTable() {
  const near = Number($('rangeMin').value), far = Math.max(near + 1, Number($('rangeMax').value));
  depthTable = new Uint32Array(65536);
  for (let d = 0; d < 65536; d++) {
    const t = Math.min(1, Math.max(0, (d - near) / (far - near)));
    const hue = t * 240;  // degrees: 0 red .. 240 blue
    const x = 1 - Math.abs(((hue / 60) % 2) - 1);
    const [r, g, b] = hue < 60 ? [1, x, 0] : hue < 120 ? [x, 1, 0] : hue < 180 ? [0, 1, x] : [0, x, 1];
    const shade = d > far ? 0.35 : 1;
    depthTable[d] = 0xff000000 | (Math.round(b * 255 * shade) << 16) | (Math.round(g * 255 * shade) << 8) |
        Math.round(r * 255 * shade);
  }
}
['rangeMin', 'rangeMax', 'noSampleColour'].forEach((id) => $(id).addEventListener('input', () => { depthTable = null; }));

// The cloud's colours: the server's, per point (every second pixel of every
// second row), from the image pixel that shows it (the colour camera sits beside the depth camera).
let lastDepth = null, lastColours = null;
function showColours(h, rgb) {
  lastColours = {h, rgb};
  cloudDirty = true;
}

function showDepth(h, depth) {
  if (!depthTable) buildDepthTable();
  const noSample = colourOf($('noSampleColour').value);
  const s = surface('depth', h.width, h.height);
  let valid = 0;
  for (let i = 0; i < depth.length; i++) {
    const d = depth[i];
    if (d === h.noSample || d === h.shadow) {
      s.pixels[i] = noSample;
    } else {
      s.pixels[i] = depthTable[d];
      valid++;
    }
  }
  s.context.putImageData(s.image, 0, 0);
  viewer.depth = {frameId: h.frameId, timestamp: h.timestamp, width: h.width, height: h.height, valid};
  lastDepth = {h, depth};
  cloudDirty = true;
}

function showImage(h, bytes, id) {
  const s = surface(id, h.width, h.height), out = s.pixels, n = h.width * h.height;
  if (h.format === 5) {
    for (let i = 0, j = 0; i < n; i++, j += 3) out[i] = 0xff000000 | (bytes[j + 2] << 16) | (bytes[j + 1] << 8) | bytes[j];
  } else if (h.format === 4) {
    for (let i = 0; i < n; i++) out[i] = 0xff000000 | (bytes[i] * 0x010101);
  } else if (h.format === 8) {
    const grey = new Uint16Array(bytes.buffer, bytes.byteOffset, n);
    for (let i = 0; i < n; i++) out[i] = 0xff000000 | (Math.min(255, grey[i] >> 2) * 0x010101);
  } else if (h.format === 6) {
    const clamp = (x) => (x < 0 ? 0 : x > 255 ? 255 : x | 0);
    for (let i = 0; i + 1 < n; i += 2) {
      const q = i * 2, u = bytes[q + 1] - 128, v = bytes[q + 3] - 128;
      for (let k = 0; k < 2; k++) {
        const y = bytes[q + k * 2];
        out[i + k] = 0xff000000 | (clamp(y + 1.772 * u) << 16) | (clamp(y - 0.344136 * u - 0.714136 * v) << 8) |
            clamp(y + 1.402 * v);
      }
    }
  } else {
    return;
  }
  s.context.putImageData(s.image, 0, 0);
}

function showAudio(h, samples) {
  const channels = Math.max(1, h.width), peaks = [0, 0];
  for (let i = 0; i < samples.length; i++) {
    const c = (i % channels) & 1;
    peaks[c] = Math.max(peaks[c], Math.abs(samples[i]));
  }
  if (channels === 1) peaks[1] = peaks[0];
  viewer.audioPeaks = peaks;
  const width = (p) => `${Math.max(0, 100 + 20 * Math.log10(Math.max(p, 1) / 32768) * (100 / 60))}%`;
  $('audioLeft').style.width = width(peaks[0]);
  $('audioRight').style.width = width(peaks[1]);
}

// ---- point cloud ----

let cloudDirty = false;
const cloud = new PointCloud($('cloud'));
// The cloud is rebuilt at most once per display frame, and drawn only when
// it or the view changed.
function drawCloud() {
  drawLatest();
  if (cloudDirty && lastDepth) {
    const c = lastColours;
    const matching = c && c.h.frameId === lastDepth.h.frameId && c.h.width === Math.ceil(lastDepth.h.width / 2) &&
        c.h.height === Math.ceil(lastDepth.h.height / 2);
    cloud.update(lastDepth.h, lastDepth.depth, matching ? c.rgb : null);
    viewer.cloud = {frameId: lastDepth.h.frameId, points: cloud.count, coloured: !!matching};
    cloudDirty = false;
    cloud.moved = true;
  }
  if (cloud.moved) cloud.render();
  cloud.moved = false;
  requestAnimationFrame(drawCloud);
}
requestAnimationFrame(drawCloud);

// ---- state: properties, recording, playback ----

const rows = {};  // "module.property" -> {input, note}
function showState(state) {
  $('device').textContent = state.device + (state.failure ? ` (${state.failure})` : '');
  const kinds = state.streams.map((s) => s.kind);
  $('depthView').hidden = !kinds.includes(1);
  $('cloudView').hidden = !kinds.includes(1);
  $('imageView').hidden = !kinds.includes(2);
  $('irView').hidden = !kinds.includes(3);
  $('audioPanel').hidden = !kinds.includes(4);
  $('recordPanel').hidden = state.isFile;
  $('playbackPanel').hidden = !state.isFile;
  $('recordStart').disabled = state.recording.active;
  $('recordStop').disabled = !state.recording.active;
  showFilters(state.filter || '');
  if (state.recording.active) $('recordStatus').textContent = `recording into ${state.recording.file}`;
  if (state.playback) {
    const p = state.playback;
    viewer.position = p;
    $('position').textContent = `frame ${p.frame} / ${p.frames} · ${(p.time / 1e6).toFixed(3)} s` +
        (p.ended ? ' · end' : p.playing ? ' · playing' : ' · paused');
  }
  const panel = $('properties');
  for (const module of state.modules) {
    for (const property of module.properties) {
      const key = `${module.name}.${property.name}`;
      let row = rows[key];
      if (!row) {
        if (!panel.querySelector(`[data-module="${CSS.escape(module.name)}"]`)) {
          const title = document.createElement('div');
          title.className = 'module';
          title.dataset.module = module.name;
          title.textContent = module.name;
          panel.appendChild(title);
        }
        const line = document.createElement('div');
        line.className = 'property';
        line.innerHTML = '<span class="name"></span><input><span class="note"></span>';
        line.querySelector('.name').textContent = property.name;
        line.querySelector('.name').title = key;
        row = rows[key] = {input: line.querySelector('input'), note: line.querySelector('.note')};
        row.input.dataset.key = key;
        row.input.addEventListener('change', () => setProperty(module.name, property.name, row));
        panel.appendChild(line);
      }
      row.input.readOnly = property.readOnly;
      if (document.activeElement !== row.input && !row.editing) row.input.value = String(property.value);
    }
  }
}

function setProperty(module, property, row) {
  row.editing = true;
  row.note.textContent = '…';
  row.note.className = 'note';
  send(['set', module, property, row.input.value], (reply) => {
    row.editing = false;
    row.note.textContent = reply.ok ? '' : reply.status;
    row.note.className = reply.ok ? 'note' : 'note refused';
  });
}

$('recordStart').onclick = () => send(['record', 'start'], (reply) => {
  $('recordStatus').textContent = reply.ok ? `recording into ${reply.text}` : reply.status;
});
$('recordStop').onclick = () => send(['record', 'stop'], (reply) => {
  $('recordStatus').textContent = reply.ok ? `saved ${reply.text}` : reply.status;
});
$('play').onclick = () => send(['play']);
$('pause').onclick = () => send(['pause']);
$('step').onclick = () => send(['step']);
$('seekFrameGo').onclick = () => send(['seekframe', String(Math.max(0, Math.round(Number($('seekFrame').value))))]);
$('seekTimeGo').onclick = () =>
  send(['seektime', String(Math.max(0, Math.round(Number($('seekTime').value) * 1e6)))]);

// ---- depth filters ----

// The page's controls make a chain text for the server's filters
// (docs/viewer.md); the state's text sets them back, so every page shows
// the chain the server runs.
const FILTERS = [
  {name: 'decimate', values: ['decimateFactor']},
  {name: 'spatial', values: ['spatialAlpha', 'spatialDelta', 'spatialIterations']},
  {name: 'temporal', values: ['temporalAlpha', 'temporalDelta', 'temporalPersistence']},
  {name: 'holes', values: ['holesMode']},
  {name: 'flying', values: ['flyingDelta']},
];

function filterText() {
  return FILTERS.filter((f) => $(`${f.name}On`).checked)
      .map((f) => `${f.name}=${f.values.map((id) => $(id).value).join(':')}`).join(',') || 'none';
}

let filterEditing = false;
function showFilters(text) {
  $('filterChain').textContent = text || 'none';
  $('cloudFilters').textContent = text ? `· ${text}` : '';
  if (filterEditing) return;
  const given = {};
  for (const item of text.split(',').filter((t) => t)) {
    const [name, values] = item.split('=');
    given[name] = values ? values.split(':') : [];
  }
  for (const f of FILTERS) {
    $(`${f.name}On`).checked = f.name in given;
    (given[f.name] || []).forEach((value, i) => {
      const input = f.values[i] && $(f.values[i]);
      if (input && document.activeElement !== input) input.value = value;
    });
  }
  for (const f of FILTERS) f.values.forEach((id) => showValue(id));
}

function showValue(id) {
  const label = document.querySelector(`output[for="${id}"]`);
  if (label) label.textContent = $(id).value;
}

function sendFilters() {
  filterEditing = true;
  send(['filter', filterText()], (reply) => {
    filterEditing = false;
    $('filterNote').textContent = reply.ok ? '' : reply.status;
  });
}

for (const f of FILTERS) {
  $(`${f.name}On`).addEventListener('change', sendFilters);
  for (const id of f.values) {
    $(id).addEventListener('input', () => showValue(id));
    $(id).addEventListener('change', () => { if ($(`${f.name}On`).checked) sendFilters(); });
  }
}

connect();
