// The meters' page: one panel per meter, filled from /api/meters and kept
// live by the event stream (/api/events); the charts come from /api/history
// when the host keeps a history (/api/health says whether it does), the
// supply-quality panels (quality.js) from /api/quality, and the header has a
// line for each thing wrong with the host (/api/health again).
// Where the host keeps an energy ledger, the energy rows show its totals
// (the registers wrap), and a part of the panel shows today's and this
// month's consumption and cost, the demand, and bars of the last 31 days
// and 12 months from /api/energy.
'use strict';

// The table: a quantity per row, its three phases and total (or mean) in the
// columns, by signal id; null leaves a cell empty.
const ROWS = [
  ['Voltage L-N', ['phase_voltage_a', 'phase_voltage_b', 'phase_voltage_c', 'phase_voltage_avg']],
  ['Voltage L-L', ['line_voltage_ab', 'line_voltage_bc', 'line_voltage_ca', 'line_voltage_avg']],
  ['Current', ['current_a', 'current_b', 'current_c', 'current_avg']],
  ['Active power', ['active_power_a', 'active_power_b', 'active_power_c', 'active_power_total']],
  ['Reactive power', ['reactive_power_a', 'reactive_power_b', 'reactive_power_c', 'reactive_power_total']],
  ['Apparent power', ['apparent_power_a', 'apparent_power_b', 'apparent_power_c', 'apparent_power_total']],
  ['Power factor', ['power_factor_a', 'power_factor_b', 'power_factor_c', 'power_factor_total']],
  ['Frequency', [null, null, null, 'frequency']],
  ['Active energy import', [null, null, null, 'energy_fwd_active']],
  ['Active energy export', [null, null, null, 'energy_rev_active']],
  ['Reactive energy import', [null, null, null, 'energy_fwd_reactive']],
  ['Reactive energy export', [null, null, null, 'energy_rev_reactive']],
];
const COLUMNS = ['L1', 'L2', 'L3', 'total'];
const RANGES = [['hour', 3600], ['day', 86400], ['month', 31 * 86400], ['year', 366 * 86400]];
const CHART_POINTS = 500;
const W = 600, H = 200, PAD_L = 48, PAD_B = 18, PAD_T = 6;
const BAR_H = 90, BAR_PAD_B = 14;
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];

let signals = {};      // id -> {label, unit}
let historyKept = true;
const panels = new Map();  // data id -> panel state
let qualityKept = false;   // the host keeps a supply-quality report

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}
function svg(tag, attrs) {
  const e = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  return e;
}
function label(id) { return (signals[id] && signals[id].label) || id; }
function unitOf(id) { return (signals[id] && signals[id].unit) || ''; }
function ago(seconds) {
  if (seconds < 120) return seconds + ' s ago';
  if (seconds < 7200) return Math.round(seconds / 60) + ' min ago';
  return Math.round(seconds / 3600) + ' h ago';
}
function clock(unix) { return new Date(unix * 1000).toLocaleString(); }
function shortNumber(v) { return Math.abs(v) >= 1000 ? v.toFixed(0) : String(+v.toPrecision(4)); }

