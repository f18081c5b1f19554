// The 256 MiB conversion in the browser page against the native program: wall times, their
// ratio, and the page's peak WebAssembly memory.
//   node bench/web_bench.mjs   (after the web and native builds; tests/web's packages installed)
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {bigDatabase, launchBrowser, native, pageUrl, waitForResults} from "../tests/web/page_driver.mjs";

const runs = Number(process.env.RUNS ?? 5);
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-web-bench-"));
const big = path.join(scratch, "big.pdb");
bigDatabase(big);

const nativeTimes = [];
for (let i = 0; i < runs; i++) {
  fs.rmSync(path.join(scratch, "big.hdb"), {force: true});
  execFileSync("sync");
  const start = process.hrtime.bigint();
  execFileSync(native, [big], {stdio: "ignore", env: {}});
  nativeTimes.push(Number(process.hrtime.bigint() - start) / 1e6);
}

const browser = await launchBrowser();
const page = await browser.newPage();
await page.goto(pageUrl);
const pageTimes = [];
for (let i = 0; i < runs; i++) {
  // From the choice to the finished Blob, as the page's own clock sees it.
  await page.evaluate(() => { window.benchStart = performance.now(); });
  await page.setInputFiles("#files", big);
  await waitForResults(page, 1, i);
  pageTimes.push(await page.evaluate(() => performance.now() - window.benchStart));
}
const memory = Number(await page.evaluate(() => document.body.dataset.wasmMemory));
await browser.close();
fs.rmSync(scratch, {recursive: true, force: true});

const n = median(nativeTimes);
const p = median(pageTimes);
console.log(`256 MiB database, median of ${runs} runs`);
console.log(`native program:  ${n.toFixed(0)} ms`);
console.log(`browser page:    ${p.toFixed(0)} ms   (${(p / n).toFixed(2)}x native; goal <= 4x)`);
console.log(`peak WebAssembly memory: ${(memory / 1048576).toFixed(1)} MiB (goal <= 32 MiB)`);
