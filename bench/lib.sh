# Helpers of the bench scripts, sourced by them. BENCH names the script in
# its messages; timed needs RES and TIME, discard WORK, TRASH and BIN.

note() { printf '%s\n' "$*" >&2; }

# median FILE: the median of the numbers in FILE, one per line.
median() {
  sort -g "$1" | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
runs_of() { tr '\n' ' ' <"$1" | sed 's/ $//'; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
met() { awk "BEGIN { r = ($1) ? \"met\" : \"NOT met\"; print r }"; }
# The peak RSS allowed for CHANNELS channels: 30 MB + 45 KB each, in decimal
# units, as KiB like %M.
budget() { awk "BEGIN { printf \"%.0f\", (30000000 + 45000 * $1) / 1024 }"; }

# timed LABEL CMD...: one run under /usr/bin/time; wall s and peak RSS KiB are
# appended to $RES/LABEL.wall and $RES/LABEL.rss. With SYNCED set, the run
# lasts up to the end of a sync after CMD.
timed() {
  local label=$1
  shift
  [[ -n ${SYNCED:-} ]] && set -- sh -c '"$@" && sync' sh "$@"
  local t0 t1
  t0=$EPOCHREALTIME
  if ! "$TIME" -f '%e %M' -o "$RES/time.out" "$@" >"$RES/$label.out" 2>"$RES/$label.err"; then
    note "$BENCH: $label failed:"
    tail -n 20 "$RES/$label.err" >&2
    exit 1
  fi
  t1=$EPOCHREALTIME
  local wall rss
  read -r _ rss < <(tail -n 1 "$RES/time.out")
  # %e counts in hundredths, a fifth of a station-day: the wall clock around it counts finer.
  wall=$(awk -v a="${t0/,/.}" -v b="${t1/,/.}" 'BEGIN { printf "%.4f", b - a }')
  echo "$wall" >>"$RES/$label.wall"
  echo "$rss" >>"$RES/$label.rss"
}

# How long file creation stays slow after a deletion. On ext4 without a
# journal, as here, a new inode is not given one deleted within the last
# 60 s, 360 s while its inode table block waits for write-back: each
# creation beside thousands of those steps over them one by one. 1440 empty
# files took 0.22-0.37 s against 0.02 s from the end of deleting 30 000 until
# six to seven minutes later. SETTLE_DELETED=0 where that does not hold.
SETTLE_DELETED=${SETTLE_DELETED:-420}

# forget PATH...: deletes earlier runs' data, then waits until file creation
# no longer pays for it.
forget() {
  rm -rf "$@"
  sync
  if ((SETTLE_DELETED > 0)); then
    note "$BENCH: earlier runs' data deleted; waiting $SETTLE_DELETED s before the next run creates files"
    sleep "$SETTLE_DELETED"
  fi
}

# discard PATH: puts an earlier run's data out of the next run's way. While
# WORK has 10 GB free it is moved into TRASH, not deleted (see forget): a
# growing archive never creates files beside thousands just deleted. It is
# written back and dropped from the page cache (see brevanto-bench-uncache),
# leaving memory to the runs after it. With less room it is deleted with
# what TRASH holds, counted in discard_deleted.
discard_moved=0
discard_deleted=0
discard() {
  [[ -e $1 ]] || return 0
  mkdir -p "$TRASH"
  if (($(df -Pk "$WORK" | awk 'NR == 2 { print $4 }') > 10000000)); then
    discard_moved=$((discard_moved + 1))
    mv "$1" "$TRASH/$discard_moved"
    sync
    "$BIN/brevanto-bench-uncache" "$TRASH/$discard_moved"
  else
    discard_deleted=$((discard_deleted + 1))
    forget "$1" "$TRASH"
    mkdir -p "$TRASH"
  fi
}
# The line that says how the data of earlier runs went.
discard_report() {
  if ((discard_deleted == 0)); then
    echo "data of earlier runs moved aside, deleted after the last run"
  else
    echo "data of earlier runs deleted $discard_deleted times (under 10 GB free), each time followed by a wait of $SETTLE_DELETED s"
  fi
}
