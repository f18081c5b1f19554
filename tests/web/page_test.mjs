// Drives the browser page in every engine (Chromium, Firefox, WebKit), as a person would: files
// chosen or dropped, each download compared with what the native program writes for the same file.
// One list of cases, run in each engine of PALMCONV_ENGINES (all three by default):
//   PALMCONV_ENGINES=firefox PALMCONV_PAGE=build/web/site/index.html PALMCONV=build/native/palmconv \
//   SCREENSHOT=build/web/batch.png node --test page_test.mjs
import {after, afterEach, before, describe, test} from "node:test";
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import {createHash} from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {bigDatabase, chosenEngines, launch, native, pageUrl, top, waitForResults} from "./page_driver.mjs";

const golden = path.join(top, "tests/golden");
const screenshot = process.env.SCREENSHOT;

let scratch;

before(() => {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-web-"));
});

after(() => {
  fs.rmSync(scratch, {recursive: true, force: true});
});

// A fresh page of the engine's browser; `initScript` runs in the page ahead of its own script.
// Closing it checks that the page itself never failed.
async function openPage({browser}, {initScript, ...options} = {}) {
  const page = await browser.newPage({initScript, ...options});
  await page.goto(pageUrl);
  const close = page.close;
  page.close = async () => {
    const errors = await page.errors();
    await close();
    assert.deepEqual(errors, [], "the page failed");
  };
  return page;
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

// Waits for `count` entries after the first `skip`; their results, each output saved: its name
// (as the browser saves it where the engine tells, else the link's download name), the name shown,
// and its bytes (or with `digest`, their SHA-256).
async function results(page, count, skip = 0, {digest = false} = {}) {
  await waitForResults(page, count, skip);
  const entries = await page.evaluate((skip, count) =>
    [...document.querySelectorAll("#results li")].slice(skip, skip + count).map((li) => ({
      source: li.dataset.source,
      state: li.dataset.state,
      message: li.querySelector(".error")?.textContent.trim(),
      // A long name's output is shown by its end, the whole of it in its title.
      shown: li.querySelector(".output bdi")?.title || li.querySelector(".output bdi")?.textContent,
    })), skip, count);
  const found = [];
  for (const [i, {source, state, message, shown}] of entries.entries()) {
    if (state === "refused") {
      found.push({source, message});
      continue;
    }
    const saved = await page.download(`#results > li:nth-child(${skip + i + 1}) a[download]`, {digest});
    found.push({source, shown, ...saved});
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
    assert.ok(result.bytes.equals(expected.bytes), result.source + ": bytes differ");
  }
}

// No request leaves the page: those the browser logs where its driver tells, and those the page's
// own resource timing records.
async function assertOffline(page) {
  for (const url of await page.requests()) {
    assert.match(url, /^(file|blob|data):/, "a request left the page: " + url);
  }
}

// Whether the element `selector` is shown, as a person would see it.
const visible = (page, selector) => page.evaluate((selector) => {
  const element = document.querySelector(selector);
  return element !== null && element.getClientRects().length > 0 &&
      getComputedStyle(element).visibility !== "hidden";
}, selector);

const count = (page, selector) =>
  page.evaluate((selector) => document.querySelectorAll(selector).length, selector);

// Puts `files` ({name, data: base64}) in a DataTransfer and drops it on the element `target`.
const dropFiles = (page, target, files) => page.evaluate((target, files) => {
  const transfer = new DataTransfer();
  for (const {name, data} of files) {
    transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
  }
  const element = document.querySelector(target);
  for (const type of ["dragover", "drop"]) {
    element.dispatchEvent(new DragEvent(type, {dataTransfer: transfer, bubbles: true, cancelable: true}));
  }
}, target, files);

const payload = (files) => files.map((f) => ({name: path.basename(f), data: fs.readFileSync(f).toString("base64")}));

function sha256(file) {
  return createHash("sha256").update(fs.readFileSync(file)).digest("hex");
}

// What an independent reader finds in a zip archive: each member's name and the SHA-256 of its
// bytes, after every member's CRC-32 is checked.
function readArchive(bytes) {
  const file = path.join(fs.mkdtempSync(path.join(scratch, "zip-")), "archive.zip");
  fs.writeFileSync(file, bytes);
  const script = `
import hashlib, json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    assert bad is None, "bad CRC-32: " + bad
    print(json.dumps([[i.filename, i.compress_type, hashlib.sha256(archive.read(i)).hexdigest()]
                      for i in archive.infolist()]))`;
  const members = JSON.parse(execFileSync("python3", ["-c", script, file], {maxBuffer: 1 << 26}));
  fs.rmSync(path.dirname(file), {recursive: true, force: true});
  for (const [name, method] of members) assert.equal(method, 0, `${name} is compressed`);
  return members.map(([name, , sha]) => ({name, sha256: sha}));
}

// Saves every output in the list through "Save all"; the archive's name and bytes.
const saveAll = (page, options = {}) => page.download("#save-all", {link: "#archive", ...options});

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

// Stands in for a converter that breaks down on files named crash.pdb (an error out of the worker,
// after growing its memory) and trap.pdb (a fault inside the converter, as a trap would be): the
// page's worker is given its own source (the page's script element) with a wrapper after it.
const crashingWorker = () => {
  const Original = window.Worker;
  window.Worker = class extends Original {
    constructor(url, options) {
      const wrapper = `;
        const handle = onmessage;
        let trap = false;
        const take = Module.takeOutput;
        Module.takeOutput = (...args) => {
          if (trap) throw new WebAssembly.RuntimeError("unreachable");
          return take(...args);
        };
        onmessage = (event) => {
          if (event.data.name === "crash.pdb") {
            new WebAssembly.Memory({initial: 256});
            throw new Error("the converter broke down");
          }
          if (event.data.name !== undefined) trap = event.data.name === "trap.pdb";
          return handle(event);
        };`;
      const source = document.getElementById("worker-source").textContent + wrapper;
      super(URL.createObjectURL(new Blob([source], {type: "text/javascript"})), options);
    }
  };
};

// The cases, each run in every engine: name, node:test options, body(engine state).
const cases = [];
const scenario = (name, options, body) => cases.push({name, options, body});

scenario("golden databases convert as the native program converts them, and rejects are refused", {}, async (env) => {
  const files = [];
  for (const kind of ["decode", "reject"]) {
    for (const name of fs.readdirSync(path.join(golden, kind)).sort()) {
      if (name.endsWith(".pdb")) files.push(path.join(golden, kind, name));
    }
  }
  const page = await openPage(env);
  await page.chooseFiles("#files", files);
  const found = await results(page, files.length);
  assert.deepEqual(found.map((r) => r.source), files.map((f) => path.basename(f)));
  found.forEach((result, i) => assertSameAsNative(result, files[i]));
  for (const [i, file] of files.entries()) {
    if (file.includes("/reject/")) assert.equal(found[i].message, "error: invalid pdb file");
  }
  const refused = found.filter((r) => r.message !== undefined).length;
  assert.equal(await page.evaluate(() => document.getElementById("status").textContent),
               `${files.length} files: ${files.length - refused} converted, ${refused} refused`);
  // The same summary stands above the list, for everyone to see, with the outputs' size.
  const bytes = found.reduce((n, r) => n + (r.bytes?.length ?? 0), 0);
  assert.equal(await page.evaluate(() => document.getElementById("summary").textContent),
               `${files.length} files: ${files.length - refused} converted (${bytes.toLocaleString("en")} bytes), ` +
               `${refused} refused`);
  assert.ok(await visible(page, "#summary"));
  await assertOffline(page);
  await page.close();
});

scenario("names: the path rule, refusals, and an input named like its output", {}, async (env) => {
  const valid = path.join(golden, "decode/edge_lengths.pdb");
  const cases = [["story.pdb", "story.hdb"], ["STORY.PDB", "STORY.hDB"], ["x.hdb", "x.hdb"],
                 ["book", "bhok"], ["ab", null], ["小说", null], ["книга", null]];
  const files = cases.map(([name]) => put(name, valid));
  const page = await openPage(env);
  await page.chooseFiles("#files", files);
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
  await assertOffline(page);
  await page.close();
});

scenario("files dropped on the drop zone convert like chosen ones", {}, async (env) => {
  const files = ["decode/one_record.pdb", "reject/other_type.pdb"].map((f) => path.join(golden, f));
  const page = await openPage(env);
  await dropFiles(page, "#drop", payload(files));
  const found = await results(page, files.length);
  found.forEach((result, i) => assertSameAsNative(result, files[i]));
  await assertOffline(page);
  await page.close();
});

scenario("the page is keyboard-operable and announces its results", {}, async (env) => {
  const page = await openPage(env);
  const attribute = (selector, name) =>
    page.evaluate((selector, name) => document.querySelector(selector).getAttribute(name), selector, name);
  // Results are announced as a summary once a batch is done (see the golden test), not one by one.
  assert.equal(await attribute("#status", "aria-live"), "polite");
  assert.equal(await attribute("#results", "aria-live"), null);
  assert.equal(await count(page, "label[for=files]"), 1);
  assert.equal(await attribute("#drop", "aria-describedby"), null, "the zone is read twice");
  assert.ok(!(await page.evaluate(() => [...document.querySelectorAll("body *")].some((element) =>
    [...element.childNodes].some((node) => node.nodeType === Node.TEXT_NODE && /results/i.test(node.data)) &&
    element.getClientRects().length > 0))), "a Results heading before any result");
  const chooser = await page.expectFileChooser(async () => {
    await page.focus("#drop");
    await page.press("Enter");
  });
  await chooser.setFiles([path.join(golden, "decode/one_record.pdb")]);
  const [result] = await results(page, 1);
  assert.equal(result.name, "one_record.hdb");
  // The licenses open in place: palmconv's own, then the notices of the toolchain's parts in the
  // page, wrapped to a narrow window.
  await page.click("#licenses > summary");
  await page.waitFor(() => document.getElementById("licenses").open);
  await page.setViewport({width: 360, height: 700});
  const licenses = await page.evaluate(() => ({
    shown: document.querySelector("#licenses pre").innerText,
    overflow: document.documentElement.scrollWidth - document.documentElement.clientWidth,
  }));
  assert.match(licenses.shown, /^MIT License\n/);
  assert.match(licenses.shown, /Notices of the third-party parts of the page.*system\/lib\/libc\/musl/s);
  assert.ok(licenses.overflow <= 0, `the licenses make the page ${licenses.overflow} px too wide`);
  await page.close();
});

scenario("a 256 MiB database converts in bounded memory and is saved in an archive; an unreadable file is refused", {}, async (env) => {
  const folder = fs.mkdtempSync(path.join(scratch, "big-"));
  const big = path.join(folder, "big.pdb");
  bigDatabase(big);
  const gone = put("gone.pdb", path.join(golden, "decode/one_record.pdb"));
  const cut = put("cut.pdb", path.join(golden, "decode/edge_lengths.pdb"));
  const grown = put("grown.pdb", path.join(golden, "decode/edge_lengths.pdb"));
  const small = put("small.pdb", path.join(golden, "decode/worked_example.pdb"));
  const asChosen = nativeResult(grown);
  const page = await openPage(env);
  await page.chooseFiles("#files", [big, gone, cut, grown, small]);
  // Files convert one after another: these are read only once the big one is done.
  fs.unlinkSync(gone);
  fs.truncateSync(cut, fs.statSync(cut).size - 10);
  fs.appendFileSync(grown, Buffer.alloc(10));
  const [converted, unreadable, shortened, longer] = await results(page, 5, 0, {digest: true});
  // A file changed after it was chosen can no longer be read, as with a file that went away.
  // Firefox reads a file that grew as it was when chosen, which converts as it was then.
  assert.deepEqual(shortened, {source: "cut.pdb", message: "error: file not found"});
  if (env.engine === "firefox") {
    assert.equal(longer.sha256, createHash("sha256").update(asChosen.bytes).digest("hex"));
  } else {
    assert.deepEqual(longer, {source: "grown.pdb", message: "error: file not found"});
  }
  assert.equal(converted.name, "big.hdb");
  execFileSync(native, [big], {stdio: "ignore", env: {}});
  const bigOutput = sha256(path.join(folder, "big.hdb"));
  assert.equal(converted.sha256, bigOutput);
  assert.deepEqual(unreadable, {source: "gone.pdb", message: "error: file not found"});
  const memory = Number(await page.evaluate(() => document.body.dataset.wasmMemory));
  assert.ok(memory <= 32 * 1024 * 1024, `WebAssembly memory grew to ${memory} bytes`);
  console.log(`# ${env.engine}: 256 MiB database: WebAssembly memory ${(memory / 1048576).toFixed(1)} MiB`);
  // An archive past 256 MiB, made of the outputs the page holds.
  const members = readArchive((await saveAll(page)).bytes);
  assert.deepEqual(members.slice(0, 1), [{name: "big.hdb", sha256: bigOutput}]);
  assert.equal(members.at(-1).name, "small.hdb");
  await assertOffline(page);
  await page.close();
  fs.rmSync(folder, {recursive: true, force: true});
});

scenario("a folder chosen as a file is not found, as for the native program; an empty file is no database", {}, async (env) => {
  const folder = fs.mkdtempSync(path.join(scratch, "folder-"));
  const chosenFolder = path.join(folder, "book.pdb");
  fs.mkdirSync(chosenFolder);
  fs.copyFileSync(path.join(golden, "decode/one_record.pdb"), path.join(chosenFolder, "inside.pdb"));
  const empty = path.join(folder, "empty.pdb");
  fs.writeFileSync(empty, "");
  const valid = put("story.pdb", path.join(golden, "decode/one_record.pdb"));
  const page = await openPage(env);
  // Firefox's driver cannot hand the page a folder: there the empty file and the valid one alone.
  const files = page.choosesFolders ? [chosenFolder, empty, valid] : [empty, valid];
  await page.chooseFiles("#files", files);
  const found = await results(page, files.length);
  const folderMessage = (() => {
    try {
      execFileSync(native, [chosenFolder], {stdio: ["ignore", "pipe", "ignore"], env: {}});
    } catch (error) {
      return error.stdout.toString().trim();
    }
  })();
  assert.equal(folderMessage, "error: file not found");
  const expected = [...(page.choosesFolders ? [{source: "book.pdb", message: folderMessage}] : []),
                    {source: "empty.pdb", message: nativeResult(empty).message}];
  assert.deepEqual(found.slice(0, -1), expected);
  assertSameAsNative(found.at(-1), valid);
  await page.close();
});

// Holds every message the page sends its workers until window.releaseWorker() is called, so that
// the first file chosen keeps the queue waiting, and later files are read only after the release.
const heldWorker = () => {
  const Original = window.Worker;
  let held = [];
  window.releaseWorker = () => {
    const waiting = held;
    held = null;
    for (const send of waiting) send();
  };
  window.Worker = class extends Original {
    postMessage(...args) {
      if (held === null) super.postMessage(...args); else held.push(() => super.postMessage(...args));
    }
  };
};

scenario("files changed after they were chosen are refused where the engine can tell", {}, async (env) => {
  const source = path.join(golden, "decode/edge_lengths.pdb");
  // [name, what is done to the file once chosen, the result: "as chosen", "as changed" or a message]
  const firefox = env.engine === "firefox";
  const cases = [
    ["unchanged.pdb", () => {}, "as chosen"],
    ["gone.pdb", (file) => fs.unlinkSync(file), "error: file not found"],
    ["cut.pdb", (file) => fs.truncateSync(file, fs.statSync(file).size - 10), "error: file not found"],
    // Firefox keeps the size a file had when chosen, and reads the bytes it holds when read.
    ["grown.pdb", (file) => fs.appendFileSync(file, Buffer.alloc(10)), firefox ? "as chosen" : "error: file not found"],
    ["rewritten.pdb", (file) => {
      const fd = fs.openSync(file, "r+");
      const last = fs.statSync(file).size - 1;
      const byte = Buffer.alloc(1);
      fs.readSync(fd, byte, 0, 1, last);
      fs.writeSync(fd, Buffer.from([byte[0] ^ 0xff]), 0, 1, last);
      fs.closeSync(fd);
    }, firefox ? "as changed" : "error: file not found"],
  ];
  const first = put("first.pdb", source);
  const files = cases.map(([name]) => put(name, source));
  // Chosen files are seldom new: an hour old, so that a change now is a change of time too.
  const anHourAgo = new Date(Date.now() - 3600_000);
  for (const file of files) fs.utimesSync(file, anHourAgo, anHourAgo);
  const asChosen = nativeResult(source);
  const page = await openPage(env, {initScript: heldWorker});
  await page.chooseFiles("#files", [first, ...files]);
  cases.forEach(([, change], i) => change(files[i]));
  const asChanged = cases.map(([, , expected], i) => (expected === "as changed" ? nativeResult(files[i]) : null));
  await page.evaluate(() => window.releaseWorker());
  const found = (await results(page, files.length + 1)).slice(1);
  cases.forEach(([name, , expected], i) => {
    if (expected.startsWith("error:")) {
      assert.deepEqual(found[i], {source: name, message: expected});
    } else {
      const bytes = (expected === "as chosen" ? asChosen : asChanged[i]).bytes;
      assert.equal(found[i].message, undefined, `${name}: ${found[i].message}`);
      assert.ok(found[i].bytes.equals(bytes), `${name}: not converted ${expected}`);
    }
  });
  await page.close();
});

// Stands in for a browser that ran out of room for the outputs: it makes their Blobs, but reading
// one fails, as its download would.
const noRoomForOutputs = () => {
  const slice = Blob.prototype.slice;
  Blob.prototype.slice = function (...args) {
    const part = slice.apply(this, args);
    if (this.type !== "application/octet-stream") return part;
    part.arrayBuffer = () => Promise.reject(new DOMException("The blob is gone", "NotReadableError"));
    return part;
  };
};

// Stands in for a browser that refuses its first three outputs and keeps those made after them,
// as Chromium does while it is still working out how much room Blobs may take: a refused Blob
// stays unreadable.
const roomAfterAWhile = () => {
  const slice = Blob.prototype.slice;
  const refused = new WeakSet();
  let toRefuse = 3;
  Blob.prototype.slice = function (...args) {
    const part = slice.apply(this, args);
    if (this.type !== "application/octet-stream") return part;
    if (toRefuse > 0 && !refused.has(this)) {
      refused.add(this);
      toRefuse--;
    }
    if (refused.has(this)) {
      part.arrayBuffer = () => Promise.reject(new DOMException("The blob is gone", "NotReadableError"));
    }
    return part;
  };
};

scenario("an output the browser refuses for a while is converted again until it is kept", {}, async (env) => {
  const files = [put("story.pdb", path.join(golden, "decode/edge_lengths.pdb")),
                 put("notes.pdb", path.join(golden, "decode/worked_example.pdb"))];
  const page = await openPage(env, {initScript: roomAfterAWhile});
  await page.chooseFiles("#files", files);
  const found = await results(page, files.length);
  found.forEach((result, i) => assertSameAsNative(result, files[i]));
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll("#results li")].map((li) => li.dataset.tries ?? "0")),
                   ["3", "0"], "tries again of each file");
  assert.equal(await page.evaluate(() => document.getElementById("status").textContent),
               "2 files: 2 converted, 0 refused");
  assert.equal(await count(page, "#results .retrying"), 0);
  await page.close();
});

