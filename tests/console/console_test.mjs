// The web console in a real browser. Starts the stub match-history service and tpk-host (with the
// module and a resources file pointed at the stub) on free loopback ports, opens the console in
// headless Chromium with the token in the address's fragment, and checks what a person would see:
// the player's recent champions, a publication arriving live, a game with its timeline chart,
// paging, a disabled service, a refused token; screenshots of each view under --out, and axe-core
// finding no serious or critical violation in any of them. One line per check; the first failure
// ends the run with a non-zero exit. Both processes and the browser are ended by process id in
// every case.
//
//   node console_test.mjs --host tpk-host --stub tpk-mhx-stub --module tpk-be-qel-mhx.so
//        --resources examples/resources.yaml --out DIR [--chromium /usr/bin/chromium]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(import.meta.url);
const TOTAL_MS = 90_000;
const STEP_MS = 15_000;
const started = Date.now();

// ---- arguments ---------------------------------------------------------------------------------

function parseArgs(argv) {
  const args = { chromium: '/usr/bin/chromium' };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    if (!['host', 'stub', 'module', 'resources', 'out', 'chromium'].includes(name) || argv[i + 1] === undefined)
      throw new Error(`unknown or incomplete option '${argv[i]}'`);
    args[name] = argv[i + 1];
  }
  for (const name of ['host', 'stub', 'module', 'resources', 'out'])
    if (!args[name]) throw new Error(`--${name} is required`);
  return args;
}

// ---- processes ---------------------------------------------------------------------------------

const children = []; // {name, child}
let browserPid = null;
let work = null;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null;
}

// Ends one process we started: SIGTERM, then SIGKILL after 5 s.
async function stopChild({ child }) {
  if (exited(child)) return;
  const gone = new Promise((resolve) => child.once('exit', resolve));
  try {
    process.kill(child.pid, 'SIGTERM');
  } catch {
    return;
  }
  if (await Promise.race([gone.then(() => true), sleep(5000).then(() => false)])) return;
  try {
    process.kill(child.pid, 'SIGKILL');
  } catch {}
  await Promise.race([gone, sleep(2000)]);
}

let cleaning = null;
function cleanup() {
  cleaning ??= (async () => {
    if (browserPid) {
      try {
        process.kill(browserPid, 'SIGKILL');
      } catch {}
    }
    for (const entry of children.slice().reverse()) await stopChild(entry);
    if (work) fs.rmSync(work, { recursive: true, force: true });
  })();
  return cleaning;
}

// Starts a program with its output in files; resolves to the first stdout line matching `pattern`.
function start(name, program, args) {
  const out = path.join(work, name + '.out');
  const err = path.join(work, name + '.log');
  const child = spawn(program, args, { stdio: ['ignore', fs.openSync(out, 'w'), fs.openSync(err, 'w')] });
  children.push({ name, child });
  const proc = { child, out, err, failure: null };
  child.on('error', (error) => (proc.failure = error));
  return proc;
}

async function awaitLine(proc, pattern, ms = 20_000) {
  const until = Date.now() + ms;
  while (Date.now() < until) {
    const text = fs.existsSync(proc.out) ? fs.readFileSync(proc.out, 'utf8') : '';
    const line = text.split('\n').find((l) => pattern.test(l));
    if (line) return line.match(pattern);
    if (exited(proc.child)) break;
    await sleep(100);
  }
  if (proc.failure) throw new Error(`could not start ${proc.child.spawnfile}: ${proc.failure.message}`);
  const log = fs.existsSync(proc.err) ? fs.readFileSync(proc.err, 'utf8').slice(-2000) : '';
  throw new Error(`no line matching ${pattern} from ${path.basename(proc.out, '.out')} (pid ${proc.child.pid}` +
    `${exited(proc.child) ? ', exited ' + (proc.child.exitCode ?? proc.child.signalCode) : ''}); its stderr:\n${log}`);
}

// ---- checks ------------------------------------------------------------------------------------

let passed = 0;

class CheckFailure extends Error {}

