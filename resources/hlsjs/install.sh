#!/usr/bin/env bash
# Installs hls.js from the npm registry exactly as the lockfile says into
# WORK/node_modules and puts its player, hls.min.js, into the program folder,
# from where the web server hands it to the viewers' page. Does nothing more
# when WORK already holds what this lockfile names.
#   install.sh WORK PROGRAM_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
program=$2
mkdir -p "$work"
if ! [ -f "$work/node_modules/.package-lock.json" ] || ! cmp -s "$here/package-lock.json" "$work/package-lock.json"; then
    cp "$here/package.json" "$here/package-lock.json" "$work/"
    (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
fi
cp "$work/node_modules/hls.js/dist/hls.min.js" "$program/hls.min.js"
