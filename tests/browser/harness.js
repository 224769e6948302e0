// Shared by the browser test and bench/browser: runs lumasrv --headless from
// a copy of the staged program folder on the test devices, and starts
// Debian's Chromium or Firefox ESR through puppeteer-core.
"use strict";

const { spawn, execFileSync } = require("node:child_process");
const crypto = require("node:crypto");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");

// The browsers, by the name the tests and the benchmark take.
const BROWSERS = {
  chromium: { title: "Chromium", executable: process.env.LUMACAST_CHROMIUM || "/usr/bin/chromium" },
  firefox: { title: "Firefox ESR", executable: process.env.LUMACAST_FIREFOX || "/usr/bin/firefox-esr" },
};

function haveBrowser(kind) {
  return fs.existsSync(BROWSERS[kind].executable);
}

// The browser's own version line.
function browserVersion(kind) {
  return execFileSync(BROWSERS[kind].executable, ["--version"], { stdio: ["ignore", "pipe", "ignore"] })
    .toString().trim();
}

// A port nobody listens on, below the stream port's upper limit.
async function freePort(taken) {
  for (;;) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    if (taken.includes(port)) continue;
    const free = await new Promise((resolve) => {
      const server = net.createServer();
      server.once("error", () => resolve(false));
      server.listen(port, () => server.close(() => resolve(true)));
    });
    if (free) return port;
  }
}

// The settings record (version 2, 352 bytes) with no device chosen, so the
// program takes the test camera and microphone.
function settingsRecord({ httpPort, asfPort, fps, bitrateKbps, maxUsers, caption }) {
  const record = Buffer.alloc(4 + 352);
  record.writeUInt32LE(2, 0);
  const put = (offset, value) => record.writeInt32LE(value, 4 + offset);
  for (const [offset, value] of [
    [0, 1], [4, 0], [8, bitrateKbps], [12, fps], [16, 85], [20, 1], [24, 0], [28, 0],
    [32, asfPort], [36, maxUsers], [40, httpPort], [176, 1], [180, -1], [184, -1],
    [192, 0], [200, 100], [204, 100], [208, 200], [212, 200],
  ]) put(offset, value);
  record.writeInt16LE(32767, 4 + 196);
  if (caption) {
    record[4 + 220] = 0;
    record.write(caption, 4 + 221, 127, "latin1");
  } else {
    record[4 + 220] = 1;
  }
  return record;
}

// Starts lumasrv --headless and waits for the lines naming the page and the
// stream. options: fps, bitrateKbps, maxUsers, caption, clock (the test
// camera stamps its capture time), videoSize ("640x480": the test camera's
// size), relay (the text of relay.cfg), access (the text of access.cfg; by
// default everyone may watch), viewerPassword (set as lumasrv
// --viewer-password sets it).
async function startProgram(options = {}) {
  const staged = process.env.LUMACAST_PROGRAM_DIR;
  if (!staged || !fs.existsSync(path.join(staged, "lumasrv.bin")))
    throw new Error("LUMACAST_PROGRAM_DIR does not name the staged program folder");
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "lumacast-browser-"));
  const program = path.join(folder, "program");
  execFileSync("cp", ["-a", staged, program]);
  fs.rmSync(path.join(program, "lumasrv.cfg"), { force: true });
  fs.rmSync(path.join(program, "index.htm"), { force: true });
  fs.rmSync(path.join(program, "access.cfg"), { force: true });
  const httpPort = await freePort([]);
  const asfPort = await freePort([httpPort]);
  fs.writeFileSync(
    path.join(program, "lumasrv.cfg"),
    settingsRecord({
      httpPort,
      asfPort,
      fps: options.fps || 15,
      bitrateKbps: options.bitrateKbps || 500,
      maxUsers: options.maxUsers || 5,
      caption: options.caption,
    }),
  );
  if (options.relay !== undefined) fs.writeFileSync(path.join(program, "relay.cfg"), options.relay);
  if (options.access !== undefined) fs.writeFileSync(path.join(program, "access.cfg"), options.access);
  if (options.viewerPassword !== undefined) {
    execFileSync(path.join(program, "lumasrv"), ["--viewer-password"],
                 { input: options.viewerPassword + "\n", stdio: ["pipe", "ignore", "ignore"] });
  }
  const env = {
    ...process.env,
    LUMACAST_FAKE_DEVICES: "only",
    XDG_STATE_HOME: path.join(folder, "state"),
  };
  if (options.clock) env.LUMACAST_TEST_CAMERA_CLOCK = "1";
  if (options.videoSize) env.LUMACAST_TEST_CAMERA_SIZE = options.videoSize;
  const args = ["--headless"];
  const child = spawn(path.join(program, "lumasrv"), args, {
    cwd: program,
    env,
    stdio: ["ignore", "pipe", "pipe"],
  });
  // Whatever becomes of this script, the program does not outlive it.
  process.on("exit", () => {
    if (child.exitCode === null) child.kill("SIGKILL");
  });
  let output = "";
  child.stdout.on("data", (data) => (output += data));
  child.stderr.on("data", (data) => (output += data));
  const started = Date.now();
  const streamLine = /^Stream: (\S+)\/MyFile\.wma(\?\S*)?$/m;
  while (!streamLine.test(output)) {
    if (child.exitCode !== null) throw new Error("lumasrv ended early:\n" + output);
    if (Date.now() - started > 60000) throw new Error("lumasrv named no stream:\n" + output);
    await sleep(100);
  }
  const streamUrl = output.match(streamLine)[1];
  const pageUrl = output.match(/^Viewer page: (\S+)$/m)[1];
  return {
    folder,
    program,
    child,
    httpPort,
    asfPort,
    streamUrl,
    pageUrl,
    output: () => output,
    async stop() {
      if (child.exitCode === null) {
        child.kill("SIGTERM");
        const deadline = Date.now() + 20000;
        while (child.exitCode === null && Date.now() < deadline) await sleep(100);
        if (child.exitCode === null) child.kill("SIGKILL");
      }
      fs.rmSync(folder, { recursive: true, force: true });
    },
  };
}

