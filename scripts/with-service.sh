#!/usr/bin/env bash
# Runs a command beside a freshly started reference service:
#
#   with-service.sh SERVICE_BINARY [service args...] -- COMMAND [args...]
#
# The service gets a free loopback port and a scratch database; the command
# finds the port in KELMAR_SERVICE_PORT. The service is stopped with SIGTERM
# afterwards, and its log is shown when the command fails. Exits with the
# command's status.
set -euo pipefail

usage() {
  echo "usage: with-service.sh SERVICE_BINARY [service args...] -- COMMAND [args...]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
service=$1
shift
service_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  service_args+=("$1")
  shift
done
[ $# -ge 2 ] || usage
shift

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmar-service.XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The first line on the service's standard output names its port; a pipe lets
# us wait for exactly that line.
mkfifo "$work/stdout"
"$service" --port 0 --db "$work/service.db" "${service_args[@]}" \
  >"$work/stdout" 2>"$work/service.log" </dev/null &
pid=$!
exec 3<"$work/stdout"
line=
if ! IFS= read -r -t 30 line <&3 || [[ "$line" != "listening on "* ]]; then
  echo "with-service.sh: the service did not start (${line:-no output})" >&2
  cat "$work/service.log" >&2
  exit 1
fi
export KELMAR_SERVICE_PORT=${line##*:}

status=0
"$@" 3<&- || status=$?
if [ "$status" -ne 0 ]; then
  echo "with-service.sh: the command failed with status $status; the service's log:" >&2
  tail -n 100 "$work/service.log" >&2
fi
exit "$status"
