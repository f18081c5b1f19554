// One way to drive a page in each of the three browser engines, all from Debian's own browsers:
//   chromium: /usr/bin/chromium through playwright-core;
//   firefox:  /usr/bin/firefox-esr through puppeteer-core over WebDriver BiDi, headless;
//   webkit:   WebKitGTK's MiniBrowser through WebKitWebDriver and selenium-webdriver, on a
//             virtual display (Xvfb) started here, never on a desktop.
// launch(engine) gives {engine, version, newPage(options), close()}; a page gives goto, chooseFiles,
// evaluate, waitFor, click, focus, press, expectFileChooser, setViewport, screenshot, download,
// requests and errors, the same in every engine, and choosesFolders, whether chooseFiles can hand
// the page a folder as a person's chooser may; closePages() closes those a failed test left.
//   node engines.mjs   prints the name and version of each engine in PALMCONV_ENGINES
import {spawn} from "node:child_process";
import {createHash} from "node:crypto";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import {fileURLToPath, pathToFileURL} from "node:url";

export const allEngines = ["chromium", "firefox", "webkit"];

// The engines named in PALMCONV_ENGINES (comma- or space-separated), all three by default.
export function chosenEngines() {
  const names = (process.env.PALMCONV_ENGINES ?? "").split(/[\s,]+/).filter(Boolean);
  for (const name of names) {
    if (!allEngines.includes(name)) throw new Error(`unknown engine ${name}: one of ${allEngines}`);
  }
  return names.length > 0 ? names : allEngines;
}

const defaultViewport = {width: 1280, height: 720};

// A browser of `engine`; `noWebAssembly` starts it with WebAssembly turned off in the engine itself;
// `freshProfile` starts it as a person's browser started for the first time: Chromium with a new
// profile folder on disk (not the off-the-record contexts it otherwise gives each page), its pages
// all in that profile; Firefox and WebKit start with a new profile of their own every time.
// closePages() closes the pages still open (a failed test's), which WebKit needs: its driver
// holds one session at a time.
export async function launch(engine, {noWebAssembly = false, freshProfile = false} = {}) {
  const launchers = {chromium: launchChromium, firefox: launchFirefox, webkit: launchWebKit};
  if (launchers[engine] === undefined) throw new Error("unknown engine " + engine);
  const browser = await launchers[engine]({noWebAssembly, freshProfile});
  const open = new Set();
  const closePages = async () => {
    for (const page of [...open]) await page.close().catch(() => {});
  };
  return {
    ...browser,
    async newPage(options) {
      const page = await browser.newPage(options);
      const close = page.close;
      page.close = async () => {
        open.delete(page);
        await close();
      };
      open.add(page);
      return page;
    },
    closePages,
    async close() {
      await closePages();
      await browser.close();
    },
  };
}

// `fn` called with `args` (JSON values), as source text every driver can evaluate in the page.
function call(fn, args) {
  return `(${fn})(...${JSON.stringify(args)})`;
}

// Runs in every page ahead of its own scripts: records what the page's security policy stopped it
// from fetching, and its uncaught errors (for WebKit, whose driver has no event for them).
const recorder = () => {
  window.__palmconvBlocked = [];
  window.__palmconvErrors = [];
  addEventListener("securitypolicyviolation", (event) => {
    if (event.blockedURI.includes(":")) window.__palmconvBlocked.push(event.blockedURI);
    else window.__palmconvErrors.push(`${event.violatedDirective} stopped: ${event.blockedURI}`);
  });
  addEventListener("error", (event) => window.__palmconvErrors.push(String(event.error ?? event.message)));
  addEventListener("unhandledrejection", (event) => window.__palmconvErrors.push(String(event.reason)));
};

