// Drives the browser page in headless Chromium, as a person would: files chosen or dropped,
// each download compared with what the native program writes for the same file.
//   PALMCONV_PAGE=build/web/site/index.html PALMCONV=build/native/palmconv node --test page_test.mjs
import {test, before, after} from "node:test";
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import {createHash} from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {bigDatabase, launchBrowser, native, pageUrl, top, waitForResults} from "./page_driver.mjs";

const golden = path.join(top, "tests/golden");
const screenshot = process.env.SCREENSHOT;

let browser;
let scratch;

before(async () => {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-web-"));
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  fs.rmSync(scratch, {recursive: true, force: true});
});

// A fresh page, and every request it makes; `before` runs in the page ahead of its own script.
async function openPage({before, options = {}} = {}) {
  const context = await browser.newContext({acceptDownloads: true, ...options});
  const page = await context.newPage();
  const requests = [];
  context.on("request", (request) => requests.push(request.url()));
  page.on("pageerror", (error) => assert.fail("the page failed: " + error));
  if (before !== undefined) await page.addInitScript(before);
  await page.goto(pageUrl);
  return {page, requests, close: () => context.close()};
}

// A copy of `source` named `name` in a folder of its own, so that names may repeat.
function put(name, source) {
  const folder = fs.mkdtempSync(path.join(scratch, "in-"));
  const file = path.join(folder, name);
  fs.copyFileSync(source, file);
  return file;
}

// What the native program writes for `file`, or its message.
function nativeResult(file) {
  const folder = fs.mkdtempSync(path.join(scratch, "native-"));
  const copy = path.join(folder, path.basename(file));
  fs.copyFileSync(file, copy);
  try {
    execFileSync(native, [copy], {stdio: ["ignore", "pipe", "ignore"], env: {}});
  } catch (error) {
    return {message: error.stdout.toString().trim()};
  }
  const outputs = fs.readdirSync(folder).filter((n) => n !== path.basename(file));
  if (outputs.length === 0) return {name: path.basename(file), bytes: fs.readFileSync(copy)};
  return {name: outputs[0], bytes: fs.readFileSync(path.join(folder, outputs[0]))};
}

// Waits for `count` entries after the first `skip`; their results, downloads saved.
async function results(page, count, skip = 0) {
  await waitForResults(page, count, skip);
  const items = await page.locator("#results li").all();
  const found = [];
  for (const item of items.slice(skip, skip + count)) {
    const source = await item.getAttribute("data-source");
    if ((await item.getAttribute("data-state")) === "refused") {
      found.push({source, message: (await item.locator(".error").textContent()).trim()});
      continue;
    }
    const link = item.locator("a[download]");
    const [download] = await Promise.all([page.waitForEvent("download"), link.click()]);
    const shown = await link.textContent();
    found.push({source, shown, name: download.suggestedFilename(), file: await download.path()});
  }
  return found;
}

function assertSameAsNative(result, file) {
  const expected = nativeResult(file);
  if (expected.message !== undefined) {
    assert.deepEqual({source: result.source, message: result.message},
                     {source: path.basename(file), message: expected.message});
  } else {
    assert.equal(result.name, expected.name, result.source);
    assert.ok(fs.readFileSync(result.file).equals(expected.bytes), result.source + ": bytes differ");
  }
}

function assertOffline(requests) {
  for (const url of requests) {
    assert.match(url, /^(file|blob|data):/, "a request left the page: " + url);
  }
}

test("golden databases convert as the native program converts them, and rejects are refused", async () => {
  const files = [];
  for (const kind of ["decode", "reject"]) {
    for (const name of fs.readdirSync(path.join(golden, kind)).sort()) {
      if (name.endsWith(".pdb")) files.push(path.join(golden, kind, name));
    }
  }
  const {page, requests, close} = await openPage();
  await page.setInputFiles("#files", files);
  const found = await results(page, files.length);
  assert.deepEqual(found.map((r) => r.source), files.map((f) => path.basename(f)));
  found.forEach((result, i) => assertSameAsNative(result, files[i]));
  for (const [i, file] of files.entries()) {
    if (file.includes("/reject/")) assert.equal(found[i].message, "error: invalid pdb file");
  }
  const refused = found.filter((r) => r.message !== undefined).length;
  assert.equal(await page.textContent("#status"),
               `${files.length} files: ${files.length - refused} converted, ${refused} refused`);
  assertOffline(requests);
  await close();
});

