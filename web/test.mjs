// Hands the page each file of one table in Chromium, Firefox and WebKit, the page opened
// from disk and from a server, and compares what it offers with what the command-line tool
// makes of the same file; in Chromium also what users met, and a phone-wide window.
// Usage: node test.mjs PAGE TOOL MAKE_SEEDS WORK_FOLDER
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import zlib from 'node:zlib';
import { engines } from './engines.mjs';

const [page, tool, makeSeeds, work] = process.argv.slice(2).map((arg) => path.resolve(arg));
const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '..');
const skip = (why) => { console.log(`SKIPPED: ${why}`); process.exit(77); };
if (!fs.existsSync(tool))
  skip(`${tool} is missing: build the default preset first`);
if (!fs.existsSync(`${root}/web/node_modules/selenium-webdriver`))
  skip('the drivers are missing: run npm ci in web/');

fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(`${work}/seeds`, { recursive: true });
const recordings = ['samples/tone.3gp', 'tests/data/tone-btrt.mp4', 'tests/data/tone-mp42.mp4']
  .map((file) => `${root}/${file}`);
execFileSync(makeSeeds, [`${work}/seeds`, ...recordings]);
const read = (file) => fs.readFileSync(file);

// What the tool does with `files` (name and bytes), alone in a folder: each output's
// bytes by name, and its lines on standard error.
function commandLine(files, kbps) {
  const folder = fs.mkdtempSync(`${work}/tool-`);
  for (const [name, bytes] of files)
    fs.writeFileSync(`${folder}/${name}`, bytes);
  const run = spawnSync(tool, ['-b', String(kbps), ...files.map(([name]) => name)],
                        { cwd: folder });
  const outputs = new Map(fs.readdirSync(folder).filter((file) => file.endsWith('.m4a') &&
    !files.some(([name]) => name === file)).map((file) => [file, read(`${folder}/${file}`)]));
  return { outputs, line: run.stderr.toString() };
}

// The table: a name, the file's bytes and the -b value, with the file in a folder of its
// own and what the tool makes of it. The seeds (the sample and the recordings among them)
// come with their own bit rate, their first two bytes, and fail or pass each check; the
// rest pin the names and the field's limit.
const table = [
  ['tone.m4a', read(recordings[0]), 0],
  ['tone', read(recordings[0]), 0],
  ['tone-mp42.mp4', read(recordings[2]), 8192],
  ...fs.readdirSync(`${work}/seeds`).sort().map((seed) => {
    const bytes = read(`${work}/seeds/${seed}`);
    return [`${seed}.3gp`, bytes.subarray(2), bytes.readUInt16BE(0) % 8193];
  }),
].map(([name, bytes, kbps]) => {
  const folder = fs.mkdtempSync(`${work}/page-`);
  fs.writeFileSync(`${folder}/${name}`, bytes);
  return { name, file: `${folder}/${name}`, kbps, expected: commandLine([[name, bytes]], kbps) };
});

// In the page: batch `n` (from 1) once it has ended, each line with its text, its
// explanation and, for a converted file, the file's bytes in base64; no lines when the
// batch has not ended within 30 s.
const batch = (n) => `(async () => {
  for (const end = Date.now() + 30000; !batches[${n - 1}]?.done;) {
    if (Date.now() > end)
      return { status: 'no batch ${n}', lines: [] };
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  const { status, lines, converted } = batches[${n - 1}];
  const base64 = (blob) => new Promise((resolve) => {
    const reader = new FileReader();
    reader.onload = () => resolve(reader.result.slice(reader.result.indexOf(',') + 1));
    reader.readAsDataURL(blob);
  });
  return { status: status.textContent, lines: await Promise.all([...lines.children].map(
    async (li) => { const text = li.querySelector('a, code').textContent;
                    const entry = converted.find((entry) => entry.output === text);
                    return { text, why: li.querySelector('.explain')?.textContent,
                             bytes: entry && await base64(entry.blob) }; })) };
})()`;

let failed = 0;
let passed = 0;
const check = (ok, text) => { ok ? passed++ : failed++; if (!ok) console.log(`FAIL ${text}`); };

