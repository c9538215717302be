// Every operation of the server's OpenAPI document, with a form typed from its schemas, the
// answer (status, headers, folded JSON) and the same request as a curl command.
import { useState, useEffect } from './vendor/standalone.module.js';
import { auth, getJson, request } from './api.js';
import { html, Failure, JsonView } from './ui.js';

const METHODS = ['get', 'put', 'post', 'delete', 'patch', 'head'];
const BODY_TYPES = ['application/json', 'application/x-yaml', 'application/yaml'];

const deref = (doc, schema) => {
  for (let i = 0; schema?.$ref && i < 20; i++) schema = schema.$ref.split('/').slice(1).reduce((o, k) => o?.[k], doc);
  return schema || {};
};

// An example value of a schema: what the body field starts with.
function example(doc, schema, depth = 0) {
  schema = deref(doc, schema);
  if (depth > 6) return null;
  if (schema.default !== undefined) return schema.default;
  if (schema.enum) return schema.enum[0];
  switch (schema.type) {
    case 'object':
      return Object.fromEntries(Object.entries(schema.properties || {}).map(([k, v]) => [k, example(doc, v, depth + 1)]));
    case 'array':
      return [];
    case 'integer':
    case 'number':
      return 0;
    case 'boolean':
      return false;
    case 'string':
      return '';
    default:
      return null;
  }
}

const quote = (s) => `'${String(s).replace(/'/g, `'\\''`)}'`;

export function curlOf({ method, url, contentType, body, token }) {
  const parts = ['curl -i'];
  if (method !== 'GET') parts.push('-X ' + method);
  parts.push('-H ' + quote(`Authorization: Bearer ${token}`));
  if (body !== undefined) parts.push('-H ' + quote(`Content-Type: ${contentType}`), '--data-binary ' + quote(body));
  parts.push(quote(url));
  return parts.join(' ');
}

function Field({ doc, param, value, onChange }) {
  const schema = deref(doc, param.schema);
  const id = `p-${param.in}-${param.name}`;
  const label = html`${param.name} <span class="muted">(${param.in}, ${schema.format || schema.type}${param.required ? ', required' : ''})</span>`;
  if (schema.type === 'boolean') {
    return html`<label>${label}
      <select value=${value} onChange=${(e) => onChange(e.currentTarget.value)}>
        <option value="">not sent</option><option value="true">true</option><option value="false">false</option>
      </select></label>`;
  }
  const integer = schema.type === 'integer';
  return html`<label for=${id}>${label}</label>
    <input id=${id} value=${value} required=${param.required} inputmode=${integer ? 'numeric' : undefined}
      pattern=${integer ? (schema.minimum >= 0 ? '[0-9]+' : '-?[0-9]+') : undefined}
      onInput=${(e) => onChange(e.currentTarget.value)} />`;
}

function Operation({ doc, path, method, op }) {
  const params = op.parameters || [];
  const content = op.requestBody?.content || {};
  const types = Object.keys(content).filter((t) => BODY_TYPES.includes(t));
  const [values, setValues] = useState({});
  const [type, setType] = useState(types[0] || 'application/json');
  const [body, setBody] = useState(() => (types.length ? JSON.stringify(example(doc, content[types[0]].schema), null, 2) : ''));
  const [answer, setAnswer] = useState(null);
  const [copied, setCopied] = useState('');
  const { token } = auth.get();

  let target = path.replace(/\{([^}]+)\}/g, (_, name) => encodeURIComponent(values['path:' + name] ?? ''));
  const query = params
    .filter((p) => p.in === 'query' && (values['query:' + p.name] ?? '') !== '')
    .map((p) => `${encodeURIComponent(p.name)}=${encodeURIComponent(values['query:' + p.name])}`);
  if (query.length) target += '?' + query.join('&');
  const hasBody = types.length > 0;
  const curl = curlOf({ method: method.toUpperCase(), url: location.origin + target, contentType: type, body: hasBody ? body : undefined, token });

  const send = async (e) => {
    e.preventDefault();
    setAnswer({ pending: true });
    setAnswer(await request(method.toUpperCase(), target, hasBody ? { body, contentType: type } : {}));
  };
  const copy = async () => {
    try {
      await navigator.clipboard.writeText(curl);
      setCopied('Copied');
    } catch {
      setCopied('Select the command and copy it');
    }
  };
  const opId = op.operationId || method + path;
  return html`<details class="op">
    <summary><span class=${'method ' + method}>${method.toUpperCase()}</span> <code>${path}</code></summary>
    <form onSubmit=${send} class="stack" aria-label=${opId}>
      ${params.map(
        (p) => html`<div class="field" key=${p.in + p.name}>
          <${Field} doc=${doc} param=${p} value=${values[p.in + ':' + p.name] ?? ''}
            onChange=${(v) => setValues({ ...values, [p.in + ':' + p.name]: v })} />
        </div>`,
      )}
      ${hasBody &&
      html`<div class="field">
          <label>Body type <select value=${type} onChange=${(e) => setType(e.currentTarget.value)}>
            ${types.map((t) => html`<option value=${t}>${t}</option>`)}
          </select></label>
        </div>
        <div class="field">
          <label for=${'body-' + opId}>Body</label>
          <textarea id=${'body-' + opId} rows="5" spellcheck="false" value=${body} onInput=${(e) => setBody(e.currentTarget.value)}></textarea>
        </div>`}
      <div class="row"><button>Send</button></div>
      <div class="field">
        <label for=${'curl-' + opId}>curl</label>
        <textarea id=${'curl-' + opId} readonly rows="2" class="code" value=${curl}></textarea>
        <div class="row"><button type="button" onClick=${copy}>Copy curl command</button><span aria-live="polite">${copied}</span></div>
      </div>
    </form>
    ${answer?.pending && html`<p class="muted">Sending…</p>`}
    ${answer &&
    !answer.pending &&
    html`<div class="answer" aria-live="polite">
      <p class="status"><strong class=${answer.ok ? 'win' : 'loss'}>${answer.status} ${answer.statusText || ''}</strong></p>
      <details><summary>Headers (${answer.headers.length})</summary>
        <dl class="headers">${answer.headers.map(([k, v]) => html`<div><dt>${k}</dt><dd>${v}</dd></div>`)}</dl>
      </details>
      ${answer.body !== undefined ? html`<${JsonView} value=${answer.body} label="answer" />` : answer.text ? html`<pre>${answer.text}</pre>` : html`<p class="muted">No body</p>`}
    </div>`}
  </details>`;
}

export function ApiView() {
  const [res, setRes] = useState(null);
  useEffect(() => void getJson('/openapi.json').then(setRes), []);
  const doc = res?.ok ? res.body : null;
  const ops = [];
  for (const [path, item] of Object.entries(doc?.paths || {}))
    for (const method of METHODS) if (item[method]) ops.push({ path, method, op: item[method] });
  return html`<section aria-labelledby="api-h" class="card">
    <h2 id="api-h">API</h2>
    ${!res && html`<p class="muted">Loading /openapi.json…</p>`}
    <${Failure} res=${res} what="OpenAPI document" />
    ${doc && html`<p class="muted">${doc.info?.description} ${ops.length} operations.</p>`}
    ${ops.map((o) => html`<${Operation} key=${o.method + o.path} doc=${doc} ...${o} />`)}
  </section>`;
}
