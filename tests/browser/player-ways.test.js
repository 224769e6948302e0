// The viewers' player (player.js, as staged in the program folder) run as a
// script against the engines it meets, each one faked down to what the
// player asks of it: which way it takes, the address it plays, and what it
// writes on the element. Real browsers play each way in the other tests.
"use strict";

const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");
const harness = require("./harness");

const programDir = process.env.LUMACAST_PROGRAM_DIR;
if (!programDir) harness.cannotRun("LUMACAST_PROGRAM_DIR (the staged program folder)");
const script = fs.readFileSync(path.join(programDir, "player.js"), "utf8");

const WEBM = 'video/webm; codecs="vp8, opus"';
const H264 = 'video/mp4; codecs="avc1.42E01E, mp4a.40.2"';

// Runs the player in an engine that has what `engine` says, on a page
// fetched from pageHost with the address's hash; what it did.
async function play(engine, { hash = "", pageHost = "10.0.0.5", relay = null } = {}) {
  const attributes = { src: "http://10.0.0.5:8080/live.webm?invite=tok" };
  if (relay) attributes["data-hls"] = relay;
  // The page's own line has put the source aside before the player runs.
  attributes["data-luma-src"] = attributes.src;
  delete attributes.src;
  const did = { fetched: [], hlsLoaded: null, scripts: [] };
  const video = {
    style: {}, muted: true, buffered: { length: 0 }, readyState: 0, paused: true,
    getAttribute: (name) => (name in attributes ? attributes[name] : null),
    setAttribute: (name, value) => { attributes[name] = String(value); },
    removeAttribute: (name) => { delete attributes[name]; },
    hasAttribute: (name) => name in attributes,
    addEventListener() {},
    play: () => Promise.resolve(),
    canPlayType: (type) => (engine.nativeHls && type === "application/vnd.apple.mpegurl" ? "maybe" : ""),
    get src() { return attributes.src || ""; },
    set src(value) { attributes.src = value; },
  };
  if (engine.srcObject) video.srcObject = null;
  const element = () => ({ style: {}, textContent: "", addEventListener() {} });
  const nodes = { lumavideo: video, lumastate: element(), lumaunmute: element() };
  class FakeMedia {
    constructor() { this.readyState = "closed"; }
    addEventListener() {}
  }
  const mediaSource = (types) => {
    const Media = class extends FakeMedia {};
    Media.isTypeSupported = (type) => types.includes(type);
    return Media;
  };
  class Hls {
    static isSupported() { return engine.hlsJsSupported !== false; }
    constructor(config) { did.hlsConfig = config; }
    on() {}
    loadSource(url) { did.hlsLoaded = url; }
    attachMedia() {}
    destroy() {}
  }
  Hls.Events = { ERROR: "error", MANIFEST_PARSED: "parsed" };
  Hls.ErrorTypes = { MEDIA_ERROR: "media" };
  const window = {
    location: { href: `http://${pageHost}:8000/`, hash, protocol: "http:", hostname: pageHost,
                reload() {} },
    fetch: (url) => { did.fetched.push(url); return new Promise(() => {}); },
    Uint8Array, URL: Object.assign(function (...args) { return new URL(...args); },
                                  { createObjectURL: () => "blob:media", revokeObjectURL() {} }),
    setTimeout, setInterval: () => 0, clearTimeout,
    performance: { now: () => 0 },
    document: {
      currentScript: { getAttribute: () => "player.js?invite=tok" },
      getElementById: (id) => nodes[id] || null,
      addEventListener() {},
      createElement: () => ({}),
      head: {
        appendChild(node) {
          did.scripts.push(node.src);
          setTimeout(() => {
            if (engine.hlsJsServed === false) return node.onerror();
            window.Hls = Hls;
            node.onload();
          }, 0);
        },
      },
    },
  };
  if (engine.streams !== false) window.ReadableStream = function () {};
  if (engine.mse) window.MediaSource = mediaSource(engine.mse);
  if (engine.mms) window.ManagedMediaSource = mediaSource(engine.mms);
  window.window = window;
  vm.runInNewContext(script, window);
  await new Promise((resolve) => setTimeout(resolve, 20));
  return {
    way: attributes["data-luma-path"] || null,
    reason: attributes["data-luma-reason"] || null,
    // Where the pictures are asked for: a fetch, hls.js or the element.
    address: did.hlsLoaded || did.fetched[0] || video.src || null,
    scripts: did.scripts,
    remoteOff: video.disableRemotePlayback === true,
    srcObject: !!video.srcObject,
    relayPlays: !!window.lumaRelayPlays,
    lowLatency: !!(did.hlsConfig && did.hlsConfig.lowLatencyMode),
  };
}

