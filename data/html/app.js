// navdial's live page: a VOR indicator per station, the last ten minutes
// as strip charts, and with two or more stations a map of the fix. Plain
// JavaScript, no library, nothing fetched from outside navdial.
'use strict';

const HISTORY_S = 600;     // the strip charts' ten minutes of signal
const DOT_DEG = 2;         // the deviation needle: 2 degrees a dot...
const FULL_DOTS = 5;       // ...10 degrees full scale
const DOT_PX = 12;
const REASONS = {          // the validity flag's reasons, in words
  no_carrier: 'no carrier', low_cn0: 'signal too weak', no_var30: 'no 30 Hz variable tone',
  no_subcarrier: 'no 9960 Hz subcarrier', no_ref30: 'no 30 Hz reference', deviation: 'subcarrier deviation out of range',
  sigma: 'bearing too uncertain', slip: 'phase slipped', clipping: 'dongle overloaded',
};

const stations = new Map();  // freq text -> station view
let fix = null;              // the latest fix object
let tiles = null;

const $ = (sel, root = document) => root.querySelector(sel);
const svg = (tag, attrs = {}, parent = null) => {
  const e = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
};
const wrap360 = (a) => ((a % 360) + 360) % 360;
const wrap180 = (a) => { const w = wrap360(a); return w > 180 ? w - 360 : w; };

// The needle as a real indicator shows it: FROM while the selected course
// is within 90 degrees of the radial (the needle shows course - radial),
// TO otherwise, against the reciprocal. Dots, clamped to full scale.
function deviation(obs, radial) {
  let dev = wrap180(obs - radial);
  let from = true;
  if (Math.abs(dev) > 90) { from = false; dev = wrap180(obs - radial - 180); }
  const dots = Math.max(-FULL_DOTS, Math.min(FULL_DOTS, dev / DOT_DEG));
  return { dev, dots, from };
}

// The radial exactly as navdial prints it: one decimal (the JSON's number
// has no more), and -0.0 as -0.0.
const radialText = (r) => (Object.is(r, -0) ? '-0.0' : r.toFixed(1));

function buildCard(g) {
  for (let a = 0; a < 360; a += 5) {
    const long = a % 10 === 0;
    const r0 = long ? 84 : 90;
    const t = (a * Math.PI) / 180;
    svg('line', { x1: r0 * Math.sin(t), y1: -r0 * Math.cos(t), x2: 100 * Math.sin(t), y2: -100 * Math.cos(t),
                  'stroke-width': long ? 2 : 1 }, g);
    if (a % 30 === 0) {
      const label = { 0: 'N', 90: 'E', 180: 'S', 270: 'W' }[a] ?? String(a / 10);
      const tx = svg('text', { x: 72 * Math.sin(t), y: -72 * Math.cos(t),
                               transform: `rotate(${a} ${72 * Math.sin(t)} ${-72 * Math.cos(t)})` }, g);
      tx.textContent = label;
    }
  }
}

