#pragma once
// The rules a low-latency HLS media playlist of ours keeps, checked the way a
// strict client would read it: what the test finds wrong, one line each.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace wmvtest {

struct HlsPlaylistFacts {
    std::uint64_t mediaSequence = 0;
    std::uint64_t lastPart = 0;  // the number of the newest part listed
    bool anyPart = false;
    bool ended = false;
    std::size_t segments = 0;  // whole ones listed
    std::string preloadHint;   // its URI
};

// "NAME=value" out of an attribute list (a quoted value without its quotes).
inline std::string HlsAttribute(const std::string& line, const std::string& name) {
    std::size_t at = line.find(name + "=");
    while (at != std::string::npos && at > 0 && line[at - 1] != ':' && line[at - 1] != ',')
        at = line.find(name + "=", at + 1);
    if (at == std::string::npos) return "";
    at += name.size() + 1;
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find(',', at) - at);
}

// The number in "partN.m4s..." (or -1).
inline long long HlsPartNumber(const std::string& uri) {
    if (uri.rfind("part", 0) != 0) return -1;
    return std::atoll(uri.c_str() + 4);
}

// The faults of text; previous (if given) is the same playlist's last
// reading, which this one must not go back from.
inline std::vector<std::string> CheckHlsPlaylist(const std::string& text, HlsPlaylistFacts* facts,
                                                 const HlsPlaylistFacts* previous = nullptr) {
    std::vector<std::string> faults;
    std::istringstream lines(text);
    std::string line;
    double target = 0, partTarget = 0, holdBack = 0, partsSum = 0;
    int partsInSegment = 0;
    bool canBlock = false, map = false, firstOfSegment = true, segmentHasParts = false;
    long long expectPart = -1;
    *facts = {};
    if (!std::getline(lines, line) || line != "#EXTM3U") faults.push_back("no #EXTM3U first");
    while (std::getline(lines, line)) {
        if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0) {
            target = std::atof(line.c_str() + 22);
        } else if (line.rfind("#EXT-X-PART-INF:", 0) == 0) {
            partTarget = std::atof(HlsAttribute(line, "PART-TARGET").c_str());
        } else if (line.rfind("#EXT-X-SERVER-CONTROL:", 0) == 0) {
            canBlock = HlsAttribute(line, "CAN-BLOCK-RELOAD") == "YES";
            holdBack = std::atof(HlsAttribute(line, "PART-HOLD-BACK").c_str());
        } else if (line.rfind("#EXT-X-MEDIA-SEQUENCE:", 0) == 0) {
            facts->mediaSequence = std::strtoull(line.c_str() + 22, nullptr, 10);
        } else if (line.rfind("#EXT-X-MAP:", 0) == 0) {
            map = !HlsAttribute(line, "URI").empty();
        } else if (line.rfind("#EXT-X-PART:", 0) == 0) {
            const double duration = std::atof(HlsAttribute(line, "DURATION").c_str());
            const long long number = HlsPartNumber(HlsAttribute(line, "URI"));
            if (duration <= 0 || duration > partTarget + 0.0005)
                faults.push_back("part of " + std::to_string(duration) +
                                 " s over the target: " + line);
            if (firstOfSegment && HlsAttribute(line, "INDEPENDENT") != "YES")
                faults.push_back("a segment's first part is not independent: " + line);
            if (expectPart >= 0 && number != expectPart)
                faults.push_back("part " + std::to_string(number) + " after " +
                                 std::to_string(expectPart - 1));
            expectPart = number + 1;
            facts->lastPart = static_cast<std::uint64_t>(number);
            facts->anyPart = true;
            partsSum += duration;
            ++partsInSegment;
            firstOfSegment = false;
            segmentHasParts = true;
        } else if (line.rfind("#EXTINF:", 0) == 0) {
            const double duration = std::atof(line.c_str() + 8);
            if (std::lround(duration) > target || duration <= 0)
                faults.push_back("segment of " + std::to_string(duration) + " s, target " +
                                 std::to_string(target));
            // Each duration is written to the millisecond.
            if (segmentHasParts && std::fabs(partsSum - duration) > 0.0005 * (partsInSegment + 1))
                faults.push_back("segment of " + std::to_string(duration) +
                                 " s whose parts add to " + std::to_string(partsSum));
            if (!std::getline(lines, line) || line.rfind("seg", 0) != 0)
                faults.push_back("no segment address after #EXTINF");
            ++facts->segments;
            partsSum = 0;
            partsInSegment = 0;
            firstOfSegment = true;
            segmentHasParts = false;
        } else if (line.rfind("#EXT-X-PRELOAD-HINT:", 0) == 0) {
            facts->preloadHint = HlsAttribute(line, "URI");
            if (HlsAttribute(line, "TYPE") != "PART") faults.push_back("a hint not of a part");
            if (facts->anyPart &&
                HlsPartNumber(facts->preloadHint) != static_cast<long long>(facts->lastPart) + 1)
                faults.push_back("the hint " + facts->preloadHint + " is not the part after " +
                                 std::to_string(facts->lastPart));
        } else if (line == "#EXT-X-ENDLIST") {
            facts->ended = true;
        }
    }
    if (target < 1) faults.push_back("no target duration");
    if (partTarget <= 0) faults.push_back("no part target");
    if (!canBlock) faults.push_back("no blocking reload");
    if (holdBack < 2 * partTarget) faults.push_back("part hold-back under two part targets");
    if (!map) faults.push_back("no init segment");
    if (!facts->ended && facts->preloadHint.empty()) faults.push_back("no preload hint");
    if (previous && facts->mediaSequence < previous->mediaSequence)
        faults.push_back("the media sequence went back");
    if (previous && facts->anyPart && previous->anyPart && facts->lastPart < previous->lastPart)
        faults.push_back("the newest part went back");
    return faults;
}

}  // namespace wmvtest
