#!/usr/bin/env bash
# Sourced by the scripts: ensure_packages PACKAGE... installs with apt-get those Debian packages that are missing,
# through sudo unless running as root.
#
# A package mirror may be mid-sync: one index of `apt-get update` then fails ("File has unexpected size ... Mirror
# sync in progress?") while the others are fine. Such a failure is a warning: the install is tried with the lists
# that did load. The update and the install are tried ENSURE_PACKAGES_ATTEMPTS times (default 3), with
# ENSURE_PACKAGES_PAUSE seconds between tries (default 20). When they still fail, one line on stderr names the
# packages and the reason, and the status is 1; nothing here stops a script that runs under `set -e` by itself,
# so callers decide whether a package is needed (`ensure_packages a b` stops such a script) or optional
# (`ensure_packages a || ...`).

# The packages of the arguments that are not installed, one per line.
missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q 'install ok installed' || echo "$package"
    done
}

# apt_as_root ARGS...: apt-get, through sudo unless running as root, never asking anything.
apt_as_root() {
    local sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "$@"
}

# The lines of apt-get's output that say what went wrong, on one line.
apt_problems() {
    { grep -E '^(E|W|Err):' "$1" || true; } | sed 's/^/ /' | tr '\n' ' ' | cut -c 1-400
}

ensure_packages() {
    local missing=() attempts=${ENSURE_PACKAGES_ATTEMPTS:-3} pause=${ENSURE_PACKAGES_PAUSE:-20} attempt log reason=""
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing: ${missing[*]}"
    log=$(mktemp) || return 1
    for ((attempt = 1; attempt <= attempts; attempt++)); do
        if [ "$attempt" -gt 1 ]; then
            echo "ensure_packages: trying again in $pause s (attempt $attempt of $attempts)" >&2
            sleep "$pause"
        fi
        if ! apt_as_root update -qq > "$log" 2>&1; then
            echo "ensure_packages: warning: apt-get update failed, going on with the lists that loaded:" \
                 "$(apt_problems "$log")" >&2
        fi
        if apt_as_root install -y -qq --no-install-recommends "${missing[@]}" > "$log" 2>&1; then
            mapfile -t missing < <(missing_packages "${missing[@]}")
            if [ ${#missing[@]} -eq 0 ]; then
                rm -f "$log"
                return 0
            fi
            reason="apt-get install succeeded but left them uninstalled"
        else
            reason=$(apt_problems "$log")
            [ -n "$reason" ] || reason="apt-get install failed: $(tail -2 "$log" | tr '\n' ' ')"
        fi
    done
    rm -f "$log"
    echo "ensure_packages: could not install ${missing[*]} after $attempts attempts:$reason" >&2
    return 1
}
