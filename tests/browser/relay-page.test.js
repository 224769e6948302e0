// The viewers' page with a relay: lumasrv --headless publishes to the example
// cluster of doc/relay (nginx with its RTMP module, run with only its ports
// and folders changed), its page names the pushed edge's HLS, and Debian's
// Chromium and Firefox ESR must play that through hls.js: moving pictures of
// the broadcast's size from a Media Source, not the local WebM; with an edge
// that is not there, the page turns to the local stream. A browser
// that is not installed is skipped by name (a failure under CI=true); exits
// 77 (skipped) when none is or when nginx's RTMP module is missing.
"use strict";

const { spawn } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const harness = require("./harness.js");

const SERVERS = ["origin", "edge-push", "edge-pull"];
const EXAMPLE_PORTS = [1935, 1936, 1937, 8935, 8936, 8937];
const { check } = harness;

// The example cluster with each of its ports replaced by a free one and its
// folders moved into a folder of the test's own.
async function startCluster() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "lumacast-relay-"));
  fs.chmodSync(folder, 0o777);
  const ports = {};
  const taken = [];
  for (const example of EXAMPLE_PORTS) taken.push((ports[example] = await harness.freePort(taken)));
  const children = [];
  for (const server of SERVERS) {
    let text = fs.readFileSync(path.join(__dirname, "../../doc/relay", server + ".conf"), "utf8");
    text = text.split("/var/lib/lumacast-relay").join(folder);
    for (const example of EXAMPLE_PORTS) text = text.replace(new RegExp(`\\b${example}\\b`, "g"), String(ports[example]));
    fs.mkdirSync(path.join(folder, server, "hls"), { recursive: true });
    fs.chmodSync(path.join(folder, server), 0o777);
    fs.chmodSync(path.join(folder, server, "hls"), 0o777);
    fs.writeFileSync(path.join(folder, server + ".conf"), text);
    const child = spawn("nginx", ["-c", path.join(folder, server + ".conf"), "-g", "daemon off;"], { stdio: "ignore" });
    process.on("exit", () => child.kill("SIGKILL"));
    children.push(child);
  }
  return {
    ports,
    stop() {
      for (const child of children) child.kill("SIGTERM");
      fs.rmSync(folder, { recursive: true, force: true });
    },
  };
}

async function main() {
  if (!fs.existsSync("/usr/lib/nginx/modules/ngx_rtmp_module.so"))
    harness.cannotRun("nginx's RTMP module (libnginx-mod-rtmp) is not installed");
  const kinds = harness.installedBrowsers();
  if (!kinds.length) harness.cannotRun("no browser is installed");
  const cluster = await startCluster();
  await harness.sleep(1000);
  // The edge at the address the page comes from: a browser keeps a page
  // from elsewhere away from loopback.
  const host = "198.51.100.1";
  // The program's relay settings: publish to the origin, the page names hls.
  const relayFile = (hls) =>
    `url=rtmp://127.0.0.1:${cluster.ports[1935]}/live/stream?key=CHANGE-THIS-KEY\npublish=1\nhls=${hls}\n`;
  // Each browser in turn, on a page of its own at url.
  const inEachBrowser = async (url, visit) => {
    for (const kind of kinds) {
      const browser = await harness.launchBrowser(kind);
      try {
        const page = await browser.newPage();
        await page.goto(url, { waitUntil: "domcontentloaded", timeout: 60000 });
        await visit(page, harness.BROWSERS[kind].title);
      } finally {
        await browser.close();
      }
    }
  };
  const relay = relayFile(`http://${host}:${cluster.ports[8936]}/hls/stream.m3u8`);
  const program = await harness.startProgram({ fps: 15, bitrateKbps: 400, relay });
  try {
    const publishing = await harness.waitFor(() => /: publishing$/m.test(program.output()), 30000);
    check("the program publishes to the origin", !!publishing, program.output());
    await inEachBrowser(program.pageUrl, async (page, title) => {
      const look = () =>
        page.evaluate(() => {
          const video = document.getElementById("lumavideo");
          return { relay: !!window.lumaRelayPlays, source: video.currentSrc, time: video.currentTime,
                   width: video.videoWidth, height: video.videoHeight,
                   frames: video.getVideoPlaybackQuality().totalVideoFrames,
                   path: video.getAttribute("data-luma-path") };
        });
      const playing = await harness.waitFor(async () => {
        const seen = await look();
        return seen.time > 1 && seen.frames > 10 ? seen : null;
      }, 40000, 500);
      const seen = playing || (await look());
      check(`${title}: the page plays the relay's HLS through hls.js`,
            !!playing && seen.relay && seen.source.startsWith("blob:") && seen.path === "relay-hls.js", seen);
      check(`${title}: pictures of the broadcast's size (320x240)`, seen.width === 320 && seen.height === 240, seen);
      await harness.sleep(2000);
      const later = await look();
      check(`${title}: the pictures keep coming`, later.frames > seen.frames && later.time > seen.time, later);
    });
    await program.stop();

    // A relay whose HLS never answers (the broadcast is published, but the
    // page names an edge that is not there): the page asks it again for a
    // while, then turns to the local stream, which plays.
    const gone = `http://${host}:${await harness.freePort([])}/hls/stream.m3u8`;
    const alone = await harness.startProgram({ fps: 15, bitrateKbps: 400, relay: relayFile(gone) });
    try {
      await inEachBrowser(alone.pageUrl, async (page, title) => {
        const local = await harness.waitFor(() => page.evaluate(() => {
          const video = document.getElementById("lumavideo");
          const seen = { hash: location.hash, path: video.getAttribute("data-luma-path"),
                         source: video.currentSrc, frames: video.getVideoPlaybackQuality().totalVideoFrames };
          return seen.hash === "#local" && seen.frames > 10 ? seen : null;
        }).catch(() => null), 90000, 500);
        check(`${title}: a relay that never answers gives way to the local stream, which plays`,
              !!local && local.path === "media-source" && local.source.startsWith("blob:"), local);
      });
    } finally {
      await alone.stop();
    }
  } finally {
    await program.stop();
    cluster.stop();
  }
}

harness.run(main);
