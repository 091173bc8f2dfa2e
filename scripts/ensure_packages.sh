#!/usr/bin/env bash
# Sourced by the scripts: ensure_packages PACKAGE... installs with apt-get those Debian packages that are missing,
# through sudo unless running as root.
ensure_packages() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        local sudo_cmd=""
        [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
        $sudo_cmd apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}
