#!/usr/bin/env bash
# Checks of the Debian packages, one CTest entry per case:
#   check_package.sh CASE WORK_DIR BUILD_DIR
# "build" makes the packages in WORK_DIR/debs; every other case unpacks them
# into a root of its own below WORK_DIR and looks at what a node would get.
set -euo pipefail
case_=$1 work=$2 build=$3
debs=$work/debs

fail() { echo "FAIL: $*" >&2; exit 1; }

deb_of() { # deb_of PACKAGE: the package file
  local f
  f=$(find "$debs" -maxdepth 1 -name "$1_*.deb" | head -1)
  [ -n "$f" ] || fail "no package $1 in $debs"
  echo "$f"
}

unpack() { # unpack ROOT: both packages below ROOT, fresh
  rm -rf "$1"
  mkdir -p "$1"
  dpkg-deb -x "$(deb_of sm-client)" "$1"
  dpkg-deb -x "$(deb_of sm-ctrld)" "$1"
}

case $case_ in
build)
  rm -rf "$debs"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$debs" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  deb_of sm-client >/dev/null
  deb_of sm-ctrld >/dev/null
  ;;

contents)
  # Files, types and modes as the packages carry them (owner root).
  listing=$(for p in sm-client sm-ctrld; do dpkg-deb -c "$(deb_of $p)"; done)
  expect=(
    "-rwxr-xr-x ./opt/zarvo/bin/sm_client" "-rwxr-xr-x ./opt/zarvo/bin/sm_ctrlc"
    "-rwxr-xr-x ./opt/zarvo/bin/damisql" "-rwxr-xr-x ./opt/zarvo/bin/damisql_pg"
    "-rwxr-xr-x ./opt/zarvo/bin/ctrld" "-rwxr-xr-x ./opt/zarvo/sbin/zarvo-config"
    "lrwxrwxrwx ./opt/zarvo/db/damisql -> ../bin/damisql"
    "-rw-r--r-- ./opt/zarvo/share/schema.sql" "-rw-r--r-- ./etc/opt/zarvo/templates/sm.ini.in"
    "-rw-r--r-- ./etc/opt/zarvo/templates/ctrld.ini.in" "-rw-r--r-- ./etc/logrotate.d/sm-client"
    "-rw-r--r-- ./lib/systemd/system/sm-ctrld.service"
    "-rw-r--r-- ./usr/share/man/man1/sm_client.1.gz" "-rw-r--r-- ./usr/share/man/man8/ctrld.8.gz"
    "-rw-r--r-- ./usr/share/doc/sm-client/copyright"
  )
  for e in "${expect[@]}"; do
    mode=${e%% *} path=${e#* }
    grep -qE "^${mode//-/\\-} root/root +[0-9]+ [0-9-]+ [0-9:]+ ${path//./\\.}\$" <<<"$listing" ||
      fail "missing or wrong: $e"
  done
  ! grep -E '^(d|-).{4}w|^(d|-).{7}w' <<<"$listing" || fail "group- or other-writable entries"
  ! grep -qE ' root/root .*/(sm_alarm|sm_os_startup|sm_main|sm_data_server|sm_os_diskchange)$' <<<"$listing" || fail "stand-ins packaged"
  ! grep -q ' \./var/' <<<"$listing" || fail "variable data packaged (the scripts create it)"
  # Every file under /etc is a conffile, and every conffile is in its package.
  for p in sm-client sm-ctrld; do
    ctl=$work/control-$p
    rm -rf "$ctl"
    dpkg-deb -e "$(deb_of $p)" "$ctl"
    want=$(dpkg-deb -c "$(deb_of $p)" | awk '$1 ~ /^-/ && $6 ~ /^\.\/etc\// {print substr($6, 2)}' | sort)
    have=$(sort "$ctl/conffiles")
    [ "$want" = "$have" ] || fail "$p conffiles: $(diff <(echo "$want") <(echo "$have") || true)"
  done
  # Dependencies: computed ones (libc for the dynamic programs) and ours.
  dep_ctrld=$(dpkg-deb -f "$(deb_of sm-ctrld)" Depends)
  grep -q 'libc6' <<<"$dep_ctrld" || fail "sm-ctrld Depends lacks libc6: $dep_ctrld"
  grep -q "sm-client (= $(dpkg-deb -f "$(deb_of sm-client)" Version))" <<<"$dep_ctrld" ||
    fail "sm-ctrld Depends lacks sm-client: $dep_ctrld"
  grep -q 'libpq5' <<<"$(dpkg-deb -f "$(deb_of sm-client)" Depends)" ||
    fail "sm-client Depends lacks libpq5"
  ;;

node)
  # The configuration the maintainer scripts write, made by their own code
  # below a temporary root, then the installed agent and SQL tool in it.
  root="$work/node root&1" # a blank and "&" must reach the files unchanged
  unpack "$root"
  ZC_HOST=pkgnode "$root/opt/zarvo/sbin/zarvo-config" --root "$root" --ctrld
  etc=$root/etc/opt/zarvo var=$root/var/opt/zarvo
  for f in zarvo.ini sm.ini stpd.ini openrda.ini ctrld.ini; do [ -s "$etc/$f" ] || fail "no $f"; done
  grep -qx "name=pkgnode" "$etc/sm.ini" || fail "host name not in sm.ini"
  grep -qx "gv_rw_glbv=$var/glbv/" "$etc/sm.ini" || fail "store path not below the root"
  for d in "$var"/*/; do
    want=755; [ "$d" = "$var/db/" ] && want=750
    [ "$(stat -c %a "$d")" = $want ] || fail "mode of $d: $(stat -c %a "$d")"
  done
  bad=$(find "$root" ! -type l -perm /022)
  [ -z "$bad" ] || fail "group- or other-writable: $bad"

  export ZARVO_INI=$etc/zarvo.ini
  agent=$root/opt/zarvo/bin/sm_client
  out=$("$agent" -i 41 -f W -n gv_pkg -s "hello node" 2>&1) || fail "W: $out"
  [ "$(cat "$var/glbv/gv_pkg.sgv")" = "hello node" ] || fail "variable not in the store"
  out=$("$agent" -i 42 -f G -n gv_pkg 2>&1) || fail "G: $out"
  [ "$out" = $'ID=42\nSTATUS=SUCCESS MSG=hello node' ] || fail "G answered: $out"
  out=$("$root/opt/zarvo/db/damisql" -d zarvo_db -q "select name from clients" 2>&1) ||
    fail "damisql: $out"
  grep -qx $'pkgnode\t' <<<"$out" || fail "database not seeded for this node: $out"

  # A second run (an upgrade) keeps what the operator changed.
  echo "# edited" >>"$etc/sm.ini"
  "$root/opt/zarvo/sbin/zarvo-config" --root "$root" --ctrld
  grep -qx "# edited" "$etc/sm.ini" || fail "existing sm.ini rewritten"
  [ "$(cat "$var/glbv/gv_pkg.sgv")" = "hello node" ] || fail "store changed by a rerun"
  ;;

service)
  root=$work/root-service
  unpack "$root"
  unit=$root/lib/systemd/system/sm-ctrld.service
  # The targets it is ordered against come from this machine; ExecStart must
  # name a program of the packages.
  cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
  out=$(systemd-analyze verify --man=no --root="$root" "$unit" 2>&1) || fail "verify: $out"
  [ -z "$out" ] || fail "verify warns: $out"
  # Exposure 3.2 today: a unit loosened past 3.4 fails.
  systemd-analyze security --offline=yes --threshold=34 --root="$root" "$unit" >"$work/security.txt" 2>&1 ||
    fail "exposure above 3.4: $(tail -1 "$work/security.txt")"
  tail -1 "$work/security.txt"
  # The logrotate snippet parses and names the protocol and trace files.
  if command -v logrotate >/dev/null; then
    out=$(logrotate --debug --state "$work/logrotate.state" "$root/etc/logrotate.d/sm-client" 2>&1) ||
      fail "logrotate: $out"
    ! grep -qi 'error' <<<"$out" || fail "logrotate: $out"
    grep -q '/var/opt/zarvo/prot/\*.log' <<<"$out" || fail "logrotate skips the protocol: $out"
  fi
  ;;

manpages)
  root=$work/root-man
  unpack "$root"
  n=0
  for page in "$root"/usr/share/man/man*/*.gz; do
    warn=$( { zcat "$page" | groff -ww -z -man; } 2>&1)
    [ -z "$warn" ] || fail "$(basename "$page"): $warn"
    text=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
    [ -z "$text" ] || fail "man -l $(basename "$page"): $text"
    n=$((n + 1))
  done
  [ $n -eq 4 ] || fail "expected 4 manual pages, found $n"
  ;;

