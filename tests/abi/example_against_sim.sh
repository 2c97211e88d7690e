#!/usr/bin/env bash
# The example program, as a user runs it: against kv210-sim, every call succeeds
# and prints the simulated probe's identity and readings.
# usage: example_against_sim.sh KV210_SIM PROBE_INFO
set -euo pipefail
sim=$1 example=$2
out=$(mktemp)
coproc SIM { exec "$sim" --serial 0424K10123 --name KV210A; }
trap 'kill $SIM_PID 2>/dev/null; rm -f "$out"' EXIT
read -r -t 10 device <&"${SIM[0]}"
"$example" "$device" > "$out"
cat "$out"
expected=(
  'VEL_CreateProbe      rc=0'
  'VEL_Firmware         rc=0  "1.10 07/10"'
  'VEL_SerialNumber     rc=0  "0424K10123"'
  'VEL_ProbeName        rc=0  "KV210A"'
  'VEL_CalibrationDate  rc=0  "07/12/26"'
  'VEL_ReadBattery      rc=0  3.6000 V'
  'VEL_ReadTotalField   rc=0  5.0000'
  'VEL_ReadAxisField    rc=0  1.0000 2.0000 3.0000'
  'VEL_RemoveProbe      rc=0'
)
for line in "${expected[@]}"; do
  grep -qxF -- "$line" "$out" || { echo "missing: $line"; exit 1; }
done
