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

// A fresh page, and every request it makes.
async function openPage() {
  const context = await browser.newContext({acceptDownloads: true});
  const page = await context.newPage();
  const requests = [];
  context.on("request", (request) => requests.push(request.url()));
  page.on("pageerror", (error) => assert.fail("the page failed: " + error));
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
    found.push({source, name: download.suggestedFilename(), file: await download.path()});
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
  assert.equal(await page.getAttribute("#results", "aria-live"), "polite");
  assert.equal(await page.locator("label[for=files]").count(), 1);
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
  const {page, requests, close} = await openPage();
  await page.setInputFiles("#files", [big, gone]);
  // Files convert one after another: this one is read only once the big one is done.
  fs.unlinkSync(gone);
  const [converted, unreadable] = await results(page, 2);
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
