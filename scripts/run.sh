#!/usr/bin/env bash
# Installs what is missing, builds the server and its two tools (Release),
# and starts the server in ./data. On the first start, when ./data has no
# TALLYSV.INI, writes one from the example with fresh random passwords, new
# accounts allowed, ?help on, passwords stored hashed and the players' site
# on 127.0.0.1:8901, and prints the passwords once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_missing_packages
configure_release
cmake --build "$TALLYSV_ROOT/build" --target tallysv tallysv-zone tallysv-db tallysv-ctl tallysv_docs
# The data folder and the settings (passwords) are for the server's user
# alone, from the moment they are made: the server refuses a folder or a
# TALLYSV.INI that others may write.
umask 077
mkdir -p "$TALLYSV_ROOT/data"
cd "$TALLYSV_ROOT/data"

# The settings file's name is matched without regard to case.
if [ -z "$(find . -maxdepth 1 -iname TALLYSV.INI -print -quit)" ]; then
    random_password() { tr -dc 'A-Za-z0-9' < /dev/urandom | head -c 16 || true; }
    sysop=$(random_password)
    billing=$(random_password)
    sed -e "s/^SysopPassword=.*/SysopPassword=$sysop/" \
        -e "s/^BillingPassword=.*/BillingPassword=$billing/" \
        -e "s/^AllowNewUsers=.*/AllowNewUsers=1/" \
        -e "s/^DisableHelp=.*/DisableHelp=0/" \
        -e "s/^PasswordHashing=.*/PasswordHashing=1/" \
        -e "s/^PublicListen=.*/PublicListen=127.0.0.1:8901/" \
        "$TALLYSV_ROOT/build/packaging/TALLYSV.INI" > TALLYSV.INI.new
    chmod 600 TALLYSV.INI.new
    mv TALLYSV.INI.new TALLYSV.INI
    echo "Wrote $PWD/TALLYSV.INI (new accounts allowed, ?help on, passwords hashed, the players' site on"
    echo "http://127.0.0.1:8901/: change PublicListen to serve it where players reach it). It is shown this once:"
    echo "  SysopPassword=$sysop      (?login in a zone makes you Network Administrator)"
    echo "  BillingPassword=$billing    (zones log in with it)"
fi
exec "$TALLYSV_ROOT/build/tallysv"
