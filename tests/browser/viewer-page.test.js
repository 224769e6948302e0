// The viewers' page in a real browser: Debian's Chromium, driven through
// puppeteer-core, opens the page that lumasrv --headless serves on the test
// devices and must play the broadcast: moving pictures of the broadcast's
// size with the caption in them, and sound. Once the program stops, the page
// says so. Exits 77 (skipped) when Chromium is not installed.
"use strict";

const { execFileSync } = require("node:child_process");
const harness = require("./harness.js");

const CAPTION = "LUMACAST CAPTION";
const results = [];

function check(name, ok, detail) {
  results.push(ok);
  console.log(`${ok ? "ok" : "not ok"} - ${name}${ok || detail === undefined ? "" : ": " + JSON.stringify(detail)}`);
}

// The broadcast's picture size, as an independent client sees the ASF stream.
function broadcastSize(streamUrl) {
  const out = execFileSync("ffprobe", ["-v", "error", "-select_streams", "v:0", "-show_entries",
    "stream=width,height", "-of", "csv=p=0", streamUrl + "/MyFile.wma"], { timeout: 60000 });
  const [width, height] = out.toString().trim().split(",").map(Number);
  return { width, height };
}

async function main() {
  if (!harness.haveChromium()) {
    console.log(`skipped: ${harness.CHROMIUM} is not installed`);
    process.exit(77);
  }
  const program = await harness.startProgram({ fps: 15, bitrateKbps: 400, caption: CAPTION, maxUsers: 3 });
  let browser;
  try {
    const size = broadcastSize(program.streamUrl);
    browser = await harness.launchBrowser(["--autoplay-policy=no-user-gesture-required"]);
    const page = await browser.newPage();
    page.on("pageerror", (error) => check("the page's script runs without errors", false, error.message));
    await page.goto(program.pageUrl, { waitUntil: "domcontentloaded", timeout: 60000 });

    // The video element is the OBJECT's content and holds the EMBED as its fallback.
    const shape = await page.evaluate(() => {
      const video = document.querySelector("object > video#lumavideo");
      return video && {
        embedInside: !!video.querySelector("embed[src$='/MyFile.wma']"),
        src: video.currentSrc || video.src,
        autoplay: video.autoplay,
        muted: video.muted,
        playsInline: video.playsInline,
        controls: video.controls,
        external: [...document.scripts].filter((s) => s.src).length,
      };
    });
    check("the page has a video element inside the OBJECT", !!shape);
    if (!shape) return;
    check("the EMBED is the video element's fallback", shape.embedInside, shape);
    check("the video plays <stream URL>/live.webm", shape.src === program.streamUrl + "/live.webm", shape.src);
    check("autoplay, muted, playsinline and controls", shape.autoplay && shape.muted && shape.playsInline && shape.controls, shape);
    check("no external scripts", shape.external === 0, shape.external);

    // Moving pictures of the broadcast's size.
    const frames = () => page.evaluate(() => {
      const video = document.getElementById("lumavideo");
      return { count: video.getVideoPlaybackQuality().totalVideoFrames, width: video.videoWidth,
               height: video.videoHeight, time: video.currentTime, state: document.getElementById("lumastate").textContent };
    });
    const started = await harness.waitFor(async () => {
      const f = await frames();
      return f.count > 0 ? f : null;
    }, 60000);
    check("pictures are shown", !!started);
    if (!started) return;
    await harness.sleep(3000);
    const later = await frames();
    check("pictures keep coming", later.count >= started.count + 10, { started, later });
    check("the pictures have the broadcast's size", later.width === size.width && later.height === size.height, { later, size });
    check("the state line says the broadcast is live", later.state === "Live", later.state);

    // The caption, in a canvas copy of the picture: white letters with a
    // black shadow one pixel down and right, at the top left. Elsewhere the
    // moving test picture has no such edges.
    const caption = await page.evaluate(() => {
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
      return { top: shadowed(0), below: shadowed(Math.floor(canvas.height / 3)) };
    });
    check("the caption is in the picture", caption.top >= 10, caption);
    check("where the caption is not, the picture has no such edges", caption.below <= 2, caption);

    // Sound: unmuted, the element decodes audio and a tone reaches the page's audio graph.
    const sound = await page.evaluate(async () => {
      const video = document.getElementById("lumavideo");
      video.muted = false;
      await video.play().catch(() => {});
      const before = video.webkitAudioDecodedByteCount;
      const context = new AudioContext();
      const analyser = context.createAnalyser();
      context.createMediaElementSource(video).connect(analyser);
      analyser.connect(context.destination);
      await context.resume();
      const samples = new Float32Array(analyser.fftSize);
      let loudest = 0;
      for (let i = 0; i < 30; ++i) {
        await new Promise((resolve) => setTimeout(resolve, 100));
        analyser.getFloatTimeDomainData(samples);
        let sum = 0;
        for (const v of samples) sum += v * v;
        loudest = Math.max(loudest, Math.sqrt(sum / samples.length));
      }
      return { decoded: video.webkitAudioDecodedByteCount - before, loudest, contextState: context.state,
               unmuteShown: document.getElementById("lumaunmute").style.display !== "none" };
    });
    check("sound is decoded", sound.decoded > 10000, sound);
    check("the tone is heard", sound.loudest > 0.01, sound);
    check("the unmute button goes once the sound is on", !sound.unmuteShown, sound);

    // The broadcast stops: the page says so.
    await program.stop();
    const stopped = await harness.waitFor(async () => {
      const f = await frames();
      return f.state === "The broadcast is not running." ? f : null;
    }, 30000, 500);
    check("the page says when the broadcast is not running", !!stopped, await frames());
  } finally {
    if (browser) await browser.close();
    await program.stop();
  }
}

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