function makePanel(meter) {
  const id = meter.data_id;
  const p = { id, cells: {} };
  p.status = el('span', { class: 'badge', 'data-role': 'status' }, 'unknown');
  p.age = el('span', { class: 'age', 'data-role': 'age' });
  p.counters = el('div', { class: 'counters', 'data-role': 'counters' });
  const thead = el('thead', {}, el('tr', {}, el('th', {}, ''), ...COLUMNS.map(c => el('th', {}, c))));
  const tbody = el('tbody');
  for (const [name, ids] of ROWS) {
    const unitId = ids.find(x => x);
    const head = el('td', {}, name + ' ', el('span', { class: 'unit' }, unitOf(unitId)));
    const tr = el('tr', {}, head);
    for (const sid of ids) {
      const td = el('td', sid ? { class: 'v', 'data-signal': sid, title: label(sid) } : {});
      if (sid) p.cells[sid] = td;
      tr.append(td);
    }
    tbody.append(tr);
  }
  p.table = el('table', {}, thead, tbody);
  p.alarms = el('div', { class: 'alarms', 'data-role': 'alarms' });
  p.today = el('div', { 'data-role': 'energy-today' });
  p.month = el('div', { 'data-role': 'energy-month' });
  p.demand = el('div', { 'data-role': 'demand' });
  p.days = svg('svg', { viewBox: `0 0 ${W} ${BAR_H}`, role: 'img', 'data-role': 'days' });
  p.months = svg('svg', { viewBox: `0 0 ${W} ${BAR_H}`, role: 'img', 'data-role': 'months' });
  p.energy = el('div', { class: 'energy', 'data-role': 'energy', hidden: '' },
    el('div', { class: 'totals' }, p.today, p.month), p.demand,
    el('div', { class: 'bars' }, el('div', { class: 'caption' }, 'last 31 days'), p.days),
    el('div', { class: 'bars' }, el('div', { class: 'caption' }, 'last 12 months'), p.months));

  const chartSignal = el('select', { 'aria-label': 'signal', 'data-role': 'chart-signal' });
  for (const [, ids] of ROWS)
    for (const sid of ids)
      if (sid) chartSignal.append(el('option', { value: sid }, label(sid)));
  const chartRange = el('select', { 'aria-label': 'range', 'data-role': 'chart-range' });
  for (const [name, seconds] of RANGES) chartRange.append(el('option', { value: seconds }, 'last ' + name));
  p.chartSvg = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'data-role': 'chart' });
  p.chartNote = el('div', { class: 'empty' });
  p.chartSignal = chartSignal;
  p.chartRange = chartRange;
  chartSignal.addEventListener('change', () => loadChart(p));
  chartRange.addEventListener('change', () => loadChart(p));
  // Without a history there is nothing to ask for: the chart says so.
  const chart = historyKept
    ? el('div', { class: 'chart' }, el('div', { class: 'controls' }, chartSignal, chartRange),
         p.chartSvg, p.chartNote)
    : el('div', { class: 'chart' }, p.chartNote);
  if (!historyKept) p.chartNote.textContent = 'no history is kept (vedhost runs without --history)';

  p.root = el('section', { class: 'panel', id: 'meter-' + id, 'data-meter': id },
    el('div', { class: 'head' }, el('h2', {}, 'Meter ' + id), p.status,
       el('span', { class: 'where' }, `slave ${meter.slave} on ${meter.line}`)),
    el('div', {}, p.age, ' ', p.counters),
    p.table, p.energy, p.alarms, chart);
  if (qualityKept) {
    p.quality = VedQuality.panel(id);
    p.root.append(p.quality.root);
  }
  document.getElementById('meters').append(p.root);
  panels.set(id, p);
  if (historyKept) loadChart(p);
  return p;
}

function alarmItem(a, cleared) {
  const what = label(a.signal || a.key);
  const when = cleared ? 'cleared ' + clock(a.cleared) : 'since ' + clock(a.since);
  return el('li', { class: cleared ? 'cleared' : 'raised' },
    `${what}: level ${a.level}, ${a.value}${a.message ? ' (' + a.message + ')' : ''}, ${when}`);
}

function update(meter) {
  const p = panels.get(meter.data_id) || makePanel(meter);
  p.meter = meter;
  p.received = Date.now();
  p.status.textContent = meter.status;
  p.status.className = 'badge ' + meter.status;
  p.root.classList.toggle('stale', meter.status !== 'online');
  const values = meter.values || {};
  // An energy counter shows the ledger's total where there is one.
  const shown = sid => (sid + '_total') in values ? values[sid + '_total'] : values[sid];
  for (const [sid, td] of Object.entries(p.cells)) {
    const v = shown(sid);
    td.textContent = v !== undefined && v !== null ? String(v) : '';
  }
  showEnergy(p, meter);
  p.counters.textContent = `rounds ${meter.rounds}, exchanges ${meter.exchanges}, ` +
    `time-outs ${meter.timeouts}, errors ${meter.errors}`;
  const raised = meter.alarms ? meter.alarms.raised : [];
  const cleared = meter.alarms ? meter.alarms.cleared : [];
  p.alarms.replaceChildren();
  if (raised.length) p.alarms.append('Alarms raised', el('ul', {}, ...raised.map(a => alarmItem(a, false))));
  else p.alarms.append('No alarm raised');
  if (cleared.length) p.alarms.append(el('ul', {}, ...cleared.slice(0, 3).map(a => alarmItem(a, true))));
  showAge(p);
}

