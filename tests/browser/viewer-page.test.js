// The viewers' page in real browsers: Debian's Chromium and Firefox ESR,
// driven through puppeteer-core, open the page that lumasrv --headless
// serves on the test devices and must play the broadcast: moving pictures of
// the broadcast's size with the caption in them, and sound. A viewer who
// comes when the broadcast has run for a minute sees its first picture
// within a second. Once the program stops, the page says so. Only the
// invited watch, and over HTTPS only browsers that trust the certificate. A browser that
// is not installed is skipped by name (a failure under CI=true); exits 77
// (skipped) when none is.
"use strict";

const fs = require("node:fs");
const path = require("node:path");
const tls = require("node:tls");
const harness = require("./harness.js");

const CAPTION = "LUMACAST CAPTION";
const LATE_JOIN_MS = 60000;
const { check } = harness;

// The SHA-256 fingerprint of the certificate that HOST:PORT presents.
function peerFingerprint(host, port) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host, port, rejectUnauthorized: false }, () => {
      resolve(socket.getPeerCertificate().fingerprint256);
      socket.end();
    });
    socket.on("error", reject);
  });
}

// Runs in each page before its own script: the wall-clock time of the first
// picture the video element presents, and what the state line said on the
// way (for a failure's report).
function markFirstPicture() {
  window.__firstPicture = null;
  window.__states = [];
  document.addEventListener("DOMContentLoaded", () => {
    const video = document.getElementById("lumavideo");
    if (video && video.requestVideoFrameCallback)
      video.requestVideoFrameCallback(() => { window.__firstPicture = Date.now(); });
    const state = document.getElementById("lumastate");
    if (state) new MutationObserver(() => window.__states.push(state.textContent))
      .observe(state, { childList: true, characterData: true, subtree: true });
  });
}

function frames(page) {
  return page.evaluate(() => {
    const video = document.getElementById("lumavideo");
    return { count: video.getVideoPlaybackQuality().totalVideoFrames, width: video.videoWidth,
             height: video.videoHeight, time: video.currentTime,
             state: document.getElementById("lumastate").textContent,
             path: video.getAttribute("data-luma-path"), reason: video.getAttribute("data-luma-reason"),
             source: video.currentSrc };
  });
}

// The caption, in a canvas copy of the picture: white letters with a black
// shadow one pixel down and right, at the top left. Elsewhere the moving
// test picture has no such edges. Also a sum of the picture's pixels, to
// tell one picture from the next.
function lookAtPicture(page) {
  return page.evaluate(() => {
    const video = document.getElementById("lumavideo");
    const canvas = document.createElement("canvas");
    canvas.width = video.videoWidth;
    canvas.height = video.videoHeight;
    const context = canvas.getContext("2d");
    context.drawImage(video, 0, 0);
    const shadowed = (y0) => {
      const width = Math.min(canvas.width, 160);
      const { data } = context.getImageData(0, y0, width, 18);
      const light = (x, y) => { const i = (y * width + x) * 4; return data[i] > 180 && data[i + 1] > 180 && data[i + 2] > 180; };
      const dark = (x, y) => { const i = (y * width + x) * 4; return data[i] < 80 && data[i + 1] < 80 && data[i + 2] < 80; };
      let edges = 0;
      for (let y = 1; y < 18; ++y)
        for (let x = 1; x < width; ++x) if (dark(x, y) && light(x - 1, y - 1)) ++edges;
      return edges;
    };
    let sum = 0;
    const { data } = context.getImageData(0, Math.floor(canvas.height / 3), canvas.width, canvas.height / 2);
    for (let i = 0; i < data.length; i += 7) sum += data[i];
    return { top: shadowed(0), below: shadowed(Math.floor(canvas.height / 3)), sum };
  });
}

