#!/usr/bin/env bash
# Generates the content of the developer fixtures (fixtures/*.json): the four
# titles of the bridge test page, with the same options the checked-in fixture
# files were made with, so the info-hashes match and the content can be seeded.
#   tools/gen-dev-fixtures.sh OUT_DIR            content in OUT_DIR/<anime>/seed/<hash>/
#   tools/gen-dev-fixtures.sh OUT_DIR --install  also refresh fixtures/ from it
# GEN_EPISODES overrides the generator binary (default build/tools/gen-episodes).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: tools/gen-dev-fixtures.sh OUT_DIR [--install]}
gen=${GEN_EPISODES:-build/tools/gen-episodes}
announce=http://127.0.0.1:6969/announce

run() { # anime first-episode sources
  "$gen" --out "$out/$1" --anime "$1" --first-episode "$2" --title "Demo $1" --sources "$3" --announce "$announce"
}
run 775318 8 main
run 900001 4 dead:256:dead,main:2048
run 3632 4 main:2048
run 2602 2 main

if [[ ${2:-} == --install ]]; then
  mkdir -p fixtures/torrents
  for a in 775318 900001 3632 2602; do
    cp "$out/$a/fixture.json" "fixtures/$a.json"
    cp "$out/$a"/torrents/*.torrent fixtures/torrents/
  done
fi
