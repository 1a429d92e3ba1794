#!/usr/bin/env bash
# The bash completion of ostrel-control-cli, driven as bash drives it: COMP_LINE and COMP_POINT
# for a command line typed up to the cursor, the function's COMPREPLY compared with what bash
# must offer. Usage: completion_test.sh PATH-TO-COMPLETION-FILE
set -u
completion=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A config.json as the app writes it (two-space indentation, sorted keys), with a default port,
# another port, an IPv6 host and an entry that the app itself would skip (empty host).
config_home=$scratch/config
mkdir -p "$config_home/OstrelOps/control-app"
cat >"$config_home/OstrelOps/control-app/config.json" <<'EOF'
{
  "autoSignIn": false,
  "lastSystemId": "sys-a",
  "systems": [
    {
      "host": "lab.local",
      "hosts": [
        "lab.local",
        "10.0.0.4"
      ],
      "lastUsedMs": 1700000000000,
      "name": "Lab \"north\"",
      "port": 8443,
      "sessionRemembered": true,
      "systemId": "sys-a"
    },
    {
      "host": "10.0.0.5",
      "hosts": [],
      "lastUsedMs": 1700000000001,
      "name": "Line 5",
      "port": 9443,
      "sessionRemembered": false,
      "systemId": "sys-b"
    },
    {
      "host": "fd00::5",
      "hosts": [],
      "lastUsedMs": 1700000000002,
      "name": "v6",
      "port": 8444,
      "sessionRemembered": false,
      "systemId": "sys-c"
    },
    {
      "host": "",
      "hosts": [],
      "lastUsedMs": 0,
      "name": "broken",
      "port": 8443,
      "sessionRemembered": false,
      "systemId": "sys-d"
    }
  ],
  "version": 2
}
EOF
printf 'not json {' >"$scratch/garbage.json"

# shellcheck source=/dev/null
source "$completion"

failures=0
# check NAME CONFIG_HOME LINE EXPECTED...   (EXPECTED: the offers in any order; none = nothing)
check() {
    local name=$1 home=$2 line=$3
    shift 3
    COMPREPLY=()
    COMP_LINE=$line
    COMP_POINT=${#line}
    local errors
    errors=$(XDG_CONFIG_HOME=$home HOME=$scratch/nohome _ostrel_control_cli 2>&1 >/dev/null)
    XDG_CONFIG_HOME=$home HOME=$scratch/nohome _ostrel_control_cli 2>/dev/null
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
    [[ ${#COMPREPLY[@]} -eq 0 ]] && got=""
    [[ $# -eq 0 ]] && want=""
    if [[ $got != "$want" || -n $errors ]]; then
        echo "FAIL $name: line '$line': got [$got] want [$want]${errors:+ stderr: $errors}"
        failures=$((failures + 1))
    fi
}

cfg=$config_home
# name                       config          line                                          offers
check "subcommands"          "$cfg"          "ostrel-control-cli "                          --version probe discover bridge
check "subcommand prefix"    "$cfg"          "ostrel-control-cli pr"                        probe
check "option prefix"        "$cfg"          "ostrel-control-cli --v"                       --version
check "unknown prefix"       "$cfg"          "ostrel-control-cli x"
check "probe hosts"          "$cfg"          "ostrel-control-cli probe "                    lab.local 10.0.0.5:9443 "[fd00::5]:8444"
check "probe host prefix"    "$cfg"          "ostrel-control-cli probe 10."                 10.0.0.5:9443
check "probe after colon"    "$cfg"          "ostrel-control-cli probe 10.0.0.5:94"         9443
check "probe v6 after colon" "$cfg"          "ostrel-control-cli probe [fd00::"             5]:8444
check "probe one host only"  "$cfg"          "ostrel-control-cli probe lab.local "
check "probe extra blanks"   "$cfg"          "ostrel-control-cli   probe  la"               lab.local
check "probe no config"      "$scratch/none" "ostrel-control-cli probe "
check "probe bad config"     "$scratch/bad"  "ostrel-control-cli probe "
check "relative XDG ignored" "rel/dir"       "ostrel-control-cli probe "
check "discover option"      "$cfg"          "ostrel-control-cli discover "                 --port
check "discover after --port" "$cfg"         "ostrel-control-cli discover --port "
check "discover after number" "$cfg"         "ostrel-control-cli discover --port 4000 "
check "bridge takes nothing" "$cfg"          "ostrel-control-cli bridge "
check "version takes nothing" "$cfg"         "ostrel-control-cli --version "

# A config.json that is not what the app writes: nothing offered, nothing printed.
mkdir -p "$scratch/bad/OstrelOps/control-app"
cp "$scratch/garbage.json" "$scratch/bad/OstrelOps/control-app/config.json"
check "garbage config"       "$scratch/bad"  "ostrel-control-cli probe "

# With HOME's config.json (XDG_CONFIG_HOME unset) the same systems come back.
mkdir -p "$scratch/home/.config"
cp -r "$config_home/OstrelOps" "$scratch/home/.config/"
COMP_LINE="ostrel-control-cli probe l"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
(unset XDG_CONFIG_HOME; HOME=$scratch/home _ostrel_control_cli; [[ "${COMPREPLY[*]}" == "lab.local" ]]) ||
    { echo "FAIL HOME fallback"; failures=$((failures + 1)); }

[[ $(complete -p ostrel-control-cli 2>/dev/null) == *"-F _ostrel_control_cli"* ]] ||
    { echo "FAIL the completion is not registered"; failures=$((failures + 1)); }

if ((failures > 0)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion: all cases passed"