// Six databases of 128 MiB, as the first thing done in a browser just started with a new profile
// on disk: Chromium refused all outputs past its first few hundred MiB until it had worked out the
// room Blobs may take, and the page then said "no room".
scenario("a first batch of large files in a browser started with a new profile converts whole", {}, async (env) => {
  const folder = fs.mkdtempSync(path.join(scratch, "first-"));
  const files = [];
  const expected = [];
  for (let i = 0; i < 6; i++) {
    const file = path.join(folder, `big${i}.pdb`);
    bigDatabase(file, {recordSize: 2048, name: `Big ${i}`});
    execFileSync(native, [file], {stdio: "ignore", env: {}});
    const output = path.join(folder, `big${i}.hdb`);
    expected.push({source: `big${i}.pdb`, name: `big${i}.hdb`, sha256: sha256(output)});
    fs.rmSync(output);
    files.push(file);
  }
  const browser = await launch(env.engine, {freshProfile: true});
  try {
    const page = await openPage({browser});
    await page.chooseFiles("#files", files);
    const found = await results(page, files.length, 0, {digest: true});
    assert.deepEqual(found.map(({source, name, sha256}) => ({source, name, sha256})), expected);
    assert.equal(await page.evaluate(() => document.getElementById("status").textContent),
                 "6 files: 6 converted, 0 refused");
    await page.close();
  } finally {
    await browser.close();
    fs.rmSync(folder, {recursive: true, force: true});
  }
});

