#!/bin/sh
# Checks the dynamic symbol table of quillet.so: exactly the 19 exports,
# the shared bodies at one address each, and no library beyond the C and
# C++ runtimes, and binding at load.
set -eu
plugin=$1
fail=0

expected='AddCommand
AddRemote
CanMacroTune
CloseDevice
CreateCommand
CreateRemote
DeviceName
FindBitRate
FindCarrierFrequency
FreeRemotes
InitDevice
LoadRemotes
MacroTune
NeedBitrate
NeedCarrierFrequency
OpenDevice
PlayCommand
RecordCommand
SaveRemotes'

defined=$(nm -D --defined-only "$plugin")
names=$(printf '%s\n' "$defined" | awk '{print $3}' | sort)
if [ "$names" != "$expected" ]; then
    echo "exported names differ from the 19 expected:"
    printf '%s\n' "$expected" > "${TMPDIR:-/tmp}/quillet-expected.$$"
    printf '%s\n' "$names" | diff "${TMPDIR:-/tmp}/quillet-expected.$$" - || true
    rm -f "${TMPDIR:-/tmp}/quillet-expected.$$"
    fail=1
fi

address() { printf '%s\n' "$defined" | awk -v name="$1" '$3 == name {print $1}'; }
same_body() {
    first=$(address "$1")
    shift
    for other in "$@"; do
        if [ "$(address "$other")" != "$first" ]; then
            echo "$other does not share its body"
            fail=1
        fi
    done
}
same_body CanMacroTune OpenDevice
same_body NeedBitrate NeedCarrierFrequency
same_body FindBitRate FindCarrierFrequency RecordCommand
same_body InitDevice CloseDevice PlayCommand

needed=$(readelf -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in $needed; do
    case $library in
        libc.so.*|libstdc++.so.*|libm.so.*|libgcc_s.so.*|ld-linux*) ;;
        *) echo "unexpected dependency: $library"; fail=1 ;;
    esac
done

# MacroTune's start processes run on small stacks: nothing may be bound lazily there.
if ! readelf -d "$plugin" | grep -q 'BIND_NOW'; then
    echo "quillet.so is not linked with -z now"
    fail=1
fi

exit $fail
