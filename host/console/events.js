// The live event stream: every publication since the console opened, filtered by URI prefix,
// pausable, each event's data folded.
import { useState } from './vendor/standalone.module.js';
import { store, stream, onServerEvent } from './api.js';
import { html, useStore, JsonView } from './ui.js';

const KEEP = 500;

// Kept outside the view so that nothing is lost while another tab is shown.
const log = store([]);
onServerEvent((e) => log.set((all) => [e, ...all].slice(0, KEEP)));

function Event({ e }) {
  return html`<li class="event">
    <details>
      <summary>
        <time datetime=${e.at.toISOString()}>${e.at.toLocaleTimeString('en-GB')}</time>
        <span class="tag">${e.eventType}</span>
        <code>${e.uri}</code>
        <span class="muted"> ${e.name}</span>
      </summary>
      <${JsonView} value=${e.data} label="data" openDepth=${1} />
    </details>
  </li>`;
}

export function EventsView() {
  const all = useStore(log);
  const state = useStore(stream);
  const [prefix, setPrefix] = useState('');
  const [paused, setPaused] = useState(null); // the newest sequence number shown while paused
  const visible = all.filter((e) => (paused === null || e.seq <= paused) && e.uri.startsWith(prefix));
  const held = paused === null ? 0 : all.filter((e) => e.seq > paused).length;
  return html`<section class="card" aria-labelledby="events-h">
    <h2 id="events-h">Events</h2>
    <p class=${'muted stream-' + state.state} role="status">Stream ${state.state}${state.message ? ': ' + state.message : ''}</p>
    <div class="row">
      <label>URI prefix <input value=${prefix} placeholder="/qel-mhx/" onInput=${(e) => setPrefix(e.currentTarget.value)} /></label>
      <button type="button" aria-pressed=${paused !== null} onClick=${() => setPaused(paused === null ? all[0]?.seq ?? 0 : null)}>
        ${paused === null ? 'Pause' : `Resume (${held} held)`}
      </button>
      <button type="button" onClick=${() => log.set([])}>Clear</button>
    </div>
    <p class="muted">${visible.length} of ${all.length} events shown (the latest ${KEEP} are kept).</p>
    <ol class="events" id="event-log">${visible.map((e) => html`<${Event} key=${e.seq} e=${e} />`)}</ol>
  </section>`;
}