scenario("an output the browser cannot keep is refused, not shown as converted", {}, async (env) => {
  const files = [put("story.pdb", path.join(golden, "decode/one_record.pdb")),
                 put("notes.pdb", path.join(golden, "decode/worked_example.pdb"))];
  const page = await openPage(env, {initScript: noRoomForOutputs});
  await page.chooseFiles("#files", files);
  const found = await results(page, files.length);
  for (const result of found) assert.equal(result.message, "error: output file not written");
  assert.match(await page.evaluate(() => document.querySelector("#results .why").textContent),
               /no room left/);
  assert.equal(await count(page, "#results a[download]"), 0);
  assert.equal(await visible(page, "#save-all"), false);
  await page.close();
});

scenario("a mixed batch, as a person sees it", {skip: !screenshot}, async (env) => {
  const files = [put("story.pdb", path.join(golden, "decode/edge_lengths.pdb")),
                 put("notes.pdb", path.join(golden, "reject/other_creator.pdb")),
                 put("ab", path.join(golden, "decode/one_record.pdb")),
                 put("x.hdb", path.join(golden, "decode/one_record.pdb")),
                 put("a\"b.pdb", path.join(golden, "decode/worked_example.pdb")),
                 put("~notes.pdb~", path.join(golden, "decode/one_record.pdb")),
                 put("\u00e9t\u00e9.pdb", path.join(golden, "decode/one_record.pdb")),
                 put("e\u0301te\u0301.pdb", path.join(golden, "decode/one_record.pdb")),
                 put("\u202Efdp.story.pdb", path.join(golden, "decode/one_record.pdb")),
                 put("The Collected Letters of a Very Patient Correspondent, Volume Three, 1887-1892.pdb",
                     path.join(golden, "decode/edge_lengths.pdb"))];
  for (const [width, colorScheme] of [[1280, "light"], [1280, "dark"], [360, "light"], [360, "dark"]]) {
    const page = await openPage(env, {colorScheme, viewport: {width, height: 760}});
    await page.chooseFiles("#files", files);
    await waitForResults(page, files.length);
    const shot = screenshot.replace(/(\.png)?$/, `-${env.engine}-${width}-${colorScheme}.png`);
    await page.screenshot(shot, {fullPage: true});
    console.log(`# ${env.engine}: ${shot}`);
    // The question "Clear" asks while outputs have not been saved.
    await page.click("#clear");
    const asked = shot.replace(/\.png$/, "-clear.png");
    await page.screenshot(asked);
    console.log(`# ${env.engine}: ${asked}`);
    await page.close();
  }
});

