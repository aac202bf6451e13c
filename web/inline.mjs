// Makes the page: puts the compiled check pass into the worker's source and the hashes
// of the page's own scripts into its security policy, so that no other script can run.
//
// Usage: node inline.mjs TEMPLATE CHECK_PASS PAGE
import { createHash } from 'node:crypto';
import fs from 'node:fs';

const [template, checkPass, page] = process.argv.slice(2);
const compiled = fs.readFileSync(checkPass, 'utf8');
if (/<\/script/i.test(compiled)) {
  console.error('The compiled check pass would end the page\'s script element');
  process.exit(1);
}
// A function as the replacement, so that "$" in the compiled code stays as it is.
let html = fs.readFileSync(template, 'utf8').replace('@CHECK_PASS@', () => compiled);
// The scripts that run are those without a type; the worker's source is text.
const hashes = [...html.matchAll(/<script>([\s\S]*?)<\/script>/g)].map(([, script]) =>
  `'sha256-${createHash('sha256').update(script).digest('base64')}'`);
fs.writeFileSync(page, html.replace('@SCRIPT_HASHES@', hashes.join(' ')));