function stationView(freq) {
  let v = stations.get(freq);
  if (v) return v;
  const el = $('#station-card').content.firstElementChild.cloneNode(true);
  el.dataset.freq = freq;
  $('.freq', el).textContent = `${freq} MHz`;
  buildCard($('.card', el));
  for (let k = -FULL_DOTS; k <= FULL_DOTS; ++k) if (k) svg('circle', { cx: k * DOT_PX, cy: 0, r: 3.5 }, $('.dots', el));
  v = { freq, el, window: null, radial: '', history: [], obs: 0, ident: '', name: '' };
  const saved = localStorage.getItem(`navdial.obs.${freq}`);
  v.obs = saved === null ? 0 : Number(saved) || 0;
  const input = $('.obs input', el);
  input.value = v.obs;
  input.addEventListener('change', () => setObs(v, Number(input.value)));
  const dial = $('.vor', el);
  dial.setAttribute('tabindex', '0');
  dial.addEventListener('keydown', (e) => {
    const step = e.shiftKey ? 10 : 1;
    if (e.key === 'ArrowRight' || e.key === 'ArrowUp') setObs(v, v.obs + step);
    else if (e.key === 'ArrowLeft' || e.key === 'ArrowDown') setObs(v, v.obs - step);
    else return;
    e.preventDefault();
  });
  // Dragging turns the card with the finger, as the OBS knob would.
  let grab = null;
  const angle = (e) => {
    const r = dial.getBoundingClientRect();
    return (Math.atan2(e.clientX - (r.left + r.width / 2), -(e.clientY - (r.top + r.height / 2))) * 180) / Math.PI;
  };
  dial.addEventListener('pointerdown', (e) => { grab = { a: angle(e), obs: v.obs }; dial.setPointerCapture(e.pointerId); });
  dial.addEventListener('pointermove', (e) => { if (grab) setObs(v, grab.obs - (angle(e) - grab.a)); });
  dial.addEventListener('pointerup', () => { grab = null; });
  $('#stations').appendChild(el);
  stations.set(freq, v);
  draw(v);
  return v;
}

function setObs(v, obs) {
  v.obs = Math.round(wrap360(obs));
  localStorage.setItem(`navdial.obs.${v.freq}`, String(v.obs));
  $('.obs input', v.el).value = v.obs;
  draw(v);
}

function draw(v) {
  const w = v.window;
  const el = v.el;
  $('.card', el).setAttribute('transform', `rotate(${-v.obs})`);
  const valid = !!(w && w.valid);
  const off = $('.off', el);
  off.dataset.off = String(!valid);
  const digits = $('.radial', el);
  digits.textContent = w ? v.radial : '---.-';
  digits.dataset.radial = w ? v.radial : '';
  digits.classList.toggle('invalid', !valid);
  const needle = $('.needle', el);
  const tf = $('.tofrom', el);
  const tfText = $('.tofrom-text', el);
  if (w) {
    const d = deviation(v.obs, w.radial);
    needle.setAttribute('transform', `translate(${d.dots * DOT_PX} 0)`);
    needle.dataset.dots = d.dots.toFixed(2);
    tf.setAttribute('transform', d.from ? 'rotate(180 0 -21)' : '');
    tfText.textContent = d.from ? 'FROM' : 'TO';
    el.dataset.tofrom = d.from ? 'FROM' : 'TO';
  }
  const reasons = w && !w.valid ? w.reasons.map((r) => REASONS[r] || r).join(', ') : (w ? '' : 'no window yet');
  $('.reasons', el).textContent = reasons;
  const ident = $('.ident', el);
  if (w && w.ident) { ident.textContent = w.ident; ident.classList.remove('heard'); }
  else if (w && w.ident_heard) { ident.textContent = `${w.ident_heard}?`; ident.classList.add('heard'); }
  else ident.textContent = '';
  ident.dataset.ident = (w && w.ident) || '';
  $('.name', el).textContent = v.name || '';
  $('.cn0', el).textContent = w && w.cn0 != null ? `C/N0 ${w.cn0.toFixed(1)} dB-Hz` : '';
  $('.sigma', el).textContent = w && w.sigma != null ? `σ ${w.sigma.toFixed(2)}°` : '';
  drawCharts(v);
}

