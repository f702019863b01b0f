#!/usr/bin/env bash
# Installs what a fresh machine lacks to build and test the library: Debian
# packages, then the pinned tree-sitter runtime and grammar sources from npm.
# Idempotent: quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config libsimdjson-dev libutfcpp-dev
  libgtest-dev clang libclang-rt-14-dev python3-pylsp patch)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# Node.js and npm may come from elsewhere than Debian; only install when absent.
command -v npm >/dev/null || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm ci only when the installed tree does not match the lock file.
stamp=node_modules/.vantrel-lock
if [ ! -f "$stamp" ] || ! cmp -s package-lock.json "$stamp"; then
  echo "setup: installing grammar sources (npm ci)"
  npm ci --ignore-scripts --no-audit --no-fund >/dev/null
  cp package-lock.json "$stamp"
fi
