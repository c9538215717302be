// The console's link to tpk-host: the token (sessionStorage only), JSON requests that never throw,
// and the server's event stream, read with fetch() since EventSource cannot send a header.

const TOKEN_KEY = 'tpk-console-token';

// A tiny observable value: views subscribe through useStore (ui.js).
export function store(value) {
  const listeners = new Set();
  return {
    get: () => value,
    set(next) {
      value = typeof next === 'function' ? next(value) : next;
      listeners.forEach((fn) => fn(value));
    },
    subscribe(fn) {
      listeners.add(fn);
      return () => listeners.delete(fn);
    },
  };
}

// token: the bearer token; refused: the server's 401 answer ({status, message}) or null.
export const auth = store({ token: sessionStorage.getItem(TOKEN_KEY) || '', refused: null });

// Takes "#token=..." from the address into sessionStorage and removes it from the address bar.
export function takeTokenFromUrl() {
  const found = /^#token=([^&]*)/.exec(location.hash);
  if (!found) return;
  setToken(decodeURIComponent(found[1]));
  history.replaceState(null, '', location.pathname + location.search);
}

export function setToken(token) {
  token = token.trim();
  if (token) sessionStorage.setItem(TOKEN_KEY, token);
  else sessionStorage.removeItem(TOKEN_KEY);
  auth.set({ token, refused: null });
}

// The text of an answer for people: "404 Not found".
export const failureText = (res) => `${res.status || 'No answer'}${res.message ? ': ' + res.message : ''}`;

// Sends one request with the token. Resolves to {ok, status, headers, body, text, message}:
// body is the parsed JSON (or undefined), message the error body's "message" or the network
// failure. A 401 marks the token refused for every view.
export async function request(method, path, { body, contentType = 'application/json', signal } = {}) {
  const { token } = auth.get();
  const headers = { Authorization: `Bearer ${token}` };
  if (body !== undefined) headers['Content-Type'] = contentType;
  let response;
  try {
    response = await fetch(path, { method, headers, body, signal, cache: 'no-store' });
  } catch (error) {
    if (error.name === 'AbortError') throw error;
    return { ok: false, status: 0, headers: [], text: '', message: `Could not reach tpk-host (${error.message})` };
  }
  const text = await response.text();
  let parsed;
  if (text && /json/.test(response.headers.get('Content-Type') || '')) {
    try {
      parsed = JSON.parse(text);
    } catch {
      parsed = undefined;
    }
  }
  const res = {
    ok: response.ok,
    status: response.status,
    statusText: response.statusText,
    headers: [...response.headers],
    body: parsed,
    text,
    message: response.ok ? '' : (parsed && parsed.message) || response.statusText || text,
  };
  if (response.status === 401 && auth.get().token === token) {
    auth.set({ token, refused: { status: 401, message: res.message } });
  }
  return res;
}

export const getJson = (path, options) => request('GET', path, options);

export const putJson = (path, value) => request('PUT', path, { body: JSON.stringify(value) });

// The stored resource at `uri` ("/qel-login/v1/session").
export const resourcePath = (uri) => '/resources' + uri.split('/').map(encodeURIComponent).join('/');

// Splits Server-Sent Events text into events; returns the unfinished rest.
export function parseSse(buffer, onEvent) {
  let end;
  while ((end = buffer.search(/\r?\n\r?\n/)) >= 0) {
    const block = buffer.slice(0, end);
    buffer = buffer.slice(end + (buffer[end] === '\r' ? 4 : 2));
    const data = block
      .split(/\r?\n/)
      .filter((line) => line.startsWith('data:'))
      .map((line) => line.slice(line[5] === ' ' ? 6 : 5))
      .join('\n');
    if (data) onEvent(data);
  }
  return buffer;
}

// The live stream: every publication of the host, as {seq, at, uri, eventType, name, data}.
export const stream = store({ state: 'closed', message: '' });
const eventListeners = new Set();
export const onServerEvent = (fn) => (eventListeners.add(fn), () => eventListeners.delete(fn));

let streamAbort = null;
let seq = 0;

export function startStream() {
  stopStream();
  const abort = new AbortController();
  streamAbort = abort;
  const run = async (attempt) => {
    if (abort.signal.aborted) return;
    const { token } = auth.get();
    stream.set({ state: 'connecting', message: '' });
    try {
      const response = await fetch('/events', {
        headers: { Authorization: `Bearer ${token}`, Accept: 'text/event-stream' },
        signal: abort.signal,
        cache: 'no-store',
      });
      if (response.status === 401) {
        const body = await response.json().catch(() => ({}));
        auth.set({ token, refused: { status: 401, message: body.message || 'Unauthorized' } });
        stream.set({ state: 'closed', message: '401: ' + (body.message || 'Unauthorized') });
        return;
      }
      if (!response.ok) throw new Error(`${response.status}: ${(await response.text()).slice(0, 200)}`);
      stream.set({ state: 'open', message: '' });
      attempt = 0;
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      let buffer = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer = parseSse(buffer + value, (data) => {
          let event;
          try {
            event = JSON.parse(data);
          } catch {
            event = { uri: '', eventType: 'unreadable', data };
          }
          event.seq = ++seq;
          event.at = new Date();
          eventListeners.forEach((fn) => fn(event));
        });
      }
      stream.set({ state: 'connecting', message: 'The stream ended; reconnecting' });
    } catch (error) {
      if (abort.signal.aborted) return;
      stream.set({ state: 'connecting', message: `${error.message}; reconnecting` });
    }
    // Reconnect with a growing pause, at most 10 s.
    setTimeout(() => run(attempt + 1), Math.min(10000, 500 * 2 ** attempt));
  };
  run(0);
}

export function stopStream() {
  if (streamAbort) streamAbort.abort();
  streamAbort = null;
  stream.set({ state: 'closed', message: '' });
}
