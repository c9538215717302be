// Pieces the views share: the store hook, failures, a folded and searchable JSON tree, a chart,
// and number and time formats.
import { html, useState, useEffect, useMemo, useRef } from './vendor/standalone.module.js';
import uPlot from './vendor/uPlot.esm.js';
import { failureText } from './api.js';

export { html };

export function useStore(s) {
  const [value, setValue] = useState(s.get());
  useEffect(() => s.subscribe(setValue), [s]);
  return value;
}

// A failed answer as the server gave it: status and message.
export const Failure = ({ res, what }) =>
  res && !res.ok
    ? html`<p class="failure" role="alert">${what ? what + ': ' : ''}<strong>${failureText(res)}</strong></p>`
    : null;

export const num = (n) => (typeof n === 'number' ? n.toLocaleString('en-US') : n ?? '–');
export const date = (ms) => (ms ? new Date(ms).toLocaleString('en-GB', { dateStyle: 'medium', timeStyle: 'short' }) : '–');
export const duration = (s) => `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, '0')}`;

// The text with every case-blind occurrence of `q` marked.
function marked(text, q) {
  if (!q) return text;
  const parts = [];
  const lower = text.toLowerCase();
  let at = 0;
  for (let i = lower.indexOf(q); i >= 0; i = lower.indexOf(q, at)) {
    parts.push(text.slice(at, i), html`<mark>${text.slice(i, i + q.length)}</mark>`);
    at = i + q.length;
  }
  parts.push(text.slice(at));
  return parts;
}

// The paths whose key or value contains `q`, and every container on the way to one.
function search(value, q) {
  const open = new Set();
  let count = 0;
  const walk = (v, path, key) => {
    let hit = key !== null && String(key).toLowerCase().includes(q);
    if (v && typeof v === 'object') {
      for (const [k, child] of Object.entries(v)) if (walk(child, path + '/' + k, k)) hit = true;
      if (hit) open.add(path);
    } else if (JSON.stringify(v).toLowerCase().includes(q)) {
      hit = true;
      count++;
    } else if (hit) count++;
    return hit;
  };
  walk(value, '', null);
  return { open, count };
}

const LIMIT = 200;

const keyOf = (k, q) => (k === null ? null : html`<span class="jk">${marked(String(k), q)}</span>: `);

function JsonNode(props) {
  const { k, v, q } = props;
  if (v && typeof v === 'object') return html`<${JsonBranch} ...${props} />`;
  const kind = v === null ? 'null' : typeof v;
  return html`<div class="jl">${keyOf(k, q)}<span class=${'j' + kind[0]}>${marked(JSON.stringify(v), q)}</span></div>`;
}

function JsonBranch({ k, v, path, depth, q, hits, openDepth }) {
  const key = keyOf(k, q);
  const [open, setOpen] = useState(depth < openDepth);
  const forced = hits && hits.open.has(path);
  useEffect(() => {
    if (forced) setOpen(true);
  }, [forced, hits]);
  const entries = Array.isArray(v) ? v.map((x, i) => [i, x]) : Object.entries(v);
  const shape = Array.isArray(v) ? `[${entries.length}]` : `{${entries.length}}`;
  return html`<details open=${open} onToggle=${(e) => setOpen(e.currentTarget.open)}>
    <summary>${key}<span class="js">${shape}</span></summary>
    ${open &&
    html`<div class="jc">
      ${entries.slice(0, LIMIT).map(
        ([ck, cv]) =>
          html`<${JsonNode} key=${ck} k=${ck} v=${cv} path=${path + '/' + ck} depth=${depth + 1} q=${q} hits=${hits} openDepth=${openDepth} />`,
      )}
      ${entries.length > LIMIT && html`<div class="jl">… ${entries.length - LIMIT} more</div>`}
    </div>`}
  </details>`;
}

// A JSON value as a folded tree with a search field that opens the branches holding a match.
export function JsonView({ value, label = 'JSON', openDepth = 1 }) {
  const [q, setQ] = useState('');
  const needle = q.trim().toLowerCase();
  const hits = useMemo(() => (needle ? search(value, needle) : null), [value, needle]);
  if (value === undefined) return null;
  return html`<div class="json">
    <div class="row">
      <label>Search ${label} <input type="search" value=${q} onInput=${(e) => setQ(e.currentTarget.value)} /></label>
      ${hits && html`<span class="muted" aria-live="polite">${hits.count} match${hits.count === 1 ? '' : 'es'}</span>`}
    </div>
    <div class="jt"><${JsonNode} k=${null} v=${value} path="" depth=${0} q=${needle} hits=${hits} openDepth=${openDepth} /></div>
  </div>`;
}

// A uPlot chart that follows its container's width. `data` is uPlot's column arrays.
export function Chart({ title, data, series, xLabel, yLabel, bars, time }) {
  const box = useRef(null);
  useEffect(() => {
    const el = box.current;
    const width = () => Math.max(240, el.clientWidth);
    const plot = new uPlot(
      {
        width: width(),
        height: 260,
        // Bars stand half a step clear of the plot's edges.
        scales: { x: { time: !!time, range: bars ? (u, min, max) => [min - 0.5, max + 0.5] : undefined } },
        axes: [{ label: xLabel, incrs: bars ? [1, 2, 5, 10] : undefined }, { label: yLabel, size: 70 }],
        series: [
          { label: xLabel },
          ...series.map((s) => ({
            label: s.label,
            stroke: s.color,
            width: 2,
            fill: bars ? s.color + '99' : undefined,
            paths: bars ? uPlot.paths.bars({ size: [0.6, 40] }) : undefined,
            points: { show: !bars },
          })),
        ],
      },
      data,
      el,
    );
    const resize = new ResizeObserver(() => plot.setSize({ width: width(), height: 260 }));
    resize.observe(el);
    return () => (resize.disconnect(), plot.destroy());
  }, [data]);
  return html`<figure class="chart">
    <figcaption>${title}</figcaption>
    <div ref=${box}></div>
  </figure>`;
}
