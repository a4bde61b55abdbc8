#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest: its own quiet prefix per build
# directory, no proxies, a provider simulator on loopback, and stderr kept off
# CTest's pipe (Wine's background processes would hold it open).
set -u
exe="$1"; shift
build_dir="${PARLY_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$(basename "$build_dir")" in
  win64) loader=/usr/lib/wine/wine64 ;;
  *) loader=/usr/lib/wine/wine ;;
esac
export WINELOADER="$loader"
# A test that changes the prefix's own settings (the proxy and HTTPS tests) names a prefix of its own. The others
# run side by side (ctest -j), each in a free prefix of the build held by a lock until it ends: the first free of
# wineprefix, wineprefix-1, ... Children close the lock's descriptor, so a lingering wineserver never holds it.
prefix_name="${PARLY_WINEPREFIX_NAME:-}"
if [ -z "$prefix_name" ]; then
  for slot in 0 1 2 3 4 5 6 7; do
    name=wineprefix
    [ "$slot" -eq 0 ] || name="wineprefix-$slot"
    exec 8>"$build_dir/$name.slot"
    if flock -n 8; then prefix_name="$name"; break; fi
    exec 8>&-
  done
  [ -n "$prefix_name" ] || { exec 8>"$build_dir/wineprefix.slot"; flock 8; prefix_name=wineprefix; }
fi
export WINEPREFIX="$build_dir/$prefix_name"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
"$root/scripts/wine-prefix.sh" "$loader" "$WINEPREFIX" 8>&- || exit 1

tmp="$(mktemp -d)"
trap 'kill ${sim_pid:-} ${proxy_pid:-} 2>/dev/null; wait ${sim_pid:-} ${proxy_pid:-} 2>/dev/null; cat "$tmp/stderr" >&2 2>/dev/null; rm -rf "$tmp"' EXIT
# A time-out's kill still prints what the program wrote so far.
trap 'cat "$tmp/stdout" 2>/dev/null; exit 143' TERM INT
# With PARLY_SIM_TLS_DIR the simulator also serves HTTPS: listener 0 the good certificate, 1 the misnamed one,
# 2 the one from an untrusted CA, 3 the made-up names the proxy tests reach (scripts/make-test-certs.sh), 4 the
# good certificate on a server that speaks only TLS 1.0 and 1.1.
tls=()
if [ -n "${PARLY_SIM_TLS_DIR:-}" ]; then
  for n in localhost other-name stranger proxied; do tls+=(--tls "$PARLY_SIM_TLS_DIR/$n.pem" "$PARLY_SIM_TLS_DIR/$n.key"); done
  tls+=(--tls-legacy "$PARLY_SIM_TLS_DIR/localhost.pem" "$PARLY_SIM_TLS_DIR/localhost.key")
fi
if [ -z "${PARLY_SIM_PORT:-}" ]; then
  python3 "$root/tools/simulator/parly_sim.py" --port 0 --port-file "$tmp/port" --quiet "${tls[@]}" \
    >/dev/null 2>"$tmp/sim.err" </dev/null 8>&- &
  sim_pid=$!
  for _ in $(seq 1 200); do [ -s "$tmp/port" ] && break; kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
  [ -s "$tmp/port" ] || { echo "simulator did not start" >&2; cat "$tmp/sim.err" >&2; exit 1; }
  export PARLY_SIM_PORT="$(cat "$tmp/port")"
fi
# With PARLY_PROXY_TOOL the forward proxy and the keep-alive server of tools/proxy run beside the simulator.
if [ -n "${PARLY_PROXY_TOOL:-}" ]; then
  python3 "$root/tools/proxy/parly_proxy.py" --port-file "$tmp/proxy-ports" >/dev/null 2>"$tmp/proxy.err" </dev/null 8>&- &
  proxy_pid=$!
  for _ in $(seq 1 200); do [ -s "$tmp/proxy-ports" ] && break; kill -0 "$proxy_pid" 2>/dev/null || break; sleep 0.05; done
  [ -s "$tmp/proxy-ports" ] || { echo "proxy did not start" >&2; cat "$tmp/proxy.err" >&2; exit 1; }
  read -r PARLY_PROXY_PORT PARLY_STALE_PORT <"$tmp/proxy-ports"
  export PARLY_PROXY_PORT PARLY_STALE_PORT
fi
export PARLY_SOURCE_DIR="$root"
name="$(basename "$exe")"
case "$name" in
  test_*.exe)
    # The test programs write unbuffered, so one that printed nothing never reached its main:
    # that is Wine failing to start it, and it gets one more start.
    for attempt in 1 2; do
      "$loader" "$exe" "$@" >"$tmp/stdout" 2>"$tmp/stderr" 8>&-
      rc=$?
      cat "$tmp/stdout"
      [ "$rc" -ne 0 ] && [ ! -s "$tmp/stdout" ] && [ "$attempt" -eq 1 ] || break
      echo "$name printed nothing and exited with code $rc; starting it again" >&2
      cat "$tmp/stderr" >&2
    done ;;
  *)
    "$loader" "$exe" "$@" 2>"$tmp/stderr" 8>&-
    rc=$? ;;
esac
[ "$rc" -eq 0 ] || echo "$name exited with code $rc" >&2
exit $rc
