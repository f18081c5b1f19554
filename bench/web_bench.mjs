// The page against the browser's own floor, in each engine: the time from choosing a file to its
// download link, for the 256 MiB database and for an e-book, beside a page that only reads the
// file in 32 MiB slices and makes a Blob of the output's size (bench/floor.html), and beside the
// native program. Runs alternate between the two pages in one browser; medians are printed.
//   node bench/web_bench.mjs   (after the web and native builds; tests/web's packages installed)
//   RUNS=7 PALMCONV_ENGINES=chromium,firefox node bench/web_bench.mjs
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {pathToFileURL} from "node:url";
import {bigDatabase, chosenEngines, launch, native, pageUrl, top} from "../tests/web/page_driver.mjs";

const runs = Number(process.env.RUNS ?? 5);
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const floorUrl = pathToFileURL(path.join(top, "bench/floor.html")).href;

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-web-bench-"));
const big = path.join(scratch, "big.pdb");
bigDatabase(big);
const book = path.join(scratch, "book.pdb");
execFileSync("python3", [path.join(top, "bench/make_database.py"), book, "37"]);

// The native program's time, and its output's size (which the floor makes a Blob of).
function nativeRun(file) {
  const output = file.replace(/\.pdb$/, ".hdb");
  fs.rmSync(output, {force: true});
  const start = process.hrtime.bigint();
  execFileSync(native, [file], {stdio: "ignore", env: {}});
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return {ms, size: fs.statSync(output).size};
}

// From the file input's change to the link, by the page's own clock: the real page's entry is
// converted, or the floor page has made its Blob.
async function timePage(page, file) {
  await page.evaluate(() => {
    delete document.body.dataset.took;
    window.benchDone = undefined;
    if (window.benchWatching) return;
    window.benchWatching = true;
    addEventListener("change", () => { window.benchStart = performance.now(); }, {capture: true});
    new MutationObserver(() => {
      if (window.benchDone === undefined &&
          document.querySelector('#results [data-state="converted"]') !== null) {
        window.benchDone = performance.now() - window.benchStart;
      }
    }).observe(document.body, {subtree: true, childList: true, attributes: true});
  });
  await page.chooseFiles("#files", [file]);
  const took = await page.waitFor(() => document.querySelector("#results .error")?.textContent ||
                                        Number(document.body.dataset.took ?? window.benchDone), [], 600_000);
  if (typeof took === "string") throw new Error("the page refused the file: " + took);
  return took;
}

const files = [["256 MiB database", big], ["150 KB e-book", book]];
const nativeTimes = new Map(files.map(([label, file]) => {
  const times = [];
  let size = 0;
  for (let i = 0; i < runs; i++) ({ms: times[i], size} = nativeRun(file));
  return [label, {ms: median(times), size}];
}));

// The floor and the page each in a page of their own, runs alternating, each page's outputs let
// go between runs (a browser keeps only so much). WebKit's driver holds one page at a time: there
// one page is sent back and forth, each given a moment after loading to start its worker.
async function pair(browser, engine) {
  if (engine !== "webkit") {
    const floor = await browser.newPage();
    await floor.goto(floorUrl);
    const real = await browser.newPage();
    await real.goto(pageUrl);
    return {
      floor: async (file, size) => {
        await floor.evaluate((size) => { document.body.dataset.outputSize = String(size); }, size);
        return timePage(floor, file);
      },
      page: async (file) => {
        const ms = await timePage(real, file);
        // Clear asks first while an output has not been saved: answered so.
        await real.evaluate(() => {
          document.getElementById("clear").click();
          if (document.getElementById("confirm-clear")?.open) document.getElementById("clear-anyway").click();
        });
        return ms;
      },
      memory: () => real.evaluate(() => Number(document.body.dataset.wasmMemory)),
    };
  }
  const one = await browser.newPage();
  const at = async (url, file, size) => {
    await one.goto(url);
    await one.evaluate((size) => { document.body.dataset.outputSize = String(size); }, size);
    await new Promise((resolve) => setTimeout(resolve, 500));
    return timePage(one, file);
  };
  return {
    floor: (file, size) => at(floorUrl, file, size),
    page: (file, size) => at(pageUrl, file, size),
    memory: () => one.evaluate(() => Number(document.body.dataset.wasmMemory)),
  };
}

for (const engine of chosenEngines()) {
  const browser = await launch(engine);
  const pages = await pair(browser, engine);
  console.log(`\n${engine} ${browser.version}, median of ${runs} runs`);
  console.log("| file | native | floor | page | page / floor | page / native |");
  console.log("|---|---|---|---|---|---|");
  let memory = 0;
  for (const [label, file] of files) {
    const {ms: nativeMs, size} = nativeTimes.get(label);
    const floorTimes = [];
    const pageTimes = [];
    for (let i = 0; i < runs; i++) {
      floorTimes.push(await pages.floor(file, size));
      pageTimes.push(await pages.page(file, size));
      memory = Math.max(memory, await pages.memory());
    }
    const f = median(floorTimes);
    const p = median(pageTimes);
    console.log(`| ${label} | ${nativeMs.toFixed(1)} ms | ${f.toFixed(0)} ms | ${p.toFixed(0)} ms | ` +
                `${(p / f).toFixed(2)}x | ${(p / nativeMs).toFixed(1)}x |`);
  }
  console.log(`peak WebAssembly memory: ${(memory / 1048576).toFixed(1)} MiB`);
  await browser.close();
}
fs.rmSync(scratch, {recursive: true, force: true});