// A fresh browser with a profile of its own that may play sound without a
// click. Chromium runs as root in a container: no sandbox, no GPU, and none
// of its own background connections. Firefox is driven over WebDriver BiDi.
// sound: false switches the browser's audio output off (the page then runs
// on the system clock, as on a machine without sound).
// The browsers running now. Told to stop (SIGTERM, as timeout sends it, or
// Ctrl+C), a script ends them and itself at once instead of running on
// without them; the program goes with the process (startProgram).
const running = new Set();
let stopping = false;
function stopEverything(signal) {
  if (stopping) return;
  stopping = true;
  for (const browser of running) {
    const child = browser.process();
    if (child) child.kill("SIGKILL");
  }
  for (const child of helpers) child.kill("SIGKILL");
  console.error(`stopped by ${signal}`);
  process.exit(signal === "SIGINT" ? 130 : 143);
}
process.on("SIGTERM", () => stopEverything("SIGTERM"));
process.on("SIGINT", () => stopEverything("SIGINT"));

// trust: a certificate (PEM) that this browser takes for the given
// addresses (host and port) as a viewer would after checking its
// fingerprint: Chromium pins its public key, Firefox keeps an exception for
// each address in its profile. Any other certificate is refused as usual.
async function launchBrowser(kind, { sound = true, trust = null } = {}) {
  const puppeteer = require("puppeteer-core");
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), `lumacast-${kind}-`));
  const certificate = trust && new crypto.X509Certificate(trust.certificate);
  let browser;
  if (kind === "firefox") {
    if (certificate) {
      const lines = trust.addresses.map(
        ({ host, port }) => `${host}:${port}:\tOID.2.16.840.1.101.3.4.2.1\t${certificate.fingerprint256}\t\n`);
      fs.writeFileSync(path.join(profile, "cert_override.txt"), lines.join(""));
    }
    browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: BROWSERS.firefox.executable,
      headless: true,
      userDataDir: profile,
      handleSIGINT: false,
      handleSIGTERM: false,
      extraPrefsFirefox: {
        "media.autoplay.default": 0,
        "media.autoplay.blocking_policy": 0,
        // Without a sound card Firefox has no audio output at all; its
        // stand-in output then takes the sound as a card would (a little
        // slower than real time when the machine is busy).
        ...(sound ? { "media.cubeb.force_mock_context": true } : { "media.cubeb.force_null_context": true }),
      },
    });
  } else {
    browser = await puppeteer.launch({
      executablePath: BROWSERS.chromium.executable,
      headless: true,
      userDataDir: profile,
      handleSIGINT: false,
      handleSIGTERM: false,
      args: [
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-dev-shm-usage",
        "--autoplay-policy=no-user-gesture-required",
        ...(sound ? [] : ["--disable-audio-output"]),
        ...(certificate ? ["--ignore-certificate-errors-spki-list=" + crypto.createHash("sha256")
          .update(certificate.publicKey.export({ type: "spki", format: "der" })).digest("base64")] : []),
      ],
    });
  }
  running.add(browser);
  const close = browser.close.bind(browser);
  browser.close = async () => {
    running.delete(browser);
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// WebKitGTK, the engine Safari is built on: Debian's MiniBrowser driven
// through WebKitWebDriver (W3C WebDriver) on an X display of its own, with
// compositing off so that screenshots hold the video's pictures. The live
// page never finishes loading, so navigation does not wait for it.
const WEBKIT = {
  title: "WebKitGTK",
  driver: process.env.LUMACAST_WEBKIT_DRIVER || "/usr/bin/WebKitWebDriver",
  browser: process.env.LUMACAST_MINIBROWSER || "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser",
};
const helpers = new Set();  // the display and driver processes of WebKit sessions

function haveWebKit() {
  return fs.existsSync(WEBKIT.driver) && fs.existsSync(WEBKIT.browser);
}

async function startDisplay() {
  const xvfb = spawn("Xvfb", ["-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                     { stdio: ["ignore", "ignore", "ignore", "pipe"] });
  helpers.add(xvfb);
  let said = "";
  xvfb.stdio[3].on("data", (data) => (said += data));
  const display = await waitFor(() => (/\d+\n/.test(said) ? said.trim() : xvfb.exitCode !== null ? "" : null), 20000, 50);
  if (!display) throw new Error("Xvfb did not start");
  return { xvfb, display: ":" + display };
}

async function launchWebKit() {
  const { xvfb, display } = await startDisplay();
  const port = await freePort([]);
  const driver = spawn(WEBKIT.driver, [`--port=${port}`], {
    env: { ...process.env, DISPLAY: display, WEBKIT_DISABLE_COMPOSITING_MODE: "1" },
    stdio: "ignore",
  });
  helpers.add(driver);
  const base = `http://127.0.0.1:${port}`;
  const call = async (method, where, body) => {
    // A call that WebKit never answers fails instead of holding the test.
    const reply = await fetch(base + where, {
      method, headers: { "content-type": "application/json" }, body: body && JSON.stringify(body),
      signal: AbortSignal.timeout(30000),
    });
    const answer = await reply.json();
    if (answer.value && answer.value.error) throw new Error(`WebDriver ${where}: ${answer.value.message || answer.value.error}`);
    return answer.value;
  };
  const ready = await waitFor(() => call("GET", "/status").then((v) => v && v.ready, () => false), 20000);
  if (!ready) throw new Error("WebKitWebDriver did not start");
  const session = await call("POST", "/session", { capabilities: { alwaysMatch: {
    pageLoadStrategy: "none",
    "webkitgtk:browserOptions": { binary: WEBKIT.browser, args: ["--automation", "--autoplay-policy=allow"] },
  } } });
  const id = `/session/${session.sessionId}`;
  return {
    goto: (url) => call("POST", `${id}/url`, { url }),
    // Runs fn(...args) in the page and gives its (awaited) value.
    async evaluate(fn, ...args) {
      const value = await call("POST", `${id}/execute/async`, {
        script: `const done = arguments[arguments.length - 1];
          Promise.resolve().then(() => (${fn}).apply(null, Array.from(arguments).slice(0, -1)))
            .then((value) => done({ value }), (error) => done({ error: String(error) }));`,
        args,
      });
      if (value.error) throw new Error(value.error);
      return value.value;
    },
    // What the screen shows of the element that selector finds: its size
    // and its pixels, three bytes (RGB) each, row by row.
    async screenshot(selector) {
      const element = await call("POST", `${id}/element`, { using: "css selector", value: selector });
      const png = Buffer.from(await call("GET", `${id}/element/${Object.values(element)[0]}/screenshot`), "base64");
      const width = png.readUInt32BE(16), height = png.readUInt32BE(20);
      const rgb = execFileSync("ffmpeg", ["-v", "error", "-f", "png_pipe", "-i", "pipe:0", "-f", "rawvideo",
                                          "-pix_fmt", "rgb24", "pipe:1"], { input: png, maxBuffer: 64 << 20 });
      return { width, height, rgb };
    },
    async close() {
      await call("DELETE", id).catch(() => {});
      for (const child of [driver, xvfb]) {
        child.kill("SIGKILL");
        helpers.delete(child);
      }
    },
  };
}
process.on("exit", () => {
  for (const child of helpers) child.kill("SIGKILL");
});

// The broadcast's picture size, as an independent client sees the ASF stream.
function broadcastSize(streamUrl) {
  const out = execFileSync("ffprobe", ["-v", "error", "-select_streams", "v:0", "-show_entries",
    "stream=width,height", "-of", "csv=p=0", streamUrl + "/MyFile.wma"], { timeout: 60000 });
  const [width, height] = out.toString().trim().split(",").map(Number);
  return { width, height };
}

// Run in a page: the element's sound, unmuted, as it reaches the page's
// audio graph (the loudest of 30 looks, a tenth of a second apart), and
// whether the unmute button went. A play or a resume that never settles
// (an engine without an audio output) is waited for three seconds.
async function listenToTheTone() {
  const video = document.getElementById("lumavideo");
  const within = (promise) => Promise.race([promise.catch(() => {}), new Promise((resolve) => setTimeout(resolve, 3000))]);
  video.muted = false;
  await within(video.play());
  const context = new AudioContext();
  const analyser = context.createAnalyser();
  context.createMediaElementSource(video).connect(analyser);
  analyser.connect(context.destination);
  await within(context.resume());
  const samples = new Float32Array(analyser.fftSize);
  let loudest = 0;
  for (let i = 0; i < 30; ++i) {
    await new Promise((resolve) => setTimeout(resolve, 100));
    analyser.getFloatTimeDomainData(samples);
    let sum = 0;
    for (const v of samples) sum += v * v;
    loudest = Math.max(loudest, Math.sqrt(sum / samples.length));
  }
  return { loudest, contextState: context.state, hasAudio: video.mozHasAudio,
           unmuteShown: document.getElementById("lumaunmute").style.display !== "none" };
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Waits until check() gives a true value, or the time is up (then null).
async function waitFor(check, timeoutMs, stepMs = 200) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) return null;
    await sleep(stepMs);
  }
}

// The checks of one test script: each prints "ok" or "not ok" with its name
// (and what was seen, when it fails); run() prints the count and exits 1
// when any failed or none ran.
const results = [];

function check(name, ok, detail) {
  results.push(ok);
  console.log(`${ok ? "ok" : "not ok"} - ${name}${ok || detail === undefined ? "" : ": " + JSON.stringify(detail)}`);
}

// Something the test needs is missing: said by name, and under CI=true a
// failure (the scripts install everything CI needs), else a skip.
function skip(what) {
  if (process.env.CI === "true") {
    check(`needed, but missing: ${what}`, false);
  } else {
    console.log(`skipped: ${what}`);
  }
}

// The browsers installed, each one that is not said by skip().
function installedBrowsers() {
  return Object.keys(BROWSERS).filter((kind) => {
    if (haveBrowser(kind)) return true;
    skip(`${BROWSERS[kind].title} (${BROWSERS[kind].executable}) is not installed`);
    return false;
  });
}

// Ends a test that cannot run at all: exit 77 (skipped), or 1 under CI=true.
function cannotRun(what) {
  skip(what);
  process.exit(process.env.CI === "true" ? 1 : 77);
}

function run(main) {
  main().then(
    () => {
      const failed = results.filter((ok) => !ok).length;
      console.log(`${results.length - failed} passed, ${failed} failed`);
      process.exit(failed || results.length === 0 ? 1 : 0);
    },
    (error) => {
      console.error(error);
      process.exit(1);
    },
  );
}

// The global-scope IPv6 address that netns.sh gives the test namespace.
const TEST_IPV6 = "2001:db8:5::1";

module.exports = {
  TEST_IPV6,
  BROWSERS, haveBrowser, browserVersion, freePort, startProgram, launchBrowser, sleep, waitFor, check, run,
  skip, installedBrowsers, cannotRun, WEBKIT, haveWebKit, launchWebKit, broadcastSize, listenToTheTone,
};
