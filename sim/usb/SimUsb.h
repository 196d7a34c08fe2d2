// kestrad-simusb: a libusb-0.1 library whose bus holds simulated devices.
//
// The library exports the libusb-0.1 API of Debian's <usb.h> (0.1.12) and
// the data symbol usb_busses. Load it in place of the real library with
// LD_PRELOAD=libkestrad-simusb.so, or put the directory holding its
// libusb-0.1.so.4 link first on LD_LIBRARY_PATH (its SONAME is
// libusb-0.1.so.4). Programs and libftdi then see only simulated devices.
//
// Environment:
//
// KESTRAD_SIM_USB     the devices, read at usb_init, usb_find_busses and
//                     usb_find_devices (a changed value takes effect there):
//
//     list   := [ device ] ( ";" [ device ] )*        empty entries are skipped
//     device := model ( "," key "=" value )*          blanks around tokens ignored
//
//   model "ezusb", the maker's EZ-USB JTAG adapter (EzUsbModel.h), keys:
//     serial=TEXT   serial number string, 1-126 printable ASCII characters
//                   without blanks; none: iSerialNumber is 0
//     chain=CHAIN   the target's TAPs in sim/tap syntax, e.g.
//                   0x4BA00477:4+bypass:5 (default 0x4BA00477:4)
//     mem=FILE@ADDR raw image loaded into target memory at ADDR (repeatable)
//     ver=N         version answered to the version query (default 0x3700)
//     vid=N, pid=N  vendor and product id (default 0x0547, 0x1002)
//   model "jlink", a full-speed SEGGER J-Link probe (JlinkModel.h), keys:
//     serial, chain, vid, pid   as for ezusb (default ids 0x1366, 0x0101)
//     term=zlp|byte what ends a reply whose length is a multiple of 64: a
//                   zero-length packet (default) or one extra byte
//   models "flyswatter2" (0403:6010) and "tiny-h" (Olimex ARM-USB-TINY-H,
//   15BA:002A), FT2232H boards in MPSSE mode (FtdiModel.h), keys:
//     serial=TEXT, chain=CHAIN as for ezusb
//     bcd=N         bcdDevice, the chip type libftdi sees (default 0x0700,
//                   FT2232H; 0x0600 is an FT232R, which has no MPSSE)
//   every model:
//     bus=N         bus number 1..255 (default 1)
//   Numbers are decimal or 0x hex. Example:
//     KESTRAD_SIM_USB="ezusb,serial=K1;ezusb,serial=K2,chain=0x4BA00477:4+bypass:5,bus=2"
//   Unset or empty: no devices. A malformed value is reported once on
//   stderr ("kestrad-simusb: KESTRAD_SIM_USB: ...") and gives no devices.
//   Devices appear on their bus in list order, device numbers from 2 on.
//   When the value changes, an entry with the same text at the same
//   position keeps its device and target state; others start afresh.
//
// KESTRAD_SIM_USB_CTL  a file naming unplugged devices, one per line: a
//                     serial number, or "@N" for the N-th entry of the list
//                     (from 0); blank lines and lines starting with "#" are
//                     ignored; a missing file unplugs nothing. It is read on
//                     every call that touches a device. An unplugged device
//                     fails every transfer with -ENODEV ("... No such
//                     device"), cannot be opened, and leaves the bus at the
//                     next usb_find_devices. Removing its line replugs it:
//                     the next usb_find_devices presents it as a new
//                     usb_device with a new device number and fresh adapter
//                     firmware; old handles stay dead. usb_device records
//                     are never freed, so pointers the host keeps stay valid.
//
// KESTRAD_SIM_USB_TRACE a file that receives one line per transfer (hex) and
//                     notes on malformed frames, which also go to stderr.
//
// Time-outs: a read with nothing queued fails after its time-out with -110.
// Time-out 0 (wait forever in libusb), 32767 and negative values wait 30 s.
//
// Threads: each device has its own lock, the bus list another; usb_strerror
// keeps the last error of the calling thread ("No error" before its first).
#pragma once

#include "sim/usb/SimUsbModel.h"

#include <string>
#include <vector>

namespace simusb {

// Splits a KESTRAD_SIM_USB value into device entries; throws
// std::invalid_argument naming the entry and what is wrong with it.
SIMUSB_EXPORT std::vector<CDeviceEntry> ParseDeviceList(const std::string& text);

constexpr int kForeverTimeoutMs = 30000;

}  // namespace simusb
