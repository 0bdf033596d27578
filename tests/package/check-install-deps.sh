#!/usr/bin/env bash
# scripts/install-deps.sh leaves the user's services alone: run twice while
# mosquitto and prometheus run (servers of this test's own on loopback
# ports), they still run, and only a service the run itself installed is
# stopped and disabled. apt-get, dpkg-query, systemctl, update-rc.d, sudo and
# the init scripts are stand-ins that record what they were asked, so that
# nothing is installed and no service of this machine is touched.
#
#   check-install-deps.sh WORK_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: check-install-deps.sh WORK_DIR}
status=0
fail() { echo "check-install-deps: $*" >&2; status=1; }
rm -rf "$work"
mkdir -p "$work/bin" "$work/init.d"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The user's running servers.
if command -v mosquitto >/dev/null && command -v prometheus >/dev/null; then
  mport=$(free_port)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mport" >"$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  pids+=($!)
  pport=$(free_port)
  printf 'global:\n  scrape_interval: 1h\n' >"$work/prometheus.yml"
  prometheus --config.file="$work/prometheus.yml" --web.listen-address="127.0.0.1:$pport" \
    --storage.tsdb.path="$work/tsdb" >"$work/prometheus.log" 2>&1 &
  pids+=($!)
else
  echo "check-install-deps: mosquitto or prometheus is not installed; only the recorded calls are checked"
fi

# The stand-ins. Every package counts as installed but those in $work/absent;
# "installing" one takes it off that list.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
# dpkg-query -W -f=FORMAT [PACKAGE]
pkg=${3:-}
if [ -z "$pkg" ]; then
  while read -r line; do [ -n "$line" ] && echo "$line"; done <"$KM7_FAKE/listing"
  exit 0
fi
grep -qxF "$pkg" "$KM7_FAKE/absent" && exit 1
printf 'install ok installed'
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$KM7_FAKE/calls"
[ "$1" = install ] || exit 0
for p in "$@"; do
  grep -vxF "$p" "$KM7_FAKE/absent" >"$KM7_FAKE/absent.new" || true
  mv "$KM7_FAKE/absent.new" "$KM7_FAKE/absent"
  [ "$p" = exim4-daemon-heavy ] && { grep -vxF exim4-base "$KM7_FAKE/absent" >"$KM7_FAKE/absent.new" || true; mv "$KM7_FAKE/absent.new" "$KM7_FAKE/absent"; }
done
exit 0
STUB
for tool in systemctl update-rc.d localedef; do
  printf '#!/bin/sh\necho "%s $*" >>"$KM7_FAKE/calls"\n' "$tool" >"$work/bin/$tool"
done
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
for svc in exim4 mosquitto prometheus tinyproxy danted; do
  printf '#!/bin/sh\necho "init.d %s $*" >>"$KM7_FAKE/calls"\n' "$svc" >"$work/init.d/$svc"
done
chmod 0755 "$work"/bin/* "$work"/init.d/*

# One case: the packages absent before, extra dpkg listing lines, the
# option; runs the script twice and leaves the calls in $work/calls.
run_case() {
  local absent=$1 listing=$2 option=${3:-}
  tr ' ' '\n' <<<"$absent" >"$work/absent"
  printf '%s\n' "$listing" >"$work/listing"
  : >"$work/calls"
  for run in 1 2; do
    KM7_FAKE=$work KM7_INIT_D=$work/init.d PATH="$work/bin:$PATH" \
      "$top/scripts/install-deps.sh" $option >"$work/out-$run.txt" 2>&1 || fail "run $run ($option) failed: $(cat "$work/out-$run.txt")"
  done
}
stopped() { grep -E "^(systemctl disable|init\.d [a-z0-9]+ stop|update-rc\.d)" "$work/calls" | grep -oE "exim4|mosquitto|prometheus|tinyproxy|danted" | sort -u | tr '\n' ' '; }
installs() { grep "^apt-get install" "$work/calls" || true; }

# Everything there: nothing installed, nothing stopped.
run_case "" ""
[ -z "$(installs)" ] || fail "installed with nothing missing: $(installs)"
[ -z "$(stopped)" ] || fail "stopped with nothing missing: $(stopped)"

# mosquitto and prometheus were there, the proxies and exim4 were not: only
# those three are stopped, once; the second run installs nothing.
run_case "tinyproxy dante-server exim4-daemon-heavy exim4-base" ""
[ "$(installs | wc -l)" = 1 ] || fail "expected one install over two runs: $(installs)"
[ "$(stopped)" = "danted exim4 tinyproxy " ] || fail "stopped '$(stopped)', expected danted exim4 tinyproxy"

# Only mosquitto was missing: prometheus, there before, is left alone.
run_case "mosquitto" ""
[ "$(stopped)" = "mosquitto " ] || fail "stopped '$(stopped)', expected only mosquitto"

# Another mail server: exim4 is not installed over it.
run_case "exim4-daemon-heavy exim4-base curl" "postfix install ok installed mail-transport-agent"
installs | grep -q exim4 && fail "exim4 installed over postfix: $(installs)"
installs | grep -q " curl" || fail "curl was not installed beside postfix: $(installs)"
grep -q "postfix is installed" "$work/out-1.txt" || fail "no word about keeping postfix: $(cat "$work/out-1.txt")"

# Building the package needs no mail server, broker or proxy.
run_case "exim4-daemon-heavy mosquitto tinyproxy cmake piuparts lintian" "" --package
for p in exim4-daemon-heavy mosquitto tinyproxy; do
  installs | grep -qw "$p" && fail "--package installed $p"
done
for p in cmake piuparts lintian; do
  installs | grep -qw "$p" || fail "--package did not install $p: $(installs)"
done

# The user's servers still run.
if [ ${#pids[@]} -gt 0 ]; then
  sleep 1
  for p in "${pids[@]}"; do
    kill -0 "$p" 2>/dev/null || fail "the server with PID $p stopped: $(cat "$work"/*.log | tail -5)"
  done
  python3 - "$mport" "$pport" <<'PY' || fail "a server no longer answers"
import socket, sys, time
for port in sys.argv[1:]:
    for attempt in range(120):  # a busy machine may take a while to start them
        try:
            socket.create_connection(("127.0.0.1", int(port)), timeout=10).close()
            break
        except OSError:
            time.sleep(0.5)
    else:
        sys.exit(1)
PY
fi
[ $status = 0 ] && echo "install-deps checks: passed"
exit $status
