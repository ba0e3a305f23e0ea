# scripts/fleet --thin [N]: sourced by scripts/fleet once the Release build
# and the signing key are there (BUILD, KEYS, SIGN, N) and the shared
# pieces are defined (the watcher, desk, check_desk). N desks behind one
# thin line to the publisher; see scripts/fleet.
#
# The line: the publisher's server runs in a network namespace of its own
# (NS), joined to the root namespace, where the desks and the school's
# mirror are, by a veth pair: PUB_ADDR on the publisher's end, DESK_ADDR on
# the desks' end. The publisher's end sends at RATE (a token bucket, tbf),
# so everything towards the desks crosses a line of that speed. Its
# transmitted bytes (/sys/class/net/PUB_DEV/statistics/tx_bytes) are the
# bytes that crossed the line: one frame of at most 1514 bytes each, with
# its Ethernet, IP and TCP headers, since that end hands the line no
# segmentation offload (gso_max_segs 1) that would count one header for
# many frames.
#
# The builds: 1.0.0 is the stand-in Vantora.exe followed by machine code up
# to EXE_BYTES (the Windows build's size): the installed Qt 6 libraries
# Core, Gui, Widgets, Network, DBus and OpenGL, as they are, so the file
# compresses as a program does (zstd -19: to about a third). 1.1.0 is made
# from it as a next build differs (the stand-in at its head is kept, so
# both run; the model's random choices come from a fixed seed, so every run
# makes the same two files):
#   - small scattered changes: 1 to 4 bytes replaced at gaps drawn with a
#     mean of GAP bytes (changed call and jump displacements, constants and
#     addresses where code moved), about 237,000 of them. GAP (96) makes
#     the patch about 4.6 % of the new file: fewer changes per byte than
#     the 9.5 % measured on two consecutive builds of this project's own
#     updater (docs/benchmarks.md, "Patches between builds"), since a large
#     program's next build leaves more of its code in place;
#   - one region of 512 KiB moved elsewhere (a reordered part of the link);
#   - two regions taken out (96 KiB and 48 KiB: removed code);
#   - four regions of new code put in (256, 128, 64 and 32 KiB, taken from
#     Qt 6's PrintSupport, Sql, Xml and Test libraries, which 1.0.0 does
#     not hold), everything after each one shifted.
# 1.1.0 is published with --previous 1.0.0 for the patch rows.
#
# Four rows, each from fresh desks at 1.0.0 with their application running,
# all started at once ("updater --update-app --yes", no jitter, so the line
# sets the time): neither (every desk downloads the whole file from the
# publisher), mirror (the school's server first runs "updater --mirror",
# which brings its folder from 1.0.0 to the new release over the line, and
# the desks take the files from it: UPDATER_MIRROR), patch (the release
# lists a patch from 1.0.0 and each desk downloads that instead), and
# mirror and patch. Per row: the bytes over the line (the mirror's included),
# the time from the start (the mirror's run included) to the last desk
# done, the failures (check_desk and the source each log must name) and
# the watcher's gaps.

THIN="$BUILD/thin"
NS=updater-thin
PUB_DEV=uthin-pub
DESK_DEV=uthin-desk
PUB_ADDR=10.201.0.1
DESK_ADDR=10.201.0.2
RATE=20mbit
EXE_BYTES=23000000
GAP=96

PUB_SERVER=""
MIRROR_SERVER=""
cleanup_thin() {
  [ -n "$WATCHER" ] && kill "$WATCHER" 2>/dev/null
  [ -n "$PUB_SERVER" ] && kill "$PUB_SERVER" 2>/dev/null
  [ -n "$MIRROR_SERVER" ] && kill "$MIRROR_SERVER" 2>/dev/null
  # Deleting the namespace takes both ends of the line with it.
  ip netns del "$NS" 2>/dev/null
  return 0
}
trap cleanup_thin EXIT
trap 'exit 130' INT TERM

