#!/bin/bash
# The install test inside the clean Debian root (scripts/install-test starts it there, as root,
# offline: loopback only, every download already in apt's cache).
#   install_inside.sh DIR VERSION TEST-TOOL...   DIR holds the .deb files and receives results
#   install_inside.sh --app DIR/app              (itself, as the operator, under Xvfb + D-Bus)
set -uo pipefail

app_id=org.ostrelops.Control
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
t0=$SECONDS
step() { echo "---- [$((SECONDS - t0))s] $*"; }

# Process ids of running programs named $1 (procps is not in a minimal root).
pids_of() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = "$1" ] && echo "${p#/proc/}"
  done
}

# waits up to $1 seconds for the command after it to succeed
wait_for() {
  local limit=$1 start=$SECONDS
  shift
  until "$@"; do
    ((SECONDS - start >= limit)) && return 1
    sleep 0.2
  done
}

# ------------------------------------------------------------------------------------------
# The app, as the operator would meet it: started from its desktop entry, then once more.
if [ "${1:-}" = "--app" ]; then
  dir=$2
  desktop=/usr/share/applications/$app_id.desktop
  window_up() { xwininfo -root -tree 2>/dev/null | grep -q '"Ostrel Ops Control - '; }

  # xvfb-run can hand over before the server takes connections on a busy machine.
  wait_for 30 xwininfo -root >/dev/null 2>&1 || fail "the X server did not come up"

  step "starting the app from its desktop entry (gio launch)"
  gio launch "$desktop" >"$dir/app.out" 2>&1 &
  if wait_for 60 window_up; then
    pass "the window is up: $(xwininfo -root -tree | grep -o '"Ostrel Ops Control - [^"]*"' | head -1)"
  else
    fail "no window titled 'Ostrel Ops Control - …' within 60 s"
    sed 's/^/  app: /' "$dir/app.out" | tail -20
  fi
  mapfile -t first < <(pids_of ostrel-control)
  [ ${#first[@]} -eq 1 ] || fail "expected one ostrel-control process, found ${#first[@]}"

  logs=$HOME/.local/state/OstrelOps/native-control-app
  ui_line=$(grep -ho 'ui: .*' "$logs"/Log_*.log 2>/dev/null | head -1)
  if [ "$ui_line" = "ui: /usr/share/ostrel-ops-control/ui" ]; then
    pass "the app serves the installed start page ($ui_line)"
  else
    fail "the app's start page folder: '$ui_line'"
  fi
  # What the operator sees: the window on the X screen once the page had time to draw (Xvfb
  # keeps its screen in a file; scripts/install-test judges it outside the root).
  sleep 5
  wid=$(xwininfo -root -tree | grep '"Ostrel Ops Control - ' | awk '{ print $1; exit }')
  [ -n "$wid" ] && xwininfo -id "$wid" | awk -F: '/Absolute upper-left X/ { x = $2 } /Absolute upper-left Y/ { y = $2 }
      /Width/ { w = $2 } /Height/ { h = $2 } END { printf "%dx%d+%d+%d\n", w, h, x, y }' >"$dir/window.geometry"
  cp "$dir/Xvfb_screen0" "$dir/screen.xwd"

  step "starting it a second time"
  start=$SECONDS
  timeout 30 ostrel-control >"$dir/second.out" 2>&1
  code=$?
  if [ $code -eq 0 ]; then
    pass "the second start handed over to the running window and ended with 0 in $((SECONDS - start)) s"
  else
    fail "the second start ended with $code"
    sed 's/^/  second: /' "$dir/second.out" | tail -10
  fi
  mapfile -t now < <(pids_of ostrel-control)
  [ "${now[*]}" = "${first[*]}" ] || fail "ostrel-control processes before [${first[*]}], after [${now[*]}]"

  for p in "${first[@]}"; do kill -TERM "$p"; done
  wait_for 20 test -z "$(pids_of ostrel-control)" || fail "the app did not end on SIGTERM"
  if ls "$logs"/Log_*.log >/dev/null 2>&1; then pass "the app wrote its log to $logs"; else fail "no log in $logs"; fi
  exit $((failures > 0))
fi

# ------------------------------------------------------------------------------------------
dir=$1
version=$2
shift 2
tools=("$@")
arch=$(dpkg --print-architecture)
packages=(ostrel-ops-control ostrel-ops-control-tools)

step "installing the test tools (${tools[*]})"
apt-get install -y -qq --no-install-recommends "${tools[@]}" >/dev/null || exit 1
useradd --create-home --shell /bin/bash desk

# Everything in the system folders, before our packages come.
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /home \
    -o -path /root -o -path /var/cache/apt -o -path /var/lib/apt/lists -o -path /var/lib/dpkg -o -path /var/log \) -prune -o -print | LC_ALL=C sort
}
snapshot >"$dir/before.txt"

step "installing the packages with apt"
if apt-get install -y -q --no-install-recommends \
     "$dir/ostrel-ops-control_${version}_${arch}.deb" "$dir/ostrel-ops-control-tools_${version}_${arch}.deb" \
     >"$dir/apt-install.log" 2>&1; then
  pass "apt installed $(grep -c '^Unpacking' "$dir/apt-install.log") packages: ours and their dependencies"
else
  tail -30 "$dir/apt-install.log"
  fail "apt could not install the packages"
  exit 1
fi
dpkg-query -L "${packages[@]}" | LC_ALL=C sort -u >"$dir/owned.txt"

step "the installed files"
for f in /usr/bin/ostrel-control /usr/bin/ostrel-control-cli /usr/bin/ostrel-system-sim \
         /usr/share/ostrel-ops-control/ui/index.html \
         /usr/share/applications/$app_id.desktop /usr/share/metainfo/$app_id.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/$app_id.svg \
         /usr/share/bash-completion/completions/ostrel-control-cli \
         /usr/share/doc/ostrel-ops-control/copyright /usr/share/doc/ostrel-ops-control-tools/copyright; do
  [ -s "$f" ] || fail "missing: $f"
done
for size in 16 22 24 32 48 64 128 256; do
  [ -s "/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png" ] || fail "missing: the ${size}x${size} icon"
done
for page in ostrel-control ostrel-control-cli ostrel-system-sim; do
  gzip -t "/usr/share/man/man1/$page.1.gz" 2>/dev/null || fail "missing or broken: the man page $page(1)"
done
for bin in ostrel-control ostrel-control-cli ostrel-system-sim; do
  [ -x /usr/bin/$bin ] || continue
  missing=$(ldd /usr/bin/$bin | grep 'not found')
  [ -z "$missing" ] || fail "$bin: libraries the package does not depend on: $missing"
done
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/$app_id.desktop)
icon_line=$(sed -n 's/^Icon=//p' /usr/share/applications/$app_id.desktop)
command -v "${exec_line%% *}" >/dev/null || fail "the desktop entry runs '$exec_line', which is not on PATH"
[ "$icon_line" = "$app_id" ] || fail "the desktop entry's icon is '$icon_line'"
[ $failures -eq 0 ] && pass "programs, start page, desktop entry, metainfo, icons, man pages, completion"

