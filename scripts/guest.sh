# shellcheck shell=bash disable=SC2034,SC2154  # sets variables for its caller, reads source_dir, arch, me
# The ARM guests, build machine's side, sourced by scripts/guest-test and
# scripts/guest-power-cut (which set source_dir, arch and me): Debian's kernel,
# the base image (scripts/guest-base, cached in build/ARCH-guest/cache until
# the kernel's ABI, the lists below or guest-base change), our packages, a
# run's initramfs and the qemu command. Run as root. Settings (environment):
# GUEST_DIR (build/ARCH-guest), GUEST_JOBS (2), GUEST_CPUS (2), GUEST_MEMORY
# (MiB, 1024), GUEST_PACKAGES and GUEST_MODULES (more of each), GUEST_DEBS (a
# directory holding our packages already made; default: made now).

case "$arch" in
    # Debian's kernel flavour, qemu's machine and processor for it.
    armhf) triple=arm-linux-gnueabihf flavour=armmp qemu_system=qemu-system-arm machine=virt,highmem=off cpu=cortex-a15 ;;
    arm64) triple=aarch64-linux-gnu flavour=arm64 qemu_system=qemu-system-aarch64 machine=virt cpu=cortex-a57 ;;
    *) echo "usage: $me armhf|arm64 ..." >&2 && exit 2 ;;
esac
guest_dir=${GUEST_DIR:-$source_dir/build/$arch-guest}
cache_dir=$guest_dir/cache
jobs=${GUEST_JOBS:-2}
guest_cpus=${GUEST_CPUS:-2}
guest_memory=${GUEST_MEMORY:-1024}
# Besides Debian's essential set, what the suites call: dash as /bin/sh,
# busybox (udhcpc, the BusyBox userland), ip, route, unshare, nsenter, mount,
# dnsmasq, mkfs.ext4 and e2fsck, bindfs; kmod to load modules, dpkg and
# libc-bin to install ours.
guest_packages="dash busybox iproute2 net-tools util-linux mount dnsmasq-base e2fsprogs bindfs kmod dpkg libc-bin
    libstdc++6 ${GUEST_PACKAGES:-}"
# modprobe loads what they depend on; virtio_mmio and virtio_blk give the
# power-cut test its disk (/dev/vda), fuse serves bindfs.
guest_modules="veth bridge tun ifb loop ext4 virtio_mmio virtio_blk fuse ${GUEST_MODULES:-}"
project_packages=(libpelk-network-utils-core1 libpelk-host1 libpelk-network-utils-core-dev netlibctl)

