// The live view: every device's cells as bars on a stated scale, its readings
// and link state, updated from the runner's event stream; a device without
// current readings greyed out with the reason; the active alarms at the top,
// their cells and values marked; history charts when Chart.js is served.
'use strict';
(function () {
  const HISTORY_HOURS = 6;
  const MAX_POINTS = 1500;
  const token = new URLSearchParams(location.search).get('token');
  const auth = token ? 'token=' + encodeURIComponent(token) : '';
  const views = new Map();  // data id -> {root, fields, cells, charts, round, ...}
  const alarms = new Map();  // data id|rule|variable -> the alarm as raised
  const LEVELS = { 1: 'warning', 2: 'major', 3: 'critical' };
  const INACTIVE = { silent: true, 'port lost': true, stale: true };
  let heading = { utc_offset: 'Z', silent_after_s: 10 };
  let chartLibrary = null;  // a promise, once asked for
  let pending = null;  // a device list being fetched
  let linkText = 'connecting…';
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
  const hasReading = (v) => typeof v === 'number' && v > 0;

  // Times come with their offset ("2026-12-08T16:21:45+01:00"): the instant
  // for the charts, the gateway's own wall clock for people.
  const instant = (text) => (text ? Date.parse(text) : NaN);
  const wallClock = (text) => (text ? text.slice(0, 10) + ' ' + text.slice(11, 19) : '–');
  function offsetMs(text) {
    const m = /([+-])(\d\d):(\d\d)$/.exec(text || '');
    return m ? (m[1] === '-' ? -1 : 1) * (+m[2] * 60 + +m[3]) * 60e3 : 0;
  }

  // One number format per device: as many decimals as its cells are read
  // with (10 mV, or 1 mV for 6 V blocks), everywhere its cells are shown.
  function cellDigits(volts) {
    const fine = volts.some((v) => hasReading(v) && Math.abs(v * 100 - Math.round(v * 100)) > 1e-3);
    return fine ? 3 : 2;
  }

  // The scale the bars stand on: around the alarm limits of the device's cell
  // rules where there are any, else a fixed window around the nominal voltage
  // of its cells (12 V blocks, or 6 V ones), wide enough that noise stays noise.
  function cellScale(limits, volts) {
    const read = volts.filter(hasReading);
    const sixVolt = read.length > 0 && Math.max(...read) <= 7.5;
    const [low, high, unit] = sixVolt ? [5, 7.5, 0.25] : [10, 15, 0.5];
    const below = limits.filter((l) => l.side === 'below').map((l) => l.limit);
    const above = limits.filter((l) => l.side === 'above').map((l) => l.limit);
    const bottom = below.length ? Math.min(...below) - 2 * unit : low;
    const top = above.length ? Math.max(...above) + 2 * unit : high;
    return { bottom, top: top > bottom ? top : bottom + (high - low), step: 2 * unit,
             from: limits.length ? 'the alarm limits' : 'a fixed window' };
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
    const reason = make('p', 'reason');
    reason.hidden = true;
    const facts = make('dl', 'facts');
    const fields = { state, line, reason };
    for (const [key, label] of [['group_voltage', 'group V'], ['group_current', 'current A'],
                                ['direction', 'direction'], ['temperature', 'temperature °C'],
                                ['spread', 'spread V'], ['lowest', 'lowest'], ['highest', 'highest'],
                                ['time', 'record time'], ['charged', 'charged kWh'],
                                ['discharged', 'discharged kWh'], ['rounds', 'rounds'],
                                ['abandoned', 'abandoned'],
                                ['resends', 'resends'], ['errors', 'errors']]) {
      const box = make('div');
      const dd = make('dd', key === 'direction' ? 'direction' : null, '–');
      dd.dataset.field = key;
      box.append(make('dt', null, label), dd);
      facts.append(box);
      fields[key] = dd;
    }
    const cellView = make('div', 'cellview');
    const axis = make('div', 'axis');
    const plot = make('div', 'plot');
    const refs = make('div', 'refs');
    const cellRow = make('div', 'cells');
    const cells = [];
    for (let i = 1; i <= 32; i++) {
      const cell = make('div', 'cell none');
      cell.dataset.cell = i;
      const bar = make('div', 'bar');
      const fill = make('div', 'fill');
      bar.append(fill);
      const value = make('span', 'v', '–');
      cell.append(bar, make('span', 'mark'), value, make('span', 'n', String(i)));
      cellRow.append(cell);
      cells.push({ cell, fill, value });
    }
    plot.append(cellRow, refs);
    cellView.append(axis, plot);
    const history = make('div', 'history');
    root.append(title, reason, facts, cellView, history);
    return { root, fields, cells, axis, refs, history, charts: null, round: -1, scale: null,
             limits: dev.cell_limits || [], digits: 2, chosen: -1, points: [] };
  }

  // The axis and the limits drawn across the bars, once per scale.
  function showScale(view, scale) {
    const key = [scale.bottom, scale.top, view.digits].join();
    if (view.scale && view.scale.key === key) return;
    view.scale = Object.assign({ key }, scale);
    const at = (v) => ((v - scale.bottom) / (scale.top - scale.bottom)) * 100 + '%';
    const ticks = [];
    for (let v = Math.ceil(scale.bottom / scale.step) * scale.step; v <= scale.top + 1e-9; v += scale.step) {
      ticks.push(v);
    }
    view.axis.replaceChildren(...ticks.map((v) => {
      const label = make('span', null, v.toFixed(scale.step < 1 ? 2 : 1));
      label.style.bottom = at(v);
      return label;
    }));
    view.axis.title = 'cell voltage, V: ' + scale.bottom.toFixed(2) + ' to ' + scale.top.toFixed(2) +
      ' (' + scale.from + ')';
    view.axis.dataset.bottom = scale.bottom;
    view.axis.dataset.top = scale.top;
    const lines = ticks.map((v) => {
      const grid = make('div', 'grid');
      grid.style.bottom = at(v);
      return grid;
    });
    for (const l of view.limits) {
      const ref = make('div', 'ref');
      ref.style.bottom = at(l.limit);
      ref.dataset.limit = l.limit;
      ref.append(make('span', null, l.side + ' ' + l.limit.toFixed(view.digits) + ' V: ' + l.rule +
                      (l.cell ? ' (cell ' + l.cell + ')' : '') + ', ' + (LEVELS[l.level] || 'level ' + l.level)));
      lines.push(ref);
    }
    view.refs.replaceChildren(...lines);
  }

  function stateText(dev) {
    if (dev.state === 'port lost') return 'port lost since ' + wallClock(dev.port_lost_since);
    if (dev.state === 'silent') return 'silent since ' + wallClock(dev.silent_since);
    if (dev.state === 'stale') return 'stale: no round since ' + wallClock(dev.last_round);
    return dev.state;
  }

  // Why the device is greyed out, and since when.
  function reasonText(dev) {
    const last = dev.last_round ? 'its last round at ' + wallClock(dev.last_round) : 'no round yet';
    if (dev.state === 'port lost') {
      return 'Port ' + dev.port + ' lost since ' + wallClock(dev.port_lost_since) +
        ': the runner reopens it by name; shown: ' + last + '.';
    }
    if (dev.state === 'silent') {
      return 'Silent since ' + wallClock(dev.silent_since) + ': no round completed for ' +
        heading.silent_after_s + ' s or more; still asking on each turn; shown: ' + last + '.';
    }
    return 'Stale: the device refuses its readings for want of fresh data; shown: ' + last + '.';
  }

  function showState(view, dev) {
    view.state = dev.state;
    view.fields.state.textContent = stateText(dev);
    view.fields.state.className = 'state ' + dev.state.replace(' ', '-');
    view.root.dataset.state = dev.state;
    const inactive = !!INACTIVE[dev.state];
    view.root.classList.toggle('inactive', inactive);
    view.fields.reason.hidden = !inactive;
    view.fields.reason.textContent = inactive ? reasonText(dev) : '';
    for (const key of ['rounds', 'abandoned', 'resends', 'errors']) view.fields[key].textContent = dev[key];
    showEnergy(view, dev.energy);
    showPort(view, dev);
    showLink();
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
      '; reopened ' + p.reopens + (p.reopens === 1 ? ' time; ' : ' times; ') + p.garbled_echoes +
      (p.garbled_echoes === 1 ? ' garbled echo' : ' garbled echoes');
  }

  function showCells(view, volts) {
    view.digits = cellDigits(volts);
    const digits = view.digits;
    const scale = cellScale(view.limits, volts);
    showScale(view, scale);
    const read = volts.map((v, i) => [v, i]).filter(([v]) => hasReading(v));
    const low = read.reduce((a, b) => (b[0] < a[0] ? b : a), read[0] || [null, -1]);
    const high = read.reduce((a, b) => (b[0] > a[0] ? b : a), read[0] || [null, -1]);
    const spread = read.length ? high[0] - low[0] : null;
    view.cells.forEach((c, i) => {
      const v = volts[i];
      const has = hasReading(v);
      const share = has ? (v - scale.bottom) / (scale.top - scale.bottom) : 0;
      let cls = 'cell';
      if (!has) cls += ' none';
      else if (i === low[1]) cls += ' low';
      else if (i === high[1]) cls += ' high';
      if (has && share < 0) cls += ' off-scale below-scale';
      if (has && share > 1) cls += ' off-scale above-scale';
      c.cell.className = cls;
      c.value.textContent = has ? v.toFixed(digits) : '–';
      c.value.dataset.value = has ? String(v) : '';
      c.cell.title = 'cell ' + (i + 1) + ': ' + (has ? v.toFixed(digits) + ' V' : 'no reading') +
        (i === low[1] ? ' (lowest)' : i === high[1] && has ? ' (highest)' : '');
      c.fill.style.height = has ? Math.min(100, Math.max(0, share * 100)) + '%' : '0';
    });
    view.fields.spread.textContent = fixed(spread, digits);
    view.fields.lowest.textContent = read.length ? 'cell ' + (low[1] + 1) + ' ' + low[0].toFixed(digits) : '–';
    view.fields.highest.textContent = read.length ? 'cell ' + (high[1] + 1) + ' ' + high[0].toFixed(digits) : '–';
  }

  function directionText(amperes) {
    if (typeof amperes !== 'number' || !isFinite(amperes)) return '–';
    if (Math.abs(amperes) < 0.005) return 'no current';
    return amperes > 0 ? '↑ charging' : '↓ discharging';
  }

  function showRecord(view, record) {
    for (const [key, digits] of [['group_voltage', 2], ['group_current', 2], ['temperature', 2]]) {
      view.fields[key].textContent = fixed(record[key], digits);
      view.fields[key].dataset.value = String(record[key]);
    }
    view.fields.direction.textContent = directionText(record.group_current);
    view.fields.time.textContent = wallClock(record.time);
    view.fields.time.title = record.time || '';
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

  // A device gone from the site, or restarted by a reload (its rounds count
  // from 1 again), leaves the page; the device list lays it out anew.
  function drop(id) {
    const view = views.get(id);
    if (!view) return;
    if (view.charts) view.charts.forEach((chart) => chart.destroy());
    view.root.remove();
    views.delete(id);
  }

  function apply(dev, fromStream) {
    let view = views.get(dev.data_id);
    if (view && dev.rounds < view.round) {
      // Restarted by a reload while the page was away (its rounds count from 1
      // again): its view goes, as a connected page drops it on the site event.
      drop(dev.data_id);
      view = undefined;
    }
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

  // The header: which gateway, which site, which build, which time zone.
  function showHeading(data) {
    heading = data;
    document.getElementById('site').textContent = data.site ? 'site ' + data.site : '';
    document.getElementById('where').textContent = [data.host && 'on ' + data.host,
      data.version && 'battery32-run ' + data.version,
      'times in ' + (data.utc_offset === 'Z' && (!data.time_zone || data.time_zone === 'UTC') ? 'UTC'
        : data.time_zone + ' (UTC' + (data.utc_offset === 'Z' ? '' : data.utc_offset) + ')')]
      .filter(Boolean).join(' · ');
    document.title = 'battery32 ' + [data.site, data.host].filter(Boolean).join(' on ');
  }

  function refresh() {
    return fetch(url('api/devices')).then((r) => {
      if (!r.ok) throw new Error('HTTP ' + r.status);
      return r.json();
    }).then((data) => {
      showHeading(data);
      if (!data.devices.length) document.querySelector('.empty').textContent = 'No devices.';
      data.devices.forEach((d) => apply(d, false));
      // In site order, which a reload of the site file may have changed.
      const listed = new Set(data.devices.map((d) => d.data_id));
      [...views.keys()].filter((id) => !listed.has(id)).forEach(drop);
      const main = document.getElementById('devices');
      data.devices.forEach((d) => main.append(views.get(d.data_id).root));
      showLink();
    }).catch((e) => setLink('cannot load the devices: ' + e.message, true));
  }

  // The stream's state, and how many devices have no current readings.
  function showLink() {
    const link = document.getElementById('link');
    const all = [...views.values()];
    const out = all.filter((v) => INACTIVE[v.state]).length;
    const live = linkText === 'live';
    link.textContent = live && all.length
      ? (out ? 'live · ' + out + ' of ' + all.length + (all.length === 1 ? ' device' : ' devices') +
               ' without current readings'
             : 'live · ' + (all.length === 1 ? 'the device' : 'all ' + all.length + ' devices') + ' answering')
      : linkText;
    link.className = 'link' + (!live ? ' down' : out ? ' trouble' : '');
  }

  function setLink(text) {
    linkText = text;
    showLink();
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

  // --- History charts -----------------------------------------------------

  // A point of the charts: the band of the cells that hold a reading, the
  // chosen cell, the group voltage and the temperature at one instant.
  function pointOf(r) {
    const x = instant(r.time);
    if (!isFinite(x)) return null;
    const read = r.cell_voltage.filter(hasReading);
    const mean = read.length ? read.reduce((a, b) => a + b, 0) / read.length : null;
    return { x, cells: r.cell_voltage, min: read.length ? Math.min(...read) : null,
             max: read.length ? Math.max(...read) : null, mean, group: r.group_voltage,
             temp: r.temperature, offset: offsetMs(r.time) };
  }

  // Consecutive points further apart than this are not joined: the runner
  // was stopped, or the device silent, in between.
  function gapLimit(points) {
    const spacing = [];
    for (let i = 1; i < points.length; i++) spacing.push(points[i].x - points[i - 1].x);
    spacing.sort((a, b) => a - b);
    const usual = spacing.length ? spacing[Math.floor(spacing.length / 2)] : 0;
    return Math.max(2 * heading.silent_after_s * 1000, 1.5 * usual);
  }

  // Each series as Chart.js points, with a null where a gap lies.
  function series(points, value) {
    const limit = gapLimit(points);
    const out = [];
    points.forEach((p, i) => {
      if (i > 0 && p.x - points[i - 1].x > limit) out.push({ x: (p.x + points[i - 1].x) / 2, y: null });
      const y = value(p);
      out.push({ x: p.x, y: typeof y === 'number' && isFinite(y) ? y : null });
    });
    return out;
  }

  // Time labels in the gateway's zone, at steps that never repeat a label.
  const STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200].map((s) => s * 1000);
  function timeAxis(points, ticks) {
    const last = points.length ? points[points.length - 1].x : Date.now();
    const first = points.length ? points[0].x : last;
    const min = Math.min(first, last - 10e3);
    const step = STEPS.find((s) => (last - min) / s <= ticks) || STEPS[STEPS.length - 1];
    const offset = points.length ? points[points.length - 1].offset : offsetMs(heading.utc_offset);
    return { type: 'linear', min, max: last,
             ticks: { stepSize: step, maxRotation: 0, autoSkip: false,
                      callback: (ms) => new Date(ms + offset).toISOString().slice(11, step < 60e3 ? 19 : 16) } };
  }

  function refreshCharts(view) {
    if (!view.charts) return;
    const points = view.points;
    const [cells, group, temp] = view.charts;
    const sets = cells.data.datasets;
    sets[0].data = series(points, (p) => p.max);
    sets[1].data = series(points, (p) => p.min);
    sets[2].data = series(points, (p) => p.mean);
    sets[3].data = view.chosen < 0 ? [] : series(points, (p) => (hasReading(p.cells[view.chosen]) ? p.cells[view.chosen] : null));
    sets[3].label = view.chosen < 0 ? 'cell' : 'cell ' + (view.chosen + 1) + ' (V)';
    sets[3].hidden = view.chosen < 0;
    group.data.datasets[0].data = series(points, (p) => p.group);
    temp.data.datasets[0].data = series(points, (p) => p.temp);
    view.charts.forEach((chart, i) => {
      chart.options.scales.x = Object.assign(chart.options.scales.x, timeAxis(points, i === 0 ? 6 : 2));
      chart.update('none');
    });
  }

  function addPoint(view, record) {
    const p = pointOf(record);
    if (!p) return;
    const points = view.points;
    if (points.length && p.x <= points[points.length - 1].x) return;
    points.push(p);
    const oldest = p.x - HISTORY_HOURS * 3600e3;
    while (points.length && (points[0].x < oldest || points.length > MAX_POINTS * 2)) points.shift();
    refreshCharts(view);
  }

  function makeChart(Chart, box, datasets, unit, digits, shown) {
    const canvas = make('canvas');
    box.append(canvas);
    return new Chart(canvas, {
      type: 'line',
      data: { datasets },
      options: {
        animation: false, parsing: false, normalized: true, spanGaps: false, maintainAspectRatio: false,
        interaction: { mode: 'index', intersect: false },
        plugins: {
          legend: { labels: { boxWidth: 12, filter: (item) => shown(item.datasetIndex) } },
          tooltip: { callbacks: {
            title: (items) => (items.length ? new Date(items[0].parsed.x + offsetMs(heading.utc_offset)).toISOString().slice(0, 19).replace('T', ' ') : ''),
            label: (item) => (item.dataset.label || '') + ': ' + (item.parsed.y === null ? '–' : item.parsed.y.toFixed(digits()) + ' ' + unit),
          } },
        },
        scales: { x: { type: 'linear' }, y: { title: { display: true, text: unit } } },
      },
    });
  }

  function buildCharts(Chart, view) {
    const pick = make('label', 'pick', 'Cells over the last ' + HISTORY_HOURS + ' h: highest, lowest and mean of the cells with a reading; also show ');
    const select = make('select');
    select.append(new Option('no single cell', '-1'));
    for (let i = 1; i <= 32; i++) select.append(new Option('cell ' + i, String(i - 1)));
    select.addEventListener('change', () => {
      view.chosen = +select.value;
      refreshCharts(view);
    });
    pick.append(select);
    const boxes = ['chart cells-chart', 'chart group-chart', 'chart temp-chart'].map((c) => make('div', c));
    view.history.append(pick, ...boxes);
    const line = (label, color, more) => Object.assign({ label, borderColor: color, backgroundColor: color,
                                                         borderWidth: 1.5, pointRadius: 0, data: [] }, more || {});
    const cellDigitsNow = () => view.digits;
    view.charts = [
      makeChart(Chart, boxes[0], [
        line('highest cell (V)', '#5b6275', { borderWidth: 1 }),
        line('lowest cell (V)', '#5b6275', { borderWidth: 1, fill: '-1', backgroundColor: 'rgba(91,98,117,.18)' }),
        line('mean (V)', '#1d2330', { borderDash: [4, 3] }),
        line('cell', '#2f6fd6', { borderWidth: 2, hidden: true }),
      ], 'V', cellDigitsNow, (i) => i !== 3 || view.chosen >= 0),
      makeChart(Chart, boxes[1], [line('group voltage (V)', '#1d2330')], 'V', () => 2, () => true),
      makeChart(Chart, boxes[2], [line('temperature (°C)', '#b8651b')], '°C', () => 2, () => true),
    ];
    refreshCharts(view);
  }

  function loadHistory(view, dev) {
    const from = Math.floor(Date.now() / 1000) - HISTORY_HOURS * 3600;
    const step = Math.max(1, Math.ceil((dev.history_records || 0) / MAX_POINTS));
    Promise.all([loadChartLibrary(),
                 fetch(url('api/history', { device: dev.data_id, from, step })).then((r) => r.json())])
      .then(([Chart, records]) => {
        // Rounds that came while the history was on its way stay, in order.
        const live = view.points;
        view.points = records.map(pointOf).filter(Boolean);
        const lastStored = view.points.length ? view.points[view.points.length - 1].x : -Infinity;
        view.points.push(...live.filter((p) => p.x > lastStored));
        buildCharts(Chart, view);
      })
      .catch((e) => view.history.append(make('p', 'note', 'History chart unavailable: ' + e.message)));
  }

  let opened = false;
  const events = new EventSource(url('api/events'));
  events.addEventListener('round', (e) => apply(JSON.parse(e.data), true));
  events.addEventListener('state', (e) => apply(JSON.parse(e.data), true));
  events.addEventListener('alarm', (e) => {
    takeAlarm(JSON.parse(e.data));
    showAlarms();
  });
  events.addEventListener('site', (e) => {
    JSON.parse(e.data).restarted.forEach(drop);
    refresh();
  });
  events.onopen = () => {
    setLink('live');
    if (opened) refresh().then(refreshAlarms);  // rounds and alarms may have been missed while away
    opened = true;
  };
  events.onerror = () => setLink('connection lost, retrying…');
  refreshOnce().then(refreshAlarms);
})();
