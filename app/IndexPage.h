#pragma once
// The page every broadcast start writes for viewers: a player that opens the
// stream at streamUrl + "/MyFile.wma", and for browsers without that player a
// video element whose script (player.js, served beside the page) plays the
// best of the stream server's browser outputs the browser takes (WebM,
// fragmented MP4, HLS), or, when the broadcast is published to a relay whose
// HLS address hlsUrl names, that first; where the script cannot be had, the
// element plays streamUrl + "/live.webm" itself.

#include <string>

#include "web/ServedFiles.h"

// The page's bytes for the stream URL (line breaks as CR LF). invite: the
// token that the stream's addresses carry for the stream port's access
// rule ("" for none); the page goes only to viewers let in, and hands it on.
std::string IndexPageText(const std::string& streamUrl, const std::string& hlsUrl = "",
                          const std::string& invite = "");

// What the page adds for browsers without the player plug-in, right after
// the OBJECT's PARAMs: a state line, an unmute button, the opening tag of
// the video element and the script that plays the stream in it.
std::string BrowserPlayerText(const std::string& streamUrl, const std::string& hlsUrl = "",
                              const std::string& invite = "");

// "?invite=TOKEN" for a token, "" for none: what a viewer's address carries.
std::string InviteQuery(const std::string& invite);

// The viewers' page for a stream URL "http://host:port" (or https://): the
// same host and scheme on the web server's port.
std::string ViewerPageAddress(const std::string& streamUrl, int httpPort);

// Writes the page to path whole: viewers fetching it meanwhile get the old
// page or the new one, never a part. It may hold the invite token, so it is
// the user's alone. False when it could not be written.
bool WriteIndexPage(const std::string& path, const std::string& streamUrl,
                    const std::string& hlsUrl = "", const std::string& invite = "");

// What viewers may fetch from the web server: this page, the status pages,
// the scripts the page loads and help. Nothing else in the user's files
// folder (settings, lists, logs, dumps, a save's fresh files) is served.
ServedFiles ViewerFiles();
