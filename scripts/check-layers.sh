#!/usr/bin/env bash
# Fails when a source file includes from a layer above its own. The layers and their allowed
# directions are read from scripts/layers.txt; nothing is built.
set -euo pipefail
cd "$(dirname "$0")/.."
rules=scripts/layers.txt

declare -A layer_of_folder   # folder or file -> layer
declare -A prefix_layer      # include prefix ("Core") -> layer
declare -A direct            # layer -> the layers named after its arrow
declare -a layers=()

while IFS= read -r line || [ -n "$line" ]; do
  line=${line%%#*}
  [[ -z ${line//[[:space:]]/} ]] && continue
  if [[ $line =~ ^layer[[:space:]]+([a-z]+):[[:space:]]*(.*)$ ]]; then
    name=${BASH_REMATCH[1]}
    layers+=("$name")
    for folder in ${BASH_REMATCH[2]}; do
      [ -e "$folder" ] || { echo "$rules: no such folder: $folder" >&2; exit 2; }
      layer_of_folder[$folder]=$name
      [[ $folder == src/* && -d $folder ]] && prefix_layer[${folder#src/}]=$name
    done
  elif [[ $line =~ ^([a-z]+)[[:space:]]*-\>[[:space:]]*(.*)$ ]]; then
    direct[${BASH_REMATCH[1]}]+=" ${BASH_REMATCH[2]} "
  else
    echo "$rules: cannot read: $line" >&2
    exit 2
  fi
done <"$rules"

# What each layer may include: its own files and everything its arrows reach.
declare -A reach
for layer in "${layers[@]}"; do
  seen=" $layer "
  todo=(${direct[$layer]:-})
  while [ ${#todo[@]} -gt 0 ]; do
    next=${todo[0]}
    todo=("${todo[@]:1}")
    [[ $seen == *" $next "* ]] && continue
    [[ " ${layers[*]} " == *" $next "* ]] || { echo "$rules: unknown layer: $next" >&2; exit 2; }
    seen+="$next "
    todo+=(${direct[$next]:-})
  done
  reach[$layer]=$seen
done

failures=0
for folder in "${!layer_of_folder[@]}"; do
  own=${layer_of_folder[$folder]}
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    lineno=${rest%%:*}
    [[ ${rest#*:} =~ \"([^\"]+)\" ]] && include=${BASH_REMATCH[1]}
    target=""
    if [[ $include == */* && -n ${prefix_layer[${include%%/*}]:-} ]]; then
      target=${prefix_layer[${include%%/*}]}
    elif [ -e "${file%/*}/$include" ]; then
      target=$own
    elif [[ $include == "$(basename "${file%.cpp}").moc" ]]; then
      target=$own  # the meta-object code the build generates for this very file
    else
      echo "$file:$lineno: includes \"$include\", which is in no layer" >&2
      failures=$((failures + 1))
      continue
    fi
    if [[ ${reach[$own]} != *" $target "* ]]; then
      echo "$file:$lineno: $own includes \"$include\" from $target, a layer it may not use" >&2
      failures=$((failures + 1))
    fi
  done < <(grep -rHnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder")
done

if [ "$failures" -gt 0 ]; then
  echo "Layer check: $failures include(s) against the directions in $rules" >&2
  exit 1
fi
echo "Layer check: every include follows $rules"
