#!/bin/sh
# Installs the program into a temporary prefix and builds its Debian package from a build tree,
# then checks what an administrator and a dispatcher get: exactly the program and its desktop
# files, valid to the desktop's own validators; a package whose dependencies are the run-time
# libraries, the SQLite driver included, and nothing of building or testing; and a packaged
# program that starts on its own and creates its register.
# Usage: install_package.sh <build-dir> [cmake] [cpack]
set -eu

build=$(cd "$1" && pwd)
cmake=${2:-cmake}
cpack=${3:-cpack}
id=example.vernholt.zirave

work=$(mktemp -d)
app=
cleanup() {
    [ -z "$app" ] || kill -KILL "$app" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

expected=$(LC_ALL=C sort <<EOF
bin/zirave
share/applications/$id.desktop
share/metainfo/$id.metainfo.xml
share/icons/hicolor/64x64/apps/$id.png
share/icons/hicolor/128x128/apps/$id.png
share/icons/hicolor/256x256/apps/$id.png
EOF
)

# Installed files: the program and its desktop files, no tools and no tests.
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install failed"
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "installed files:
$installed
expected:
$expected"

desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
# Hints and warnings count as failures too, so the entry stays clean.
report=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$report" ] ||
    fail "desktop-file-validate: $report"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    fail "appstreamcli validate: $(cat "$work/appstream.log")"

# What the entries name must be what was installed.
exec_name=$(sed -n 's/^Exec=//p' "$desktop")
[ -x "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 64 128 256; do
    [ -f "$prefix/share/icons/hicolor/${size}x$size/apps/$icon.png" ] ||
        fail "Icon=$icon has no ${size}x$size picture"
done
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$prefix/share/applications/$launchable" ] ||
    fail "launchable $launchable is not an installed desktop entry"

# The package.
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$work/package/zirave_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/package")"
[ "$(dpkg-deb -f "$deb" Package)" = zirave ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
grep -q "<release version=\"$version\"" "$metainfo" ||
    fail "the metainfo lists no release $version"

packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | LC_ALL=C sort)
[ "$packaged" = "$expected" ] || fail "packaged files:
$packaged
expected:
$expected"

depends=$(dpkg-deb -f "$deb" Depends)
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
for name in libqt5core5a libqt5gui5 libqt5widgets5 libqt5sql5 libqt5serialport5 \
    libqt5sql5-sqlite libcurl4; do
    echo "$names" | grep -qx "$name" || fail "Depends lacks $name: $depends"
done
unwanted=$(echo "$names" | grep -E -e '-dev$' -e '^(libqt5test5|python3.*|xvfb|xauth|cmake)$' \
    -e '^(ninja-build|g\+\+|make|dpkg-dev|desktop-file-utils|appstream|openssl)$' || true)
[ -z "$unwanted" ] || fail "Depends names build or test packages: $unwanted"

# The packaged program, in a private HOME: it starts and creates its register.
root=$work/root
dpkg-deb -x "$deb" "$root"
home=$work/home
mkdir -p "$home/run"
chmod 700 "$home/run"
HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config \
    XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/run QT_QPA_PLATFORM=offscreen \
    "$root/usr/bin/zirave" >"$work/zirave.log" 2>&1 &
app=$!

db=$home/.local/share/zirave/data.db
tries=0
until [ -s "$db" ]; do
    kill -0 "$app" 2>/dev/null || fail "the program ended before creating data.db: $(cat "$work/zirave.log")"
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "no data.db after 10 s"
    sleep 0.1
done
/usr/bin/python3 - "$db" <<'PY' || fail "data.db holds no register table"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], timeout=5)
sys.exit(0 if db.execute("select count(*) from sqlite_master where name='obojky'").fetchone()[0] else 1)
PY

kill -TERM "$app"
# An ended child stays a zombie (state Z) until waited for, and kill -0 still finds it.
tries=0
while state=$(awk '{ print $3 }' "/proc/$app/stat" 2>/dev/null) && [ "$state" != Z ]; do
    tries=$((tries + 1))
    [ "$tries" -le 50 ] || fail "the program did not end within 5 s of SIGTERM"
    sleep 0.1
done
status=0
wait "$app" || status=$?
app=
[ "$status" -eq 143 ] || fail "the program ended with status $status, not by SIGTERM"
echo "PASS: $(basename "$deb"), Depends: $depends"
