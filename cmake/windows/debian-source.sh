# Sourced by the Windows dependency builders: fetches a Debian source package
# through apt with a private source list, so the machine's own apt
# configuration is left as it was.
#
#   fetch_debian_source WORK PACKAGE [VERSION]
#
# leaves the package's files (.dsc, .orig.tar.*, .debian.tar.*) in WORK.

fetch_debian_source() {
  local work=$1 package=$2 version=${3:-}
  mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial"
  # A deb-src line for the archive the machine already uses for its packages.
  local codename mirror
  codename=$(. /etc/os-release; echo "$VERSION_CODENAME")
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 2>/dev/null | grep -m1 -E '/debian/?$' || true)
  [ -n "$mirror" ] || mirror=http://deb.debian.org/debian/
  cat >"$work/apt/sources.list" <<SRC
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/}/ $codename main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/}/ $codename-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security/ $codename-security main
SRC
  local apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=-"
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache::Archives=$work/apt/archives"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root")
  echo "== fetching the source of $package ${version:-(newest)}"
  apt-get "${apt_private[@]}" -qq update
  (cd "$work" && apt-get "${apt_private[@]}" -qq --download-only source "$package${version:+=$version}")
}