step "ostrel-control-cli --version and probe against the simulator"
out=$(runuser -u desk -- ostrel-control-cli --version)
if [[ $out == "ostrel-control-cli $version ("*")" ]]; then pass "$out"; else fail "--version printed '$out'"; fi

runuser -u desk -- ostrel-system-sim --port 8443 --system-id install-test-0001 \
  --system-name "Install test" --password install-test >"$dir/sim.out" 2>"$dir/sim.err" &
sim=$!
if wait_for 20 grep -qs '"port":8443' "$dir/sim.out"; then
  out=$(runuser -u desk -- ostrel-control-cli probe 127.0.0.1:8443)
  code=$?
  if [ $code -eq 0 ] && [[ $out == *'"ok":true'* && $out == *'"systemId":"install-test-0001"'* ]]; then
    pass "probe: $out"
  else
    fail "probe ended with $code: $out"
  fi
  out=$(runuser -u desk -- ostrel-control-cli probe 127.0.0.1:9)
  code=$?
  if [ $code -ne 1 ] || [[ $out != *'"ok":false'* ]]; then fail "probe of a closed port ended with $code: $out"; fi
else
  fail "the simulator did not start: $(cat "$dir/sim.err")"
fi
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null

step "the app under Xvfb"
if [ -x /usr/bin/ostrel-control ]; then
  mkdir -p /run/user/1000 "$dir/app" && chown desk: /run/user/1000 "$dir/app" && chmod 700 /run/user/1000
  runuser -u desk -- env HOME=/home/desk XDG_RUNTIME_DIR=/run/user/1000 \
    xvfb-run -a -s "-screen 0 1440x900x24 -fbdir $dir/app" \
    dbus-run-session -- bash "$dir/inside.sh" --app "$dir/app" || failures=$((failures + 1))
