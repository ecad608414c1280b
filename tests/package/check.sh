#!/usr/bin/env bash
# Checks a built velmorant .deb: its name and version, the files it installs with their modes
# and owners, its configuration files, its dependencies, what its maintainer scripts do with the
# service, that its programs run and its unit keeps its sandbox, and lintian.
# Usage: tests/package/check.sh build/velmorant_<version>_<arch>.deb
set -uo pipefail

deb=${1:?usage: check.sh PACKAGE.deb}
src=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() {  # what, expected, actual
  [ "$2" = "$3" ] || fail "$1"$'\n'"--- expected"$'\n'"$2"$'\n'"--- found"$'\n'"$3"
}

[ -f "$deb" ] || { echo "FAIL: no package $deb"; exit 1; }
work=$(mktemp -d /tmp/velmorant-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The version is the project's, the same in CMakeLists.txt, debian/changelog and the file name.
version=$(sed -n '/^project/s/.*VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
expect_eq "debian/changelog version" "$version" "$(cd "$src" && dpkg-parsechangelog -S Version)"
expect_eq "package version" "$version" "$(dpkg-deb -f "$deb" Version)"
expect_eq "file name" "velmorant_${version}_$(dpkg --print-architecture).deb" "$(basename "$deb")"

# Every file with its mode and owner (directories left out).
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort -k3)
expect_eq "files, modes and owners" "$(sort -k3 <<'LIST'
-rw-r--r-- root/root ./etc/logrotate.d/velmorant
-rw-r----- root/root ./etc/velmorant.conf
-rw-r--r-- root/root ./lib/systemd/system/velmorant.service
-rwxr-xr-x root/root ./usr/bin/pmssim
-rwxr-xr-x root/root ./usr/sbin/velmorant
-rw-r--r-- root/root ./usr/share/doc/velmorant/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/velmorant/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/velmorant/copyright
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/asterisk/extensions-hotel.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/asterisk/manager-velmorant.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/cdr_manager.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/cdr_sqlite3_custom.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/pbx-mysql.sql
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/pbx-sqlite.sql
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/velmorant-ami.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/velmorant-mysql.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/velmorant-sqlite.conf
-rw-r--r-- root/root ./usr/share/doc/velmorant/examples/velmorant.conf
-rw-r--r-- root/root ./usr/share/lintian/overrides/velmorant
-rw-r--r-- root/root ./usr/share/man/man1/pmssim.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/velmorant.8.gz
LIST
)" "$files"

mkdir -p "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -x "$deb" "$work/root"
expect_eq "conffiles" $'/etc/logrotate.d/velmorant\n/etc/velmorant.conf' "$(cat "$work/control/conffiles")"
expect_eq "the configuration is the sample" "$(cat "$src/etc/velmorant.conf")" \
  "$(cat "$work/root/etc/velmorant.conf")"

# Dependencies come from the libraries the programs link, plus adduser for the postinst and
# procps for the unit's /bin/kill (a minimal Debian 12 has neither).
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for dep in adduser procps libc6 libiniparser1 libldap-2.5-0 libmariadb3 libsqlite3-0 libstdc++6 libsystemd0; do
  grep -qxF "$dep" <<<"$names" || fail "Depends lacks $dep: $depends"
done

# postinst: the user, the configuration's group, the unit enabled; never started on installation,
# only restarted on an upgrade when it runs. prerm stops it on removal.
postinst=$(cat "$work/control/postinst")
sed -z 's/\\\n *//g' <<<"$postinst" | grep -q '^ *adduser --system --group .* velmorant$' ||
  fail "postinst creates no user"
grep -q 'chown root:velmorant /etc/velmorant.conf' <<<"$postinst" || fail "postinst sets no group"
grep -q "deb-systemd-helper enable 'velmorant.service'" <<<"$postinst" || fail "unit not enabled"
grep -Eq 'deb-systemd-invoke (start|restart|\$_dh_action)' <<<"$postinst" &&
  fail "postinst starts the service"
grep -q "deb-systemd-invoke try-restart 'velmorant.service'" <<<"$postinst" ||
  fail "an upgrade does not restart a running service"
grep -q 'deb-systemd-invoke stop velmorant.service' "$work/control/prerm" || fail "prerm stops nothing"

# The packaged programs run, and the unit names them and keeps its sandbox.
"$work/root/usr/sbin/velmorant" -h 2>&1 | grep -q "Velmorant: middle layer FIAS application." ||
  fail "the packaged daemon does not run"
"$work/root/usr/bin/pmssim" --help | grep -q "Usage: pmssim" || fail "the packaged pmssim does not run"
unit="$work/root/lib/systemd/system/velmorant.service"
grep -qx 'ExecStart=/usr/sbin/velmorant -f -c /etc/velmorant.conf' "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
exposure=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 |
  sed -n 's/.*Overall exposure level for velmorant.service: \([0-9.]*\).*/\1/p')
awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.5) }' || fail "exposure ${exposure:-unknown} above 2.5"

# lintian: no errors and no warnings (informational tags are shown, not failed).
lintian --fail-on error,warning --display-info "$deb" || fail "lintian"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) of $deb failed"
  exit 1
fi
echo "$deb: contents, scripts, unit and lintian ok (exposure $exposure)"
