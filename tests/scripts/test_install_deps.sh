#!/usr/bin/env bash
# Runs scripts/install-deps against stand-ins for dpkg, apt-get, sudo and id that
# record what they are asked to do; nothing is installed.
#   test_install_deps.sh <path of install-deps>
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir -p "$bin" "$work/db"
export LOG=$work/log DB=$work/db FAKE_UID=0 APT_STATUS=0
unset DEBIAN_FRONTEND # the front end must come from the script itself

cat >"$bin/dpkg" <<'SH'
#!/usr/bin/env bash
[ "$1" = -s ] && [ -f "$DB/$2" ] || { echo "dpkg-query: package '$2' is not installed" >&2; exit 1; }
printf 'Package: %s\nStatus: %s\nVersion: 1.0\nDescription: stand-in\n' "$2" "$(cat "$DB/$2")"
SH
cat >"$bin/apt-get" <<'SH'
#!/usr/bin/env bash
echo "apt-get $* frontend=${DEBIAN_FRONTEND:-unset}" >>"$LOG"
exit "${APT_STATUS:-0}"
SH
# Like the real sudo, it starts the command with a reset environment.
cat >"$bin/sudo" <<'SH'
#!/usr/bin/env bash
echo "sudo" >>"$LOG"
exec env -i PATH="$PATH" LOG="$LOG" APT_STATUS="$APT_STATUS" "$@"
SH
cat >"$bin/id" <<'SH'
#!/usr/bin/env bash
echo "$FAKE_UID"
SH
chmod +x "$bin"/*
export PATH="$bin:$PATH"
[ "$(command -v apt-get)" = "$bin/apt-get" ] || { echo "stand-in apt-get not first in PATH"; exit 1; }

failures=0
check() { # name, expected log
  local got
  got=$(cat "$LOG" 2>/dev/null)
  if [ "$got" != "$2" ]; then
    printf 'FAIL %s\n--- expected:\n%s\n--- got:\n%s\n' "$1" "$2" "$got"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
  rm -f "$LOG"
}

echo "install ok installed" >"$DB/have"
echo "hold ok installed" >"$DB/held"
echo "deinstall ok config-files" >"$DB/removed"
echo "install reinstreq half-installed" >"$DB/broken"

bash "$script" have held >/dev/null || { echo "FAIL installed: exit status"; failures=$((failures + 1)); }
check "nothing missing: no apt-get at all" ""

bash "$script" have absent removed broken >/dev/null
check "absent, removed and half-installed packages are installed, as root" \
"apt-get update -qq frontend=noninteractive
apt-get install -y -qq absent removed broken frontend=noninteractive"

FAKE_UID=1000 bash "$script" absent have >/dev/null
check "through sudo, which keeps the non-interactive front end" \
"sudo
apt-get update -qq frontend=noninteractive
sudo
apt-get install -y -qq absent frontend=noninteractive"

if APT_STATUS=100 bash "$script" absent >/dev/null 2>&1; then
  echo "FAIL a failed apt-get must fail the script"; failures=$((failures + 1))
else
  echo "ok   a failed apt-get fails the script"
fi
rm -f "$LOG"

[ "$failures" -eq 0 ]