// What every page shares, given the engine's own way to evaluate source text in the page.
function basePage(engine, evaluateSource) {
  const page = {
    engine,
    evaluate: (fn, ...args) => evaluateSource(call(fn, args)),
    // Polls `fn(...args)` in the page until it returns something true; that value.
    async waitFor(fn, args = [], timeoutMs = 30_000) {
      const end = Date.now() + timeoutMs;
      for (;;) {
        const value = await page.evaluate(fn, ...args);
        if (value) return value;
        if (Date.now() > end) throw new Error(`${engine}: timed out after ${timeoutMs} ms waiting for ${fn}`);
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
    },
    // URLs of the resources the page fetched, as its own resource timing records them, and those
    // its security policy stopped it from fetching, as the recorder saw them.
    async resourceUrls() {
      return page.evaluate(() => [...performance.getEntriesByType("resource").map((entry) => entry.name),
                                  ...(window.__palmconvBlocked ?? [])]);
    },
  };
  return page;
}

async function sha256File(file) {
  const hash = createHash("sha256");
  for await (const data of fs.createReadStream(file)) hash.update(data);
  return hash.digest("hex");
}

// Playwright's launch options for Debian's Chromium, kept from reaching out on its own: this
// machine has no network.
export function chromiumOptions(extraArgs = []) {
  return {
    executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           ...extraArgs],
  };
}

// What Playwright's and Puppeteer's pages do alike, with the request and error logs the engine's
// page keeps, over the engine-neutral `page`.
function sharedMethods(page, raw, {requests, errors, javaScriptEnabled}) {
  return {
    raw,
    goto: (url) => raw.goto(url).then(() => undefined),
    click: (selector) => raw.click(selector),
    focus: (selector) => raw.focus(selector),
    press: (key) => raw.keyboard.press(key),
    screenshot: (file, {fullPage = false} = {}) => raw.screenshot({path: file, fullPage}),
    requests: async () => [...requests, ...(javaScriptEnabled ? await page.resourceUrls() : [])],
    errors: async () => errors,
  };
}

// A download saved in `file` under `name`: its bytes, or with `digest` their SHA-256.
async function savedDownload(name, file, digest) {
  return digest ? {name, sha256: await sha256File(file)} : {name, bytes: fs.readFileSync(file)};
}

// Chromium: one context per page, with Playwright's own download events and request log; with
// `freshProfile`, one context on disk for all pages, its first page the window the browser opened.
async function launchChromium({noWebAssembly, freshProfile}) {
  const {chromium} = await import("playwright-core");
  const options = chromiumOptions(noWebAssembly ? ["--js-flags=--jitless"] : []);
  let browser = null;
  let profile = null;
  let persistent = null;
  if (freshProfile) {
    profile = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-chromium-profile-"));
    persistent = await chromium.launchPersistentContext(profile, {...options, acceptDownloads: true,
                                                                 viewport: defaultViewport});
  } else {
    browser = await chromium.launch(options);
  }
  const version = browser !== null ? browser.version()
      : (await persistent.pages()[0].evaluate(() => navigator.userAgent)).match(/Chrome\/([\d.]+)/)[1];
  return {
    engine: "chromium",
    version: `Chromium ${version}`,
    async newPage({initScript, colorScheme, viewport = defaultViewport, javaScriptEnabled = true} = {}) {
      let context = persistent;
      let raw;
      if (persistent !== null) {
        if (!javaScriptEnabled) throw new Error("chromium: JavaScript is turned off only in a page of its own profile");
        const blank = persistent.pages().find((page) => page.url() === "about:blank" && !page.__palmconvTaken);
        raw = blank ?? await persistent.newPage();
        raw.__palmconvTaken = true;
        await raw.setViewportSize(viewport);
        if (colorScheme) await raw.emulateMedia({colorScheme});
      } else {
        context = await browser.newContext({acceptDownloads: true, viewport, javaScriptEnabled,
                                            ...(colorScheme ? {colorScheme} : {})});
        raw = await context.newPage();
      }
      const requests = [];
      const errors = [];
      raw.on("request", (request) => requests.push(request.url()));
      raw.on("pageerror", (error) => errors.push(String(error)));
      await raw.addInitScript(recorder);
      if (initScript !== undefined) await raw.addInitScript(initScript);
      const page = basePage("chromium", (source) => raw.evaluate(source));
      return Object.assign(page, sharedMethods(page, raw, {requests, errors, javaScriptEnabled}), {
        choosesFolders: true,
        async chooseFiles(selector, paths) {
          if (!paths.some((file) => fs.statSync(file, {throwIfNoEntry: false})?.isDirectory())) {
            return raw.setInputFiles(selector, paths);
          }
          // Playwright hands a plain file input no folder; the DevTools protocol hands it any path.
          const cdp = await raw.context().newCDPSession(raw);
          try {
            const {root} = await cdp.send("DOM.getDocument");
            const {nodeId} = await cdp.send("DOM.querySelector", {nodeId: root.nodeId, selector});
            await cdp.send("DOM.setFileInputFiles", {nodeId, files: paths.map((file) => path.resolve(file))});
          } finally {
            await cdp.detach();
          }
        },
        // The chooser the browser itself opens; `action` is what opens it.
        async expectFileChooser(action) {
          const shown = raw.waitForEvent("filechooser");
          // File choosers are caught only once the browser has been told to hand them over.
          await raw.evaluate(() => null);
          await action();
          const chooser = await shown;
          return {setFiles: (paths) => chooser.setFiles(paths)};
        },
        async setViewport(size) {
          await raw.setViewportSize(size);
          return page.evaluate(() => ({width: innerWidth, height: innerHeight}));
        },
        // A real download: the name is the one the browser saves the file under.
        async download(selector, {digest = false} = {}) {
          const [download] = await Promise.all([raw.waitForEvent("download"), raw.click(selector)]);
          return savedDownload(download.suggestedFilename(), await download.path(), digest);
        },
        close: () => (persistent !== null ? raw.close() : context.close()),
      });
    },
    async close() {
      if (persistent !== null) {
        await persistent.close();
        fs.rmSync(profile, {recursive: true, force: true});
      } else {
        await browser.close();
      }
    },
  };
}

