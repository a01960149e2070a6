#!/usr/bin/env bash
# Starts (start) or stops (stop) the wine server for a run of the Windows tests.
#
# One server for the whole run, started here with its standard streams closed: otherwise the
# server and wine's own service processes, which the first program starts, would come and go
# with the tests and inherit a test's output pipe, and a test started while the server shuts
# down would fail to connect.
# Usage: wine_server.sh start|stop WINE
set -euo pipefail
action=$1
wine=$2
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
export WINEDEBUG=-all
case "$action" in
  start)
    "$server" -p </dev/null >/dev/null 2>&1 || true  # one may run already
    # Creates the prefix on the first run and starts the services now, detached from any test.
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