test("names: the path rule, refusals, and an input named like its output", async () => {
  const valid = path.join(golden, "decode/edge_lengths.pdb");
  const cases = [["story.pdb", "story.hdb"], ["STORY.PDB", "STORY.hDB"], ["x.hdb", "x.hdb"],
                 ["book", "bhok"], ["ab", null], ["小说", null], ["книга", null]];
  const files = cases.map(([name]) => put(name, valid));
  const {page, requests, close} = await openPage();
  await page.setInputFiles("#files", files);
  const found = await results(page, files.length);
  cases.forEach(([name, output], i) => {
    assert.equal(found[i].source, name);
    if (output === null) {
      assert.equal(found[i].message, "error: output file not found", name);
    } else {
      assert.equal(found[i].shown, output);
      assert.equal(found[i].name, output);
      assertSameAsNative(found[i], files[i]);
    }
  });
  assertOffline(requests);
  await close();
});

test("files dropped on the drop zone convert like chosen ones", async () => {
  const files = ["decode/one_record.pdb", "reject/other_type.pdb"].map((f) => path.join(golden, f));
  const {page, requests, close} = await openPage();
  const payload = files.map((f) => ({name: path.basename(f), data: fs.readFileSync(f).toString("base64")}));
  await page.evaluate((payload) => {
    const transfer = new DataTransfer();
    for (const {name, data} of payload) {
      transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
    }
    const zone = document.getElementById("drop");
    zone.dispatchEvent(new DragEvent("dragover", {dataTransfer: transfer, bubbles: true, cancelable: true}));
    zone.dispatchEvent(new DragEvent("drop", {dataTransfer: transfer, bubbles: true, cancelable: true}));
  }, payload);
  const found = await results(page, files.length);
  found.forEach((result, i) => assertSameAsNative(result, files[i]));
  assertOffline(requests);
  await close();
});

test("the page is keyboard-operable and announces its results", async () => {
  const {page, close} = await openPage();
  // Results are announced as a summary once a batch is done (see the golden test), not one by one.
  assert.equal(await page.getAttribute("#status", "aria-live"), "polite");
  assert.equal(await page.getAttribute("#results", "aria-live"), null);
  assert.equal(await page.locator("label[for=files]").count(), 1);
  assert.equal(await page.getAttribute("#drop", "aria-describedby"), null, "the zone is read twice");
  assert.ok(!(await page.isVisible("text=Results")), "a Results heading before any result");
  // File choosers are caught only once the browser has been told to hand them over.
  const chooserShown = page.waitForEvent("filechooser");
  await page.evaluate(() => null);
  await page.focus("#drop");
  await page.keyboard.press("Enter");
  const chooser = await chooserShown;
  await chooser.setFiles(path.join(golden, "decode/one_record.pdb"));
  const [result] = await results(page, 1);
  assert.equal(result.name, "one_record.hdb");
  await close();
});

function sha256(file) {
  return createHash("sha256").update(fs.readFileSync(file)).digest("hex");
}

test("a 256 MiB database converts in bounded memory; an unreadable file is refused", async () => {
  const folder = fs.mkdtempSync(path.join(scratch, "big-"));
  const big = path.join(folder, "big.pdb");
  bigDatabase(big);
  const gone = put("gone.pdb", path.join(golden, "decode/one_record.pdb"));
  const cut = put("cut.pdb", path.join(golden, "decode/edge_lengths.pdb"));
  const grown = put("grown.pdb", path.join(golden, "decode/edge_lengths.pdb"));
  const {page, requests, close} = await openPage();
  await page.setInputFiles("#files", [big, gone, cut, grown]);
  // Files convert one after another: these are read only once the big one is done.
  fs.unlinkSync(gone);
  fs.truncateSync(cut, fs.statSync(cut).size - 10);
  fs.appendFileSync(grown, Buffer.alloc(10));
  const [converted, unreadable, ...changed] = await results(page, 4);
  // A file changed after it was chosen can no longer be read, as with a file that went away.
  assert.deepEqual(changed, [{source: "cut.pdb", message: "error: file not found"},
                             {source: "grown.pdb", message: "error: file not found"}]);
  assert.equal(converted.name, "big.hdb");
  execFileSync(native, [big], {stdio: "ignore", env: {}});
  assert.equal(sha256(converted.file), sha256(path.join(folder, "big.hdb")));
  assert.deepEqual(unreadable, {source: "gone.pdb", message: "error: file not found"});
  const memory = Number(await page.evaluate(() => document.body.dataset.wasmMemory));
  assert.ok(memory <= 32 * 1024 * 1024, `WebAssembly memory grew to ${memory} bytes`);
  console.log(`# 256 MiB database: WebAssembly memory ${(memory / 1048576).toFixed(1)} MiB`);
  assertOffline(requests);
  await close();
});

