#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine; skips what is present.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev python3
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 locales)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The end-to-end tests run the tool under a Chinese and an English locale.
for locale in zh_CN.UTF-8 en_US.UTF-8; do
  if ! locale -a 2>/dev/null | grep -qix "${locale/UTF-8/utf8}"; then
    sed -i "s/^# *\(${locale} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${locale} UTF-8" /etc/locale.gen || echo "${locale} UTF-8" >> /etc/locale.gen
    locale-gen >/dev/null
  fi
done
