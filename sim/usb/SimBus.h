// The simulated bus inside kestrad-simusb: its devices, the unplug watch,
// the descriptors and the trace, shared by the files of the library and
// exported by none (the library exports the libusb API and SimUsb.h only).
//
// What each piece does for the program on the other side of the API is
// described in README.md ("The simulated USB bus").
#pragma once

// The model's header first: usb.h declares a function named usb_device,
// which hides the struct name the model's declarations use.
#include "sim/usb/SimUsbModel.h"

#include <usb.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace simusb {

// ---------------------------------------------------------------- errors and trace

// Records the error text and returns `result`, like libusb's USB_ERROR_STR.
int Fail(int result, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The calling thread's last error text, "No error" before its first.
char* LastError();
void SetDebugLevel(int level);

// KESTRAD_SIM_USB_TRACE: whether it is set, and one line into its file.
bool Tracing();
void TraceLine(const std::string& line);
std::string Hex(const void* data, size_t size);

// ---------------------------------------------------------------- the bus

struct CSlot;

// One appearance of a device on the bus. Never freed: the host keeps
// usb_device pointers across rescans.
struct CNode {
    struct usb_device dev;  // first, so a usb_device* is a CNode*
    static constexpr uint32_t kMagic = 0x53494d55;
    uint32_t magic = kMagic;
    CSlot* slot = nullptr;
    std::atomic<bool> gone{false};
    usb_config_descriptor config{};
    std::vector<usb_interface> interfaces;
    std::vector<usb_interface_descriptor> altsettings;
    std::vector<std::vector<usb_endpoint_descriptor>> endpoints;
};

// One device entry of KESTRAD_SIM_USB with its model. Never freed.
struct CSlot {
    size_t index = 0;
    std::string key;  // entry text and occurrence: an unchanged entry keeps its slot
    uint8_t busNumber = 1;
    std::unique_ptr<CDeviceModel> model;

    std::mutex lock;  // guards the model and the claims
    std::condition_variable changed;
    std::map<int, usb_dev_handle*> claims;

    CNode* current = nullptr;  // guarded by the bus lock
};

struct CBus {
    std::mutex lock;
    bool parsed = false;
    std::string env;
    std::vector<CSlot*> active;  // the devices of the current value, in order
    std::map<std::string, CSlot*> slotsByKey;
    std::set<std::string> reported;           // malformed values already reported
    std::map<int, usb_bus*> busses;           // every bus ever made, by number
    std::set<int> listed;                     // busses in usb_busses
    std::map<int, uint8_t> nextDevnum;
    // Devices that left the bus. They are kept for the whole run, as a
    // program may still hold their usb_device or a handle on them; kept
    // here rather than dropped, so that leak checkers see them as live.
    std::vector<CNode*> retired;
};

CBus& Bus();
const CDeviceInfo& InfoOf(const CNode* node);
// "001/002", and the usbfs path of the device.
std::string Where(const CNode* node);
std::string Path(const CNode* node);
// The node of a usb_device this library made; null for any other pointer.
CNode* NodeOf(const struct usb_device* dev);

// Reads KESTRAD_SIM_USB when it changed and sets the active slots. Caller
// holds the bus lock. Slots that leave the list lose their device.
void RefreshDevices(CBus& bus);
// What usb_find_busses and usb_find_devices do; each returns the changes.
int FindBusses();
int FindDevices();

// ---------------------------------------------------------------- unplug watch

// The lines of the KESTRAD_SIM_USB_CTL file.
std::set<std::string> ReadUnplugged();
bool Unplugged(const CSlot* slot, const std::set<std::string>& list);
// True while the node is on the bus; checks the control file so that an
// unplug takes effect at once.
bool Present(CNode* node);

// ---------------------------------------------------------------- descriptors

void BuildDescriptors(CNode* node);
const usb_endpoint_descriptor* FindEndpoint(const CNode* node, uint8_t address);
// A standard control request (GET_DESCRIPTOR, GET_STATUS, SET_CONFIGURATION
// ...) as the device answers it: the byte count or -EPIPE.
int StandardRequest(CNode* node, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                    int size);

}  // namespace simusb
