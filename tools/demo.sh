#!/usr/bin/env bash
# The demo: velmorant between a simulated PMS and an SQLite PBX database, told as a short story.
#
#   tools/demo.sh [BUILD_DIR [PMS_PORT]]     (make demo runs it with the build folder)
#
# The daemon runs the templates of etc/velmorant-sqlite.conf on a PBX database made from
# etc/pbx-sqlite.sql; build/pmssim plays the PMS. Everything lives in a temporary folder on
# loopback, and everything the demo starts is stopped when it ends, however it ends. PMS_PORT 0
# (the default) lets the simulator pick a free port.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_arg=${1:-build}
pms_port=${2:-0}

fail() {
  echo "demo failed: $*" >&2
  exit 1
}

[[ $pms_port =~ ^[0-9]+$ ]] || fail "the PMS port \"$pms_port\" is not a number"
[[ -d $build_arg ]] || fail "no build folder $build_arg: run make first"
build_dir=$(cd "$build_arg" && pwd)
for program in velmorant pmssim; do
  [[ -x $build_dir/$program ]] || fail "$build_dir/$program is missing: run make first"
done
for tool in sqlite3 awk mktemp; do
  command -v "$tool" >/dev/null ||
    fail "the $tool command is missing: run make deps-build (as root)"
done

workdir=$(mktemp -d /tmp/velmorant-demo.XXXXXX)
pbx_db=$workdir/pbx.db
config=$workdir/velmorant.conf
transcript=$workdir/pmssim.out
daemon_log=$workdir/velmorant.log
pmssim_pid=
daemon_pid=

# Stops whatever is still running, in the order that lets each end cleanly, and removes the
# temporary folder. Runs on every exit, the failed ones included.
cleanup() {
  local status=$?
  exec 3>&- || true
  for pid in $daemon_pid $pmssim_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $daemon_pid $pmssim_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$workdir"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The last lines of a program's own output, to explain a failure.
show_tail() {
  echo "--- last lines of $1:" >&2
  tail -n 15 "$1" >&2 || true
}

# Fails when the simulator or the daemon has ended before its time.
check_running() {
  if [[ -n $pmssim_pid ]] && ! kill -0 "$pmssim_pid" 2>/dev/null; then
    show_tail "$workdir/pmssim.err"
    fail "the PMS simulator ended unexpectedly"
  fi
  if [[ -n $daemon_pid ]] && ! kill -0 "$daemon_pid" 2>/dev/null; then
    show_tail "$daemon_log"
    fail "velmorant ended unexpectedly"
  fi
}

# Waits up to $1 seconds for the command that follows to succeed; fails with $2 otherwise.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    check_running
    if ((SECONDS >= deadline)); then
      show_tail "$daemon_log"
      fail "$what did not happen within $seconds s"
    fi
    sleep 0.2
  done
}

# The PBX database through the sqlite3 shell; it waits while the daemon writes, as the PBX would.
sql() { sqlite3 -batch -cmd '.timeout 5000' "$@" "$pbx_db"; }

# True when the query's single value, read afresh at each call, is the expected text.
pbx_value_is() { [[ $(sql <<<"$1") == "$2" ]]; }

# The phone of room $1 (101 unless given) as the PBX sees it, and the call records, as
# tab-separated lines.
room_columns=(exten name language dnd barred wakeup_date wakeup_time wakeup_result)
call_columns=(calldate src dst billsec disposition userfield)
room_row() {
  sql -separator $'\t' -nullvalue NULL <<<"select $(IFS=,; echo "${room_columns[*]}")
    from extensions where exten='${1:-101}'"
}
call_rows() {
  sql -separator $'\t' <<<"select $(IFS=,; echo "${call_columns[*]}") from cdr order by calldate"
}

# Prints labelled rows under a header of column names, each column as wide as its widest text.
# Arguments: the table name, its columns as one tab-separated text, then label and row pairs.
show_rows() {
  local table=$1 columns=$2
  shift 2
  {
    printf '%s\t%s\n' "$table" "$columns"
    while (($# >= 2)); do
      printf '%s\t%s\n' "$1" "$2"
      shift 2
    done
  } | awk -F '\t' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) }
      fields[NR] = NF }
    END { for (r = 1; r <= NR; r++) {
            line = "     "
            for (i = 1; i <= fields[r]; i++)
              line = line sprintf(i < fields[r] ? "%-" width[i] "s  " : "%s", cell[r, i])
            sub(/ +$/, "", line)
            print line } }'
}
show_room() { show_rows extensions "$(IFS=$'\t'; echo "${room_columns[*]}")" "$@"; }
show_calls() { show_rows cdr "$(IFS=$'\t'; echo "${call_columns[*]}")" "$@"; }