lifecycle)
  # dpkg installs, upgrades, removes and purges the packages for real, in a
  # private mount and network namespace whose / is an overlay of this
  # machine's: nothing reaches the real system.
  [ "$(id -u)" -eq 0 ] || { echo "needs root for a private overlay of /"; exit 77; }
  ovl=$work/overlay
  rm -rf "$ovl"
  mkdir -p "$ovl/up" "$ovl/work" "$ovl/mnt"
  cp "$(deb_of sm-client)" "$(deb_of sm-ctrld)" "$ovl/"
  cat >"$ovl/inside.sh" <<'INSIDE'
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }
unset ZARVO_INI
etc=/etc/opt/zarvo var=/var/opt/zarvo
dpkg -i /pkgs/sm-client_*.deb /pkgs/sm-ctrld_*.deb >/dev/null
[ -f $etc/ctrld.ini ] && [ -f $var/db/zarvo_db.sqlite ] || fail "postinst made no configuration"
# The agent finds the node's root file by itself.
/opt/zarvo/bin/sm_client -i 1 -f W -n gv_node -s "from the package" 2>/dev/null || fail "W"
# ctrld with the service's capability bounding set and no_new_privs (no
# systemd here to apply the whole unit) serves root and switches to nobody.
ip link set lo up
sed -i 's/^allow_users=.*/allow_users=root,nobody/' $etc/ctrld.ini
caps=$(sed -n 's/^CapabilityBoundingSet=//p' /lib/systemd/system/sm-ctrld.service |
  tr 'A-Z ' 'a-z,' | sed 's/cap_/+/g')
