#!/usr/bin/env bash
# One start of the board as a virtual machine of the switch (QEMU's ppce500 machine), run by
# `bmsim boot DIR --machine qemu` with the console's pseudo-terminal as standard input and output.
#
#   start.sh BOARD MACHINE_DIR
#
# MACHINE_DIR holds vmlinux and initramfs.cpio (scripts/build-initramfs.sh). The board's
# partitions and EEPROM are the machine's disks and EEPROM file themselves; /user goes in as a
# jffs2 image kept with the board (made again from BOARD/user only when that changed) and comes
# back unpacked when the machine wrote to it; the device at 0x20 and the board log come back
# through the "bmsim" disk. Exits with the program's exit status, 125 when the machine did not
# come back with one.
set -uo pipefail
board=$1
machine=$2
# The machine's disks are made in the board, so that a run stopped at its time-out (this script
# is killed) leaves them for the next start to clear, not in /tmp.
work=$board/machine-work
rm -rf "$work"
mkdir -p "$work"
helpers=()
trap 'kill "${helpers[@]}" 2>/dev/null; rm -rf "$work"' EXIT
notes=$board/machine.log   # the machine's own messages, kept off the switch's console
: >"$notes"
note() { echo "$*" >>"$notes"; }

# --- the jffs2 of /user: room for twice its content and at least 16 MiB, whole erase blocks. The
# image stays with the board, with a key of what BOARD/user held when it matched; a start made
# from anything else (a file changed on the host, a run that did not save its state) makes it
# afresh.
kept=$board/machine-kept   # what a start makes that the next one can use again
mkdir -p "$kept"
user_image=$kept/user.jffs2
user_key() { find "$board/user" -printf '%P %y %m %s %T@ %l\n' | LC_ALL=C sort | sha256sum | cut -c1-32; }
key=$(user_key)
if [ ! -f "$user_image" ] || [ "$(cat "$kept/user.key" 2>/dev/null)" != "$key" ]; then
  user_bytes=$(du -sb "$board/user" | cut -f1)
  user_size=$(( (user_bytes * 2 + 16 * 1048576 + 65535) / 65536 * 65536 ))
  mkfs.jffs2 --big-endian --squash --eraseblock=65536 --pad="$user_size" -d "$board/user" -o "$user_image" \
    2>>"$notes" || { note "mkfs.jffs2 failed"; exit 125; }
fi
rm -f "$kept/user.key"
user_size=$(stat -c %s "$user_image")

