# Sourced by the build scripts: one way to read their options and arguments.
#
#   build_arguments USAGE MIN MAX [OPTION...] -- "$@"
#
# OPTIONs are those the script takes, of --arch ARCH (i686 unless given),
# --release, --ready and --configure-only (each sets the variable of its
# name, without the dashes, to true; false unless given). The other
# arguments land in the array positional, MIN to MAX of them. --help prints
# USAGE and ends the script with 0; anything else wrong prints it on
# standard error and ends the script with 2.
build_arguments() {
  local usage=$1 least=$2 most=$3 option known
  shift 3
  local takes=()
  while [ "$1" != -- ]; do
    takes+=("$1")
    shift
  done
  shift
  arch=i686 release=false ready=false configure_only=false
  positional=()
  while [ $# -gt 0 ]; do
    case $1 in
    -h | --help)
      echo "$usage"
      exit 0
      ;;
    --*)
      known=false
      for option in "${takes[@]}"; do
        [ "$option" = "$1" ] && known=true
      done
      if ! $known || { [ "$1" = --arch ] && [ $# -lt 2 ]; }; then
        echo "$usage" >&2
        exit 2
      fi
      case $1 in
      --arch) arch=$2 && shift ;;
      --release) release=true ;;
      --ready) ready=true ;;
      --configure-only) configure_only=true ;;
      esac
      ;;
    *) positional+=("$1") ;;
    esac
    shift
  done
  if [ ${#positional[@]} -lt "$least" ] || [ ${#positional[@]} -gt "$most" ] ||
    { [ "$arch" != i686 ] && [ "$arch" != x86_64 ]; }; then
    echo "$usage" >&2
    exit 2
  fi
}
