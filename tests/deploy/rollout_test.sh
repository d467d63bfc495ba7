#!/usr/bin/env bash
# The roll-out playbook on three workstations of one machine (ansible_connection=local),
# one prefix each; on the third the installed program is held open by another process.
# The recap must show the third host failed with a fetched report giving error 32 and the
# two others updated. Run as root, a fourth workstation belongs to the unprivileged user
# nobody, whose wizard runs through become (su) and leaves every file it writes nobody's.
#
#   rollout_test.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
command -v ansible-playbook >/dev/null || { echo "ansible-playbook is missing (scripts/deps.sh installs ansible-core)"; exit 1; }

work=$(mktemp -d)
holder=
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One packed wizard and one demo prefix, copied for every workstation.
DREMLIX_BUILD_DIR="$bin/.." DREMLIX_DEMO_DIR="$work/demo" DREMLIX_DEMO_NO_START=1 \
  "$top/scripts/demo" >/dev/null
wizard="$work/demo/FalcrestUpdate"
program='drive_c/WDremlix/Kestrin/Programs/Falcrest.exe'
hosts="ws1 ws2 ws3"
as_user=
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
  as_user=ws4
  hosts="$hosts ws4"
  chmod 755 "$work"
fi
for host in $hosts; do
  cp -a "$work/demo/prefix" "$work/$host"
done
[ -z "$as_user" ] || chown -R nobody: "$work/$as_user"
# Another process keeps the third workstation's Falcrest.exe open.
( exec 9<"$work/ws3/$program"; exec sleep 600 ) &
holder=$!
for _ in $(seq 1 50); do
  ls -l "/proc/$holder/fd" 2>/dev/null | grep -q Falcrest.exe && break
  sleep 0.1
done

cat > "$work/inventory.ini" <<INV
[workstations]
ws1 dremlix_prefix=$work/ws1
ws2 dremlix_prefix=$work/ws2
ws3 dremlix_prefix=$work/ws3
${as_user:+$as_user dremlix_prefix=$work/$as_user dremlix_user=nobody ansible_become_method=su ansible_become_flags='-s /bin/sh'}

[workstations:vars]
ansible_connection=local
ansible_python_interpreter=/usr/bin/python3
INV

export ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=4 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_LOCAL_TEMP="$work/ansible-local" ANSIBLE_REMOTE_TEMP="$work/ansible-remote"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
status=0
ansible-playbook -i "$work/inventory.ini" "$top/deploy/ansible/rollout.yml" \
  -e "dremlix_wizard=$wizard" -e "dremlix_reports=$work/reports" >"$work/play.log" 2>&1 || status=$?
cat "$work/play.log"

fail() { echo "FAILED: $*"; exit 1; }
[ "$status" -ne 0 ] || fail "the playbook succeeded although ws3 could not be updated"
recap() { grep -E "^$1 +:" "$work/play.log" || true; }
recap ws1 | grep -q "failed=0" || fail "ws1 is not shown updated: $(recap ws1)"
recap ws2 | grep -q "failed=0" || fail "ws2 is not shown updated: $(recap ws2)"
recap ws3 | grep -q "failed=1" || fail "ws3 is not shown failed: $(recap ws3)"
grep -q "exit code 1" "$work/play.log" || fail "the failure message does not give the exit code"

updated="ws1 ws2 $as_user"
for host in $hosts; do
  [ -s "$work/reports/$host.txt" ] || fail "no report fetched for $host"
done
for host in $updated; do
  cmp -s "$top/demo/Falcrest.exe" "$work/$host/$program" || fail "$host still has the old Falcrest.exe"
  grep -q "L'aggiornamento terminato con successo." "$work/reports/$host.txt" || fail "$host's report does not close with success"
done
grep -q "Code : 32\." "$work/reports/ws3.txt" || fail "ws3's report does not give error 32"
grep -q "L'aggiornamento è fallito !" "$work/reports/ws3.txt" || fail "ws3's report does not close as failed"
cmp -s "$top/demo/installed/Falcrest.exe" "$work/ws3/$program" || fail "ws3's held Falcrest.exe was changed"
if [ -n "$as_user" ]; then
  recap "$as_user" | grep -q "failed=0" || fail "$as_user is not shown updated: $(recap "$as_user")"
  strangers=$(find "$work/$as_user" ! -user nobody | head -5)
  [ -z "$strangers" ] || fail "files of $as_user's prefix not owned by nobody: $strangers"
fi
echo "roll-out: $updated updated, ws3 failed with error 32 as expected"
