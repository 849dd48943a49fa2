#!/usr/bin/env bash
# What an operator reads: `mirvolctl help` lists every command and `help
# COMMAND` explains each with its fields and units; the reference under
# docs/ names exactly the commands of the client's table, with the same
# summaries; docs/layout.md maps every unit; mirvold --help shows every
# option with its default and every module parameter with its description.
# No host is needed.
#   ctl_help_test.sh MIRVOLCTL MIRVOLD DOCS_DIR
MIRVOLCTL=$1
MIRVOLD=$2
DOCS=$3
. "$(dirname "$0")/lib.sh"

ctl() { timeout 10 "$MIRVOLCTL" "$@"; }

# --- the command list and one page per command ---
ctl help >"$WORK/help" || fail "mirvolctl help exited $?"
ctl --help | cmp -s - "$WORK/help" || fail "--help and help differ"
sed -n '/^Commands:/,/^$/p' "$WORK/help" | sed -n 's/^  \([a-z-]*\)  *\(.*\)$/\1|\2/p' >"$WORK/cmds"
[ -s "$WORK/cmds" ] || fail "help lists no commands: $(cat "$WORK/help")"
while IFS='|' read -r name summary; do
  ctl help "$name" >"$WORK/one" 2>&1 || fail "help $name exited $?"
  head -n 1 "$WORK/one" | grep -E "^usage: mirvolctl .*(NMPx $name|raw NMPx)" >/dev/null ||
    fail "help $name has no usage line: $(cat "$WORK/one")"
  grep -xF -- "$summary" "$WORK/one" >/dev/null || fail "help $name lacks its summary"
  [ "$(wc -l <"$WORK/one")" -ge 4 ] || fail "help $name says nearly nothing: $(cat "$WORK/one")"
done <"$WORK/cmds"

# The fields an operator needs, with units and values.
# command | text
while IFS='|' read -r name text; do
  ctl help "$name" | grep -F -- "$text" >/dev/null || fail "help $name lacks \"$text\""
done <<'CASES'
init|hb_interval=SECONDS  heartbeat interval, 1..600 (10)
init|active=1
init|mode=sync|async
set-param|band_limit KB/s
set-size|SIZE_KIB
set-disk-error-action|2 break the mirror and go on
set-disk-error-action|1 panic
get-sync-flags|Bit 3 (8) is the driver's
port|io=open nw=open mount=close
recover|--chunk BITS  walk the range
recover|STATUS_RECOVERY_PORT_CLOSED
read-bitmap|format=bits
diff-size|bytes=N x granule x 512
switch-network|STATUS_ALREADY_SWITCHED
set-block-size|BYTES
convert-history|STATUS_INVALID_HISTORY
stop|STATUS_TIMEOUT when a thread did not end
start|STATUS_FAILED when a thread cannot
wait-send-queue|exceed ack_timeout
network-init|interval=SECONDS          bitmap refresh interval, 1..600 (100)
CASES
grep -F "Exit status: 0" "$WORK/help" >/dev/null || fail "help does not give the exit status"

# Refused: a command that does not exist, with exit 2.
rc=0
ctl help frobnicate >"$WORK/out" 2>&1 || rc=$?
[ "$rc" = 2 ] && grep -F "help: no command frobnicate" "$WORK/out" >/dev/null ||
  fail "help of an unknown command: exit $rc: $(cat "$WORK/out")"
ctl --version | grep -E '^mirvolctl [0-9]' >/dev/null || fail "no version"

# --- the reference names exactly the table's commands ---
sed -n 's/^| `\([a-z-]*\)` | \(.*\) |$/\1|\2/p' "$DOCS/mirvolctl.md" >"$WORK/doc_cmds"
diff "$WORK/cmds" "$WORK/doc_cmds" >"$WORK/diff" ||
  fail "docs/mirvolctl.md and mirvolctl help differ (< help, > docs): $(cat "$WORK/diff")"
for section in NAME SYNOPSIS COMMANDS "EXIT STATUS" FILES; do
  grep -x "## $section" "$DOCS/mirvolctl.md" >/dev/null || fail "docs/mirvolctl.md has no $section"
  grep -x "## $section" "$DOCS/mirvold.md" >/dev/null || [ "$section" = COMMANDS ] ||
    fail "docs/mirvold.md has no $section"
done

# --- the unit map names every unit of the driver, host and client ---
for f in "$DOCS"/../{core,replication,platform,host,tools}/*.{cpp,h}; do
  [ -e "$f" ] || continue
  base=$(basename "$f")
  grep -F -- "\`${base%.*}." "$DOCS/layout.md" >/dev/null || fail "docs/layout.md does not map $f"
done

# --- mirvold: --help on stdout with exit 0, every option with its default ---
timeout 10 "$MIRVOLD" --help >"$WORK/dhelp" 2>"$WORK/derr" || fail "mirvold --help exited $?"
[ ! -s "$WORK/derr" ] || fail "mirvold --help wrote to stderr: $(cat "$WORK/derr")"
for opt in --mount --control --log --addresses --time-scale --help; do
  grep -F -- "$opt" "$WORK/dhelp" >/dev/null || fail "mirvold --help lacks $opt"
  grep -F -- "\`$opt" "$DOCS/mirvold.md" >/dev/null || grep -F -- ", \`$opt" "$DOCS/mirvold.md" >/dev/null ||
    fail "docs/mirvold.md lacks $opt"
done
grep -F "/run/mirvol/control.sock" "$WORK/dhelp" >/dev/null || fail "mirvold --help lacks the default socket"
# Every module parameter with its description, the same in the reference.
sed -n '/^Module parameters/,/^$/p' "$WORK/dhelp" | sed -n 's/^  \([a-z_]*\)  *\(.*\)$/\1|\2/p' >"$WORK/dparams"
for param in nmp_minor g_nmp_count g_mirvol_major; do
  grep -E "^$param\|.+" "$WORK/dparams" >/dev/null || fail "mirvold --help does not describe $param: $(cat "$WORK/dhelp")"
done
sed -n 's/^| `\([a-z_]*\)` | \(.*\) |$/\1|\2/p' "$DOCS/mirvold.md" >"$WORK/doc_params"
diff "$WORK/dparams" "$WORK/doc_params" >"$WORK/diff" ||
  fail "docs/mirvold.md and mirvold --help describe the parameters differently (< help, > docs): $(cat "$WORK/diff")"
rc=0
timeout 10 "$MIRVOLD" --time-scale=0 nmp_minor=3 >"$WORK/out" 2>&1 || rc=$?
[ "$rc" = 2 ] && grep -F -- "--time-scale takes 1 to 1000, not 0" "$WORK/out" >/dev/null ||
  fail "mirvold --time-scale=0: exit $rc: $(cat "$WORK/out")"
echo PASS
