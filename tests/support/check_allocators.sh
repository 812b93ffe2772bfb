#!/bin/sh
# Lists the heap allocators the static library's objects call and fails on
# any beyond malloc, calloc, realloc and free (the functions the
# allocation-failure test wraps).
set -eu
lib=$1
others=$(nm -u "$lib" | awk '$1 == "U" { print $2 }' | sort -u |
  grep -E '^(_Zn[wa]|_ZdlPv|_ZdaPv|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|reallocarray|__libc_(malloc|calloc|realloc|memalign|free))' || true)
used=$(nm -u "$lib" | awk '$1 == "U" { print $2 }' | sort -u | grep -E '^(malloc|calloc|realloc|free)$' | tr '\n' ' ')
echo "allocators referenced: $used"
if [ -n "$others" ]; then
  echo "allocators the failure test cannot wrap:" $others >&2
  exit 1
fi
[ -n "$used" ]