# Prints the records that crossed the link since the last call: '<' lines of the simulator's
# transcript came from the daemon, '>' lines went to it. Only whole lines are read.
link_seen=1
show_link() {
  local complete
  complete=$(wc -l <"$transcript")
  while IFS= read -r line; do
    case $line in
      *" < "*) printf '   velmorant -> PMS  %s\n' "${line#* < }" ;;
      *" > "*) printf '   PMS -> velmorant  %s\n' "${line#* > }" ;;
    esac
  done < <(sed -n "$((link_seen + 1)),${complete}p" "$transcript")
  link_seen=$complete
}

transcript_has() { grep -qF -- "$1" "$transcript"; }

# Sends one record from the PMS.
pms_sends() { printf '%s\n' "$1" >&3; }

step=0
headline() {
  step=$((step + 1))
  printf '\n%d. %s\n' "$step" "$1"
}

# ---- The PBX: its database, with the hotel's room phones 101 and 102.
sql <"$source_dir/etc/pbx-sqlite.sql"
sql <<<"insert into extensions (exten) values ('101'), ('102')"

# ---- The PMS: the simulator reads its script from a pipe that the demo writes step by step.
# The demo holds the pipe open read-write, so neither side waits for the other to open it; the
# programs must not inherit that descriptor, or the simulator would never see the script end.
mkfifo "$workdir/script"
exec 3<>"$workdir/script"
"$build_dir/pmssim" --port "$pms_port" --answer-postings --script - \
  <"$workdir/script" >"$transcript" 2>"$workdir/pmssim.err" 3>&- &
pmssim_pid=$!
pms_listening() { grep -q '^listening on ' "$transcript" 2>/dev/null; }
deadline=$((SECONDS + 10))
until pms_listening; do
  ((SECONDS < deadline)) || fail "the PMS simulator did not start listening within 10 s"
  if ! kill -0 "$pmssim_pid" 2>/dev/null; then
    wait "$pmssim_pid" || true
    pmssim_pid=
    if grep -q 'Address already in use' "$workdir/pmssim.err"; then
      fail "port $pms_port on 127.0.0.1 is in use; give the demo another port, or 0 for any free one"
    fi
    show_tail "$workdir/pmssim.err"
    fail "the PMS simulator could not start"
  fi
  sleep 0.1
done
pms_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$transcript")