// The last ten minutes: the radial with its 2-sigma band, C/N0; the
// invalid windows shaded.
function drawCharts(v) {
  const h = v.history;
  const rad = $('.chart-radial', v.el);
  const cn = $('.chart-cn0', v.el);
  rad.replaceChildren();
  cn.replaceChildren();
  if (!h.length) return;
  const t1 = h[h.length - 1].t;
  const t0 = t1 - HISTORY_S;
  const x = (t) => ((t - t0) / HISTORY_S) * 600;
  const step = h.length > 1 ? Math.max(h[h.length - 1].t - h[h.length - 2].t, 0.1) : 2;
  // The radial's scale: around the mean direction, wide enough for the band.
  // Invalid windows' noise leaves the scale alone.
  const scaled = h.some((w) => w.valid) ? h.filter((w) => w.valid) : h;
  const ref = scaled[scaled.length - 1].radial;
  let lo = Infinity, hi = -Infinity;
  for (const w of scaled) {
    const r = ref + wrap180(w.radial - ref);
    const s = Number.isFinite(w.sigma) ? 2 * w.sigma : 0;
    lo = Math.min(lo, r - s); hi = Math.max(hi, r + s);
  }
  const pad = Math.max(1, (hi - lo) * 0.1);
  lo -= pad; hi += pad;
  const yr = (r) => 120 - ((r - lo) / (hi - lo)) * 120;
  let path = '';
  let prev = null;
  for (const w of h) {
    if (!w.valid) svg('rect', { class: 'shade', x: x(w.t - step), y: 0, width: (step / HISTORY_S) * 600, height: 120 }, rad);
    const r = Math.max(lo, Math.min(hi, ref + wrap180(w.radial - ref)));
    if (w.valid && Number.isFinite(w.sigma))
      svg('rect', { class: 'band', x: x(w.t - step), width: (step / HISTORY_S) * 600,
                    y: yr(r + 2 * w.sigma), height: Math.max(0.5, yr(r - 2 * w.sigma) - yr(r + 2 * w.sigma)) }, rad);
    path += `${prev === null || w.t - prev > 3 * step ? 'M' : 'L'}${x(w.t).toFixed(1)},${yr(r).toFixed(1)} `;
    prev = w.t;
  }
  svg('path', { class: 'trace', d: path }, rad);
  rad.dataset.lo = lo.toFixed(1);
  rad.dataset.hi = hi.toFixed(1);
  let clo = Infinity, chi = -Infinity;
  for (const w of h) if (Number.isFinite(w.cn0)) { clo = Math.min(clo, w.cn0); chi = Math.max(chi, w.cn0); }
  if (!Number.isFinite(clo)) return;
  clo -= 3; chi += 3;
  const yc = (c) => 80 - ((c - clo) / (chi - clo)) * 80;
  let cpath = '';
  for (const w of h) {
    if (!w.valid) svg('rect', { class: 'shade', x: x(w.t - step), y: 0, width: (step / HISTORY_S) * 600, height: 80 }, cn);
    if (Number.isFinite(w.cn0)) cpath += `${cpath ? 'L' : 'M'}${x(w.t).toFixed(1)},${yc(w.cn0).toFixed(1)} `;
  }
  svg('path', { class: 'trace', d: cpath }, cn);
}

function addWindow(w) {
  const v = stationView(String(w.freq));
  const last = v.history[v.history.length - 1];
  if (!last || w.t > last.t) v.history.push(w);
  while (v.history.length && v.history[0].t < w.t - HISTORY_S) v.history.shift();
  if (!v.window || w.t >= v.window.t) {
    const identChanged = (v.window && v.window.ident) !== w.ident;
    v.window = w;
    v.radial = radialText(w.radial);
    if (identChanged && w.ident) loadStations();
  }
  $('#clock').textContent = w.time ? w.time.replace('T', ' ').replace('Z', ' UTC') : `t = ${w.t.toFixed(1)} s of signal`;
  draw(v);
  if (stations.size > 1) drawMap();
}

