// qavd's page: polls the API and shows the latest answer, the status, the events, the health and the history.
'use strict';

// The status flags in register order: name in the JSON, label, and whether a set bit is a fault.
const FLAGS = [
  ['fan', 'Fan', false],
  ['main_fuse', 'Main fuse', true],
  ['safe_operating_area', 'Safe operating area', true],
  ['overcurrent', 'Overcurrent', true],
  ['undervoltage', 'Undervoltage', true],
  ['overvoltage', 'Overvoltage', true],
  ['discharge_mode', 'Discharge mode', false],
  ['charge_mode', 'Charge mode', false],
  ['discharge_transient', 'Discharge transient', true],
  ['battery_cold_limit', 'Battery cold limit', true],
  ['heatsink_hot_limit', 'Heatsink hot limit', true],
  ['battery_hot_limit', 'Battery hot limit', true],
  ['battery_enable', 'Battery enable', false],
];

// The charts: canvas, colour, and the value of a history point ([time, gauge, stack,
// current, lowest cell, highest cell, hottest layer, heatsink, humidity]).
const CHARTS = [
  ['chart-soc', '#2f7d32', (p) => p[1]],
  ['chart-stack', '#1565c0', (p) => p[2]],
  ['chart-current', '#6a1b9a', (p) => p[3]],
  ['chart-spread', '#c77700', (p) => (p[4] === null ? null : Math.round((p[5] - p[4]) * 1000))],
  ['chart-hottest', '#c62828', (p) => p[6]],
];

// The battery a page of a site shows, from its address /battery/NAME/; null on the one battery's page.
const BATTERY = (location.pathname.match(/^\/battery\/([A-Za-z0-9_-]+)\/$/) || [])[1] || null;
// Where that battery's API is.
const API = BATTERY ? `/api/v1/batteries/${BATTERY}` : '/api/v1';

// Cell bars share one scale, widened when a cell lies outside it.
const CELL_SCALE = [2.5, 4.3];

// The health changes with a few answers at most: asked for at most this often, in milliseconds.
const HEALTH_EVERY = 10000;
// Seconds of the year the fitted line's slope is given per.
const YEAR = 365.25 * 86400;

const page = {
  state: null, // the last state the API gave
  stateAt: 0, // performance.now() when it came
  unreachable: '', // why the last request failed; empty when it did not
  span: 3600, // seconds the charts show
  bucket: 5, // seconds per history point
  merged: false, // the points merge buckets, so each request asks for the whole span
  points: [], // history points of the span, oldest first
  fetchedAt: 0, // Date.now() of the last history request that came back
  skew: 0, // seconds qavd's clock is ahead of ours
  charts: [],
  lastEvents: '',
  commlost: null, // the latest commlost event, which the stale banner repeats
  health: null, // the last health the API gave
  healthAt: -Infinity, // performance.now() when it was asked for
  capacityChart: null,
  capacityDays: false, // the capacity chart's ticks are days, not months
};

const $ = (id) => document.getElementById(id);