// Firefox: one browser context per page, its downloads saved in a folder of its own and followed
// through WebDriver BiDi's download events. A color scheme or JavaScript turned off are
// preferences of the whole browser, so such a page is opened in a browser started with them.
async function launchFirefox({noWebAssembly}) {
  const puppeteer = (await import("puppeteer-core")).default;
  const start = async (prefs) => {
    const browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: process.env.FIREFOX ?? "/usr/bin/firefox-esr",
      headless: true,
      defaultViewport,
      extraPrefsFirefox: {...(noWebAssembly ? {"javascript.options.wasm": false} : {}), ...prefs},
    });
    const begun = [];
    const ended = new Map();  // navigation id → the download's end
    let wake = () => {};
    browser.connection.on("browsingContext.downloadWillBegin", (event) => { begun.push(event); wake(); });
    browser.connection.on("browsingContext.downloadEnd", (event) => { ended.set(event.navigation, event); wake(); });
    await browser.connection.send("session.subscribe",
                                  {events: ["browsingContext.downloadWillBegin", "browsingContext.downloadEnd"]});
    // The next download that `action` starts, once it is whole: {suggestedFilename, filepath}.
    browser.nextDownload = async (action) => {
      begun.length = 0;
      await action();
      const until = Date.now() + 600_000;
      const settled = () => begun.length > 0 && ended.has(begun[0].navigation);
      while (!settled()) {
        if (Date.now() > until) throw new Error("firefox: no download");
        await new Promise((resolve) => { wake = resolve; setTimeout(resolve, 1000); });
      }
      const end = ended.get(begun[0].navigation);
      ended.delete(begun[0].navigation);
      if (end.status !== "complete") throw new Error(`firefox: download ${end.status}`);
      return {suggestedFilename: begun[0].suggestedFilename, filepath: end.filepath};
    };
    return browser;
  };
  const browser = await start({});
  const others = new Map();  // browsers with other preferences, by those preferences
  const withPrefs = async (prefs) => {
    if (Object.keys(prefs).length === 0) return browser;
    const key = JSON.stringify(prefs);
    if (!others.has(key)) others.set(key, await start(prefs));
    return others.get(key);
  };
  return {
    engine: "firefox",
    version: `Firefox ${(await browser.version()).replace(/^firefox\//i, "")} ESR`,
    async newPage({initScript, colorScheme, viewport = defaultViewport, javaScriptEnabled = true} = {}) {
      const prefs = {};
      if (colorScheme !== undefined) {
        prefs["layout.css.prefers-color-scheme.content-override"] = colorScheme === "dark" ? 0 : 1;
      }
      if (!javaScriptEnabled) prefs["javascript.enabled"] = false;
      const owner = await withPrefs(prefs);
      const downloads = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-firefox-"));
      const context = await owner.createBrowserContext(
          {downloadBehavior: {policy: "allow", downloadPath: downloads}});
      const raw = await context.newPage();
      const requests = [];
      const errors = [];
      raw.on("request", (request) => requests.push(request.url()));
      raw.on("pageerror", (error) => errors.push(String(error)));
      await raw.setViewport(viewport);
      await raw.evaluateOnNewDocument(recorder);
      if (initScript !== undefined) await raw.evaluateOnNewDocument(initScript);
      const page = basePage("firefox", (source) => raw.evaluate(source));
      return Object.assign(page, sharedMethods(page, raw, {requests, errors, javaScriptEnabled}), {
        // Its WebDriver BiDi refuses to hand a file input a folder ("Is directory").
        choosesFolders: false,
        chooseFiles: async (selector, paths) => (await raw.$(selector)).uploadFile(...paths),
        async expectFileChooser(action) {
          const [chooser] = await Promise.all([raw.waitForFileChooser({timeout: 30_000}), action()]);
          return {setFiles: (paths) => chooser.accept(paths)};
        },
        async setViewport(size) {
          await raw.setViewport(size);
          return page.evaluate(() => ({width: innerWidth, height: innerHeight}));
        },
        // A real download: the name is the one the browser saves the file under. The file is
        // taken out of the folder, so that a later one of the same name is not renamed for it.
        async download(selector, {digest = false} = {}) {
          const {suggestedFilename: name, filepath} =
              await owner.nextDownload(() => raw.click(selector));
          try {
            return await savedDownload(name, filepath, digest);
          } finally {
            fs.rmSync(filepath, {force: true});
          }
        },
        async close() {
          await context.close();
          fs.rmSync(downloads, {recursive: true, force: true});
        },
      });
    },
    async close() {
      for (const other of others.values()) await other.close();
      await browser.close();
    },
  };
}

