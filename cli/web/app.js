// The live page of velprobe serve: polls the JSON API and draws the last hour.
'use strict';

const HOUR_MS = 3600e3;
const DECIMALS = { battery_V: 2, temperature_C: 2, total_field: 3, axis1: 3, axis2: 3, axis3: 3 };
const FIELD_KEYS = ['total_field', 'axis1', 'axis2', 'axis3'];

const cards = new Map();  // port -> { element, charts, lastPoint }
let after = 0;
let pollMs = 1000;

async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
  return response.json();
}

const clock = (ms) => new Date(ms).toLocaleTimeString([], {
  hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23' });

function lineChart(canvas, title, series, unit) {
  return new Chart(canvas, {
    type: 'line',
    data: {
      datasets: series.map(([label, color]) => ({
        label, data: [], borderColor: color, backgroundColor: color,
        borderWidth: 1.5, pointRadius: 0, spanGaps: false,
      })),
    },
    options: {
      animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
      plugins: { title: { display: true, text: title }, legend: { display: series.length > 1 } },
      scales: {
        x: {
          type: 'linear',
          ticks: {  // seconds only while the chart spans less than ten minutes
            maxTicksLimit: series.length > 1 ? 7 : 4,
            callback(v) { return this.max - this.min < 600e3 ? clock(v) : clock(v).slice(0, 5); },
          },
        },
        y: { title: { display: Boolean(unit), text: unit } },
      },
    },
  });
}

function makeCard(port) {
  const element = document.getElementById('probe-card').content.firstElementChild.cloneNode(true);
  element.querySelector('.port').textContent = port;
  document.getElementById('probes').append(element);
  const card = { element, charts: null, lastPoint: -Infinity };
  if (window.Chart) {
    card.charts = {
      field: lineChart(element.querySelector('.field-chart'), 'Field, last hour', [
        ['total', '#1d2330'], ['axis 1', '#c62828'], ['axis 2', '#2e7d32'], ['axis 3', '#1565c0']]),
      battery: lineChart(element.querySelector('.battery-chart'), 'Battery', [['battery', '#6a1b9a']], 'V'),
      temperature: lineChart(element.querySelector('.temperature-chart'), 'Temperature',
        [['temperature', '#e65100']], '°C'),
    };
  } else {
    element.querySelector('.note').textContent =
      'No charts: the charting library (Debian package libjs-chart.js) is not installed on the server.';
  }
  cards.set(port, card);
  return card;
}

function showProbe(probe) {
  const card = cards.get(probe.port) || makeCard(probe.port);
  const el = card.element;
  const state = el.querySelector('.state');
  state.className = 'state ' + probe.state.replace(' ', '-');
  state.textContent = probe.state === 'down'
    ? `not answering since ${clock(Date.parse(probe.since))}` : probe.state;
  const id = probe.identity;
  el.querySelector('.identity').textContent = id
    ? `Serial number ${id.serial_number} · ${id.name} · firmware ${id.firmware} · calibrated ${id.calibration_date}`
    : 'Identity not read yet';
  const last = probe.state === 'down' ? null : probe.last;
  for (const value of el.querySelectorAll('.value')) {
    const key = value.dataset.key;
    const v = last ? last[key] : null;
    const overRange = Boolean(last && Array.isArray(last.over_range) && last.over_range.includes(key));
    value.textContent = typeof v === 'number' ? v.toFixed(DECIMALS[key]) : overRange ? 'over range' : '–';
    value.classList.toggle('missing', overRange);
  }
  const note = probe.state === 'down' ? probe.message : '';
  if (card.charts) el.querySelector('.note').textContent = note;
}

// Adds readings to the charts, at most one point a second per probe.
function chartReadings(readings, now) {
  for (const r of readings) {
    const card = cards.get(r.port);
    if (!card || !card.charts) continue;
    const x = Date.parse(r.time);
    if (x - card.lastPoint < 1000 && r.error === undefined) continue;
    card.lastPoint = x;
    const point = (v) => ({ x, y: typeof v === 'number' ? v : null });
    FIELD_KEYS.forEach((key, i) => card.charts.field.data.datasets[i].data.push(point(r[key])));
    card.charts.battery.data.datasets[0].data.push(point(r.battery_V));
    card.charts.temperature.data.datasets[0].data.push(point(r.temperature_C));
  }
  for (const card of cards.values()) {
    if (!card.charts) continue;
    for (const chart of Object.values(card.charts)) {
      for (const dataset of chart.data.datasets) {
        const keep = dataset.data.findIndex((p) => p.x >= now - HOUR_MS);
        dataset.data.splice(0, keep < 0 ? dataset.data.length : keep);
      }
      // The axis grows with the data up to an hour, so a fresh start shows its lines.
      const first = chart.data.datasets[0].data[0];
      chart.options.scales.x.min = first ? Math.min(first.x, now - 10e3) : now - HOUR_MS;
      chart.options.scales.x.max = now;
      chart.update('none');
    }
  }
}

async function poll() {
  const status = document.getElementById('status');
  try {
    const probes = await getJson('api/probes');
    const now = Date.parse(probes.now);
    pollMs = Math.min(Math.max(probes.interval * 1000, 500), 2000);
    for (const probe of probes.probes) showProbe(probe);
    // An answer holds a page of readings at most; "more" asks for the next.
    let readings;
    do {
      const query = after ? `after=${after}` : `since=${new Date(now - HOUR_MS).toISOString()}`;
      readings = await getJson(`api/readings?${query}`);
      after = readings.next;
      chartReadings(readings.readings, now);
    } while (readings.more);
    status.textContent = `Updated ${clock(now)} · a reading every ${probes.interval} s`;
    document.body.dataset.updated = String(now);
  } catch (error) {
    status.textContent = `The server does not answer (${error.message}); trying again`;
  }
  setTimeout(poll, pollMs);
}

poll();