setpriv --bounding-set=-all,"$caps" --no-new-privs /opt/zarvo/bin/ctrld -f >/dev/null 2>&1 &
daemon=$!
for _ in $(seq 50); do
  out=$(/opt/zarvo/bin/sm_ctrlc -t 1 -l root 127.0.0.1 /opt/zarvo/bin/sm_client -i 2 -f G -n gv_node 2>&1) && break
  sleep 0.1
done
who=$(/opt/zarvo/bin/sm_ctrlc -t 1 -l nobody 127.0.0.1 id -un 2>&1) || true
kill $daemon; wait $daemon 2>/dev/null || true
[ "$out" = "$(printf 'ID=2\nSTATUS=SUCCESS MSG=from the package')" ] || fail "through ctrld: $out"
[ "$who" = nobody ] || fail "ctrld did not switch to nobody: $who"
# An upgrade keeps the operator's edits and the data.
echo "# edited" >>$etc/sm.ini
dpkg -i /pkgs/sm-client_*.deb /pkgs/sm-ctrld_*.deb >/dev/null
grep -qx "# edited" $etc/sm.ini || fail "upgrade rewrote sm.ini"
dpkg -r sm-ctrld sm-client >/dev/null
[ ! -e /opt/zarvo/bin/sm_client ] || fail "programs left after remove"
[ -f $etc/sm.ini ] && [ -f $etc/templates/sm.ini.in ] && [ -f $var/glbv/gv_node.sgv ] ||
  fail "remove dropped configuration or data"
dpkg -P sm-ctrld sm-client >/dev/null 2>&1
[ ! -e $etc ] && [ ! -e $var ] || fail "purge left $(ls -d $etc $var 2>/dev/null)"
echo "installed, upgraded, removed and purged"
INSIDE
  unshare -m -n bash -c '
    set -e
    ovl=$1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$ovl/up,workdir=$ovl/work" "$ovl/mnt"
    for d in proc dev sys; do mount --rbind /$d "$ovl/mnt/$d"; done
    mkdir -p "$ovl/mnt/pkgs"
    mount --bind "$ovl" "$ovl/mnt/pkgs"
    chroot "$ovl/mnt" bash /pkgs/inside.sh' _ "$ovl" ||
    fail "dpkg life cycle"
  rm -rf "$ovl"
  ;;

lintian)
  command -v lintian >/dev/null || { echo "lintian is not installed"; exit 77; }
  out=$(lintian --fail-on error,warning "$(deb_of sm-client)" "$(deb_of sm-ctrld)" 2>&1) ||
    fail "lintian: $out"
  echo "$out"
  ;;

*) fail "unknown case $case_" ;;
esac
