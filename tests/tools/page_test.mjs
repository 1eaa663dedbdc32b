// The graph page in a real browser (Debian's chromium, driven by
// playwright-core) against `orvik serve` over the example hour.
// Environment: ORVIK (the program), SNAPSHOTS, NPM_DIR (.deps/npm), OUT_DIR
// (where the screenshot goes), CHROMIUM (default /usr/bin/chromium).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';

const env = process.env;
const { chromium } = createRequire(path.join(env.NPM_DIR, 'package.json'))('playwright-core');
const WIDTH = 1200;
const HEIGHT = 820;

let server;
let base;
let context;
let page;
let profile;
const problems = [];  // console errors, page errors, requests to other origins
const ranges = [];  // the parameters of every range query the page sent

function startServer() {
  return new Promise((resolve, reject) => {
    server = spawn(env.ORVIK, ['serve', '--snapshots', env.SNAPSHOTS, '--listen', '127.0.0.1:0'],
      { stdio: ['ignore', 'ignore', 'pipe'] });
    let text = '';
    const timer = setTimeout(() => reject(new Error('orvik serve did not start: ' + text)), 10000);
    server.stderr.on('data', (chunk) => {
      if (base) return;
      text += chunk;
      // The line comes in pieces: the port is whole once " (" follows it.
      const m = /listening on (http:\/\/127\.0\.0\.1:\d+) \(/.exec(text);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
    server.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error('orvik serve ended (' + code + '): ' + text));
    });
  });
}
process.on('exit', () => server && server.kill());

async function ask(endpoint, params) {
  const response = await fetch(base + endpoint + '?' + new URLSearchParams(params));
  return response.json();
}

// Types a query, presses Enter and waits until the page says the run ended.
async function runOnPage(query) {
  const runs = await page.evaluate(() => Number(document.body.dataset.runs || 0));
  await page.fill('#query', query);
  await page.press('#query', 'Enter');
  await page.waitForFunction((n) => Number(document.body.dataset.runs || 0) > n, runs, { timeout: 15000 });
}

// Pixels of the series' strokes: the grid, axes and background are grey.
function coloredPixels() {
  return page.evaluate(async () => {
    await new Promise((resolve) => requestAnimationFrame(resolve));
    const canvas = document.querySelector('#chart canvas');
    if (!canvas) return -1;
    const d = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4)
      if (d[i + 3] > 128 && Math.max(d[i], d[i + 1], d[i + 2]) - Math.min(d[i], d[i + 1], d[i + 2]) > 60) n++;
    return n;
  });
}

// Polls check() until it holds, for up to 10 s; the page draws and the
// browser reports in their own time.
async function until(what, check) {
  const deadline = Date.now() + 10000;
  while (!(await check())) {
    if (Date.now() > deadline) assert.fail(what + ' within 10 s');
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

const legendEntries = () => page.locator('#chart .u-legend tr.u-series:not(:first-child)');

before(async () => {
  base = await startServer();
  profile = mkdtempSync(path.join(tmpdir(), 'orvik-page-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: WIDTH, height: HEIGHT },
    timeout: 30000,
  });
  page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(15000);
  page.on('console', (m) => m.type() === 'error' && problems.push('console: ' + m.text()));
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith(base + '/')) return route.continue();
    problems.push('request to another origin: ' + url);
    return route.abort();
  });
  page.on('request', (r) => {
    if (r.url().endsWith('/api/v1/query_range')) ranges.push(Object.fromEntries(new URLSearchParams(r.postData())));
  });
});