// Text goes in as text, never as HTML.
function setText(id, text) {
  $(id).textContent = text;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

const two = (n) => String(n).padStart(2, '0');

// Seconds since the epoch as local time of day, with the date when it is not today.
function clock(seconds) {
  const d = new Date(seconds * 1000);
  const time = `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
  if (d.toDateString() === new Date().toDateString()) return time;
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${time}`;
}

function ago(seconds) {
  if (seconds < 10) return `${seconds.toFixed(1)} s ago`;
  if (seconds < 120) return `${Math.round(seconds)} s ago`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min ago`;
  return `${Math.round(seconds / 3600)} h ago`;
}

// A register's set bits: "none", or "0x0012: bits 1, 4".
function bits(value) {
  if (!value) return 'none';
  const set = [];
  for (let bit = 0; bit < 16; bit++) if (value & (1 << bit)) set.push(bit);
  const hex = '0x' + value.toString(16).toUpperCase().padStart(4, '0');
  return `${hex}: bit${set.length > 1 ? 's' : ''} ${set.join(', ')}`;
}

// The lists whose items the state fills: cells, layers and flags.
function build() {
  for (let i = 1; i <= 8; i++) {
    const cell = element('li', 'cell');
    const track = element('span', 'track');
    track.append(element('span', 'fill'));
    cell.append(element('span', 'label', String(i)), track, element('span', 'reading value', '–'),
      element('span', 'mark'));
    $('cells').append(cell);
    const layer = element('li', 'layer');
    const label = element('span', 'label', `Layer ${i} `);
    label.append(element('span', 'mark'));
    layer.append(label, element('span', 'reading value', '–'));
    $('layers').append(layer);
  }
  for (let i = 1; i <= 8; i++) {
    const cell = element('li', 'resistance');
    cell.append(element('span', 'label', `Cell ${i}`), element('span', 'reading value', '–'), element('span', 'mark'));
    $('resistances').append(cell);
  }
  for (const [name, label] of FLAGS) {
    const flag = element('li', 'flag');
    flag.dataset.flag = name;
    flag.append(element('span', 'label', label), element('span', 'reading value', '–'));
    $('flags').append(flag);
  }
}

// Mark the highest and lowest of a list's values (none when all are equal): a neutral
// sign that the legend explains, never an alarm colour.
function markExtremes(list, values) {
  const lowest = Math.min(...values);
  const highest = Math.max(...values);
  [...list.children].forEach((item, i) => {
    const mark = lowest === highest ? '' : values[i] === highest ? 'highest' : values[i] === lowest ? 'lowest' : '';
    item.querySelector('.mark').textContent = { highest: '▲', lowest: '▼' }[mark] || '';
    item.classList.toggle('lowest', mark === 'lowest');
    item.classList.toggle('highest', mark === 'highest');
  });
  return [lowest, highest];
}

function renderCells(volts) {
  const [lowest, highest] = markExtremes($('cells'), volts);
  const bottom = Math.min(CELL_SCALE[0], lowest);
  const top = Math.max(CELL_SCALE[1], highest);
  [...$('cells').children].forEach((cell, i) => {
    cell.querySelector('.fill').style.width = `${((volts[i] - bottom) / (top - bottom)) * 100}%`;
    cell.querySelector('.reading').textContent = `${volts[i].toFixed(3)} V`;
  });
  setText('spread', `${Math.round((highest - lowest) * 1000)} mV`);
}

function renderLayers(temps) {
  markExtremes($('layers'), temps);
  [...$('layers').children].forEach((layer, i) => {
    layer.querySelector('.reading').textContent = `${temps[i]} °C`;
  });
}

function renderFlags(flags) {
  for (const [name, , fault] of FLAGS) {
    const item = $('flags').querySelector(`[data-flag="${name}"]`);
    const set = flags[name] === true;
    item.querySelector('.reading').textContent = fault ? (set ? 'Fault' : 'Good') : set ? 'On' : 'Off';
    item.className = `flag ${fault ? (set ? 'fault' : 'good') : set ? 'on' : 'off'}`;
  }
}

const direction = (current) => (current > 0 ? 'Charging' : current < 0 ? 'Discharging' : 'Resting');

// What holds for the battery, the most severe first, each as [kind, words]: a forced
// shutdown set by a NUT primary, then what the last answer says: fault (naming the bits),
// low battery, on battery, alert (naming the registers and bits), and last whether it
// charges, discharges or rests.
function conditions(s) {
  const found = s && s.forced_shutdown ? [['fault', 'Forced shutdown (FSD)']] : [];
  if (!s || !('gas_gauge_percent' in s)) return found.concat([['resting', 'No data yet']]);
  const faults = FLAGS.filter(([name, , fault]) => fault && s.status_flags[name]);
  if (faults.length) found.push(['fault', `Fault: ${faults.map(([, label]) => label.toLowerCase()).join(', ')}`]);
  if (s.low_battery) found.push(['low', 'Low battery']);
  if (s.status_flags.discharge_mode) found.push(['onbattery', 'On battery']);
  const alerts = [['temperature', s.temp_alert_register], ['voltage', s.volt_alert_register]]
    .filter(([, value]) => value).map(([what, value]) => `${what} ${bits(value)}`);
  if (alerts.length) found.push(['alert', `Alert: ${alerts.join('; ')}`]);
  const mode = direction(s.current_amperes);
  found.push([mode.toLowerCase(), mode]);
  return found;
}

// Seconds as "2 h 13 min", "40 min" or "under a minute".
function duration(seconds) {
  const minutes = Math.round(seconds / 60);
  if (minutes < 1) return 'under a minute';
  return minutes < 60 ? `${minutes} min` : `${Math.floor(minutes / 60)} h ${minutes % 60} min`;
}

// What the estimate says beside the charge: the time left, the time to full, or how far learning is.
function timeLeftText(s) {
  if (typeof s.runtime_seconds === 'number') return `${duration(s.runtime_seconds)} left`;
  if (typeof s.time_to_full_seconds === 'number') return `full in ${duration(s.time_to_full_seconds)}`;
  if (typeof s.capacity_learning_percent === 'number')
    return `learning capacity (${s.capacity_learning_percent.toFixed(1)} of 2 %)`;
  return '';
}

// The header says the most severe condition first, in words and colour, the others after
// it; while the data is stale it begins by saying so. The tab's title says the same. The
// line below says whether it charges, unless the state says just that already.
function renderState(s, live) {
  const found = conditions(s);
  const [kind, said] = found[0];
  const known = s && 'gas_gauge_percent' in s;
  const words = live ? said : known ? `Stale - last answer: ${said}` : 'Stale';
  setText('state', words);
  $('state').className = `state ${live ? kind : 'stale'}`;
  $('mode').hidden = found.length === 1;
  const also = found.slice(1, -1).map(([, text]) => text);
  setText('also', also.length ? `Also: ${also.join(' · ')}` : '');
  $('also').hidden = !also.length;
  const battery = s ? s.battery : 'battery';
  const gauge = live && s && 'gas_gauge_percent' in s ? ` ${Math.round(s.gas_gauge_percent)} %` : '';
  document.title = `${words} - ${battery}${gauge}`;
}

// The header's figures.
function renderHeader(s) {
  const gauge = s.gas_gauge_percent;
  const current = s.current_amperes;
  setText('soc', `${gauge.toFixed(1)} %`);
  $('soc-bar').style.width = `${Math.max(0, Math.min(100, gauge))}%`;
  const mode = direction(current);
  setText('mode', mode);
  $('mode').className = `value mode ${mode.toLowerCase()}`;
  const left = timeLeftText(s);
  setText('time-left', left);
  $('time-left').hidden = !left;
  setText('stack', `${s.stack_voltage_volts.toFixed(2)} V`);
  setText('current', `${current.toFixed(2)} A`);
  setText('power', `${(s.stack_voltage_volts * current).toFixed(1)} W`);
}

// Why the data is stale, as the banner says it.
function staleText(s) {
  if (page.unreachable) {
    const since = s && 'time' in s ? clock(s.time) : 'the page was loaded';
    return `Data stale since ${since}: qavd does not answer (${page.unreachable})`;
  }
  const polls = s.failed_polls ? `${s.failed_polls} failed poll${s.failed_polls > 1 ? 's' : ''}` : '';
  // The commlost event that made the data stale gives the time and the words, as the events list shows them.
  const lost = page.commlost;
  if (lost && lost.time >= s.stale_since)
    return `Data stale since ${clock(lost.time)}: ${lost.detail}${polls && `; ${polls}, the latest: ${s.stale_reason}`}`;
  return `Data stale since ${clock(s.stale_since)}: ${s.stale_reason}${polls && `, ${polls}`}`;
}

function render() {
  const s = page.state;
  const live = !page.unreachable && s && s.fresh === true;
  document.body.classList.toggle('stale', !live);
  $('banner').hidden = live;
  if (!live) setText('banner', staleText(s));
  renderState(s, live);
  if (!s) return;
  setText('name', s.battery);
  if (!('gas_gauge_percent' in s)) return;
  renderHeader(s);
  renderCells(s.cell_voltages_volts);
  renderLayers(s.layer_temperatures_celsius);
  setText('heatsink', `${s.heatsink_temperature_celsius} °C`);
  setText('humidity', `${s.relative_humidity_percent} %`);
  renderFlags(s.status_flags);
  setText('temp-alert', bits(s.temp_alert_register));
  setText('volt-alert', bits(s.volt_alert_register));
  setText('balance', '0x' + s.balance_register.toString(16).toUpperCase().padStart(2, '0'));
  renderAge();
}

function renderAge() {
  const s = page.state;
  if (!s || !('age_seconds' in s)) return;
  setText('age', ago(s.age_seconds + (performance.now() - page.stateAt) / 1000));
}

async function getJson(path) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), 5000);
  try {
    const response = await fetch(path, { cache: 'no-store', signal: abort.signal });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    return await response.json();
  } finally {
    clearTimeout(timer);
  }
}

// Ask for the state twice per poll interval (within 0.1 s to 2 s), so each answer shows within one.
async function pollState() {
  try {
    const s = await getJson(`${API}/state`);
    const before = page.state;
    page.state = s;
    page.stateAt = performance.now();
    if ('time' in s) page.skew = s.time + s.age_seconds - Date.now() / 1000;
    page.unreachable = '';
    if (!before || before.time !== s.time || before.fresh !== s.fresh) {
      pollEvents();
      pollOutages();
      if (performance.now() - page.healthAt >= HEALTH_EVERY) pollHealth();
    }
  } catch (error) {
    page.unreachable = error.name === 'AbortError' ? 'timeout' : error.message;
  }
  render();
  const interval = page.state ? page.state.interval_seconds : 1;
  setTimeout(pollState, Math.min(2, Math.max(0.1, interval / 2)) * 1000);
}

async function pollEvents() {
  let events;
  try {
    events = (await getJson(`${API}/events`)).events;
  } catch (error) {
    return; // the state's poll reports qavd gone
  }
  const key = JSON.stringify(events.length ? events[events.length - 1] : null) + events.length;
  if (key === page.lastEvents) return;
  page.lastEvents = key;
  page.commlost = events.filter((e) => e.event === 'commlost').pop() || null;
  render();
  const list = $('events');
  list.replaceChildren();
  if (!events.length) list.append(element('li', 'none', 'None yet'));
  for (const e of events.slice().reverse()) {
    const bad = e.role === 'problem';
    const item = element('li', bad ? 'bad' : 'good');
    item.append(element('time', '', clock(e.time)), element('strong', '', e.event), element('span', '', e.detail));
    list.append(item);
  }
}

// A duration as "1 h 2 min", "2 min 5 s" or "5 s".
function lasted(seconds) {
  if (seconds >= 3600) return `${Math.floor(seconds / 3600)} h ${Math.floor(seconds / 60) % 60} min`;
  if (seconds >= 60) return `${Math.floor(seconds / 60)} min ${seconds % 60} s`;
  return `${seconds} s`;
}

// The last ten outages, newest first; the one going on marked so.
async function pollOutages() {
  let outages;
  try {
    outages = (await getJson(`${API}/outages`)).outages;
  } catch (error) {
    return;
  }
  const list = $('outages');
  list.replaceChildren();
  if (!outages.length) list.append(element('li', 'none', 'None recorded'));
  for (const o of outages) {
    const item = element('li', o.ongoing ? 'bad' : 'good');
    item.dataset.start = String(o.start);
    const what = `${lasted(o.duration_seconds)}${o.ongoing ? ', going on' : ''}`;
    const detail = `charge ${o.charge_start_percent.toFixed(1)} % to ${o.charge_end_percent.toFixed(1)} %, ` +
      `${o.energy_wh.toFixed(1)} Wh, peak ${o.peak_discharge_amperes.toFixed(1)} A` +
      `${o.low_battery ? ', low battery' : ''}${o.qavd_stopped ? ', qavd stopped' : ''}`;
    item.append(element('time', '', clock(o.start)), element('strong', '', what), element('span', '', detail));
    list.append(item);
  }
}

// A time since as "3 d 4 h", "2 h 13 min", "40 min" or "under a minute".
function since(seconds) {
  if (seconds >= 86400) return `${Math.floor(seconds / 86400)} d ${Math.floor(seconds / 3600) % 24} h`;
  return duration(seconds);
}

// Ohms as "10.2 mΩ"; a dash before the first load step.
const milliohms = (ohms) => (typeof ohms === 'number' ? `${(ohms * 1000).toFixed(1)} mΩ` : '–');

// Ampere-hours and watt-hours as "312.4 Ah · 8.12 kWh".
const throughput = (ah, wh) => `${ah.toFixed(1)} Ah · ${(wh / 1000).toFixed(2)} kWh`;

// Each cell's resistance; the weak one marked with its ratio to the others, as a problem.
function renderResistances(ohms, weak) {
  [...$('resistances').children].forEach((cell, i) => {
    const isWeak = weak !== null && weak.cell === i + 1;
    cell.querySelector('.reading').textContent = milliohms(ohms[i]);
    cell.querySelector('.mark').textContent = isWeak ? `weak ×${weak.ratio.toFixed(1)}` : '';
    cell.classList.toggle('weak', isWeak);
  });
}

// What to replace: now when health is at or below the level, else when the fitted line reaches it.
function renderReplace(h) {
  setText('replace-label', `${h.replace ? 'At or below' : 'Reaches'} ${h.replace_at_percent} %`);
  const when = h.replace_date || (h.capacity_points.length > 1 ? 'not foreseen' : '–');
  setText('replace', h.replace ? 'Replace the battery' : when);
  $('replace').classList.toggle('bad', h.replace);
}

// The Health card: health and its reference, the replacement, cycles, throughput, resistance, the chart.
function renderHealth(h) {
  const life = h.lifetime;
  const known = typeof h.health_ratio === 'number';
  setText('health', known ? `${(h.health_ratio * 100).toFixed(1)} %` : 'not measured yet');
  setText('health-reference', known ? `of ${h.reference_capacity_ah.toFixed(1)} Ah ${h.health_reference}` : '');
  renderReplace(h);
  setText('cycles', life.equivalent_cycles.toFixed(1));
  const fade = h.fade_per_100_cycles_percent;
  setText('fade', typeof fade === 'number' ? `${fade.toFixed(1)} points` : '–');
  setText('discharged', throughput(life.discharged_ampere_hours, life.discharged_watt_hours));
  setText('charged', throughput(life.charged_ampere_hours, life.charged_watt_hours));
  const full = h.since_full_charge_seconds;
  setText('since-full', typeof full === 'number' ? `${since(full)} ago` : 'never');
  setText('installed', h.installed ? `${h.installed} (${Math.floor(h.age_seconds / 86400)} days)` : 'not given');
  setText('stack-resistance', milliohms(h.resistance.stack_ohms));
  renderResistances(h.resistance.cell_ohms, h.weak_cell);
  drawCapacity(h);
}

async function pollHealth() {
  page.healthAt = performance.now();
  try {
    page.health = await getJson(`${API}/health`);
  } catch (error) {
    page.healthAt = -Infinity; // asked again with the next state
    return;
  }
  renderHealth(page.health);
}

// The capacity chart's ticks: the first of every month or few, or every day or few under two months.
function capacityTicks(axis) {
  const day = 86400000;
  page.capacityDays = axis.max - axis.min < 60 * day;
  const ticks = [];
  if (page.capacityDays) {
    const step = Math.max(1, Math.ceil((axis.max - axis.min) / day / 8)) * day;
    for (let t = Math.ceil(axis.min / day) * day; t <= axis.max; t += step) ticks.push({ value: t });
  } else {
    const months = (axis.max - axis.min) / (30.44 * day);
    const step = [1, 2, 3, 6].find((n) => months / n <= 8) || 12 * Math.ceil(months / 96);
    const at = new Date(axis.min);
    for (const d = new Date(at.getFullYear(), at.getMonth() + 1, 1); d.getTime() <= axis.max; d.setMonth(d.getMonth() + step))
      ticks.push({ value: d.getTime() });
  }
  axis.ticks = ticks;
}

function capacityLabel(value) {
  const d = new Date(value);
  return page.capacityDays ? `${two(d.getMonth() + 1)}-${two(d.getDate())}` : `${d.getFullYear()}-${two(d.getMonth() + 1)}`;
}

// The measured capacities, the line fitted through them up to the replacement date (three years
// ahead at most), and the capacity at which to replace.
function drawCapacity(h) {
  const chart = page.capacityChart;
  if (!chart) return;
  const now = Date.now() + page.skew * 1000;
  const measured = h.capacity_points.map((p) => ({ x: p.time * 1000, y: p.capacity_ah }));
  const ahead = typeof h.replace_time === 'number' && h.replace_time * 1000 > now;
  const end = ahead ? Math.min(h.replace_time * 1000, now + 3 * YEAR * 1000) : now;
  const start = Math.min(measured.length ? measured[0].x : now, end - 86400000);
  const fit = h.fit;
  const along = (t) => ({ x: t, y: fit.capacity_ah + (fit.slope_ah_per_year * (t / 1000 - fit.time)) / YEAR });
  const level = (h.reference_capacity_ah * h.replace_at_percent) / 100;
  chart.data.datasets[0].data = measured;
  chart.data.datasets[1].data = typeof fit.slope_ah_per_year === 'number' ? [along(fit.from_time * 1000), along(end)] : [];
  chart.data.datasets[2].data = h.health_reference ? [{ x: start, y: level }, { x: end, y: level }] : [];
  chart.options.scales.x.min = start;
  chart.options.scales.x.max = end;
  chart.update('none');
}

function makeCapacityChart() {
  const line = (colour, more) => ({ data: [], borderColor: colour, backgroundColor: colour, borderWidth: 2, pointRadius: 0, ...more });
  page.capacityChart = new Chart($('chart-capacity'), {
    type: 'line',
    data: {
      datasets: [line('#1565c0', { showLine: false, pointRadius: 3 }), line('#2f7d32'), line('#c62828', { borderDash: [6, 4] })],
    },
    options: {
      animation: false,
      parsing: false,
      maintainAspectRatio: false,
      plugins: { legend: { display: false }, tooltip: { callbacks: { title: (items) => clock(items[0].parsed.x / 1000) } } },
      scales: { x: { type: 'linear', afterBuildTicks: capacityTicks, ticks: { callback: capacityLabel } }, y: { grace: '10%' } },
    },
  });
  if (page.health) drawCapacity(page.health);
}

// Chart ticks at round local times: every 10 min, hour or 4 h for a span of 1, 6 or 24 h;
// every day, week or month (30 days) for 7 d, 30 d or a year.
function timeTicks(axis) {
  const spans = [[3600, 600], [21600, 3600], [86400, 14400], [604800, 86400], [2592000, 604800]];
  const found = spans.find(([span]) => page.span <= span);
  const step = (found ? found[1] : 2592000) * 1000;
  const offset = new Date().getTimezoneOffset() * 60000;
  const ticks = [];
  for (let t = Math.ceil((axis.min - offset) / step) * step + offset; t <= axis.max; t += step) ticks.push({ value: t });
  axis.ticks = ticks;
}

// A tick's label: the time of day up to a day's span, the date beyond.
function tickLabel(value) {
  const d = new Date(value);
  if (page.span <= 86400) return `${two(d.getHours())}:${two(d.getMinutes())}`;
  return `${two(d.getMonth() + 1)}-${two(d.getDate())}`;
}

function makeCharts() {
  if (typeof Chart === 'undefined') {
    const note = $('charts-note');
    note.textContent = 'No charts: qavd cannot serve the chart library (Debian package libjs-chart.js).';
    note.hidden = false;
    return;
  }
  Chart.defaults.color = getComputedStyle(document.body).color;
  Chart.defaults.font.size = 13;
  for (const [id, colour] of CHARTS) {
    page.charts.push(new Chart($(id), {
      type: 'line',
      data: { datasets: [{ data: [], borderColor: colour, borderWidth: 2, pointRadius: 0, spanGaps: false }] },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        maintainAspectRatio: false,
        plugins: { legend: { display: false }, tooltip: { callbacks: { title: (items) => clock(items[0].parsed.x / 1000) } } },
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        scales: {
          x: { type: 'linear', afterBuildTicks: timeTicks, ticks: { callback: tickLabel } },
          y: { grace: '5%' },
        },
      },
    }));
  }
  makeCapacityChart();
}

function drawCharts() {
  const now = Date.now() + page.skew * 1000;
  page.charts.forEach((chart, i) => {
    const value = CHARTS[i][2];
    chart.data.datasets[0].data = page.points.map((p) => ({ x: p[0] * 1000, y: value(p) }));
    chart.options.scales.x.min = now - page.span * 1000;
    chart.options.scales.x.max = now;
    chart.update('none');
  });
}

// The whole span anew, or what came since the last request (timers of a hidden page run
// late) merged into what is shown.
async function loadHistory(whole) {
  const since = Math.ceil((Date.now() - page.fetchedAt) / 1000) + 2 * page.bucket;
  const asked = Date.now();
  let history;
  try {
    history = await getJson(`${API}/history?seconds=${whole ? page.span : Math.min(since, page.span)}`);
  } catch (error) {
    return;
  }
  page.fetchedAt = asked;
  page.bucket = history.bucket_seconds;
  // Merged points (with lowest and highest) are asked for whole each time.
  page.merged = history.fields.length > 9;
  const fresh = history.points;
  if (whole) page.points = fresh;
  else if (fresh.length) page.points = page.points.filter((p) => p[0] < fresh[0][0]).concat(fresh);
  const oldest = Date.now() / 1000 + page.skew - page.span;
  page.points = page.points.filter((p) => p[0] >= oldest - page.bucket);
  drawCharts();
}

async function pollHistory() {
  await loadHistory(page.merged);
  setTimeout(pollHistory, page.bucket * 1000);
}

function setSpan(button) {
  page.span = Number(button.dataset.seconds);
  for (const other of document.querySelectorAll('.switch button'))
    other.setAttribute('aria-pressed', String(other === button));
  loadHistory(true);
}

// The values first; the charts once the chart library, which runs after this script, is in.
// A battery's page of a site links back to the overview and to its own API.
function start() {
  if (BATTERY) {
    $('back').hidden = false;
    for (const link of document.querySelectorAll('footer [data-api]')) link.href = `${API}/${link.dataset.api}`;
  }
  build();
  pollState();
  setInterval(renderAge, 1000);
  document.addEventListener('DOMContentLoaded', () => {
    makeCharts();
    pollOutages();
    for (const button of document.querySelectorAll('.switch button')) button.addEventListener('click', () => setSpan(button));
    loadHistory(true).then(() => setTimeout(pollHistory, page.bucket * 1000));
  });
}

// The site's overview: a tile per battery, the worst first in the title.

// The kinds of state from the most severe, and how the title counts each.
const SEVERITY = [['fault', 'in fault'], ['stale', 'stale'], ['low', 'low battery'], ['onbattery', 'on battery'],
  ['alert', 'with an alert'], ['charging', 'charging'], ['discharging', 'discharging'], ['resting', 'resting']];

const site = { batteries: [], at: 0, unreachable: '' };

// A battery's most severe state as [kind, words, more]: stale before anything its last answer says.
function tileState(s) {
  if (site.unreachable) return ['stale', 'Stale', `qavd does not answer (${site.unreachable})`];
  const found = conditions(s);
  if (!s.fresh) {
    const last = 'gas_gauge_percent' in s ? ` · last answer: ${found[0][1]}` : '';
    return ['stale', 'Stale', `${s.stale_reason} since ${clock(s.stale_since)}${last}`];
  }
  return [found[0][0], found[0][1], found.slice(1, -1).map(([, text]) => text).join(' · ')];
}

// A tile's figures: charge, time left, power and the age of the last answer.
function tileFigures(s) {
  const known = 'gas_gauge_percent' in s;
  const age = known ? ago(s.age_seconds + (performance.now() - site.at) / 1000) : '–';
  return {
    charge: known ? `${s.gas_gauge_percent.toFixed(1)} %` : '–',
    left: known ? timeLeftText(s) || '–' : '–',
    power: known ? `${s.power_watts.toFixed(1)} W` : '–',
    age,
  };
}

// The tile of one battery, made the first time, filled every time.
function renderTile(s) {
  let tile = $('tiles').querySelector(`[data-battery="${s.battery}"]`);
  if (!tile) {
    tile = element('li', 'tile');
    tile.dataset.battery = s.battery;
    const link = element('a');
    link.href = `/battery/${s.battery}/`;
    const figures = element('dl', 'tile-figures');
    for (const [key, label] of [['left', 'Time left'], ['power', 'Power'], ['age', 'Last answer']]) {
      const pair = element('div');
      pair.append(element('dt', '', label), element('dd', `value ${key}`));
      figures.append(pair);
    }
    link.append(element('h2', 'tile-name', s.battery), element('p', 'state'), element('p', 'more'),
      element('p', 'value tile-charge'), figures);
    tile.append(link);
    $('tiles').append(tile);
  }
  const [kind, words, more] = tileState(s);
  tile.className = `tile ${kind}${kind === 'stale' ? ' stale' : ''}`;
  tile.querySelector('.state').className = `state ${kind}`;
  tile.querySelector('.state').textContent = words;
  tile.querySelector('.more').textContent = more;
  const figures = tileFigures(s);
  tile.querySelector('.tile-charge').textContent = figures.charge;
  for (const key of ['left', 'power', 'age']) tile.querySelector(`dd.${key}`).textContent = figures[key];
  return kind;
}

// The site's total power and the energy stored, of the batteries whose data is fresh.
function renderTotals(batteries) {
  const live = site.unreachable ? [] : batteries.filter((s) => s.fresh);
  const known = live.filter((s) => typeof s.capacity_ah === 'number');
  const watts = live.reduce((sum, s) => sum + s.power_watts, 0);
  const wh = known.reduce((sum, s) => sum + (s.capacity_ah * s.gas_gauge_percent * s.stack_voltage_volts) / 100, 0);
  const of = (list) => (list.length < batteries.length ? ` (${list.length} of ${batteries.length})` : '');
  setText('site-power', live.length ? `${watts.toFixed(1)} W${of(live)}` : '–');
  setText('site-energy', known.length ? `${(wh / 1000).toFixed(2)} kWh${of(known)}` : '–');
}

function renderOverview() {
  const batteries = site.batteries;
  $('banner').hidden = !site.unreachable;
  if (site.unreachable) setText('banner', `qavd does not answer (${site.unreachable})`);
  const kinds = batteries.map(renderTile);
  renderTotals(batteries);
  const worst = SEVERITY.find(([kind]) => kinds.includes(kind));
  if (!worst) return;
  const count = kinds.filter((kind) => kind === worst[0]).length;
  const summary = `${count} of ${batteries.length} ${worst[1]}`;
  setText('summary', summary);
  $('summary').className = `state ${worst[0]}`;
  document.title = `${summary} - ${site.name}`;
}

// Ask for every battery's state twice per shortest poll interval (within 0.1 s to 2 s).
async function pollSite() {
  try {
    const answer = await getJson('/api/v1/batteries');
    site.batteries = answer.batteries;
    site.name = answer.site;
    site.at = performance.now();
    site.unreachable = '';
    setText('site', answer.site);
  } catch (error) {
    site.unreachable = error.name === 'AbortError' ? 'timeout' : error.message;
  }
  renderOverview();
  const interval = Math.min(...site.batteries.map((s) => s.interval_seconds), 2);
  setTimeout(pollSite, Math.min(2, Math.max(0.1, interval / 2)) * 1000);
}

if (document.body.dataset.view === 'overview') {
  pollSite();
  setInterval(renderOverview, 1000);
} else {
  start();
}
