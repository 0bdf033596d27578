#!/usr/bin/env bash
# scripts/install-deps.sh leaves the user's services alone: run twice while
# mosquitto and prometheus run (servers of this test's own on loopback
# ports), they still run; nothing is ever stopped or disabled, and while it
# installs no service may start (a policy-rc.d of its own, unless the machine
# has one, which is left as it is). apt-get, dpkg-query, systemctl,
# update-rc.d and sudo are stand-ins that record what they were asked, so
# that nothing is installed and no service of this machine is touched.
#
#   check-install-deps.sh WORK_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: check-install-deps.sh WORK_DIR}
status=0
fail() { echo "check-install-deps: $*" >&2; status=1; }
rm -rf "$work"
mkdir -p "$work/bin"

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
# What a package's start of its service would be told.
if [ -x "$KM7_POLICY_RC_D" ]; then
  "$KM7_POLICY_RC_D" mosquitto start; echo "policy $?" >>"$KM7_FAKE/calls"
else
  echo "policy none" >>"$KM7_FAKE/calls"
fi
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
chmod 0755 "$work"/bin/*

# One case: the packages absent before, extra dpkg listing lines, the
# option; runs the script twice and leaves the calls in $work/calls.
run_case() {
  local absent=$1 listing=$2 option=${3:-}
  tr ' ' '\n' <<<"$absent" >"$work/absent"
  printf '%s\n' "$listing" >"$work/listing"
  : >"$work/calls"
  for run in 1 2; do
    KM7_FAKE=$work KM7_POLICY_RC_D=$work/policy-rc.d PATH="$work/bin:$PATH" \
      "$top/scripts/install-deps.sh" $option >"$work/out-$run.txt" 2>&1 || fail "run $run ($option) failed: $(cat "$work/out-$run.txt")"
  done
}
stopped() { grep -E "^(systemctl|update-rc\.d)" "$work/calls" || true; }
policies() { grep "^policy" "$work/calls" | sort -u | tr '\n' ' '; }
installs() { grep "^apt-get install" "$work/calls" || true; }

# Everything there: nothing installed, nothing stopped.
run_case "" ""
[ -z "$(installs)" ] || fail "installed with nothing missing: $(installs)"
[ -z "$(stopped)" ] || fail "stopped with nothing missing: $(stopped)"

# mosquitto and prometheus were there, the proxies and exim4 were not: one
# install over two runs, during which no service may start, and afterwards
# neither a stop nor the policy is left behind.
run_case "tinyproxy dante-server exim4-daemon-heavy exim4-base" ""
[ "$(installs | wc -l)" = 1 ] || fail "expected one install over two runs: $(installs)"
[ "$(policies)" = "policy 101 " ] || fail "services could start during the install: $(policies)"
[ -z "$(stopped)" ] || fail "stopped or disabled: $(stopped)"
[ ! -e "$work/policy-rc.d" ] || fail "the install's policy-rc.d was left behind"

# The machine's own policy is neither replaced nor removed.
printf '#!/bin/sh\n# the machine'"'"'s own\nexit 0\n' >"$work/policy-rc.d"
chmod 0755 "$work/policy-rc.d"
cp "$work/policy-rc.d" "$work/policy-rc.d.before"
run_case "mosquitto" ""
cmp -s "$work/policy-rc.d" "$work/policy-rc.d.before" || fail "the machine's policy-rc.d was changed or removed"
[ "$(policies)" = "policy 0 " ] || fail "the machine's policy was not the one in force: $(policies)"
[ -z "$(stopped)" ] || fail "stopped or disabled: $(stopped)"
rm -f "$work/policy-rc.d"

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
