#!/usr/bin/env bash
# Runs a command with one CPU-bound process per core beside it, as a build
# would be, and stops them when the command ends (or is interrupted), so
# nothing is left behind. The command's status is the script's.
# Usage: scripts/busy.sh COMMAND [ARGUMENT...]
set -uo pipefail
spinners=()
stop_spinners() {
  if [ "${#spinners[@]}" -gt 0 ]; then
    kill "${spinners[@]}" 2>/dev/null
    wait "${spinners[@]}" 2>/dev/null
  fi
  spinners=()
}
trap 'stop_spinners; exit 130' INT
trap 'stop_spinners; exit 143' TERM
trap stop_spinners EXIT
for _ in $(seq "$(nproc)"); do
  # exec: the loop is the process killed, not a shell around it.
  bash -c 'exec bash -c "while :; do :; done"' &
  spinners+=($!)
done
echo "busy.sh: ${#spinners[@]} CPU-bound processes beside: $*" >&2
"$@"
status=$?
stop_spinners
exit "$status"