const xvfbScreen = "2560x4096x24";  // tall enough for a whole page's screenshot

// A virtual display of its own: {display, stop()}.
async function startXvfb() {
  const xvfb = spawn("Xvfb", ["-displayfd", "3", "-screen", "0", xvfbScreen, "-nolisten", "tcp"],
                     {stdio: ["ignore", "ignore", "pipe", "pipe"]});
  let log = "";
  xvfb.stderr.on("data", (data) => { log += data; });
  const display = await new Promise((resolve, reject) => {
    let out = "";
    xvfb.stdio[3].on("data", (data) => {
      out += data;
      if (out.includes("\n")) resolve(":" + out.trim());
    });
    xvfb.on("error", reject);
    xvfb.on("exit", (code) => reject(new Error(`Xvfb exited (${code}): ${log}`)));
  });
  return {display, stop: () => stopChild(xvfb)};
}

// Ends a child process of ours and waits for it to be gone.
function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  const gone = new Promise((resolve) => child.once("exit", resolve));
  child.kill();
  return gone;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const {port} = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, child, timeoutMs = 20_000) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (child.exitCode !== null) throw new Error(`WebKitWebDriver exited (${child.exitCode})`);
    const open = await new Promise((resolve) => {
      const socket = net.connect(port, "127.0.0.1", () => { socket.end(); resolve(true); });
      socket.on("error", () => resolve(false));
    });
    if (open) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error("WebKitWebDriver did not start listening");
}

const miniBrowser = () => process.env.MINIBROWSER ??
    ["4.1", "4.0", "6.0"].map((v) => `/usr/lib/x86_64-linux-gnu/webkit2gtk-${v}/MiniBrowser`)
        .find((file) => fs.existsSync(file));

