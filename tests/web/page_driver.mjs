// What the page's tests and its benchmark share: the page, the browsers (engines.mjs), waiting
// for results, and a large database made sparse.
import fs from "node:fs";
import path from "node:path";
import {fileURLToPath, pathToFileURL} from "node:url";
import {chromium} from "playwright-core";

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const pageUrl =
    pathToFileURL(path.resolve(top, process.env.PALMCONV_PAGE ?? "build/web/site/index.html")).href;
export const native = path.resolve(top, process.env.PALMCONV ?? "build/native/palmconv");

import {chromiumOptions} from "./engines.mjs";

export {chosenEngines, launch} from "./engines.mjs";

// Debian's Chromium as a bare Playwright browser. (launch() in engines.mjs drives every engine
// the same way.)
export function launchBrowser(extra = []) {
  return chromium.launch(chromiumOptions(extra));
}

// Waits until `count` entries after the first `skip` are converted or refused, on a page of
// engines.mjs or a bare Playwright page.
export async function waitForResults(page, count, skip = 0) {
  const settled = (count, skip) => {
    const items = [...document.querySelectorAll("#results li")].slice(skip);
    return items.length >= count &&
        items.slice(0, count).every((li) => ["converted", "refused"].includes(li.dataset.state));
  };
  if (page.waitFor !== undefined) {
    await page.waitFor(settled, [count, skip], 600_000);
  } else {
    await page.waitForFunction(`(${settled})(${count}, ${skip})`, undefined, {timeout: 600_000});
  }
}

// Writes a database of 65,535 records of `recordSize` bytes (4 KiB: 256 MiB) to `file`, named
// `name` inside, sparse: it takes no room.
export function bigDatabase(file, {recordSize = 4096, name = "Big"} = {}) {
  const count = 65535;
  const first = 78 + 8 * count;
  const header = Buffer.alloc(first);
  header.write(name, 0, "latin1");
  header.write("TEXtREAd", 60, "latin1");
  header.writeUInt16BE(count, 76);
  for (let i = 0; i < count; i++) header.writeUInt32BE(first + i * recordSize, 78 + 8 * i);
  fs.writeFileSync(file, header);
  fs.truncateSync(file, first + count * recordSize);
}