// Today's and this month's consumption and cost, and the demand.
function showEnergy(p, meter) {
  const v = meter.values || {}, u = meter.units || {};
  const kept = 'energy_fwd_active_total' in v;
  if (kept && p.energy.hidden) {
    p.energy.hidden = false;
    loadBars(p);
  }
  if (!kept) return;
  const money = id => id in v ? ` · ${(+v[id]).toFixed(2)} ${u[id] || ''}`.trimEnd() : '';
  const kwh = id => `${(+(v[id] || 0)).toFixed(1)} kWh`;
  p.today.textContent = `Today ${kwh('energy_fwd_active_today')}${money('energy_cost_today')}`;
  p.month.textContent = `This month ${kwh('energy_fwd_active_month')}${money('energy_cost_month')}`;
  let demand = '';
  if ('demand_active' in v)
    demand = `Demand ${(+v.demand_active).toFixed(1)} kW, projected ${(+v.demand_active_projected).toFixed(1)} kW`;
  if ('demand_active_max' in v)
    demand += `${demand ? ' · ' : ''}peak this month ${(+v.demand_active_max).toFixed(1)} kW at ` +
      String(v.demand_active_max_time).replace('T', ' ').slice(0, 16);
  p.demand.textContent = demand;
}

async function loadBars(p) {
  if (p.energy.hidden) return;
  const to = Math.floor(Date.now() / 1000);
  const ask = async (period, back) => {
    try {
      const r = await fetch(`api/energy?data_id=${p.id}&period=${period}&from=${to - back}&to=${to}`);
      return r.ok ? await r.json() : null;
    } catch (e) {
      return null;
    }
  };
  const [days, months] = await Promise.all([ask('day', 31 * 86400), ask('month', 366 * 86400)]);
  if (days) drawBars(p.days, daySlots(days), 'day');
  if (months) drawBars(p.months, monthSlots(months), 'month');
}

// The last 31 local days, today last, each with its period when it has one;
// a day is found by its start within two hours of a whole number of days
// back (days of 23 and 25 hours).
function daySlots(data) {
  const ps = data.periods;
  let today = data.to - 86400;
  if (ps.length) {
    const last = ps[ps.length - 1];
    today = last.start + Math.floor((data.to - last.start) / 86400) * 86400;
  }
  const slots = [];
  for (let k = 30; k >= 0; --k) {
    const start = today - k * 86400;
    const found = ps.find(q => Math.abs(q.start - start) < 7200);
    const text = found ? found.start_time : '';
    slots.push({ period: found, label: found ? String(+text.slice(8, 10)) : '', key: text.slice(0, 10) });
  }
  return slots;
}

// The last 12 months, this one last, by their local year and month.
function monthSlots(data) {
  const ps = data.periods;
  const keyOf = q => q.start_time.slice(0, 7);
  const now = new Date(data.to * 1000);
  let y = now.getFullYear(), m = now.getMonth() + 1;
  if (ps.length && ps[ps.length - 1].end > data.to) {
    y = +ps[ps.length - 1].start_time.slice(0, 4);
    m = +ps[ps.length - 1].start_time.slice(5, 7);
  }
  const slots = [];
  for (let k = 11; k >= 0; --k) {
    let mm = m - k, yy = y;
    while (mm < 1) { mm += 12; --yy; }
    const key = `${yy}-${String(mm).padStart(2, '0')}`;
    slots.push({ period: ps.find(q => keyOf(q) === key), label: MONTHS[mm - 1], key });
  }
  return slots;
}

function drawBars(s, slots, what) {
  s.replaceChildren();
  const unit = 'kwh';
  const top = Math.max(...slots.map(x => (x.period ? x.period[unit] : 0)), 0.001);
  const w = (W - PAD_L) / slots.length;
  let filled = 0;
  slots.forEach((slot, i) => {
    const v = slot.period ? slot.period[unit] : 0;
    const h = v / top * (BAR_H - BAR_PAD_B - 4);
    const bar = svg('rect', { class: 'bar' + (slot.period && slot.period.estimated ? ' estimated' : ''),
      x: PAD_L + i * w + 1, y: BAR_H - BAR_PAD_B - h, width: Math.max(1, w - 2), height: h,
      'data-kwh': v, 'data-slot': slot.key });
    const cost = slot.period && slot.period.cost !== undefined ? `, ${slot.period.cost.toFixed(2)}` : '';
    const title = svg('title');
    title.textContent = `${slot.key || what}: ${v.toFixed(1)} kWh${cost}`;
    bar.append(title);
    s.append(bar);
    filled += v > 0;
    if (what === 'month' || i % 5 === 0 || i === slots.length - 1) {
      const t = svg('text', { x: PAD_L + i * w + w / 2, y: BAR_H - 2, 'text-anchor': 'middle' });
      t.textContent = slot.label;
      s.append(t);
    }
  });
  const t = svg('text', { x: PAD_L - 4, y: 12, 'text-anchor': 'end' });
  t.textContent = shortNumber(top) + ' kWh';
  s.append(t);
  s.setAttribute('data-filled', filled);
}