scenario("a worker that fails gives its file a message, and later files convert as in a fresh page",
         {}, async (env) => {
  const good = path.join(golden, "decode/one_record.pdb");
  const files = [put("crash.pdb", good), put("trap.pdb", good), put("crash.pdb", good),
                 put("trap.pdb", good), put("one_record.pdb", good)];
  const page = await openPage(env, {initScript: crashingWorker});
  await page.chooseFiles("#files", files);
  const found = await results(page, files.length);
  assert.deepEqual(found.slice(0, 4).map((r) => r.message), Array(4).fill("error: output file not written"));
  assertSameAsNative(found[4], files[4]);
  await assertOffline(page);
  await page.close();
});

scenario("a browser that cannot convert says why in a sentence", {}, async (env) => {
  const cases = [
    [() => { delete window.WebAssembly; }, /no WebAssembly/],
    [() => { delete window.Worker; }, /Web Workers/],
  ];
  for (const [initScript, sentence] of cases) {
    const page = await openPage(env, {initScript});
    assert.match(await page.evaluate(() => document.getElementById("unsupported").textContent), sentence);
    assert.ok(await visible(page, "#unsupported"));
    assert.ok(await page.evaluate(() => document.getElementById("files").disabled));
    await page.close();
  }
  const page = await openPage(env, {javaScriptEnabled: false});
  assert.match(await page.evaluate(() => document.body.innerText), /JavaScript, which is turned off/);
  await page.close();
});

