#!/usr/bin/env bash
# The house's floors: a folder may include its own headers and those of lower
# floors, never a higher floor or another folder on its own floor. Fails with
# every offending include listed.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A floor=(
  [base]=0
  [sources]=1 [disk]=1 [web]=1
  [torrent]=2 [update]=2
  [player]=3
  [video]=4
  [ui]=5 [diag]=5
  [shell]=6
  [app]=7
)

bad=0
for dir in "${!floor[@]}"; do
  [[ -d $dir ]] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$hit")
    [[ $target == "$dir" ]] && continue
    t=${floor[$target]:-}
    if [[ -z $t ]]; then
      echo "layering: $file includes from '$target/', which is no room of the product" >&2
      bad=1
    elif (( t >= ${floor[$dir]} )); then
      echo "layering: $file ($dir, floor ${floor[$dir]}) includes $target/ (floor $t)" >&2
      bad=1
    fi
  done < <(grep -rnE '^\s*#\s*include "[a-z]+/' "$dir" --include='*.h' --include='*.cpp' || true)
done
if (( bad )); then
  echo "layering: an include runs upward or sideways (see the floors in tools/check-layering.sh)" >&2
  exit 1
fi
echo "layering: every include runs downward"
