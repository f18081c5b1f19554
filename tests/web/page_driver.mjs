// What the page's tests and its benchmark share: headless Chromium, the page, and a large
// database made sparse.
import fs from "node:fs";
import path from "node:path";
import {fileURLToPath, pathToFileURL} from "node:url";
import {chromium} from "playwright-core";

export const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const pageUrl =
    pathToFileURL(path.resolve(top, process.env.PALMCONV_PAGE ?? "build/web/site/index.html")).href;
export const native = path.resolve(top, process.env.PALMCONV ?? "build/native/palmconv");

// Debian's Chromium, kept from reaching out on its own: this machine has no network.
export function launchBrowser(extra = []) {
  return chromium.launch({
    executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync", ...extra],
  });
}

// Waits until `count` entries after the first `skip` are converted or refused.
export async function waitForResults(page, count, skip = 0) {
  await page.waitForFunction(([count, skip]) => {
    const items = [...document.querySelectorAll("#results li")].slice(skip);
    return items.length >= count &&
        items.slice(0, count).every((li) => ["converted", "refused"].includes(li.dataset.state));
  }, [count, skip], {timeout: 600_000});
}

// Writes a database of 65,535 records of 4 KiB to `file`, sparse: 256 MiB that take no room.
export function bigDatabase(file) {
  const count = 65535;
  const recordSize = 4096;
  const first = 78 + 8 * count;
  const header = Buffer.alloc(first);
  header.write("Big", 0, "latin1");
  header.write("TEXtREAd", 60, "latin1");
  header.writeUInt16BE(count, 76);
  for (let i = 0; i < count; i++) header.writeUInt32BE(first + i * recordSize, 78 + 8 * i);
  fs.writeFileSync(file, header);
  fs.truncateSync(file, first + count * recordSize);
}