// WebAssembly turned off in the engine itself: Chromium without its compilers (jitless), Firefox
// by its preference, WebKit by its JavaScript engine's option.
scenario("without WebAssembly in the browser itself, the page says so", {}, async (env) => {
  const browser = await launch(env.engine, {noWebAssembly: true});
  try {
    const page = await openPage({browser});
    assert.match(await page.evaluate(() => document.getElementById("unsupported").textContent), /no WebAssembly/);
    await page.close();
  } finally {
    await browser.close();
  }
});

// Clears the list through "Clear" and the question that outputs not saved call for.
async function clearConfirmed(page) {
  await page.click("#clear");
  assert.ok(await page.evaluate(() => document.getElementById("confirm-clear").open), "Clear did not ask");
  await page.click("#clear-anyway");
}

// What has the focus: an element's id, else its accessible name, else "body".
const focused = (page) => page.evaluate(() => {
  const element = document.activeElement;
  if (element === null || element === document.body) return "body";
  return element.id !== "" ? "#" + element.id : element.getAttribute("aria-label") ?? element.tagName;
});

scenario("the focus after Remove and Clear, and Clear asks before it lets go of outputs not saved", {}, async (env) => {
  const source = path.join(golden, "decode/one_record.pdb");
  const files = ["a.pdb", "b.pdb", "c.pdb"].map((name) => put(name, source));
  const page = await openPage(env);
  const entries = () => count(page, "#results li");
  const asking = () => page.evaluate(() => document.getElementById("confirm-clear").open);
  await page.chooseFiles("#files", files);
  await waitForResults(page, 3);
  // Removed in the middle, the focus goes to the next entry's Remove; at the end, to the one
  // before; with none left, to the file chooser.
  await page.click("#results > li:nth-child(2) .remove");
  assert.equal(await focused(page), "Remove c.pdb");
  await page.press("Enter");
  assert.equal(await focused(page), "Remove a.pdb");
  await page.press("Enter");
  assert.equal(await focused(page), "#files");
  assert.equal(await entries(), 0);

  await page.chooseFiles("#files", files);
  await waitForResults(page, 3);
  // Kept, by its button or by Escape: nothing is cleared, and the focus is back on Clear.
  for (const keep of [() => page.click("#clear-keep"), () => page.press("Escape")]) {
    await page.click("#clear");
    assert.ok(await asking(), "Clear did not ask");
    assert.match(await page.evaluate(() => document.getElementById("confirm-clear").innerText),
                 /3 converted files have not been saved/);
    assert.equal(await focused(page), "#clear-keep");
    await keep();
    assert.equal(await asking(), false);
    assert.equal(await entries(), 3);
    assert.equal(await focused(page), "#clear");
  }
  await clearConfirmed(page);
  assert.equal(await asking(), false);
  assert.equal(await entries(), 0);
  assert.equal(await focused(page), "#files");

  // Outputs saved (here through "Save all") are cleared without a question.
  await page.chooseFiles("#files", files.slice(0, 2));
  await waitForResults(page, 2);
  await saveAll(page);
  await page.click("#clear");
  assert.equal(await asking(), false);
  assert.equal(await entries(), 0);
  assert.equal(await focused(page), "#files");
  await page.close();
});

