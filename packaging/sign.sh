#!/bin/sh
# Signs a Windows program file in place with Authenticode (SHA-256):
#
#   sign.sh [-t TIMESTAMP_URL] OSSLSIGNCODE PFX PASSWORD_FILE FILE
#
# The password is read from its file, so it never shows in a process list or a
# build log. Without -t the signature carries no timestamp and stops verifying
# when the certificate expires.
set -eu
timestamp=""
if [ "${1:-}" = "-t" ]; then timestamp=$2; shift 2; fi
[ $# -eq 4 ] || { echo "usage: sign.sh [-t TIMESTAMP_URL] OSSLSIGNCODE PFX PASSWORD_FILE FILE" >&2; exit 2; }
osslsigncode=$1 pfx=$2 password_file=$3 file=$4
signed="$file.signing"
# Never leave an unsigned file behind that a later build step would take as done.
trap 'status=$?; rm -f "$signed"; [ $status -eq 0 ] || rm -f "$file"' EXIT
set -- -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n "GPS Fennik"
[ -z "$timestamp" ] || set -- "$@" -ts "$timestamp"
# osslsigncode writes a new file: sign beside it, then replace it in one step.
"$osslsigncode" sign "$@" -in "$file" -out "$signed" >/dev/null
mv -f "$signed" "$file"
echo "signed $file"