// Stations on a Web Mercator map (no tiles unless --tiles gave them): each
// station's radial as a line from it, the fix and its 95 % ellipse, a
// scale bar and north.
function drawMap() {
  const box = $('#mapbox');
  box.hidden = false;
  const map = $('#map');
  map.replaceChildren();
  const known = [...stations.values()].filter((v) => v.known);
  const pts = known.map((v) => [v.known.lat, v.known.lon]);
  if (fix) pts.push([fix.lat, fix.lon]);
  if (!pts.length) return;
  const W = 600, H = 420, M = 40;
  const mx = (lon) => (lon * Math.PI) / 180;
  const my = (lat) => Math.log(Math.tan(Math.PI / 4 + (lat * Math.PI) / 360));
  let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
  for (const [la, lo] of pts) { x0 = Math.min(x0, mx(lo)); x1 = Math.max(x1, mx(lo)); y0 = Math.min(y0, my(la)); y1 = Math.max(y1, my(la)); }
  const span = Math.max(x1 - x0, y1 - y0, 0.004);
  const s = Math.min((W - 2 * M) / Math.max(x1 - x0, span * 0.5), (H - 2 * M) / Math.max(y1 - y0, span * 0.5));
  const cx = (x0 + x1) / 2, cy = (y0 + y1) / 2;
  const px = (lat, lon) => [W / 2 + (mx(lon) - cx) * s, H / 2 - (my(lat) - cy) * s];
  if (tiles) drawTiles(map, s, cx, cy, W, H);
  const R = 6371008.8;
  const dest = (lat, lon, brg, d) => {  // a point d metres along brg (sphere: for drawing)
    const p1 = (lat * Math.PI) / 180, l1 = (lon * Math.PI) / 180, b = (brg * Math.PI) / 180, a = d / R;
    const p2 = Math.asin(Math.sin(p1) * Math.cos(a) + Math.cos(p1) * Math.sin(a) * Math.cos(b));
    const l2 = l1 + Math.atan2(Math.sin(b) * Math.sin(a) * Math.cos(p1), Math.cos(a) - Math.sin(p1) * Math.sin(p2));
    return [(p2 * 180) / Math.PI, (l2 * 180) / Math.PI];
  };
  const metresPerPx = (R * Math.cos(((fix ? fix.lat : known[0].known.lat) * Math.PI) / 180)) / s;
  const colours = ['#4cc3ff', '#ff8c42', '#b07cff', '#4cd07d', '#ff5fa2'];
  known.forEach((v, k) => {
    const [sx, sy] = px(v.known.lat, v.known.lon);
    if (v.window && v.window.valid) {
      const brg = wrap360(v.window.radial + (v.known.variation || 0));
      const far = dest(v.known.lat, v.known.lon, brg, metresPerPx * 900);
      const [ex, ey] = px(far[0], far[1]);
      svg('line', { class: 'radial-line', x1: sx, y1: sy, x2: ex, y2: ey, stroke: colours[k % colours.length] }, map);
    }
    svg('polygon', { class: 'station-mark', points: `${sx},${sy - 7} ${sx - 6},${sy + 5} ${sx + 6},${sy + 5}` }, map);
    svg('text', { x: sx + 9, y: sy + 4 }, map).textContent = v.known.ident || v.freq;
  });
  map.dataset.fix = '';
  if (fix) {
    const [fx, fy] = px(fix.lat, fix.lon);
    svg('ellipse', { class: 'ellipse', cx: fx, cy: fy, rx: Math.max(fix.minor_m / metresPerPx, 1),
                     ry: Math.max(fix.major_m / metresPerPx, 1), transform: `rotate(${fix.azimuth_deg} ${fx} ${fy})` }, map);
    svg('circle', { class: 'fix-mark', cx: fx, cy: fy, r: 4 }, map);
    map.dataset.fix = 'drawn';
    $('#fixtext').textContent = `fix ${fix.lat.toFixed(5)}, ${fix.lon.toFixed(5)}, 95 % within ${Math.round(fix.err95_m)} m`;
  }
  // A scale bar of a round distance, about a quarter of the width.
  const want = metresPerPx * W * 0.25;
  const mag = 10 ** Math.floor(Math.log10(want));
  const len = [5, 2, 1].map((f) => f * mag).find((d) => d <= want) || mag;
  svg('line', { x1: 20, y1: H - 20, x2: 20 + len / metresPerPx, y2: H - 20, stroke: '#e8edf2', 'stroke-width': 3 }, map);
  svg('text', { x: 20, y: H - 28 }, map).textContent = len >= 1000 ? `${len / 1000} km` : `${len} m`;
  svg('polygon', { points: `${W - 25},15 ${W - 32},35 ${W - 18},35`, fill: '#e8edf2' }, map);
  svg('text', { x: W - 29, y: 50 }, map).textContent = 'N';
}

