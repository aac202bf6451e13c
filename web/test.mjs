// Hands the page each file of one table, takes what it offers, and compares it byte for
// byte with what the command-line tool writes for the same file alone in a folder, or
// its line with the tool's line. Then checks that the page made no request, and prints
// the time and memory figures of a sparse 3 GiB recording and a 3 MiB one.
//
// Usage: node test.mjs PAGE TOOL MAKE_SEEDS WORK_FOLDER
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [page, tool, makeSeeds, work] = process.argv.slice(2);
const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '..');
const skip = (why) => { console.log(`SKIPPED: ${why}`); process.exit(77); };
if (!fs.existsSync('/usr/bin/chromium'))
  skip('/usr/bin/chromium is missing: apt-get install chromium');
if (!fs.existsSync(tool))
  skip(`${tool} is missing: build the default preset first`);
const { chromium } = await import('playwright-core').catch(
  () => skip('playwright-core is missing: run npm ci in web/'));

fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(`${work}/seeds`, { recursive: true });
const recordings = ['samples/tone.3gp', 'tests/data/tone-btrt.mp4', 'tests/data/tone-mp42.mp4']
  .map((file) => `${root}/${file}`);
execFileSync(makeSeeds, [`${work}/seeds`, ...recordings]);
const read = (file) => fs.readFileSync(file);

// The table: a name, the file's bytes and the -b value. The seeds (the sample and the
// recordings among them) come with their own bit rate, their first two bytes, and fail
// or pass each check; the rest pin the names and the field's limit.
const cases = [
  ['tone.m4a', read(recordings[0]), 0],
  ['tone', read(recordings[0]), 0],
  ['tone-mp42.mp4', read(recordings[2]), 8192],
  ...fs.readdirSync(`${work}/seeds`).sort().map((seed) => {
    const bytes = read(`${work}/seeds/${seed}`);
    return [`${seed}.3gp`, bytes.subarray(2), bytes.readUInt16BE(0) % 8193];
  }),
];

// What the tool does with `bytes` named `name`, alone in a folder: its output's name
// and bytes, or its line on standard error.
function commandLine(name, bytes, kbps) {
  const folder = fs.mkdtempSync(`${work}/tool-`);
  fs.writeFileSync(`${folder}/${name}`, bytes);
  const run = spawnSync(tool, ['-b', String(kbps), name], { cwd: folder });
  const output = fs.readdirSync(folder).find((file) => file !== name);
  return output ? { output, bytes: read(`${folder}/${output}`) } : { line: run.stderr.toString() };
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--no-first-run'],
});
const tab = await browser.newPage();
await tab.goto(pathToFileURL(path.resolve(page)).href);
const requests = [];
tab.on('request', (request) => requests.push(request.url()));

// Hands the page the files at `paths` with the -b value `kbps` and waits for the result.
async function hand(paths, kbps) {
  await tab.fill('#bitrate', kbps ? String(kbps) : '');
  await tab.evaluate(() => {
    document.getElementById('status').textContent = '';
    document.getElementById('results').replaceChildren();
  });
  await tab.setInputFiles('#files', paths);
  await tab.waitForFunction(() => / converted/.test(document.getElementById('status').textContent) ||
                                  document.getElementById('bitrate-error').textContent);
}

// Clicks `link` and waits until its download is whole; returns the download.
async function save(link) {
  const [download] = await Promise.all([tab.waitForEvent('download'), tab.click(link)]);
  await download.path();
  return download;
}

let failed = 0;
const fail = (text) => { failed++; console.log(`FAIL ${text}`); };
for (const [name, bytes, kbps] of cases) {
  const expected = commandLine(name, bytes, kbps);
  const folder = fs.mkdtempSync(`${work}/page-`);
  fs.writeFileSync(`${folder}/${name}`, bytes);
  await hand([`${folder}/${name}`], kbps);
  const line = await tab.$eval('#results li', (li) => li.querySelector('a, code').textContent)
    .catch(() => 'no line');
  if (expected.line !== undefined) {
    if (`${line}\n` !== expected.line)
      fail(`${name}: the page shows "${line}", the tool "${expected.line.trim()}"`);
    continue;
  }
  if (line !== expected.output) {
    fail(`${name}: the page offers "${line}", the tool writes ${expected.output}`);
    continue;
  }
  const download = await save('#results a');
  if (!read(await download.path()).equals(expected.bytes))
    fail(`${name}: the page's ${line} differs from the tool's`);
  await download.delete();
}

