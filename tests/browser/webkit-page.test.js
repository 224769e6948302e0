// The viewers' page in WebKitGTK, the engine Safari is built on: Debian's
// MiniBrowser, driven through WebKitWebDriver, opens the page that lumasrv
// --headless serves on the test devices. WebKit draws the OBJECT as a box of
// its own and lays out none of its content, so the player must stand
// outside it; the screen must show the broadcast's moving pictures with the
// caption in them, with sound: through its Media Source fed the fragmented
// MP4 (WebKit's Media Source takes no WebM), and played by the element
// itself when the page is told there is no Media Source. Exits 77 (skipped)
// when WebKit is not installed (a failure under CI=true).
"use strict";

const harness = require("./harness.js");

const CAPTION = "LUMACAST CAPTION";
const { check } = harness;

function state() {
  const video = document.getElementById("lumavideo");
  const box = video.getBoundingClientRect();
  return { path: video.getAttribute("data-luma-path"), reason: video.getAttribute("data-luma-reason"),
           inObject: !!video.closest("object"),
           objectHidden: getComputedStyle(document.querySelector("object#MediaPlayer")).display === "none",
           box: [Math.round(box.width), Math.round(box.height)], width: video.videoWidth,
           height: video.videoHeight, time: video.currentTime, paused: video.paused,
           audioTracks: video.audioTracks ? video.audioTracks.length : -1,
           line: document.getElementById("lumastate").textContent,
           lineShown: document.getElementById("lumastate").getBoundingClientRect().height > 0 };
}

// The caption in a screenshot: white letters with a black shadow one pixel
// down and right, at the top left of the picture; elsewhere the moving test
// picture has no such edges. Also a sum of the pixels below it, to tell one
// picture from the next.
function lookAt(shot) {
  const at = (x, y) => (y * shot.width + x) * 3;
  const light = (x, y) => { const i = at(x, y); return shot.rgb[i] > 180 && shot.rgb[i + 1] > 180 && shot.rgb[i + 2] > 180; };
  const dark = (x, y) => { const i = at(x, y); return shot.rgb[i] < 80 && shot.rgb[i + 1] < 80 && shot.rgb[i + 2] < 80; };
  const shadowed = (y0) => {
    let edges = 0;
    for (let y = y0 + 1; y < y0 + 18; ++y)
      for (let x = 1; x < Math.min(shot.width, 160); ++x) if (dark(x, y) && light(x - 1, y - 1)) ++edges;
    return edges;
  };
  let sum = 0;
  for (let i = at(0, Math.floor(shot.height / 3)); i < at(0, Math.floor(shot.height * 2 / 3)); i += 7) sum += shot.rgb[i];
  return { top: shadowed(0), below: shadowed(Math.floor(shot.height / 3)), sum };
}

// The page at url in the running browser, played the given way.
async function watch(browser, title, url, path, size) {
  // From elsewhere, so that an address that differs only after its "#" is
  // a new page.
  await browser.goto("about:blank");
  await browser.goto(url);
  const started = await harness.waitFor(async () => {
    const s = await browser.evaluate(state).catch(() => null);
    return s && s.time > 0.5 && s.width > 0 ? s : null;
  }, 30000);
  check(`${title}: the video plays`, !!started);
  if (!started) return;
  if (path === "element") {
    check(`${title}: the element plays the rendition itself, and says why`,
          started.path === "element" && !!started.reason, started);
  } else {
    check(`${title}: the page plays through its ${path} way`, started.path === path, started);
  }
  check(`${title}: the player stands outside the OBJECT, which is hidden`,
        !started.inObject && started.objectHidden, started);
  check(`${title}: the video is laid out at the broadcast's size`,
        started.box[0] === size.width && started.box[1] === size.height, { started, size });
  check(`${title}: the state line is shown and says the broadcast is live`,
        started.lineShown && started.line === "Live", started);

  const shot = await browser.screenshot("#lumavideo");
  const first = lookAt(shot);
  await harness.sleep(3000);
  const later = await browser.evaluate(state);
  const secondShot = await browser.screenshot("#lumavideo");
  const second = lookAt(secondShot);
  check(`${title}: the screen shows the element at the broadcast's size`,
        secondShot.width === size.width && secondShot.height === size.height, { width: secondShot.width, height: secondShot.height });
  check(`${title}: time goes on`, later.time >= started.time + 2 && !later.paused, { started, later });
  check(`${title}: the picture on the screen changes`, second.sum !== first.sum, { first, second });
  check(`${title}: the caption is on the screen`, second.top >= 10, second);
  check(`${title}: where the caption is not, the picture has no such edges`, second.below <= 2, second);

  check(`${title}: the element has a sound track`, later.audioTracks >= 1, later);
  const sound = await browser.evaluate(harness.listenToTheTone);
  check(`${title}: the tone is heard`, sound.loudest > 0.01, sound);
}

async function main() {
  if (!harness.haveWebKit()) harness.cannotRun(`WebKitGTK (${harness.WEBKIT.driver}, ${harness.WEBKIT.browser})`);
  const program = await harness.startProgram({ fps: 15, bitrateKbps: 400, caption: CAPTION, maxUsers: 4 });
  let browser = null;
  try {
    const size = harness.broadcastSize(program.streamUrl);
    browser = await harness.launchWebKit();
    const title = harness.WEBKIT.title;
    await watch(browser, title, program.pageUrl, "mp4-media-source", size);
    await watch(browser, `${title} without Media Source`, program.pageUrl + "#nomse", "element", size);
  } finally {
    if (browser) await browser.close();
    await program.stop();
  }
}

harness.run(main);