// A viewer in a browser: the page's shape, the way the page plays (its Media
// Source player with the WebM rendition, fed from a blob: address, unless
// the query hides a way from it), moving pictures with
// the caption, and sound. With
// pageUrl, the page is fetched there instead of at the address the program
// named first, and the stream must be fetched from its host too.
async function watch(browser, title, program, size,
                     { query = "", path = "media-source", password = null, pageUrl = null } = {}) {
  const page = await browser.newPage();
  // The browser's own prompt, answered as a viewer would.
  if (password) await page.authenticate({ username: "viewer", password });
  page.on("pageerror", (error) => check(`${title}: the page's script runs without errors`, false, error.message));
  const streamHosts = new Set();
  let webmFetched = false;
  page.on("request", (request) => {
    if (/\/live\.(webm|mp4|m3u8)|\/hls\//.test(request.url())) streamHosts.add(new URL(request.url()).hostname);
    if (/\/live\.webm/.test(request.url()) && request.method() === "GET") webmFetched = true;
  });
  const address = new URL(pageUrl || program.pageUrl);
  await page.goto(address.href + query, { waitUntil: "domcontentloaded", timeout: 60000 });

  // The player stands in front of the OBJECT, which is hidden; the video
  // element still holds the EMBED as its fallback.
  const shape = await page.evaluate(() => {
    const video = document.querySelector("video#lumavideo");
    const object = document.querySelector("object#MediaPlayer");
    return video && object && {
      inFront: video.nextElementSibling === object && video.previousElementSibling.id === "lumalive",
      objectHidden: getComputedStyle(object).display === "none",
      embedInside: !!video.querySelector("embed[src*='/MyFile.wma']"),
      autoplay: video.autoplay,
      muted: video.muted,
      playsInline: video.hasAttribute("playsinline"),
      controls: video.controls,
      scripts: [...document.scripts].filter((s) => s.src).map((s) => s.src),
      origin: location.origin,
    };
  });
  check(`${title}: the player stands in front of the OBJECT, which is hidden`,
        !!shape && shape.inFront && shape.objectHidden, shape);
  if (!shape) return;
  check(`${title}: the EMBED is the video element's fallback`, shape.embedInside, shape);
  check(`${title}: autoplay, muted, playsinline and controls`, shape.autoplay && shape.muted && shape.playsInline && shape.controls, shape);
  check(`${title}: scripts come from the page's own server only`,
        shape.scripts.length >= 1 && shape.scripts.every((src) => new URL(src).origin === shape.origin), shape.scripts);

  const started = await harness.waitFor(async () => {
    const f = await frames(page);
    return f.count > 0 ? f : null;
  }, 30000);
  check(`${title}: pictures are shown`, !!started);
  if (!started) return;
  check(`${title}: the page plays through its ${path} way`, started.path === path, started);
  if (path.endsWith("media-source") || path === "hls.js") {
    check(`${title}: the element plays from the Media Source's blob: address`,
          started.source.startsWith("blob:"), started.source);
  } else if (path === "hls-native") {
    check(`${title}: the element plays the low-latency HLS itself, and says why`,
          started.source.startsWith(program.streamUrl + "/live.m3u8") && !!started.reason, started);
  } else {
    check(`${title}: the element plays the rendition itself, and says why`,
          started.source.startsWith(program.streamUrl + "/live.webm") && !!started.reason, started);
  }
  const picture = await lookAtPicture(page);
  await harness.sleep(3000);
  const later = await frames(page);
  const laterPicture = await lookAtPicture(page);
  check(`${title}: pictures keep coming and time goes on`, later.count >= started.count + 10 && later.time >= started.time + 2,
        { started, later });
  check(`${title}: the picture changes`, laterPicture.sum !== picture.sum, { picture, laterPicture });
  check(`${title}: the pictures have the broadcast's size`, later.width === size.width && later.height === size.height, { later, size });
  check(`${title}: the state line says the broadcast is live`, later.state === "Live", later.state);
  check(`${title}: the caption is in the picture`, laterPicture.top >= 10, laterPicture);
  check(`${title}: where the caption is not, the picture has no such edges`, laterPicture.below <= 2, laterPicture);

  // The page takes the element's own source away before it is fetched.
  if (path !== "media-source" && path !== "element")
    check(`${title}: the WebM rendition is not fetched`, !webmFetched);
  check(`${title}: the stream is fetched from the host that served the page`,
        streamHosts.has(address.hostname), { page: address.hostname, stream: [...streamHosts] });

  const sound = await page.evaluate(harness.listenToTheTone);
  check(`${title}: the tone is heard`, sound.loudest > 0.01, sound);
  check(`${title}: the unmute button goes once the sound is on`, !sound.unmuteShown, sound);
  if (sound.hasAudio !== undefined) check(`${title}: the element has sound`, sound.hasAudio, sound);
  await page.close();
}

// A viewer who comes late: the first picture within a second of opening the
// page, in a browser that is already running.
async function joinLate(browser, title, program) {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(markFirstPicture);
  const opened = Date.now();
  await page.goto(program.pageUrl, { waitUntil: "domcontentloaded", timeout: 60000 });
  const first = await harness.waitFor(() => page.evaluate(() => window.__firstPicture), 30000, 20);
  check(`${title}: a viewer who joins after a minute sees a picture within 1 s (after ${first ? first - opened : "no"} ms)`,
        first && first - opened <= 1000, await page.evaluate(() => window.__states));
  return page;
}

async function main() {
  const kinds = harness.installedBrowsers();
  if (!kinds.length) harness.cannotRun("no browser is installed");
  const program = await harness.startProgram({ fps: 15, bitrateKbps: 400, caption: CAPTION, maxUsers: 6 });
  const began = Date.now();
  const browsers = [];
  try {
    const size = harness.broadcastSize(program.streamUrl);
    // The namespace's global IPv6 address is offered beside the IPv4 one.
    const printed6 = await harness.waitFor(() => program.output().match(/^Viewer page \(IPv6\): (\S+)$/m), 5000);
    const pageUrl6 = printed6 && printed6[1];
    check("the viewers' page is offered at the global IPv6 address too",
          pageUrl6 === `http://[${harness.TEST_IPV6}]:${program.httpPort}/`, program.output());
    for (const kind of kinds) {
      const browser = await harness.launchBrowser(kind);
      browsers.push({ kind, browser, title: harness.BROWSERS[kind].title });
      await watch(browser, harness.BROWSERS[kind].title, program, size);
      await watch(browser, `${harness.BROWSERS[kind].title} without Media Source or HLS`, program, size,
                  { query: "#nomse,nohls", path: "element" });
      // Chromium plays HLS itself; Firefox does not.
      if (kind === "chromium")
        await watch(browser, `${harness.BROWSERS[kind].title} without Media Source`, program, size,
                    { query: "#nomse", path: "hls-native" });
      await watch(browser, `${harness.BROWSERS[kind].title} through the fragmented MP4`, program, size,
                  { query: "#nowebm", path: "mp4-media-source" });
      await watch(browser, `${harness.BROWSERS[kind].title} through low-latency HLS and hls.js`, program, size,
                  { query: "#nowebm,nomp4,nohls", path: "hls.js" });
      if (pageUrl6) await watch(browser, `${harness.BROWSERS[kind].title} over IPv6`, program, size, { pageUrl: pageUrl6 });
    }

    await harness.sleep(Math.max(0, began + LATE_JOIN_MS - Date.now()));
    const pages = [];
    for (const b of browsers) pages.push({ ...b, page: await joinLate(b.browser, b.title, program) });

    // The broadcast stops: each page says so.
    await program.stop();
    for (const p of pages) {
      const stopped = await harness.waitFor(async () => {
        const f = await frames(p.page);
        return f.state === "The broadcast is not running." ? f : null;
      }, 30000, 500);
      check(`${p.title}: the page says when the broadcast is not running`, !!stopped, await frames(p.page));
    }

    // Only the invited: the link plays; and with a password, the browser's
    // prompt lets the viewer in. The page hands its credentials on to the
    // stream port itself.
    const token = "0123456789abcdef0123456789abcdef";
    for (const rule of ["invite", "password"]) {
      const guarded = await harness.startProgram({
        fps: 15, bitrateKbps: 400, caption: CAPTION, maxUsers: 6,
        access: `viewers=${rule}\ntoken=${token}\n`, viewerPassword: "s3cret",
      });
      try {
        check(`${rule}: the page's address is the invite link`,
              guarded.pageUrl.endsWith(`/?invite=${token}`) === (rule === "invite"), guarded.pageUrl);
        for (const b of browsers) {
          await watch(b.browser, `${b.title} with ${rule === "invite" ? "the invite link" : "the password"}`,
                      guarded, size,
                      { password: rule === "password" ? "s3cret" : null });
        }
      } finally {
        await guarded.stop();
      }
    }

    // HTTPS with the program's own certificate: a browser that trusts it by
    // the fingerprint the program printed plays the page; one that does not
    // is refused before anything is shown.
    const secured = await harness.startProgram({
      fps: 15, bitrateKbps: 400, caption: CAPTION, maxUsers: 6,
      access: `viewers=invite\ntoken=${token}\ntls=1\n`,
    });
    try {
      const printed = (secured.output().match(/SHA-256 fingerprint (\S+)/) || [])[1];
      const certificate = fs.readFileSync(path.join(secured.program, "tls-certificate.pem"), "utf8");
      const host = new URL(secured.pageUrl).hostname;
      const presented = [];
      for (const port of [secured.httpPort, secured.asfPort]) presented.push(await peerFingerprint(host, port));
      check("TLS: the page's and the stream's addresses are https ones",
            secured.pageUrl.startsWith("https://") && secured.streamUrl.startsWith("https://"), secured);
      check("TLS: both ports present the certificate whose fingerprint the program printed",
            !!printed && presented.every((f) => f === printed), { printed, presented });
      for (const b of browsers) {
        const page = await b.browser.newPage();
        const refused = await page.goto(secured.pageUrl, { timeout: 30000 }).then(() => null, (error) => error.message);
        check(`${b.title}: a certificate it was not told to trust is refused`, !!refused && /cert|SEC_ERROR|SSL/i.test(refused), refused);
        await page.close();
      }
      for (const b of browsers) {
        const trusting = await harness.launchBrowser(b.kind, {
          trust: { certificate, addresses: [secured.httpPort, secured.asfPort].map((port) => ({ host, port })) },
        });
        try {
          await watch(trusting, `${b.title} over HTTPS`, secured, size);
        } finally {
          await trusting.close();
        }
      }
    } finally {
      await secured.stop();
    }
  } finally {
    for (const b of browsers) await b.browser.close();
    await program.stop();
  }
}

harness.run(main);
