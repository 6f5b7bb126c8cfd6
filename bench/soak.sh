#!/usr/bin/env bash
# Soak check: writer and reader through the simulated device with a share of
# datagrams dropped, for SOAK_SECONDS (default 600). Checks that nothing
# crashed, that resident memory stayed flat after the first minute, and that
# every frame the device delivered was listed exactly once. Prints a table.
set -uo pipefail
cd "$(dirname "$0")/.."
build="${BUILD:-build}"
seconds="${SOAK_SECONDS:-600}"
drop="${SOAK_DROP:-0.01}"
address="${SOAK_ADDRESS:-127.0.77.1}"
settle="${SOAK_SETTLE_SECONDS:-60}"
work="$(mktemp -d)"
trap 'kill -KILL $writer $reader $sim 2>/dev/null; rm -rf "$work"' EXIT

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

"$build/sim/zelbor_sim" --address "$address" --drop "$drop" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.out" && break; sleep 0.05; done
"$build/reader/raw_can_reader" "$address" "$address" 1 >"$work/reader.out" 2>"$work/reader.err" &
reader=$!
sleep 0.3
"$build/writer/raw_can_writer" "$address" "$address" 0 >"$work/writer.out" 2>"$work/writer.err" &
writer=$!

echo "elapsed_s reader_rss_kib writer_rss_kib sim_rss_kib" >"$work/rss"
start=$(date +%s)
crashed=""
while :; do
  elapsed=$(( $(date +%s) - start ))
  for pid in $sim $reader $writer; do
    kill -0 "$pid" 2>/dev/null || crashed="$crashed $pid"
  done
  [ -n "$crashed" ] && break
  echo "$elapsed $(rss_kib $reader) $(rss_kib $writer) $(rss_kib $sim)" >>"$work/rss"
  [ "$elapsed" -ge "$seconds" ] && break
  sleep 5
done

kill -INT "$writer"; wait "$writer"; writer_status=$?
sleep 0.5
kill -INT "$reader"; wait "$reader"; reader_status=$?
kill -INT "$sim"; wait "$sim"; sim_status=$?

delivered=$(sed -n 's/^channel 1: frames in [0-9]*, frames out \([0-9]*\),.*/\1/p' "$work/sim.out")
sent=$(sed -n 's/^channel 0: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")
dropped=$(sed -n 's/^channel 1: .*dropped \([0-9]*\) .*/\1/p' "$work/sim.out")
listed=$(grep -c "CAN-ID" "$work/reader.out")
# A frame is its identifier and its batch counter; none may appear twice.
duplicates=$(awk '/CAN-ID/ {print $3, $4, $5, $6, $7}' "$work/reader.out" | sort | uniq -d | wc -l)
rss_range() {  # column: max - value at the settle time, after the first minute
  awk -v col="$1" -v settle="$settle" 'NR > 1 && $1 >= settle {
      if (base == "") base = $col; if ($col > max) max = $col }
    END { printf "%d %d %d", base, max, max - base }' "$work/rss"
}
read -r reader_base reader_max reader_growth <<<"$(rss_range 2)"
read -r writer_base writer_max writer_growth <<<"$(rss_range 3)"

verdict=pass
[ -n "$crashed" ] && verdict=fail
[ "$writer_status" -eq 130 ] && [ "$reader_status" -eq 130 ] && [ "$sim_status" -eq 0 ] || verdict=fail
[ "$listed" = "$delivered" ] && [ "$duplicates" -eq 0 ] || verdict=fail
[ "$reader_growth" -le 256 ] && [ "$writer_growth" -le 256 ] || verdict=fail
# With datagrams dropped on purpose the programs name their loss on stderr
# when they end; anything else there is a failure.
loss_line='^raw_can_(reader|writer): [0-9]+ frames lost, [0-9]+ control records lost$'
grep -qvE "$loss_line" "$work/reader.err" "$work/writer.err" && verdict=fail
reader_loss=$(sed -n 's/^raw_can_reader: //p' "$work/reader.err")
writer_loss=$(sed -n 's/^raw_can_writer: //p' "$work/writer.err")

cat <<TABLE
| figure | value |
|--------|-------|
| duration | ${seconds} s, ${drop} of datagrams to hosts dropped |
| frames the writer put on the bus | ${sent} |
| frames the device delivered to the reader | ${delivered} (dropped ${dropped}) |
| frames the reader listed | ${listed} |
| frames listed twice | ${duplicates} |
| loss named by reader / writer | ${reader_loss:-none} / ${writer_loss:-none} |
| reader resident memory after ${settle} s / max / growth (KiB) | ${reader_base} / ${reader_max} / ${reader_growth} |
| writer resident memory after ${settle} s / max / growth (KiB) | ${writer_base} / ${writer_max} / ${writer_growth} |
| exit statuses writer / reader / device | ${writer_status} / ${reader_status} / ${sim_status} |
| crashed | ${crashed:-none} |
| verdict | ${verdict} |
TABLE
[ "$verdict" = pass ]