after(async () => {
  if (context) await context.close();
  if (server) server.kill();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

describe('the page', () => {
  test('loads from the server alone, with the metric names to pick from', async () => {
    const response = await page.goto(base + '/');
    assert.equal(response.status(), 200);
    assert.match(response.headers()['content-security-policy'], /default-src 'none'/);
    await page.waitForFunction(() => document.body.dataset.ready === 'true');
    const names = (await ask('/api/v1/label/__name__/values', {})).data;
    assert.ok(names.length > 10);
    assert.deepEqual(await page.$$eval('#metric option', (os) => os.slice(1).map((o) => o.value)), names);
    assert.equal(await page.evaluate(() => typeof uPlot), 'function');
    assert.deepEqual(problems, []);
  });
});

describe('the chart over the example hour', () => {
  const drawn = [
    { query: 'sum(rate(windows_net_bytes_recv_sec[1m]))', metric: 'windows_net_bytes_recv_sec' },
    { query: 'rate(windows_cpu_time_total{mode!="idle"}[1m])', metric: 'windows_cpu_time_total' },
    // A computed series: one line without labels.
    { query: '100 - avg(rate(windows_cpu_time_total{mode="idle"}[1m])) * 100', metric: 'windows_cpu_time_total' },
  ];
  for (const { query, metric } of drawn) {
    test(query, async (t) => {
      await runOnPage(query);
      // uPlot draws in its own turn of the event loop, not within the run.
      const ms = await (await page.waitForFunction(() => document.querySelector('#chart').dataset.drawMs)).jsonValue();
      t.diagnostic('fetched and drawn in ' + ms + ' ms');

      // The data is years old: the window is the data's own, from its
      // oldest to its newest sample, at about one step per two pixels.
      const newest = (await ask('/api/v1/query', { query: `timestamp(${metric})`, time: Date.now() / 1000 })).data.result;
      // The example hour starts at 1700000000 for every metric.
      const first = 1700000000;
      const sent = ranges[ranges.length - 1];
      const [start, end, step] = [Number(sent.start), Number(sent.end), Number(sent.step)];
      assert.equal(await page.$eval('#range', (r) => r.value), 'data');
      assert.equal(end, Math.max(...newest.map((e) => Number(e.value[1]))));
      assert.ok(start <= first && start > first - step, `start ${start} for data from ${first}`);
      const width = await page.$eval('#graph', (g) => g.clientWidth);
      assert.ok(Math.abs((end - start) / step - width / 2) <= 2, `${(end - start) / step} steps for ${width} px`);

      const instant = (await ask('/api/v1/query', { query, time: end })).data.result;
      assert.equal(await legendEntries().count(), instant.length);
      const labels = await legendEntries().locator('.u-label').allTextContents();
      for (const e of instant) {
        const pairs = Object.entries(e.metric).filter(([k]) => k !== '__name__').map(([k, v]) => `${k}="${v}"`);
        assert.ok(labels.some((l) => pairs.every((p) => l.includes(p))), `a legend entry for ${pairs}`);
      }
      assert.ok((await coloredPixels()) > 500, 'the series are drawn on the canvas');
    });
  }
});

describe('the legend and the table', () => {
  test('clicking a legend entry hides its series and clicking again shows it', async () => {
    await runOnPage('sum(rate(windows_net_bytes_recv_sec[1m]))');
    const shown = await coloredPixels();
    assert.ok(shown > 500);
    await legendEntries().first().click();
    await assert.doesNotReject(legendEntries().first().and(page.locator('.u-off')).waitFor());
    await until('the only series gone from the canvas', async () => (await coloredPixels()) < shown / 20);
    await legendEntries().first().click();
    await until('the series back on the canvas', async () => (await coloredPixels()) > shown / 2);
  });

  test('the table lists the elements of the instant answer', async () => {
    const query = 'windows_cpu_time_total{mode="user"}';
    const response = page.waitForResponse((r) => r.url().endsWith('/api/v1/query') &&
      new URLSearchParams(r.request().postData()).get('query') === query);
    await runOnPage(query);
    const answer = await (await response).json();
    assert.equal(answer.status, 'success');
    const rows = await page.$$eval('#table tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
    assert.equal(rows.length, answer.data.result.length);
    assert.ok(rows.length >= 2);
    answer.data.result.forEach((e, i) => {
      assert.match(rows[i][0], new RegExp(`core="${e.metric.core}"`));
      assert.equal(rows[i][1], e.value[1]);
    });
  });

  // Whatever refuses a query, the page shows the server's own words.
  const refused = ['sum(', '{}'];
  for (const query of refused) {
    test('a refused query shows the server\'s error: ' + query, async () => {
      const expected = await ask('/api/v1/query_range', { query, start: 1700000000, end: 1700003600, step: 60 });
      assert.equal(expected.status, 'error');
      const seen = problems.length;
      await runOnPage(query);
      // The browser reports every refused request on its console, the range
      // and the instant question both, after the page has seen the answers;
      // nothing else may appear.
      await until('both refusals on the console', () => problems.length >= seen + 2);
      for (const p of problems.splice(seen)) assert.match(p, /Failed to load resource: .* status of 4\d\d/);
      assert.ok((await page.textContent('#error')).includes(expected.error));
      assert.equal(await page.isVisible('#error'), true);
      assert.equal(await page.$('#chart canvas'), null, 'no chart of an earlier query is left');
    });
  }
});

describe('screenshot and refresh', () => {
  test('a screenshot of the example hour is saved', async (t) => {
    // The address keeps the query, so a page can be passed on or bookmarked.
    await page.goto(base + '/graph?query=' + encodeURIComponent('rate(windows_cpu_time_total{mode!="idle"}[1m])'));
    await page.waitForFunction(() => document.body.dataset.runs === '1' && document.querySelector('#chart').dataset.drawMs);
    const file = path.join(env.OUT_DIR, 'graph.png');
    await page.screenshot({ path: file });
    t.diagnostic('screenshot: ' + file);
  });

  // Last: the fake clock stays in the page from here on.
  test('the refresh toggle asks again every 15 s until it is turned off', async () => {
    await runOnPage('rate(windows_cpu_time_total{mode!="idle"}[1m])');
    await page.clock.install();
    const asked = ranges.length;
    const runs = await page.evaluate(() => Number(document.body.dataset.runs));
    await page.check('#refresh');
    await page.clock.runFor(14000);
    await page.waitForTimeout(300);
    assert.equal(ranges.length, asked, 'not before 15 s');
    await page.clock.runFor(1000);
    await page.waitForFunction((n) => Number(document.body.dataset.runs) > n, runs);
    assert.equal(ranges.length, asked + 1);
    await page.uncheck('#refresh');
    await page.clock.runFor(45000);
    await page.waitForTimeout(300);
    assert.equal(ranges.length, asked + 1, 'no more once turned off');
  });

  test('no console error and no request to another origin all along', () => {
    assert.deepEqual(problems, []);
  });
});