# A line left by a run that was killed goes first.
ip netns del "$NS" 2>/dev/null || true
ip link del "$DESK_DEV" 2>/dev/null || true
rm -rf "$THIN"
mkdir -p "$THIN/builds"

# The two builds (see the head of this file).
OLD="$THIN/builds/Vantora-1.0.0.exe"
NEW="$THIN/builds/Vantora-1.1.0.exe"
echo "Making the builds..."
CHANGES=$(perl - "$BUILD/tools/Vantora.exe" "$OLD" "$NEW" "$EXE_BYTES" "$GAP" /usr/lib/x86_64-linux-gnu <<'PERL'
use strict;
use warnings;
my ($standin, $old_out, $new_out, $size, $mean, $lib) = @ARGV;
sub slurp {
  my ($path) = @_;
  open(my $f, '<:raw', $path) or die "$path: $!\n";
  local $/;
  my $data = <$f>;
  close $f;
  return $data;
}
sub spew {
  my ($path, $data) = @_;
  open(my $f, '>:raw', $path) or die "$path: $!\n";
  print $f $data;
  close $f or die "$path: $!\n";
  chmod 0755, $path;
}
my $head = slurp($standin);
my $body = join '', map { slurp("$lib/libQt6$_.so.6") } qw(Core Gui Widgets Network DBus OpenGL);
my $fresh = join '', map { slurp("$lib/libQt6$_.so.6") } qw(PrintSupport Sql Xml Test);
die "not enough code to fill $size bytes\n" if length($head) + length($body) < $size;
$body = substr($body, 0, $size - length($head));
spew($old_out, $head . $body);

srand(20261209);
my $gap = sub { return int(-$mean * log(1 - rand())); };
my $changes = 0;
for (my $at = $gap->(); $at < length($body) - 4; $at += 1 + $gap->()) {
  my $n = 1 + int(rand(4));
  substr($body, $at, $n) = join '', map { chr(int(rand(256))) } 1 .. $n;
  $changes++;
}
my $moved = 512 * 1024;
my $piece = substr($body, int(rand(length($body) - $moved)), $moved, '');
substr($body, int(rand(length $body)), 0) = $piece;
for my $cut (96 * 1024, 48 * 1024) {
  substr($body, int(rand(length($body) - $cut)), $cut) = '';
}
my $taken = 0;
for my $add (256 * 1024, 128 * 1024, 64 * 1024, 32 * 1024) {
  substr($body, int(rand(length $body)), 0) = substr($fresh, $taken, $add);
  $taken += $add;
}
spew($new_out, $head . $body);
print "$changes\n";
PERL
)
OLD_SIZE=$(stat -c %s "$OLD")
NEW_SIZE=$(stat -c %s "$NEW")

# The releases: 1.0.0, and 1.1.0 after it without a patch and with one.
REL="$THIN/releases"
mkdir -p "$REL/1.0.0/updates"
cp "$OLD" "$REL/1.0.0/updates/Vantora.exe"
"$SIGN" release "$REL/1.0.0" --key "$KEYS/signing.key" --version 1.0.0 >/dev/null
for kind in plain patch; do
  cp -a "$REL/1.0.0" "$REL/$kind"
  cp "$NEW" "$REL/$kind/updates/Vantora.exe"
done
"$SIGN" release "$REL/plain" --key "$KEYS/signing.key" --version 1.1.0 >/dev/null
echo "Making the patch..."
"$SIGN" release "$REL/patch" --key "$KEYS/signing.key" --version 1.1.0 --previous "$OLD" >/dev/null
PATCH_NAME="Vantora.exe.$(sha256sum "$OLD" | cut -c1-64).patch"
[ -f "$REL/patch/updates/patches/$PATCH_NAME" ] || { echo "No patches/$PATCH_NAME in the release."; exit 1; }
PATCH_SIZE=$(stat -c %s "$REL/patch/updates/patches/$PATCH_NAME")
echo "Vantora.exe 1.0.0: $OLD_SIZE bytes, 1.1.0: $NEW_SIZE bytes ($CHANGES small changes), the patch: $PATCH_SIZE bytes."

