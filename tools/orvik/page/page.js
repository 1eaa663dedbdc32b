// The graph page: asks the server's query API and draws the answers.
'use strict';

(() => {
  // The server refuses range queries of more steps than this.
  const MAX_STEPS = 11000;
  const PIXELS_PER_POINT = 2;
  const REFRESH_MS = 15000;
  const CHART_HEIGHT = 360;
  // Data whose newest sample is older than this is looked at in its own
  // window: "the last hour" of a loaded file is empty.
  const STALE_SECONDS = 300;

  const $ = (id) => document.getElementById(id);
  let chart = null;
  let names = [];
  let dataWindow = null;
  let rangeTouched = false;
  let runNumber = 0;
  let timer = null;

  async function ask(path, params) {
    let response;
    try {
      // Queries go as forms, which hold long texts; the label values are GET only.
      response = await fetch(path, params ? { method: 'POST', body: new URLSearchParams(params) } : {});
    } catch (e) {
      return { error: 'cannot reach the server: ' + e.message };
    }
    const text = await response.text();
    let doc = null;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      doc = null;
    }
    if (doc && doc.status === 'success') return { data: doc.data };
    if (doc && doc.status === 'error') return { error: doc.error, errorType: doc.errorType };
    return { error: 'HTTP ' + response.status + ': ' + text.slice(0, 500) };
  }

  function seriesName(metric) {
    const labels = Object.keys(metric).filter((k) => k !== '__name__').sort()
      .map((k) => k + '=' + JSON.stringify(metric[k]));
    const name = metric.__name__ || '';
    return labels.length ? name + '{' + labels.join(', ') + '}' : name || '{}';
  }

  // Prometheus writes "+Inf", "-Inf" and "NaN"; the chart shows them as gaps.
  function number(text) {
    const v = Number(text);
    return Number.isFinite(v) ? v : null;
  }

  function shortNumber(v) {
    const a = Math.abs(v);
    const units = [[1e12, 'T'], [1e9, 'G'], [1e6, 'M'], [1e3, 'k']];
    for (const [size, unit] of units) if (a >= size) return +(v / size).toPrecision(3) + unit;
    return String(+v.toPrecision(4));
  }

  function localTime(seconds) {
    return new Date(seconds * 1000).toLocaleString();
  }

  function showErrors(errors) {
    const box = $('error');
    box.replaceChildren();
    for (const e of errors) {
      const line = document.createElement('div');
      if (e.errorType) {
        const type = document.createElement('strong');
        type.textContent = e.errorType + ' ';
        line.append(type);
      }
      line.append(e.error);
      box.append(line);
    }
    box.hidden = errors.length === 0;
  }

  function dropChart() {
    if (chart) chart.destroy();
    chart = null;
    delete $('chart').dataset.drawMs;
  }

  // All series of a range answer share the query's step times; the union is
  // taken all the same, so an answer with gaps is drawn with gaps.
  function plotData(result) {
    const times = new Set();
    for (const s of result) for (const [t] of s.values) times.add(t);
    const xs = [...times].sort((a, b) => a - b);
    const at = new Map(xs.map((t, i) => [t, i]));
    const columns = result.map((s) => {
      const ys = new Array(xs.length).fill(null);
      for (const [t, v] of s.values) ys[at.get(t)] = number(v);
      return ys;
    });
    return [xs, ...columns];
  }

  function chartWidth() {
    return Math.max(200, $('graph').clientWidth);
  }

  function draw(result, started) {
    dropChart();
    if (typeof uPlot === 'undefined') {
      showErrors([{ error: 'this build of orvik carries no chart library: run scripts/bootstrap and rebuild' }]);
      return;
    }
    const opts = {
      width: chartWidth(),
      height: CHART_HEIGHT,
      scales: { x: { time: true } },
      series: [{}, ...result.map((s, i) => ({
        label: seriesName(s.metric),
        stroke: 'hsl(' + ((i * 137.508) % 360).toFixed(1) + ', 70%, 42%)',
        width: 1.5,
        points: { show: false },
      }))],
      axes: [{}, { size: 64, values: (u, splits) => splits.map((v) => (v == null ? '' : shortNumber(v))) }],
      hooks: {
        draw: [() => {
          if (started === null) return;
          const ms = performance.now() - started;
          started = null;
          $('chart').dataset.drawMs = ms.toFixed(1);
          $('status').textContent += ', drawn in ' + ms.toFixed(0) + ' ms';
        }],
      },
    };
    chart = new uPlot(opts, plotData(result), $('chart'));
  }

  function fillTable(data, time) {
    const body = $('table').tBodies[0];
    body.replaceChildren();
    $('instant-time').textContent = data ? 'at ' + localTime(time) : '';
    if (!data) return;
    const rows = [];
    if (data.resultType === 'vector') {
      for (const e of data.result) rows.push([seriesName(e.metric), e.value[1], e.value[0]]);
    } else if (data.resultType === 'matrix') {
      for (const s of data.result) {
        const last = s.values[s.values.length - 1] || [time, ''];
        rows.push([seriesName(s.metric), last[1], last[0]]);
      }
    } else if (data.result) {
      rows.push(['(' + data.resultType + ')', data.result[1], data.result[0]]);
    }
    for (const [name, value, t] of rows) {
      const tr = body.insertRow();
      tr.insertCell().textContent = name;
      tr.insertCell().textContent = value;
      tr.insertCell().textContent = localTime(t);
    }
  }

  function metricOf(query) {
    const known = new Set(names);
    for (const word of query.match(/[A-Za-z_:][A-Za-z0-9_:]*/g) || []) if (known.has(word)) return word;
    return names[0];
  }

  // timestamp() of a plain selector at now answers each series' newest
  // sample time; its smallest value over the day before, second by second,
  // is the time of the oldest sample within that day.
  async function findDataWindow(query) {
    const name = metricOf(query);
    if (!name) return null;
    const now = Date.now() / 1000;
    const newest = await ask('/api/v1/query', { query: 'max(timestamp(' + name + '))', time: now.toFixed(3) });
    if (!newest.data || newest.data.resultType !== 'vector' || !newest.data.result.length) return null;
    const end = Number(newest.data.result[0].value[1]);
    if (!Number.isFinite(end) || end >= now - STALE_SECONDS) return null;
    const oldest = await ask('/api/v1/query',
      { query: 'min(min_over_time(timestamp(' + name + ')[1d:1s]))', time: end.toFixed(3) });
    const start = oldest.data && oldest.data.result.length ? Number(oldest.data.result[0].value[1]) : end - 3600;
    return { start: Math.min(Number.isFinite(start) ? start : end - 3600, end - 60), end };
  }

  async function updateWindow(query) {
    dataWindow = await findDataWindow(query);
    const option = $('range').querySelector('option[value="data"]');
    option.hidden = !dataWindow;
    if (dataWindow) {
      option.textContent = "the data's window (" + localTime(dataWindow.start) + ' – ' + localTime(dataWindow.end) + ')';
      if (!rangeTouched) $('range').value = 'data';
    } else if ($('range').value === 'data') {
      $('range').value = '3600';
    }
  }

  function timeWindow() {
    if ($('range').value === 'data' && dataWindow) return dataWindow;
    const end = Date.now() / 1000;
    return { start: end - Number($('range').value), end };
  }

  async function run() {
    const mine = ++runNumber;
    await answer($('query').value.trim(), mine);
    // Tells whoever watches the page (its tests) that this run has ended.
    if (mine === runNumber) document.body.dataset.runs = String(mine);
  }

  async function answer(query, mine) {
    if (!query) return;
    history.replaceState(null, '', '?query=' + encodeURIComponent(query));
    const started = performance.now();
    $('status').textContent = 'asking…';
    await updateWindow(query);
    const { start, end } = timeWindow();
    const points = Math.min(Math.floor(chartWidth() / PIXELS_PER_POINT), MAX_STEPS - 2);
    const step = Math.max(0.001, Math.ceil(((end - start) / points) * 1000) / 1000);
    const first = Math.floor(start / step) * step;
    const [range, instant] = await Promise.all([
      ask('/api/v1/query_range', { query, start: first.toFixed(3), end: end.toFixed(3), step: step.toFixed(3) }),
      ask('/api/v1/query', { query, time: end.toFixed(3) }),
    ]);
    if (mine !== runNumber) return;
    const errors = [range, instant].filter((a) => a.error);
    if (errors.length === 2 && errors[0].error === errors[1].error) errors.pop();
    showErrors(errors);
    fillTable(instant.data, end);
    if (!range.data) {
      dropChart();
      $('status').textContent = 'refused';
      return;
    }
    const result = range.data.result;
    const count = result.reduce((n, s) => n + s.values.length, 0);
    $('status').textContent = result.length + ' series, ' + count + ' points, step ' + step + ' s';
    if (result.length === 0) {
      dropChart();
      return;
    }
    draw(result, started);
  }

  async function loadNames() {
    const answer = await ask('/api/v1/label/__name__/values', null);
    if (!answer.data) return;
    names = answer.data;
    const select = $('metric');
    for (const name of names) select.add(new Option(name, name));
  }

  function setRefresh() {
    clearInterval(timer);
    timer = $('refresh').checked ? setInterval(run, REFRESH_MS) : null;
  }

  document.addEventListener('DOMContentLoaded', async () => {
    $('controls').addEventListener('submit', (e) => {
      e.preventDefault();
      run();
    });
    $('metric').addEventListener('change', () => {
      if (!$('metric').value) return;
      $('query').value = $('metric').value;
      $('metric').value = '';
      run();
    });
    $('range').addEventListener('change', () => {
      rangeTouched = true;
      run();
    });
    $('refresh').addEventListener('change', setRefresh);
    window.addEventListener('resize', () => {
      if (chart) chart.setSize({ width: chartWidth(), height: CHART_HEIGHT });
    });
    await loadNames();
    const asked = new URLSearchParams(location.search).get('query');
    if (asked) {
      $('query').value = asked;
      run();
    }
    document.body.dataset.ready = 'true';
  });
})();