scenario("entries in columns: their states, sizes and actions line up, at any width", {}, async (env) => {
  const files = [put("story.pdb", path.join(golden, "decode/edge_lengths.pdb")),
                 put("a name long enough to wrap in a narrow window, and then some more.pdb",
                     path.join(golden, "decode/one_record.pdb")),
                 put("notes.pdb", path.join(golden, "reject/other_creator.pdb")),
                 put("ab", path.join(golden, "decode/one_record.pdb"))];
  const page = await openPage(env);
  await page.chooseFiles("#files", files);
  await waitForResults(page, files.length);
  // Each column's edges, entry by entry (left edges, and the size's right one, as it is aligned).
  const columns = () => page.evaluate(() => {
    const edges = (selector, side) => [...document.querySelectorAll(`#results li ${selector}`)]
        .map((element) => Math.round(element.getBoundingClientRect()[side]));
    return {state: edges(".state", "left"), size: edges(".size", "right"), save: edges(".save a", "left"),
            remove: edges(".remove", "left"), removeRight: edges(".remove", "right"),
            fileRight: edges(".file", "right"), width: document.documentElement.scrollWidth, window: innerWidth};
  });
  const same = (values, what) => assert.equal(new Set(values).size, 1, `${what} at ${JSON.stringify(values)}`);
  const wide = await columns();
  same(wide.state, "states");
  same(wide.size, "sizes");
  same(wide.save, "Save links");
  same(wide.remove, "Remove buttons");
  assert.equal(wide.save.length, 2);
  assert.ok(Math.max(...wide.fileRight) <= wide.state[0], "a file's column runs into the states'");
  assert.ok(wide.size[0] <= wide.save[0] && wide.save[0] < wide.remove[0], "columns out of order");
  // The narrowest window: each entry's actions at its right, the page no wider than the window.
  await page.setViewport({width: 360, height: 700});
  const narrow = await columns();
  same(narrow.removeRight, "Remove buttons (narrow)");
  assert.ok(narrow.width <= narrow.window, `the page is ${narrow.width} px wide in a ${narrow.window} px window`);
  await page.close();
});

scenario("removing an entry or clearing the list lets go of its output", {}, async (env) => {
  const files = ["decode/one_record.pdb", "decode/edge_lengths.pdb", "reject/other_type.pdb"]
      .map((f) => path.join(golden, f));
  const page = await openPage(env);
  await page.chooseFiles("#files", files);
  await waitForResults(page, files.length);
  // Each link made to lead to its output, as when it takes the focus.
  const links = await page.evaluate(() => [...document.querySelectorAll("#results a[download]")].map((a) => {
    a.dispatchEvent(new FocusEvent("focus"));
    return a.href;
  }));
  assert.ok(links.every((href) => href.startsWith("blob:")), links.join(" "));
  const readable = (href) => page.evaluate((href) => fetch(href).then(() => true, () => false), href);
  assert.ok(await readable(links[0]));
  await page.click("#results > li:nth-child(1) .remove");
  assert.equal(await count(page, "#results li"), 2);
  assert.equal(await readable(links[0]), false, "a removed entry's output is still held");
  assert.ok(await readable(links[1]));
  await clearConfirmed(page);
  assert.equal(await count(page, "#results li"), 0);
  assert.equal(await readable(links[1]), false, "a cleared output is still held");
  assert.ok(!(await visible(page, "#clear")));
  // The page goes on converting after a clear.
  await page.chooseFiles("#files", [files[0]]);
  const [again] = await results(page, 1);
  assertSameAsNative(again, files[0]);
  await page.close();
});

// Counts the workers the page starts, in window.workersStarted.
const countWorkers = () => {
  const Original = window.Worker;
  window.workersStarted = 0;
  window.Worker = class extends Original {
    constructor(...args) {
      super(...args);
      window.workersStarted++;
    }
  };
};

scenario("files removed before they are converted: the summary counts the rest, and Clear starts one fresh worker", {}, async (env) => {
  const folder = fs.mkdtempSync(path.join(scratch, "big-"));
  const big = path.join(folder, "big.pdb");
  bigDatabase(big);
  const small = path.join(golden, "decode/one_record.pdb");
  const statusText = () => page.evaluate(() => document.getElementById("status").textContent);
  const page = await openPage(env, {initScript: countWorkers});
  // The last file of a batch removed while it converts, and then while it waits.
  for (const [files, removed] of [[[small, big], 2], [[small, big, small], 3]]) {
    await page.chooseFiles("#files", files);
    await waitForResults(page, 1);
    await page.click(`#results > li:nth-child(${removed}) .remove`);
    await waitForResults(page, files.length - 1);
    assert.equal(await statusText(), `${files.length - 1} ${files.length === 2 ? "file" : "files"}: ` +
                 `${files.length - 1} converted, 0 refused`);
    await clearConfirmed(page);
  }
  // Clear while a large file converts and many wait: one fresh worker, not one for each file.
  await page.chooseFiles("#files", [big, ...Array(40).fill(small)]);
  await page.waitFor(() => document.querySelector("#results li")?.dataset.state === "converting");
  const before = await page.evaluate(() => window.workersStarted);
  await page.click("#clear");
  assert.equal(await page.evaluate(() => window.workersStarted), before + 1);
  assert.equal(await statusText(), "List cleared");
  await page.chooseFiles("#files", [small]);
  const [again] = await results(page, 1);
  assertSameAsNative(again, small);
  await page.close();
  fs.rmSync(folder, {recursive: true, force: true});
});

