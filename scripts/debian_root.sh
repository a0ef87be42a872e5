# shellcheck shell=bash
# Sourced by the scripts beside it: Debian roots made with debootstrap, in which a wheel is tested
# on the system it is meant for (an older glibc, or another architecture run through
# qemu-user-static). Each root is kept under build/roots and reused by the next run; it is marked
# complete only once everything it needs is in it, so an interrupted run starts it again.

# The host's packages that making and entering the roots needs.
zel_root_host_packages() {
  local packages=(debootstrap qemu-user-static binfmt-support) missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  apt-get update -q >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
}

# Lets the kernel run foreign binaries through qemu: binfmt_misc mounted and qemu's entries
# enabled. The entries Debian installs carry the F flag, so the emulator is found from inside a
# chroot too, without a copy of it in the root.
zel_enable_binfmt() {
  if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    mount binfmt_misc -t binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  update-binfmts --enable "qemu-$1" 2>/dev/null || true
  [[ -e /proc/sys/fs/binfmt_misc/qemu-$1 ]] || {
    echo "debian_root: the kernel cannot run $1 programs through qemu" >&2
    return 1
  }
}

# Unmounts everything mounted below the folder `dir`, deepest first: what an interrupted run
# left behind. A root is never removed while /dev or the source tree is mounted inside it.
zel_unmount_below() {
  local dir point
  dir=$(realpath "$1")
  awk '{print $5}' /proc/self/mountinfo | { grep "^$dir/" || true; } | sort -r |
    while read -r point; do
      umount -R "$point" 2>/dev/null || umount -l "$point"
    done
}

# Runs a command inside `root` with /proc, /dev and /sys mounted, the host's name service and
# certificates (so that pip there reaches the package index as the host does), a clean
# environment, and the folders named by ZEL_ROOT_BINDS ("host:inside" pairs) bound read-only.
zel_in_root() {
  local root=$1 status=0 mounted=() bind host inside
  shift
  zel_unmount_below "$root"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  if [[ -f /etc/ssl/certs/ca-certificates.crt ]]; then
    mkdir -p "$root/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/host-ca-certificates.crt"
  fi
  for bind in proc:/proc sysfs:/sys /dev:/dev ${ZEL_ROOT_BINDS:-}; do
    host=${bind%%:*} inside=${bind#*:}
    mkdir -p "$root$inside"
    case $host in
      proc | sysfs) mount -t "$host" "$host" "$root$inside" ;;
      /dev) mount --rbind /dev "$root$inside" && mount --make-rslave "$root$inside" ;;
      *) mount --bind "$host" "$root$inside" && mount -o remount,bind,ro "$root$inside" ;;
    esac || { status=1; break; }
    mounted=("$root$inside" "${mounted[@]}")
  done
  if ((status == 0)); then
    env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
      PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
      PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" \
      chroot "$root" "$@" || status=$?
  fi
  for inside in "${mounted[@]}"; do
    umount -R "$inside" 2>/dev/null || umount -l "$inside"
  done
  return "$status"
}

# Readies the making of the root at `root` for Debian architecture `arch`: qemu registered for
# a foreign one, and whatever an interrupted making left there removed (unless it completed).
zel_prepare_root() {
  local root=$1 arch=$2
  if [[ $arch != "$(dpkg --print-architecture)" ]]; then
    zel_enable_binfmt "$(zel_qemu_arch "$arch")" || return
  fi
  [[ ! -e $root/.complete ]] || return 0
  if [[ -e $root ]]; then
    zel_unmount_below "$root"
    rm -rf --one-file-system "$root"
  fi
  mkdir -p build/roots
}

# Makes (once) build/roots/<suite>-<arch>: a minimal Debian `suite` for `arch` with Python and
# venv, and in /venv a virtual environment with an up-to-date pip. Prints the root's folder.
zel_debian_root() {
  local suite=$1 arch=$2 root=$PWD/build/roots/$1-$2
  zel_prepare_root "$root" "$arch" || return
  if [[ ! -e $root/.complete ]]; then
    debootstrap --arch="$arch" --variant=minbase --include=python3,python3-venv,ca-certificates \
      "$suite" "$root" >"$root.log" 2>&1 || {
      tail -n 20 "$root.log" >&2
      echo "debian_root: debootstrap of $suite for $arch failed; see $root.log" >&2
      return 1
    }
    zel_in_root "$root" sh -c 'python3 -m venv /venv && /venv/bin/python -m pip install -q --upgrade pip' >>"$root.log" 2>&1 || {
      tail -n 20 "$root.log" >&2
      return 1
    }
    touch "$root/.complete"
  fi
  echo "$root"
}

# Makes (once) build/roots/<suite>-<arch>-small: Debian `suite`'s python3 for `arch` and what it
# needs, its C library included, and nothing configured, so that nothing runs through qemu while
# it is made. debootstrap's first stage fetches the packages, checks them against the release's
# signed index and unpacks the essential ones; the others (python3 and its libraries) are
# unpacked here as they are. Enough for that release's interpreter to run a wheel's files, put
# on its path; there is no pip or venv. Prints the root's folder.
zel_small_root() {
  local suite=$1 arch=$2 root=$PWD/build/roots/$1-$2-small deb
  zel_prepare_root "$root" "$arch" || return
  if [[ ! -e $root/.complete ]]; then
    debootstrap --foreign --arch="$arch" --variant=minbase --include=python3 \
      "$suite" "$root" >"$root.log" 2>&1 || {
      tail -n 20 "$root.log" >&2
      echo "debian_root: debootstrap of $suite for $arch failed; see $root.log" >&2
      return 1
    }
    # The root's /bin, /lib and /sbin are links into /usr: the packages' files go through them.
    for deb in "$root"/var/cache/apt/archives/*.deb; do
      dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root" || return
    done
    touch "$root/.complete"
  fi
  echo "$root"
}

# qemu's name of a Debian architecture.
zel_qemu_arch() {
  case $1 in
    arm64) echo aarch64 ;;
    amd64) echo x86_64 ;;
    *) echo "$1" ;;
  esac
}