test("a mixed batch, as a person sees it", {skip: !screenshot}, async () => {
  const files = [put("story.pdb", path.join(golden, "decode/edge_lengths.pdb")),
                 put("notes.pdb", path.join(golden, "reject/other_creator.pdb")),
                 put("ab", path.join(golden, "decode/one_record.pdb")),
                 put("x.hdb", path.join(golden, "decode/one_record.pdb"))];
  const {page, close} = await openPage();
  await page.setViewportSize({width: 900, height: 760});
  await page.setInputFiles("#files", files);
  await results(page, files.length);
  await page.screenshot({path: screenshot, fullPage: true});
  await close();
});

// Stands in for a converter that breaks down (a trap, memory gone) on files named crash.pdb: the
// page's worker is wrapped so that such a file throws inside it, after growing its memory.
const crashingWorker = () => {
  const Original = window.Worker;
  window.Worker = class extends Original {
    constructor(url, options) {
      const wrapper = `importScripts(${JSON.stringify(String(url))});
        const convertOne = onmessage;
        onmessage = (event) => {
          if (event.data.file.name !== "crash.pdb") return convertOne(event);
          new WebAssembly.Memory({initial: 256});
          throw new Error("the converter broke down");
        };`;
      super(URL.createObjectURL(new Blob([wrapper], {type: "text/javascript"})), options);
    }
  };
};

// Skipped for now: the wrapped stand-in worker never answers (to be looked into), so the test hangs.
test("a worker that fails gives its file a message, and later files convert as in a fresh page",
     {skip: "the stand-in worker hangs"}, async () => {
  const good = path.join(golden, "decode/one_record.pdb");
  const files = [put("crash.pdb", good), put("crash.pdb", good), put("one_record.pdb", good)];
  const {page, requests, close} = await openPage({before: crashingWorker});
  await page.setInputFiles("#files", files);
  const found = await results(page, files.length);
  assert.deepEqual(found.slice(0, 2).map((r) => r.message),
                   ["error: output file not written", "error: output file not written"]);
  assertSameAsNative(found[2], files[2]);
  assertOffline(requests);
  await close();
});

test("a browser that cannot convert says why in a sentence", async () => {
  const cases = [
    [() => { delete window.WebAssembly; }, /no WebAssembly/],
    [() => { delete window.Worker; }, /Web Workers/],
  ];
  for (const [before, sentence] of cases) {
    const {page, close} = await openPage({before});
    assert.match(await page.textContent("#unsupported"), sentence);
    assert.ok(await page.isVisible("#unsupported"));
    assert.ok(await page.isDisabled("#files"));
    await close();
  }
  const {page, close} = await openPage({options: {javaScriptEnabled: false}});
  assert.match(await page.innerText("body"), /JavaScript, which is turned off/);
  await close();
});

test("without WebAssembly in the browser (jitless), the page says so", async () => {
  const jitless = await launchBrowser(["--js-flags=--jitless"]);
  try {
    const page = await jitless.newPage();
    await page.goto(pageUrl);
    assert.match(await page.textContent("#unsupported"), /no WebAssembly/);
  } finally {
    await jitless.close();
  }
});

