#!/usr/bin/env bash
# Runs a case against Wine's own Setup API: imports the case's registry.reg into the
# prefix (planting or removing devices), then runs the case with no DLL override.
# usage: wine-registry.sh CASE run-case.sh ARGS...
set -u
case_dir=$1
shift
unset WINEDLLOVERRIDES
wine regedit /S "$case_dir/registry.reg" || { echo "regedit could not import $case_dir/registry.reg"; exit 1; }
exec "$@"