fail_setup() { echo "$me: $*" >&2 && exit 2; }
require_tool() { command -v "$1" >/dev/null 2>&1 || fail_setup "$1 not found (install the Debian package $2)"; }
now() { echo "$EPOCHREALTIME"; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

require_guest_tools() {
    [ "$(id -u)" = 0 ] || fail_setup "run as root: the guest's base is installed in a user namespace of its own"
    require_tool "$qemu_system" qemu-system-arm
    require_tool "qemu-${triple%%-*}-static" qemu-user-static
    require_tool mmdebstrap mmdebstrap
    require_tool depmod kmod
    require_tool cpio cpio
    require_tool dpkg-buildpackage dpkg-dev
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
        fail_setup "dpkg does not know the $arch architecture: run scripts/install-deps $arch"
    [[ "$guest_cpus$guest_memory" != *[!0-9]* ]] || fail_setup "GUEST_CPUS and GUEST_MEMORY are numbers"
    mkdir -p "$cache_dir"
}

# as_userns COMMAND...: COMMAND as root of user, mount and PID namespaces of
# its own whose ids are this machine's, so that what it mounts (a
# binfmt_misc among them) is its own.
as_userns() {
    local fifo=$guest_dir/userns.fifo pid go status=0
    rm -f "$fifo" && mkfifo "$fifo"
    exec {go}<>"$fifo"
    # shellcheck disable=SC2016  # expanded by that sh
    unshare --user --mount --pid --fork --kill-child sh -c 'read -r _ <"$0" && exec "$@"' "$fifo" "$@" &
    pid=$!
    # The maps can be written once unshare has made the namespace (or ended).
    while [ "$(readlink "/proc/$pid/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do :; done
    { echo '0 0 4294967295' >"/proc/$pid/uid_map" && echo '0 0 4294967295' >"/proc/$pid/gid_map" &&
        echo >&"$go"; } || kill "$pid"
    wait "$pid" || status=$?
    exec {go}>&-
    rm -f "$fifo"
    return "$status"
}

# Sets base_cpio, vmlinuz, abi and kernel_version: the cached base image and
# kernel, fetched and made when missing.
guest_base() {
    local kernel_pkg kernel_deb suite key
    kernel_pkg=$(apt-cache depends "linux-image-$flavour:$arch" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
    [ -n "$kernel_pkg" ] || fail_setup "apt knows no linux-image-$flavour:$arch: run scripts/install-deps $arch"
    abi=${kernel_pkg#linux-image-} && abi=${abi%:*}
    kernel_version=$(apt-cache show --no-all-versions "$kernel_pkg" | sed -n 's/^Version: //p')
    kernel_deb=$cache_dir/linux-image-${abi}_${kernel_version//:/%3a}_$arch.deb
    if [ ! -f "$kernel_deb" ]; then
        rm -f "$cache_dir"/linux-image-*.deb
        (cd "$cache_dir" && apt-get download -q -o APT::Sandbox::User=root "$kernel_pkg=$kernel_version" >/dev/null) ||
            fail_setup "apt-get download $kernel_pkg failed"
    fi
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    key=$( (echo "$arch $suite $abi $guest_modules $guest_packages" && cat "$source_dir/scripts/guest-base") |
        sha256sum | cut -c1-16)
    base_cpio=$cache_dir/base-$key.cpio
    vmlinuz=$base_cpio.vmlinuz
    [ -f "$base_cpio" ] && [ -f "$vmlinuz" ] && return 0
    rm -f "$cache_dir"/base-*
    echo "$me: installing Debian $suite's $arch packages for the guest (mmdebstrap and dpkg, once)"
    # shellcheck disable=SC2086  # a list
    as_userns "$source_dir/scripts/guest-base" "$arch" "$suite" "$kernel_deb" "$base_cpio.tmp" "$guest_modules" \
        $guest_packages || fail_setup "the guest's base could not be made"
    mv "$base_cpio.tmp.vmlinuz" "$vmlinuz" && mv "$base_cpio.tmp" "$base_cpio"
}

# Sets project_debs: our four packages, made now (lintian included) unless
# GUEST_DEBS names where they are.
our_packages() {
    local dir=${GUEST_DEBS:-$source_dir/build/deb/$arch} p found
    [ -n "${GUEST_DEBS:-}" ] || DEB_JOBS=$jobs "$source_dir/scripts/build-debs" "$arch" ||
        { echo "$me: the $arch packages were not made, or lintian found errors or warnings" >&2 && exit 1; }
    project_debs=()
    for p in "${project_packages[@]}"; do
        found=("$dir/${p}"_*_"$arch".deb)
        [ -f "${found[0]}" ] || fail_setup "no $arch package $p in $dir"
        project_debs+=("${found[0]}")
    done
}

# Sets run_root: this run's part of the initramfs, with the guest's /init,
# the guest scripts and our packages in /guest.
new_run_root() {
    run_root=$guest_dir/run-root
    rm -rf "$run_root" && mkdir -p "$run_root/guest/debs"
    cp "${project_debs[@]}" "$run_root/guest/debs/"
    cp "$source_dir/scripts/guest/init" "$run_root/init"
    cp "$source_dir"/scripts/guest/{install-packages,run-suites,power-cut} "$run_root/guest/"
}

# make_initramfs FILE: sets initramfs: the base, then the run root, two cpio
# archives one after the other, as the kernel accepts them; the run root goes.
make_initramfs() {
    initramfs=$1
    cp "$base_cpio" "$initramfs"
    (cd "$run_root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >>"$initramfs"
    rm -rf "$run_root"
}

# qemu_command [KERNEL ARGUMENT]... [-- QEMU OPTION...]: sets qemu, the
# command that boots the guest, its serial console on stdout (lines end in
# CR LF), kernel messages above loglevel 1 kept off the console.
qemu_command() {
    local append="console=ttyAMA0 panic=-1 loglevel=1 rdinit=/init"
    while [ $# -gt 0 ] && [ "$1" != -- ]; do append="$append $1" && shift; done
    [ $# -eq 0 ] || shift
    qemu=("$qemu_system" -M "$machine" -cpu "$cpu" -smp "$guest_cpus" -m "$guest_memory" -nic none -no-reboot
        -display none -monitor none -serial stdio -kernel "$vmlinuz" -initrd "$initramfs" -append "$append" "$@")
}
