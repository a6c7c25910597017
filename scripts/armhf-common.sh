# shellcheck shell=bash disable=SC2034,SC2154  # sets variables for its caller, reads source_dir and me
# The ARM guest, build machine's side: sourced by scripts/armhf-test (every
# suite) and scripts/armhf-power-cut (the resolver file across power cuts),
# which set source_dir and me (their name, for messages) first. Fetches
# Debian's armmp kernel and the guest's armhf packages, makes the guest's
# base image (those packages as an installed system, with dpkg's database,
# and the kernel modules), our four packages (scripts/build-debs armhf), a
# run's initramfs (the base, then a run root holding /init, the guest scripts
# and our packages) and the qemu-system-arm command that boots it.
#
# Packages come from this machine's apt sources with apt-get download (the
# armhf architecture must be known to dpkg: scripts/install-deps armhf);
# nothing is installed. They, the kernel and the guest's base image are kept
# in build/armhf-guest/cache, so later runs fetch nothing.
#
# Settings (environment), shared by both scripts:
#   ARMHF_GUEST_DIR          cache, initramfs and console logs (default build/armhf-guest)
#   ARMHF_JOBS               build jobs (default 2)
#   ARMHF_GUEST_CPUS         guest processors (default 2)
#   ARMHF_GUEST_MEMORY       guest memory in MiB (default 1024)
#   ARMHF_GUEST_MODULES      more kernel modules to load, space-separated
#   ARMHF_GUEST_PACKAGES     more Debian armhf packages for the guest
#   ARMHF_DEBS               a directory holding our four armhf packages already
#                            made (default: made now, scripts/build-debs armhf)

armhf_common=${BASH_SOURCE[0]}
guest_dir=${ARMHF_GUEST_DIR:-$source_dir/build/armhf-guest}
cache_dir=$guest_dir/cache
jobs=${ARMHF_JOBS:-2}
guest_cpus=${ARMHF_GUEST_CPUS:-2}
guest_memory=${ARMHF_GUEST_MEMORY:-1024}
triple=arm-linux-gnueabihf

# What the guest is made of. The programs the suites call: dash as /bin/sh
# (busybox's shell would run its own applets ahead of PATH), busybox for
# the small commands, ip, route, unshare, nsenter, mount, losetup, dnsmasq,
# mkfs.ext4 and e2fsck, bindfs; dpkg to install our packages, libc-bin for
# its ldconfig trigger; apt adds the libraries they need.
guest_packages=(libc6 libgcc-s1 libstdc++6 dash busybox iproute2 net-tools util-linux mount dnsmasq-base
    e2fsprogs bindfs dpkg libc-bin)
read -r -a more <<<"${ARMHF_GUEST_PACKAGES:-}"
guest_packages+=(${more[@]+"${more[@]}"})
# Kernel modules, loaded with what they depend on. ext4 and jbd2 ask the
# crypto API for crc32c at mount time, which would need modprobe:
# crc32c_generic is loaded up front instead. virtio_mmio and virtio_blk give
# the power-cut test its disk (/dev/vda); fuse serves bindfs.
guest_modules=(veth bridge tun ifb loop ext4 crc32c_generic virtio_mmio virtio_blk fuse)
read -r -a more <<<"${ARMHF_GUEST_MODULES:-}"
guest_modules+=(${more[@]+"${more[@]}"})
# Our packages, as debian/control names them.
project_packages=(libpelk-network-utils-core1 libpelk-host1 libpelk-network-utils-core-dev netlibctl)

fail_setup() {
    echo "$me: $*" >&2
    exit 2
}

require_tool() {
    command -v "$1" >/dev/null 2>&1 || fail_setup "$1 not found (install the Debian package $2)"
}

