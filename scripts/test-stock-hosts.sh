#!/usr/bin/env bash
# Runs the tests that reach servers by the name "localhost" (the proxy tests and the checks that
# the client tries every address of a name) once more with the hosts file of a stock Debian
# installation, where "localhost" resolves to ::1 first, whatever this machine's /etc/hosts says.
# The file is bind-mounted over /etc/hosts in a private mount namespace (root only), against an
# existing build: nothing is rebuilt.
#   scripts/test-stock-hosts.sh [BUILD-DIR]     (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build/default}"
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$hosts"
tests='^WS(HTTPConnect|PAC|Proxy|SOCKS|SecureProxiedConnection|StreamTransport)[A-Za-z]*Test\.|Localhost'
unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$hosts" \
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300 -R "$tests"
