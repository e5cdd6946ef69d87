// What the configurator's browser tests stand on: a quillex-sim --serve
// machine, quillexctl ui against it, quillexctl for reading back, and
// headless Chromium. Every process started here is stopped by its own id.
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, existsSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import http from 'node:http';
import net from 'node:net';
import { chromium } from 'playwright-core';

const run = promisify(execFile);

export const SIM = process.env.QUILLEX_SIM;
export const CTL = process.env.QUILLEXCTL;
export const ARTIFACTS = process.env.QUILLEX_ARTIFACTS;

export const workDir = mkdtempSync(join(tmpdir(), 'quillex-ui-'));
export const socketPath = join(workDir, 'quillex.sock');

export async function until(what, check, ms = 10000, every = 25) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await new Promise((r) => setTimeout(r, every));
  }
}

// quillex-sim --serve with `sticks` sticks, ready once its socket answers.
export async function startMachine(sticks = 2) {
  const child = spawn(SIM, ['--serve', socketPath, '--sticks', String(sticks)],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  await until('quillex-sim --serve to listen', () => output.includes('== listening on'), 30000);
  return { child, output: () => output };
}

export async function stop(child) {
  if (!child || child.exitCode !== null) return;
  const exited = new Promise((r) => child.once('exit', r));
  child.kill('SIGTERM');
  await Promise.race([exited, new Promise((r) => setTimeout(r, 10000))]);
  if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
}

// quillexctl ui on a free port: its address, with the token.
export async function startUi() {
  const child = spawn(CTL, ['--connect', socketPath, 'ui', '--no-browser'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  const url = await until('quillexctl ui to print its address',
    () => (output.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{64}/) || [])[0], 10000);
  const origin = new URL(url).origin;
  return { child, url, origin, port: Number(new URL(url).port), output: () => output };
}

// One request of the --serve protocol, straight to the machine: what a
// player does to it that no control code can, such as pulling a stick's
// cable ({ op: 'unplug', stick: 1 }) and putting it back ({ op: 'plug', ... }).
export function machineRequest(request) {
  return new Promise((resolve, reject) => {
    const socket = net.createConnection(socketPath);
    let data = '';
    socket.on('connect', () => socket.write(`${JSON.stringify(request)}\n`));
    socket.on('data', (d) => {
      data += d;
      const end = data.indexOf('\n');
      if (end >= 0) {
        socket.end();
        resolve(JSON.parse(data.slice(0, end)));
      }
    });
    socket.on('error', reject);
  });
}

export async function ctl(...args) {
  const { stdout } = await run(CTL, ['--connect', socketPath, ...args]);
  return stdout;
}

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.QUILLEX_CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// How many colours a screenshot shows, sampled: a blank or one-colour page
// has a handful, a drawn view hundreds.
export async function colourCount(page, png) {
  return page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/png;base64,${b64}`;
    await img.decode();
    const canvas = document.createElement('canvas');
    canvas.width = img.width;
    canvas.height = img.height;
    const g = canvas.getContext('2d');
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, canvas.width, canvas.height).data;
    const seen = new Set();
    for (let i = 0; i < d.length; i += 4 * 7) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
    return seen.size;
  }, png.toString('base64'));
}

// A raw request, with the headers exactly as given (Host included).
export function rawRequest(port, { method = 'GET', path = '/', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path, headers }, (res) => {
      let data = '';
      res.on('data', (d) => { data += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('error', reject);
    if (body) req.write(body);
    req.end();
  });
}

export function axeSource() {
  const path = new URL('./node_modules/axe-core/axe.min.js', import.meta.url);
  if (!existsSync(path)) throw new Error('axe-core is not installed (tests/browser/run.sh installs it)');
  return readFileSync(path, 'utf8');
}
