#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks it as an outside
# application would see it: every installed header compiles on its own, and
# the consumer program builds and runs both through the CMake package and
# through pkg-config. Usage: tests/consumer/check-package.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: check-package.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kivora-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "package: installing into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

pcdir=$(dirname "$(find "$prefix" -name kivora.pc -print -quit)")
libdir=$(dirname "$(find "$prefix" -name 'libkivora.so' -print -quit)")
[ -d "$pcdir" ] && [ -d "$libdir" ] || { echo "package: kivora.pc or libkivora.so not installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}

echo "package: every installed header compiles on its own, and after Qt's headers with QT_NO_KEYWORDS"
cflags=$(pkg-config --cflags kivora)
export cflags
(cd "$prefix/include" && find kivora -name '*.h' | sort) |
  xargs -P 2 -I{} sh -c '
    echo "#include <{}>" | c++ $cflags -fsyntax-only -x c++ - ||
      { echo "package: {} does not compile alone" >&2; exit 255; }
    printf "#include <QObject>\n#include <QtWidgets>\n#include <{}>\n" |
      c++ $cflags -DQT_NO_KEYWORDS -fsyntax-only -x c++ - ||
      { echo "package: {} does not compile after Qt with QT_NO_KEYWORDS" >&2; exit 255; }'

echo "package: consumer through find_package(Kivora)"
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/kivora_consumer"

# The Designer plugin is installed when the tree built one (Qt's Designer
# files were there); the form program then also loads the installed copy,
# which must find the installed library by itself.
plugin_arg=()
if [ -e "$build/plugins/designer/libkivora_designer.so" ]; then
  plugin=$(find "$prefix" -path '*/plugins/designer/libkivora_designer.so' -print -quit)
  [ -n "$plugin" ] || { echo "package: the Designer plugin is not installed under Qt's designer plugin folder" >&2; exit 1; }
  plugin_arg=("$plugin")
fi
echo "package: a uic-compiled form with the Kivora widgets shows"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$work/cmake/kivora_consumer_form" "${plugin_arg[@]}"

echo "package: consumer through pkg-config"
mkdir -p "$work/pc"
make -s -C "$here" OUT="$work/pc/kivora_consumer"
LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$work/pc/kivora_consumer"

echo "package: the installed kivora program runs"
"$prefix/bin/kivora" version >/dev/null

echo "package: OK"
