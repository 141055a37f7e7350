#!/usr/bin/env bash
# The installer steps of the Windows stage (scripts/windows-tests.sh runs this after the zip):
# pelorin-<version>-win64.msi in a wine prefix nobody has run anything in, with no Qt or
# compiler on the DLL path, the real "windows" platform plugin and the stage's X server.
#   windows-installer-tests.sh <build folder> <stage work folder> <X display> <unpacked zip folder>
# The stage has made <work>/msi (the untouched prefix) and exported WINEDEBUG and
# WINEDLLOVERRIDES. Prints one line per check; the exit status is 1 when any failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
work=$2
display=$3
zipped=$4
prefix=$work/msi
wine=/usr/lib/wine/wine64
status=0

ok() { echo "installer: $*"; }
bad() {
  echo "installer: FAILED: $*" >&2
  status=1
}
# Runs a Windows program in the installer's prefix and waits for wine to settle, so the
# registry files are written when the program's status comes back.
run() {
  local rc=0
  env -u WINEPATH -u WINEQT_QPA_FONTDIR WINEPREFIX="$prefix" DISPLAY="$display" \
    timeout 120 "$wine" "$@" || rc=$?
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
  return $rc
}
# Prints a value from wine's registry files: <system.reg|user.reg> <key> <name>; backslashes
# in the key doubled as in the file.
reg_value() {
  KEY="[$2]" NAME="\"$3\"=" awk 'BEGIN { key = ENVIRON["KEY"]; name = ENVIRON["NAME"] }
    index($0, key) == 1 { inside = 1; next }
    /^\[/ { inside = 0 }
    inside && index($0, name) == 1 { print substr($0, length(name) + 1); exit }' "$prefix/$1"
}
has_key() { grep -qaF "[$2]" "$prefix/$1"; }
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
website=$(sed -n 's/^PELORIN_WEBSITE_URL:STRING=//p' "$build/CMakeCache.txt")
msi=$build/pelorin-$version-win64.msi
if [ ! -f "$msi" ]; then
  bad "$msi was not built"
  exit 1
fi
ok "$(basename "$msi"): $(stat -c %s "$msi") bytes"

# The tables any Windows reads: the upgrade rule, the downgrade message, the names.
upgrade=$(msiinfo export "$msi" Upgrade | tr -d '\r')
launch=$(msiinfo export "$msi" LaunchCondition)
shortcuts=$(msiinfo export "$msi" Shortcut)
grep -q 'WIX_UPGRADE_DETECTED$' <<<"$upgrade" && grep -q 'WIX_DOWNGRADE_DETECTED$' <<<"$upgrade" \
  && ok "Upgrade table detects earlier and later versions" || bad "Upgrade table: $upgrade"
grep -q 'NOT WIX_DOWNGRADE_DETECTED.*более новая версия' <<<"$launch" \
  && ok "a downgrade is refused with a message" || bad "no downgrade message in LaunchCondition"
grep -q 'Пелорин — удалённый доступ' <<<"$shortcuts" \
  && ok "Shortcut table names the shortcut in Russian (code page 1251)" \
  || bad "the shortcut's name did not survive the code page"
product=$(property "$msi" ProductCode)
manufacturer=$(property "$msi" Manufacturer)

# A copy of a lower version from the same descriptor: what the package upgrades.
IFS=. read -r major minor patch <<<"$version"
if [ "$patch" -gt 0 ]; then
  lower=$major.$minor.$((patch - 1))
elif [ "$minor" -gt 0 ]; then
  lower=$major.$((minor - 1)).0
else
  lower=$((major - 1)).0.0
fi
old=$work/pelorin-$lower-win64.msi
cmake -DWXS="$build/msi/pelorin.wxs" -DWIXL="$(command -v wixl)" -DMSIBUILD="$(command -v msibuild)" \
  -DVERSION="$lower" -DOUTPUT="$old" -P "$root/cmake/msi.cmake"
oldproduct=$(property "$old" ProductCode)
uninstall='Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall'

cp "$msi" "$old" "$prefix/drive_c/"
new_win="C:\\$(basename "$msi")"
old_win="C:\\$(basename "$old")"
installed=$prefix/drive_c/Program\ Files/Pelorin

run msiexec /i "$old_win" /qn && [ "$(reg_value system.reg "$uninstall\\\\$oldproduct" DisplayVersion)" = "\"$lower\"" ] \
  && ok "msiexec /i /qn installed version $lower" || bad "the quiet install of version $lower failed"

if run msiexec /i "$new_win" /qn; then
  ok "msiexec /i /qn upgraded to $version"
else
  bad "the quiet upgrade to $version failed"
fi
! has_key system.reg "$uninstall\\\\$oldproduct" && ok "version $lower is gone from Apps & features" \
  || bad "version $lower is still installed beside $version"
entry="$uninstall\\\\$product"
for pair in "DisplayVersion=$version" "Publisher=$manufacturer" "URLInfoAbout=$website"; do
  name=${pair%%=*}
  got=$(reg_value system.reg "$entry" "$name")
  [ "$got" = "\"${pair#*=}\"" ] && ok "Apps & features $name $got" || bad "Apps & features $name is '$got', not '${pair#*=}'"
done
packed=$(sed 's/[{}-]//g' <<<"$product" | awk '{
  s = ""; n = split("8 4 4 2 2 2 2 2 2 2 2", len, " "); p = 1
  for (i = 1; i <= n; i++) { part = substr($0, p, len[i]); p += len[i]; r = ""
    if (i <= 3) { for (j = length(part); j > 0; j--) r = r substr(part, j, 1) }
    else r = substr(part, 2, 1) substr(part, 1, 1)
    s = s r }
  print s }')
icon=$(reg_value system.reg "Software\\\\Classes\\\\Installer\\\\Products\\\\$packed" ProductIcon | tr -d '"' | sed 's/\\\\/\\/g')
iconfile=$prefix/drive_c/$(sed 's/^C:\\//; s/\\/\//g' <<<"$icon")
[ -n "$icon" ] && [ -s "$iconfile" ] && ok "Apps & features icon $icon" || bad "no product icon ('$icon')"

# The same files as the zip, byte for byte.
listing() { (cd "$1" && find . -type f -exec md5sum {} + | sort -k2); }
if diff <(listing "$zipped") <(listing "$installed") >"$work/msi-files.diff"; then
  ok "Program Files\\Pelorin holds the zip's $(listing "$installed" | wc -l) files"
else
  bad "the installed files differ from the zip's:"
  cat "$work/msi-files.diff" >&2
fi

# Windows puts a per-machine shortcut into the common Start menu; wine's msi uses the
# installing user's (its ProgramMenuFolder ignores ALLUSERS), so either counts here.
shortcut=
for menu in "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs" \
  "$prefix"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs; do
  [ -f "$menu/Пелорин — удалённый доступ.lnk" ] && shortcut=$menu/Пелорин\ —\ удалённый\ доступ.lnk
done
# A .lnk keeps its paths in UTF-16 and ANSI; without the zero bytes both read as text.
if [ -n "$shortcut" ] && tr -d '\0' <"$shortcut" | grep -aqF 'C:\Program Files\Pelorin\pelorin.exe' \
  && tr -d '\0' <"$shortcut" | grep -aqF "$icon"; then
  ok "Start menu shortcut \"Пелорин — удалённый доступ\" starts pelorin.exe, with the icon"
else
  bad "no Start menu shortcut to pelorin.exe with the icon ('$shortcut')"
fi

if run msiexec /i "$old_win" /qn; then
  bad "version $lower installed over $version"
else
  [ "$(reg_value system.reg "$entry" DisplayVersion)" = "\"$version\"" ] && [ -f "$installed/pelorin.exe" ] \
    && ok "installing $lower over $version is refused; $version stays" || bad "the refused downgrade damaged $version"
fi

exe='C:\Program Files\Pelorin\pelorin.exe'
rm -f "$prefix/drive_c/msi-shot.png"
run "$exe" --screenshot 'C:\msi-shot.png' || true
size=$(file -b "$prefix/drive_c/msi-shot.png" 2>/dev/null | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
[ "$size" = 1400x900 ] && ok "the installed program's screenshot is 1400 x 900" \
  || bad "the installed program's screenshot: '${size:-none}'"

# The running program; a second start on the same settings; a close that saves them.
env -u WINEPATH -u WINEQT_QPA_FONTDIR WINEPREFIX="$prefix" DISPLAY="$display" "$wine" "$exe" &
first=$!
for _ in $(seq 1 120); do
  DISPLAY=$display xdotool search --name 'Пелорин — удалённый доступ' >/dev/null 2>&1 && break
  sleep 0.5
done
if ! DISPLAY=$display xdotool search --name 'Пелорин — удалённый доступ' >/dev/null 2>&1; then
  bad "the installed program showed no window within 60 s"
elif [ -f "$root/src/singleinstance.h" ]; then
  second=0
  env -u WINEPATH -u WINEQT_QPA_FONTDIR WINEPREFIX="$prefix" DISPLAY="$display" \
    timeout 60 "$wine" "$exe" || second=$?
  if [ "$second" = 0 ] && kill -0 "$first" 2>/dev/null; then
    ok "a second start on the same settings handed over and ended with 0; the first runs on"
  else
    bad "the second start ended with $second (first running: $(kill -0 "$first" 2>/dev/null && echo yes || echo no))"
  fi
else
  echo "installer: (no one-copy-per-settings in this build: the second start is not tried)"
fi
# taskkill without /f asks the windows to close, as the title bar's close button does.
env -u WINEPATH WINEPREFIX="$prefix" "$wine" taskkill /im pelorin.exe >/dev/null 2>&1 || true
closed=1
for _ in $(seq 1 60); do
  kill -0 "$first" 2>/dev/null || { closed=0; break; }
  sleep 0.5
done
if [ "$closed" = 0 ] && wait "$first"; then
  ok "the program closed on request with exit code 0"
else
  bad "the program did not close within 30 s"
  kill "$first" 2>/dev/null || true
fi
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
settings='Software\\Pelorin\\PelorinVNC'
[ -n "$(reg_value user.reg "$settings" windowGeometry)" ] && ok "the close saved the settings (windowGeometry)" \
  || bad "no windowGeometry in the settings after the close"

if run msiexec /x "$new_win" /qn; then
  ok "msiexec /x /qn uninstalled"
else
  bad "the quiet uninstall failed"
fi
left=$(find "$prefix/drive_c" \( -path '*/Program Files/Pelorin*' -o -name 'Пелорин*.lnk' \) 2>/dev/null || true)
[ -z "$left" ] && ! has_key system.reg "$entry" && ok "no program file, folder, shortcut or Apps & features entry is left" \
  || bad "left after uninstalling: ${left:-the Apps & features entry}"
[ -n "$(reg_value user.reg "$settings" windowGeometry)" ] && ok "the settings stayed (HKCU\\Software\\Pelorin\\PelorinVNC)" \
  || bad "uninstalling removed the settings"

exit $status
