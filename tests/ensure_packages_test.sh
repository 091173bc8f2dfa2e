#!/usr/bin/env bash
# ensure_packages against stand-ins for apt-get, dpkg-query and sudo on PATH: a mirror mid-sync fails `apt-get
# update`, a first install fails, an install never succeeds. Each time the function must install, or say in one
# line which packages it could not install and why, and return to a script that runs under `set -e`.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "${work:?}"' EXIT
mkdir -p "$work/bin" "$work/installed"

# apt-get: `update` fails while FAKE_UPDATE_FAILS is set; `install` fails its first FAKE_INSTALL_FAILURES calls
# (counted in $work/install_calls), then marks its packages installed. Every call is logged.
cat > "$work/bin/apt-get" << 'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >> "$FAKE_ROOT/calls"
case $1 in
update)
    if [ -n "${FAKE_UPDATE_FAILS:-}" ]; then
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress? [IP: 127.0.0.1 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi
    exit 0 ;;
install)
    calls=$(( $(cat "$FAKE_ROOT/install_calls" 2> /dev/null || echo 0) + 1 ))
    echo "$calls" > "$FAKE_ROOT/install_calls"
    if [ "$calls" -le "${FAKE_INSTALL_FAILURES:-0}" ]; then
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
    fi
    for arg in "$@"; do
        case $arg in -*|install) ;; *) touch "$FAKE_ROOT/installed/$arg" ;; esac
    done
    exit 0 ;;
esac
exit 1
EOF
cat > "$work/bin/dpkg-query" << 'EOF'
#!/usr/bin/env bash
package=${!#}
[ -e "$FAKE_ROOT/installed/$package" ] || exit 1
printf 'install ok installed'
EOF
cat > "$work/bin/sudo" << 'EOF'
#!/usr/bin/env bash
exec "$@"
EOF
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH" FAKE_ROOT=$work ENSURE_PACKAGES_PAUSE=0 ENSURE_PACKAGES_ATTEMPTS=3

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# scenario NAME SCRIPT: runs SCRIPT in a fresh `set -euo pipefail` shell that has sourced ensure_packages.sh, with
# no package installed; its output lands in $work/NAME.out and .err, its status in $status.
scenario() {
    rm -rf "${work:?}/installed" "${work:?}/calls" "${work:?}/install_calls"
    mkdir -p "$work/installed"
    status=0
    bash -c "set -euo pipefail; source '$here/../scripts/ensure_packages.sh'; $2" \
        > "$work/$1.out" 2> "$work/$1.err" || status=$?
}

# A failed index is a warning: the packages are installed and the script goes on.
FAKE_UPDATE_FAILS=1 scenario update_fails 'ensure_packages alpha beta; echo after'
[ "$status" -eq 0 ] || fail "update fails: exit $status: $(cat "$work/update_fails.err")"
grep -qx after "$work/update_fails.out" || fail "update fails: the script did not go on"
[ -e "$work/installed/alpha" ] && [ -e "$work/installed/beta" ] || fail "update fails: nothing installed"
grep -q 'warning: apt-get update failed.*Mirror sync in progress' "$work/update_fails.err" ||
    fail "update fails: the failed index is not reported: $(cat "$work/update_fails.err")"

# A first install that fails is tried again after a fresh update.
FAKE_INSTALL_FAILURES=1 scenario install_retried 'ensure_packages alpha; echo after'
[ "$status" -eq 0 ] && grep -qx after "$work/install_retried.out" ||
    fail "install retried: exit $status: $(cat "$work/install_retried.err")"
[ -e "$work/installed/alpha" ] || fail "install retried: alpha not installed"
[ "$(grep -c '^apt-get update' "$work/calls")" -eq 2 ] || fail "install retried: expected two updates"

# An install that never works gives up after the attempts with one line naming the packages and the reason;
# the caller's script decides what to do.
FAKE_UPDATE_FAILS=1 FAKE_INSTALL_FAILURES=99 scenario gives_up \
    'if ensure_packages alpha beta; then echo installed; else echo "gave up $?"; fi'
[ "$status" -eq 0 ] && grep -qx 'gave up 1' "$work/gives_up.out" ||
    fail "gives up: exit $status, output $(cat "$work/gives_up.out")"
[ "$(grep -c '^apt-get install' "$work/calls")" -eq 3 ] || fail "gives up: expected three installs"
[ "$(grep -c 'could not install' "$work/gives_up.err")" -eq 1 ] &&
    grep -q 'could not install alpha beta after 3 attempts:.*held broken packages' "$work/gives_up.err" ||
    fail "gives up: no single line naming the packages and the reason: $(cat "$work/gives_up.err")"

# Under set -e, a needed package that cannot be had stops the script there.
FAKE_INSTALL_FAILURES=99 scenario needed 'ensure_packages alpha; echo after'
[ "$status" -eq 1 ] && ! grep -q after "$work/needed.out" || fail "needed: the script went on (exit $status)"

# Nothing is asked of apt-get when every package is there.
scenario present 'touch "$FAKE_ROOT/installed/alpha"; ensure_packages alpha'
[ "$status" -eq 0 ] && [ ! -e "$work/calls" ] || fail "present: apt-get was called"

if [ "$failures" -gt 0 ]; then
    echo "$failures ensure_packages checks failed" >&2
    exit 1
fi
echo "ensure_packages: all checks passed"
