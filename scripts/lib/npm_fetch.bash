# Fetches pinned npm tarballs into a cache outside the source tree. Source it; it only defines things.
#
# The cache folder is $KS_CACHE_DIR, else $XDG_CACHE_HOME/ks_netclient, else ~/.cache/ks_netclient. Nothing
# fetched here is ever committed.

ks_cache_dir=${KS_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ks_netclient}

# npm_fetch PACKAGE@VERSION SHA256: prints the path of the package's tarball in the cache, fetching it with
# `npm pack` (never `npm install`: install scripts would run) when it is not there yet. Fails when the
# tarball's sha256 is not the pinned one, and then removes it.
npm_fetch() {
  local package=$1 sha=$2
  local tarballs="$ks_cache_dir/tarballs"
  local name=${package#@}
  name=${name//\//-}
  name=${name/@/-}
  local tarball="$tarballs/$name.tgz"
  mkdir -p "$tarballs"
  if [ ! -f "$tarball" ]; then
    local scratch
    scratch=$(mktemp -d "$tarballs/.fetch.XXXXXX")
    if ! (cd "$scratch" && npm pack --silent "$package" >/dev/null 2>npm.err); then
      echo "npm pack $package failed: $(grep -m 3 'ERR!' "$scratch/npm.err" | paste -sd ' ' -)" >&2
      rm -rf "$scratch"
      return 1
    fi
    mv "$scratch"/*.tgz "$tarball.partial"
    rm -rf "$scratch"
    mv "$tarball.partial" "$tarball"
  fi
  if ! echo "$sha  $tarball" | sha256sum --check --status; then
    echo "$tarball: sha256 is not the pinned $sha; removed" >&2
    rm -f "$tarball"
    return 1
  fi
  echo "$tarball"
}

# npm_unpack TARBALL DEST MEMBER...: unpacks the members (paths inside the tarball, globs allowed) into DEST,
# replacing what DEST held, through a scratch folder so an interrupted run leaves no half-filled DEST.
npm_unpack() {
  local tarball=$1 dest=$2
  shift 2
  local scratch
  scratch=$(mktemp -d "$(dirname "$dest")/.unpack.XXXXXX")
  tar --no-same-owner -xzf "$tarball" -C "$scratch" --wildcards "$@"
  rm -rf "$dest"
  mv "$scratch" "$dest"
}