const engines = {
  chromium: { mse: [WEBM, H264], nativeHls: false },
  safari: { mse: [H264], mms: [H264], nativeHls: true },
  iphone: { mms: [H264], nativeHls: true, srcObject: true },
  oldIphone: { nativeHls: true },
  webkitGtk: { mse: [H264], mms: [H264], nativeHls: false },
  noStreamingFetch: { mse: [H264], streams: false },
  nothing: {},
};

const rows = [
  // engine, options, way, address (its start), and more that must hold
  ["chromium", {}, "media-source", "http://10.0.0.5:8080/live.webm?invite=tok&t="],
  ["chromium", { hash: "#nowebm" }, "mp4-media-source", "http://10.0.0.5:8080/live.mp4?invite=tok&t="],
  ["chromium", { hash: "#nowebm,nomp4" }, "hls.js", "http://10.0.0.5:8080/live.m3u8?invite=tok&t=",
   (r) => r.lowLatency && r.scripts[0] === "hls.min.js?invite=tok"],
  ["chromium", { hash: "#nomse" }, "element", "http://10.0.0.5:8080/live.webm?invite=tok&t=",
   (r) => r.reason === "no Media Source"],
  ["chromium", { pageHost: "cam.example" }, "media-source", "http://cam.example:8080/live.webm?invite=tok"],
  ["safari", {}, "mp4-media-source", "http://10.0.0.5:8080/live.mp4?invite=tok"],
  ["safari", { hash: "#nomp4" }, "hls-native", "http://10.0.0.5:8080/live.m3u8?invite=tok",
   (r) => r.scripts.length === 0],
  ["iphone", {}, "mp4-managed-media-source", "http://10.0.0.5:8080/live.mp4?invite=tok",
   (r) => r.remoteOff && r.srcObject],
  ["oldIphone", {}, "hls-native", "http://10.0.0.5:8080/live.m3u8?invite=tok",
   (r) => r.reason === "no Media Source"],
  ["webkitGtk", { hash: "#nomse" }, "element", "http://10.0.0.5:8080/live.webm?invite=tok"],
  ["noStreamingFetch", {}, "hls.js", "http://10.0.0.5:8080/live.m3u8?invite=tok",
   (r) => r.reason === "no streaming fetch"],
  [{ ...engines.noStreamingFetch, hlsJsServed: false }, {}, "element", "http://10.0.0.5:8080/live.webm"],
  [{ ...engines.noStreamingFetch, hlsJsSupported: false }, {}, "element", "http://10.0.0.5:8080/live.webm"],
  ["nothing", {}, "element", "http://10.0.0.5:8080/live.webm?invite=tok"],
  // A relay's HLS comes first, where it can be played, and never after #local.
  ["chromium", { relay: "http://edge/hls/s.m3u8" }, "relay-hls.js", "http://edge/hls/s.m3u8",
   (r) => r.relayPlays],
  ["oldIphone", { relay: "http://edge/hls/s.m3u8" }, "relay-native", "http://edge/hls/s.m3u8",
   (r) => r.relayPlays],
  ["chromium", { relay: "http://edge/hls/s.m3u8", hash: "#local" }, "media-source",
   "http://10.0.0.5:8080/live.webm", (r) => !r.relayPlays],
  ["nothing", { relay: "http://edge/hls/s.m3u8" }, "element", "http://10.0.0.5:8080/live.webm"],
];

harness.run(async () => {
  for (const [engine, options, way, address, more] of rows) {
    const name = typeof engine === "string" ? engine : "a variant";
    const seen = await play(typeof engine === "string" ? engines[engine] : engine, options);
    harness.check(`${name} ${options.hash || ""}${options.relay ? " with a relay" : ""}` +
                  `${options.pageHost ? " from " + options.pageHost : ""}: ${way} from ${address}`,
                  seen.way === way && typeof seen.address === "string" && seen.address.startsWith(address) &&
                  (!more || more(seen)), seen);
  }
});