// Slippy-map tiles ({z}/{x}/{y}) under the drawing, at the zoom nearest
// the map's scale.
function drawTiles(map, s, cx, cy, W, H) {
  const z = Math.max(0, Math.min(18, Math.round(Math.log2((s * 2 * Math.PI) / 256))));
  const n = 2 ** z;
  const k = (s * 2 * Math.PI) / (256 * n);  // screen px per tile px
  const tx = (x) => ((x / (2 * Math.PI)) + 0.5) * n;
  const ty = (y) => (0.5 - y / (2 * Math.PI)) * n;
  const left = tx(cx - W / 2 / s), right = tx(cx + W / 2 / s), top = ty(cy + H / 2 / s), bottom = ty(cy - H / 2 / s);
  for (let i = Math.floor(left); i <= Math.floor(right); ++i)
    for (let j = Math.floor(top); j <= Math.floor(bottom); ++j) {
      if (j < 0 || j >= n) continue;
      const url = tiles.replace('{z}', z).replace('{x}', ((i % n) + n) % n).replace('{y}', j);
      svg('image', { href: url, x: W / 2 + ((i / n - 0.5) * 2 * Math.PI - cx) * s,
                     y: H / 2 - ((0.5 - j / n) * 2 * Math.PI - cy) * s, width: 256 * k, height: 256 * k }, map);
    }
}

function addNotice(line) {
  const li = document.createElement('li');
  li.textContent = line;
  const list = $('#notices');
  list.appendChild(li);
  while (list.children.length > 50) list.removeChild(list.firstChild);
  list.scrollTop = list.scrollHeight;
}

async function getJson(path) {
  const r = await fetch(path, { cache: 'no-store' });
  if (!r.ok) throw new Error(`${path}: ${r.status}`);
  return r.json();
}

async function loadStations() {
  const s = await getJson('api/stations.json');
  for (const st of s.stations) {
    const v = stationView(String(st.freq));
    v.name = st.name || '';
    v.known = st.lat != null ? { lat: st.lat, lon: st.lon, variation: st.variation, ident: st.known_ident } : null;
    draw(v);
  }
  if (stations.size > 1) drawMap();
}

// Everything at once: on load, and again whenever the stream reconnects
// (what came meanwhile would otherwise be missing).
async function loadAll() {
  try {
    const [state, hist] = await Promise.all([getJson('api/state.json'), getJson('api/history.json')]);
    $('#source').textContent = state.live ? 'dongle' : `recording ${state.source}`;
    tiles = state.tiles;
    for (const st of hist.stations) stationView(String(st.freq)).history = st.windows;
    for (const st of state.stations) if (st.window) addWindow(st.window);
    fix = state.fix ? state.fix.fix : null;
    $('#notices').replaceChildren();
    for (const n of state.notices) addNotice(n);
    await loadStations();
  } catch (e) {
    $('#link').textContent = `error: ${e.message}`;
  }
}

function link(state, text) {
  const l = $('#link');
  l.dataset.state = state;
  l.textContent = text || state;
}

// Served from --json-dir files by another web server there is no stream:
// the documents are loaded again every 2 s instead.
let polling = null;
function poll() {
  if (polling) return;
  link('live', 'live (files)');
  polling = setInterval(loadAll, 2000);
}

function connect() {
  const es = new EventSource('api/stream');
  es.onopen = () => { link('live'); loadAll(); };
  es.onerror = () => {
    link('lost', 'connection lost: retrying');
    fetch('api/stream', { method: 'HEAD' }).then((r) => { if (r.status === 404) { es.close(); poll(); } }).catch(() => {});
  };
  es.addEventListener('window', (e) => addWindow(JSON.parse(e.data)));
  es.addEventListener('fix', (e) => { fix = JSON.parse(e.data).fix; drawMap(); });
  es.addEventListener('notice', (e) => addNotice(e.data));
}

connect();