# ---- The daemon: the SQLite sample configuration with this run's port and files.
awk -v port="$pms_port" -v states="$workdir/velmorant.db" -v pbx="$pbx_db" '
  /^\[/ { section = $0 }
  section == "[pms]" && /^port *=/ { print "port = " port; next }
  section == "[pms]" && /^statesfile *=/ { print "statesfile = " states; next }
  section == "[pbx]" && /^database *=/ { print "database = " pbx; next }
  { print }
' "$source_dir/etc/velmorant-sqlite.conf" >"$config"
for setting in "port = $pms_port" "statesfile = $workdir/velmorant.db" "database = $pbx_db"; do
  grep -qxF "$setting" "$config" ||
    fail "etc/velmorant-sqlite.conf no longer has the key of \"$setting\" where the demo expects it"
done

cat <<EOF
velmorant demo: a hotel's PMS and its PBX, joined by the daemon
  PMS           $build_dir/pmssim on 127.0.0.1:$pms_port, answering every posting
  PBX database  $pbx_db (SQLite, tables of etc/pbx-sqlite.sql)
  daemon        $build_dir/velmorant -f -d -c $config
                (the templates of etc/velmorant-sqlite.conf)
EOF

"$build_dir/velmorant" -f -d -c "$config" >"$workdir/velmorant.out" 2>"$daemon_log" 3>&- &
daemon_pid=$!

headline "Link start-up: the daemon connects and announces its records, the PMS confirms"
wait_for 30 "the link start-up" transcript_has "* link active"
show_link

headline "Check-in: Mr O'Brien takes room 101 (services:checkin)"
before=$(room_row)
pms_sends "GI|RN101|GNO'Brien|GLEA|GSN|"
wait_for 15 "the check-in" pbx_value_is "select name from extensions where exten='101'" "O'Brien"
show_link
show_room before "$before" after "$(room_row)"

headline "Do not disturb on (services:dndon)"
before=$(room_row)
pms_sends "RE|RN101|DNY|"
wait_for 15 "do not disturb" pbx_value_is "select dnd from extensions where exten='101'" 1
show_link
show_room before "$before" after "$(room_row)"

headline "The phone is barred from outside calls (services:bareon)"
before=$(room_row)
pms_sends "RE|RN101|CS0|"
wait_for 15 "the barring" pbx_value_is "select barred from extensions where exten='101'" 1
show_link
show_room before "$before" after "$(room_row)"

wakeup_day=$(date -d tomorrow +%y%m%d)
wakeup_date=$(date -d tomorrow +%Y-%m-%d)
headline "A wake-up call for tomorrow at 07:00 (services:wakeup_set)"
before=$(room_row)
pms_sends "WR|RN101|DA$wakeup_day|TI070000|"
wait_for 15 "the wake-up order" pbx_value_is \
  "select wakeup_date || ' ' || wakeup_time from extensions where exten='101'" "$wakeup_date 07:00:00"
show_link
show_room before "$before" after "$(room_row)"

headline "Room 101 calls London for 125 s: posted to the PMS (services:billcalls, billmark, billok)"
echo "   The PBX writes the call record; the daemon looks for new calls every 10 s."
sql <<<"insert into cdr (calldate, clid, src, dst, dcontext, duration, billsec, disposition)
     values (datetime('now', 'localtime', '-3 minutes'), '\"O''Brien\" <101>', '101',
             '00442079460123', 'hotel', 131, 125, 'ANSWERED')"
written=$(call_rows)
wait_for 40 "the posting and its answer" \
  pbx_value_is "select userfield from cdr where src='101'" "PA 0001"
show_link
show_calls written "$written" after "$(call_rows)"

headline "The wake-up call is answered: reported to the PMS (services:wakeup_result, wrmark)"
echo "   The PBX's wake-up application writes the result; the daemon looks every 10 s."
before=$(room_row)
sql <<<"update extensions set wakeup_result=1 where exten='101'"
written=$(room_row)
wait_for 40 "the wake-up report" \
  pbx_value_is "select count(*) from extensions where exten='101' and wakeup_result is null" 1
show_link
show_room before "$before" written "$written" after "$(room_row)"

headline "Check-out (services:checkout)"
before=$(room_row)
pms_sends "GO|RN101|GNO'Brien|"
wait_for 15 "the check-out" pbx_value_is "select name from extensions where exten='101'" ""
show_link
show_room before "$before" after "$(room_row)"

headline "Check-in: Ms Ito takes room 102 (services:checkin)"
before=$(room_row 102)
pms_sends "GI|RN102|GNIto|GLEA|GSN|G#4712|"
wait_for 15 "the check-in" pbx_value_is "select name from extensions where exten='102'" "Ito"
show_link
show_room before "$before" after "$(room_row 102)"

headline "Room move: Ms Ito moves from room 102 to room 101 (services:roommove)"
before_old=$(room_row 102)
before_new=$(room_row 101)
pms_sends "GC|RN101|RO102|G#4712|GNIto|GLEA|GSN|"
wait_for 15 "the room move" pbx_value_is "select name from extensions where exten='101'" "Ito"
show_link
show_room before "$before_old" before "$before_new" after "$(room_row 102)" after "$(room_row 101)"

# ---- The end: the script is over, the daemon stops, and the simulator ends with its session.
# In the foreground SIGTERM ends the daemon at once; the simulator then sees its connection close
# after the end of the script and ends too.
exec 3>&-
kill -TERM "$daemon_pid"
wait "$daemon_pid" || true
daemon_pid=
deadline=$((SECONDS + 15))
while kill -0 "$pmssim_pid" 2>/dev/null; do
  ((SECONDS < deadline)) || fail "the PMS simulator did not end with the daemon's connection"
  sleep 0.1
done
pmssim_status=0
wait "$pmssim_pid" || pmssim_status=$?
pmssim_pid=
((pmssim_status == 0)) || fail "the PMS simulator ended with status $pmssim_status"

records=$(grep -c ' [<>] ' "$transcript")
printf '\nDone in %d s: %d records crossed the link; the daemon and the simulator have stopped.\n' \
  "$SECONDS" "$records"
