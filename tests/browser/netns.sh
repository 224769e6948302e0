#!/usr/bin/env bash
# Runs a command in a network namespace of its own: loopback plus one
# interface with a private test address (and a global-scope IPv6 one from
# the documentation range), so that the program's connection
# URL names an address of this namespace and nothing leaves it.
#   netns.sh COMMAND [ARG...]
# Exits 77 when no namespace can be made (not root, or not allowed here).
set -euo pipefail
if [ "${LUMACAST_IN_NETNS:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "netns.sh: cannot make a network namespace (needs root)" >&2
        exit 77
    fi
    LUMACAST_IN_NETNS=1 exec unshare -n -- "$0" "$@"
fi
ip link set lo up
ip link add lcv0 type veth peer name lcv1
ip addr add 198.51.100.1/24 dev lcv0
ip -6 addr add 2001:db8:5::1/64 dev lcv0 nodad
ip link set lcv0 up
ip link set lcv1 up
exec "$@"
