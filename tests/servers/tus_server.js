#!/usr/bin/env node
// Resumable upload server for the test suites, the demo and the benchmarks.
//
//   tus_server.js STORE_DIR [options]
//
// Binds 127.0.0.1 on a free port and prints the port on stdout once bound.
// By default it is the tus 1.0.0 server of @tus/server with the file store
// (creation, creation-with-upload, creation-defer-length, termination,
// expiration); uploads are kept as STORE_DIR/<id> (data) and <id>.json.
//
// Options:
//   --path P             endpoint path (default /files)
//   --without EXT,...    do not offer these tus extensions
//   --max-size N         announce and enforce a maximum upload size
//   --fail M:S:N,...     answer the next N requests of method M with status S
//                        (the request body is read first, nothing is stored)
//   --log FILE           one JSON line per request: method, url, the upload
//                        headers that came with it, and the answer's status
//   --draft              speak the IETF resumable uploads draft (interop
//                        version 8) instead: a minimal server of our own,
//                        since @tus/server does not speak it
//   --max-append N       (--draft) announce max-append-size=N and refuse
//                        larger appends with 413
//   --other-origin       also listen on a second port, and name upload URLs
//                        on that port (another origin) in creation answers
//   --drop-patches       (tus) read every PATCH body, keep none of it, and
//                        answer 204 without Upload-Offset
//   --never-complete     (--draft) keep what appends bring, but answer every
//                        one, the last too, with Upload-Complete: ?0
'use strict';

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const crypto = require('node:crypto');

const DRAFT_INTEROP_VERSION = '8';

function parseArgs(argv) {
  const options = {store: null, path: '/files', without: [], maxSize: 0, fail: [], log: null,
                   draft: false, maxAppend: 0, otherOrigin: false, dropPatches: false,
                   neverComplete: false};
  for (let i = 0; i < argv.length; ++i) {
    const arg = argv[i];
    const next = () => {
      if (i + 1 >= argv.length) throw new Error(`${arg} needs a value`);
      return argv[++i];
    };
    if (arg === '--path') options.path = next();
    else if (arg === '--without') options.without = next().split(',');
    else if (arg === '--max-size') options.maxSize = Number(next());
    else if (arg === '--fail') {
      for (const rule of next().split(',')) {
        const [method, status, count] = rule.split(':');
        options.fail.push({method, status: Number(status), count: Number(count || 1)});
      }
    } else if (arg === '--log') options.log = next();
    else if (arg === '--draft') options.draft = true;
    else if (arg === '--max-append') options.maxAppend = Number(next());
    else if (arg === '--other-origin') options.otherOrigin = true;
    else if (arg === '--drop-patches') options.dropPatches = true;
    else if (arg === '--never-complete') options.neverComplete = true;
    else if (!options.store) options.store = arg;
    else throw new Error(`unknown argument ${arg}`);
  }
  if (!options.store) throw new Error('usage: tus_server.js STORE_DIR [options]');
  return options;
}

const options = parseArgs(process.argv.slice(2));
fs.mkdirSync(options.store, {recursive: true});

const LOGGED_HEADERS = ['upload-offset', 'upload-length', 'upload-metadata', 'upload-complete',
  'upload-draft-interop-version', 'tus-resumable', 'content-type', 'content-length',
  'content-disposition', 'authorization', 'cookie'];

function logRequest(req, res) {
  if (!options.log) return;
  let logged = false;
  // Taken now: a connection that breaks takes its socket's details with it.
  const port = req.socket.localPort;
  const write = (status) => {
    if (logged) return;
    logged = true;
    const headers = {};
    for (const name of Object.keys(req.headers)) {
      if (LOGGED_HEADERS.includes(name) || name.startsWith('x-')) headers[name] = req.headers[name];
    }
    const line = JSON.stringify({method: req.method, url: req.url, headers, status, ms: Date.now(),
                                 port});
    fs.appendFileSync(options.log, line + '\n');
  };
  // Written as the answer's head is formed, before a byte of it leaves: a
  // client that has its answer finds the request in the log.
  const writeHead = res.writeHead.bind(res);
  res.writeHead = (...args) => {
    const result = writeHead(...args);
    write(res.statusCode);
    return result;
  };
  const end = res.end.bind(res);
  res.end = (...args) => {
    write(res.statusCode);
    return end(...args);
  };
  // A request that broke before it was answered has the status null.
  res.on('close', () => write(null));
}

