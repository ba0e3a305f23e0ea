# scripts/fleet --sp [N]: sourced by scripts/fleet once the Release build
# and the signing key are there (BUILD, KEYS, SIGN, N). Every desk runs
# "updater --update-sp --yes" at once against the one local PostgreSQL
# database; see scripts/fleet.

start_postgres
PSQL=(env PGPASSWORD=tr5kelvo PGOPTIONS="-c client_min_messages=warning" psql -X -q -tA -v ON_ERROR_STOP=1 -h 127.0.0.1 -p 5432 -U sa -d Quorvel)
# A desk that waits for the lock holds one connection, the desk that runs
# the script two (the script's and the journal's); room is left for others.
need=$((N + 40))
have=$(as_postgres psql -X -tA -p 5432 -d postgres -c 'SHOW max_connections')
if [ "$have" -lt "$need" ]; then
  echo "Raising PostgreSQL's max_connections from $have to $need (the server restarts)..."
  as_postgres psql -X -q -p 5432 -d postgres -c "ALTER SYSTEM SET max_connections = $need"
  as_root pg_ctlcluster "$PG_VERSION" main restart
  start_postgres
fi

FLEET="$BUILD/sp"
rm -rf "$FLEET"
mkdir -p "$FLEET/www/updates"
# The fleet's tables, its journal and its lock live in a schema of its own,
# so that nothing else on the server is touched.
SCHEMA="fleet_$(date +%s)_$$"
"${PSQL[@]}" -c "CREATE SCHEMA $SCHEMA"
export UPDATER_JOURNAL_SCHEMA="$SCHEMA" UPDATER_ODBC_DRIVER="PostgreSQL Unicode"
publish() {
  printf '%s' "$1" > "$FLEET/www/updates/LATEST.sql"
  # Released as the publisher does: a signed manifest whose serial grows.
  "$SIGN" release "$FLEET/www" --key "$KEYS/signing.key" --version 1.1.0 >/dev/null
}
publish "$(printf 'CREATE TABLE IF NOT EXISTS %s.seed (n int)\r\nGO\r\nINSERT INTO %s.seed VALUES (1)\r\n' "$SCHEMA" "$SCHEMA")"

for i in $(seq -w 1 "$N"); do
  inst="$FLEET/desk-$i"
  mkdir -p "$inst"
  cp "$BUILD/src/updater" "$inst/"
  printf '127.0.0.1\r\n' > "$inst/CONSTR.txt"
done

"$BUILD/tools/devserver" "$FLEET/www" "$FLEET/ca" > "$FLEET/server.out" 2>&1 &
SERVER=$!
trap 'kill "$SERVER" 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^listening ' "$FLEET/server.out" 2>/dev/null && break; sleep 0.1; done
HOST=$(sed -n 's/^listening //p' "$FLEET/server.out")
[ -n "$HOST" ] || { echo "The release server did not start:"; cat "$FLEET/server.out"; exit 1; }
export UPDATER_UPDATE_HOST="$HOST" UPDATER_CA_FILE="$FLEET/ca/ca.pem"

# One desk, named after its folder, as if on a machine of its own.
desk_sp() {
  local inst="$1"
  hostname "$(basename "$inst")"
  cd "$inst"
  local rc=0
  ./updater --update-sp --yes > updater.out 2>&1 || rc=$?
  echo "$rc" > updater.rc
  date +%s.%N > updater.end
}
export -f desk_sp

echo "Running the script from $N desks at once..."
start=$(date +%s.%N)
pids=()
for inst in "$FLEET"/desk-*; do
  unshare --pid --uts --fork --mount-proc bash -c "desk_sp '$inst'" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
last=$(cat "$FLEET"/desk-*/updater.end | sort -n | tail -n 1)
elapsed=$(awk -v a="$start" -v b="$last" 'BEGIN { printf "%.1f", b - a }')

failures=0
fail() { echo "  $1"; failures=$((failures + 1)); }
ran=0; applied=0; others=0
for inst in "$FLEET"/desk-*; do
  desk=$(basename "$inst")
  rc=$(cat "$inst/updater.rc" 2>/dev/null || echo none)
  if [ "$rc" != 0 ]; then
    others=$((others + 1)); fail "$desk: exit code $rc"
  elif grep -q 'already applied on ' "$inst/updater.out"; then
    applied=$((applied + 1))
  elif grep -q 'SQL Script Execution Completed Successfully!' "$inst/updater.out"; then
    ran=$((ran + 1))
  else
    others=$((others + 1)); fail "$desk: neither ran nor skipped the script"
  fi
done
rows=$("${PSQL[@]}" -c "SELECT count(*) FROM $SCHEMA.seed")
journal=$("${PSQL[@]}" -c "SELECT string_agg(outcome || ' from ' || desk, ', ') FROM $SCHEMA.updater_journal")
waited=$(grep -l 'Waiting for another desk' "$FLEET"/desk-*/updater.out | wc -l)
# Where the time went, from the desks' logs: when the updaters started,
# when they reached the database, how long the waiting ones waited.
stamp() { date -d "$1" +%s.%N; }
firsts() { for inst in "$FLEET"/desk-*; do grep -m1 "$1" "$inst/updater.log" | cut -d' ' -f1; done | sort; }
starts=$(firsts 'start: updater'); connects=$(firsts 'database: connected to')
spread() { awk -v a="$(stamp "$(head -n 1 <<< "$1")")" -v b="$(stamp "$(tail -n 1 <<< "$1")")" 'BEGIN { printf "%.1f", b - a }'; }
first_connect=$(awk -v a="$(stamp "$(head -n 1 <<< "$starts")")" -v b="$(stamp "$(head -n 1 <<< "$connects")")" \
  'BEGIN { printf "%.1f", b - a }')
