// The loaded modules: versions, routes and memory counters, refreshed every few seconds while
// the view is shown and the page visible.
import { useState, useEffect } from './vendor/standalone.module.js';
import { getJson } from './api.js';
import { html, Failure, num } from './ui.js';

const EVERY_MS = 5000;

function Module({ m }) {
  const memory = m.memory || {};
  return html`<section class="card" aria-labelledby=${'mod-h-' + m.id}>
    <h3 id=${'mod-h-' + m.id}>${m.name} ${m.version}</h3>
    <dl class="facts">
      <div><dt>State</dt><dd>${m.state}</dd></div>
      <div><dt>Id</dt><dd>${m.id}</dd></div>
      <div><dt>Routes</dt><dd>${m.routeCount}</dd></div>
      <div class="wide"><dt>File</dt><dd><code>${m.origin}</code></dd></div>
    </dl>
    <h4>Memory</h4>
    ${memory.error
      ? html`<p class="failure">${memory.error}</p>`
      : html`<dl class="facts memory">
          ${Object.entries(memory).map(([k, v]) => html`<div key=${k}><dt>${k}</dt><dd>${num(v)}</dd></div>`)}
        </dl>`}
    <h4>Routes</h4>
    <div class="scroll" tabindex="0">
      <table>
        <caption class="sr">Routes of ${m.name}</caption>
        <thead><tr><th scope="col">Method</th><th scope="col">Path</th><th scope="col">Function</th></tr></thead>
        <tbody>
          ${(m.routes || []).map((r) => html`<tr key=${r.method + r.path}><td>${r.method}</td><td><code>${r.path}</code></td><td>${r.function}</td></tr>`)}
        </tbody>
      </table>
    </div>
  </section>`;
}

export function ModulesView({ active }) {
  const [res, setRes] = useState(null);
  const [auto, setAuto] = useState(true);
  const load = async () => setRes(await getJson('/host/modules'));
  useEffect(() => {
    if (!active) return;
    load();
    if (!auto) return;
    const timer = setInterval(() => document.visibilityState === 'visible' && load(), EVERY_MS);
    return () => clearInterval(timer);
  }, [active, auto]);
  return html`<section class="card" aria-labelledby="modules-h">
    <h2 id="modules-h">Modules</h2>
    <div class="row">
      <button type="button" onClick=${load}>Refresh</button>
      <label><input type="checkbox" checked=${auto} onChange=${(e) => setAuto(e.currentTarget.checked)} /> Every ${EVERY_MS / 1000} s</label>
    </div>
    <${Failure} res=${res} what="Modules" />
    ${res?.ok && (res.body.modules || []).map((m) => html`<${Module} key=${m.id} m=${m} />`)}
  </section>`;
}