// A folder of two recordings whose names give the same output: one zip of both, each
// under the name that the tool gives it beside the other.
const pair = fs.mkdtempSync(`${work}/pair-`);
fs.copyFileSync(recordings[0], `${pair}/tone.3gp`);
fs.copyFileSync(recordings[2], `${pair}/tone.mp4`);
await hand([`${pair}/tone.3gp`, `${pair}/tone.mp4`], 0);
await tab.click('#save-zip');
execFileSync('unzip', ['-q', '-d', `${work}/unzipped`, await (await save('#zip')).path()]);
execFileSync(tool, ['tone.3gp', 'tone.mp4'], { cwd: pair });
for (const output of ['tone.m4a', 'tone00.m4a'])
  if (!read(`${work}/unzipped/${output}`).equals(read(`${pair}/${output}`)))
    fail(`the zip's ${output} differs from the tool's`);

const outside = requests.filter((url) => !url.startsWith('blob:'));
if (outside.length > 0)
  fail(`the page made requests after loading: ${outside.join(' ')}`);
console.log(`${cases.length + 2 - failed} passed, ${failed} failed`);

// Figures: a faststart recording (file type, movie, then media data that is a hole).
const heap = async (cdp) => (await cdp.send('Performance.getMetrics')).metrics
  .find((metric) => metric.name === 'JSHeapUsedSize').value;
// The resident memory of the browser's processes: those started under this process.
function browserMemory() {
  const status = new Map();
  for (const pid of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name)))
    try { status.set(pid, fs.readFileSync(`/proc/${pid}/status`, 'latin1')); } catch {}
  const field = (pid, name) => new RegExp(`${name}:\\s+(\\d+)`).exec(status.get(pid))?.[1];
  const ours = (pid) => pid === String(process.pid) ||
                        (status.has(pid) && ours(field(pid, 'PPid')));
  return [...status.keys()].filter((pid) => pid !== String(process.pid) && ours(pid))
    .reduce((sum, pid) => sum + Number(field(pid, 'VmRSS') ?? 0) * 1024, 0);
}
const sample = read(recordings[0]);
const movie = sample.subarray(sample.indexOf('moov') - 4);
const cdp = await tab.context().newCDPSession(tab);
await cdp.send('Performance.enable');
for (const [label, size] of [['3 GiB', 3 * 2 ** 30], ['3 MiB', 3 * 2 ** 20]]) {
  const file = `${work}/faststart-${size}.3gp`;
  const media = Buffer.alloc(8);
  media.writeUInt32BE(size - 28 - movie.length);
  media.write('mdat', 4);
  fs.writeFileSync(file, Buffer.concat([sample.subarray(0, 28), movie, media]));
  fs.truncateSync(file, size);
  await hand([file], 0);
  const ready = await tab.$eval('#status', (status) => Number(status.dataset.milliseconds));
  const [heapBefore, rssBefore] = [await heap(cdp), browserMemory()];
  let rssPeak = rssBefore;
  const sampler = setInterval(() => { rssPeak = Math.max(rssPeak, browserMemory()); }, 20);
  const started = Date.now();
  const download = await save('#results a');
  clearInterval(sampler);
  await download.delete();
  const mib = (bytes) => (bytes / 2 ** 20).toFixed(1);
  console.log(`${label}: result ready in ${ready.toFixed(1)} ms; saved in ${Date.now() - started}` +
              ` ms, JS heap growth ${mib(await heap(cdp) - heapBefore)} MiB, browser` +
              ` memory growth at peak ${mib(rssPeak - rssBefore)} MiB`);
  fs.rmSync(file);
}
await browser.close();
process.exit(failed > 0 ? 1 : 0);
