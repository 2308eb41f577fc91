#!/usr/bin/env bash
# One start of the board as a virtual machine of the switch (QEMU's ppce500 machine), run by
# `bmsim boot DIR --machine qemu` with the console's pseudo-terminal as standard input and output.
#
#   start.sh BOARD MACHINE_DIR
#
# MACHINE_DIR holds vmlinux and initramfs.cpio.gz (scripts/build-initramfs.sh). The board's
# partitions and EEPROM are the machine's disks and EEPROM file themselves; /user goes in as a
# jffs2 image made from BOARD/user and comes back unpacked; the device at 0x20 and the board log
# come back through the "bmsim" disk. Exits with the program's exit status, 125 when the machine
# did not come back with one.
set -uo pipefail
board=$1
machine=$2
# The machine's disks are made in the board, so that a run stopped at its time-out (this script
# is killed) leaves them for the next start to clear, not in /tmp.
work=$board/machine-work
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
notes=$board/machine.log   # the machine's own messages, kept off the switch's console
: >"$notes"
note() { echo "$*" >>"$notes"; }

# --- the jffs2 of /user: room for twice its content and at least 16 MiB, whole erase blocks
user_bytes=$(du -sb "$board/user" | cut -f1)
user_size=$(( (user_bytes * 2 + 16 * 1048576 + 65535) / 65536 * 65536 ))
mkfs.jffs2 --big-endian --squash --eraseblock=65536 --pad="$user_size" -d "$board/user" -o "$work/user.jffs2" \
  2>>"$notes" || { note "mkfs.jffs2 failed"; exit 125; }

# --- the bmsim disk going in: the partitions with their erase sizes and the device at 0x20
mkdir -p "$work/in"
drives=()
add_disk() {  # serial file
  drives+=(-drive "if=none,id=$1,file=$2,format=raw" -device "virtio-blk-pci,drive=$1,serial=$1")
}
for file in "$board"/mtd/*.bin; do
  name=$(basename "$file" .bin)
  erasesize=65536
  [ -f "$board/mtd/$name.erasesize" ] && erasesize=$(cat "$board/mtd/$name.erasesize")
  echo "$name $erasesize" >>"$work/in/partitions"
  add_disk "$name" "$file"
done
echo "user 65536" >>"$work/in/partitions"
add_disk user "$work/user.jffs2"
cp "$board/i2c1-0x20.bin" "$work/in/"
[ -e "$board/rx.fail" ] && : >"$work/in/rx.fail"
[ -f "$board/tmp-size" ] && cp "$board/tmp-size" "$work/in/"
[ -d "$board/keys" ] && cp -r "$board/keys" "$work/in/keys"
# --- the USB stick: a FAT disk made from BOARD/usb on the USB controller, and its readiness delay
if [ -f "$board/usb.inserted" ]; then
  mkdir -p "$board/usb"
  stick_kib=$(( ($(du -sb "$board/usb" | cut -f1) * 5 / 4 + 8 * 1048576) / 1024 ))
  mkfs.vfat -C "$work/usb.img" "$stick_kib" >>"$notes" 2>&1 || { note "mkfs.vfat failed"; exit 125; }
  if [ -n "$(ls -A "$board/usb")" ]; then
    mcopy -s -i "$work/usb.img" "$board/usb"/* ::/ 2>>"$notes" || { note "mcopy failed"; exit 125; }
  fi
  delay=$(cat "$board/usb.inserted")
  echo "${delay:-0}" >"$work/in/usb-ready-after"
  # shellcheck disable=SC2054 # QEMU's options are comma-separated within one word
  drives+=(-device pci-ohci,id=usb -drive "if=none,id=stick,file=$work/usb.img,format=raw"
           -device usb-storage,bus=usb.0,drive=stick)
fi
truncate -s $((user_size + 8 * 1048576)) "$work/bmsim.img"
tar -cf - -C "$work/in" . | dd of="$work/bmsim.img" conv=notrunc status=none
add_disk bmsim "$work/bmsim.img"

# --- the machine; it dies with this script. Its UART already ends lines with CR LF: the console's
# pseudo-terminal must not add another CR (QEMU keeps output processing on for standard output).
stty -onlcr 2>/dev/null
setpriv --pdeathsig KILL -- qemu-system-ppc -M ppce500 -cpu e500mc -m 512 -nic none -no-reboot \
  -display none -monitor none -kernel "$machine/vmlinux" -initrd "$machine/initramfs.cpio.gz" \
  -append "console=ttyS0 loglevel=0 panic=1 i2c_stub.chip_addr=0x20" -chardev stdio,id=console,signal=off -serial chardev:console \
  -drive "if=none,id=eeprom,file=$board/eeprom.bin,format=raw" \
  -device at24c-eeprom,address=0x54,rom-size=65536,drive=eeprom \
  "${drives[@]}" 2>>"$notes"
note "qemu-system-ppc ended with status $?"

# --- the state coming back
mkdir -p "$work/out"
tar -xf "$work/bmsim.img" -C "$work/out" 2>>"$notes"
[ -f "$work/out/status" ] || { note "the machine did not save its state"; exit 125; }
cat "$work/out/log" >>"$board/log"
for file in i2c1-0x20.bin backtrace.env backtrace.cwd gdbserver.env; do
  [ -f "$work/out/$file" ] && cp "$work/out/$file" "$board/$file"
done
if [ -d "$work/out/user" ] && [ ! -e "$work/out/machine-notes" ]; then
  find "$board/user" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
  cp -a "$work/out/user/." "$board/user/"
fi
[ -e "$work/out/machine-notes" ] && cat "$work/out/machine-notes" >>"$notes"
exit "$(cat "$work/out/status")"