async function conversions(browser, where) {
  let handed = 0;
  for (const { name, file, kbps, expected } of table) {
    await browser.run(`document.getElementById('bitrate').value = '${kbps || ''}'`);
    await browser.hand([file]);
    const [{ text, bytes } = {}] = (await browser.run(batch(++handed))).lines;
    const output = expected.outputs.keys().next().value;
    if (!output)
      check(`${text}\n` === expected.line,
            `${where} ${name}: "${text}", the tool "${expected.line.trim()}"`);
    else
      check(text === output &&
            Buffer.from(bytes ?? '', 'base64').equals(expected.outputs.get(output)),
            `${where} ${name}: the page's ${text} is not the tool's ${output}`);
  }
}

// Every visible control within the width and 24 px high or more, nothing to scroll sideways.
async function phoneWide(browser, where) {
  await browser.run(`document.getElementById('bitrate').value = ''`);
  await browser.hand(recordings);
  await browser.resize(375, 700);
  const wrong = await browser.run(`(async () => { while (!batches.at(-1).done)
      await new Promise((resolve) => setTimeout(resolve, 5));
    const out = [...document.querySelectorAll('button, a, input, progress')].filter((control) => {
      const box = control.getBoundingClientRect();
      return control.getClientRects().length && (box.height < 24 || box.left < 0 ||
                                                  box.right > innerWidth); });
    return [...out.map((control) => control.outerHTML.slice(0, 50)),
            ...document.documentElement.scrollWidth > innerWidth ? ['sideways scrolling'] : []];
  })()`);
  check(wrong.length === 0, `${where} at 375 px: ${wrong.join(', ')}`);
  await browser.resize(1024, 768);
}

// A stored zip's entries, their names, CRCs checked, with their bytes and DOS times.
function unzipped(zip) {
  const end = zip.lastIndexOf(Buffer.from([0x50, 0x4b, 5, 6]));
  const entries = new Map();
  for (let at = zip.readUInt32LE(end + 16), n = zip.readUInt16LE(end + 10); n > 0; n--) {
    const local = zip.readUInt32LE(at + 42);
    const start = local + 30 + zip.readUInt16LE(local + 26) + zip.readUInt16LE(local + 28);
    const bytes = zip.subarray(start, start + zip.readUInt32LE(at + 20));
    const name = zip.toString('utf8', at + 46, at + 46 + zip.readUInt16LE(at + 28));
    entries.set(name, { bytes, time: zip.readUInt32LE(at + 12),
                        crc: zlib.crc32(bytes) === zip.readUInt32LE(at + 16) });
    at += 46 + zip.readUInt16LE(at + 28) + zip.readUInt16LE(at + 30) + zip.readUInt16LE(at + 32);
  }
  return entries;
}

// In the page: drops the files made of `files` (name, bytes in base64) on the drop area.
const dropped = (files) => `(${JSON.stringify(files)}).map(([name, base64, time]) =>
  new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name, { lastModified: time }))`;
const drop = (...drops) => `(() => { for (const files of [${drops.map(dropped)}]) {
  const transfer = new DataTransfer();
  files.forEach((file) => transfer.items.add(file));
  document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer }));
} })()`;

