#!/usr/bin/env bash
# Installs a real multi-language source corpus from Debian packages and writes
# the list of its root directories to bench/corpus/roots.txt, which the
# benchmarks read by default. Idempotent: quick when everything is there.
#
# Corpus (about 22,000 files, 220 MB): Python standard library with its test
# suite, Go standard library, Ruby standard library, a selection of Boost
# libraries (C++), two OpenJDK modules (Java), Symfony and the other PHP
# libraries under /usr/share/php, a few Rust crates, acorn and lodash
# (JavaScript) and Penlight (Lua).
set -euo pipefail
cd "$(dirname "$0")"

packages=(libpython3.11-testsuite golang-1.19-src ruby3.1 libboost1.74-dev
  openjdk-17-source php-symfony librust-regex-dev librust-syn-dev
  node-acorn node-lodash lua-penlight unzip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install_corpus: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

mkdir -p corpus
corpus=$(pwd)/corpus

# The JDK ships its sources as one archive; unpack the modules we use once.
jdk_modules=(java.base jdk.compiler)
jdk_stamp=corpus/jdk/.unpacked
if [ ! -f "$jdk_stamp" ]; then
  src_zip=$(dpkg -L openjdk-17-source | grep '/src\.zip$' | head -n 1)
  echo "install_corpus: unpacking ${jdk_modules[*]} from $src_zip"
  rm -rf corpus/jdk
  unzip -q -o "$src_zip" "${jdk_modules[@]/%//*}" -d corpus/jdk
  touch "$jdk_stamp"
fi

boost=/usr/include/boost
roots=(
  /usr/lib/python3.11
  /usr/share/go-1.19/src
  /usr/lib/ruby/3.1.0
  "$boost"/asio "$boost"/beast "$boost"/container "$boost"/geometry "$boost"/graph
  "$boost"/hana "$boost"/interprocess "$boost"/intrusive "$boost"/spirit
  "${jdk_modules[@]/#/$corpus/jdk/}"
  /usr/share/php
  /usr/share/cargo/registry
  /usr/share/nodejs/acorn /usr/share/nodejs/lodash
  /usr/share/lua
)
for root in "${roots[@]}"; do
  [ -d "$root" ] || { echo "install_corpus: missing $root" >&2; exit 1; }
done
printf '%s\n' "${roots[@]}" > corpus/roots.txt
echo "install_corpus: ${#roots[@]} roots listed in bench/corpus/roots.txt"
