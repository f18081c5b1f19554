// The memory a browser holds for the page's outputs, in each engine: the proportional set size
// (PSS, so that memory two processes share counts once) of the whole browser's process tree,
// summed from /proc, before a batch, once it is converted, at its highest while "Save all" saves
// it, and each second after "Clear".
//   node bench/web_memory.mjs   (after the web and native builds; tests/web's packages installed)
//   FILES=8 MIB=128 PALMCONV_ENGINES=firefox node bench/web_memory.mjs
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {bigDatabase, chosenEngines, launch, pageUrl, waitForResults} from "../tests/web/page_driver.mjs";

const fileCount = Number(process.env.FILES ?? 8);
const mib = Number(process.env.MIB ?? 128);
const settleSeconds = Number(process.env.SETTLE ?? 15);
const MiB = 1024 * 1024;

// The processes under this one (the browsers, their drivers and helpers), the virtual display aside.
function tree() {
  const parent = new Map();
  const name = new Map();
  for (const pid of fs.readdirSync("/proc").filter((entry) => /^\d+$/.test(entry))) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
      const close = stat.lastIndexOf(")");
      name.set(pid, stat.slice(stat.indexOf("(") + 1, close));
      parent.set(pid, stat.slice(close + 2).split(" ")[1]);
    } catch {
      // gone meanwhile
    }
  }
  const inTree = (pid) => {
    for (let p = parent.get(pid); p !== undefined; p = parent.get(p)) if (p === String(process.pid)) return true;
    return false;
  };
  return [...parent.keys()].filter((pid) => inTree(pid) && name.get(pid) !== "Xvfb")
      .map((pid) => ({pid, name: name.get(pid)}));
}

// The PSS of every process of the tree, in bytes, in all and by process name.
function memory() {
  let total = 0;
  const byName = {};
  for (const {pid, name} of tree()) {
    let pss = 0;
    try {
      pss = Number(fs.readFileSync(`/proc/${pid}/smaps_rollup`, "utf8").match(/^Pss:\s+(\d+) kB/m)[1]) * 1024;
    } catch {
      continue;
    }
    total += pss;
    byName[name] = (byName[name] ?? 0) + pss;
  }
  return {total, byName};
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const inMiB = (bytes) => (bytes / MiB).toFixed(0);
const parts = (byName) => Object.entries(byName).filter(([, bytes]) => bytes >= 64 * MiB)
    .map(([name, bytes]) => `${name} ${inMiB(bytes)}`).join(", ");

// The highest PSS seen while `action` runs, sampled every 200 ms.
async function peakDuring(action) {
  let peak = memory();
  let running = true;
  const sampler = (async () => {
    while (running) {
      const now = memory();
      if (now.total > peak.total) peak = now;
      await sleep(200);
    }
  })();
  try {
    await action();
  } finally {
    running = false;
    await sampler;
  }
  return peak;
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-web-memory-"));
const files = [];
for (let i = 0; i < fileCount; i++) {
  const file = path.join(scratch, `big${i}.pdb`);
  bigDatabase(file, {recordSize: (mib * MiB) / 65536, name: `Big ${i}`});
  files.push(file);
}

for (const engine of chosenEngines()) {
  const browser = await launch(engine);
  const page = await browser.newPage();
  await page.goto(pageUrl);
  await sleep(3000);
  const before = memory();
  await page.chooseFiles("#files", files);
  await waitForResults(page, files.length);
  const outputs = await page.evaluate(() =>
    [...document.querySelectorAll("#results li")].reduce((n, li) => n + (li.output?.blob.size ?? 0), 0));
  await sleep(3000);
  const held = memory();
  // "Save all", as a person would click it, until its archive is saved.
  const saving = await peakDuring(() => page.download("#save-all", {link: "#archive", digest: true}));
  await page.evaluate(() => {
    document.getElementById("clear").click();
    if (document.getElementById("confirm-clear").open) document.getElementById("clear-anyway").click();
  });
  const after = [];
  for (let s = 1; s <= settleSeconds; s++) {
    await sleep(1000);
    after.push(memory());
  }
  const last = after.at(-1);
  console.log(`\n${browser.version}: ${fileCount} outputs, ${inMiB(outputs)} MiB in all (PSS of the browser's processes, MiB)`);
  console.log("| when | PSS | above the start | per MiB of output | processes above 64 MiB |");
  console.log("|---|---|---|---|---|");
  const row = (when, m) => console.log(`| ${when} | ${inMiB(m.total)} | ${inMiB(m.total - before.total)} | ` +
      `${((m.total - before.total) / outputs).toFixed(2)} | ${parts(m.byName)} |`);
  row("before the batch", before);
  row("converted", held);
  row("highest while Save all saves", saving);
  for (const s of [1, 5, 10, settleSeconds]) if (s <= settleSeconds) row(`${s} s after Clear`, after[s - 1]);
  console.log(`${settleSeconds} s after Clear: ${inMiB(last.total - before.total)} MiB above the start ` +
              `(${last.total - before.total <= 400 * MiB ? "within" : "beyond"} 400 MiB)`);
  await browser.close();
}
fs.rmSync(scratch, {recursive: true, force: true});