// WebKit: every page is a session of its own, that is a MiniBrowser of its own, since the color
// scheme and JavaScript are options of the browser. WebDriver classic cannot run a script ahead of
// the page's, so a page (a local file) is loaded from a copy with that script put first.
async function launchWebKit({noWebAssembly}) {
  const {Builder, By, Key} = await import("selenium-webdriver");
  const binary = miniBrowser();
  if (binary === undefined) throw new Error("no MiniBrowser (Debian's libwebkit2gtk-4.1-0)");
  const xvfb = await startXvfb();
  const port = await freePort();
  // MiniBrowser saves downloads in its user's download folder, or lacking one in the home folder:
  // a home of its own, where each download is found under the name WebKit gave it.
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-webkit-home-"));
  const driver = spawn(process.env.WEBKIT_WEBDRIVER ?? "WebKitWebDriver", [`--port=${port}`], {
    // WebKit's processes outlive their session a moment and then miss their display: what they
    // say is kept for a failure to start, and shown only with PALMCONV_DEBUG.
    stdio: ["ignore", "ignore", process.env.PALMCONV_DEBUG ? "inherit" : "pipe"],
    env: {...process.env, DISPLAY: xvfb.display, HOME: home, XDG_CONFIG_HOME: path.join(home, ".config"),
          ...(noWebAssembly ? {JSC_useWasm: "false"} : {})},
  });
  let said = "";
  driver.stderr?.on("data", (data) => { said = (said + data).slice(-4000); });
  const copies = fs.mkdtempSync(path.join(os.tmpdir(), "palmconv-webkit-"));
  // The driver and the browsers it started go before their display does.
  const stop = async () => {
    await stopChild(driver);
    await xvfb.stop();
    fs.rmSync(copies, {recursive: true, force: true});
    fs.rmSync(home, {recursive: true, force: true});
  };
  // The files saved in the home folder (its own hidden ones aside).
  const saved = () => fs.readdirSync(home, {withFileTypes: true})
      .filter((entry) => entry.isFile() && !entry.name.startsWith(".")).map((entry) => entry.name);
  const session = (args) => new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
    "browserName": "MiniBrowser",
    "webkitgtk:browserOptions": {binary, args: ["--automation", ...args]},
  }).build();
  let version;
  try {
    await waitForPort(port, driver);
    const probe = await session([]);
    version = `WebKitGTK ${(await probe.getCapabilities()).get("browserVersion")} (MiniBrowser)`;
    await probe.quit();
  } catch (error) {
    await stop();
    error.message += said === "" ? "" : "\n" + said;
    throw error;
  }
  const keys = {"Enter": Key.ENTER, " ": Key.SPACE, "Space": Key.SPACE, "Tab": Key.TAB, "Escape": Key.ESCAPE};

  return {
    engine: "webkit",
    version,
    async newPage({initScript, colorScheme, viewport = defaultViewport, javaScriptEnabled = true} = {}) {
      const args = [];
      if (colorScheme === "dark") args.push("--dark-mode");
      if (!javaScriptEnabled) args.push("--enable-javascript=false");
      const raw = await session(args);
      const page = basePage("webkit", (source) => raw.executeScript(`return ${source};`));
      const element = (selector) => raw.findElement(By.css(selector));
      const setViewport = async ({width, height}) => {
        // The window holds the browser's toolbar besides the page: sized twice to learn by how much.
        await raw.manage().window().setRect({width, height});
        // The page may see its new size only a moment later: a window that shrank, until it has.
        let inner;
        for (let tries = 0; tries < 20; tries++) {
          inner = await page.evaluate(() => ({width: innerWidth, height: innerHeight}));
          if (inner.height <= height) break;
          await new Promise((resolve) => setTimeout(resolve, 50));
        }
        await raw.manage().window().setRect({width: Math.max(width, 2 * width - inner.width),
                                             height: Math.max(height, 2 * height - inner.height)});
        // MiniBrowser's window has a least width (its toolbar's): the size the page really has.
        return page.evaluate(() => ({width: innerWidth, height: innerHeight}));
      };
      await setViewport(viewport);
      return Object.assign(page, {
        raw,
        choosesFolders: true,
        async goto(url) {
          if (url.startsWith("file:") && /\.html?$/.test(url)) {
            const source = fs.readFileSync(fileURLToPath(url), "utf8");
            const scripts = [recorder, ...(initScript !== undefined ? [initScript] : [])];
            const first = scripts.map((fn) => `<script>(${fn})();</script>`).join("");
            const at = source.indexOf("<script");
            const copy = path.join(fs.mkdtempSync(path.join(copies, "page-")), path.basename(fileURLToPath(url)));
            fs.writeFileSync(copy, at < 0 ? source + first : source.slice(0, at) + first + source.slice(at));
            url = pathToFileURL(copy).href;
          } else if (initScript !== undefined) {
            throw new Error("webkit: a script ahead of the page's only for a local page");
          }
          await raw.get(url);
        },
        // The paths, one a line, typed into the file input, as WebDriver hands files to a page.
        async chooseFiles(selector, paths) {
          if (paths.some((file) => file.includes("\n"))) throw new Error("webkit: a path holding a newline");
          await element(selector).sendKeys(paths.map((file) => path.resolve(file)).join("\n"));
        },
        click: async (selector) => element(selector).click(),
        focus: (selector) => page.evaluate((selector) => document.querySelector(selector).focus(), selector),
        press: (key) => raw.actions().keyDown(keys[key] ?? key).keyUp(keys[key] ?? key).perform(),
        // WebDriver cannot catch a file chooser: the click that would open it is caught in the
        // page instead, and the files are given to the input it was meant for.
        async expectFileChooser(action) {
          await page.evaluate(() => {
            window.__palmconvChooser = null;
            document.addEventListener("click", (event) => {
              if (event.target instanceof HTMLInputElement && event.target.type === "file") {
                event.preventDefault();
                window.__palmconvChooser = "#" + CSS.escape(event.target.id);
              }
            }, {capture: true, once: true});
          });
          await action();
          const selector = await page.waitFor(() => window.__palmconvChooser);
          return {setFiles: (paths) => page.chooseFiles(selector, [paths].flat())};
        },
        setViewport,
        // A whole page: the window made as tall as the page for the moment of the shot.
        async screenshot(file, {fullPage = false} = {}) {
          // The shot is the last frame painted: the page's latest changes are let through first.
          const painted = () => page.evaluate(() => new Promise((resolve) =>
            requestAnimationFrame(() => requestAnimationFrame(resolve))));
          await painted();
          const before = await page.evaluate(() => ({width: innerWidth, height: innerHeight}));
          let size = before;
          // A taller window may wrap the page otherwise (a scroll bar gone): measured until it fits.
          for (let tries = 0; fullPage && tries < 3; tries++) {
            const height = await page.evaluate(() => document.documentElement.scrollHeight);
            if (height <= size.height) break;
            size = await setViewport({width: before.width, height});
            await painted();
          }
          fs.writeFileSync(file, await raw.takeScreenshot(), "base64");
          if (size !== before) await setViewport(before);
        },
        // A real download, clicked as a person would: the name is the one WebKit saves the file
        // under. The file is taken out of the folder, so that a later one of the same name is not
        // saved over it or renamed for it. (`link`, the link a button makes, is WebKit's to follow.)
        async download(selector, {digest = false} = {}) {
          for (const name of saved()) fs.rmSync(path.join(home, name), {force: true});
          await element(selector).click();
          const until = Date.now() + 600_000;
          let last = null;
          for (;;) {
            // Whole once its name is settled and its size has not changed for a moment.
            const names = saved();
            const now = names.length === 1 ? {name: names[0], size: fs.statSync(path.join(home, names[0])).size} : null;
            if (now !== null && last !== null && now.name === last.name && now.size === last.size &&
                now.size > 0) break;
            if (Date.now() > until) throw new Error(`webkit: no download (${names.join(", ")})`);
            last = now;
            await new Promise((resolve) => setTimeout(resolve, 300));
          }
          const file = path.join(home, last.name);
          try {
            return await savedDownload(last.name, file, digest);
          } finally {
            fs.rmSync(file, {force: true});
          }
        },
        requests: () => (javaScriptEnabled ? page.resourceUrls() : []),
        errors: async () => (javaScriptEnabled ? (await page.evaluate(() => window.__palmconvErrors)) ?? [] : []),
        close: () => raw.quit(),
      });
    },
    close: stop,
  };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  for (const engine of chosenEngines()) {
    const browser = await launch(engine);
    console.log(`${engine}: ${browser.version}`);
    await browser.close();
  }
}
