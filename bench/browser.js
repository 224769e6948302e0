// bench/browser's measuring part (run inside its own network namespace):
// Chromium and Firefox ESR watch the viewers' page of lumasrv --headless,
// which broadcasts the test camera with its capture-time stamp at 640x480,
// 30 frames per second and 1 Mbit/s. For each browser it prints the time
// from opening the page to the first picture and the capture-to-display
// latency of every picture read back from a canvas, with the sound playing
// and with the browser's audio output switched off; then, with both
// browsers watching at once, the latency at the start and after
// BROWSER_BENCH_DRIFT_SECONDS; last the CPU time per frame of the WebM
// rendition against the ffmpeg command line encoding the same kind of
// frames with the same VP8 and Opus settings.
"use strict";

const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const harness = require("../tests/browser/harness.js");

const SECONDS = Number(process.env.BROWSER_BENCH_SECONDS || 20);
const DRIFT_SECONDS = Number(process.env.BROWSER_BENCH_DRIFT_SECONDS || 600);
const KINDS = (process.env.BROWSER_BENCH_BROWSERS || "chromium,firefox").split(",");
const SETTLE_SECONDS = 2;
const EARLY_SECONDS = 10;  // the drift's first figure: the latency after this long
const WIDTH = 640, HEIGHT = 480, FPS = 30, KBPS = 1000;
const TICK = 100;  // USER_HZ: the unit of the times in /proc/PID/stat

function cpuSeconds(statPath) {
  const fields = fs.readFileSync(statPath, "utf8").replace(/^.*\) /, "").split(" ");
  return (Number(fields[11]) + Number(fields[12])) / TICK;  // utime + stime
}

// The stat files of the program's threads of that name: "wmv-rendition"
// (the WebM rendition) or "luma-encode" (the shared H.264 and AAC encode,
// with the worker threads libx264 starts from it, which take its name).
function namedThreads(pid, name) {
  const found = [];
  for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
    const comm = fs.readFileSync(`/proc/${pid}/task/${task}/comm`, "utf8").trim();
    if (comm === name) found.push(`/proc/${pid}/task/${task}/stat`);
  }
  return found;
}

