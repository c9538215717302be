// Match history, from the module's routes only: the logged-in player and their recently played
// champions (kept current by the module's publications), a match list, one game with its gold
// timeline, and the rating deltas.
import { useState, useEffect, useMemo, useRef } from './vendor/standalone.module.js';
import { getJson, onServerEvent, resourcePath } from './api.js';
import { html, Failure, Chart, num, date, duration } from './ui.js';

export const SESSION = '/qel-login/v1/session';
export const PLATFORM = '/qel-platform-config/v1/namespaces/LoginDataPacket/platformId';
const CURRENT = '/qel-mhx/v2/recently-played-champions/current-summoner';
const OF_PLAYER = '/qel-mhx/v2/recently-played-champions/';
const PAGE = 10;
const TEAM_COLOR = { 100: '#1d4ed8', 200: '#b91c1c' };

const complete = (s) => !!s && (s.state === 'SUCCEEDED' || s.state === 1) && !!s.accountId && !!s.summonerId;
const kda = (st = {}) => `${st.kills ?? '–'} / ${st.deaths ?? '–'} / ${st.assists ?? '–'}`;

function Player() {
  const [session, setSession] = useState(null);
  const [platform, setPlatform] = useState(null);
  const [champs, setChamps] = useState(null);
  const account = useRef(null);
  const published = useRef(0);

  // A new player: their cached collection at once, else a background fetch whose publication
  // will fill the list. The fetch is asked for this player by id: the module may take in the new
  // session after the page saw it, and would then still know the previous player as current.
  const follow = async (id) => {
    const before = published.current;
    setChamps({ pending: true });
    const cached = await getJson(`${OF_PLAYER}${id}`);
    if (published.current !== before) return;
    if (cached.ok && cached.body.champions?.length) return setChamps({ res: cached, via: 'cache' });
    if (!cached.ok) return setChamps({ res: cached });
    const asked = await getJson(`/qel-mhx/v2/request-recently-played-champions/${id}`);
    if (!asked.ok && published.current === before) setChamps({ res: asked });
  };

  useEffect(() => {
    const stop = onServerEvent((e) => {
      if (e.uri === SESSION) {
        const s = e.eventType === 'Delete' ? null : e.data;
        setSession(s ? { ok: true, body: s } : { ok: false, status: 404, message: 'Logged out: no session is stored' });
        const id = complete(s) ? String(s.accountId) : null;
        if (id && id !== account.current) follow(id);
        if (!id) setChamps(null);
        account.current = id;
      } else if (e.uri === PLATFORM) {
        setPlatform(e.eventType === 'Delete' ? { ok: false, status: 404, message: 'No platform is stored' } : { ok: true, body: e.data });
      } else if ((e.uri === CURRENT || (account.current && e.uri === OF_PLAYER + account.current)) && e.eventType !== 'Delete') {
        published.current++;
        setChamps({ res: { ok: true, body: e.data }, via: 'publication', at: e.at });
      }
    });
    (async () => {
      const [s, p] = await Promise.all([getJson(resourcePath(SESSION)), getJson(resourcePath(PLATFORM))]);
      setSession(s);
      setPlatform(p);
      account.current = s.ok && complete(s.body) ? String(s.body.accountId) : null;
      const before = published.current;
      const res = await getJson(CURRENT);
      if (published.current === before) setChamps({ res, via: 'route' });
    })();
    return stop;
  }, []);

  const s = session?.ok ? session.body : null;
  const list = champs?.res?.ok ? champs.res.body : null;
  return html`<section aria-labelledby="player-h" class="card">
    <h2 id="player-h">Player</h2>
    ${!session && html`<p class="muted">Loading the session…</p>`}
    <${Failure} res=${session} what="Session" />
    ${s &&
    html`<dl class="facts" id="player">
      <div><dt>Account id</dt><dd id="player-account">${s.accountId}</dd></div>
      <div><dt>Summoner id</dt><dd>${s.summonerId}</dd></div>
      <div><dt>State</dt><dd>${s.state}</dd></div>
      <div><dt>Platform</dt><dd>${platform?.ok ? String(platform.body) : '–'}</dd></div>
    </dl>`}
    <${Failure} res=${platform} what="Platform" />
    <h3>Recently played champions</h3>
    ${champs?.pending && html`<p class="muted">Waiting for the module's publication…</p>`}
    <${Failure} res=${champs?.res} />
    ${list &&
    html`<p class="muted" aria-live="polite" id="champions-source">
        ${num(list.gameCount)} games counted · from the ${champs.via}${champs.at ? ' at ' + champs.at.toLocaleTimeString('en-GB') : ''}
      </p>
      <div class="scroll" tabindex="0">
        <table id="recent-champions">
          <caption class="sr">Recently played champions, newest first</caption>
          <thead><tr><th scope="col">Champion</th><th scope="col">Lane · role</th><th scope="col">Queue</th><th scope="col">Last played</th></tr></thead>
          <tbody>
            ${list.champions.map(
              (c, i) => html`<tr key=${i}>
                <th scope="row">Champion ${c.championId}</th>
                <td>${c.lane} · ${c.role}</td>
                <td>${c.queue}</td>
                <td>${date(c.timestamp)}</td>
              </tr>`,
            )}
          </tbody>
        </table>
      </div>`}
  </section>`;
}

function MatchList({ onOpen }) {
  const [account, setAccount] = useState('');
  const [res, setRes] = useState(null);
  const [page, setPage] = useState(0);
  const load = async (id) => {
    setRes({ loading: true });
    setRes(await getJson(`/qel-mhx/v1/matchlists/${encodeURIComponent(id || '0')}`));
    setPage(0);
  };
  useEffect(() => void load(''), []);

  const window_ = res?.ok ? res.body.games || {} : null;
  const games = useMemo(
    () => (window_?.games || []).slice().sort((a, b) => (b.gameCreation || 0) - (a.gameCreation || 0)),
    [res],
  );
  const pages = Math.max(1, Math.ceil(games.length / PAGE));
  const shown = games.slice(page * PAGE, page * PAGE + PAGE);
  return html`<section aria-labelledby="matches-h" class="card">
    <h2 id="matches-h">Match list</h2>
    <form class="row" onSubmit=${(e) => (e.preventDefault(), load(account.trim()))}>
      <label>Account id <input name="account" inputmode="numeric" placeholder="the logged-in player" value=${account}
        onInput=${(e) => setAccount(e.currentTarget.value)} /></label>
      <button>Show</button>
    </form>
    ${res?.loading && html`<p class="muted">Loading…</p>`}
    <div id="match-list">
      <${Failure} res=${res} what="Match list" />
      ${window_ &&
      html`<p class="muted">
          ${`Account ${res.body.accountId} on ${res.body.platformId}: games ${games.length ? page * PAGE + 1 : 0}–${page * PAGE + shown.length} ` +
          `of the ${games.length} the route answered (indexes ${window_.gameIndexBegin}–${window_.gameIndexEnd})`}
        </p>
        <div class="scroll" tabindex="0">
          <table>
            <caption class="sr">Games, newest first</caption>
            <thead><tr><th scope="col">Date</th><th scope="col">Queue</th><th scope="col">Champion</th><th scope="col">Result</th>
              <th scope="col">K / D / A</th><th scope="col">Duration</th><th scope="col"><span class="sr">Game</span></th></tr></thead>
            <tbody>
              ${shown.map((g) => {
                const p = (g.participants || [])[0] || {};
                const won = p.stats?.win;
                return html`<tr key=${g.gameId} data-game=${g.gameId}>
                  <td>${date(g.gameCreation)}</td>
                  <td>${g.queueId}</td>
                  <td>Champion ${p.championId}</td>
                  <td class=${won ? 'win' : 'loss'}>${won === undefined ? '–' : won ? 'Win' : 'Loss'}</td>
                  <td>${kda(p.stats)}</td>
                  <td>${duration(g.gameDuration || 0)}</td>
                  <td><button type="button" onClick=${() => onOpen(String(g.gameId))}>Open<span class="sr"> game ${g.gameId}</span></button></td>
                </tr>`;
              })}
            </tbody>
          </table>
        </div>
        <nav class="row" aria-label="Match list pages">
          <button type="button" disabled=${page === 0} onClick=${() => setPage(page - 1)}>Newer</button>
          <span aria-live="polite">Page ${page + 1} of ${pages}</span>
          <button type="button" disabled=${page + 1 >= pages} onClick=${() => setPage(page + 1)}>Older</button>
        </nav>`}
    </div>
  </section>`;
}

// Each team's total gold per minute: participant frames summed by the game's own team of each
// participant (1-5 and 6-10 when the game is not known).
function goldByTeam(timeline, game) {
  const teamOf = {};
  for (const p of game?.participants || []) teamOf[p.participantId] = p.teamId;
  const minutes = [], blue = [], red = [];
  for (const frame of timeline.frames || []) {
    let a = 0, b = 0;
    for (const [id, pf] of Object.entries(frame.participantFrames || {})) {
      const team = teamOf[id] ?? (Number(id) <= 5 ? 100 : 200);
      if (team === 100) a += pf.totalGold || 0;
      else b += pf.totalGold || 0;
    }
    minutes.push(Math.round((frame.timestamp / 60000) * 100) / 100);
    blue.push(a);
    red.push(b);
  }
  return [minutes, blue, red];
}

function Team({ team, game }) {
  const names = {};
  for (const id of game.participantIdentities || []) names[id.participantId] = id.player?.summonerName;
  const members = (game.participants || []).filter((p) => p.teamId === team.teamId);
  const firsts = ['Blood', 'Tower', 'Gate', 'Beast', 'Boss'].filter((f) => team['first' + f]);
  const won = team.win === 'Win';
  return html`<section class=${'team t' + team.teamId} aria-labelledby=${'team-h-' + team.teamId}>
    <h4 id=${'team-h-' + team.teamId}>Team ${team.teamId}: <span class=${won ? 'win' : 'loss'}>${won ? 'Win' : team.win === 'Fail' ? 'Loss' : team.win}</span></h4>
    <p>Bans: ${(team.bans || []).map((b) => 'Champion ' + b.championId).join(', ') || 'none'}</p>
    <p>${`Objectives: ${team.towerKills ?? 0} towers, ${team.gateKills ?? 0} gates, ${team.beastKills ?? 0} beasts, ` +
      `${team.bossKills ?? 0} bosses${firsts.length ? '; first ' + firsts.join(', ').toLowerCase() : ''}`}</p>
    <div class="scroll" tabindex="0">
      <table class="participants">
        <caption class="sr">Participants of team ${team.teamId}</caption>
        <thead><tr><th scope="col">Player</th><th scope="col">Champion</th><th scope="col">Spells</th><th scope="col">K / D / A</th>
          <th scope="col">Gold</th><th scope="col">Damage dealt</th><th scope="col">Vision</th></tr></thead>
        <tbody>
          ${members.map(
            (p) => html`<tr key=${p.participantId}>
              <th scope="row">${names[p.participantId] || 'Participant ' + p.participantId}</th>
              <td>Champion ${p.championId}</td>
              <td>${p.spell1Id} / ${p.spell2Id}</td>
              <td>${kda(p.stats)}</td>
              <td>${num(p.stats?.goldEarned)}</td>
              <td>${num(p.stats?.totalDamageDealt)}</td>
              <td>${num(p.stats?.visionScore)}</td>
            </tr>`,
          )}
        </tbody>
      </table>
    </div>
  </section>`;
}

function Game({ id, onClose }) {
  const [game, setGame] = useState(null);
  const [timeline, setTimeline] = useState(null);
  const heading = useRef(null);
  useEffect(() => {
    setGame(null);
    setTimeline(null);
    getJson(`/qel-mhx/v1/games/${encodeURIComponent(id)}`).then(setGame);
    getJson(`/qel-mhx/v1/gametimelines/${encodeURIComponent(id)}`).then(setTimeline);
    heading.current?.focus();
  }, [id]);
  const g = game?.ok ? game.body : null;
  const gold = useMemo(() => (timeline?.ok ? goldByTeam(timeline.body, g) : null), [timeline, game]);
  return html`<section aria-labelledby="game-h" class="card wide" id="game">
    <div class="row">
      <h2 id="game-h" tabindex="-1" ref=${heading}>Game ${id}</h2>
      <button type="button" onClick=${onClose}>Close game</button>
    </div>
    ${!game && html`<p class="muted">Loading…</p>`}
    <${Failure} res=${game} what="Game" />
    ${g &&
    html`<p>
        ${`${date(g.gameCreation)} · queue ${g.queueId} · ${g.gameMode} ${g.gameType} · map ${g.mapId} · ` +
        `version ${g.gameVersion} · ${duration(g.gameDuration || 0)}`}
      </p>
      <div class="teams">${(g.teams || []).map((t) => html`<${Team} key=${t.teamId} team=${t} game=${g} />`)}</div>`}
    <h3>Gold per minute</h3>
    <${Failure} res=${timeline} what="Timeline" />
    ${gold &&
    html`<${Chart} title="Each team's total gold by minute" data=${gold} xLabel="Minute" yLabel="Gold"
      series=${[{ label: 'Team 100', color: TEAM_COLOR[100] }, { label: 'Team 200', color: TEAM_COLOR[200] }]} />`}
  </section>`;
}

function OpenGame({ onOpen }) {
  const [id, setId] = useState('');
  return html`<form class="row" onSubmit=${(e) => (e.preventDefault(), id.trim() && onOpen(id.trim()))}>
    <label>Game id <input name="game" inputmode="numeric" value=${id} onInput=${(e) => setId(e.currentTarget.value)} /></label>
    <button>Open game</button>
  </form>`;
}

function Deltas() {
  const [res, setRes] = useState(null);
  useEffect(() => void getJson('/qel-mhx/v1/delta').then(setRes), []);
  const deltas = useMemo(
    () => (res?.ok ? (res.body.deltas || []).slice().sort((a, b) => (a.ratingDelta?.timestamp || 0) - (b.ratingDelta?.timestamp || 0)) : []),
    [res],
  );
  const data = useMemo(() => [deltas.map((_, i) => i + 1), deltas.map((d) => d.ratingDelta?.pointsDelta ?? null)], [deltas]);
  return html`<section aria-labelledby="deltas-h" class="card wide">
    <h2 id="deltas-h">Rating changes</h2>
    <div class="row"><button type="button" onClick=${() => getJson('/qel-mhx/v1/delta').then(setRes)}>Reload</button></div>
    <${Failure} res=${res} what="Deltas" />
    ${deltas.length > 0 &&
    html`<div class="split">
      <${Chart} title="Rating change per game, oldest first" data=${data} xLabel="Game" yLabel="Points" bars
        series=${[{ label: 'Points', color: '#047857' }]} />
      <div class="scroll" tabindex="0">
        <table>
          <caption class="sr">Rating change per game</caption>
          <thead><tr><th scope="col">Game</th><th scope="col">Before</th><th scope="col">Change</th><th scope="col">Date</th></tr></thead>
          <tbody>
            ${deltas
              .slice()
              .reverse()
              .map((d) => {
                const r = d.ratingDelta || {};
                return html`<tr key=${d.gameId}>
                  <td>${d.gameId}</td>
                  <td>${r.tierBefore} ${r.divisionBefore} · ${r.pointsBefore}</td>
                  <td class=${r.pointsDelta >= 0 ? 'win' : 'loss'}>${r.pointsDelta > 0 ? '+' : ''}${r.pointsDelta}</td>
                  <td>${date(r.timestamp)}</td>
                </tr>`;
              })}
          </tbody>
        </table>
      </div>
    </div>`}
  </section>`;
}

export function MatchView() {
  const [game, setGame] = useState(null);
  return html`<div class="grid">
    <${Player} />
    <div>
      <${MatchList} onOpen=${setGame} />
      <section aria-label="Open a game" class="card"><${OpenGame} onOpen=${setGame} /></section>
    </div>
    ${game && html`<${Game} id=${game} onClose=${() => setGame(null)} />`}
    <${Deltas} />
  </div>`;
}
