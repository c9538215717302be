// The host's resource store: every stored URI, viewable, editable (JSON or YAML) and deletable,
// and one-click actions for the session, the platform, the service switch and the endpoint.
import { useState, useEffect } from './vendor/standalone.module.js';
import { getJson, putJson, request, resourcePath, onServerEvent } from './api.js';
import { html, Failure, JsonView } from './ui.js';
import { SESSION, PLATFORM } from './matches.js';

const NAMESPACE = '/qel-platform-config/v1/namespaces/KRTMHX';

// The outcome of an action: the server's failure, or a short note of success.
const Outcome = ({ res, done }) =>
  res ? (res.ok ? html`<p class="muted" role="status">${done} (${res.status})</p>` : html`<${Failure} res=${res} />`) : null;

function Editor({ uri, onChanged }) {
  const [res, setRes] = useState(null);
  const [text, setText] = useState('');
  const [yaml, setYaml] = useState(false);
  const [saved, setSaved] = useState(null);
  const load = async () => {
    const r = await getJson(resourcePath(uri));
    setRes(r);
    if (r.ok) setText(JSON.stringify(r.body, null, 2));
    setYaml(false);
  };
  useEffect(() => {
    setSaved(null);
    if (uri) load();
  }, [uri]);
  if (!uri) return null;
  const save = async (e) => {
    e.preventDefault();
    if (!yaml) {
      try {
        JSON.parse(text);
      } catch (error) {
        return setSaved({ ok: false, status: 'Not sent', message: 'The value is not JSON: ' + error.message });
      }
    }
    const r = await request('PUT', resourcePath(uri), { body: text, contentType: yaml ? 'application/yaml' : 'application/json' });
    setSaved(r);
    if (r.ok) onChanged();
  };
  const remove = async () => {
    const r = await request('DELETE', resourcePath(uri));
    setSaved(r);
    if (r.ok) onChanged(true);
  };
  return html`<section class="card" aria-labelledby="res-h">
    <h3 id="res-h"><code>${uri}</code></h3>
    <${Failure} res=${res} />
    ${res?.ok && html`<${JsonView} value=${res.body} label="value" openDepth=${2} />`}
    <form class="stack" onSubmit=${save}>
      <div class="field">
        <label for="res-edit">Value as ${yaml ? 'YAML' : 'JSON'}</label>
        <textarea id="res-edit" rows="8" spellcheck="false" value=${text} onInput=${(e) => setText(e.currentTarget.value)}></textarea>
      </div>
      <div class="row">
        <label><input type="checkbox" checked=${yaml} onChange=${(e) => setYaml(e.currentTarget.checked)} /> Send as YAML</label>
        <button>Save</button>
        <button type="button" onClick=${load}>Reload</button>
        <button type="button" class="danger" onClick=${remove}>Delete</button>
      </div>
    </form>
    <${Outcome} res=${saved} done="Done" />
  </section>`;
}

