#!/bin/sh
# Runs the Windows installer silently in a Wine prefix of its own, made afresh, and checks what a
# dispatcher gets: the program in C:\Program Files\Zirave with every library and plugin it loads,
# a start-menu entry and an uninstaller; a program that starts on the packaged files alone, shows
# its window and creates its register; and an uninstaller that removes the program but leaves the
# register and the settings.
# Usage: windows_installer.sh <windows-build-dir>
set -eu

build=$(cd "$1" && pwd)
# Only what the installer installed may be found: a library missing from it must fail this test.
unset WINEPATH
export WINEPREFIX="$build/installer-prefix"
# Without the menu builder, which would copy the installer's start-menu entries into the user's
# desktop menus, where every run would meet the others'.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
xvfb=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$WINEPREFIX"
wineboot --init 2>/dev/null
wine "$(ls "$build"/zirave-*-win64-setup.exe)" /S
wineserver -w

c=$WINEPREFIX/drive_c
installed="$c/Program Files/Zirave"
for file in zirave.exe Uninstall.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Sql.dll \
    Qt5SerialPort.dll libcurl-4.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
    platforms/qwindows.dll sqldrivers/qsqlite.dll styles/qwindowsvistastyle.dll; do
    [ -f "$installed/$file" ] || fail "the installer put no $file into C:\\Program Files\\Zirave"
done
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zirave"
[ -f "$menu/Zirave.lnk" ] || fail "no start-menu entry Zirave"
[ -f "$menu/Uninstall.lnk" ] || fail "no start-menu entry for the uninstaller"

# The Windows platform plugin draws on an X display; nothing outside the installation is loaded.
# Xvfb takes the first free display number and names it, so that other runs keep theirs.
rm -f "$build/installer-display"
Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$build/installer-display" >/dev/null 2>&1 &
xvfb=$!
tries=0
until [ -s "$build/installer-display" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] && kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
    sleep 0.1
done
export DISPLAY=:$(cat "$build/installer-display")
wine "C:\\Program Files\\Zirave\\zirave.exe" >/dev/null 2>&1 &
user=$(ls "$c/users" | grep -v -x Public | head -n 1)
register="$c/users/$user/AppData/Local/zirave/data.db"
settings="$c/users/$user/AppData/Roaming/Vernholt/Zirave.ini"
tries=0
until [ -f "$register" ] && xwininfo -root -tree 2>/dev/null | grep -q '"Zirave 1.01"'; do
    tries=$((tries + 1))
    [ "$tries" -le 60 ] || fail "no window \"Zirave 1.01\" with its register after 30 s"
    sleep 0.5
done
# While the program runs, the installer and the uninstaller change nothing and end non-zero. The
# uninstaller runs in place (_?=), as the installer runs it: started plainly it hands over to a
# copy of itself and ends at once with 0.
state() {
    find "$installed" "$menu" -printf '%p %s %T@\n' | sort
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zirave' \
        /v UninstallString 2>/dev/null | grep UninstallString || echo "no uninstall entry"
}
before=$(state)
if wine "$(ls "$build"/zirave-*-win64-setup.exe)" /S; then
    fail "the installer ended with 0 while the program ran"
fi
# _?= takes the rest of the command line unquoted, which only cmd passes on as it is.
printf '"C:\\Program Files\\Zirave\\Uninstall.exe" /S _?=C:\\Program Files\\Zirave\r\nexit /b %%errorlevel%%\r\n' \
    >"$WINEPREFIX/uninstall-in-place.bat"
if wine cmd /c "$(winepath -w "$WINEPREFIX/uninstall-in-place.bat")" >/dev/null; then
    fail "the uninstaller ended with 0 while the program ran"
fi
[ "$(state)" = "$before" ] ||
    fail "the installer or the uninstaller changed something while the program ran"

# Closed as a user closes it, so that it stores its settings.
wine taskkill /im zirave.exe >/dev/null 2>&1
wineserver -w
[ -f "$settings" ] || fail "the program stored no settings at $settings"

# Installing over the installed version (the same package stands in for a newer one) uninstalls
# it first, in place, and must go through that; the user's files stay.
wine "$(ls "$build"/zirave-*-win64-setup.exe)" /S || fail "installing over the installed version failed"
wineserver -w
[ -f "$installed/zirave.exe" ] || fail "installing over the installed version left no zirave.exe"
[ -f "$register" ] && [ -f "$settings" ] || fail "installing over the installed version lost user files"

# The installed program reads two tags into its register from the reader simulator, a Linux
# program on a pseudo-terminal behind the registered port COM5 (ZIRAVE_READER_SIM names it; `make
# windows-test` builds it). Wine 8.0 needs ptyshim.so and winserial_run.exe for that (see
# tools/windows/run-tests); nothing else is loaded from outside the installation. Recording and
# the port come from the stored settings; the rest is what a dispatcher does: "Zahájit čtení" (the
# fourth stop of the window's tab order) and 1 as the first collar number.
simulator=${ZIRAVE_READER_SIM:-}
[ -x "$simulator" ] || fail "no reader simulator in ZIRAVE_READER_SIM (make windows-test builds one)"
ports=$build/installer-ports
rm -rf "$ports"
mkdir -p "$ports"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$ports/com5" /f >/dev/null
wineserver -w
sed -i -e '/^record=/d' -e '/^com_port=/d' -e 's/^\[General\]/&\nrecord=true\ncom_port=\\\\\\\\.\\\\COM5/' \
    "$settings"
# Bounded, so that it ends even when this test does not get to end it.
timeout 60 "$simulator" --link "$ports/com5" --gap 0.3 1001:0.6 1002:0.6 >/dev/null &
reader=$!
LD_PRELOAD="$build/winserial/ptyshim.so" wine "$build/winserial/winserial_run.exe" \
    "C:\\Program Files\\Zirave\\zirave.exe" >/dev/null 2>&1 &
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Zirave 1.01$' | head -n 1)
[ -n "$window" ] || fail "no window \"Zirave 1.01\" for the reading after 30 s"
xdotool windowfocus --sync "$window" key --delay 50 Tab Tab Tab space
question=$(timeout 30 xdotool search --sync --onlyvisible --name '^Zirave$' | head -n 1)
[ -n "$question" ] || fail "no question for the first collar number after 30 s"
xdotool windowfocus --sync "$question" type 1
xdotool key Return
filed() {
    /usr/bin/python3 -c 'import sqlite3, sys
for row in sqlite3.connect(sys.argv[1]).execute("select obojek, eid from obojky order by obojek"):
    print(*row)' "$register" 2>/dev/null
}
tries=0
until [ "$(filed)" = "$(printf '1 1001\n2 1002')" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 60 ] || fail "the program did not file tags 1001 and 1002 in 30 s; it filed: $(filed)"
    sleep 0.5
done
wine taskkill /im zirave.exe >/dev/null 2>&1
wineserver -w
kill "$reader"

wine "C:\\Program Files\\Zirave\\Uninstall.exe" /S
wineserver -w
# The uninstaller runs on from a copy of itself; wait for it to remove the program.
tries=0
while [ -e "$installed/zirave.exe" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 20 ] || fail "the uninstaller left zirave.exe"
    sleep 0.5
done
[ ! -e "$menu/Zirave.lnk" ] || fail "the uninstaller left the start-menu entry"
[ -f "$register" ] || fail "the uninstaller removed the register"
[ -f "$settings" ] || fail "the uninstaller removed the settings"
echo "installed, started, uninstalled; register and settings kept"
