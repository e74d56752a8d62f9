// The live view: every device's cells as bars, its readings and link state,
// updated from the runner's event stream; the active alarms at the top, their
// cells and values marked; history charts when Chart.js is served.
'use strict';
(function () {
  const HISTORY_HOURS = 6;
  const MAX_POINTS = 1500;
  const token = new URLSearchParams(location.search).get('token');
  const auth = token ? 'token=' + encodeURIComponent(token) : '';
  const views = new Map();  // data id -> {root, fields, cells, chart, round}
  const alarms = new Map();  // data id|rule|variable -> the alarm as raised
  const LEVELS = { 1: 'warning', 2: 'major', 3: 'critical' };
  let chartLibrary = null;  // a promise, once asked for
  let pending = null;  // a device list being fetched
  const refreshOnce = () => pending || (pending = refresh().finally(() => (pending = null)));

  function url(path, params) {
    const query = new URLSearchParams(params || {}).toString();
    const all = [query, auth].filter(Boolean).join('&');
    return path + (all ? '?' + all : '');
  }
  function make(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function fixed(v, digits) {
    return typeof v === 'number' && isFinite(v) ? v.toFixed(digits) : '–';
  }
  // Millivolts shown, a trailing zero dropped so 32 values fit side by side.
  function cellText(v) {
    const text = v.toFixed(3);
    return text.endsWith('0') ? text.slice(0, -1) : text;
  }
  // Record times are the module site's wall clock; kept as such on the chart.
  function timeValue(text) {
    const m = /^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(text || '');
    return m ? Date.UTC(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]) : null;
  }

  function build(dev) {
    const root = make('section', 'device');
    root.dataset.id = dev.data_id;
    const title = make('h2');
    const line = make('span', 'line');
    title.append(make('span', 'name', (dev.name ? dev.name + ' ' : '') + '#' + dev.data_id),
                 make('span', 'port', dev.port), line);
    const state = make('span', 'state');
    title.append(state);
    const facts = make('dl', 'facts');
    const fields = { state: state, line: line };
    for (const [key, label] of [['group_voltage', 'group V'], ['group_current', 'current A'],
                                ['temperature', 'temperature °C'], ['spread', 'spread V'],
                                ['lowest', 'lowest'], ['highest', 'highest'], ['time', 'record time'],
                                ['charged', 'charged kWh'], ['discharged', 'discharged kWh'],
                                ['rounds', 'rounds'], ['abandoned', 'abandoned'],
                                ['resends', 'resends'], ['errors', 'errors']]) {
      const box = make('div');
      const dd = make('dd', null, '–');
      dd.dataset.field = key;
      box.append(make('dt', null, label), dd);
      facts.append(box);
      fields[key] = dd;
    }
    const cellRow = make('div', 'cells');
    const cells = [];
    for (let i = 1; i <= 32; i++) {
      const cell = make('div', 'cell none');
      cell.dataset.cell = i;
      const bar = make('div', 'bar');
      const fill = make('div', 'fill');
      bar.append(fill);
      const value = make('span', 'v', '–');
      cell.append(bar, value, make('span', 'n', String(i)));
      cellRow.append(cell);
      cells.push({ cell, fill, value });
    }
    const history = make('div', 'history');
    root.append(title, facts, cellRow, history);
    return { root, fields, cells, history, chart: null, round: -1 };
  }

  function showState(view, dev) {
    let text = dev.state;
    let cls = dev.state;
    if (dev.state === 'silent' && dev.silent_since) text = 'silent since ' + dev.silent_since;
    if (dev.stale && dev.state !== 'silent') {
      text = 'stale: last round ' + (dev.last_round || 'never');
      cls = 'stale';
    }
    view.fields.state.textContent = text;
    view.fields.state.className = 'state ' + cls;
    for (const key of ['rounds', 'abandoned', 'resends', 'errors']) view.fields[key].textContent = dev[key];
    showEnergy(view, dev.energy);
    showPort(view, dev);
  }

  // What went into and out of the string, in kWh; the ampere-hours in the tooltip.
  function showEnergy(view, energy) {
    if (!energy) return;
    for (const way of ['charged', 'discharged']) {
      view.fields[way].textContent = fixed(energy[way + '_kwh'], 3);
      view.fields[way].dataset.value = String(energy[way + '_kwh']);
      view.fields[way].title = fixed(energy[way + '_ah'], 3) + ' Ah since the counters were last reset';
    }
  }

  // The port as it stands: shown where it says something (a link that led
  // elsewhere, an echo, RS-485 mode, reopens), all of it in the tooltip.
  function showPort(view, dev) {
    const p = dev.port_state;
    if (!p) return;
    const parts = [];
    if (p.node && p.node !== dev.port) parts.push('→ ' + p.node);
    if (p.echo) parts.push('echo');
    if (p.rs485) parts.push('RS-485');
    if (p.reopens) parts.push('reopened ' + p.reopens + '×');
    if (p.garbled_echoes) parts.push(p.garbled_echoes + ' garbled echoes');
    view.fields.line.textContent = parts.join(' · ');
    view.fields.line.title = 'device node ' + (p.node || '–') + '; echo ' + (p.echo ? 'taken off' : 'none') +
      '; RS-485 mode ' + (p.rs485 === null ? 'not available' : p.rs485 ? 'on' : 'off') +
      '; reopened ' + p.reopens + ' times; ' + p.garbled_echoes + ' garbled echoes';
  }

  function showCells(view, volts) {
    const read = volts.map((v, i) => [v, i]).filter(([v]) => typeof v === 'number' && v > 0);
    const low = read.reduce((a, b) => (b[0] < a[0] ? b : a), read[0] || [null, -1]);
    const high = read.reduce((a, b) => (b[0] > a[0] ? b : a), read[0] || [null, -1]);
    const spread = read.length ? high[0] - low[0] : null;
    const span = Math.max(spread || 0, 0.05);
    const bottom = read.length ? low[0] - span * 0.5 : 0;
    view.cells.forEach((c, i) => {
      const v = volts[i];
      const has = typeof v === 'number' && v > 0;
      c.cell.className = 'cell' + (!has ? ' none' : i === low[1] ? ' low' : i === high[1] ? ' high' : '');
      c.value.textContent = has ? cellText(v) : '–';
      c.value.dataset.value = has ? String(v) : '';
      c.cell.title = 'cell ' + (i + 1) + ': ' + (has ? v.toFixed(3) + ' V' : 'no reading');
      c.fill.style.height = has ? Math.min(100, (v - bottom) / (high[0] + span * 0.05 - bottom) * 100) + '%' : '0';
    });
    view.fields.spread.textContent = fixed(spread, 3);
    view.fields.lowest.textContent = read.length ? 'cell ' + (low[1] + 1) + ' ' + low[0].toFixed(3) : '–';
    view.fields.highest.textContent = read.length ? 'cell ' + (high[1] + 1) + ' ' + high[0].toFixed(3) : '–';
  }

  function showRecord(view, record) {
    for (const [key, digits] of [['group_voltage', 2], ['group_current', 2], ['temperature', 2]]) {
      view.fields[key].textContent = fixed(record[key], digits);
      view.fields[key].dataset.value = String(record[key]);
    }
    view.fields.time.textContent = record.time || '–';
    showCells(view, record.cell_voltage);
    view.root.dataset.round = record.round;
    view.round = record.round;
    markAlarms(view, +view.root.dataset.id);
  }

  // The alarm keeps its place by what it is about: one rule on one variable of one device.
  const alarmKey = (a) => a.data_id + '|' + a.rule + '|' + a.variable;

  function takeAlarm(a) {
    if (a.alarm === 'cleared') alarms.delete(alarmKey(a));
    else alarms.set(alarmKey(a), a);
  }

  function alarmText(a) {
    const view = views.get(a.data_id);
    const device = view ? view.root.querySelector('.name').textContent : '#' + a.data_id;
    const value = typeof a.value === 'number' ? a.value : 'no value';
    return device + ': ' + (a.name ? a.name + ' ' : '') + '(' + a.variable + ') ' + value + ' ' +
      a.side + ' ' + a.limit + (a.code ? ', code ' + a.code : '') + ', since ' + a.time;
  }

  // The active alarms at the top, most severe first, then oldest first.
  function showAlarms() {
    const box = document.getElementById('alarms');
    const list = [...alarms.values()].sort((a, b) => b.level - a.level || a.epoch - b.epoch);
    box.hidden = list.length === 0;
    const items = list.map((a) => {
      const item = make('li', 'alarm level-' + a.level);
      item.dataset.device = a.data_id;
      item.dataset.variable = a.variable;
      item.append(make('span', 'level', LEVELS[a.level] || 'level ' + a.level), ' ', alarmText(a));
      return item;
    });
    const heading = make('h2', null, list.length + (list.length === 1 ? ' active alarm' : ' active alarms'));
    const ul = make('ul');
    ul.append(...items);
    box.replaceChildren(heading, ul);
    for (const [id, view] of views) markAlarms(view, id);
  }

  // The cells and values of the device that have an alarm active.
  function markAlarms(view, id) {
    view.cells.forEach((c) => c.cell.classList.remove('alarm'));
    for (const key of ['group_voltage', 'group_current', 'temperature']) view.fields[key].classList.remove('alarm');
    view.fields.state.classList.remove('alarm');
    for (const a of alarms.values()) {
      if (a.data_id !== id) continue;
      const cell = /^battery_(\d+)_value$/.exec(a.variable);
      if (cell && view.cells[+cell[1]]) view.cells[+cell[1]].cell.classList.add('alarm');
      else if (view.fields[a.variable]) view.fields[a.variable].classList.add('alarm');
      else if (a.variable === 'link') view.fields.state.classList.add('alarm');
    }
  }

  function refreshAlarms() {
    return fetch(url('api/alarms')).then((r) => r.json()).then((data) => {
      alarms.clear();
      data.active.forEach(takeAlarm);
      showAlarms();
    }).catch(() => {});
  }

  function apply(dev, fromStream) {
    let view = views.get(dev.data_id);
    if (!view && fromStream) {
      // Devices are laid out in site order, from the device list only.
      refreshOnce();
      return;
    }
    if (!view) {
      view = build(dev);
      views.set(dev.data_id, view);
      const main = document.getElementById('devices');
      main.querySelector('.empty')?.remove();
      main.append(view.root);
      loadHistory(view, dev);
    }
    showState(view, dev);
    markAlarms(view, dev.data_id);
    if (dev.record && dev.record.round > view.round) {
      showRecord(view, dev.record);
      if (fromStream) addPoint(view, dev.record);
    }
  }

  function refresh() {
    return fetch(url('api/devices')).then((r) => {
      if (!r.ok) throw new Error('HTTP ' + r.status);
      return r.json();
    }).then((data) => {
      if (!data.devices.length) document.querySelector('.empty').textContent = 'No devices.';
      data.devices.forEach((d) => apply(d, false));
    }).catch((e) => setLink('cannot load the devices: ' + e.message, true));
  }

  function setLink(text, down) {
    const link = document.getElementById('link');
    link.textContent = text;
    link.className = 'link' + (down ? ' down' : '');
  }

  function loadChartLibrary() {
    if (!chartLibrary) {
      chartLibrary = new Promise((resolve, reject) => {
        const s = document.createElement('script');
        s.src = url('chart.js');
        s.onload = () => (window.Chart ? resolve(window.Chart) : reject(new Error('no Chart')));
        s.onerror = () => reject(new Error('chart library not served'));
        document.head.append(s);
      });
    }
    return chartLibrary;
  }

  function datasets(records) {
    const sets = [];
    for (let i = 0; i < 32; i++) {
      sets.push({ label: i === 0 ? 'cells 1–32 (V)' : 'cell ' + (i + 1), yAxisID: 'cells',
                  borderColor: 'hsla(' + (i * 11) + ',55%,50%,0.55)', borderWidth: 0.75, pointRadius: 0,
                  data: [] });
    }
    sets.push({ label: 'group (V)', yAxisID: 'group', borderColor: '#1d2330', borderWidth: 2,
                pointRadius: 0, data: [] });
    sets.push({ label: 'temperature (°C)', yAxisID: 'temp', borderColor: '#d68a2f', borderWidth: 2,
                borderDash: [4, 3], pointRadius: 0, data: [] });
    records.forEach((r) => pushRecord(sets, r));
    return sets;
  }

  function pushRecord(sets, r) {
    const x = timeValue(r.time);
    if (x === null) return;
    r.cell_voltage.forEach((v, i) => sets[i].data.push({ x, y: v > 0 ? v : null }));
    sets[32].data.push({ x, y: r.group_voltage });
    sets[33].data.push({ x, y: r.temperature });
  }

  function addPoint(view, record) {
    if (!view.chart) return;
    const sets = view.chart.data.datasets;
    pushRecord(sets, record);
    const oldest = timeValue(record.time) - HISTORY_HOURS * 3600e3;
    for (const s of sets) while (s.data.length && (s.data[0].x < oldest || s.data.length > MAX_POINTS * 2)) s.data.shift();
    view.chart.update('none');
  }

  const hhmm = (ms) => new Date(ms).toISOString().slice(11, 19);

  function loadHistory(view, dev) {
    const from = Math.floor(Date.now() / 1000) - HISTORY_HOURS * 3600;
    const step = Math.max(1, Math.ceil((dev.history_records || 0) / MAX_POINTS));
    Promise.all([loadChartLibrary(),
                 fetch(url('api/history', { device: dev.data_id, from, step })).then((r) => r.json())])
      .then(([Chart, records]) => {
        const canvas = make('canvas');
        view.history.append(canvas);
        const axis = (position, title, grid) => ({ type: 'linear', position, title: { display: true, text: title },
                                                   grid: { drawOnChartArea: grid } });
        view.chart = new Chart(canvas, {
          type: 'line',
          data: { datasets: datasets(records) },
          options: {
            animation: false, parsing: false, normalized: true, spanGaps: true, maintainAspectRatio: false,
            plugins: { legend: { labels: { boxWidth: 12, filter: (item) => item.datasetIndex === 0 || item.datasetIndex >= 32 } },
                       tooltip: { enabled: false } },
            scales: { x: { type: 'linear', ticks: { callback: hhmm, maxTicksLimit: 8 } },
                      cells: axis('left', 'cell V', true), group: axis('right', 'group V', false),
                      temp: axis('right', '°C', false) } },
        });
      })
      .catch((e) => view.history.append(make('p', 'note', 'History chart unavailable: ' + e.message)));
  }

  let opened = false;
  const events = new EventSource(url('api/events'));
  events.addEventListener('round', (e) => apply(JSON.parse(e.data), true));
  events.addEventListener('alarm', (e) => {
    takeAlarm(JSON.parse(e.data));
    showAlarms();
  });
  events.onopen = () => {
    setLink('live');
    if (opened) refresh().then(refreshAlarms);  // rounds and alarms may have been missed while away
    opened = true;
  };
  events.onerror = () => setLink('connection lost, retrying…', true);
  refreshOnce().then(refreshAlarms);
})();