# The line.
ip netns add "$NS"
ip link add "$DESK_DEV" type veth peer name "$PUB_DEV" netns "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" addr add "$PUB_ADDR/24" dev "$PUB_DEV"
ip -n "$NS" link set "$PUB_DEV" up
ip addr add "$DESK_ADDR/24" dev "$DESK_DEV"
ip link set "$DESK_DEV" up
ip -n "$NS" link set "$PUB_DEV" gso_max_segs 1
ip netns exec "$NS" tc qdisc add dev "$PUB_DEV" root tbf rate "$RATE" burst 16kb latency 100ms
line_bytes() { ip netns exec "$NS" cat "/sys/class/net/$PUB_DEV/statistics/tx_bytes"; }

# wait_listening OUT: the "ADDRESS:PORT" a devserver writing to OUT listens on.
wait_listening() {
  local host=""
  for _ in $(seq 100); do
    host=$(sed -n 's/^listening //p' "$1" 2>/dev/null)
    [ -n "$host" ] && break
    sleep 0.1
  done
  [ -n "$host" ] || { echo "A server did not start:" >&2; cat "$1" >&2; return 1; }
  echo "$host"
}

# The publisher (port 443 of its own namespace) and the school's mirror
# (on the desks' side).
PUB_ROOT="$THIN/publisher"
MIRROR="$THIN/mirror"
mkdir -p "$PUB_ROOT" "$MIRROR"
ip netns exec "$NS" "$BUILD/tools/devserver" "$PUB_ROOT" "$THIN/publisher-ca" 443 "$PUB_ADDR" \
  > "$THIN/publisher.out" 2>&1 &
PUB_SERVER=$!
"$BUILD/tools/devserver" "$MIRROR" "$THIN/mirror-ca" > "$THIN/mirror-server.out" 2>&1 &
MIRROR_SERVER=$!
wait_listening "$THIN/publisher.out" >/dev/null
MIRROR_HOST=$(wait_listening "$THIN/mirror-server.out")
cat "$THIN/publisher-ca/ca.pem" "$THIN/mirror-ca/ca.pem" > "$THIN/ca.pem"
export UPDATER_UPDATE_HOST="$PUB_ADDR" UPDATER_CA_FILE="$THIN/ca.pem" DESK_ARGS=""
unset UPDATER_MIRROR

# publish KIND: the publisher's folder holds that release.
publish() {
  rm -rf "$PUB_ROOT.new"
  cp -a "$REL/$1" "$PUB_ROOT.new"
  rm -rf "$PUB_ROOT"
  mv "$PUB_ROOT.new" "$PUB_ROOT"
}

# The school's server: "updater --mirror" run from a folder of its own.
SCHOOL="$THIN/school"
mkdir -p "$SCHOOL"
cp "$BUILD/src/updater" "$SCHOOL/"
sync_mirror() {
  (cd "$SCHOOL" && env -u UPDATER_MIRROR ./updater --mirror "$MIRROR" >> mirror.out 2>&1)
}

failures=0
fail() { echo "  $1"; failures=$((failures + 1)); }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1e6 }'; }
ROWS=()

# The addresses as they stand in the logs, as regular expressions.
literal() { sed 's/[.]/\\./g' <<< "$1"; }
PUB_BASE="https://$(literal "$PUB_ADDR")"
MIRROR_BASE="https://$(literal "$MIRROR_HOST")"

