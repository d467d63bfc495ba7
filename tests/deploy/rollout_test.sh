#!/usr/bin/env bash
# The roll-out playbook on three workstations of one machine (ansible_connection=local),
# one prefix each; on the third the installed program is held open by another process.
# The recap must show the third host failed with a fetched report giving error 32, the
# fifth (a listed file it cannot write) updated with warnings (exit 4) and the others
# updated. A second run finds the updated hosts up to date (ok, changed=0); a run in
# check mode changes nothing. The commands run from the project's root with relative paths,
# as the README gives them. Run as root, a fourth workstation belongs to the unprivileged user
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
hosts="ws1 ws2 ws3 ws5"
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
# The fifth cannot take its help file: a folder stands where it goes.
mkdir -p "$work/ws5/drive_c/WDremlix/Kestrin/Programs/Falcrest.chm"
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
ws5 dremlix_prefix=$work/ws5
${as_user:+$as_user dremlix_prefix=$work/$as_user dremlix_user=nobody ansible_become_method=su ansible_become_flags='-s /bin/sh'}

[workstations:vars]
ansible_connection=local
ansible_python_interpreter=/usr/bin/python3
INV

export ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=4 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_LOCAL_TEMP="$work/ansible-local" ANSIBLE_REMOTE_TEMP="$work/ansible-remote"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# As the README gives it: from the project's root, the wizard and the reports folder
# relative to it.
rel_wizard=$(realpath --relative-to="$top" "$wizard")
rel_reports=$(realpath --relative-to="$top" "$work/reports")
play() {
  local log=$1; shift
  local rc=0
  (cd "$top" && ansible-playbook -i "$work/inventory.ini" deploy/ansible/rollout.yml \
     -e "dremlix_wizard=$rel_wizard" -e "dremlix_reports=$rel_reports" "$@") >"$log" 2>&1 || rc=$?
  cat "$log"
  return $rc
}
status=0
sha=$(sha256sum "$wizard" | cut -d' ' -f1)
play "$work/play.log" -e dremlix_wizard_sha256="$sha" -e dremlix_allow_older=false \
  -e 'dremlix_product_folder=C:\WDremlix\Kestrin' -e 'dremlix_program_file=C:\WDremlix\Kestrin\Programs\Falcrest.exe' \
  -e dremlix_company=Nessuna || status=$?
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
recap ws5 | grep -Eq "changed=[1-9].*failed=0" || fail "ws5 (warnings) is not counted updated: $(recap ws5)"
grep -q '"exit_code": 4' "$work/reports/ws5.json" || fail "ws5 did not end with warnings"
[ -d "$top/deploy/ansible/$rel_reports" ] && fail "the reports landed inside the source tree"
# The summary: one line per host with its outcome and both versions.
for host in ws1 ws2; do
  grep -Eq "^$host +success +0 +5\.2\.4\.7 +5\.3\.0\.12$" "$work/reports/summary.txt" || fail "no summary line for $host"
done
grep -Eq "^ws3 +failure +1 +5\.2\.4\.7 +5\.2\.4\.7$" "$work/reports/summary.txt" || fail "no summary line for ws3"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert {r["host"] for r in d} >= {"ws1","ws2","ws3","ws5"}, d' \
  "$work/reports/summary.json" || fail "summary.json does not hold every host"

# Twice: the updated hosts are up to date, ok and unchanged.
status=0
play "$work/play2.log" -e dremlix_allow_same=false || status=$?
[ "$status" -ne 0 ] || fail "the second run succeeded although ws3 still cannot be updated"
for host in ws1 ws2 $as_user; do
  grep -E "^$host +:" "$work/play2.log" | grep -Eq "changed=0 .*failed=0" || fail "$host is not ok and unchanged on the second run"
  grep -Eq "^$host +up-to-date +8 " "$work/reports/summary.txt" || fail "$host is not up to date in the second summary"
done

# Signed by the vendor: a good signature runs, a wizard changed after signing does not.
if command -v minisign >/dev/null; then
  minisign -G -W -p "$work/vendor.pub" -s "$work/vendor.key" >/dev/null
  minisign -S -s "$work/vendor.key" -m "$wizard" >/dev/null
  pubkey=$(tail -1 "$work/vendor.pub")
  status=0
  play "$work/play-signed.log" -e "dremlix_wizard_pubkey=$pubkey" --limit ws1 || status=$?
  [ "$status" -eq 0 ] || fail "a wizard with a good signature did not run"
  cp "$wizard" "$work/unsigned"
  printf 'x' >> "$wizard"
  status=0
  play "$work/play-badsig.log" -e "dremlix_wizard_pubkey=$pubkey" --limit ws1 || status=$?
  cp "$work/unsigned" "$wizard"
  [ "$status" -ne 0 ] || fail "a wizard changed after signing ran"
  grep -q "Run the wizard unattended" "$work/play-badsig.log" && fail "the wizard ran although its signature failed"
else
  echo "minisign is missing: the signature is not checked here (scripts/deps.sh installs it)"
fi

# A wrong checksum runs nothing.
before=$(sha256sum "$work/ws3/$program")
status=0
play "$work/play3.log" -e dremlix_wizard_sha256=0000 --limit ws3 || status=$?
[ "$status" -ne 0 ] || fail "a wizard with the wrong checksum ran"
[ "$before" = "$(sha256sum "$work/ws3/$program")" ] || fail "a wizard with the wrong checksum changed ws3"

# A canary batch of two where one fails: the roll-out stops before the next batch (Ansible
# alone would go on, as one host of the batch succeeded).
status=0
play "$work/play5.log" -e '{"dremlix_serial": [2, "100%"], "dremlix_max_fail_percentage": 0}' --limit ws1,ws3,ws5 || status=$?
[ "$status" -ne 0 ] || fail "the canary's failure did not fail the roll-out"
grep -q "1 of 2 workstations failed, more than dremlix_max_fail_percentage=0%: the roll-out stops here." \
  "$work/play5.log" || fail "the roll-out does not say why it stopped"
! grep -Eq "^ws5 +:" "$work/play5.log" || fail "ws5 ran after its canary failed"

# In check mode nothing changes; the answer to the same version is passed.
snap() { find "$work/ws1" "$work/ws2" -printf '%p %s %T@\n' | sort | sha256sum; }
before=$(snap)
status=0
play "$work/play4.log" --check -e dremlix_allow_same=true || status=$?
[ "$before" = "$(snap)" ] || fail "the run in check mode changed a workstation"
grep -E "^ws1 +:" "$work/play4.log" | grep -q "failed=0" || fail "ws1 failed in check mode"
# With the same version allowed, the dry run on ws1 would replace its program again.
grep -Eq '^ws1 +dry-run success +0 ' "$work/reports/summary-check.txt" || fail "no dry-run line for ws1"
grep -q 'replace C:\\\\WDremlix\\\\Kestrin\\\\Programs\\\\Falcrest.exe 5.3.0.12 -> 5.3.0.12' "$work/play4.log" \
  || fail "the check mode does not show what would change"
echo "roll-out: $updated updated, ws5 with warnings, ws3 failed with error 32 as expected; twice and in check mode"
