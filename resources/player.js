// The viewers' player: the script that the page (index.htm) loads right
// after the video element's opening tag, from the web server beside it.
// The page's own line before it has taken the element's source away (into
// data-luma-src) before the element could begin to fetch it, so nothing is
// fetched twice; this script decides where the pictures come from.
//
// When the page names a relay's HLS address (the element's data-hls), that
// is played first: through hls.js where the browser has Media Source
// Extensions, natively where it plays HLS itself (Safari, iOS), and
// otherwise, or after a failure the relay does not recover from, the local
// stream as without a relay ("#local"). Taking over, it sets
// window.lumaRelayPlays and writes its way on the element (data-luma-path
// "relay-hls.js" or "relay-native").
//
// The local stream, the best way this browser has:
// - "media-source": Media Source with the WebM rendition, fetched by the
//   script and fed to the element, which then starts with the first key
//   frame that arrives (a browser's own WebM player may wait for more:
//   Firefox's reads on to the next key frame before it shows the first);
// - "mp4-media-source", "mp4-managed-media-source": a browser whose Media
//   Source takes no WebM but H.264 (WebKit: Safari, every iPhone browser,
//   through a ManagedMediaSource where there is no MediaSource) is fed the
//   fragmented MP4 of the same broadcast instead;
// - "hls-native": a browser without either that plays HLS itself (older
//   iPhones) plays the stream server's low-latency HLS;
// - "hls.js": one with a Media Source but no streaming fetch plays that HLS
//   through hls.js in its low-latency mode, loaded from beside the page;
// - "element": the element plays the WebM rendition itself.
// On the Media Source ways it holds playback a margin behind the newest
// data by playing a little faster or slower; on the element's own it only
// skips a backlog; the HLS players keep their own distance. It starts again
// after a failure and says when the broadcast is not running. The way is
// written on the element (data-luma-path, and data-luma-reason when it could
// not take a Media Source), so that a test sees which one ran. Flags after
// the address make it act as a browser without a way: "nomse" without Media
// Source Extensions, "nowebm" with one that takes no WebM, "nomms" without a
// ManagedMediaSource, "nomp4" without the fragmented MP4 ways, "nohls"
// without HLS of its own ("#nowebm,nomp4" for several). The stream is
// fetched from the host that served the page. Once the page is read, the
// script moves the player out in front of the OBJECT.
(function () {
  var video = document.getElementById("lumavideo");
  var state = document.getElementById("lumastate");
  var unmute = document.getElementById("lumaunmute");
  if (!video || !video.play) return;
  var own = document.currentScript ? document.currentScript.getAttribute("src") || "" : "";
  var ownQuery = own.indexOf("?") < 0 ? "" : own.slice(own.indexOf("?"));
  // The state line and the video are shown in front of the OBJECT, which
  // is hidden: engines differ in what they draw for an OBJECT whose player
  // they do not have (WebKit draws a box of its own and lays out none of
  // its content, others show the content once they have looked for the
  // player), and the page is to look the same in all of them. The element
  // plays on as it moves.
  document.addEventListener("DOMContentLoaded", function () {
    var live = document.getElementById("lumalive"), object = live && live.parentNode;
    if (!object || object.nodeName !== "OBJECT") return;
    object.parentNode.insertBefore(live, object);
    object.parentNode.insertBefore(video, object);
    object.style.display = "none";
  });
  // The stream is asked for at the host the page came from, so that a
  // viewer who reached the page by another name or address family (its IPv6
  // address, an outside one) reaches the stream the same way.
  var source = video.getAttribute("data-luma-src") || video.getAttribute("src") || "";
  try {
    var asked = new URL(source, location.href);
    if (/^https?:$/.test(location.protocol) && location.hostname) asked.hostname = location.hostname;
    source = asked.href;
  } catch (e) {}
  // Where "the broadcast is not running" is asked: the WebM rendition's
  // address answers HEAD while it runs.
  var probe = source;
  var hash = location.hash, Media = null, mp4 = false, hls = false, mse = false, hlsJs = null;
  var plain = null, managed = null;
  function path(name, reason) {
    video.setAttribute("data-luma-path", name);
    if (reason) video.setAttribute("data-luma-reason", reason);
  }
  // The best way this browser has, in the order above; then() once chosen
  // (hls.js may have to be fetched first).
  function choose(then) {
    var streams = !!(window.fetch && window.ReadableStream && window.Uint8Array);
    var any = /nomse/.test(hash) ? null : window.MediaSource || window.ManagedMediaSource;
    plain = /nomse/.test(hash) || !streams ? null : window.MediaSource;
    managed = /nomse|nomms/.test(hash) || !streams ? null : window.ManagedMediaSource;
    var fmp4 = !/nomp4/.test(hash), why = "";
    var h264 = "video/mp4; codecs=\"avc1.42E01E, mp4a.40.2\"";
    if (plain && !/nowebm/.test(hash) && plain.isTypeSupported("video/webm; codecs=\"vp8, opus\"")) {
      Media = plain; path("media-source");
    } else if (plain && fmp4 && plain.isTypeSupported(h264)) {
      Media = plain; mp4 = true; path("mp4-media-source");
    } else if (managed && fmp4 && managed.isTypeSupported(h264)) {
      Media = managed; mp4 = true; path("mp4-managed-media-source");
    } else {
      why = !any ? "no Media Source" : !streams ? "no streaming fetch"
          : /nowebm|nomp4|nomms/.test(hash) ? "the address leaves out its Media Source ways"
          : "its Media Source takes neither WebM nor H.264";
    }
    mse = !!Media;
    if (mp4) source = source.replace(/\/live\.webm(\?|$)/, "/live.mp4$1");
    // A ManagedMediaSource plays only with remote playback off.
    if (Media && Media === managed) video.disableRemotePlayback = true;
    if (mse) return then();
    var hlsSource = source.replace(/\/live\.webm(\?|$)/, "/live.m3u8$1");
    if (!/nohls/.test(hash) && video.canPlayType("application/vnd.apple.mpegurl")) {
      hls = true; source = hlsSource; path("hls-native", why);
      return then();
    }
    var element = function () { path("element", why); then(); };
    if (!any) return element();
    withHlsJs(function () {
      if (!window.Hls.isSupported()) return element();
      hls = true; hlsJs = window.Hls; source = hlsSource; path("hls.js", why);
      then();
    }, element);
  }
  // A relay's HLS, before the local stream; then(): the local stream is to
  // play.
  function playRelay(relay, then) {
    var local = function () { location.hash = "#local"; location.reload(); };
    var viaHlsJs = function () {
      relayPlays("relay-hls.js");
      video.removeAttribute("src");
      // The relay's first segments come a few seconds after the broadcast
      // starts: a relay that fails is asked again for a while before the page
      // turns to the local stream.
      var tries = 0;
      var open = function () {
        var player = new window.Hls({ lowLatencyMode: false, liveSyncDurationCount: 2 });
        player.on(window.Hls.Events.ERROR, function (event, data) {
          if (!data.fatal) return;
          if (data.type === window.Hls.ErrorTypes.MEDIA_ERROR) return player.recoverMediaError();
          player.destroy();
          if (++tries < 8) setTimeout(open, 2000);
          else local();
        });
        player.on(window.Hls.Events.MANIFEST_PARSED, function () { tries = 0; });
        player.loadSource(relay);
        player.attachMedia(video);
        video.play().catch(function () {});
      };
      open();
    };
    var natively = function () {
      if (!video.canPlayType("application/vnd.apple.mpegurl")) return then();
      relayPlays("relay-native");
      video.src = relay;
      video.addEventListener("error", local);
      video.play().catch(function () {});
    };
    if (!window.MediaSource && !window.ManagedMediaSource) return natively();
    withHlsJs(function () {
      if (window.Hls.isSupported()) viaHlsJs();
      else natively();
    }, natively);
  }
  function relayPlays(way) {
    window.lumaRelayPlays = true;
    video.setAttribute("data-luma-path", way);
    unmute.onclick = function () { video.muted = false; video.play().catch(function () {}); };
    var shown = function () { unmute.style.display = video.muted ? "inline" : "none"; };
    video.addEventListener("volumechange", shown);
    shown();
  }
  // hls.js, from beside the page and asked for as this script was (with the
  // page's invite), once: then() when it is there, otherwise() when it cannot
  // be had.
  function withHlsJs(then, otherwise) {
    if (window.Hls) return then();
    var script = document.createElement("script");
    script.src = "hls.min.js" + ownQuery;
    script.onload = function () { if (window.Hls) then(); else otherwise(); };
    script.onerror = otherwise;
    (document.head || document.documentElement).appendChild(script);
  }

  var session = 0, stopSession = null, retry = null, lastTime = -1, still = 0;
  // How far playback stays behind the newest data it has, at the least:
  // more after each time it ran dry, a little less after each calm while.
  var lows = [], margin = 0.06, calmSince = 0, stuck = 0;

  function say(text) { state.textContent = text; }
  function showUnmute() { unmute.style.display = video.muted ? "inline" : "none"; }
  function fresh() {
    return source + (source.indexOf("?") < 0 ? "?" : "&") + "t=" + Date.now();
  }
  function restart(delay) {
    if (retry) return;
    if (stopSession) stopSession();
    stopSession = null;
    retry = setTimeout(function () {
      retry = null; still = 0; lastTime = -1;
      start();
    }, delay);
  }
  function failed() {
    // While the broadcast runs its server answers HEAD: then every place is taken.
    fetch(probe, { method: "HEAD", cache: "no-store" }).then(function (reply) {
      say(reply.ok ? "All places for viewers are taken; trying again..."
                   : "The broadcast is not running.");
    }, function () { say("The broadcast is not running."); });
    restart(2000);
  }
  function start() {
    lows = [];
    if (hlsJs) {
      var player = new hlsJs({ lowLatencyMode: true, backBufferLength: 10 });
      stopSession = function () { player.destroy(); };
      player.on(hlsJs.Events.ERROR, function (event, data) {
        if (!data.fatal) return;
        if (data.type === hlsJs.ErrorTypes.MEDIA_ERROR) return player.recoverMediaError();
        failed();
      });
      player.loadSource(fresh());
      player.attachMedia(video);
      video.play().catch(function () {});
      return;
    }
    if (!mse) {
      video.src = fresh();
      video.play().catch(function () {});
      return;
    }
    var id = ++session;
    var current = function () { return id === session; };
    var media = new Media(), tracks = null, pending = new Uint8Array(0), begun = false;
    var abort = window.AbortController ? new AbortController() : null;
    stopSession = function () { ++session; if (abort) abort.abort(); };
    var url = null;
    if (Media === managed && "srcObject" in video) {
      video.srcObject = media;
    } else {
      url = URL.createObjectURL(media);
      video.src = url;
    }
    media.addEventListener("sourceopen", function () {
      if (url) URL.revokeObjectURL(url);
      append();
    });
    fetch(fresh(), { cache: "no-store", signal: abort ? abort.signal : undefined })
      .then(function (reply) {
        if (!current()) return;
        if (!reply.ok || !reply.body) return failed();
        var reader = reply.body.getReader();
        var read = function () {
          reader.read().then(function (part) {
            if (!current()) return reader.cancel();
            if (part.done) return failed();
            take(part.value);
            read();
          }, function () { if (current()) failed(); });
        };
        read();
      }, function () { if (current()) failed(); });

    // Each track goes to a source buffer of its own, in clusters of its
    // own: given sound and pictures in one buffer, Firefox takes a cluster
    // that begins before the last picture has ended for a new stream, and
    // drops pictures up to the next key frame.
    function take(bytes) {
      if (begun) watchEdge();
      pending = pending.length ? join([pending, bytes]) : bytes;
      if (mp4) return takeMp4();
      var at = 0;
      if (!tracks) {
        var header = readHeader(pending);
        if (!header) return pending.length > 65536 ? failed() : undefined;
        if (!header.tracks.length) {
          // Not a stream this browser's Media Source takes: it plays it itself.
          mse = false;
          source = probe;
          path("element", "the Media Source takes none of the stream's tracks");
          return restart(0);
        }
        tracks = header.tracks;
        at = header.end;
      }
      for (;;) {
        var cluster = element(pending, at);
        if (!cluster) break;
        if (cluster.size < 0) return failed();
        var end = cluster.body + cluster.size;
        if (end > pending.length) break;
        if (cluster.id === 0x1F43B675) split(cluster);
        at = end;
      }
      pending = pending.slice(at);
      append();
    }
    // The fragmented MP4 goes to one source buffer as it comes, once its
    // init segment has said what its codecs are.
    function takeMp4() {
      if (!tracks) {
        var type = readInit(pending);
        if (type === null) return pending.length > 1048576 ? failed() : undefined;
        if (!type || !Media.isTypeSupported(type)) {
          mse = false;
          source = probe;
          path("element", "the Media Source takes none of the stream's tracks");
          return restart(0);
        }
        tracks = [{ type: type, buffer: null, queue: [] }];
      }
      tracks[0].queue.push(pending);
      pending = new Uint8Array(0);
      append();
    }
    function split(cluster) {
      var time = null, blocks = {};
      each(pending, cluster, function (child, start, end) {
        var number = null;
        if (child.id === 0xE7) time = pending.subarray(start, end);
        if (child.id === 0xA3) number = pending[child.body] & 0x7F;
        if (child.id === 0xA0) {
          each(pending, child, function (part) {
            if (part.id === 0xA1) number = pending[part.body] & 0x7F;
          });
        }
        if (number !== null) (blocks[number] = blocks[number] || []).push(pending.subarray(start, end));
      });
      if (!time) return;
      for (var i = 0; i < tracks.length; ++i) {
        var parts = blocks[tracks[i].number];
        if (!parts) continue;
        var size = time.length;
        for (var j = 0; j < parts.length; ++j) size += parts[j].length;
        tracks[i].queue.push(join([[0x1F, 0x43, 0xB6, 0x75], sizeOf(size), time].concat(parts)));
      }
    }
    function append() {
      if (!current() || media.readyState !== "open" || !tracks) return;
      var i, track;
      for (i = 0; i < tracks.length; ++i) {
        if (tracks[i].buffer) continue;
        try {
          tracks[i].buffer = media.addSourceBuffer(tracks[i].type);
        } catch (error) {
          // This browser's Media Source does not take these tracks together.
          mse = false;
          source = probe;
          path("element", "the Media Source takes none of the stream's tracks together");
          return restart(0);
        }
        tracks[i].buffer.addEventListener("updateend", appended);
      }
      for (i = 0; i < tracks.length; ++i) {
        track = tracks[i];
        if (track.buffer.updating || !track.queue.length) continue;
        var bytes = track.queue.length === 1 ? track.queue[0] : join(track.queue);
        track.queue = [];
        try {
          track.buffer.appendBuffer(bytes);
        } catch (error) {
          return failed();
        }
      }
    }
    function appended() {
      if (!current()) return;
      var ranges = spans();
      if (!begun && ranges.length) {
        begun = true;
        // The stream starts where the broadcast is, not at zero.
        video.currentTime = ranges[ranges.length - 1][0];
        video.play().catch(function () {});
      }
      for (var i = 0; i < tracks.length && begun; ++i) {
        var buffer = tracks[i].buffer, kept = buffer.buffered;
        // What has been played goes; the next append waits for it.
        if (!buffer.updating && kept.length && video.currentTime - kept.start(0) > 30)
          buffer.remove(0, video.currentTime - 10);
      }
      append();
    }
  }

  // The stream's header: where its first cluster begins, and for each track
  // it plays, its number, its type and a header of its own. Null while the
  // header is not complete; no tracks when a codec is not one this
  // browser's Media Source takes.
  function readHeader(bytes) {
    var ebml = element(bytes, 0);
    if (!ebml || ebml.size < 0) return null;
    var segment = element(bytes, ebml.body + ebml.size);
    if (!segment) return null;
    var info = new Uint8Array(0), entries = [], at = segment.body;
    for (;;) {
      var child = element(bytes, at);
      if (!child) return null;
      if (child.id === 0x1F43B675) break;
      if (child.size < 0) return { end: at, tracks: [] };
      var end = child.body + child.size;
      if (end > bytes.length) return null;
      if (child.id === 0x1549A966) info = bytes.subarray(at, end);
      if (child.id === 0x1654AE6B) {
        each(bytes, child, function (entry, from, to) {
          if (entry.id === 0xAE) entries.push({ entry: entry, bytes: bytes.subarray(from, to) });
        });
      }
      at = end;
    }
    var types = { V_VP8: "video/webm; codecs=\"vp8\"", A_OPUS: "audio/webm; codecs=\"opus\"" };
    var tracks = [];
    for (var i = 0; i < entries.length; ++i) {
      var number = null, type = null;
      each(bytes, entries[i].entry, function (field) {
        var value = bytes.subarray(field.body, field.body + field.size);
        if (field.id === 0xD7) number = value[value.length - 1];
        if (field.id === 0x86) type = types[String.fromCharCode.apply(null, value)];
      });
      if (!type || number === null || !Media.isTypeSupported(type)) return { end: at, tracks: [] };
      var list = entries[i].bytes;
      tracks.push({ number: number, type: type, buffer: null,
                    queue: [join([bytes.subarray(0, segment.body), info,
                                  [0x16, 0x54, 0xAE, 0x6B], sizeOf(list.length), list])] });
    }
    return { end: at, tracks: tracks };
  }
  // The type of a fragmented MP4 from its init segment (ftyp, moov): the
  // H.264 profile and level from its avcC, and AAC when it has a track of
  // it. Null while the moov is not all there; "" without H.264.
  function readInit(bytes) {
    for (var at = 0; at + 8 <= bytes.length;) {
      var size = ((bytes[at] << 24) >>> 0) + (bytes[at + 1] << 16) + (bytes[at + 2] << 8) + bytes[at + 3];
      var name = String.fromCharCode(bytes[at + 4], bytes[at + 5], bytes[at + 6], bytes[at + 7]);
      if (size < 8) return "";
      if (name !== "moov") { at += size; continue; }
      if (at + size > bytes.length) return null;
      var moov = bytes.subarray(at, at + size), avc = find(moov, "avcC");
      if (avc < 0 || avc + 8 > moov.length) return "";
      var hex = function (b) { return (b < 16 ? "0" : "") + b.toString(16); };
      return "video/mp4; codecs=\"avc1." + hex(moov[avc + 5]) + hex(moov[avc + 6]) + hex(moov[avc + 7]) +
             (find(moov, "mp4a") >= 0 ? ", mp4a.40.2" : "") + "\"";
    }
    return null;
  }
  // Where the four letters of name stand in bytes, or -1.
  function find(bytes, name) {
    for (var i = 0; i + 4 <= bytes.length; ++i) {
      if (bytes[i] === name.charCodeAt(0) && bytes[i + 1] === name.charCodeAt(1) &&
          bytes[i + 2] === name.charCodeAt(2) && bytes[i + 3] === name.charCodeAt(3)) return i;
    }
    return -1;
  }
  // Calls visit(child, start, end) for each whole child element of parent.
  function each(bytes, parent, visit) {
    for (var at = parent.body; at < parent.body + parent.size;) {
      var child = element(bytes, at);
      if (!child || child.size < 0) return;
      visit(child, at, child.body + child.size);
      at = child.body + child.size;
    }
  }
  // An EBML element at 'at': its id, where its body begins and its size (-1:
  // unknown), or null when its head is not all there.
  function element(bytes, at) {
    var idLength = 1, sizeLength = 1, i;
    while (idLength <= 4 && at < bytes.length && !(bytes[at] & (0x100 >> idLength))) ++idLength;
    var sizeAt = at + idLength;
    if (idLength > 4 || sizeAt >= bytes.length) return null;
    while (sizeLength <= 8 && !(bytes[sizeAt] & (0x100 >> sizeLength))) ++sizeLength;
    if (sizeLength > 8 || sizeAt + sizeLength > bytes.length) return null;
    var id = 0, size = bytes[sizeAt] & (0xFF >> sizeLength);
    var unknown = size === 0xFF >> sizeLength;
    for (i = 0; i < idLength; ++i) id = id * 256 + bytes[at + i];
    for (i = 1; i < sizeLength; ++i) {
      size = size * 256 + bytes[sizeAt + i];
      unknown = unknown && bytes[sizeAt + i] === 0xFF;
    }
    return { id: id, body: sizeAt + sizeLength, size: unknown ? -1 : size };
  }
  // An element size in eight bytes.
  function sizeOf(size) {
    var out = [1];
    for (var i = 6; i >= 0; --i) out.push(Math.floor(size / Math.pow(2, 8 * i)) % 256);
    return out;
  }
  function join(parts) {
    var size = 0, at = 0, i;
    for (i = 0; i < parts.length; ++i) size += parts[i].length;
    var all = new Uint8Array(size);
    for (i = 0; i < parts.length; ++i) { all.set(parts[i], at); at += parts[i].length; }
    return all;
  }

  // What is buffered, as [start, end] pairs, with holes of a tenth of a
  // second or less closed: frame times rounded to milliseconds leave a
  // millisecond here and there, which players step over by themselves.
  function spans() {
    var ranges = video.buffered, out = [];
    for (var i = 0; i < ranges.length; ++i) {
      if (out.length && ranges.start(i) - out[out.length - 1][1] < 0.1)
        out[out.length - 1][1] = ranges.end(i);
      else
        out.push([ranges.start(i), ranges.end(i)]);
    }
    return out;
  }

  // How far playback is behind the newest picture, looked at as each new
  // piece arrives, when it is least.
  function watchEdge() {
    var ranges = spans();
    // Not while it waits to start or to go on: then data only piles up.
    if (video.paused || video.readyState < 3 || !ranges.length) return;
    var now = performance.now();
    lows.push([now, ranges[ranges.length - 1][1] - video.currentTime]);
    while (lows.length && lows[0][0] < now - 2000) lows.shift();
  }
  function holdEdge() {
    var ranges = spans();
    if (video.paused || !ranges.length) return;
    var time = video.currentTime, end = ranges[ranges.length - 1][1], ahead = end - time, i;
    if (hls) return;  // the HLS player keeps its own distance
    if (!mse) {
      if (video.readyState < 2) return;
      // The browser's own player: what piles up ahead is played faster. It
      // is never skipped: in a stream without an index a jump makes the
      // player wait for a key frame past the place (Firefox seconds, while
      // a new backlog piles up).
      if (ahead > 3) video.playbackRate = 1.5;
      else if (ahead > 0.8) video.playbackRate = 1.25;
      else if (ahead > 0.35) video.playbackRate = 1.1;
      else if (ahead < 0.2) video.playbackRate = 1;
      return;
    }
    // Stuck before a hole in what is buffered (pictures lost on the way, a
    // key frame after them), or for seconds with far more data in hand than
    // the browser's player waits for before it goes on (a jump makes it
    // wait anew, so only then): go on with the newest pictures.
    var newest = ranges[ranges.length - 1][0];
    stuck = video.readyState < 3 && ahead > 3.5 ? stuck + 1 : 0;
    if ((newest > time && video.readyState < 3) || stuck >= 8) {
      video.currentTime = Math.max(newest, end - margin);
      stuck = 0;
      return;
    }
    if (video.readyState < 2) return;
    var now = performance.now();
    if (now - calmSince > 60000) {
      margin = Math.max(0.04, margin - 0.005);
      calmSince = now;
    }
    if (!lows.length || lows[lows.length - 1][0] - lows[0][0] < 1000) return;
    // The least of the last seconds goes to the margin: a little more is
    // played off faster, much more skipped (the browser's player then takes
    // a moment to fill up again); less is built up slower.
    var low = Infinity;
    for (i = 0; i < lows.length; ++i) low = Math.min(low, lows[i][1]);
    if (low - margin > 0.35) {
      video.currentTime = end - margin;
      lows = [];
      return;
    }
    var rate = 1 + Math.max(-0.03, Math.min(0.25, low - margin));
    if (Math.abs(rate - video.playbackRate) >= 0.005) video.playbackRate = rate;
  }

  function play() {
    video.addEventListener("playing", function () {
      say("Live");
      lows = [];
    });
    video.addEventListener("waiting", function () {
      var ranges = spans();
      if (!mse || video.seeking || video.paused || !ranges.length) return;
      // Playback ran dry. When the data did not come in time, keep a little
      // more in hand from now on, up to 0.3 s. When the data was there, the
      // browser's player may want more in hand than it had (its sound output
      // holds some, Chromium's about 0.15 s), up to 0.2 s; beyond that it
      // only lacked the time to play it, which no margin mends.
      var ahead = ranges[ranges.length - 1][1] - video.currentTime;
      if (ahead < margin / 2) margin = Math.min(0.3, margin + 0.02);
      else margin = Math.max(margin, Math.min(0.2, ahead + 0.05));
      lows = [];
      calmSince = performance.now();
    });
    video.addEventListener("error", function () { if (!retry) failed(); });
    video.addEventListener("ended", failed);
    video.addEventListener("volumechange", showUnmute);
    unmute.addEventListener("click", function () {
      video.muted = false;
      video.play().catch(function () {});
    });
    setInterval(function () {
      holdEdge();
      if (video.paused || video.readyState < 2) return;
      // A stream that no longer moves is started again.
      if (video.currentTime === lastTime) {
        if (++still >= 20) { say("The broadcast is not running."); restart(0); }
      } else {
        still = 0;
      }
      lastTime = video.currentTime;
    }, 250);
    showUnmute();
    start();
  }

  var relay = video.getAttribute("data-hls");
  if (relay && !/local/.test(hash)) playRelay(relay, function () { choose(play); });
  else choose(play);
})();