# milestones START: where the time of FLEET's desks went, from their logs,
# in seconds after START (the row's start).
milestones() {
  local inst line label
  local -A steps=([started]='start: updater' [read]='transfer: fetch .*/release\.json\.sig'
                  [fetched]='transfer: download ' [checked]='status: Download complete' [ended]='end: result')
  for inst in "$FLEET"/desk-*; do
    for label in "${!steps[@]}"; do
      line=$(grep -m1 -E "${steps[$label]}" "$inst/updater.log" || true)
      [ -z "$line" ] || echo "$label $(date -d "${line%% *}" +%s.%N)"
    done
  done | awk -v start="$1" '
    { t = $2 - start; if (!($1 in first) || t < first[$1]) first[$1] = t; if (t > last[$1]) last[$1] = t }
    END { printf "the updaters started %.1f to %.1f s after the row began; the last had read the release at %.1f s, " \
                 "had the file at %.1f s, had checked it at %.1f s and ended at %.1f s",
                 first["started"], last["started"], last["read"], last["fetched"], last["checked"], last["ended"] }'
}

# row FOLDER NAME MIRROR(0/1) RELEASE(plain/patch): one row of the table,
# its desks in THIN/FOLDER. Each desk's log must say that Vantora.exe came
# as a whole file or a patch, from the mirror or the publisher, and show
# that download; the mirror's log, that it took the file from the
# publisher in the same form.
row() {
  local name="$2" mirrored="$3" release="$4"
  FLEET="$THIN/$1"
  local form="whole file" file="Vantora\\.exe" source="the publisher" base="$PUB_BASE"
  if [ "$release" = patch ]; then
    form=patch file=$(literal "patches/$PATCH_NAME")
  fi
  if [ "$mirrored" = 1 ]; then
    source="the mirror $MIRROR_BASE" base="$MIRROR_BASE"
  fi
  mkdir -p "$FLEET"
  local i
  for i in $(seq -w 1 "$N"); do
    mkdir -p "$FLEET/desk-$i"
    cp "$BUILD/src/updater" "$FLEET/desk-$i/"
    cp "$OLD" "$FLEET/desk-$i/Vantora.exe"
    printf '1.0.0\r\n' > "$FLEET/desk-$i/version.txt"
  done
  local before=$failures
  publish 1.0.0
  if [ "$mirrored" = 1 ]; then
    # The mirror as it stood before the release: at 1.0.0.
    rm -rf "$MIRROR"/*
    sync_mirror || fail "$name: the mirror's run at 1.0.0 ended with exit code $?"
  fi
  publish "$release"
  local served_before
  served_before=$(wc -l < "$THIN/publisher.out")
  echo "$name: $N desks at once..."
  local start bytes0 sync_bytes="" sync_time=""
  # The desks read the mirror's address when their updaters start.
  [ "$mirrored" = 0 ] || export UPDATER_MIRROR="https://$MIRROR_HOST"
  start_watcher
  start_desks
  local load
  load=$(cut -d' ' -f1 /proc/loadavg)
  bytes0=$(line_bytes)
  start=$(date +%s.%N)
  local sync_served=0 logged
  if [ "$mirrored" = 1 ]; then
    logged=$(cat "$SCHOOL/updater.log" 2>/dev/null | wc -l)
    sync_mirror || fail "$name: the mirror's run ended with exit code $?"
    sync_time=$(secs "$start" "$(date +%s.%N)")
    sync_bytes=$(($(line_bytes) - bytes0))
    sync_served=$(($(wc -l < "$THIN/publisher.out") - served_before))
    tail -n +"$((logged + 1))" "$SCHOOL/updater.log" |
      grep -Eq "note: Vantora\\.exe: $form \\([0-9]+ bytes\\) from (the publisher|the patches just brought)$" ||
      fail "$name: the mirror's log does not tell: Vantora.exe: $form from the publisher"
    cmp -s "$MIRROR/updates/Vantora.exe" "$NEW" || fail "$name: the mirror does not hold the release's Vantora.exe"
  fi
  go_desks
  wait_desks
  stop_watcher
  unset UPDATER_MIRROR
  local bytes last elapsed
  bytes=$(($(line_bytes) - bytes0))
  last=$(cat "$FLEET"/desk-*/updater.end 2>/dev/null | sort -n | tail -n 1 || true)
  [ -n "$last" ] || last=$(date +%s.%N)
  elapsed=$(secs "$start" "$last")
  local inst
  for inst in "$FLEET"/desk-*; do
    check_desk "$inst" "$NEW" "$OLD" "note: Vantora\\.exe: $form \\([0-9]+ bytes\\) from $source$" \
      "transfer: download $base/updates/$file: .*: done"
  done
  local gaps=0 passes
  [ -f "$FLEET/gaps" ] && gaps=$(wc -l < "$FLEET/gaps")
  [ "$gaps" = 0 ] || fail "$name: $gaps moments without a complete executable (see $FLEET/gaps)"
  passes=$(cat "$FLEET/watch-passes" 2>/dev/null || echo 0)
  local served whole patches
  served=$(tail -n +"$((served_before + 1))" "$THIN/publisher.out")
  whole=$(grep -c '^request /updates/Vantora.exe$' <<< "$served" || true)
  patches=$(grep -c '^request /updates/patches/' <<< "$served" || true)
  # With a mirror, the desks take no file from the publisher.
  local desks_files
  desks_files=$(tail -n +"$((served_before + sync_served + 1))" "$THIN/publisher.out" |
    grep -c '^request /updates/\(Vantora\.exe\|patches/.*\)$' || true)
  [ "$mirrored" = 0 ] || [ "$desks_files" = 0 ] || fail "$name: the desks took $desks_files files from the publisher"
  ROW_DESKS_FILES=$desks_files
  ROW_MIRROR_PATCHES=$(head -n "$((served_before + sync_served))" "$THIN/publisher.out" | tail -n "$sync_served" |
    grep -c '^request /updates/patches/' || true)
  local sync_cell="–" sync_note=""
  if [ -n "$sync_bytes" ]; then
    sync_cell=$(mb "$sync_bytes")
    sync_note=" ($sync_cell MB of them by the mirror, in $sync_time s)"
  fi
  echo "$name: $(mb "$bytes") MB over the line$sync_note; the last desk done after $elapsed s;" \
    "the publisher served $whole whole executables and $patches patches; $((failures - before)) failures;" \
    "$passes watcher passes, $gaps gaps."
  ROWS+=("| $name | $(mb "$bytes") | $sync_cell | $elapsed | ${sync_time:-–} | $whole / $patches | $((failures - before)) | $passes, $gaps | $load |")
  # What the next rows need of the figures.
  ROW_BYTES=$bytes ROW_TIME=$elapsed ROW_SYNC_BYTES=${sync_bytes:-0} ROW_SYNC_SERVED=$sync_served
  ROW_DESKS_SERVED=$(($(grep -c '^request ' <<< "$served" || true) - sync_served))
  ROW_WHEN=$(milestones "$start")
  # The desks' executables (2 x N x 23 MB) are not kept; their logs are.
  rm -f "$FLEET"/desk-*/Vantora*.exe
}