function threadsCpu(stats) {
  return stats.reduce((sum, stat) => sum + cpuSeconds(stat), 0);
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))];
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// Reads the capture-time stamp of every presented picture (40 grey blocks
// in the bottom rows) from a canvas. Times are taken on the wall clock the
// stamp is on. Runs in the page before its own script where the browser
// allows it; otherwise (WebKit through WebDriver) as soon as the element is
// there, and then late says whether a picture had been shown already. With
// poll, pictures are looked at every 5 ms instead of as each is presented
// (WebKitGTK without compositing calls no video-frame callbacks), each new
// stamp counted once at the time it was first seen. True once installed.
function installProbe(poll) {
  if (window.__bench) return true;
  const setup = () => {
    const video = document.getElementById("lumavideo");
    if (!video || !video.requestVideoFrameCallback) return;
    const bench = window.__bench;
    bench.late = video.getVideoPlaybackQuality().totalVideoFrames > 0;
    const canvas = document.createElement("canvas");
    const context = canvas.getContext("2d", { willReadFrequently: true });
    let last = null;
    const look = (shown) => {
      const width = video.videoWidth, height = video.videoHeight;
      if (!width || !height || video.readyState < 2) return;
      canvas.width = width;
      canvas.height = 1;
      context.drawImage(video, 0, height - 8, width, 1, 0, 0, width, 1);
      const row = context.getImageData(0, 0, width, 1).data;
      const block = Math.floor(width / 40) & ~1;
      let stamp = 0;
      for (let bit = 0; bit < 40; ++bit)
        stamp = stamp * 2 + (row[(bit * block + block / 2) * 4] > 128 ? 1 : 0);
      if (poll && stamp === last) return;
      last = stamp;
      if (!bench.first) bench.first = shown;
      bench.frames++;
      const latency = (shown % 2 ** 40) - stamp;
      if (latency >= 0 && latency < 10000) bench.latencies.push([shown, latency]);
    };
    if (poll) {
      setInterval(() => look(Date.now()), 5);
      return;
    }
    const onFrame = (now, metadata) => {
      look(Date.now() - performance.now() + metadata.expectedDisplayTime);
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  };
  if (document.readyState === "loading" && !document.getElementById("lumavideo")) {
    window.__bench = { first: null, latencies: [], frames: 0 };
    document.addEventListener("DOMContentLoaded", setup);
    return true;
  }
  if (!document.getElementById("lumavideo")) return false;
  window.__bench = { first: null, latencies: [], frames: 0 };
  setup();
  return true;
}

// WebKitGTK through WebDriver, with its sound: the page as it plays by
// default (the fragmented MP4 through its Media Source), the probe put in
// as soon as the element is there.
async function watchWebKit(program) {
  const browser = await harness.launchWebKit();
  try {
    await browser.goto("about:blank");
    const opened = Date.now();
    await browser.goto(program.pageUrl);
    await harness.waitFor(() => browser.evaluate(installProbe, true).catch(() => false), 10000, 5);
    const first = await harness.waitFor(() => browser.evaluate(() => window.__bench.first), 30000, 20);
    if (!first) throw new Error("WebKitGTK: no picture within 30 s");
    const late = await browser.evaluate(() => window.__bench.late);
    await browser.evaluate(() => {
      const video = document.getElementById("lumavideo");
      video.muted = false;
      video.play().catch(() => {});
    });
    await harness.sleep(SETTLE_SECONDS * 1000);
    const windowStart = Date.now();
    await harness.sleep(SECONDS * 1000);
    const all = await browser.evaluate(() => window.__bench.latencies);
    const latencies = all.filter(([shown]) => shown >= windowStart).map(([, l]) => l).sort((a, b) => a - b);
    const way = await browser.evaluate(() => document.getElementById("lumavideo").getAttribute("data-luma-path"));
    const muted = await browser.evaluate(() => document.getElementById("lumavideo").muted);
    return { firstPicture: first - opened, late, latencies, way, muted };
  } finally {
    await browser.close();
  }
}

// Opens the page in a fresh browser: the time to its first picture. With
// sound, the page is unmuted as soon as it plays.
async function openPage(program, kind, sound, way = "") {
  const browser = await harness.launchBrowser(kind, { sound });
  try {
    const page = await browser.newPage();
    // A browser that is already running and has been to the site: the
    // renderer and the connection exist (the fresh browser's first start is
    // not the page's doing).
    await page.goto(program.pageUrl + "fnf.html", { waitUntil: "load", timeout: 60000 });
    await page.evaluateOnNewDocument(installProbe);
    const opened = Date.now();
    await page.goto(program.pageUrl + way, { waitUntil: "domcontentloaded", timeout: 60000 });
    const first = await harness.waitFor(() => page.evaluate(() => window.__bench.first), 30000, 20);
    if (!first) throw new Error(`${kind}: no picture within 30 s`);
    if (sound) {
      await page.evaluate(() => {
        const video = document.getElementById("lumavideo");
        video.muted = false;
        return video.play().catch(() => {});
      });
    }
    return { browser, page, firstPicture: first - opened, firstAt: first };
  } catch (error) {
    await browser.close();
    throw error;
  }
}

async function latenciesSince(page, since, until = Infinity) {
  const all = await page.evaluate(() => window.__bench.latencies);
  return all.filter(([shown]) => shown >= since && shown < until).map(([, l]) => l).sort((a, b) => a - b);
}

// One browser for SECONDS after a short settling: the first picture's time,
// the latency of every picture shown, and the rendition thread's CPU time
// meanwhile.
// way: "" (the WebM rendition), "#nowebm" (the fragmented MP4) or
// "#nowebm,nomp4,nohls" (the low-latency HLS through hls.js); on the last two
// the shared encode's threads are measured instead.
async function watch(program, pid, kind, sound, way = "") {
  const { browser, page, firstPicture } = await openPage(program, kind, sound, way);
  try {
    await harness.sleep(SETTLE_SECONDS * 1000);
    const name = way ? "luma-encode" : "wmv-rendition";
    const threads = namedThreads(pid, name);
    if (!threads.length) throw new Error(`no ${name} thread in lumasrv`);
    const framesBefore = await page.evaluate(() => window.__bench.frames);
    const threadBefore = threadsCpu(threads), processBefore = cpuSeconds(`/proc/${pid}/stat`);
    const windowStart = Date.now();
    await harness.sleep(SECONDS * 1000);
    const threadCpu = threadsCpu(threads) - threadBefore;
    const processCpu = cpuSeconds(`/proc/${pid}/stat`) - processBefore;
    const latencies = await latenciesSince(page, windowStart);
    if (!latencies.length) throw new Error(`${kind}: no stamped pictures were read back: ${await page.evaluate(() => JSON.stringify({ frames: window.__bench.frames, state: document.getElementById("lumastate").textContent, time: document.getElementById("lumavideo").currentTime }))}`);
    const pictures = (await page.evaluate(() => window.__bench.frames)) - framesBefore;
    return { firstPicture, latencies, pictures, threadCpu, processCpu };
  } finally {
    await browser.close();
    // The rendition closes once the browser has gone.
    await harness.sleep(2000);
  }
}

// Every browser at once, with sound, for DRIFT_SECONDS: the latency's median
// over the EARLY_SECONDS after the first ten seconds of pictures, and over
// the last ten seconds.
async function drift(program) {
  const pages = [];
  try {
    for (const kind of KINDS) pages.push({ kind, ...(await openPage(program, kind, true)) });
    const started = Math.max(...pages.map((p) => p.firstAt));
    await harness.sleep(Math.max(0, started + DRIFT_SECONDS * 1000 - Date.now()));
    const result = {};
    for (const p of pages) {
      const early = await latenciesSince(p.page, p.firstAt + 10000, p.firstAt + 10000 + EARLY_SECONDS * 1000);
      const late = await latenciesSince(p.page, Date.now() - 10000);
      const count = await p.page.evaluate(() => window.__bench.frames);
      result[p.kind] = { early: early.length ? median(early) : NaN, late: late.length ? median(late) : NaN,
                         count };
    }
    return result;
  } finally {
    for (const p of pages) await p.browser.close();
    await harness.sleep(2000);
  }
}

function latencyLine(result) {
  const l = result.latencies;
  return `median ${Math.round(median(l))} ms, 99th percentile ${Math.round(percentile(l, 0.99))} ms over ${l.length} pictures in ${SECONDS} s`;
}

async function main() {
  const program = await harness.startProgram({
    fps: FPS, bitrateKbps: KBPS, videoSize: `${WIDTH}x${HEIGHT}`, clock: true, maxUsers: 10,
  });
  const pid = program.child.pid;
  try {
    // What the broadcast's sound is, for the same Opus settings on the command line.
    const probe = execFileSync("ffprobe", ["-v", "error", "-show_entries",
      "stream=codec_type,width,height,sample_rate,channels,bit_rate", "-of", "json",
      program.streamUrl + "/MyFile.wma"], { timeout: 60000 });
    const streams = JSON.parse(probe).streams;
    const video = streams.find((s) => s.codec_type === "video");
    const audio = streams.find((s) => s.codec_type === "audio");
    if (!video || video.width !== WIDTH || video.height !== HEIGHT)
      throw new Error("the broadcast is not 640x480: " + JSON.stringify(streams));
    const opusRate = Math.min(128000, Math.max(32000, Number(audio.bit_rate) || 64000));

    // Each browser opens the page twice: with its sound playing, and with
    // its audio output switched off (on a machine without sound hardware the
    // browsers' stand-in outputs buffer more than a sound card would, and
    // the sound's clock paces the pictures).
    const passes = {};
    for (const kind of KINDS) {
      passes[kind] = {
        sound: await watch(program, pid, kind, true),
        silent: await watch(program, pid, kind, false),
        mp4: await watch(program, pid, kind, true, "#nowebm"),
        hls: await watch(program, pid, kind, true, "#nowebm,nomp4,nohls"),
      };
    }
    const webkit = harness.haveWebKit() ? await watchWebKit(program) : null;
    const drifts = DRIFT_SECONDS > 0 ? await drift(program) : null;

    // Without a browser: the broadcast alone, for the process's share.
    await harness.sleep(3000);
    const idleBefore = cpuSeconds(`/proc/${pid}/stat`);
    await harness.sleep(10000);
    const idleCpuPerSecond = (cpuSeconds(`/proc/${pid}/stat`) - idleBefore) / 10;

    // The ffmpeg command line: the rendition's own pictures and sound,
    // decoded to raw BGR frames and 16-bit PCM at the capture's rate, encoded
    // again with the same settings to WebM on /dev/null.
    const progress = path.join(program.folder, "progress.txt");
    const decoder = spawn("ffmpeg", ["-nostdin", "-v", "error", "-i", program.streamUrl + "/live.webm",
      "-map", "0:v", "-map", "0:a", "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-c:a", "pcm_s16le",
      "-ar", String(audio.sample_rate), "-ac", String(audio.channels), "-f", "nut", "pipe:1"],
      { stdio: ["ignore", "pipe", "inherit"] });
    const encoder = spawn("ffmpeg", ["-nostdin", "-v", "error", "-f", "nut", "-i", "pipe:0",
      "-sws_flags", "bilinear",
      "-c:v", "libvpx", "-b:v", `${KBPS}k`, "-minrate", `${KBPS}k`, "-maxrate", `${KBPS}k`,
      "-bufsize", `${KBPS}k`, "-g", String(3 * FPS), "-deadline", "realtime", "-cpu-used", "8",
      "-lag-in-frames", "0", "-static-thresh", "0", "-max-intra-rate", "300", "-threads", "1",
      "-c:a", "libopus", "-b:a", String(opusRate), "-ar", "48000", "-application", "audio",
      "-frame_duration", "20", "-progress", progress, "-y", "-f", "webm", "/dev/null"],
      { stdio: ["pipe", "ignore", "inherit"] });
    encoder.stdin.on("error", () => {});  // it goes first at the end
    decoder.stdout.on("error", () => {});
    decoder.stdout.pipe(encoder.stdin);
    const encodedFrames = () => {
      const text = fs.existsSync(progress) ? fs.readFileSync(progress, "utf8") : "";
      const all = [...text.matchAll(/^frame=(\d+)$/gm)];
      return all.length ? Number(all[all.length - 1][1]) : 0;
    };
    await harness.waitFor(() => encodedFrames() > 2 * FPS, 30000);
    const ffFramesBefore = encodedFrames(), ffBefore = cpuSeconds(`/proc/${encoder.pid}/stat`);
    await harness.sleep(SECONDS * 1000);
    const ffCpu = cpuSeconds(`/proc/${encoder.pid}/stat`) - ffBefore;
    const ffFrames = encodedFrames() - ffFramesBefore;
    encoder.kill("SIGKILL");
    decoder.kill("SIGKILL");

    console.log(`broadcast:                   ${WIDTH}x${HEIGHT}, ${FPS} frames per second, ${KBPS} kbit/s; Opus ${opusRate / 1000} kbit/s from ${audio.sample_rate} Hz`);
    for (const kind of KINDS) {
      const { sound, silent, mp4, hls } = passes[kind];
      console.log(`${harness.BROWSERS[kind].title}:`.padEnd(29) + harness.browserVersion(kind));
      console.log(`  first picture:             ${Math.round(sound.firstPicture)} ms after opening the page; ${Math.round(silent.firstPicture)} ms without audio output (target: <= 1000 ms)`);
      console.log(`  latency, sound playing:    ${latencyLine(sound)} (target: median <= 300 ms)`);
      console.log(`  latency, no audio output:  ${latencyLine(silent)} (target: median <= 250 ms)`);
      console.log(`  fragmented MP4, sound:     first picture ${Math.round(mp4.firstPicture)} ms (target: <= 1000 ms); latency ${latencyLine(mp4)} (target: median <= 300 ms)`);
      console.log(`  HLS through hls.js, sound: first picture ${Math.round(hls.firstPicture)} ms (target: <= 3000 ms); latency ${latencyLine(hls)} (target: median <= 1500 ms)`);
      if (drifts) {
        const d = drifts[kind];
        console.log(`  drift, sound playing:      median ${Math.round(d.early)} ms after ${10} s, ${Math.round(d.late)} ms after ${DRIFT_SECONDS} s: ${Math.round(d.late - d.early)} ms (target: within 50 ms; ${KINDS.length} browsers at once)`);
      }
    }
    if (webkit) {
      console.log(`${harness.WEBKIT.title}:`.padEnd(29) + `its ${webkit.way} way${webkit.muted ? ", muted (its sound would not start)" : ", sound playing"}`);
      console.log(`  first picture:             ${webkit.late ? "more than " : ""}${Math.round(webkit.firstPicture)} ms after opening the page (target: <= 1000 ms)`);
      console.log(`  latency:                   ${latencyLine(webkit)}, each picture as first seen by looking every 5 ms (target: median <= 300 ms)`);
    } else {
      console.log(`${harness.WEBKIT.title}:`.padEnd(29) + "not installed");
    }
    const pass = passes[KINDS[0]].sound;
    const ours = pass.threadCpu / pass.pictures * 1000, theirs = ffCpu / ffFrames * 1000;
    const processShare = (pass.processCpu - idleCpuPerSecond * SECONDS) / pass.pictures * 1000;
    console.log(`WebM rendition CPU:          ${ours.toFixed(2)} ms per frame (its thread; ${pass.pictures} pictures), whole program ${processShare.toFixed(2)} ms per frame above the broadcast alone`);
    console.log(`ffmpeg command line CPU:     ${theirs.toFixed(2)} ms per frame (${ffFrames} frames)`);
    console.log(`ratio:                       ${(ours / theirs).toFixed(2)}x ffmpeg's (target: <= 1.10x)`);
    const shared = passes[KINDS[0]].mp4;
    console.log(`H.264 + AAC encode CPU:      ${(shared.threadCpu / shared.pictures * 1000).toFixed(2)} ms per frame (its threads, shared by the MP4 viewers and the relay)`);
  } finally {
    await program.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
