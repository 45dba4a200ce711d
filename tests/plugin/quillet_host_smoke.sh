#!/bin/sh
# Smoke test of the sample host: info prints the device name; tune starts the
# configured command with the channel.
set -eu
host=$1
plugin=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$host" "$plugin" info > "$scratch/info"
grep -qx 'DeviceName: DOR Ozodu Vezuru' "$scratch/info" || { cat "$scratch/info"; exit 1; }
grep -qx 'CanMacroTune: 1' "$scratch/info" || { cat "$scratch/info"; exit 1; }

export QUILLET_CONFIG_ROOT="$scratch/root"
key="$QUILLET_CONFIG_ROOT/Software/Tavrin/DOROzoduVezuru"
mkdir -p "$key"
echo "touch '$scratch/tuned-%CHANNEL%'" > "$key/command"
"$host" "$plugin" tune 705 | grep -qx 'MacroTune(705) = 1'

# The command runs on its own: wait for it, generously.
tries=0
while [ ! -e "$scratch/tuned-705" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 200 ] || { echo "the command did not run"; exit 1; }
    sleep 0.05
done

# Bad input is refused.
if "$host" "$plugin" tune 70x 2>/dev/null; then echo "70x accepted"; exit 1; fi
