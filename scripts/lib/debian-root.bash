# Sourced by scripts/package and scripts/fresh-test: a fresh Debian 12 root to try things in, as root.
#   make_root <root> <mirror> <log>  a minimal bookworm root made anew (anything mounted in an old one is
#                                    unmounted first); debootstrap's result is kept for a day in
#                                    build-roots/ (CORVANE_ROOT_CACHE), so lanes of one run share it
#   mount_root / unmount_root        /proc and /dev inside it; unmount_root also runs on exit
#   in_root <command>...             runs a command in it with a clean environment; apt_in_root: apt-get
# Sets root (absolute).

root=
root_cache=$(realpath -m "${CORVANE_ROOT_CACHE:-build-roots}")

unmount_root() {
  [[ -n "$root" ]] || return 0
  local target
  findmnt --list --noheadings --output TARGET | { grep -F "$root/" || true; } | sort -r | while read -r target; do
    umount "$target" || umount --lazy "$target"
  done
}
trap unmount_root EXIT

make_root() {
  root=$(realpath -m "$1")
  local mirror=$2 log=$3 tarball="$root_cache/bookworm-minbase.tar"
  unmount_root
  rm -rf --one-file-system "$root"
  if [[ -z $(find "$tarball" -mmin -1440 2>/dev/null) ]]; then
    echo "debootstrap bookworm (minbase) from $mirror"
    mkdir -p "$root_cache"
    rm -rf --one-file-system "$root_cache/root"
    debootstrap --variant=minbase bookworm "$root_cache/root" "$mirror" >"$log" 2>&1 \
      || { tail -n 30 "$log"; return 1; }
    tar -C "$root_cache/root" -cf "$tarball.new" . && mv "$tarball.new" "$tarball"
    rm -rf --one-file-system "$root_cache/root"
  fi
  mkdir -p "$root"
  tar -C "$root" -xf "$tarball"
  echo 'force-unsafe-io' >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"  # a throwaway root needs no fsync
  echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/99no-translations"
}

mount_root() {
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
}

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

apt_in_root() { in_root apt-get -q -y -o Dpkg::Use-Pty=0 "$@"; }
