#!/usr/bin/env bash
# build-qt-mingw.sh [--configure-only] [--arch i686|x86_64] [--release] PREFIX
#
# Builds the Qt the Windows lane needs, for a machine without the prebuilt
# archive: qtbase 5.15.8 from Debian's source package, static and release,
# for i686-w64-mingw32 (or x86_64-w64-mingw32 with --arch x86_64, for a
# machine that cannot run 32-bit programs and so no 32-bit Wine) (Core, Gui,
# Widgets, Test, the "windows" and "offscreen" platform plugins), with host
# tools that run here, installed into PREFIX. About 35 minutes on two cores
# and 100 MB installed.
#
# --release builds the Qt the shipped programs link instead
# (tools/windows/build-release-windows.sh): optimised for size, each function and
# object in a section of its own so that the programs' linker can leave out
# what they never call, and only Core, Gui, Widgets and the "windows"
# platform plugin, without the features the programs never use (below).
# The test lane keeps the full Qt: its tests run the programs offscreen.
#
# The source package comes through tools/windows/debian-source.sh, which leaves the
# system's apt set-up untouched. The work folder is
# $VELMAR_QT_BUILD_DIR, else PREFIX.build beside PREFIX; it can go once the
# build is installed. --configure-only stops after Qt's configure step, to
# check the set-up in a few minutes.
#
# Needs the Debian packages g++-mingw-w64-i686-posix (or -x86-64-posix),
# g++, make, perl and dpkg-dev.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
build_arguments "usage: $0 [--configure-only] [--arch i686|x86_64] [--release] PREFIX" 1 1 \
  --configure-only --arch --release -- "$@"
set -- "${positional[@]}"
profile=lane
$release && profile=release
target=$arch-w64-mingw32
prefix=$(realpath -m "$1")
work=$(realpath -m "${VELMAR_QT_BUILD_DIR:-$prefix.build}")
package=qtbase-opensource-src
version=5.15.8+dfsg-11+deb12u3
jobs=2

for tool in $target-g++-posix g++ make perl dpkg-source; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is missing (see the packages this script needs)" >&2
    exit 1
  fi
done

# ---- The source package -----------------------------------------------------
source_tree=$work/$package-${version%-*}
if [ ! -f "$source_tree/configure" ]; then
  echo "build-qt-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi

# ---- Configure, build, install ----------------------------------------------
# Qt calls the cross compilers by the CROSS_COMPILE prefix alone; these
# names make sure they are the POSIX-threads ones that the project's
# toolchain file uses, whatever the system's alternatives say.
compilers=$work/compilers
mkdir -p "$compilers"
ln -sf "$(command -v $target-gcc-posix)" "$compilers/$target-gcc"
ln -sf "$(command -v $target-g++-posix)" "$compilers/$target-g++"
export PATH=$compilers:$PATH

# The release leaves out, besides the modules no program links (Network,
# Sql, Xml, Test, Concurrent), what a static program would carry only
# because Qt's own code reaches it without ever running it: text codecs
# beyond the system's (the ANSI code page is Windows' own), the MIME
# database, time zones, image formats other than PNG, FreeType and HarfBuzz
# (the "windows" plugin draws with Windows' fonts), Qt's print, file, color
# and font dialogs, graphics view, and widgets none of the windows has.
# Style sheets, rich text (the log link), the Windows styles (which need the
# input dialog, table and tree views), animations, accessibility and high-DPI
# scaling stay.
release_options=(
  -optimize-size
  "QMAKE_CFLAGS+=-ffunction-sections -fdata-sections"
  "QMAKE_CXXFLAGS+=-ffunction-sections -fdata-sections"
  -no-freetype -no-harfbuzz -no-libjpeg -no-feature-direct2d
  -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
  -no-feature-concurrent
  -no-feature-big_codecs -no-feature-mimetype -no-feature-timezone
  -no-feature-topleveldomain -no-feature-statemachine -no-feature-sharedmemory
  -no-feature-systemsemaphore -no-feature-process -no-feature-commandlineparser
  -no-feature-xmlstream -no-feature-filesystemwatcher
  -no-feature-sortfilterproxymodel -no-feature-identityproxymodel
  -no-feature-stringlistmodel -no-feature-transposeproxymodel
  -no-feature-concatenatetablesproxymodel -no-feature-hijricalendar
  -no-feature-islamiccivilcalendar -no-feature-jalalicalendar
  -no-feature-textodfwriter -no-feature-textmarkdownreader
  -no-feature-textmarkdownwriter -no-feature-pdf -no-feature-picture
  -no-feature-movie -no-feature-imageformat_bmp -no-feature-imageformat_ppm
  -no-feature-imageformat_xbm -no-feature-systemtrayicon
  -no-feature-sessionmanager -no-feature-draganddrop
  -no-feature-calendarwidget -no-feature-colordialog -no-feature-columnview
  -no-feature-datawidgetmapper -no-feature-datetimeedit -no-feature-dial
  -no-feature-errormessage -no-feature-filedialog -no-feature-filesystemmodel
  -no-feature-dirmodel -no-feature-fontcombobox -no-feature-fontdialog
  -no-feature-fscompleter -no-feature-completer -no-feature-graphicseffect
  -no-feature-graphicsview -no-feature-keysequenceedit
  -no-feature-lcdnumber -no-feature-mdiarea -no-feature-splashscreen
  -no-feature-syntaxhighlighter -no-feature-textbrowser -no-feature-toolbox
  -no-feature-undocommand -no-feature-undogroup -no-feature-undostack
  -no-feature-undoview -no-feature-wizard -no-feature-style-fusion
  -no-feature-tablewidget -no-feature-treewidget -no-feature-listwidget
)
lane_options=(-qt-libjpeg -qt-freetype -qt-harfbuzz)
if [ "$profile" = release ]; then
  profile_options=("${release_options[@]}")
else
  profile_options=("${lane_options[@]}")
fi

build=$work/build-$arch
mkdir -p "$build"
cd "$build"
# -no-feature-tabletevent: the Debian source leaves out wintab.h.
"$source_tree/configure" \
  -xplatform win32-g++ -device-option CROSS_COMPILE=$target- \
  -prefix "$prefix" -static -release -opensource -confirm-license \
  -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -qt-zlib \
  -qt-libpng -qt-pcre -no-openssl -no-sql-sqlite -no-feature-tabletevent \
  "${profile_options[@]}"
if $configure_only; then
  echo "build-qt-mingw: configured in $build; stopping there as asked"
  exit 0
fi
# A build cut short (killed, machine stopped) can leave empty objects behind,
# which make would take as built; they are made again.
find "$build" -name '*.o' -size 0 -delete
make -j"$jobs"
make -j"$jobs" install
echo "build-qt-mingw: Qt installed in $prefix"
