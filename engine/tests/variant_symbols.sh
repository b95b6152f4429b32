#!/usr/bin/env bash
# No code shared between the kernel variants: every symbol that a variant's
# object file defines as weak or in a COMDAT group (the kinds the linker
# merges across units) must lie in that variant's own namespace, so that the
# linker can never keep one unit's copy, compiled for one instruction set, for
# a caller of another. The one allowed exception is the data word
# DW.ref.__gxx_personality_v0 (a pointer, not code).
#
#   variant_symbols.sh NM READELF OBJECT...
set -euo pipefail
nm_tool=$1
readelf_tool=$2
shift 2
status=0
checked=0
for object in "$@"; do
    variant=$(basename "$object" | sed -n 's/^variant_\([a-z0-9]*\)\.cpp\.o$/\1/p')
    [ -n "$variant" ] || continue
    checked=$((checked + 1))
    # Weak definitions (W, V, u, i) and the signatures of section groups.
    mergeable=$( { "$nm_tool" --defined-only "$object" | awk '$2 ~ /^[WVui]$/ {print $3}';
                   "$readelf_tool" -gW "$object" | sed -n 's/^COMDAT group section \[[ 0-9]*\] `[^'"'"']*'"'"' \[\(.*\)\] contains.*/\1/p'; } |
                 sort -u | grep -v '^DW\.ref\.__gxx_personality_v0$' || true)
    foreign=0
    for symbol in $mergeable; do
        demangled=$(echo "$symbol" | c++filt)
        case "$demangled" in
            *"brenmor::kernel::$variant::"*) ;;
            *) echo "$object: $demangled ($symbol) may be merged with another unit's copy"
               foreign=$((foreign + 1)) ;;
        esac
    done
    if [ "$foreign" -gt 0 ]; then
        status=1
    else
        echo "$variant: $(echo "$mergeable" | grep -c . || true) mergeable symbols, all in brenmor::kernel::$variant"
    fi
done
if [ "$checked" -eq 0 ]; then
    echo "no variant object files given"
    exit 1
fi
exit $status