// What users met; Chromium only.
async function usersRows(browser) {
  let n = await browser.run('batches.length');
  const time = new Date(2021, 2, 4, 5, 6, 7);
  const dos = (5 << 11 | 6 << 5 | 7 >> 1) + ((41 << 9 | 3 << 5 | 4) << 16);
  const pair = [['tone.3gp', recordings[0]], ['tone.mp4', recordings[2]]].map(([name, file]) =>
    [name, read(file).toString('base64'), time.getTime()]);
  // A second drop while the first runs: each keeps its own lines, counts and zip.
  await browser.run(drop(pair, [['other.mp4', read(recordings[2]).toString('base64'), 0]]));
  const [first, second] = [await browser.run(batch(++n)), await browser.run(batch(++n))];
  check(first.status === '2 converted, 0 not converted.' && second.lines.length === 1,
        `two drops at once: "${first.status}", ${second.lines.length} line(s) in the second`);
  await browser.run(`(batches[${n - 2}].section.id = 'pair',
                      document.querySelector('#pair .save-zip').click())`);
  const zip = unzipped(read(await browser.save('#pair a.zip')));
  const expected = commandLine([['tone.3gp', read(recordings[0])],
                                ['tone.mp4', read(recordings[2])]], 0).outputs;
  check(zip.size === 2 && [...expected].every(([name, bytes]) =>
    zip.get(name)?.bytes.equals(bytes) && zip.get(name).crc && zip.get(name).time === dos),
        `the zip's entries differ from the tool's`);

  // A bit rate out of range, then the same file again; a changed field says what it
  // changes. A file changed since its check: its download and a new check say so.
  const file = `${fs.mkdtempSync(`${work}/changed-`)}/tone.3gp`;
  fs.copyFileSync(recordings[0], file);
  await browser.run(`document.getElementById('bitrate').value = '8193'`);
  await browser.hand([file]);
  await browser.run(`(document.getElementById('bitrate').value = '',
    document.addEventListener('change', (event) => { window.kept = event.target.files[0]; },
                              true))`);
  await browser.hand([file]);
  const again = await browser.run(batch(++n));
  check(again.lines[0]?.text === 'tone.m4a',
        `the same file after a refused bit rate: ${again.status}`);
  fs.appendFileSync(file, 'x');
  const note = await browser.run(`(document.getElementById('bitrate').value = '128',
    document.getElementById('bitrate').dispatchEvent(new Event('input')),
    document.querySelector('.batch a').click(),
    document.getElementById('bitrate-note').textContent)`);
  await browser.run(`(() => { const transfer = new DataTransfer(); transfer.items.add(kept);
    const event = new DragEvent('drop', { dataTransfer: transfer });
    document.getElementById('drop').dispatchEvent(event); })()`);
  const gone = await browser.run(batch(++n));
  const link = await browser.run(`(async () => {
    for (let i = 0; i < 100 && !batches[${n - 2}].lines.querySelector('.explain'); i++)
      await new Promise((resolve) => setTimeout(resolve, 20));
    return batches[${n - 2}].lines.querySelector('.explain')?.textContent; })()`);
  check(/changed/.test(link) && /changed/.test(gone.lines[0].why) && note,
        `a changed field and changed files: "${note}", "${link}", "${gone.lines[0].why}"`);

  // Items that cannot be read, a folder without files and media data too large get lines.
  const huge = Buffer.concat([read(recordings[0]).subarray(0, 28), Buffer.from('00000001', 'hex'),
                              Buffer.from('mdat'), Buffer.alloc(8, 0xff)]);
  await browser.run(`document.getElementById('drop').ondrop({ preventDefault() {}, dataTransfer: {
    items: [{ kind: 'file', getAsFile: () => null, webkitGetAsEntry: () => ({ isFile: true,
              name: 'gone.3gp', file: (_, reject) => reject(new Error('gone')) }) },
            { kind: 'file', getAsFile: () => null, webkitGetAsEntry: () => null },
            { kind: 'file',
              getAsFile: () => ${dropped([['huge.3gp', huge.toString('base64'), 0]])}[0] }] } })`);
  const items = await browser.run(batch(++n));
  check(items.lines.length === 3 && /not supported/.test(items.lines[2].why),
        `unreadable items and a huge recording: ${JSON.stringify(items.lines)}`);

  await browser.dark();
  check(await browser.run(`getComputedStyle(document.body).backgroundColor.match(/\\d+/g)
    .slice(0, 3).reduce((sum, value) => sum + Number(value), 0) < 200`), 'no dark theme');
}

const served = [];
const server = http.createServer((request, response) => {
  if (request.url !== '/m4afix.html')
    served.push(request.url);
  response.end(request.url === '/m4afix.html' ? read(page) : '');
}).listen(0, '127.0.0.1');
await new Promise((resolve) => server.on('listening', resolve));
const origins = [['file', pathToFileURL(path.resolve(page)).href],
                 ['http', `http://127.0.0.1:${server.address().port}/m4afix.html`]];
const downloads = fs.mkdtempSync(`${work}/downloads-`);
let ran = 0;
for (const engine of engines) {
  const missing = engine.missing();
  if (missing) {
    console.log(`SKIPPED ${engine.name}: ${missing}`);
    continue;
  }
  const started = Date.now();
  const browser = await engine.launch(downloads);
  try {
    for (const [origin, url] of origins) {
      await browser.open(url);
      await conversions(browser, `${engine.name} ${origin}`);
      if (origin === 'file' && browser.resize)
        await phoneWide(browser, engine.name);
      if (origin === 'file' && engine.name === 'chromium')
        await usersRows(browser);
    }
  } finally {
    await browser.close();
  }
  ran++;
  console.log(`${engine.name}: ${Date.now() - started} ms`);
}
server.close();
check(served.length === 0, `the page asked the server for ${served.join(' ')}`);
if (ran === 0)
  skip('no browser engine to run the page in');
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed > 0 ? 1 : 0);