function Actions({ onChanged }) {
  const [account, setAccount] = useState('');
  const [summoner, setSummoner] = useState('');
  const [platform, setPlatform] = useState('');
  const [endpoint, setEndpoint] = useState('');
  const [outcome, setOutcome] = useState(null);
  const act = (what) => async (e) => {
    e?.preventDefault();
    const res = await what();
    setOutcome(res);
    if (res.ok) onChanged();
  };
  const login = act(async () => {
    if (!/^\d+$/.test(account.trim()) || !/^\d*$/.test(summoner.trim()))
      return { ok: false, status: 'Not sent', message: 'Account and summoner ids are decimal numbers' };
    // The last session's tokens, else placeholders.
    const old = await getJson(resourcePath(SESSION));
    const tokens = old.ok ? old.body : { idToken: 'console-id-token', vekToken: { token: 'console-vek-token' } };
    // The ids stay text: they may not fit a JavaScript number.
    const body = `{"state":"SUCCEEDED","accountId":${account.trim()},"summonerId":${summoner.trim() || account.trim()},` +
      `"idToken":${JSON.stringify(tokens.idToken ?? '')},"vekToken":${JSON.stringify(tokens.vekToken ?? {})}}`;
    return request('PUT', resourcePath(SESSION), { body });
  });
  const logout = act(() => request('DELETE', resourcePath(SESSION)));
  const switchPlatform = act(() => putJson(resourcePath(PLATFORM), platform.trim()));
  const enable = (on) =>
    act(async () => {
      const old = await getJson(resourcePath(NAMESPACE));
      if (!old.ok && old.status !== 404) return old;
      const value = old.ok && old.body && typeof old.body === 'object' ? old.body : {};
      return putJson(resourcePath(NAMESPACE), { ...value, Enabled: on });
    });
  const override = (url) => act(() => request('POST', '/qel-mhx/v1/mhx-endpoint-override', { body: JSON.stringify({ url }) }));
  return html`<section class="card" aria-labelledby="actions-h">
    <h3 id="actions-h">Actions</h3>
    <form class="row" onSubmit=${login}>
      <label>Account id <input inputmode="numeric" value=${account} required onInput=${(e) => setAccount(e.currentTarget.value)} /></label>
      <label>Summoner id <input inputmode="numeric" placeholder="the account id" value=${summoner} onInput=${(e) => setSummoner(e.currentTarget.value)} /></label>
      <button>Log in</button>
      <button type="button" onClick=${logout}>Log out</button>
    </form>
    <form class="row" onSubmit=${switchPlatform}>
      <label>Platform id <input value=${platform} required onInput=${(e) => setPlatform(e.currentTarget.value)} /></label>
      <button>Switch platform</button>
    </form>
    <div class="row" role="group" aria-label="Service">
      <button type="button" onClick=${enable(true)}>Enable service</button>
      <button type="button" onClick=${enable(false)}>Disable service</button>
    </div>
    <form class="row" onSubmit=${override(endpoint.trim())}>
      <label>Endpoint override <input type="url" value=${endpoint} placeholder="http://127.0.0.1:PORT" onInput=${(e) => setEndpoint(e.currentTarget.value)} /></label>
      <button>Set endpoint</button>
      <button type="button" onClick=${override('')}>Clear endpoint</button>
    </form>
    <${Outcome} res=${outcome} done="Done" />
  </section>`;
}

export function ResourcesView() {
  const [list, setList] = useState(null);
  const [uri, setUri] = useState(null);
  const [fresh, setFresh] = useState('');
  const load = async () => setList(await getJson('/resources'));
  useEffect(() => {
    load();
    // A create or a delete by anyone changes the list.
    return onServerEvent((e) => {
      if (e.eventType === 'Create' || e.eventType === 'Delete') load();
    });
  }, []);
  const uris = list?.ok ? list.body.uris || [] : [];
  return html`<div class="grid">
    <section class="card" aria-labelledby="uris-h">
      <h2 id="uris-h">Resources</h2>
      <div class="row"><button type="button" onClick=${load}>Reload list</button></div>
      <${Failure} res=${list} what="Resource list" />
      <ul class="uris" id="resource-list">
        ${uris.map(
          (u) => html`<li key=${u}><button type="button" class="link" aria-current=${u === uri ? 'true' : undefined}
            onClick=${() => setUri(u)}>${u}</button></li>`,
        )}
      </ul>
      <form class="row" onSubmit=${(e) => (e.preventDefault(), fresh.trim().startsWith('/') && setUri(fresh.trim()))}>
        <label>Other URI <input value=${fresh} placeholder="/my/resource" onInput=${(e) => setFresh(e.currentTarget.value)} /></label>
        <button>Open</button>
      </form>
    </section>
    <${Editor} uri=${uri} onChanged=${(gone) => (load(), gone && setUri(null))} />
    <${Actions} onChanged=${load} />
  </div>`;
}