function showAge(p) {
  const m = p.meter;
  if (!m || m.age_seconds === undefined) { p.age.textContent = 'no round yet'; return; }
  const seconds = m.age_seconds + Math.floor((Date.now() - p.received) / 1000);
  p.age.textContent = 'last round ' + ago(Math.max(0, seconds));
}

async function loadChart(p) {
  const span = +p.chartRange.value;
  const to = Math.floor(Date.now() / 1000);
  const query = `data_id=${p.id}&signal=${encodeURIComponent(p.chartSignal.value)}` +
    `&from=${to - span}&to=${to}&points=${CHART_POINTS}`;
  let data;
  try {
    const r = await fetch('api/history?' + query);
    data = await r.json();
    if (!r.ok) { drawChart(p, [], data.error || r.statusText); return; }
  } catch (e) {
    drawChart(p, [], 'history unavailable');
    return;
  }
  // The span runs from the oldest value kept, when the history is younger.
  const points = data.points.filter(x => x[2] !== null);
  drawChart(p, points, '', points.length ? Math.max(to - span, points[0][0]) : to - span, to, data.unit);
}

function drawChart(p, points, note, from, to, unit) {
  const s = p.chartSvg;
  s.replaceChildren();
  s.setAttribute('data-points', points.length);
  p.chartNote.textContent = note || (points.length ? '' : 'no values stored in this span');
  if (!points.length) return;
  let lo = Math.min(...points.map(x => x[1])), hi = Math.max(...points.map(x => x[3]));
  if (hi === lo) { hi += Math.abs(hi) * 0.01 || 1; lo -= Math.abs(lo) * 0.01 || 1; }
  const x = t => PAD_L + (t - from) / Math.max(1, to - from) * (W - PAD_L - 4);
  const y = v => PAD_T + (hi - v) / (hi - lo) * (H - PAD_T - PAD_B);
  for (const v of [lo, (lo + hi) / 2, hi]) {
    s.append(svg('line', { class: 'grid', x1: PAD_L, x2: W, y1: y(v), y2: y(v) }));
    const t = svg('text', { x: PAD_L - 4, y: y(v) + 4, 'text-anchor': 'end' });
    t.textContent = shortNumber(v);
    s.append(t);
  }
  const band = points.map(q => `${x(q[0])},${y(q[3])}`).concat(
    points.slice().reverse().map(q => `${x(q[0])},${y(q[1])}`));
  s.append(svg('polygon', { class: 'band', points: band.join(' ') }));
  s.append(svg('polyline', { class: 'avg', points: points.map(q => `${x(q[0])},${y(q[2])}`).join(' ') }));
  const left = svg('text', { x: PAD_L, y: H - 4 });
  left.textContent = clock(from);
  const right = svg('text', { x: W - 2, y: H - 4, 'text-anchor': 'end' });
  right.textContent = (unit ? unit + ', ' : '') + 'now';
  s.append(left, right);
}

function connect() {
  const link = document.getElementById('link');
  const events = new EventSource('api/events');
  events.addEventListener('open', () => { link.textContent = 'live'; link.className = 'badge online'; });
  events.addEventListener('error', () => { link.textContent = 'reconnecting'; link.className = 'badge offline'; });
  events.addEventListener('meter', e => update(JSON.parse(e.data)));
}

// A line per problem: an adapter gone, the history not stored, the broker away.
function showHealth(health) {
  const list = document.getElementById('problems');
  list.replaceChildren(...(health.problems || []).map(p => el('li', {}, p.text)));
}

async function refreshHealth() {
  try {
    const r = await fetch('api/health');
    if (r.ok) showHealth(await r.json());
  } catch (e) {
    // The event stream's badge says the host is out of reach.
  }
}

async function start() {
  const [s, m, q, h] = await Promise.all([fetch('api/signals'), fetch('api/meters'),
    fetch('api/quality'), fetch('api/health')]);
  for (const row of await s.json()) signals[row.id] = row;
  qualityKept = q.ok && (await q.json()).kept === true;
  const health = h.ok ? await h.json() : {};
  historyKept = !health.history || health.history.kept !== false;
  showHealth(health);
  for (const meter of await m.json()) update(meter);
  connect();
  setInterval(() => panels.forEach(showAge), 1000);
  setInterval(refreshHealth, 5000);
  if (historyKept) setInterval(() => panels.forEach(loadChart), 30000);
  // The ten-minute values grow every ten minutes.
  setInterval(() => panels.forEach(p => p.quality && p.quality.refresh()), 600000);
  setInterval(() => panels.forEach(loadBars), 60000);
}

start();
