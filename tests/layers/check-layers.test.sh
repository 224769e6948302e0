#!/usr/bin/env bash
# The layering check against small trees of its own: downward includes pass,
# and each kind of upward or sideways include fails, naming the file, the line
# and the include. Usage: check-layers.test.sh CHECK_LAYERS
set -uo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# put TREE PATH LINE...: a file of the given lines in the tree.
put() {
    local tree=$1 path=$2
    shift 2
    mkdir -p "$(dirname "$tree/$path")"
    printf '%s\n' "$@" > "$tree/$path"
}

# A tree that keeps every rule: each folder on those below it, a file beside
# its includer, a system header, the toolkit from outside the interface, and
# tests on anything.
good_tree() {
    local tree=$1
    put "$tree" app/Main.cpp '#include "app/Main.h"' '#include "ui/Dialog.h"' \
        '#include "settings/Record.h"' '#include "media/Tap.h"' '#include <QString>'
    put "$tree" app/Main.h '#include "Local.h"'
    put "$tree" ui/Dialog.h '#include "ui/toolkit/Builder.h"' '#include "media/Tap.h"'
    put "$tree" ui/toolkit/Builder.h '#include "platform/Clock.h"'
    put "$tree" reqcheck/Check.cpp '#include "ui/toolkit/Builder.h"' '#include "wmvcore/Version.h"'
    put "$tree" media/Tap.h '#  include "capture/Grabber.h"' '#include "wmvcore/wmvcore.h"'
    put "$tree" capture/Grabber.h '#include "platform/Clock.h"'
    put "$tree" wmvcore/Encoder.h '#include "codec/Rows.h"'
    put "$tree" relay/Encoder.h '#include "codec/Rows.h"'
    put "$tree" codec/Rows.h '#include "platform/Clock.h"'
    put "$tree" settings/Record.h '#include "diag/Trail.h"'
    put "$tree" tests/media/TapTest.cpp '#include "app/Main.h"' '#include "tests/support/Wait.h"'
    put "$tree" platform/Clock.h '#include <cstdint>'
}

good_tree "$work/good"
if ! output=$("$check" "$work/good" 2>&1); then
    echo "FAIL: a tree that keeps the rules was refused:"
    echo "$output"
    failures=$((failures + 1))
fi

#      file                  its include                  what the message names
cases=(
    "media/Caption.cpp       settings/AppSettings.h       media may not include settings"
    "settings/Record.cpp     ui/Dialog.h                  settings may not include ui"
    "media/Tap.cpp           app/Main.h                   media may not include app"
    "capture/Grabber.cpp     media/Tap.h                  capture may not include media"
    "wmvcore/Writer.cpp      diag/Trail.h                 wmvcore may not include diag"
    "ui/toolkit/Menus.cpp    ui/Dialog.h                  ui/toolkit may not include ui"
    "reqcheck/Check2.cpp     ui/Dialog.h                  reqcheck may not include ui"
    "platform/Event.cpp      web/Server.h                 platform may not include web"
    "codec/Rows.cpp          wmvcore/Writer.h             codec may not include wmvcore"
    "relay/Encoder.cpp       wmvcore/Encoder.h            relay may not include wmvcore"
    "newfolder/Thing.cpp     platform/Clock.h             its folder has no row"
)
for row in "${cases[@]}"; do
    read -r file header expected <<< "$row"
    tree="$work/${file//\//_}"
    good_tree "$tree"
    put "$tree" "$file" '// a file' '' "#include \"$header\""
    if output=$("$check" "$tree" 2>&1); then
        echo "FAIL: $file including $header passed"
        failures=$((failures + 1))
    elif [[ "$output" != *"$file"* || "$output" != *"$expected"* ]]; then
        echo "FAIL: $file including $header: the message does not name it:"
        echo "$output"
        failures=$((failures + 1))
    elif [[ "$expected" != *"no row"* && "$output" != *"$file:3:"*"\"$header\""* ]]; then
        echo "FAIL: $file including $header: no line number and include in:"
        echo "$output"
        failures=$((failures + 1))
    fi
done

[ "$failures" -eq 0 ] && echo "layering check: $((${#cases[@]} + 1)) trees as expected"
exit $((failures > 0))