row desks-neither neither 0 plain
PLAIN_TIME=$ROW_TIME
row desks-mirror mirror 1 plain
row desks-patch patch 0 patch
row desks-mirror-patch "mirror and patch" 1 patch
BOTH_BYTES=$ROW_BYTES BOTH_TIME=$ROW_TIME BOTH_WHEN=$ROW_WHEN BOTH_MIRROR_PATCHES=$ROW_MIRROR_PATCHES

# The targets. The small texts: what the desks of the last row took from
# the publisher (version.txt, release.json and its signature, each over a
# connection of its own: the publisher served them no file, see row), and
# the mirror's requests at what a desk's request cost on average (the
# patch's own connection and headers among them).
TEXTS=$(awk -v all="$BOTH_BYTES" -v sync="$ROW_SYNC_BYTES" -v desks="$ROW_DESKS_SERVED" -v mirror="$ROW_SYNC_SERVED" \
  'BEGIN { printf "%d", (desks > 0) ? (all - sync) * (1 + mirror / desks) : 0 }')
BYTE_LIMIT=$(awk -v p="$PATCH_SIZE" -v t="$TEXTS" 'BEGIN { printf "%d", 1.05 * p + t }')
TIME_LIMIT=$(awk -v t="$PLAIN_TIME" 'BEGIN { printf "%.1f", t / 10 }')
bytes_met=$(awk -v b="$BOTH_BYTES" -v l="$BYTE_LIMIT" 'BEGIN { print (b <= l ? "met" : "missed") }')
# Texts measured on desks that took files as well would be no texts.
[ "$ROW_DESKS_FILES" = 0 ] || bytes_met="not judged, the desks took files from the publisher"
time_met=$(awk -v t="$BOTH_TIME" -v l="$TIME_LIMIT" 'BEGIN { print (t <= l ? "met" : "missed") }')
echo "Mirror and patch: $BOTH_BYTES bytes over the line, at most 1.05 x $PATCH_SIZE + $TEXTS (texts) = $BYTE_LIMIT: $bytes_met;" \
  "$BOTH_TIME s, at most a tenth of the plain row's $PLAIN_TIME s: $time_met."