// The members of the archive "Save all" saves, and whether it is offered.
async function archived(page) {
  if (!(await visible(page, "#save-all"))) return null;
  const saved = await saveAll(page);
  assert.equal(saved.name, "converted.zip");
  return readArchive(saved.bytes);
}

scenario("Save all: one archive of every output, under names unique and safe to extract", {}, async (env) => {
  const source = path.join(golden, "decode/one_record.pdb");
  const output = createHash("sha256").update(nativeResult(source).bytes).digest("hex");
  // [chosen name, the name in the archive]
  const cases = [
    ["story.pdb", "story.hdb"],
    ["story.pdb", "story (2).hdb"],
    ["STORY.pdb", "STORY (3).hdb"],
    ["\u00e9t\u00e9.pdb", "\u00e9t\u00e9.hdb"],
    // The same name with its accents as separate characters: the same file on many systems.
    ["e\u0301te\u0301.pdb", "e\u0301te\u0301 (2).hdb"],
    ["a\"b.pdb", "a_b.hdb"],
    ["a*b.pdb", "a_b (2).hdb"],
    ["..pdb", "hdb"],
    ["x".repeat(251) + ".pdb", "x".repeat(246) + ".hdb"],
    ["x".repeat(251) + ".PDB", "x".repeat(246) + " (2).hDB"],
  ];
  const page = await openPage(env);
  const files = cases.map(([name]) => put(name, source));
  assert.equal(await archived(page), null);
  await page.chooseFiles("#files", files.slice(0, 1));
  await waitForResults(page, 1);
  assert.equal(await archived(page), null, "Save all for a single output");
  await page.chooseFiles("#files", files.slice(1));
  await waitForResults(page, files.length);
  const expected = cases.map(([, name]) => ({name, sha256: output}));
  assert.deepEqual(await archived(page), expected);
  assert.deepEqual(await archived(page), expected, "Save all a second time");
  // Names a dropped file may carry, which must not lead out of the folder the archive is
  // extracted in.
  await dropFiles(page, "#drop", [["../../evil.pdb"], ["..\\..\\evil.pdb"], ["/etc/evil.pdb"], ["a/../../b.pdb"]]
      .map(([name]) => ({name, data: fs.readFileSync(source).toString("base64")})));
  await waitForResults(page, files.length + 4);
  for (const {name} of (await archived(page)).slice(files.length)) {
    assert.doesNotMatch(name, /[/\\]|^\.\.?$/, `${JSON.stringify(name)} in the archive`);
  }
  await page.click("#clear");
  assert.equal(await archived(page), null, "Save all after Clear");
  await page.chooseFiles("#files", files.slice(0, 2));
  await waitForResults(page, 2);
  assert.deepEqual(await archived(page), expected.slice(0, 2), "Save all of a new list");
  await page.close();
});

scenario("names: isolated, wrapped, and shown as the browser saves them", {}, async (env) => {
  const source = path.join(golden, "decode/one_record.pdb");
  // [chosen name, the name shown and saved, whether the entry says why it differs]
  const cases = [
    ["story.pdb", "story.hdb", false],
    ["a\"b.pdb", "a_b.hdb", true],
    [".pdb", "hdb", true],
    ["story.pdb.", "story.phb", true],
    ["a\u0001b.pdb", "a_b.hdb", true],
    ["\u202Eevil.pdb", "_evil.hdb", true],
    // Some browsers keep at most 250 bytes of a name: the page shortens it so in all of them.
    ["x".repeat(251) + ".pdb", "x".repeat(246) + ".hdb", true],
    ["x".repeat(246) + ".pdb", "x".repeat(246) + ".hdb", false],
    ["é".repeat(124) + ".pdb", "é".repeat(123) + ".hdb", true],
    // Invisible formatting characters, line breaks and noncharacters, which one browser or another
    // changes or drops; "%" and spaces of other kinds, or in a row, which Firefox changes.
    ["a\u200db.pdb", "a_b.hdb", true],
    ["a\u00adb.pdb", "a_b.hdb", true],
    ["a\ufdd0b.pdb", "a_b.hdb", true],
    ["a\u2028b.pdb", "a_b.hdb", true],
    ["100%.pdb", "100_.hdb", true],
    ["a  b.pdb", "a b.hdb", true],
    ["a\u00a0b.pdb", "a b.hdb", true],
    ["a\u3000b.pdb", "a\u3000b.hdb", false],
    // "~": WebKit saves every one as "_", Chromium one at either end.
    ["~tilde.pdb", "_tilde.hdb", true],
    ["~~.pdb", "__.hdb", true],
    ["x.pdb~", "x.phb_", true],
    ["a~b.pdb", "a_b.hdb", true],
  ];
  // A page at a time starts at most 9 downloads, which Chromium lets a page make without asking.
  for (let first = 0; first < cases.length; first += 9) {
    await savedNames(env, cases.slice(first, first + 9), source);
  }
});