else
  fail "the package has no /usr/bin/ostrel-control"
fi

# ------------------------------------------------------------------------------------------
# Nothing of ours may stay in the system folders; the operator's own files stay.
# Every path some installed package owns (dpkg-query -S per path is far too slow for thousands).
owned_by_packages() {
  cat /var/lib/dpkg/info/*.list | LC_ALL=C sort -u
}
leftovers() {
  local stage=$1 path
  owned_by_packages >"$dir/owned-now.txt"
  while read -r path; do
    if [ -L "$path" ] || [ -f "$path" ]; then
      fail "after $stage: $path is still there"
    elif [ -d "$path" ] && ! grep -qxF -- "$path" "$dir/owned-now.txt"; then
      fail "after $stage: the folder $path is still there and no package owns it"
    fi
  done <"$dir/owned.txt"
  local found
  found=$(find /usr /etc /var /opt /srv -xdev \( -path /var/log -o -path /var/cache/apt \) -prune -o \
            \( -iname '*ostrel*' -o -iname "*$app_id*" \) -print 2>/dev/null)
  if [ "$stage" = remove ]; then
    # dpkg keeps a removed package's bookkeeping until the purge (we have no conffiles or scripts).
    found=$(grep -v '^/var/lib/dpkg/info/ostrel-ops-control' <<<"$found")
  fi
  [ -z "$found" ] || fail "after $stage, still named after us: ${found//$'\n'/ }"
  local cache
  for cache in /usr/share/icons/hicolor/icon-theme.cache /usr/share/applications/mimeinfo.cache; do
    [ -f "$cache" ] && grep -aq "$app_id" "$cache" && fail "after $stage: $cache still lists $app_id"
  done
}

step "removing the packages"
apt-get remove -y -q "${packages[@]}" >"$dir/apt-remove.log" 2>&1 || fail "apt-get remove failed"
before=$failures
leftovers remove
[ $failures -eq $before ] && pass "remove: nothing of ours left in the system folders"

step "purging them"
# Nothing is left for apt to purge (no conffiles); dpkg must agree and forget them.
dpkg --purge "${packages[@]}" >"$dir/dpkg-purge.log" 2>&1 || fail "dpkg --purge failed"
before=$failures
leftovers purge
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]' && fail "dpkg still knows $p"
done
# New paths that no package owns: files the triggers made (caches); none may be ours.
snapshot >"$dir/after.txt"
owned_by_packages >"$dir/owned-now.txt"
# (Caches, alternatives, links of merged /usr that dpkg lists under /bin: not ours to judge.)
LC_ALL=C comm -13 "$dir/before.txt" "$dir/after.txt" | LC_ALL=C comm -23 - "$dir/owned-now.txt" >"$dir/unowned.txt"
echo "  $(wc -l <"$dir/unowned.txt") new paths that no package owns (made by the dependencies' scripts and triggers)"
unowned=$(grep -i -e ostrel -e "$app_id" "$dir/unowned.txt")
[ -z "$unowned" ] || fail "after purge, new files named after us: ${unowned//$'\n'/ }"
[ $failures -eq $before ] && pass "purge: nothing of ours left in the system folders"

if [ -d /home/desk/.local/state/OstrelOps ]; then
  pass "the operator's own files stay: $(cd /home/desk && find .local .config -maxdepth 3 -path '*OstrelOps*' 2>/dev/null | sort | tr '\n' ' ')"
else
  fail "the operator's logs are gone"
fi

step "finished: $failures failure(s)"
exit $((failures > 0))
