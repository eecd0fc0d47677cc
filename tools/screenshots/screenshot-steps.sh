# shellcheck shell=bash disable=SC2317 # the inner functions run through until_true
# Sourced by the screenshot scripts and the DPI test, in a bash on a virtual
# screen. Each step waits for a state, never for a time: on a busy machine a
# program takes as long as it takes. Only a fault reaches the bound
# (SCREEN_PATIENCE seconds, 300 by default), and the step then names what it
# waited for and ends the shell.

screen_patience=${SCREEN_PATIENCE:-300}

# until_true WHAT COMMAND...: runs COMMAND until it succeeds.
until_true() {
  local what=$1 deadline=$((SECONDS + screen_patience))
  shift
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "waited $screen_patience s in vain for $what" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# file_has FILE TEXT [COUNT]: FILE has at least COUNT (1) lines that hold
# TEXT, compared as bytes.
file_has() {
  local count
  count=$(LC_ALL=C grep -acF -- "$2" "$1" 2>/dev/null) || true
  [ "${count:-0}" -ge "${3:-1}" ]
}

# ended PID: the process PID (a child of this shell) has ended.
ended() {
  ! kill -0 "$1" 2>/dev/null
}

# steady_shot FILE GEOMETRY: the part WxH+X+Y of the screen, in the format
# FILE's name ends with, once two pictures taken half a second apart agree:
# a window just shown on a busy machine may not have drawn all of itself yet.
steady_shot() {
  local file=$1 geometry=$2 first second
  first=$(mktemp --suffix=.ppm)
  second=$(mktemp --suffix=.ppm)
  import -window root -crop "$geometry" +repage -depth 8 "$first"
  steady_shot_again() {
    sleep 0.5
    import -window root -crop "$geometry" +repage -depth 8 "$second"
    cmp -s "$first" "$second" && return 0
    mv "$second" "$first"
    return 1
  }
  until_true "the screen at $geometry to hold still for half a second" steady_shot_again
  convert "$second" "$file"
  rm -f "$first" "$second"
}

# window_geometry SEARCH...: the geometry (WxH+X+Y) of the first visible
# window an xdotool search finds, once there is one.
window_geometry() {
  local window
  find_window() {
    window=$(xdotool search --onlyvisible "$@" 2>/dev/null | head -n 1)
    [ -n "$window" ]
  }
  until_true "a window (xdotool search $*)" find_window "$@"
  # shellcheck disable=SC2034 # all that getwindowgeometry sets
  local WINDOW WIDTH HEIGHT X Y SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  echo "${WIDTH}x${HEIGHT}+${X}+${Y}"
}

# hold_windows_file PATH: hold.exe of $BIN, under $wine_run, holds the
# Windows file PATH open without sharing until the script ends it
# (taskkill). Its "held" reaches a Linux pipe or file only when it ends, so
# a second hold.exe that cannot have the file tells that the first has it;
# a first that lost the race to the second is started again.
# shellcheck disable=SC2154 # wine_run and BIN are the caller's
hold_windows_file() {
  local holder=
  held_elsewhere() {
    if [ -z "$holder" ] || ended "$holder"; then
      "$wine_run" "$BIN/hold.exe" file "$1" 1800 >/dev/null 2>&1 &
      holder=$!
    fi
    ! "$wine_run" "$BIN/hold.exe" file "$1" 0 >/dev/null 2>&1
  }
  until_true "hold.exe to hold $1" held_elsewhere "$1"
}

# release FILE: tells the test hooks that what they hold up may go
# (VELMAR_TEST_RELEASE), and waits until the program has taken the word.
release() {
  : >"$1"
  until_true "the program to act on $1" test ! -e "$1"
}
