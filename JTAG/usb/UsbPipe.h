// CUsbPipe: the byte pipe between a USB back-end and its device.
//
// A back-end keeps one endpoint record per pipe and hands it to Write and
// Read; the transport decides by the record's kind how the bytes move.
#pragma once

#include <cstdint>
#include <vector>

namespace usb {

// Kinds of endpoint records.
enum EndPointKind : uint8_t {
    ENDPOINT_BULK_IN = 0,    // bulk read
    ENDPOINT_BULK_OUT = 1,   // bulk write
    ENDPOINT_BULK_OUT2 = 2,  // bulk write; only keeps a second OUT pipe apart
    ENDPOINT_STRING = 3,     // string descriptor, read only; address is its index
};

// Endpoint record: kind, then the USB endpoint address (with the direction
// bit, e.g. 0x86 for endpoint 6 IN) or the string descriptor index.
struct CEndPoint {
    uint8_t kind;
    uint8_t address;
};

class CUsbPipe {
public:
    virtual ~CUsbPipe() {}

    // Open and claim the device; nothing happens when it is open already.
    virtual void Open() = 0;
    // Release and close the device; nothing happens when it is not open.
    virtual void Close() = 0;
    // Sends size bytes to the endpoint; returns the count sent.
    virtual int Write(const CEndPoint& endpoint, const void* data, unsigned int size) = 0;
    // Receives up to size bytes from the endpoint; returns the count received.
    virtual int Read(const CEndPoint& endpoint, void* data, unsigned int size) = 0;
    // Endpoint addresses the device offers.
    virtual std::vector<unsigned int> GetEndPoints() = 0;
};

}  // namespace usb
