#!/bin/bash
# Fails when a library's source includes another library's *_internal.h:
# what a library keeps internal is for its own sources and its tests.
#   headers_internal_check.sh SOURCE_ROOT LIBRARY_DIR...
# An internal header is known by its name; its library is the directory it
# is included from ("pcscread/Trace_internal.h"), or the including file's
# own when the include names no directory.
set -u
root=$1
shift
status=0
for lib in "$@"; do
    if [ -z "$(find "$root/$lib" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print -quit)" ]; then
        echo "$lib: no sources to check in $root/$lib"
        status=1
        continue
    fi
    # "file:line:header" for each include of an internal header.
    while IFS=: read -r source line header; do
        dir=${header%/*}
        owner=${dir##*/}
        if [ "$dir" != "$header" ] && [ "$owner" != "$lib" ]; then
            echo "${source#"$root"/}:$line: includes $header, internal to $owner"
            status=1
        fi
    done < <(grep -rnE --include='*.c' --include='*.cpp' --include='*.h' \
                  '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^">]*_internal\.h[">]' "$root/$lib" |
             sed -E 's/^([^:]*):([0-9]+):[^<"]*[<"]([^">]*)[">].*/\1:\2:\3/')
done
exit $status