# --- bmsim's settings going in, as /sim: the partitions with their erase sizes, the device at
# 0x20, the stick's delay. They go after the initramfs as an archive of their own, padded to a
# fixed size so that the machine's device tree, which says where the initramfs ends, stays the
# same from start to start.
mkdir -p "$work/in/sim"
drives=()
add_disk() {  # serial file
  drives+=(-drive "if=none,id=$1,file=$2,format=raw" -device "virtio-blk-pci,drive=$1,serial=$1")
}
for file in "$board"/mtd/*.bin; do
  name=$(basename "$file" .bin)
  erasesize=65536
  [ -f "$board/mtd/$name.erasesize" ] && erasesize=$(cat "$board/mtd/$name.erasesize")
  echo "$name $erasesize" >>"$work/in/sim/partitions"
  add_disk "$name" "$file"
done
echo "user 65536" >>"$work/in/sim/partitions"
add_disk user "$user_image"
od -An -v -tu1 -w1 "$board/i2c1-0x20.bin" | awk '$1 != 0 { printf "0x%02x 0x%02x\n", NR - 1, $1 }' >"$work/in/sim/i2c1-0x20.set"
[ -e "$board/rx.fail" ] && : >"$work/in/sim/rx.fail"
[ -f "$board/tmp-size" ] && cp "$board/tmp-size" "$work/in/sim/"
[ -d "$board/keys" ] && cp -r "$board/keys" "$work/in/sim/keys"

# --- QEMU's monitor, on the pipes monitor.in and monitor.out: what it answers goes to the notes.
# The stick is plugged through it; a test that fails asks it for the machine's state.
mkfifo "$work/monitor.in" "$work/monitor.out"
cat <"$work/monitor.out" >>"$notes" &
helpers+=($!)
monitor() { echo "$*" 1<>"$work/monitor.in"; }

# --- the USB stick: a FAT disk made from BOARD/usb on the OHCI controller. With a readiness delay
# of 0 it is there from power-on. Otherwise it is plugged in while the program runs: init says on
# the machine's second UART when the delay has passed since the program started, the stick goes
# in then through QEMU's monitor, and the switch's hot-plug mounts it and marks it ready in
# /tmp/usb once the kernel has found it.
if [ -f "$board/usb.inserted" ]; then
  mkdir -p "$board/usb"
  stick_kib=$(( ($(du -sb "$board/usb" | cut -f1) * 5 / 4 + 8 * 1048576) / 1024 ))
  mkfs.vfat -C "$work/usb.img" "$stick_kib" >>"$notes" 2>&1 || { note "mkfs.vfat failed"; exit 125; }
  if [ -n "$(ls -A "$board/usb")" ]; then
    mcopy -s -i "$work/usb.img" "$board/usb"/* ::/ 2>>"$notes" || { note "mcopy failed"; exit 125; }
  fi
  delay=$(cat "$board/usb.inserted")
  echo "${delay:-0}" >"$work/in/sim/usb-ready-after"
  drives+=(-device "pci-ohci,id=usb" -drive "if=none,id=stick,file=$work/usb.img,format=raw")
  stick="usb-storage,bus=usb.0,drive=stick,id=stick"
  if [[ ${delay:-0} =~ ^0*\.?0*$ ]]; then
    drives+=(-device "$stick")
  else
    mkfifo "$work/plug.in" "$work/plug.out"
    : >"$work/in/sim/usb-plug"
    drives+=(-chardev "pipe,id=plug,path=$work/plug" -serial chardev:plug)
    {
      read -r _ <"$work/plug.out" || exit 0
      note "the stick is plugged in"
      monitor "device_add $stick"
    } >/dev/null 2>&1 </dev/null &
    helpers+=($!)
  fi
fi
(cd "$work/in" && find sim | cpio --quiet -o -H newc -R 0:0 | gzip -1) >"$work/settings.cpio.gz"
[ "$(stat -c %s "$work/settings.cpio.gz")" -le 65536 ] || { note "the settings do not fit in 64 KiB"; exit 125; }
truncate -s 65536 "$work/settings.cpio.gz"   # the kernel skips the zeros after an archive
cat "$machine/initramfs.cpio" "$work/settings.cpio.gz" >"$work/initramfs"
# the bmsim disk: the saved state coming out
truncate -s $((user_size + 8 * 1048576)) "$work/bmsim.img"
add_disk bmsim "$work/bmsim.img"

# --- the machine; it dies with this script. Its UART already ends lines with CR LF: the console's
# pseudo-terminal must not add another CR (QEMU keeps output processing on for standard output).
qemu=(qemu-system-ppc -M ppce500 -cpu e500mc -m 512 -nic none -no-reboot -display none -monitor none
      -kernel "$machine/vmlinux" -initrd "$work/initramfs")
command_line="console=ttyS0 loglevel=0 panic=1 i2c_stub.chip_addr=0x20 usb-storage.delay_use=0"
serials=(-serial null)
[ -e "$work/plug.in" ] && serials+=(-serial null)

# --- the device tree: QEMU's own, but with the UART a 16550A, as the switch's is. QEMU names it a
# plain ns16550, which the kernel drives without its FIFOs: an interrupt and a host write per
# byte. QEMU makes the tree for the kernel, the initramfs, the command line and the UARTs it is
# given (it holds where the initramfs lies), so it is made again when one of them changed, and
# kept with the board.
dtb=$kept/switch.dtb
dtb_key=$( { printf '%s\n' "${qemu[@]}" "$command_line" "${serials[@]}"
             stat -L -c '%s %Y' "$machine/vmlinux" "$machine/initramfs.cpio"; } | sha256sum | cut -c1-32)
if [ ! -f "$dtb" ] || [ "$(cat "$kept/switch.dtb.key" 2>/dev/null)" != "$dtb_key" ]; then
  rm -f "$kept/switch.dtb.key"
  { "${qemu[@]}" -append "$command_line" "${serials[@]}" -machine dumpdtb="$work/qemu.dtb" </dev/null &&
    dtc -q -I dtb -O dts "$work/qemu.dtb" | sed 's/compatible = "ns16550"/compatible = "ns16550a"/' |
    dtc -q -I dts -O dtb -o "$dtb" - && echo "$dtb_key" >"$kept/switch.dtb.key"
  } >>"$notes" 2>&1 || { note "the device tree could not be made"; exit 125; }
fi

# The main-loop wake-up (the "tick" chardev): QEMU 7.2's at24c-eeprom writes its whole backing
# file at the end of each I2C write, synchronously, from the thread that runs the guest CPU. That
# thread also swallows the notification meant for the main loop about the guest timer it has just
# armed, so on a loaded host the main loop can sleep in ppoll with no time limit, and the guest,
# idle in a pause of the program, gets no timer interrupt until something else wakes the loop (a
# console byte). A client socket that retries a listener that never exists once a second wakes the
# loop at least that often, and the timer is serviced then. It shows nothing on the console; QEMU
# notes its failed connection in machine.log.
stty -onlcr 2>/dev/null
setpriv --pdeathsig KILL -- "${qemu[@]}" -dtb "$dtb" \
  -chardev stdio,id=console,signal=off -serial chardev:console \
  -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline \
  -chardev "socket,id=tick,path=$work/no-listener,reconnect=1" \
  -drive "if=none,id=eeprom,file=$board/eeprom.bin,format=raw" \
  -device at24c-eeprom,address=0x54,rom-size=65536,drive=eeprom \
  "${drives[@]}" 2>>"$notes"
note "qemu-system-ppc ended with status $?"

# --- the state coming back
mkdir -p "$work/out"
tar -xf "$work/bmsim.img" -C "$work/out" 2>>"$notes"
[ -f "$work/out/status" ] || { note "the machine did not save its state"; exit 125; }
cat "$work/out/log" >>"$board/log"
for file in backtrace.env backtrace.cwd gdbserver.env; do
  [ -f "$work/out/$file" ] && cp "$work/out/$file" "$board/$file"
done
# the registers of the device at 0x20 come back as i2cdump's rows of 16 bytes
if [ -f "$work/out/i2c1-0x20.dump" ]; then
  bytes=$(sed -n 's/^[0-9a-f]0: \(\([0-9a-f][0-9a-f] \)\{16\}\).*/\1/p' "$work/out/i2c1-0x20.dump" | tr -d '\n')
  [ ${#bytes} -eq 768 ] && printf "$(sed 's/\([0-9a-f][0-9a-f]\) /\\x\1/g' <<<"$bytes")" >"$board/i2c1-0x20.bin"
fi
if [ -e "$work/out/machine-notes" ]; then
  cat "$work/out/machine-notes" >>"$notes"
elif [ -d "$work/out/user" ]; then
  find "$board/user" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
  cp -a "$work/out/user/." "$board/user/"
fi
[ -e "$work/out/machine-notes" ] || user_key >"$kept/user.key"
exit "$(cat "$work/out/status")"