scenario("names that show nothing or look alike are told apart, visibly and by accessible name", {}, async (env) => {
  const source = path.join(golden, "decode/one_record.pdb");
  const names = ["\u00e9t\u00e9.pdb", "e\u0301te\u0301.pdb", "\u202Efdp.story.pdb", "a\u200db.pdb"];
  const page = await openPage(env, {viewport: {width: 1280, height: 720}});
  await page.chooseFiles("#files", names.map((name) => put(name, source)));
  await waitForResults(page, names.length);
  const entries = await page.evaluate(() => [...document.querySelectorAll("#results li")].map((li) => ({
    seen: li.querySelector(".file").innerText.split("\n")[0],
    width: li.querySelector("bdi.source").getBoundingClientRect().width,
    remove: li.querySelector(".remove").getAttribute("aria-label"),
    note: li.querySelector(".renamed")?.textContent ?? "",
  })));
  // The same name in both forms: the one with separate accents says so, in sight and when read.
  assert.notEqual(entries[0].seen, entries[1].seen);
  assert.match(entries[1].seen, /accents written as separate characters/);
  assert.notEqual(entries[0].remove, entries[1].remove);
  assert.match(entries[1].remove, /accents written as separate characters/);
  // A right-to-left override turns nothing around: it is shown as its code point, where it stands.
  assert.match(entries[2].remove, /U\+202E \(right-to-left override\)/);
  assert.match(entries[2].note, /U\+202E \(right-to-left override\) became _/);
  const order = await page.evaluate(() => {
    // Where "fdp" and "story" are drawn: left to right as written, unless the override turned them.
    const name = document.querySelectorAll("#results bdi.source")[2];
    const text = [...name.childNodes].find((node) => node.nodeType === Node.TEXT_NODE);
    const at = (start, end) => {
      const range = document.createRange();
      range.setStart(text, start);
      range.setEnd(text, end);
      return range.getBoundingClientRect().left;
    };
    return {fdp: at(0, 3), story: at(4, 9), mark: name.querySelector(".unseen").getBoundingClientRect().width};
  });
  assert.ok(order.fdp < order.story, `the override turned the name around: ${JSON.stringify(order)}`);
  assert.ok(order.mark >= 8, `the override is not seen: ${JSON.stringify(order)}`);
  assert.match(entries[3].remove, /U\+200D \(zero-width joiner\)/);
  await page.close();
});

async function savedNames(env, cases, source) {
  const page = await openPage(env);
  // The narrowest the engine's window allows (360 px where it can be set so).
  const {width} = await page.setViewport({width: 360, height: 700});
  assert.ok(width <= 480, `a window ${width} px wide`);
  await page.chooseFiles("#files", cases.map(([name]) => put(name, source)));
  const found = await results(page, cases.length);
  for (const [i, [name, saved, explained]] of cases.entries()) {
    assert.equal(found[i].source, name);
    assert.equal(found[i].shown, saved, JSON.stringify(name));
    assert.equal(found[i].name, saved, JSON.stringify(name) + ": saved under another name");
    const item = `#results > li:nth-child(${i + 1})`;
    assert.equal(await count(page, `${item} .renamed`), explained ? 1 : 0, JSON.stringify(name));
    // Every name stands in an isolate of its own, so that its direction cannot turn the entry.
    assert.equal(await page.evaluate((item) => document.querySelector(`${item} bdi.source`).textContent, item), name);
    // A long name is seen once in its entry: its output by the end where it differs, and the note
    // names what changed, not the name again.
    const seen = await page.evaluate((item) => [document.querySelector(`${item} .output bdi`).innerText,
                                                document.querySelector(`${item} .renamed`)?.innerText ?? ""], item);
    if (name.length > 40) assert.ok(seen[0].length <= 30, `${JSON.stringify(name)}: output shown as ${seen[0]}`);
    assert.ok(!seen[1].includes(name.slice(0, 12)), `${JSON.stringify(name)}: the note repeats it: ${seen[1]}`);
  }
  const scrollWidth = await page.evaluate(() => document.documentElement.scrollWidth);
  assert.ok(scrollWidth <= width, `a long name makes the page ${scrollWidth} px wide in a ${width} px window`);
  await page.close();
}

scenario("messages and why a name is refused are readable in both color schemes", {}, async (env) => {
  const files = [put("ab", path.join(golden, "decode/one_record.pdb"))];
  for (const colorScheme of ["light", "dark"]) {
    const page = await openPage(env, {colorScheme});
    assert.equal(await page.evaluate(() => matchMedia("(prefers-color-scheme: dark)").matches),
                 colorScheme === "dark", "the browser's color scheme");
    await page.chooseFiles("#files", files);
    await waitForResults(page, 1);
    assert.match(await page.evaluate(() => document.querySelector("#results li").innerText),
                 /error: output file not found.*no output name can be made from this file's name/s);
    const [color, background] = await page.evaluate(() => {
      const body = getComputedStyle(document.body).backgroundColor;
      return [getComputedStyle(document.querySelector(".error")).color,
              body === "rgba(0, 0, 0, 0)" ? (matchMedia("(prefers-color-scheme: dark)").matches
                                             ? "rgb(18, 18, 18)" : "rgb(255, 255, 255)") : body];
    });
    const ratio = contrast(color, background);
    assert.ok(ratio >= 4.5, `${colorScheme}: error text ${color} on ${background} is ${ratio.toFixed(2)}:1`);
    await page.close();
  }
});

scenario("files dropped anywhere on the page are taken", {}, async (env) => {
  const file = path.join(golden, "decode/one_record.pdb");
  const page = await openPage(env);
  await dropFiles(page, "h1", payload([file]));
  const [result] = await results(page, 1);
  assertSameAsNative(result, file);
  await page.close();
});

for (const engine of chosenEngines()) {
  describe(engine, () => {
    const env = {engine, browser: null};
    before(async () => {
      env.browser = await launch(engine);
      console.log(`# ${engine}: ${env.browser.version}`);
    });
    afterEach(async () => {
      await env.browser?.closePages();
    });
    after(async () => {
      await env.browser?.close();
    });
    // A page that never answers fails its case rather than holding up the whole run.
    for (const {name, options, body} of cases) test(name, {timeout: 600_000, ...options}, () => body(env));
  });
}