section() {
  echo "## Fleet: a thin line"
  echo
  echo "Made by \`scripts/fleet --thin $N\` on $(date -u +%Y-%m-%d), $(nproc) cores: $N desks with their stand-in"
  echo "application running update at once (\`updater --update-app --yes\`, no jitter) from a publisher"
  echo "behind a line of ${RATE%mbit} Mbit/s (its own network namespace, a veth pair shaped with tbf towards the desks;"
  echo "the bytes are the frames the publisher's end sent). Vantora.exe is $OLD_SIZE bytes at 1.0.0 (the"
  echo "stand-in followed by Qt 6's libraries as they are) and $NEW_SIZE at 1.1.0 (a model of a next build:"
  echo "$CHANGES small changes $GAP bytes apart on average, a 512 KiB region moved, 144 KiB taken out and"
  echo "480 KiB of new code put in; see scripts/fleet-thin.sh); the patch from 1.0.0 is $PATCH_SIZE bytes"
  echo "($(awk -v p="$PATCH_SIZE" -v n="$NEW_SIZE" 'BEGIN { printf "%.1f", 100 * p / n }') % of 1.1.0). In the mirror rows the school's server first brings its mirror"
  echo "from 1.0.0 to 1.1.0 (\`updater --mirror\`), and its bytes and time are the row's."
  echo
  echo "| row | over the line (MB) | of it the mirror's run (MB) | time to the last desk done (s) | of it the mirror's run (s) | publisher served: whole executables / patches | failures | watcher passes over every desk, gaps | load average at the row's start |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${ROWS[@]}"
  echo
  echo "Mirror and patch against the targets: $BOTH_BYTES bytes over the line, at most 1.05 x the patch plus the"
  echo "small texts = $BYTE_LIMIT: $bytes_met (the texts, $TEXTS bytes: the desks' requests for version.txt,"
  echo "release.json and its signature, each over a connection of its own, and the mirror's requests at what"
  echo "a desk's request cost on average); $BOTH_TIME s, at most a tenth of the plain row's $PLAIN_TIME s: $time_met."
  if [ "$BOTH_MIRROR_PATCHES" -gt 1 ]; then
    echo "In that row the mirror's run downloaded the patch $BOTH_MIRROR_PATCHES times."
  fi
  echo
  echo "Where the time of the mirror and patch row went (the desks' logs): $BOTH_WHEN."
  echo "The machine's $(nproc) cores were shared with other work; the load average column is the 1-minute"
  echo "average as each row began, which still holds some of the row before."
}
section > "$FLEET/section.md"
bench_write_section "Fleet: a thin line" "$FLEET/section.md"
echo "Written to docs/benchmarks.md"
[ "$failures" = 0 ]
