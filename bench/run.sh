#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks of Quillfeed against baselines measured in the same run.
#
#   bench/run.sh transfer | link | gaps | listing | memory | big | backlog | convert | all
#
# Builds what it needs (Release) in $QUILLFEED_BENCH_BUILD (default: build-bench
# in the source tree), starts its own nginx on a free loopback port, and prints
# for each case the figure of Quillfeed, that of the baseline and their ratio.
# Times are medians of several runs: one run on a shared machine says little.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=${QUILLFEED_BENCH_BUILD:-$ROOT/build-bench}
BOUNDARY="---------------------------7d023a2ea28"
MIB=$((1024 * 1024))

usage() {
  echo "usage: bench/run.sh transfer|link|gaps|listing|memory|big|backlog|convert|all" >&2
  exit 2
}
[ $# -eq 1 ] || usage
case "$1" in transfer | link | gaps | listing | memory | big | backlog | convert | all) ;; *) usage ;; esac
WHAT=$1

die() {
  echo "bench: $*" >&2
  exit 1
}

# ---------------------------------------------------------------------------
# Work folder, receiving page, clean-up

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillfeed-bench.XXXXXX")
NGINX_PID=""
PEER_PIDS=()
PEER_DIRS=()
cleanup() {
  for pid in $NGINX_PID "${PEER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK" "${PEER_DIRS[@]}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build() {
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFEED_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$BUILD" --target transfer_bench listing_bench -j 2 >"$WORK/build.log" 2>&1 ||
    { tail -n 30 "$WORK/build.log" >&2; die "the build failed"; }
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# nginx answers every POST with exactly "OK" on a kept-alive connection, once
# it has read the whole body: an answer given on the headers, before the body
# is in, files nothing for Quillfeed. Each page passes the request to an
# upstream nobody serves (a socket that was never made) once the body is in,
# and its 502 becomes the "OK"; what it read is thrown away.
start_nginx() {
  [ -z "$NGINX_PID" ] || return 0
  local dir=$WORK/nginx port tls_port
  mkdir -p "$dir"
  # Started by root, nginx's worker runs as nobody, and must reach the folder
  # of request bodies it keeps in files.
  chmod 711 "$WORK"
  port=$(free_port)
  tls_port=$(free_port)
  # A throw-away certificate for the https page, trusted by the bench alone.
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$dir/key.pem" \
    -out "$dir/cert.pem" -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1 ||
    die "openssl could not make the bench certificate"
  CERT=$dir/cert.pem
  TLS_PORT=$tls_port
  PLAIN_PORT=$port
  KA2_PORT=$(free_port)
  KA5_PORT=$(free_port)
  KA5_TLS_PORT=$(free_port)
  # What the pages read is kept in memory where it can be: written to the
  # disk, it would measure the disk rather than the upload.
  READ_BODIES=$dir/read-bodies
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    READ_BODIES=$(mktemp -d /dev/shm/quillfeed-bench.XXXXXX)
    chmod 711 "$READ_BODIES"
    PEER_DIRS+=("$READ_BODIES")
  fi
  cat >"$dir/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log alert; # not the upstream's refusal of every request
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $READ_BODIES;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  keepalive_requests 1000000;
  keepalive_timeout 120s;
  default_type text/plain;
  client_max_body_size 0;
  # Bodies up to this size are read into memory, larger ones into files.
  client_body_buffer_size 8m;
  server {
    listen 127.0.0.1:$port;
    location / { proxy_pass http://unix:$dir/nobody.sock; error_page 502 =200 /filed; }
    location = /filed { return 200 "OK"; }
  }
  # Stock keep-alive times: 2 s as gunicorn's, unsaid; 5 s as Apache's, said
  # in a Keep-Alive header.
  server {
    listen 127.0.0.1:$KA2_PORT;
    keepalive_timeout 2s;
    location / { proxy_pass http://unix:$dir/nobody.sock; error_page 502 =200 /filed; }
    location = /filed { return 200 "OK"; }
  }
  server {
    listen 127.0.0.1:$KA5_PORT;
    keepalive_timeout 5s 5s;
    location / { proxy_pass http://unix:$dir/nobody.sock; error_page 502 =200 /filed; }
    location = /filed { return 200 "OK"; }
  }
  server {
    listen 127.0.0.1:$KA5_TLS_PORT ssl http2;
    ssl_certificate $dir/cert.pem;
    ssl_certificate_key $dir/key.pem;
    keepalive_timeout 5s 5s;
    location / { proxy_pass http://unix:$dir/nobody.sock; error_page 502 =200 /filed; }
    location = /filed { return 200 "OK"; }
  }
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $dir/cert.pem;
    ssl_certificate_key $dir/key.pem;
    ssl_session_cache shared:bench:1m;
    location / { proxy_pass http://unix:$dir/nobody.sock; error_page 502 =200 /filed; }
    location = /filed { return 200 "OK"; }
  }
}
EOF
  command -v nginx >/dev/null || die "nginx is missing (scripts/setup.sh installs nginx-light)"
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
  NGINX_PID=$!
  URL="http://127.0.0.1:$port/district/saveTAVscan.asp"
  READ_URL=$URL
  for _ in $(seq 50); do
    if [ "$(curl -s --data-binary x "$URL" 2>/dev/null)" = "OK" ]; then
      return 0
    fi
    sleep 0.1
  done
  cat "$dir/error.log" >&2 || true
  die "nginx did not come up"
}

# ---------------------------------------------------------------------------
# Timing

median() {
  sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# time_runs RUNS command...: the median wall time in seconds of RUNS runs.
time_runs() {
  local runs=$1 i t0 t1 times=$WORK/times
  shift
  : >"$times"
  for ((i = 0; i < runs; i++)); do
    # SETTLE=1: the disk's writeback of the run before is done first, outside the time.
    [ -z "${SETTLE:-}" ] || sync
    t0=$(date +%s%N)
    "$@" || die "baseline run failed: $*"
    t1=$(date +%s%N)
    echo "$(((t1 - t0) / 1000))e-6" >>"$times"
  done
  median <"$times"
}

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
verdict() { awk "BEGIN { print (($1) ? \"met\" : \"MISSED\") }"; }

result_field() { sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" "$1" | tail -n 1; }

# ---------------------------------------------------------------------------
# Transfer pass

expect_oks() {
  local n
  n=$(grep -c '^200$' "$1" || true)
  [ "$n" -eq "$2" ] || {
    echo "bench: $n of $2 requests answered 200" >&2
    return 1
  }
}

curl_keepalive() { # bodies files
  curl -sS -K "$1/curl.cfg" >"$1/codes.keepalive" && expect_oks "$1/codes.keepalive" "$2"
}

curl_loop() { # bodies files
  local f
  for f in "$1"/b*; do
    curl -sS -o /dev/null -w '%{http_code}\n' -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" \
      -H "Expect:" --data-binary "@$f" "$URL" || return 1
  done >"$1/codes.loop" && expect_oks "$1/codes.loop" "$2"
}

# record_floor DIR FILES SIZE: the synced filed.csv rows of a pass, alone; prints their time.
record_floor() {
  rm -rf "$1"
  "$BUILD/bin/transfer_bench" syncfloor "$1" "$URL" "$2" "$3" >"$1.out" 2>"$1.log" ||
    { tail -n 5 "$1.log" "$1.out" >&2; die "transfer_bench syncfloor failed"; }
  result_field "$1.out" median_s
  rm -rf "$1"
}

# qf_pass DIR FILES SIZE: one pass of Quillfeed; prints its time.
qf_pass() {
  "$BUILD/bin/transfer_bench" transfer "$1" "$URL" "$2" "$3" 1 >"$1.out" 2>"$1.log" ||
    { tail -n 5 "$1.log" "$1.out" >&2; die "transfer_bench failed ($2 x $3)"; }
  result_field "$1.out" median_s
}

# transfer_case LABEL FILES SIZE RUNS LOOP_RUNS [PAIR_FILES] [later]
# The runs of Quillfeed and of the baselines alternate, so that a change of load
# on the machine falls on all of them alike. With PAIR_FILES, each run also times
# a pass of PAIR_FILES files of the same size just before, for the linearity ratio.
# With "later", each run also times a later pass of a window (see README.md).
transfer_case() {
  local label=$1 files=$2 size=$3 runs=$4 loop_runs=$5 pair=${6:-} later=${7:-}
  local later_t=$WORK/later.times
  : >"$later_t"
  local dir=$WORK/transfer-$files-$size i t
  local qf_t=$WORK/qf.times keep_t=$WORK/keep.times loop_t=$WORK/loop.times pair_t=$WORK/pair.times
  local rec_t=$WORK/rec.times
  : >"$rec_t"
  : >"$qf_t"
  : >"$keep_t"
  : >"$loop_t"
  : >"$pair_t"
  echo "  $label: $runs rounds (Quillfeed, curl kept alive, ${loop_runs} of one curl per file) ..." >&2
  # The baselines' request bodies, written by the program's own body builder.
  "$BUILD/bin/transfer_bench" transfer "$dir-prep" "$URL" "$files" "$size" 0 "$dir-bodies" >/dev/null 2>&1 ||
    die "cannot write the request bodies"
  if [[ "$URL" == https:* ]]; then
    # The bench's own certificate, for curl and for Quillfeed alike.
    export QUILLFEED_BENCH_CA=$CERT
    awk -v extra="cacert = \"$CERT\"" '{ print } /^url = / { print extra }' "$dir-bodies/curl.cfg" >"$dir-bodies/curl.tls.cfg"
    mv "$dir-bodies/curl.tls.cfg" "$dir-bodies/curl.cfg"
  fi
  curl_keepalive "$dir-bodies" "$files" || die "curl (kept alive) failed" # also a warm-up
  for ((i = 1; i <= runs; i++)); do
    if [ -n "$pair" ]; then
      local p
      p=$(qf_pass "$dir-pair" "$pair" "$size")
      t=$(qf_pass "$dir" "$files" "$size")
      calc %f "$t / $p" >>"$pair_t"
      echo >>"$pair_t"
    else
      t=$(qf_pass "$dir" "$files" "$size")
    fi
    echo "$t" >>"$qf_t"
    if [ -n "$later" ]; then
      (export QUILLFEED_BENCH_LATER=1; qf_pass "$dir-later" "$files" "$size") >>"$later_t"
    fi
    time_runs 1 curl_keepalive "$dir-bodies" "$files" >>"$keep_t"
    record_floor "$dir-rec" "$files" "$size" >>"$rec_t"
    if [ "$i" -le "$loop_runs" ]; then
      time_runs 1 curl_loop "$dir-bodies" "$files" >>"$loop_t"
    fi
  done
  local qf keep rec loop loop_col="-" loop_ratio="-" mb
  qf=$(median <"$qf_t")
  keep=$(median <"$keep_t")
  rec=$(median <"$rec_t")
  if [ "$loop_runs" -gt 0 ]; then
    loop=$(median <"$loop_t")
    loop_col=$(calc %.3f "$loop")
    loop_ratio=$(calc %.2f "$loop / $qf")
  fi
  mb=$(calc "%.3f" "$files * $size / $MIB")
  printf "%-14s %10.3f %9.0f %8.1f %12.3f %9.0f %8.1f %9.2f %12.3f %9.2f %12s %9s\n" "$label" \
    "$qf" "$(calc %f "$files / $qf")" "$(calc %f "$mb / $qf")" \
    "$keep" "$(calc %f "$files / $keep")" "$(calc %f "$mb / $keep")" "$(calc %f "$keep / $qf")" \
    "$(calc %f "$keep + $rec")" "$(calc %f "($keep + $rec) / $qf")" "$loop_col" "$loop_ratio"
  if [ -n "$later" ]; then
    local lq
    lq=$(median <"$later_t")
    printf "%-14s %10.3f %9.0f %8s %12s %9s %8s %9.2f %12s %9.2f\n" "  later pass" "$lq" \
      "$(calc %f "$files / $lq")" "" "" "" "" "$(calc %f "$keep / $lq")" "" "$(calc %f "($keep + $rec) / $lq")"
    [[ "$URL" == https:* ]] || eval "LATER_$files=$lq"
  fi
  rm -rf "$dir-bodies"
  [[ "$URL" == https:* ]] || eval "QF_$files=$qf KEEP_$files=$keep REC_$files=$rec"
  if [ -n "$pair" ]; then
    LINEAR=$(median <"$pair_t")
    LINEAR_RUNS=$(tr '\n' ' ' <"$pair_t")
  fi
}

run_transfer() {
  start_nginx
  echo "== Transfer pass: one Force Transfer of the real window against nginx (medians)"
  printf "%-14s %10s %9s %8s %12s %9s %8s %9s %12s %9s %12s %9s\n" "case" "Quillfeed" "files/s" "MB/s" \
    "curl-keep s" "files/s" "MB/s" "ratio" "+record s" "ratio" "curl-loop s" "ratio"
  transfer_case "1000 x 2 KB" 1000 2048 5 3 "" later
  transfer_case "50 x 5 MB" 50 $((5 * MIB)) 5 3
  # 10,000 curl processes take minutes; QUILLFEED_BENCH_LOOP_ALL=1 includes them.
  transfer_case "10000 x 1 KB" 10000 1024 3 "$([ -n "${QUILLFEED_BENCH_LOOP_ALL:-}" ] && echo 1 || echo 0)" 1000
  # The same small files over https on loopback: the TLS cost of a pass, one handshake.
  local plain_url=$URL
  URL="https://127.0.0.1:$TLS_PORT/district/saveTAVscan.asp"
  transfer_case "1000 x 2 KB https" 1000 2048 5 0 "" later
  URL=$plain_url
  unset QUILLFEED_BENCH_CA
  echo "(ratio = baseline time / Quillfeed time: above 1, Quillfeed is faster;"
  echo " curl-keep: one curl, one kept-alive connection; curl-loop: one curl process per file;"
  echo " +record: curl-keep plus a filed.csv row per file, each synced in turn, timed alone with the program's"
  echo " own code on the same disk: rows Quillfeed writes and curl does not (Quillfeed syncs them on a thread"
  echo " of its own while the next file goes out, several at a time when the page is fast);"
  echo " later pass: the window's second pass, after an untimed one of two files, on a connection of its own,"
  echo " as every pass after the first of a station that runs all day)"
  echo "targets:"
  echo "  1000 x 2 KB files/s >= 50% of curl kept alive: ratio $(calc %.2f "$KEEP_1000 / $QF_1000") -> $(verdict "$KEEP_1000 / $QF_1000 >= 0.5")"
  echo "    (the first build aimed at 100%: $(verdict "$KEEP_1000 / $QF_1000 >= 1"))"
  echo "    against curl plus the synced record, >= 80%: ratio $(calc %.2f "($KEEP_1000 + $REC_1000) / $QF_1000") -> $(verdict "($KEEP_1000 + $REC_1000) / $QF_1000 >= 0.8")"
  echo "    a later pass of the window: ratio $(calc %.2f "$KEEP_1000 / $LATER_1000"); against curl plus the synced record, >= 80%: ratio $(calc %.2f "($KEEP_1000 + $REC_1000) / $LATER_1000") -> $(verdict "($KEEP_1000 + $REC_1000) / $LATER_1000 >= 0.8")"
  echo "  50 x 5 MB MB/s >= 80% of curl kept alive: ratio $(calc %.2f "$KEEP_50 / $QF_50") -> $(verdict "$KEEP_50 / $QF_50 >= 0.8")"
  echo "    (the first build aimed at 90%: $(verdict "$KEEP_50 / $QF_50 >= 0.9"))"
  echo "  10000 x 1 KB pass / 1000 x 1 KB pass just before it <= 12 (linear status box and list):"
  echo "    median $(calc %.2f "$LINEAR") of runs $LINEAR_RUNS-> $(verdict "$LINEAR <= 12")"
}

# ---------------------------------------------------------------------------
# Over a slow link: a relay holding each chunk 10 ms each way (a 20 ms round
# trip, one more for a new connection), counting the connections opened.

start_relay() { # TARGET_PORT COUNT_FILE: starts a relay, sets RELAY_PORT
  RELAY_PORT=$(free_port)
  python3 "$HERE/link_relay.py" "$RELAY_PORT" "$1" 10 "$2" &
  PEER_PIDS+=($!)
  for _ in $(seq 50); do
    [ -s "$2" ] && return 0
    sleep 0.1
  done
  die "the link relay did not come up"
}

start_tinyproxy() { # sets PROXY_PORT
  local dir=$WORK/tinyproxy
  mkdir -p "$dir"
  PROXY_PORT=$(free_port)
  printf 'Listen 127.0.0.1\nPort %s\nAllow 127.0.0.1\nBasicAuth bench s3cret-pw\nLogFile "%s"\nLogLevel Warning\nTimeout 300\nMaxClients 50\n' \
    "$PROXY_PORT" "$dir/log" >"$dir/conf"
  command -v tinyproxy >/dev/null || die "tinyproxy is missing (scripts/setup.sh installs it)"
  tinyproxy -d -c "$dir/conf" >"$dir/out" 2>&1 &
  PEER_PIDS+=($!)
  for _ in $(seq 50); do
    curl -s -o /dev/null --proxy "127.0.0.1:$PROXY_PORT" "http://127.0.0.1:1/" 2>/dev/null; [ $? -ne 7 ] && return 0
    sleep 0.1
  done
  die "tinyproxy did not come up"
}

# link_case LABEL URL RUNS [PROXY "host:port user password"]
# Each run also times a later pass of a window (see README.md).
link_case() {
  local label=$1 url=$2 runs=$3 proxy=${4:-} files=100 size=20480 later_t=$WORK/llater.times
  : >"$later_t"
  local dir=$WORK/link-$runs-$RANDOM i t before qf_t=$WORK/lqf.times keep_t=$WORK/lkeep.times conn_t=$WORK/lconn.times
  : >"$qf_t"
  : >"$keep_t"
  : >"$conn_t"
  echo "  $label: $runs rounds (Quillfeed, curl kept alive) ..." >&2
  "$BUILD/bin/transfer_bench" transfer "$dir-prep" "$url" "$files" "$size" 0 "$dir-bodies" >/dev/null 2>&1 ||
    die "cannot write the request bodies"
  # The same trust and proxy for curl, in every request block of its configuration.
  local extra="cacert = \"$CERT\""
  if [ -n "$proxy" ]; then
    read -r p_addr p_user p_pass <<<"$proxy"
    extra="$extra"$'\n'"proxy = \"$p_addr\""$'\n'"proxy-user = \"$p_user:$p_pass\""$'\n'"proxytunnel"
    [[ "$url" == https:* ]] || extra=${extra%$'\n'proxytunnel}
  fi
  awk -v extra="$extra" '{ print } /^url = / { print extra }' "$dir-bodies/curl.cfg" >"$dir-bodies/curl.link.cfg"
  mv "$dir-bodies/curl.link.cfg" "$dir-bodies/curl.cfg"
  curl_keepalive "$dir-bodies" "$files" || die "curl (kept alive) failed over the link" # also a warm-up
  for ((i = 1; i <= runs; i++)); do
    before=$(cat "$COUNT")
    t=$(export URL=$url QUILLFEED_BENCH_CA=$CERT QUILLFEED_BENCH_PROXY=$proxy; qf_pass "$dir" "$files" "$size")
    echo "$t" >>"$qf_t"
    echo "$(($(cat "$COUNT") - before))" >>"$conn_t"
    (export URL=$url QUILLFEED_BENCH_CA=$CERT QUILLFEED_BENCH_PROXY=$proxy QUILLFEED_BENCH_LATER=1
      qf_pass "$dir-later" "$files" "$size") >>"$later_t"
    before=$(cat "$COUNT")
    time_runs 1 curl_keepalive "$dir-bodies" "$files" >>"$keep_t"
    CURL_CONN=$(($(cat "$COUNT") - before))
  done
  local qf keep conns
  qf=$(median <"$qf_t")
  keep=$(median <"$keep_t")
  conns=$(median <"$conn_t")
  printf "%-26s %10.3f %9.1f %12s %10.3f %9.1f %11s %8.2f\n" "$label" "$qf" "$(calc %f "$files / $qf")" "$conns" \
    "$keep" "$(calc %f "$files / $keep")" "$CURL_CONN" "$(calc %f "$keep / $qf")"
  local lq
  lq=$(median <"$later_t")
  printf "%-26s %10.3f %9.1f %12s %10s %9s %11s %8.2f\n" "  later pass" "$lq" "$(calc %f "$files / $lq")" "" "" "" "" \
    "$(calc %f "$keep / $lq")"
  LINK_VERDICTS+=("$label: ratio $(calc %.2f "$keep / $qf") >= 0.9 and at most 5 connections a pass ($conns) -> $(verdict "$keep / $qf >= 0.9 && $conns <= 5"); a later pass: ratio $(calc %.2f "$keep / $lq")")
  rm -rf "$dir-bodies"
}

run_link() {
  start_nginx
  LINK_VERDICTS=()
  COUNT=$WORK/relay-plain.count
  start_relay "$PLAIN_PORT" "$COUNT"
  local plain_relay=$RELAY_PORT
  echo "== Over a 20 ms link: 100 x 20 KB, one Force Transfer each (medians), connections counted by the relay"
  printf "%-26s %10s %9s %12s %10s %9s %11s %8s\n" "case" "Quillfeed" "files/s" "connections" "curl-keep" \
    "files/s" "connections" "ratio"
  link_case "http" "http://127.0.0.1:$plain_relay/district/saveTAVscan.asp" 3
  COUNT=$WORK/relay-tls.count
  start_relay "$TLS_PORT" "$COUNT"
  local tls_relay=$RELAY_PORT
  link_case "https" "https://127.0.0.1:$tls_relay/district/saveTAVscan.asp" 3
  start_tinyproxy
  link_case "https via tinyproxy (Basic)" "https://127.0.0.1:$tls_relay/district/saveTAVscan.asp" 3 \
    "127.0.0.1:$PROXY_PORT bench s3cret-pw"
  echo "(ratio = curl time / Quillfeed time; connections: opened through the relay during one pass;"
  echo " through the proxy, the relay sits between tinyproxy and the page, so it counts tunnels;"
  echo " later pass: the window's second pass, after an untimed one of two files, on a connection of its own)"
  echo "targets:"
  for v in "${LINK_VERDICTS[@]}"; do echo "  $v"; done
  run_gaps
}

# gaps_case LABEL URL GAPS: one window, passes of 30 x 20 KB GAPS seconds apart,
# each against curl kept alive over the same relay.
gaps_case() {
  local label=$1 url=$2 gaps=$3 files=30 size=20480 dir=$WORK/gaps-$RANDOM keep line
  "$BUILD/bin/transfer_bench" transfer "$dir-prep" "$url" "$files" "$size" 0 "$dir-bodies" >/dev/null 2>&1 ||
    die "cannot write the request bodies"
  awk -v extra="cacert = \"$CERT\"" '{ print } /^url = / { print extra }' "$dir-bodies/curl.cfg" >"$dir-bodies/c"
  mv "$dir-bodies/c" "$dir-bodies/curl.cfg"
  curl_keepalive "$dir-bodies" "$files" || die "curl (kept alive) failed over the link"
  keep=$(time_runs 3 curl_keepalive "$dir-bodies" "$files" | median)
  (export URL=$url QUILLFEED_BENCH_CA=$CERT QUILLFEED_BENCH_GAPS=$gaps QUILLFEED_BENCH_COUNT=$COUNT
    "$BUILD/bin/transfer_bench" transfer "$dir" "$url" "$files" "$size" 1 >"$dir.out" 2>"$dir.log") ||
    { tail -n 5 "$dir.log" "$dir.out" >&2; die "transfer_bench failed ($label)"; }
  while read -r line; do
    local gap s conns
    gap=$(sed -n 's/.*gap=\([^ ]*\).*/\1/p' <<<"$line")
    s=$(sed -n 's/.* s=\([^ ]*\).*/\1/p' <<<"$line")
    conns=$(sed -n 's/.*connections=\([^ ]*\).*/\1/p' <<<"$line")
    printf "%-30s %6s %10.3f %12s %10.3f %8.2f\n" "$label" "$gap" "$s" "$conns" "$keep" "$(calc %f "$keep / $s")"
    GAP_VERDICTS+=("$(calc %f "$keep / $s") $conns")
  done < <(grep '^PASS ' "$dir.out")
  rm -rf "$dir-bodies"
}

run_gaps() {
  GAP_VERDICTS=()
  echo "== Over the 20 ms link, servers that drop idle connections: passes of 30 x 20 KB, gaps between them"
  printf "%-30s %6s %10s %12s %10s %8s\n" "case" "gap s" "Quillfeed" "connections" "curl-keep" "ratio"
  COUNT=$WORK/relay-ka2.count
  start_relay "$KA2_PORT" "$COUNT"
  gaps_case "http, idle 2 s, not said" "http://127.0.0.1:$RELAY_PORT/district/saveTAVscan.asp" "1,1.9,2.1,3,1"
  COUNT=$WORK/relay-ka5.count
  start_relay "$KA5_PORT" "$COUNT"
  gaps_case "http, idle 5 s, said" "http://127.0.0.1:$RELAY_PORT/district/saveTAVscan.asp" "1,3,4.9,5.1,6,1"
  COUNT=$WORK/relay-ka5tls.count
  start_relay "$KA5_TLS_PORT" "$COUNT"
  gaps_case "https (h2), idle 5 s, said" "https://127.0.0.1:$RELAY_PORT/district/saveTAVscan.asp" "1,3,4.9,5.1,6,1"
  echo "(curl-keep: curl sending the same 30 files on one kept connection, median of 3; ratio = curl / Quillfeed)"
  local worst_conns=0 worst_ratio=9 v r c
  for v in "${GAP_VERDICTS[@]}"; do
    read -r r c <<<"$v"
    ((c > worst_conns)) && worst_conns=$c
    [ "$(calc %d "$r < $worst_ratio")" = 1 ] && worst_ratio=$r
  done
  echo "targets: at most 2 connections a pass ($worst_conns) -> $(verdict "$worst_conns <= 2");" \
    ">= 0.95 of curl on every pass ($(calc %.2f "$worst_ratio")) -> $(verdict "$worst_ratio >= 0.95")"
}

# ---------------------------------------------------------------------------
# Listing

run_listing() {
  local dir=$WORK/listing runs=5 log
  log=$dir.log
  mkdir -p "$dir"
  echo "  listing: building the tree and timing the window ..." >&2
  "$BUILD/bin/listing_bench" "$dir" "$runs" >"$log.out" 2>"$log" ||
    { tail -n 5 "$log" "$log.out" >&2; die "listing_bench failed"; }
  local qf walk find_s n
  qf=$(result_field "$log.out" median_s)
  walk=$(result_field "$log.out" walk_median_s)
  n=$(find "$dir/scans" -type f | wc -l) # also warms the cache for find
  [ "$n" -eq 32767 ] || die "find sees $n files, not 32767"
  find_s=$(time_runs "$runs" sh -c 'find "$1" -type f >/dev/null' sh "$dir/scans")
  echo "== Listing: 32,767 files in 32 nested folders, warm cache (medians of $runs)"
  printf "%-34s %12s %12s %10s\n" "case" "Quillfeed s" "find s" "ratio"
  printf "%-34s %12.4f %12.4f %10.2f\n" "relist + fill list (ApplySettings)" "$qf" "$find_s" "$(calc %f "$qf / $find_s")"
  printf "%-34s %12.4f %12.4f %10.2f\n" "walk only (listFolderTree)" "$walk" "$find_s" "$(calc %f "$walk / $find_s")"
  echo "(ratio = Quillfeed time / find time)"
  echo "target: relisting at most 2 x find: $(calc %.2f "$qf / $find_s") -> $(verdict "$qf / $find_s <= 2")"
}

# ---------------------------------------------------------------------------
# Memory

run_memory() {
  start_nginx
  local dir=$WORK/memory size=$((1024 * MIB)) note="" avail log
  log=$dir.log
  mkdir -p "$dir"
  # The file and the copy of its body that the window writes as out.txt, plus room.
  avail=$(($(df -Pk "$WORK" | awk 'NR == 2 { print $4 }') * 1024))
  if [ "$avail" -lt $((2 * size + 512 * MIB)) ]; then
    size=$(((avail - 512 * MIB) / 2 / MIB * MIB))
    [ "$size" -gt 0 ] || die "not enough free disk space in $WORK for the memory case"
    note="NOTE: only $((avail / MIB)) MiB free in $WORK: the file is $((size / MIB)) MiB instead of 1024 MiB"
  fi
  echo "  memory: one pass of one file of $((size / MIB)) MiB ..." >&2
  "$BUILD/bin/transfer_bench" memory "$dir" "$READ_URL" "$size" >"$log.out" 2>"$log" ||
    { tail -n 5 "$log" "$log.out" >&2; die "transfer_bench memory failed"; }
  local before peak pass
  before=$(result_field "$log.out" rss_before_kb)
  peak=$(result_field "$log.out" hwm_after_kb)
  pass=$(result_field "$log.out" pass_s)
  local growth=$(((peak - before) * 1024))
  echo "== Memory: peak resident memory while uploading one file"
  [ -z "$note" ] || echo "$note"
  printf "%-12s %14s %14s %16s %14s %10s\n" "file MiB" "RSS before MiB" "peak MiB" "peak-before MiB" "growth/size" "pass s"
  printf "%-12d %14.1f %14.1f %16.1f %14.3f %10.2f\n" $((size / MIB)) "$(calc %f "$before / 1024")" \
    "$(calc %f "$peak / 1024")" "$(calc %f "$growth / $MIB")" "$(calc %f "$growth / $size")" "$pass"
  echo "target: peak - before <= file size + 150 MB: $(verdict "$growth <= $size + 150 * 1000 * 1000")"
  echo "        whole peak <= file size + 150 MB: $(verdict "$peak * 1024 <= $size + 150 * 1000 * 1000")"
}

# big_run BENCH LABEL SIZE RUNS: RUNS passes of one document of SIZE bytes with
# the transfer_bench BENCH; prints a row: the median time, curl's, their ratio,
# and the resident memory before the pass and at its peak.
big_run() {
  local bench=$1 label=$2 size=$3 runs=$4 dir=$WORK/big i log times=$WORK/big-times
  local before peak most=0 base=0 pass
  : >"$times"
  for ((i = 0; i < runs; i++)); do
    rm -rf "$dir"
    mkdir -p "$dir"
    log=$dir.log
    # Each run starts with the writeback of the one before done (the page's
    # copy of the body, out.txt): else a run pays for the last one's disk.
    sync
    "$bench" memory "$dir" "$READ_URL" "$size" >"$log.out" 2>"$log" ||
      { tail -n 5 "$log" "$log.out" >&2; die "transfer_bench memory failed ($label)"; }
    result_field "$log.out" pass_s >>"$times"
    before=$(result_field "$log.out" rss_before_kb)
    peak=$(result_field "$log.out" hwm_after_kb)
    if [ $((peak - before)) -gt "$most" ]; then
      most=$((peak - before))
      base=$before
    fi
  done
  rm -rf "$dir"
  pass=$(median <"$times")
  printf "%-28s %8.2f %8.2f %7.2f %14.1f %10.1f %12.1f\n" "$label" "$pass" "$CURL_S" \
    "$(calc %f "$CURL_S / $pass")" "$(calc %f "$base / 1024")" "$(calc %f "($base + $most) / 1024")" \
    "$(calc %f "$most / 1024")"
  BIG_GROWTH_KB=$most
  BIG_RATIO=$(calc %f "$CURL_S / $pass")
}

# One document of 400 MiB and one of 2 GiB, posted whole to a page that reads
# it before it answers, against curl -F to the same page. QUILLFEED_BENCH_BEFORE
# names another transfer_bench (of an older build) to measure beside this one.
run_big() {
  start_nginx
  local size mib runs avail doc=$WORK/big-curl.pdf
  echo "== Big documents: one pass of one document, against curl -F to the same page"
  printf "%-28s %8s %8s %7s %14s %10s %12s\n" "case" "pass s" "curl s" "x curl" "RSS before MiB" "peak MiB" \
    "growth MiB"
  # QUILLFEED_BENCH_BIG_MIB="400": the sizes to run, in MiB.
  for mib in ${QUILLFEED_BENCH_BIG_MIB:-400 2048}; do
    size=$((mib * MIB))
    # The document for curl, the station's copy of it and out.txt, plus room.
    avail=$(($(df -Pk "$WORK" | awk 'NR == 2 { print $4 }') * 1024))
    if [ "$avail" -lt $((3 * size + 512 * MIB)) ]; then
      echo "$mib MiB: skipped, only $((avail / MIB)) MiB free in $WORK"
      continue
    fi
    runs=${QUILLFEED_BENCH_BIG_RUNS:-$([ "$mib" -le 400 ] && echo 5 || echo 3)}
    head -c "$size" < <(yes "%PDF-1.4 a page of the bench, 0123456789 abcdefghijklmnopqrstuvwxyz") >"$doc"
    CURL_S=$(SETTLE=1 time_runs "$runs" curl -sS -o /dev/null -H "Expect:" \
      -F "file=@$doc;filename=\\big.pdf;type=application/pdf" "$READ_URL")
    rm -f "$doc"
    if [ -n "${QUILLFEED_BENCH_BEFORE:-}" ]; then
      big_run "$QUILLFEED_BENCH_BEFORE" "$mib MiB, before" "$size" "$runs"
    fi
    big_run "$BUILD/bin/transfer_bench" "$mib MiB" "$size" "$runs"
    echo "target: growth <= 64 MiB: $(verdict "$BIG_GROWTH_KB <= 64 * 1024");" \
      "at least 0.8x curl: $(verdict "$BIG_RATIO >= 0.8")"
  done
}

# A backlog: 20,000 files of 2 KB in 100 subfolders, the work of a station that
# was cut off from the page for a day, in one pass of a window that has just made
# a pass of 1,000 files the same way and makes another one after it. The disk's
# sync time varies tenfold between runs on a shared machine, so the backlog is
# judged against the passes of the same run.
run_backlog() {
  start_nginx
  local files=${QUILLFEED_BENCH_BACKLOG:-20000} pair=1000 runs=${QUILLFEED_BENCH_BACKLOG_RUNS:-1} i dir=$WORK/backlog out
  echo "== Backlog: $files x 2 KB in 100 subfolders, between passes of $pair x 2 KB of the same window"
  printf "%-5s %9s %9s %9s %9s %9s %8s %9s %20s %10s %10s\n" "run" "before/s" "backlog s" "files/s" "after/s" \
    "x pair" "first s" "" "quarters s" "RSS MiB" "peak MiB"
  for ((i = 1; i <= runs; i++)); do
    rm -rf "$dir"
    out=$dir.out
    "$BUILD/bin/transfer_bench" backlog "$dir" "$URL" "$files" "$pair" 2048 100 >"$out" 2>"$dir.log" ||
      { tail -n 5 "$dir.log" "$out" >&2; die "transfer_bench backlog failed"; }
    local before after big first rss hwm q1 q2 q3 q4 rate pairrate
    before=$(result_field "$out" before_s)
    big=$(result_field "$out" backlog_s)
    after=$(result_field "$out" after_s)
    first=$(result_field "$out" first_s)
    q1=$(result_field "$out" q1_s) q2=$(result_field "$out" q2_s) q3=$(result_field "$out" q3_s) q4=$(result_field "$out" q4_s)
    rss=$(result_field "$out" rss_before_kb)
    hwm=$(result_field "$out" hwm_after_kb)
    rate=$(calc %f "$files / $big")
    pairrate=$(calc %f "($pair / $before + $pair / $after) / 2")
    printf "%-5s %9.0f %9.2f %9.0f %9.0f %9.2f %8.3f %9s %20s %10.1f %10.1f\n" "$i" "$(calc %f "$pair / $before")" \
      "$big" "$rate" "$(calc %f "$pair / $after")" "$(calc %f "$rate / $pairrate")" "$first" "" \
      "$(calc %.1f "$q1")/$(calc %.1f "$q2 - $q1")/$(calc %.1f "$q3 - $q2")/$(calc %.1f "$q4 - $q3")" \
      "$(calc %f "$rss / 1024")" "$(calc %f "$hwm / 1024")"
  done
  rm -rf "$dir"
  echo "(x pair: the backlog's files/s over the mean of the two passes of $pair around it; first s: from the click"
  echo " to the first file's row in filed.csv; quarters: the time each quarter of the backlog took;"
  echo " RSS: resident before the backlog's click, peak: the highest resident during its pass)"
  echo "a pass whose cost per file grows with the backlog shows x pair well below 1 and its quarters growing"
}

# ---------------------------------------------------------------------------
# Conversion

run_convert() {
  echo "== Conversion"
  if [ -f "$HERE/tiff2pdf/run.sh" ]; then
    bash "$HERE/tiff2pdf/run.sh"
  else
    echo "bench/tiff2pdf/run.sh is not there yet: skipped"
  fi
}

# ---------------------------------------------------------------------------

if [ -d "$ROOT/tests/sane" ]; then
  # The window's scanner adapter must never look for real devices here.
  export SANE_CONFIG_DIR="$ROOT/tests/sane"
fi
export QT_QPA_PLATFORM=offscreen

case "$WHAT" in
transfer) build && run_transfer ;;
link) build && run_link ;;
gaps) build && start_nginx && run_gaps ;;
listing) build && run_listing ;;
memory) build && run_memory ;;
big) build && run_big ;;
backlog) build && run_backlog ;;
convert) run_convert ;;
all)
  build
  run_transfer
  echo
  run_link
  echo
  run_listing
  echo
  run_memory
  echo
  run_big
  echo
  run_backlog
  echo
  run_convert
  ;;
esac