waits=$(for inst in "$FLEET"/desk-*; do grep -m1 'took the lock after' "$inst/updater.log" || true; done |
  sed 's/.*after \([0-9]*\) ms.*/\1/' | sort -n |
  awk '{ w[NR] = $1 } END { if (NR) printf "%d desks waited %.1f to %.1f s (median %.1f s)", NR, w[1] / 1000, w[NR] / 1000, w[int((NR + 1) / 2)] / 1000; else printf "no desk waited" }')
[ "$ran" = 1 ] || fail "$ran desks ran the script, not 1"
[ "$applied" = $((N - 1)) ] || fail "$applied desks reported it applied, not $((N - 1))"
[ "$rows" = 1 ] || fail "the seed table holds $rows rows, not 1"
echo "$N desks: $ran ran the script, $applied reported it applied ($waited waited for the lock), $others other;" \
  "$rows seed row(s); the last desk done after $elapsed s. Journal: $journal"

# A run killed in the middle of a new script (its connection ends with
# it), then the next desk: it refuses (whether the batches ran is not
# known), and a run with --force runs it.
publish "$(printf 'CREATE TABLE IF NOT EXISTS %s.second (n int)\r\nGO\r\nSELECT pg_sleep(3)\r\nGO\r\nINSERT INTO %s.second VALUES (1)\r\n' "$SCHEMA" "$SCHEMA")"
(cd "$FLEET/desk-01" && exec ./updater --update-sp --yes > killed.out 2>&1) &
victim=$!
for _ in $(seq 200); do
  [ "$("${PSQL[@]}" -c "SELECT count(*) FROM pg_tables WHERE schemaname = '$SCHEMA' AND tablename = 'second'")" = 1 ] && break
  sleep 0.05
done
kill -KILL "$victim"
wait "$victim" 2>/dev/null || true
kstart=$(date +%s.%N)
rrc=0
(cd "$FLEET/desk-02" && ./updater --update-sp --yes > after-kill.out 2>&1) || rrc=$?
[ "$rrc" = 15 ] || fail "the run after the killed one: exit code $rrc, not 15"
grep -q 'did not end; whether it ran is not known' "$FLEET/desk-02/after-kill.out" ||
  fail "the run after the killed one did not say why it refused"
krc=0
(cd "$FLEET/desk-02" && ./updater --update-sp --yes --force > forced.out 2>&1) || krc=$?
kelapsed=$(awk -v a="$kstart" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
krows=$("${PSQL[@]}" -c "SELECT count(*) FROM $SCHEMA.second")
kjournal=$("${PSQL[@]}" -c "SELECT string_agg(outcome, ', ' ORDER BY started_at) FROM $SCHEMA.updater_journal
                            WHERE script_sha256 = '$(sha256sum "$FLEET/www/updates/LATEST.sql" | cut -c1-64)'")
[ "$krc" = 0 ] || fail "the --force run after the killed one: exit code $krc"
[ "$krows" = 1 ] || fail "after the killed run and the --force run: $krows rows, not 1"
[ "$kjournal" = "started, succeeded" ] || fail "the journal of the killed run and the --force run: $kjournal"
echo "Killed mid-script, then the next desk: exit code $rrc; then --force: exit code $krc," \
  "$kelapsed s for both, $krows row(s); journal: $kjournal."
"${PSQL[@]}" -c "DROP SCHEMA $SCHEMA CASCADE"

# The rows of other fleet sizes stay; this size's row is replaced.
old_rows() {
  bench_section "Fleet: Update SP" | awk -v n="$N" '/^\| [0-9]+ \|/ && $2 != n { print }'
}
section() {
  echo "## Fleet: Update SP"
  echo
  echo "Made by \`scripts/fleet --sp N\` ($(date -u +%Y-%m-%d) for $N desks), $(nproc) cores: N installations, each in"
  echo "process and host-name namespaces of its own, run \`updater --update-sp --yes\` at once against"
  echo "the one local PostgreSQL database, with a signed release (\`updater-sign release\`) whose \`LATEST.sql\` inserts a seed row. Then a"
  echo "run of a new script is killed in its second batch; the next desk refuses it (exit 15), and a run"
  echo "with --force runs it."
  echo
  echo "In the run for $N desks (their logs): the updaters started over $(spread "$starts") s (process starts on"
  echo "$(nproc) cores), the first reached the database $first_connect s after the first start (download and"
  echo "signature check), the last $(spread "$connects") s after the first; then $waits for"
  echo "the lock, each then finding the script in the journal and ending at once. After the killed"
  echo "run the next desk waits until the server has ended the killed run's session (PostgreSQL notices"
  echo "a vanished client when it next writes to it, after the running \`pg_sleep(3)\`), finds its row"
  echo "\"started\" and refuses; the --force run then runs the script, its own 3 s batch included."
  echo
  echo "| desks | runs that executed the script | reported \"already applied\" (of them waited for the lock) | other exits | seed rows | time, first start to last desk done (s) | killed run, then the next desk, then --force |"
  echo "|---|---|---|---|---|---|---|"
  { old_rows
    echo "| $N | $ran | $applied ($waited) | $others | $rows | $elapsed | exit $rrc, then exit $krc, $kelapsed s, $krows row, journal \"$kjournal\" |"
  } | sort -t '|' -k 2 -n
}
section > "$FLEET/section.md"
bench_write_section "Fleet: Update SP" "$FLEET/section.md"
echo "Written to docs/benchmarks.md"
[ "$failures" = 0 ]
