#!/usr/bin/env bash
# tools/package.sh: builds the Debian package (debian/) from this work tree's files into
# build/package/, checks it with lintian (any error or warning fails) and prints the path of the
# .deb. The tests are not built (DEB_BUILD_OPTIONS=nocheck) unless DEB_BUILD_OPTIONS is set;
# ZR_JOBS sets the parallel jobs (default 2). Needs the packages tools/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build/package
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
src=$out/zr40-$version

# A tree of the sources alone, tracked and new files as they are now, so that no build folder
# or earlier package build leaks into it; the results land beside it.
rm -rf "$out"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    if [ -e "$file" ] || [ -L "$file" ]; then
      printf '%s\0' "$file"
    fi
  done | xargs -0 cp -a --parents -t "$src"

options=${DEB_BUILD_OPTIONS-nocheck}
profiles=()
if [[ " $options " == *" nocheck "* ]]; then
  profiles=(-Pnocheck)  # nor are the tests' build dependencies needed
fi
# The compiler cache, as in tools/build.sh. Debian's flags map this tree's path to "." in what is
# compiled, so the option that names it is left out of the cache's key and another clone's build
# of the same sources hits. debhelper gives the build a HOME of its own: the cache's folder is
# named.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=1 CCACHE_IGNOREOPTIONS='-ffile-prefix-map=*'
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR
fi
start=$SECONDS
(
  cd "$src"
  DEB_BUILD_OPTIONS="${options:+$options }parallel=${ZR_JOBS:-2}" \
    dpkg-buildpackage -b -us -uc "${profiles[@]}" >"$out/build.log" 2>&1
) || {
  tail -n 40 "$out/build.log" >&2
  echo "package: the build failed (see $out/build.log)" >&2
  exit 1
}
echo "package: built in $((SECONDS - start)) s" >&2

changes=$out/zr40_${version}_${arch}.changes
lintian --fail-on error,warning "$changes" >&2
echo "package: lintian found no errors or warnings" >&2
echo "$out/zr40_${version}_${arch}.deb"