now() { echo "$EPOCHREALTIME"; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# What every guest needs on this machine.
require_guest_tools() {
    require_tool $triple-objcopy crossbuild-essential-armhf
    require_tool qemu-system-arm qemu-system-arm
    require_tool cpio cpio
    require_tool dpkg-buildpackage dpkg-dev
    dpkg --print-foreign-architectures | grep -qx armhf ||
        fail_setup "dpkg does not know the armhf architecture: run scripts/install-deps armhf"
    case "$guest_cpus$guest_memory" in
        *[!0-9]*) fail_setup "ARMHF_GUEST_CPUS and ARMHF_GUEST_MEMORY are numbers" ;;
    esac
    mkdir -p "$cache_dir/debs"
}

# pkg:arch=version -> the file name apt-get download gives it.
deb_file() {
    local pkg=$1 name arch version
    name=${pkg%%:*}
    arch=${pkg#*:}
    arch=${arch%%=*}
    version=${pkg#*=}
    echo "${name}_${version//:/%3a}_$arch.deb"
}

# Sets abi, kernel_version, kernel_pkg and closure (the guest's packages,
# pkg:arch=version) and fetches what the cache lacks.
fetch_guest_packages() {
    local simulation pkg f wanted=() sandbox=()
    # The kernel: the image package linux-image-armmp depends on, whose name
    # carries the ABI (the modules' directory, uname -r).
    read -r abi kernel_version < <(apt-cache show --no-all-versions linux-image-armmp:armhf 2>/dev/null |
        sed -n 's/^Depends:.*linux-image-\([^ ,]*\) (= \([^)]*\)).*/\1 \2/p' | head -n 1) || true
    [ -n "${kernel_version:-}" ] ||
        fail_setup "apt knows no linux-image-armmp:armhf: run scripts/install-deps armhf (armhf package lists)"
    kernel_pkg=linux-image-$abi:armhf=$kernel_version

    # apt's own resolver, on an empty system of the guest's architecture,
    # gives the packages with everything they depend on.
    : >"$cache_dir/empty-status"
    simulation=$(apt-get -s -q -o Dir::State::status="$cache_dir/empty-status" -o APT::Architecture=armhf \
        -o APT::Install-Recommends=false install "${guest_packages[@]/%/:armhf}" 2>&1) ||
        fail_setup "apt cannot resolve the guest's packages (${guest_packages[*]}):"$'\n'"$simulation"
    closure=()
    while read -r pkg; do
        closure+=("$pkg")
    done < <(sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([a-z0-9]*\)\]).*/\1:\3=\2/p' <<<"$simulation")
    [ ${#closure[@]} -gt 0 ] || fail_setup "apt resolved no package for the guest"

    for pkg in "$kernel_pkg" "${closure[@]}"; do
        [ -f "$cache_dir/debs/$(deb_file "$pkg")" ] || wanted+=("$pkg")
    done
    [ ${#wanted[@]} -gt 0 ] || return 0
    echo "$me: fetching ${#wanted[@]} Debian armhf packages into $cache_dir/debs"
    [ "$(id -u)" != 0 ] || sandbox=(-o APT::Sandbox::User=root)
    (cd "$cache_dir/debs" && apt-get download -q "${sandbox[@]}" "${wanted[@]}" >/dev/null) ||
        fail_setup "apt-get download failed"
    for pkg in "${wanted[@]}"; do
        [ -f "$cache_dir/debs/$(deb_file "$pkg")" ] || fail_setup "apt-get download gave no $(deb_file "$pkg")"
    done
    # Versions no longer wanted (an update replaced them) go.
    declare -A keep=()
    for pkg in "$kernel_pkg" "${closure[@]}"; do
        keep[$(deb_file "$pkg")]=1
    done
    for f in "$cache_dir"/debs/*.deb; do
        [ -n "${keep[${f##*/}]:-}" ] || rm -f "$f"
    done
}

# Sets project_debs: our four armhf packages, made now (lintian included)
# unless ARMHF_DEBS names where they are.
our_packages() {
    local dir=${ARMHF_DEBS:-$source_dir/build/deb/armhf} p found
    if [ -z "${ARMHF_DEBS:-}" ] && ! DEB_JOBS=$jobs "$source_dir/scripts/build-debs" armhf; then
        echo "$me: the armhf packages were not made, or lintian found errors or warnings" >&2
        exit 1
    fi
    project_debs=()
    for p in "${project_packages[@]}"; do
        found=("$dir/${p}"_*_armhf.deb)
        [ -f "${found[0]}" ] || fail_setup "no armhf package $p in $dir"
        project_debs+=("${found[0]}")
    done
}

# dpkg's database for the Debian packages of the base, as dpkg leaves it once
# they are installed: their control fields with an installed status, their
# file lists, their control files (maintainer scripts, triggers) and the
# trigger interests (libc-bin's in ldconfig). dpkg -i in the guest checks our
# packages' dependencies against it and runs the triggers they activate.
write_dpkg_database() {
    local admin=$1/var/lib/dpkg control=$guest_dir/control pkg deb name member directive trigger await
    mkdir -p "$admin"/{info,triggers,updates,alternatives}
    : >"$admin/status"
    : >"$admin/available"
    : >"$admin/triggers/Unincorp"
    for pkg in "${closure[@]}"; do
        deb=$cache_dir/debs/$(deb_file "$pkg")
        # dpkg names a Multi-Arch: same package's files by name:arch.
        name=${pkg%%=*}
        dpkg-deb -f "$deb" Multi-Arch | grep -qx same || name=${name%%:*}
        { dpkg-deb -f "$deb" | sed '/^Package:/a Status: install ok installed' && echo; } >>"$admin/status"
        dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||; s|^$|/.|' >"$admin/info/$name.list"
        rm -rf "$control"
        dpkg-deb -e "$deb" "$control"
        for member in "$control"/*; do
            [ "${member##*/}" = control ] || cp -p "$member" "$admin/info/$name.${member##*/}"
        done
        [ -f "$control/triggers" ] || continue
        while read -r directive trigger _; do
            case "$directive" in
                interest | interest-await) await= ;;
                interest-noawait) await=/noawait ;;
                *) continue ;;
            esac
            case "$trigger" in
                /*) echo "$trigger $name$await" >>"$admin/triggers/File" ;;
                *) echo "$name$await" >>"$admin/triggers/$trigger" ;;
            esac
        done <"$control/triggers"
    done
    rm -rf "$control"
}

# Reads a field (depends=, ...) of a kernel module's .modinfo section.
modinfo_field() {
    $triple-objcopy -O binary -j .modinfo "$1" "$guest_dir/modinfo.tmp"
    tr '\0' '\n' <"$guest_dir/modinfo.tmp" | sed -n "s/^$2=//p"
}

build_base() {
    local root=$guest_dir/base-root kernel=$guest_dir/kernel-root pkg d
    rm -rf "$root" "$kernel"
    mkdir -p "$root" "$kernel"
    for pkg in "${closure[@]}"; do
        dpkg-deb -x "$cache_dir/debs/$(deb_file "$pkg")" "$root"
    done
    # Merged /usr, as on an installed Debian system: /bin, /sbin and /lib
    # are links into /usr (a device root that binds /usr sees them all).
    for d in bin sbin lib; do
        if [ -d "$root/$d" ] && [ ! -L "$root/$d" ]; then
            mkdir -p "$root/usr/$d"
            cp -a "$root/$d/." "$root/usr/$d/"
            rm -rf "${root:?}/$d"
        fi
        ln -s "usr/$d" "$root/$d"
    done
    rm -rf "$root"/usr/share/{doc,man,info,locale,lintian,bash-completion,zsh} "$root/usr/lib/$triple/gconv"
    mkdir -p "$root"/{proc,sys,dev,tmp,run,mnt,root,var/tmp}
    chmod 1777 "$root/tmp" "$root/var/tmp"
    chmod 0700 "$root/root"
    printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n' \
        >"$root/etc/passwd"
    printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
    printf '127.0.0.1\tlocalhost\n127.0.1.1\tarmhf-guest\n' >"$root/etc/hosts"
    write_dpkg_database "$root"

    dpkg-deb -x "$cache_dir/debs/$(deb_file "$kernel_pkg")" "$kernel"
    cp "$kernel/boot/vmlinuz-$abi" "$vmlinuz.tmp"
    local modules=$kernel/lib/modules/$abi
    declare -A path_of=() done_=()
    local f n order=()
    while read -r f; do
        n=${f##*/}
        n=${n%.ko}
        path_of[${n//-/_}]=$f
    done < <(cd "$modules" && find kernel -name '*.ko')
    # Depth first: a module's dependencies are loaded before it.
    add_module() {
        local name=${1//-/_} dep
        [ -z "${done_[$name]:-}" ] || return 0
        done_[$name]=1
        if [ -z "${path_of[$name]:-}" ]; then
            grep -q "/$name\.ko\$" "$modules/modules.builtin" && return 0
            fail_setup "kernel $abi has no module $name"
        fi
        for dep in $(modinfo_field "$modules/${path_of[$name]}" depends | tr ',' ' '); do
            add_module "$dep"
        done
        order+=("${path_of[$name]}")
    }
    for n in "${guest_modules[@]}"; do
        add_module "$n"
    done
    mkdir -p "$root/lib/modules/$abi"
    for f in "${order[@]}"; do
        mkdir -p "$root/lib/modules/$abi/${f%/*}"
        cp "$modules/$f" "$root/lib/modules/$abi/$f"
    done
    printf '%s\n' "${order[@]}" >"$root/lib/modules/$abi/load-order"

    rm -f "$cache_dir"/base-*.cpio
    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$base_cpio.tmp"
    mv "$base_cpio.tmp" "$base_cpio"
    mv "$vmlinuz.tmp" "$vmlinuz"
    rm -rf "$root" "$kernel" "$guest_dir/modinfo.tmp"
    echo "$me: guest base built: ${#closure[@]} Debian packages, modules: ${order[*]##*/}"
}

# Sets base_cpio and vmlinuz: the cached base image (Debian packages, kernel
# modules) and kernel, made when missing.
guest_base() {
    local key
    key=$( (printf '%s\n' "$kernel_pkg" "${closure[@]}" "${guest_modules[@]}" && cat "$armhf_common") |
        sha256sum | cut -c1-16)
    base_cpio=$cache_dir/base-$key.cpio
    vmlinuz=$cache_dir/vmlinuz-$abi
    if [ ! -f "$base_cpio" ] || [ ! -f "$vmlinuz" ]; then
        build_base
    fi
}

# Sets run_root: a new directory for this run's part of the initramfs, with
# the guest's /init, the guest scripts and our packages in /armhf-guest.
new_run_root() {
    local dir=$source_dir/scripts/armhf-guest
    run_root=$guest_dir/run-root
    rm -rf "$run_root"
    mkdir -p "$run_root/armhf-guest/debs"
    cp "${project_debs[@]}" "$run_root/armhf-guest/debs/"
    cp "$dir/init" "$run_root/init"
    cp "$dir/install-packages" "$dir/run-suites" "$dir/power-cut" "$run_root/armhf-guest/"
}

# make_initramfs [FILE]: sets initramfs (FILE, default
# build/armhf-guest/initramfs.cpio): the base, then the run root, two cpio
# archives one after the other, as the kernel accepts them; the run root goes.
make_initramfs() {
    initramfs=${1:-$guest_dir/initramfs.cpio}
    cp "$base_cpio" "$initramfs"
    (cd "$run_root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >>"$initramfs"
    rm -rf "$run_root"
}

# qemu_command [KERNEL ARGUMENT]... [-- QEMU OPTION...]: sets qemu, the
# command that boots the guest, its serial console on stdout (lines end in
# CR LF), kernel messages above loglevel 1 kept off the console.
qemu_command() {
    local append="console=ttyAMA0 panic=-1 loglevel=1 rdinit=/init"
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        append="$append $1"
        shift
    done
    [ $# -eq 0 ] || shift
    # shellcheck disable=SC2054  # the commas are qemu's
    qemu=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp "$guest_cpus" -m "$guest_memory" -nic none
        -no-reboot -display none -monitor none -serial stdio -kernel "$vmlinuz" -initrd "$initramfs"
        -append "$append" "$@")
}
