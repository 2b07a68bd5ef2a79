#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are missing and
# the comma locale the tests use. Safe to run again: silent when all is there.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "bootstrap: need root (or sudo) to run: $*" >&2
        exit 1
    fi
}

mapfile -t wanted < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/packages.txt")

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The mosquitto package would start a system broker on port 1883. The
    # tests start brokers of their own and want none left behind, so no
    # service is started while installing (policy-rc.d answers 101, "not
    # allowed", to every start; a machine that has one keeps its own).
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        as_root sh -c "printf '#!/bin/sh\nexit 101\n' > $policy && chmod 755 $policy"
        trap 'as_root rm -f "$policy"' EXIT
    fi
    as_root apt-get update -qq
    as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    if [ -d /run/systemd/system ] &&
        printf '%s\n' "${missing[@]}" | grep -qx mosquitto; then
        # Nor on the next boot.
        as_root systemctl disable --now mosquitto.service >/dev/null 2>&1 || true
    fi
fi

# A locale with a decimal comma, so the tests can prove that numbers never
# pick one up.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
    echo "bootstrap: generating the de_DE.UTF-8 locale"
    as_root localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