function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new CheckFailure(`${what}: no result within ${ms / 1000} s`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

async function check(name, body, ms = STEP_MS) {
  try {
    await withTimeout(Promise.resolve().then(body), ms, name);
  } catch (error) {
    console.log(`not ok ${passed + 1} - ${name}`);
    console.log(`# ${String(error.message || error).split('\n').join('\n# ')}`);
    throw new CheckFailure(`check failed: ${name}`);
  }
  passed++;
  console.log(`ok ${passed} - ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
}

function expect(condition, message) {
  if (!condition) throw new Error(message);
}

// ---- the run -----------------------------------------------------------------------------------

async function run(args) {
  let puppeteer, axeSource;
  try {
    puppeteer = (await import('puppeteer-core')).default;
    axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
  } catch (error) {
    throw new Error(`${error.message}\n(run 'npm ci' in ${here})`);
  }
  expect(fs.existsSync(args.chromium), `no browser at ${args.chromium} (apt-get install chromium)`);
  fs.mkdirSync(args.out, { recursive: true });
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'tpk-console-'));
  const runDir = path.join(work, 'run');
  fs.mkdirSync(runDir, { mode: 0o700 });

  // The stub, then the host with the resources pointed at it.
  const stub = start('stub', args.stub, ['--listen', '127.0.0.1:0']);
  const stubUrl = (await awaitLine(stub, /^listening on (http:\/\/127\.0\.0\.1:\d+)$/))[1];
  const resources = path.join(work, 'resources.yaml');
  const original = fs.readFileSync(args.resources, 'utf8');
  expect(/^ {2}Endpoint: .*$/m.test(original), `${args.resources} has no '  Endpoint:' line to point at the stub`);
  fs.writeFileSync(resources, original.replace(/^ {2}Endpoint: .*$/m, `  Endpoint: ${stubUrl}`));
  const host = start('host', args.host, ['--resources', resources, '--runtime-dir', runDir, args.module]);
  const hostUrl = (await awaitLine(host, /^listening on (http:\/\/127\.0\.0\.1:\d+)$/))[1];
  const consoleUrl = (await awaitLine(host, /^console: (http:\/\/127\.0\.0\.1:\d+\/)$/, 5000))[1];
  const runFile = path.join(runDir, `tpk-host-${host.child.pid}.json`);
  let token = '';
  for (let i = 0; i < 100 && !token; i++) {
    try {
      token = JSON.parse(fs.readFileSync(runFile, 'utf8')).token || '';
    } catch {
      await sleep(100);
    }
  }
  expect(token, `no token in the run file ${runFile}`);

  // The host's API from here, for what the page should show.
  const api = async (method, uri, body) => {
    const response = await fetch(hostUrl + uri, {
      method,
      headers: { Authorization: `Bearer ${token}`, ...(body ? { 'Content-Type': 'application/json' } : {}) },
      body: body ? JSON.stringify(body) : undefined,
    });
    const text = await response.text();
    expect(response.ok, `${method} ${uri} answered ${response.status}: ${text.slice(0, 300)}`);
    return text ? JSON.parse(text) : null;
  };

  const browser = await puppeteer.launch({
    executablePath: args.chromium,
    headless: true,
    userDataDir: path.join(work, 'chromium'),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    timeout: 20_000,
  });
  browserPid = browser.process()?.pid ?? null;
  try {
    await browse(browser, { consoleUrl, hostUrl, token, api, axeSource, out: args.out });
  } finally {
    await browser.close().catch(() => {});
    browserPid = null;
  }
}

async function browse(browser, { consoleUrl, token, api, axeSource, out }) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.setDefaultTimeout(STEP_MS);
  const requests = [];
  const pageErrors = [];
  let loads = 0;
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('load', () => loads++);
  // Every refusal of the page's Content-Security-Policy, kept in the page.
  await page.evaluateOnNewDocument(() => {
    window.__csp = [];
    document.addEventListener('securitypolicyviolation', (e) => window.__csp.push(`${e.violatedDirective} ${e.blockedURI}`));
  });

  const text = (selector) => page.$eval(selector, (el) => el.textContent.trim());
  // Waits for what the page should come to show, naming it when it does not.
  const WAIT_MS = 10_000;
  const named_ = (what) => (error) => {
    throw new Error(`waited ${WAIT_MS / 1000} s for ${what}${error.name === 'TimeoutError' ? '' : ': ' + error.message}`);
  };
  const until = (what, fn, ...args) => page.waitForFunction(fn, { timeout: WAIT_MS }, ...args).catch(named_(what));
  const shown = (what, selector, on = page) => on.waitForSelector(selector, { timeout: WAIT_MS }).catch(named_(what));
  const tab = async (name) => {
    await page.click(`::-p-aria([name="${name}"][role="tab"])`);
    await until(`the ${name} tab selected`, (n) => document.querySelector('[role="tab"][aria-selected="true"]')?.textContent === n, name);
  };
  const champions = () => page.$$eval('#recent-champions tbody th', (ths) => ths.map((th) => th.textContent.trim()));
  const named = (collection) => collection.champions.map((c) => `Champion ${c.championId}`);
  const axe = async (view) => {
    if (!(await page.evaluate(() => !!window.axe))) await page.evaluate(axeSource);
    const found = await page.evaluate(async () => {
      const result = await window.axe.run(document, { resultTypes: ['violations'] });
      return result.violations
        .filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => `${v.impact} ${v.id}: ${v.help} at ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
    });
    expect(found.length === 0, `axe-core in the ${view} view:\n${found.join('\n')}`);
  };
  const shoot = (name) => page.screenshot({ path: path.join(out, name + '.png') });

  await check('the console loads with the token from the fragment and removes it', async () => {
    await page.goto(consoleUrl + '#token=' + token, { waitUntil: 'load' });
    await shown('the tabs', '[role="tab"][aria-selected="true"]');
    const state = await page.evaluate(() => ({ hash: location.hash, stored: Object.values(sessionStorage) }));
    expect(state.hash === '', `the fragment is still in the address: ${state.hash}`);
    expect(state.stored.includes(token), 'the token is not in sessionStorage');
    await page.evaluate(() => (window.__samePage = true));
  });

  await check("the session's player and their recent champions appear", async () => {
    const session = await api('GET', '/resources/qel-login/v1/session');
    await until(`the player ${session.accountId}`, (id) => document.querySelector('#player-account')?.textContent === id, String(session.accountId));
    await shown('the recent champions', '#recent-champions tbody tr');
    const expected = named(await api('GET', `/qel-mhx/v2/recently-played-champions/${session.accountId}`));
    expect(expected.length > 0, 'the module has no champions cached for the player');
    expect(JSON.stringify(await champions()) === JSON.stringify(expected),
      `the page shows ${await champions()}, the module has ${expected}`);
  });

  await check('the tabs follow the keyboard', async () => {
    await page.focus('[role="tab"][aria-selected="true"]');
    await page.keyboard.press('ArrowRight');
    const active = await page.evaluate(() => [document.activeElement.textContent, document.activeElement.getAttribute('aria-selected')]);
    expect(active[0] === 'API' && active[1] === 'true', `ArrowRight from Match history gave ${active}`);
    await page.keyboard.press('ArrowLeft');
    await until('the Match history tab focused', () => document.activeElement.textContent === 'Match history');
    expect(await page.$eval('#panel-matches', (el) => !el.hidden), 'the match history panel is hidden');
  });

  await check('a new session published through the API shows live, with its champions from the module', async () => {
    // Another complete session: the page asks the module for that player, whose background fetch
    // publishes the collection on /events.
    const other = { state: 'SUCCEEDED', accountId: 2100000077, summonerId: 3100000077, idToken: 'other', vekToken: { token: 'other' } };
    const before = await champions();
    await api('PUT', '/resources/qel-login/v1/session', other);
    await until('the new player 2100000077', () => document.querySelector('#player-account')?.textContent === '2100000077');
    await until("champions from the module's publication", () => /publication/.test(document.querySelector('#champions-source')?.textContent || ''));
    const expected = named(await api('GET', '/qel-mhx/v2/recently-played-champions/2100000077'));
    const shown = await champions();
    expect(JSON.stringify(shown) === JSON.stringify(expected), `the page shows ${shown}, the module published ${expected}`);
    expect(JSON.stringify(shown) !== JSON.stringify(before), 'the champions did not change with the player');
    expect(loads === 1 && (await page.evaluate(() => window.__samePage)), 'the page was reloaded');
    await api('PUT', '/resources/qel-login/v1/session', { ...other, accountId: 2100000001, summonerId: 3100000001 });
    await until('the player 2100000001 again', () => document.querySelector('#player-account')?.textContent === '2100000001');
  });

  const list = (await api('GET', '/qel-mhx/v1/matchlists/0')).games.games
    .slice()
    .sort((a, b) => b.gameCreation - a.gameCreation)
    .map((g) => String(g.gameId));
  const rows = () => page.$$eval('#match-list tbody tr', (trs) => trs.map((tr) => tr.dataset.game));

  await check('a game opens with ten participants and both teams drawn on the timeline chart', async () => {
    await until(`the newest game ${list[0]} first in the match list`, (first) => document.querySelector('#match-list tbody tr')?.dataset.game === first, list[0]);
    await page.click('#match-list tbody tr button');
    await until('ten participants', () => document.querySelectorAll('#game table.participants tbody tr').length === 10);
    const game = await api('GET', `/qel-mhx/v1/games/${list[0]}`);
    const players = await page.$$eval('#game table.participants tbody th', (ths) => ths.map((th) => th.textContent));
    const identities = game.participantIdentities.map((p) => p.player.summonerName);
    expect(players.slice().sort().join() === identities.slice().sort().join(), `participants ${players} are not the game's ${identities}`);
    await shown('the timeline chart', '#game canvas');
    // The two series in their colours: team 100 blue (#1d4ed8), team 200 red (#b91c1c).
    const drawn = await until('both series drawn in their colours', () => {
      const canvas = document.querySelector('#game canvas');
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let blue = 0, red = 0;
      for (let i = 0; i < data.length; i += 4) {
        const [r, g, b, a] = [data[i], data[i + 1], data[i + 2], data[i + 3]];
        if (a < 200) continue;
        if (Math.abs(r - 0x1d) < 40 && Math.abs(g - 0x4e) < 40 && Math.abs(b - 0xd8) < 40) blue++;
        if (Math.abs(r - 0xb9) < 40 && Math.abs(g - 0x1c) < 40 && Math.abs(b - 0x1c) < 40) red++;
      }
      return blue > 200 && red > 200 && { blue, red };
    });
    expect(await drawn.jsonValue(), 'no series drawn');
    // The chart's last point: each team's gold summed from the timeline's last frame, by the
    // game's own team of each participant.
    const timeline = await api('GET', `/qel-mhx/v1/gametimelines/${list[0]}`);
    const teamOf = Object.fromEntries(game.participants.map((p) => [String(p.participantId), p.teamId]));
    const last = timeline.frames[timeline.frames.length - 1].participantFrames;
    const sum = (team) => Object.entries(last).reduce((n, [id, f]) => n + (teamOf[id] === team ? f.totalGold : 0), 0);
    await page.$eval('#game .u-over', (el) => el.scrollIntoView({ block: 'center' }));
    const over = await (await page.$('#game .u-over')).boundingBox();
    await page.mouse.move(over.x + over.width - 1, over.y + over.height / 2);
    const legend = await page.$$eval('#game .u-legend .u-value', (v) => v.map((el) => el.textContent.replace(/[^0-9.]/g, '')));
    expect(legend[1] === String(sum(100)) && legend[2] === String(sum(200)),
      `the chart ends at ${legend.slice(1)}, the timeline's last frame sums to ${sum(100)} and ${sum(200)}`);
    await shown("the focus on the game's heading", '#game h2:focus');
  });

  await check('the match history view has no serious accessibility violation', async () => {
    await page.$eval('#game', (el) => el.scrollIntoView({ block: 'start' }));
    await shoot('match-history');
    await page.evaluate(() => window.scrollTo(0, 0));
    await axe('match history');
  });

  await check('the match list pages: the next page shows the next, older games', async () => {
    const first = await rows();
    expect(first.join() === list.slice(0, first.length).join(), `page 1 shows ${first}, the route's newest are ${list}`);
    await page.click('::-p-aria([name="Older"])');
    await until('another page of games', (one) => document.querySelector('#match-list tbody tr')?.dataset.game !== one, first[0]);
    const second = await rows();
    expect(second.length > 0 && second.every((id) => !first.includes(id)), `page 2 repeats games of page 1: ${second}`);
    expect(second.join() === list.slice(first.length, first.length + second.length).join(), `page 2 shows ${second}`);
    await page.click('::-p-aria([name="Newer"])');
  });

  await check('a narrow window (375 px) scrolls no view sideways', async () => {
    await page.setViewport({ width: 375, height: 800 });
    for (const name of ['Match history', 'API', 'Resources', 'Events', 'Modules', 'Token']) {
      await tab(name);
      const width = await page.evaluate(() => document.documentElement.scrollWidth);
      expect(width <= 376, `the ${name} view is ${width} px wide`);
    }
    await page.setViewport({ width: 1280, height: 800 });
  });

  await check('disabling the service in the Resources view makes a route answer "MHX Service is disabled"', async () => {
    await tab('Resources');
    const uri = '/qel-platform-config/v1/namespaces/KRTMHX';
    await page.click(`#resource-list ::-p-aria([name="${uri}"])`);
    await until('the namespace in the editor', () => /"Enabled": true/.test(document.querySelector('#res-edit')?.value || ''));
    const edited = (await page.$eval('#res-edit', (el) => el.value)).replace('"Enabled": true', '"Enabled": false');
    await page.click('#res-edit', { clickCount: 3 });
    await page.keyboard.down('Control');
    await page.keyboard.press('KeyA');
    await page.keyboard.up('Control');
    await page.keyboard.press('Backspace');
    await page.type('#res-edit', edited, { delay: 0 });
    await page.click('::-p-aria([name="Save"])');
    await until('the save acknowledged', () => /Done \(200\)/.test(document.body.textContent));
    expect((await api('GET', '/resources' + uri)).Enabled === false, 'the stored namespace is still enabled');
    await shoot('resources');
    await axe('resources');
    await tab('Match history');
    await page.click('#panel-matches ::-p-aria([name="Show"])');
    await until('"MHX Service is disabled" in the match list', () => /MHX Service is disabled/.test(document.querySelector('#match-list .failure')?.textContent || ''));
    expect(/^Match list: 500: MHX Service is disabled$/.test(await text('#match-list .failure')),
      `the failure reads '${await text('#match-list .failure')}'`);
    expect((await rows()).length === 0, 'games are still listed');
    await tab('Resources');
    await page.click('::-p-aria([name="Enable service"])');
    for (let i = 0; i < 50 && (await api('GET', '/resources' + uri)).Enabled !== true; i++) await sleep(100);
    expect((await api('GET', '/resources' + uri)).Enabled === true, '"Enable service" did not enable it');
  });

  await check('the API view sends an operation and shows its answer and curl command', async () => {
    await tab('API');
    await shown('the operations', '#panel-api details.op');
    const summary = await page.$$('#panel-api details.op > summary');
    const paths = await page.$$eval('#panel-api details.op > summary', (s) => s.map((el) => el.textContent.trim()));
    const index = paths.findIndex((p) => p === 'GET /qel-mhx/v1/games/{gameId}');
    expect(index >= 0, `no operation GET /qel-mhx/v1/games/{gameId} among ${paths.join(', ')}`);
    await summary[index].click();
    const form = (await page.$$('#panel-api details.op'))[index];
    const input = await form.$('input[id="p-path-gameId"]');
    await input.type(list[1]);
    const curl = await form.$eval('textarea[readonly]', (el) => el.value);
    expect(curl.includes(`Authorization: Bearer ${token}`) && curl.includes(`/qel-mhx/v1/games/${list[1]}`), `the curl command reads ${curl}`);
    await (await form.$('::-p-aria([name="Send"])')).click();
    await shown("the answer's status", '.answer .status', form);
    const status = await form.$eval('.answer .status', (el) => el.textContent.trim());
    expect(status.startsWith('200'), `the answer's status reads ${status}`);
    expect(await form.$('.answer .json details'), 'no folded JSON body');
    await shoot('api');
    await axe('API');
  });

  await check('the Events view lists the publications, filtered by URI prefix', async () => {
    await tab('Events');
    await shown('events', '#event-log li');
    const uris = await page.$$eval('#event-log li code', (c) => c.map((el) => el.textContent));
    expect(uris.includes('/qel-login/v1/session') && uris.includes('/qel-mhx/v2/recently-played-champions/current-summoner'),
      `the events are ${uris}`);
    await page.type('#panel-events input', '/qel-mhx/');
    const filtered = await page.$$eval('#event-log li code', (c) => c.map((el) => el.textContent));
    expect(filtered.length > 0 && filtered.every((u) => u.startsWith('/qel-mhx/')), `filtered: ${filtered}`);
    await shoot('events');
    await axe('events');
  });

  await check('the Modules view shows the module, its routes and memory', async () => {
    await tab('Modules');
    await until('ten routes', () => document.querySelectorAll('#panel-modules tbody tr').length === 10);
    expect(/qel-mhx/.test(await text('#panel-modules h3')), 'no qel-mhx module');
    await shoot('modules');
    await axe('modules');
    await tab('Token');
    await shoot('token');
    await axe('token');
  });

  await check('the page ran under its Content-Security-Policy, without errors, and asked nothing but 127.0.0.1', async () => {
    const csp = await page.evaluate(() => window.__csp);
    expect(csp.length === 0, `CSP refused: ${csp.join('; ')}`);
    expect(pageErrors.length === 0, `page errors: ${pageErrors.join('; ')}`);
    const away = requests.filter((u) => !/^data:/.test(u) && new URL(u).hostname !== '127.0.0.1');
    expect(away.length === 0, `requests away from 127.0.0.1: ${away.join(', ')}`);
    expect(requests.length > 10, `only ${requests.length} requests were recorded`);
  });

  await check('a wrong token shows a clear message and no data', async () => {
    const fresh = await browser.newPage();
    await fresh.setViewport({ width: 1280, height: 800 });
    await fresh.goto(consoleUrl + '#token=not-the-token', { waitUntil: 'load' });
    await shown('the refusal', '#auth-failure', fresh);
    const message = await fresh.$eval('#auth-failure', (el) => el.textContent);
    expect(/refused the token \(401\)/.test(message), `the message reads '${message}'`);
    await sleep(500);
    const data = await fresh.$$('#player-account, #recent-champions, #match-list, #game, #event-log li, #resource-list');
    expect(data.length === 0, 'data is shown with a refused token');
    await fresh.screenshot({ path: path.join(out, 'wrong-token.png') });
    await page.close();
    if (!(await fresh.evaluate(() => !!window.axe))) await fresh.evaluate(axeSource);
    const found = await fresh.evaluate(async () =>
      (await window.axe.run(document)).violations.filter((v) => ['serious', 'critical'].includes(v.impact)).map((v) => v.id));
    expect(found.length === 0, `axe-core with a refused token: ${found}`);
  });
}