// A planned failure for this request, if one is left.
function takeFailure(req) {
  const rule = options.fail.find((r) => r.method === req.method && r.count > 0);
  if (!rule) return null;
  rule.count -= 1;
  return rule.status;
}

function answerFailure(req, res, status) {
  // Read the whole body first, so the client always gets the answer.
  req.on('data', () => {});
  req.on('end', () => {
    res.writeHead(status, {'Content-Type': 'text/plain', 'Tus-Resumable': '1.0.0'});
    res.end(`planned failure ${status}\n`);
  });
}

// The port of the second origin, once listening (--other-origin).
let otherPort = 0;

function tusHandler() {
  const {Server} = require('@tus/server');
  const {FileStore} = require('@tus/file-store');
  const store = new FileStore({directory: options.store});
  store.extensions = store.extensions.filter((ext) => !options.without.includes(ext));
  const server = new Server({
    path: options.path,
    datastore: store,
    maxSize: options.maxSize || undefined,
    // A stalled earlier request gives up its lock quickly, so that a resumed
    // upload does not wait the default 3 s for it.
    lockDrainTimeout: 200,
    generateUrl: options.otherOrigin
      ? (req, {path: base, id}) => `http://127.0.0.1:${otherPort}${base}/${id}`
      : undefined,
  });
  return (req, res) => {
    if (options.dropPatches && req.method === 'PATCH') {
      req.on('data', () => {});
      req.on('end', () => {
        res.writeHead(204, {'Tus-Resumable': '1.0.0'});
        res.end();
      });
      return;
    }
    server.handle(req, res);
  };
}

