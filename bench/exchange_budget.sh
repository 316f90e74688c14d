#!/bin/sh
# The exchange budget: runs korva_bench_exchanges, keeps its table and draws
# exchanges against the number of objects for a first and a repeated search
# (gnuplot, from Debian's gnuplot-nox, which scripts/setup installs).
#
#   bench/exchange_budget.sh [build folder]   (default: build-release)
#
# Prints the tables (bench/README.md shows them) and writes
# bench/exchange_budget.png.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-release}
cmake --build "$build" --target korva_bench_exchanges
data=$(mktemp)
trap 'rm -f "$data"' EXIT
"$build/bench/korva_bench_exchanges" --plot-data "$data"
gnuplot <<PLOT
set terminal pngcairo size 800,500 font ",10" noenhanced
set output "$here/exchange_budget.png"
set title "Card exchanges of a search (C_FindObjectsInit + C_FindObjects + C_FindObjectsFinal)"
set xlabel "objects on the token"
set ylabel "card exchanges (log scale)"
set logscale y
set key top left
set grid
plot "$data" using 1:2 with linespoints dashtype 2 lw 2 title "first search, before the cache", \
     "$data" using 1:3 with linespoints dashtype 3 title "repeated search, before the cache", \
     "$data" using 1:4 with linespoints title "first search, with the cache", \
     "$data" using 1:5 with linespoints lw 2 title "repeated search, with the cache"
PLOT
echo "wrote $here/exchange_budget.png"
