#!/usr/bin/env bash
# Soak check: the writer reaches the simulated device through zelbor_relay,
# which loses a share of the datagrams both ways and takes the link down for
# a few outages; the reader lists on the device directly. Runs for
# SOAK_SECONDS (default 600), on an ideal bus unless SOAK_BITRATE is given
# (a timed bus cuts the batch after an outage short, by design). Checks that
# nothing crashed, that resident memory stayed flat after the first minute,
# that every batch counter the writer sent was listed exactly once and in
# order, and that every frame the device delivered was listed. Prints a table.
set -uo pipefail
cd "$(dirname "$0")/.."
build="${BUILD:-build}"
seconds="${SOAK_SECONDS:-600}"
loss="${SOAK_LOSS:-0.05}"
outages="${SOAK_OUTAGES:-60+2 200+5 400+15}"
address="${SOAK_ADDRESS:-127.0.77.1}"
relay_address="${SOAK_RELAY_ADDRESS:-127.0.77.2}"
settle="${SOAK_SETTLE_SECONDS:-60}"
work="$(mktemp -d)"
trap 'kill -KILL $writer $reader $relay $sim 2>/dev/null; rm -rf "$work"' EXIT

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

"$build/sim/zelbor_sim" --address "$address" --bitrate "${SOAK_BITRATE:-0}" >"$work/sim.out" 2>&1 &
sim=$!
outage_options=()
for outage in $outages; do outage_options+=(--outage "$outage"); done
"$build/relay/zelbor_relay" --listen "$relay_address" --device "$address" --loss "$loss" \
  "${outage_options[@]}" >"$work/relay.out" 2>&1 &
relay=$!
for _ in $(seq 100); do
  grep -q serving "$work/sim.out" && grep -q relaying "$work/relay.out" && break
  sleep 0.05
done
"$build/reader/raw_can_reader" "$address" "$address" 1 >"$work/reader.out" 2>"$work/reader.err" &
reader=$!
sleep 0.3
"$build/writer/raw_can_writer" "$relay_address" "$relay_address" 0 >"$work/writer.out" \
  2>"$work/writer.err" &
writer=$!

echo "elapsed_s reader_rss_kib writer_rss_kib sim_rss_kib" >"$work/rss"
start=$(date +%s)
crashed=""
while :; do
  elapsed=$(($(date +%s) - start))
  for pid in $sim $relay $reader $writer; do
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
kill -INT "$relay"; wait "$relay"
kill -INT "$sim"; wait "$sim"; sim_status=$?

delivered=$(sed -n 's/^channel 1: frames in [0-9]*, frames out \([0-9]*\),.*/\1/p' "$work/sim.out")
sent=$(sed -n 's/^channel 0: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")
listed=$(grep -c "CAN-ID" "$work/reader.out")
# The writer's batch counters, from frame 0x3E8 of each batch: each once, in order.
read -r batches counter_faults <<<"$(awk 'function hex(text, i, v) {
    for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
    return v
  }
  $3 == "$3E8:" {
    c = hex(substr($7, 2) substr($6, 2) substr($5, 2) substr($4, 2))
    if (c != n) faults++
    n = c + 1; batches++
  } END { printf "%d %d", batches, faults }' "$work/reader.out")"
rss_range() { # column: max - value at the settle time, after the first minute
  awk -v col="$1" -v settle="$settle" 'NR > 1 && $1 >= settle {
      if (base == "") base = $col; if ($col > max) max = $col }
    END { printf "%d %d %d", base, max, max - base }' "$work/rss"
}
read -r reader_base reader_max reader_growth <<<"$(rss_range 2)"
read -r writer_base writer_max writer_growth <<<"$(rss_range 3)"

verdict=pass
[ -n "$crashed" ] && verdict=fail
[ "$writer_status" -eq 130 ] && [ "$reader_status" -eq 130 ] && [ "$sim_status" -eq 0 ] || verdict=fail
[ "$listed" = "$delivered" ] && [ "$listed" = "$sent" ] || verdict=fail
[ "$counter_faults" -eq 0 ] && [ "$((batches * 50))" = "$sent" ] || verdict=fail
[ "$reader_growth" -le 256 ] && [ "$writer_growth" -le 256 ] || verdict=fail
# The reader lists on the device directly and may name no loss; the writer,
# behind the lossy link, may only name its own.
loss_line='^raw_can_(reader|writer): [0-9]+ frames lost, [0-9]+ control records lost$'
grep -qvE "$loss_line" "$work/reader.err" "$work/writer.err" && verdict=fail
[ -s "$work/reader.err" ] && verdict=fail
reader_loss=$(sed -n 's/^raw_can_reader: //p' "$work/reader.err")
writer_loss=$(sed -n 's/^raw_can_writer: //p' "$work/writer.err")

cat <<TABLE
| figure | value |
|--------|-------|
| duration | ${seconds} s; writer's link: ${loss} of datagrams lost each way, outages ${outages} (start+length, s) |
| frames the writer put on the bus | ${sent} |
| frames the device delivered to the reader | ${delivered} |
| frames the reader listed | ${listed} |
| batches listed / counters out of order, repeated or missing | ${batches} / ${counter_faults} |
| relay | $(grep -E '^to (device|host)' "$work/relay.out" | tr '\n' ';') |
| device events | $(grep -c 'away (silent' "$work/sim.out") times away, $(grep -cE 'back' "$work/sim.out") back |
| loss named by reader / writer | ${reader_loss:-none} / ${writer_loss:-none} |
| reader resident memory after ${settle} s / max / growth (KiB) | ${reader_base} / ${reader_max} / ${reader_growth} |
| writer resident memory after ${settle} s / max / growth (KiB) | ${writer_base} / ${writer_max} / ${writer_growth} |
| exit statuses writer / reader / device | ${writer_status} / ${reader_status} / ${sim_status} |
| crashed | ${crashed:-none} |
| verdict | ${verdict} |
TABLE
[ "$verdict" = pass ]