// ---- main --------------------------------------------------------------------------------------

const stopOn = (signal) =>
  process.once(signal, async () => {
    console.log(`# ${signal}: ending the processes`);
    await cleanup();
    process.exit(130);
  });
stopOn('SIGINT');
stopOn('SIGTERM');

// A crash still ends what was started: the processes, synchronously, by their ids.
process.on('exit', () => {
  for (const pid of [browserPid, ...children.map(({ child }) => !exited(child) && child.pid)]) {
    if (!pid) continue;
    try {
      process.kill(pid, 'SIGKILL');
    } catch {}
  }
});
process.on('unhandledRejection', async (error) => {
  console.log(`# unexpected failure: ${error?.stack || error}`);
  await cleanup();
  process.exit(1);
});

const overall = setTimeout(async () => {
  console.log(`not ok - the whole run took longer than ${TOTAL_MS / 1000} s`);
  await cleanup();
  process.exit(1);
}, TOTAL_MS);

let code = 0;
try {
  await run(parseArgs(process.argv.slice(2)));
} catch (error) {
  code = 1;
  if (!(error instanceof CheckFailure)) console.log(`# setup failed: ${error.stack || error}`);
  else console.log(`# ${error.message}`);
} finally {
  await cleanup();
  clearTimeout(overall);
}
console.log(`${passed} passed, ${code ? 1 : 0} failed`);
process.exit(code);
