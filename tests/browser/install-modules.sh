#!/usr/bin/env bash
# Installs the browser tests' npm packages (puppeteer-core, without a browser
# of its own: Debian's Chromium and Firefox ESR are used) into
# DEST/node_modules, from the npm registry and exactly as the lockfile says.
# Does nothing when DEST already holds what this lockfile names.
#   install-modules.sh DEST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=$1
mkdir -p "$dest"
if [ -f "$dest/node_modules/.package-lock.json" ] && cmp -s "$here/package-lock.json" "$dest/package-lock.json"; then
    exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$dest/"
cd "$dest"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
