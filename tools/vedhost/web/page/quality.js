// The supply-quality report as people read it: a panel per meter on the page
// (page.js adds it when the host keeps a report) and the printable page
// (quality.html), both made from /api/quality. Times are the controller's
// local time, as the report names them.
'use strict';

const VedQuality = (() => {
  const HEADING = 'Supply quality (EN 50160, indicative)';
  // The panel's rows: a label and the criteria they show; harmonics are one
  // row, failing when any order fails.
  const ROWS = [
    ['Voltage ±10 % (95 %)', ['voltage_95']],
    ['Voltage +10 / −15 % (all)', ['voltage_all']],
    ['Frequency ±1 % (99.5 %)', ['frequency_995']],
    ['Frequency +4 / −6 % (all)', ['frequency_all']],
    ['Unbalance ≤ 2 % (95 %)', ['unbalance']],
    ['THD ≤ 8 % (95 %)', ['thd']],
    ['Harmonics 2–25 (95 %)', 'harmonics'],
  ];
  const PHASE_COLUMNS = ['L1', 'L2', 'L3', 'supply'];
  const EXCURSIONS_SHOWN = 3;  // per criterion and phase, on the page's panel

  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    for (const c of children) e.append(c);
    return e;
  }
  // "2026-12-01T10:00:00" as "2026-12-01 10:00".
  function when(text) { return text ? text.replace('T', ' ').slice(0, 16) : ''; }
  function duration(seconds) {
    if (seconds < 120) return seconds + ' s';
    const minutes = Math.round(seconds / 60);
    if (minutes < 120) return minutes + ' min';
    const h = Math.floor(minutes / 60), m = minutes % 60;
    if (h < 48) return h + ' h' + (m ? ' ' + m + ' min' : '');
    return Math.floor(h / 24) + ' d ' + (h % 24) + ' h';
  }
  // A measured value as a person reads it: five significant digits at most.
  function value(v, unit) {
    return v === null || v === undefined ? '–' : Number(v.toPrecision(5)) + ' ' + unit;
  }
  // 100 %, 93.94 %: the share as the report gives it, rounded down.
  function share(c) { return c.share === null ? '–' : c.share + ' %'; }
  function isHarmonic(c) { return /^h\d+$/.test(c.criterion); }
  function column(c) {
    if (c.phase === null) return 3;
    return Math.max(0, ['L1', 'L2', 'L3', 'L1-L2', 'L2-L3', 'L3-L1'].indexOf(c.phase) % 3);
  }
  function phaseText(c) { return c.phase === null ? 'supply' : c.phase; }
  function criterionName(c) {
    for (const [name, ids] of ROWS) if (ids !== 'harmonics' && ids.includes(c.criterion)) return name;
    return 'Harmonic ' + c.criterion.slice(1) + ' ≤ ' + c.high + ' % (95 %)';
  }

  // One cell of the panel: the worst of the criteria it stands for.
  function cell(criteria) {
    const judged = criteria.filter(c => c.result !== 'no values');
    if (!judged.length) return el('td', { class: 'none' }, '–');
    const failed = judged.filter(c => c.result === 'fail');
    const shown = (failed.length ? failed : judged).reduce((a, b) => (b.share < a.share ? b : a));
    // The verdict over its share, each on a line of its own.
    const held = share(shown) + (criteria.length > 1 && failed.length ? ' H' + shown.criterion.slice(1) : '');
    return el('td', {
      class: failed.length ? 'fail' : 'pass', 'data-criterion': shown.criterion,
      title: `${shown.text}; worst ${value(shown.worst, shown.unit)} at ${when(shown.worst_at)}`,
    }, failed.length ? 'fail' : 'pass', el('br'), el('span', { class: 'share' }, held));
  }

  function criteriaTable(doc) {
    const thead = el('thead', {}, el('tr', {}, el('th', {}, ''), ...PHASE_COLUMNS.map(c => el('th', {}, c))));
    const tbody = el('tbody');
    for (const [name, ids] of ROWS) {
      const tr = el('tr', {}, el('td', {}, name));
      for (let col = 0; col < PHASE_COLUMNS.length; ++col) {
        const mine = doc.criteria.filter(c => column(c) === col &&
          (ids === 'harmonics' ? isHarmonic(c) : ids.includes(c.criterion)));
        tr.append(mine.length ? cell(mine) : el('td', {}, ''));
      }
      tbody.append(tr);
    }
    return el('table', { class: 'criteria', 'data-role': 'quality-criteria' }, thead, tbody);
  }

  function excursionLines(doc, limit) {
    const items = [];
    for (const c of doc.criteria) {
      if (!c.excursion_count) continue;
      const list = limit ? c.excursions.slice(0, limit) : c.excursions;
      for (const x of list)
        items.push(el('li', { 'data-criterion': c.criterion },
          `${criterionName(c)}, ${phaseText(c)}: ${when(x.start)} for ${duration(x.seconds)}, ` +
          `extreme ${value(x.extreme, c.unit)}`));
      if (c.excursion_count > list.length)
        items.push(el('li', { class: 'more' },
          `${criterionName(c)}, ${phaseText(c)}: ${c.excursion_count - list.length} more`));
    }
    return items;
  }

  function resultBadge(doc) {
    const text = doc.result === 'no values' ? 'no values yet'
      : doc.complete === false ? doc.result + ' so far' : doc.result;
    return el('span', { class: 'badge ' + doc.result.replace(' ', '-'), 'data-role': 'quality-result' }, text);
  }

  async function fetchWeek(dataId, week) {
    const r = await fetch(`api/quality?data_id=${dataId}` + (week ? `&week=${encodeURIComponent(week)}` : ''));
    const doc = await r.json();
    if (!r.ok) throw new Error(doc.error || r.statusText);
    return doc;
  }

  // ---- The page's panel -----------------------------------------------------

  function panel(dataId) {
    const root = el('div', { class: 'quality', 'data-role': 'quality' }, el('h3', {}, HEADING));
    const body = el('div');
    root.append(body);
    let chosen = '';
    let asked = 0;  // the latest request: an older answer that comes later is dropped
    async function show() {
      const ask = ++asked;
      let doc;
      try {
        doc = await fetchWeek(dataId, chosen);
      } catch (e) {
        if (ask === asked) body.replaceChildren(el('div', { class: 'empty' }, e.message));
        return;
      }
      if (ask !== asked) return;
      const week = el('select', { 'aria-label': 'week', 'data-role': 'quality-week' });
      for (const w of doc.weeks.slice().reverse()) {
        const o = el('option', { value: w.week }, w.week + (w.result ? ' (' + w.result + ')' : ''));
        if (w.week === doc.week) o.selected = true;
        week.append(o);
      }
      week.addEventListener('change', () => { chosen = week.value; show(); });
      const controls = el('div', { class: 'controls' });
      if (doc.weeks.length) controls.append(week);
      controls.append(resultBadge(doc));
      if (doc.week)
        controls.append(el('a', { href: `quality.html?data_id=${dataId}&week=${doc.week}`,
          target: '_blank', 'data-role': 'quality-print' }, 'printable report'));
      const parts = [controls];
      if (doc.criteria.length) {
        parts.push(el('div', { class: 'period' },
          `${when(doc.start)} to ${when(doc.end)}, ${doc.ten_minute_values} of ` +
          `${doc.ten_minute_expected} ten-minute values, nominal ${doc.nominal_v} V`));
        parts.push(criteriaTable(doc));
        const lines = excursionLines(doc, EXCURSIONS_SHOWN);
        parts.push(el('div', { class: 'excursions', 'data-role': 'quality-excursions' },
          lines.length ? 'Excursions' : 'No excursion beyond a limit',
          ...(lines.length ? [el('ul', {}, ...lines)] : [])));
      }
      parts.push(el('p', { class: 'note', 'data-role': 'quality-note' }, doc.note));
      body.replaceChildren(...parts);
    }
    show();
    return { root, refresh: show };
  }

  // ---- The printable page ---------------------------------------------------

  async function report(root) {
    const args = new URLSearchParams(location.search);
    const dataId = args.get('data_id'), week = args.get('week') || '';
    let doc, meter = null;
    try {
      doc = await fetchWeek(dataId, week);
      const m = await fetch(`api/meters/${dataId}`);
      if (m.ok) meter = await m.json();
    } catch (e) {
      root.replaceChildren(el('h1', {}, HEADING), el('p', { 'data-role': 'quality-error' }, e.message));
      return;
    }
    document.title = `Supply quality, meter ${dataId}, ${doc.week || 'no week'}`;
    const facts = [
      ['Meter', `data id ${dataId}` + (meter ? `, slave ${meter.slave} on ${meter.line}` : '')],
      ['Week', doc.week ? `${doc.week}: ${when(doc.start)} to ${when(doc.end)} (${doc.hours} h, local time)` : '–'],
      ['Nominal', doc.week ? `${doc.nominal_v} V ${doc.voltages === 'line' ? 'between lines' : 'phase to neutral'}, ${doc.nominal_hz} Hz` : '–'],
      ['Values', doc.week ? `${doc.ten_minute_values} of ${doc.ten_minute_expected} ten-minute means, ` +
        `${doc.ten_second_values} of ${doc.ten_second_expected} ten-second frequency means` : '–'],
      ['Assessed', doc.week ? when(doc.assessed) + (doc.complete ? '' : ', the week so far') : '–'],
    ];
    const dl = el('dl', { class: 'facts' });
    for (const [k, v] of facts) dl.append(el('dt', {}, k), el('dd', {}, v));
    dl.append(el('dt', {}, 'Result'), el('dd', {}, resultBadge(doc)));

    const limitText = c => (c.low === null ? `≤ ${c.high} ${c.unit}` : `${c.low} to ${c.high} ${c.unit}`);
    // The voltage, frequency, unbalance and THD: a row per criterion and phase.
    const thead = el('thead', {}, el('tr', {}, ...['Criterion', 'Phase', 'Limit', 'Required', 'Held',
      'Result', 'Worst', 'When', 'Excursions'].map(h => el('th', {}, h))));
    const tbody = el('tbody');
    for (const c of doc.criteria.filter(c => !isHarmonic(c))) {
      tbody.append(el('tr', { class: c.result.replace(' ', '-'), 'data-criterion': c.criterion },
        el('td', {}, criterionName(c)), el('td', {}, phaseText(c)), el('td', {}, limitText(c)),
        el('td', {}, c.required + ' %'), el('td', {}, share(c)), el('td', { class: 'result' }, c.result),
        el('td', {}, value(c.worst, c.unit)), el('td', {}, when(c.worst_at)),
        el('td', {}, String(c.excursion_count))));
    }
    // The harmonics: a row per order, the phases side by side.
    const hhead = el('thead', {}, el('tr', {}, ...['Order', 'Limit', 'L1', 'L2', 'L3'].map(h => el('th', {}, h))));
    const hbody = el('tbody');
    const orders = new Map();
    for (const c of doc.criteria.filter(isHarmonic)) {
      if (!orders.has(c.criterion)) orders.set(c.criterion, []);
      orders.get(c.criterion).push(c);
    }
    for (const [id, phases] of orders) {
      const failed = phases.some(c => c.result === 'fail');
      hbody.append(el('tr', { class: failed ? 'fail' : phases[0].result.replace(' ', '-'), 'data-criterion': id },
        el('td', {}, id.slice(1)), el('td', {}, limitText(phases[0])),
        ...phases.map(c => el('td', { class: 'result' }, `${c.result} ${share(c)}`, el('br'),
          el('span', { class: 'worst' }, 'worst ' + value(c.worst, c.unit))))));
    }
    const lines = excursionLines(doc, 0);
    const back = el('a', { href: './', class: 'screen' }, 'back to the meters');
    const print = el('button', { type: 'button', class: 'screen', 'data-role': 'print' }, 'Print or save as PDF');
    print.addEventListener('click', () => window.print());
    const weeks = el('select', { 'aria-label': 'week', class: 'screen', 'data-role': 'quality-week' });
    for (const w of (doc.weeks || []).slice().reverse()) {
      const o = el('option', { value: w.week }, w.week + (w.result ? ' (' + w.result + ')' : ''));
      if (w.week === doc.week) o.selected = true;
      weeks.append(o);
    }
    weeks.addEventListener('change', () => { location.search = `?data_id=${dataId}&week=${weeks.value}`; });
    root.replaceChildren(
      el('div', { class: 'screen controls' }, back, weeks, print),
      el('h1', {}, HEADING),
      el('p', { class: 'note', 'data-role': 'quality-note' }, doc.note),
      dl,
      el('h2', {}, 'Criteria'),
      el('table', { class: 'criteria', 'data-role': 'quality-criteria' }, thead, tbody),
      el('h2', {}, 'Individual harmonics, 95 % of the ten-minute means'),
      el('table', { class: 'criteria harmonics', 'data-role': 'quality-harmonics' }, hhead, hbody),
      el('p', { class: 'small' }, 'Each criterion holds when at least the required share of the ' +
        'week\'s means lies within its limit. The standard\'s table of individual harmonics ' +
        'gives no limit above the 25th order: the ten-minute values of orders 26 to 31 are kept ' +
        '(vedhost history FILE --quality) but not judged.'),
      el('h2', {}, 'Excursions beyond a limit'),
      lines.length ? el('ul', { class: 'excursions', 'data-role': 'quality-excursions' }, ...lines)
        : el('p', { 'data-role': 'quality-excursions' }, 'None this week.'),
      el('p', { class: 'small' }, `Made by vedhost from the meter's values; the week's document ` +
        `is at api/quality?data_id=${dataId}&week=${doc.week || ''}.`));
    root.setAttribute('data-ready', 'true');
  }

  return { panel, report, HEADING };
})();

// The printable page has a place for the report; the meters' page has none.
if (document.getElementById('report')) VedQuality.report(document.getElementById('report'));
