// The console's shell: the token, the tabs and the event stream they share.
import { render, useState, useEffect, useRef } from './vendor/standalone.module.js';
import { auth, setToken, takeTokenFromUrl, startStream, stopStream, getJson } from './api.js';
import { html, useStore } from './ui.js';
import { MatchView } from './matches.js';
import { ApiView } from './apiview.js';
import { ResourcesView } from './resources.js';
import { EventsView } from './events.js';
import { ModulesView } from './modules.js';

function TokenView() {
  const { token, refused } = useStore(auth);
  const [text, setText] = useState('');
  const [check, setCheck] = useState(null);
  useEffect(() => {
    if (!token || refused) return setCheck(null);
    getJson('/host/modules').then((res) => setCheck(res.ok ? 'The server accepts this token.' : null));
  }, [token, refused]);
  return html`<section class="card" aria-labelledby="token-h">
    <h2 id="token-h">Token</h2>
    <p>Every request carries the token of tpk-host's run file. Open the console with
      <code>#token=…</code> after its address, or paste the token here; it is kept in this tab's session storage only.</p>
    <form class="row" onSubmit=${(e) => (e.preventDefault(), setToken(text), setText(''))}>
      <label>Token <input type="password" autocomplete="off" name="token" value=${text} onInput=${(e) => setText(e.currentTarget.value)} /></label>
      <button>Use token</button>
      <button type="button" onClick=${() => setToken('')} disabled=${!token}>Forget token</button>
    </form>
    <p role="status">${!token ? 'No token yet.' : refused ? 'The server refused the token.' : check || 'A token is set.'}</p>
  </section>`;
}

const TABS = [
  { id: 'token', name: 'Token', View: TokenView },
  { id: 'matches', name: 'Match history', View: MatchView },
  { id: 'api', name: 'API', View: ApiView },
  { id: 'resources', name: 'Resources', View: ResourcesView },
  { id: 'events', name: 'Events', View: EventsView },
  { id: 'modules', name: 'Modules', View: ModulesView },
];

function App() {
  const { token, refused } = useStore(auth);
  const [tab, setTab] = useState(token ? 'matches' : 'token');
  const [opened, setOpened] = useState(() => new Set([tab]));
  const tabs = useRef({});

  // The stream runs while a token is set and not refused; a new token remounts every view.
  useEffect(() => {
    if (token && !refused) startStream();
    else stopStream();
  }, [token, refused]);

  const select = (id, focus) => {
    setTab(id);
    setOpened((o) => new Set(o).add(id));
    if (focus) tabs.current[id]?.focus();
  };
  const onKey = (e) => {
    const i = TABS.findIndex((t) => t.id === tab);
    const to = { ArrowRight: i + 1, ArrowLeft: i - 1, Home: 0, End: TABS.length - 1 }[e.key];
    if (to === undefined) return;
    e.preventDefault();
    select(TABS[(to + TABS.length) % TABS.length].id, true);
  };
  const blocked = !token || refused;
  return html`
    <header class="top">
      <h1>tpk-host console</h1>
      <div role="tablist" aria-label="Views" class="tabs" onKeyDown=${onKey}>
        ${TABS.map(
          (t) => html`<button role="tab" id=${'tab-' + t.id} aria-controls=${'panel-' + t.id} aria-selected=${t.id === tab}
            tabindex=${t.id === tab ? 0 : -1} ref=${(el) => (tabs.current[t.id] = el)} onClick=${() => select(t.id)}>${t.name}</button>`,
        )}
      </div>
    </header>
    <main>
      ${refused &&
      html`<div class="failure banner" role="alert" id="auth-failure">
        <strong>The server refused the token (${refused.status}).</strong> ${String(refused.message).replace(/\.$/, "")}. No data is shown: paste the token
        of tpk-host's run file in the Token view.
      </div>`}
      ${!token && tab !== 'token' && html`<p class="banner" role="status">No token: paste it in the Token view.</p>`}
      ${TABS.map(
        ({ id, View }) => html`<section role="tabpanel" id=${'panel-' + id} aria-labelledby=${'tab-' + id} hidden=${id !== tab}
          key=${id + ':' + token} tabindex="-1">
          ${(id === 'token' || (!blocked && opened.has(id))) && html`<${View} active=${id === tab} />`}
        </section>`,
      )}
    </main>`;
}

takeTokenFromUrl();
render(html`<${App} />`, document.getElementById('app'));