// The IETF draft, as far as a client that creates uploads carefully needs it.
function draftHandler() {
  const uploads = new Map();  // id -> {length, complete, file}
  const limits = () => {
    const parts = [];
    if (options.maxSize) parts.push(`max-size=${options.maxSize}`);
    if (options.maxAppend) parts.push(`max-append-size=${options.maxAppend}`);
    return parts.join(', ');
  };
  const common = (res) => {
    res.setHeader('Upload-Draft-Interop-Version', DRAFT_INTEROP_VERSION);
    if (limits()) res.setHeader('Upload-Limit', limits());
  };
  const finish = (res, status, headers = {}, body = '') => {
    res.writeHead(status, headers);
    res.end(body);
  };
  const sizeOf = (upload) => fs.statSync(upload.file).size;
  const flag = (value) => (value === '?1' ? true : value === '?0' ? false : null);

  // Appends the body to the upload; calls done(bytes, ended) when the body
  // has ended or the connection broke. What arrived is kept either way.
  const append = (req, upload, maxBytes, done) => {
    const out = fs.createWriteStream(upload.file, {flags: 'a'});
    let received = 0;
    let ended = false;
    let tooLarge = false;
    req.on('data', (chunk) => {
      if (tooLarge) return;
      if (received + chunk.length > maxBytes) {
        tooLarge = true;
        out.write(chunk.subarray(0, maxBytes - received));
        received = maxBytes;
        return;
      }
      received += chunk.length;
      out.write(chunk);
    });
    req.on('end', () => { ended = true; });
    req.on('close', () => out.end(() => done(received, ended && !tooLarge)));
  };

  return (req, res) => {
    common(res);
    const url = new URL(req.url, 'http://localhost');
    if (req.method === 'OPTIONS') {
      return finish(res, 204, {'Accept-Patch': 'application/partial-upload'});
    }
    if (req.headers['upload-draft-interop-version'] !== DRAFT_INTEROP_VERSION) {
      return finish(res, 400, {}, 'draft interop version missing or mismatching\n');
    }
    if (req.method === 'POST' && url.pathname === options.path) {
      const complete = flag(req.headers['upload-complete']);
      if (complete === null) return finish(res, 400, {}, 'Upload-Complete required\n');
      const length = req.headers['upload-length'] !== undefined
        ? Number(req.headers['upload-length']) : null;
      if (options.maxSize && length !== null && length > options.maxSize) {
        return finish(res, 413);
      }
      const id = crypto.randomBytes(16).toString('hex');
      const upload = {length, complete: false, file: path.join(options.store, id)};
      fs.writeFileSync(upload.file, '');
      uploads.set(id, upload);
      const location = `${options.path}/${id}`;
      return append(req, upload, Number.MAX_SAFE_INTEGER, (bytes, ended) => {
        if (!ended) return;
        if (complete) {
          upload.complete = true;
          if (upload.length === null) upload.length = bytes;
          return finish(res, 200, {'Upload-Complete': '?1'}, 'stored\n');
        }
        finish(res, 201, {Location: location, 'Upload-Complete': '?0'});
      });
    }
    const id = url.pathname.slice(options.path.length + 1);
    const upload = url.pathname.startsWith(options.path + '/') ? uploads.get(id) : undefined;
    if (!upload) return finish(res, 404);
    if (req.method === 'HEAD') {
      const headers = {'Upload-Offset': String(sizeOf(upload)),
                       'Upload-Complete': upload.complete ? '?1' : '?0',
                       'Cache-Control': 'no-store'};
      if (upload.length !== null) headers['Upload-Length'] = String(upload.length);
      return finish(res, 204, headers);
    }
    if (req.method === 'DELETE') {
      uploads.delete(id);
      fs.rmSync(upload.file, {force: true});
      return finish(res, 204);
    }
    if (req.method === 'PATCH') {
      if (req.headers['content-type'] !== 'application/partial-upload') return finish(res, 415);
      const complete = flag(req.headers['upload-complete']);
      if (complete === null) return finish(res, 400, {}, 'Upload-Complete required\n');
      const offset = sizeOf(upload);
      if (upload.complete) return finish(res, 400, {}, 'upload is already completed\n');
      if (Number(req.headers['upload-offset']) !== offset) {
        return finish(res, 409, {'Upload-Offset': String(offset)});
      }
      const announced = Number(req.headers['content-length'] || 0);
      if (options.maxAppend && announced > options.maxAppend) return finish(res, 413);
      return append(req, upload, Number.MAX_SAFE_INTEGER, (bytes, ended) => {
        if (!ended) return;
        const now = offset + bytes;
        if (complete && !options.neverComplete) {
          if (upload.length !== null && now !== upload.length) {
            return finish(res, 400, {}, 'inconsistent length\n');
          }
          upload.complete = true;
          return finish(res, 200, {'Upload-Complete': '?1'}, 'stored\n');
        }
        finish(res, 204, {'Upload-Complete': '?0', 'Upload-Offset': String(now)});
      });
    }
    finish(res, 405);
  };
}

const handler = options.draft ? draftHandler() : tusHandler();
const serve = (req, res) => {
  logRequest(req, res);
  const failure = takeFailure(req);
  if (failure !== null) return answerFailure(req, res, failure);
  handler(req, res);
};
const server = http.createServer(serve);
const listen = () => server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`${server.address().port}\n`);
});
if (options.otherOrigin) {
  const other = http.createServer(serve);
  other.listen(0, '127.0.0.1', () => {
    otherPort = other.address().port;
    listen();
  });
} else {
  listen();
}
process.on('SIGTERM', () => process.exit(0));
