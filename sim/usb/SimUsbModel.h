// Device models of the simulated USB bus.
//
// A model is one USB device as the host sees it through libusb-0.1: its
// descriptors, its vendor/class control requests and its bulk endpoints.
// The bus layer (SimUsb.cpp) answers the standard requests (descriptors,
// configuration, interface) from CDeviceInfo, keeps the device list, the
// handles, the claims and the plug state, and calls the model's hooks with
// the device's lock held, so a model needs no locking of its own.  A model
// that drives a JTAG target keeps it in a CTarget (sim/tap), so every
// simulated adapter answers from the same kind of target.
#pragma once

#include "sim/tap/SimTap.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define SIMUSB_EXPORT __attribute__((visibility("default")))

struct usb_device;  // libusb-0.1 <usb.h>

namespace simusb {

// One device entry of KESTRAD_SIM_USB, split into its fields (SimUsb.h).
struct SIMUSB_EXPORT CDeviceEntry {
    std::string text;                           // the entry as written, trimmed
    std::string model;                          // first field, e.g. "ezusb"
    std::map<std::string, std::string> fields;  // key=value fields but "mem"
    std::vector<std::string> mems;              // every mem=FILE@ADDR, in order
};

struct CEndpointInfo {
    uint8_t address = 0;     // with the direction bit
    uint8_t attributes = 2;  // transfer type: 2 bulk, 3 interrupt
    uint16_t maxPacket = 512;
    uint8_t interval = 0;
};

struct CInterfaceInfo {
    uint8_t interfaceClass = 0xFF;
    uint8_t subClass = 0xFF;
    uint8_t protocol = 0xFF;
    uint8_t stringIndex = 0;  // iInterface
    std::vector<CEndpointInfo> endpoints;
};

// Descriptors of a device with one configuration (value 1) and alternate
// setting 0 of each interface.  String indexes: 1 manufacturer, 2 product,
// 3 serial number (an empty one gets index 0 in the device descriptor),
// then those of `strings`.
struct CDeviceInfo {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t maxPacket0 = 64;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t bcdDevice = 0;
    std::string manufacturer;
    std::string productName;
    std::string serial;
    uint8_t configAttributes = 0x80;  // bus powered
    uint8_t maxPower = 50;            // in 2 mA units
    std::vector<CInterfaceInfo> interfaces;
    // Further strings by index (4 on), e.g. the interfaces' own.
    std::map<uint8_t, std::string> strings;
};

// Returned by CDeviceModel::BulkRead when nothing is queued yet.
constexpr int kNotReady = -1000000;

class SIMUSB_EXPORT CDeviceModel {
public:
    virtual ~CDeviceModel() = default;

    virtual const char* Kind() const = 0;  // the model name of its entry, e.g. "ezusb"
    virtual const CDeviceInfo& Info() const = 0;

    // The device was (re)connected: firmware state starts afresh, the target
    // behind the adapter keeps its state.
    virtual void Attach() {}

    // A vendor or class request (the bus answers standard ones). `data` holds
    // `size` bytes to send (requestType bit 7 clear) or room for them.
    // Returns the bytes transferred or a negative errno (-EPIPE: stall).
    virtual int Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t size);

    // An OUT transfer to `ep`. Returns the bytes accepted, a negative errno, or
    // kNotReady when the device cannot take it yet (the bus waits for a read
    // or the time-out and offers it again).
    virtual int BulkWrite(uint8_t ep, const uint8_t* data, size_t size) = 0;

    // An IN transfer from `ep` (direction bit set). Returns the bytes of one
    // device transfer, at most `size` (the rest stays queued), kNotReady when
    // nothing is queued (the bus waits for a write or the time-out), or a
    // negative errno.
    virtual int BulkRead(uint8_t ep, uint8_t* data, size_t size) = 0;
};

// The JTAG target behind an adapter: fields "chain" (simtap::ParseChain
// syntax; default one TAP 0x4BA00477 with a 4-bit IR) and any number of
// "mem=FILE@ADDR" images loaded into the memory.
struct SIMUSB_EXPORT CTarget {
    simtap::Chain chain;
    simtap::Memory memory;
};
std::unique_ptr<CTarget> MakeTarget(const CDeviceEntry& entry);

// Field helpers for model factories; all throw std::invalid_argument naming
// the field and the bad value.
uint32_t ParseNumber(const std::string& key, const std::string& value, uint32_t max);
// Throws unless every field key is in `known` ("chain" and "mem" included
// when the model accepts them).
void CheckKeys(const CDeviceEntry& entry, std::initializer_list<const char*> known);
// The serial field of an entry: 1 to 126 printable ASCII characters (a USB
// string descriptor holds at most 126); returns it, or throws naming it.
std::string CheckSerial(const std::string& serial);

// Model factory: throws std::invalid_argument for an unknown model or a bad
// field, std::runtime_error when an image cannot be loaded.
std::unique_ptr<CDeviceModel> CreateModel(const CDeviceEntry& entry);

// Diagnostic for malformed host traffic: written to stderr and the trace
// file, only when KESTRAD_SIM_USB_TRACE is set.
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Test access: the model behind a usb_device of the simulated bus, or null.
SIMUSB_EXPORT CDeviceModel* ModelOf(const ::usb_device* dev);

}  // namespace simusb