test("removing an entry or clearing the list lets go of its output", async () => {
  const files = ["decode/one_record.pdb", "decode/edge_lengths.pdb", "reject/other_type.pdb"]
      .map((f) => path.join(golden, f));
  const {page, close} = await openPage();
  await page.setInputFiles("#files", files);
  await waitForResults(page, files.length);
  const links = await page.$$eval("#results a[download]", (as) => as.map((a) => a.href));
  const readable = (href) => page.evaluate((href) => fetch(href).then(() => true, () => false), href);
  assert.ok(await readable(links[0]));
  await page.click("#results li:nth-child(1) .remove");
  assert.equal(await page.locator("#results li").count(), 2);
  assert.equal(await readable(links[0]), false, "a removed entry's output is still held");
  assert.ok(await readable(links[1]));
  await page.click("#clear");
  assert.equal(await page.locator("#results li").count(), 0);
  assert.equal(await readable(links[1]), false, "a cleared output is still held");
  assert.ok(!(await page.isVisible("#clear")));
  // The page goes on converting after a clear.
  await page.setInputFiles("#files", files[0]);
  const [again] = await results(page, 1);
  assertSameAsNative(again, files[0]);
  await close();
});

test("names: isolated, wrapped, and shown as the browser saves them", async () => {
  const bytes = fs.readFileSync(path.join(golden, "decode/one_record.pdb"));
  // [chosen name, the name shown and saved, whether the entry says why it differs]
  const cases = [
    ["story.pdb", "story.hdb", false],
    ["a\"b.pdb", "a_b.hdb", true],
    [".pdb", "hdb", true],
    ["story.pdb.", "story.phb", true],
    ["a\u0001b.pdb", "a_b.hdb", true],
    ["\u202Eevil.pdb", "_evil.hdb", true],
    ["x".repeat(251) + ".pdb", "x".repeat(251) + ".hdb", false],
  ];
  const {page, close} = await openPage();
  await page.setViewportSize({width: 360, height: 700});
  await page.setInputFiles("#files", cases.map(([name]) => ({name, mimeType: "", buffer: bytes})));
  const found = await results(page, cases.length);
  const items = await page.locator("#results li").all();
  for (const [i, [name, saved, explained]] of cases.entries()) {
    assert.equal(found[i].source, name);
    assert.equal(found[i].shown, saved, JSON.stringify(name));
    assert.equal(found[i].name, saved, JSON.stringify(name) + ": saved under another name");
    assert.equal(await items[i].locator(".renamed").count(), explained ? 1 : 0, JSON.stringify(name));
    // Every name stands in an isolate of its own, so that its direction cannot turn the entry.
    assert.equal(await items[i].locator("bdi.source").textContent(), name);
  }
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  assert.ok(width <= 360, `a long name makes the page ${width} px wide`);
  await close();
});

// The contrast ratio of two CSS rgb() colors.
function contrast(a, b) {
  const luminance = (color) => {
    const [r, g, bl] = color.match(/[\d.]+/g).slice(0, 3).map((v) => {
      const c = Number(v) / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * bl;
  };
  const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (hi + 0.05) / (lo + 0.05);
}

test("messages and why a name is refused are readable in both color schemes", async () => {
  const files = [put("ab", path.join(golden, "decode/one_record.pdb"))];
  for (const colorScheme of ["light", "dark"]) {
    const {page, close} = await openPage({options: {colorScheme}});
    await page.setInputFiles("#files", files);
    await waitForResults(page, 1);
    assert.match(await page.innerText("#results li"),
                 /error: output file not found.*no output name can be made from this file's name/s);
    const [color, background] = await page.evaluate(() => {
      const body = getComputedStyle(document.body).backgroundColor;
      return [getComputedStyle(document.querySelector(".error")).color,
              body === "rgba(0, 0, 0, 0)" ? (matchMedia("(prefers-color-scheme: dark)").matches
                                             ? "rgb(18, 18, 18)" : "rgb(255, 255, 255)") : body];
    });
    const ratio = contrast(color, background);
    assert.ok(ratio >= 4.5, `${colorScheme}: error text ${color} on ${background} is ${ratio.toFixed(2)}:1`);
    await close();
  }
});

test("files dropped anywhere on the page are taken", async () => {
  const file = path.join(golden, "decode/one_record.pdb");
  const {page, close} = await openPage();
  const data = fs.readFileSync(file).toString("base64");
  await page.evaluate((data) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], "one_record.pdb"));
    for (const type of ["dragover", "drop"]) {
      document.querySelector("h1").dispatchEvent(
          new DragEvent(type, {dataTransfer: transfer, bubbles: true, cancelable: true}));
    }
  }, data);
  const [result] = await results(page, 1);
  assertSameAsNative(result, file);
  await close();
});
