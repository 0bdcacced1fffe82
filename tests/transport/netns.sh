#!/bin/sh
# Runs a test binary inside a new network namespace where loopback is the only interface
# and carries all multicast; with "bare" first, loopback has no multicast route, so a
# multicast send finds none. Exits 77 (skip) where no namespace can be made.
if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot make a private network namespace (unshare -n needs root or CAP_SYS_ADMIN)"
    exit 77
fi
if [ "$1" = bare ]; then
    shift
    exec unshare -n sh -c 'ip link set lo up && ZUN_TEST_NETNS=bare exec "$@"' netns "$@"
fi
exec unshare -n sh -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo && ZUN_TEST_NETNS=1 exec "$@"' netns "$@"
