// The simulated bus and the libusb-0.1 API over it (see SimUsb.h).
//
// Results follow libusb 0.1.12 on Linux: 0 or more is success, errors are
// negative errno values with the library's texts ("error submitting URB:
// No such device", "could not claim interface 0: Device or resource busy").
// As in 0.1.12, a bulk or interrupt transfer that times out returns -110
// and leaves usb_strerror() as it was: the text still names the previous
// failure, or says "No error".
#include "sim/usb/SimUsb.h"

#include <usb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#define API extern "C" __attribute__((visibility("default")))

// The library's exported list head, as in libusb 0.1 (declared by usb.h).
__attribute__((visibility("default"))) struct usb_bus* usb_busses = nullptr;

namespace simusb {
namespace {

// ---------------------------------------------------------------- errors

int g_DebugLevel = 0;

struct CErrorState {
    bool set = false;
    char text[512] = "";
};
thread_local CErrorState t_Error;

// Records the error text and returns `result`, like libusb's USB_ERROR_STR.
int Fail(int result, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Fail(int result, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(t_Error.text, sizeof t_Error.text, format, args);
    va_end(args);
    t_Error.set = true;
    if (g_DebugLevel >= 2)
        std::fprintf(stderr, "USB error: %s\n", t_Error.text);
    return result;
}

// ---------------------------------------------------------------- trace

std::mutex g_TraceLock;
FILE* g_TraceFile = nullptr;
std::string g_TracePath;

// Returns the open trace file (under g_TraceLock), or null when tracing is off.
FILE* TraceFile()
{
    const char* path = std::getenv("KESTRAD_SIM_USB_TRACE");
    if (!path || !*path)
        return nullptr;
    if (!g_TraceFile || g_TracePath != path) {
        if (g_TraceFile)
            std::fclose(g_TraceFile);
        g_TracePath = path;
        g_TraceFile = std::fopen(path, "a");
        if (!g_TraceFile)
            std::fprintf(stderr, "kestrad-simusb: cannot open trace file %s: %s\n", path, std::strerror(errno));
    }
    return g_TraceFile;
}

void TraceLine(const std::string& line)
{
    std::lock_guard<std::mutex> guard(g_TraceLock);
    if (FILE* f = TraceFile()) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fflush(f);
    }
}

bool Tracing()
{
    const char* path = std::getenv("KESTRAD_SIM_USB_TRACE");
    return path && *path;
}

std::string Hex(const void* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 3);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// ---------------------------------------------------------------- bus state

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

CBus& Bus()
{
    static CBus* bus = new CBus;  // left alive: detached host threads may call at exit
    return *bus;
}

const CDeviceInfo& InfoOf(const CNode* node) { return node->slot->model->Info(); }

std::string Where(const CNode* node) { return std::string(node->dev.bus->dirname) + "/" + node->dev.filename; }

std::string Path(const CNode* node) { return "/dev/bus/usb/" + Where(node); }

// The control file's lines, read again only when the file (or the variable
// naming it) changes: a stat per USB call instead of reading the file.
struct CUnplugCache {
    std::mutex lock;
    std::string path;
    bool exists = false;
    struct stat st {};
    std::chrono::system_clock::time_point readAt;
    std::set<std::string> lines;
};

std::chrono::system_clock::time_point ModifiedAt(const struct stat& st)
{
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

CUnplugCache& UnplugCache()
{
    static CUnplugCache* cache = new CUnplugCache;  // left alive like the bus
    return *cache;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Brings the cache up to date. Caller holds cache.lock.
const std::set<std::string>& RefreshUnplugged(CUnplugCache& cache)
{
    const char* value = std::getenv("KESTRAD_SIM_USB_CTL");
    const std::string path = value ? value : "";
    struct stat st {};
    const bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
    // File times tick coarsely (milliseconds): a file changed again just
    // after it was read may keep its times and size, so one modified shortly
    // before the last read is read again until it is older than that.
    const bool settled = !exists || ModifiedAt(st) + std::chrono::milliseconds(100) < cache.readAt;
    if (path == cache.path && exists == cache.exists && (!exists || SameFile(st, cache.st)) && settled)
        return cache.lines;
    cache.readAt = std::chrono::system_clock::now();
    cache.path = path;
    cache.exists = exists;
    cache.st = st;
    cache.lines.clear();
    if (!exists)
        return cache.lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#')
            continue;
        const size_t e = line.find_last_not_of(" \t\r");
        cache.lines.insert(line.substr(b, e - b + 1));
    }
    return cache.lines;
}

std::set<std::string> ReadUnplugged()
{
    CUnplugCache& cache = UnplugCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    return RefreshUnplugged(cache);
}

bool Unplugged(const CSlot* slot, const std::set<std::string>& list)
{
    const std::string& serial = slot->model->Info().serial;
    return (!serial.empty() && list.count(serial)) || list.count("@" + std::to_string(slot->index));
}

// True while the node is on the bus; checks the control file so that an
// unplug takes effect at once.
bool Present(CNode* node)
{
    if (node->gone)
        return false;
    bool unplugged;
    {
        CUnplugCache& cache = UnplugCache();
        std::lock_guard<std::mutex> guard(cache.lock);
        const std::set<std::string>& lines = RefreshUnplugged(cache);
        unplugged = !lines.empty() && Unplugged(node->slot, lines);
    }
    if (unplugged) {
        node->gone = true;
        node->slot->changed.notify_all();
        return false;
    }
    return true;
}

void BuildDescriptors(CNode* node)
{
    const CDeviceInfo& info = InfoOf(node);
    usb_device_descriptor& d = node->dev.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = info.bcdUSB;
    d.bDeviceClass = info.deviceClass;
    d.bDeviceSubClass = 0;
    d.bDeviceProtocol = 0;
    d.bMaxPacketSize0 = info.maxPacket0;
    d.idVendor = info.vendor;
    d.idProduct = info.product;
    d.bcdDevice = info.bcdDevice;
    d.iManufacturer = info.manufacturer.empty() ? 0 : 1;
    d.iProduct = info.productName.empty() ? 0 : 2;
    d.iSerialNumber = info.serial.empty() ? 0 : 3;
    d.bNumConfigurations = 1;

    const size_t n = info.interfaces.size();
    node->endpoints.resize(n);
    node->altsettings.resize(n);
    node->interfaces.resize(n);
    unsigned total = USB_DT_CONFIG_SIZE;
    for (size_t i = 0; i < n; ++i) {
        const CInterfaceInfo& ii = info.interfaces[i];
        for (const CEndpointInfo& e : ii.endpoints) {
            usb_endpoint_descriptor ed{};
            ed.bLength = USB_DT_ENDPOINT_SIZE;
            ed.bDescriptorType = USB_DT_ENDPOINT;
            ed.bEndpointAddress = e.address;
            ed.bmAttributes = e.attributes;
            ed.wMaxPacketSize = e.maxPacket;
            ed.bInterval = e.interval;
            node->endpoints[i].push_back(ed);
        }
        usb_interface_descriptor& a = node->altsettings[i];
        a = usb_interface_descriptor{};
        a.bLength = USB_DT_INTERFACE_SIZE;
        a.bDescriptorType = USB_DT_INTERFACE;
        a.bInterfaceNumber = static_cast<uint8_t>(i);
        a.bAlternateSetting = 0;
        a.bNumEndpoints = static_cast<uint8_t>(ii.endpoints.size());
        a.bInterfaceClass = ii.interfaceClass;
        a.bInterfaceSubClass = ii.subClass;
        a.bInterfaceProtocol = ii.protocol;
        a.iInterface = ii.stringIndex;
        a.endpoint = node->endpoints[i].empty() ? nullptr : node->endpoints[i].data();
        node->interfaces[i].altsetting = &a;
        node->interfaces[i].num_altsetting = 1;
        total += USB_DT_INTERFACE_SIZE + USB_DT_ENDPOINT_SIZE * unsigned(ii.endpoints.size());
    }
    usb_config_descriptor& c = node->config;
    c.bLength = USB_DT_CONFIG_SIZE;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = static_cast<uint16_t>(total);
    c.bNumInterfaces = static_cast<uint8_t>(n);
    c.bConfigurationValue = 1;
    c.iConfiguration = 0;
    c.bmAttributes = info.configAttributes;
    c.MaxPower = info.maxPower;
    c.interface = node->interfaces.data();
    node->dev.config = &node->config;
}

// The wire image of a descriptor, as GET_DESCRIPTOR returns it; empty: stall.
std::vector<uint8_t> DescriptorBytes(const CNode* node, uint8_t type, uint8_t index)
{
    std::vector<uint8_t> b;
    auto u16 = [&](uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    const usb_device_descriptor& d = node->dev.descriptor;
    if (type == USB_DT_DEVICE && index == 0) {
        b = {d.bLength, d.bDescriptorType};
        u16(d.bcdUSB);
        b.insert(b.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
        u16(d.idVendor);
        u16(d.idProduct);
        u16(d.bcdDevice);
        b.insert(b.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    } else if (type == USB_DT_CONFIG && index == 0) {
        const usb_config_descriptor& c = node->config;
        b = {c.bLength, c.bDescriptorType};
        u16(c.wTotalLength);
        b.insert(b.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration, c.bmAttributes, c.MaxPower});
        for (int i = 0; i < c.bNumInterfaces; ++i) {
            const usb_interface_descriptor& a = c.interface[i].altsetting[0];
            b.insert(b.end(), {a.bLength, a.bDescriptorType, a.bInterfaceNumber, a.bAlternateSetting,
                               a.bNumEndpoints, a.bInterfaceClass, a.bInterfaceSubClass, a.bInterfaceProtocol,
                               a.iInterface});
            for (int e = 0; e < a.bNumEndpoints; ++e) {
                const usb_endpoint_descriptor& ed = a.endpoint[e];
                b.insert(b.end(), {ed.bLength, ed.bDescriptorType, ed.bEndpointAddress, ed.bmAttributes});
                u16(ed.wMaxPacketSize);
                b.push_back(ed.bInterval);
            }
        }
    } else if (type == USB_DT_STRING) {
        const CDeviceInfo& info = InfoOf(node);
        const std::string* s = nullptr;
        if (index == 0) {
            return {4, USB_DT_STRING, 0x09, 0x04};  // English (US)
        } else if (index == 1 && !info.manufacturer.empty()) {
            s = &info.manufacturer;
        } else if (index == 2 && !info.productName.empty()) {
            s = &info.productName;
        } else if (index == 3 && !info.serial.empty()) {
            s = &info.serial;
        }
        if (!s)
            return b;
        const size_t chars = std::min<size_t>(s->size(), 126);
        b = {static_cast<uint8_t>(2 + 2 * chars), USB_DT_STRING};
        for (size_t i = 0; i < chars; ++i)
            u16(static_cast<uint8_t>((*s)[i]));
    }
    return b;
}

const usb_endpoint_descriptor* FindEndpoint(const CNode* node, uint8_t address)
{
    const usb_config_descriptor& c = node->config;
    for (int i = 0; i < c.bNumInterfaces; ++i) {
        const usb_interface_descriptor& a = c.interface[i].altsetting[0];
        for (int e = 0; e < a.bNumEndpoints; ++e)
            if (a.endpoint[e].bEndpointAddress == address)
                return &a.endpoint[e];
    }
    return nullptr;
}

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            return out;
        start = p + 1;
    }
}

// Reads KESTRAD_SIM_USB when it changed and sets the active slots. Caller
// holds the bus lock. Slots that leave the list lose their device.
void RefreshDevices(CBus& bus)
{
    const char* value = std::getenv("KESTRAD_SIM_USB");
    const std::string env = value ? value : "";
    if (bus.parsed && env == bus.env)
        return;
    bus.parsed = true;
    bus.env = env;

    std::vector<CSlot*> next;
    std::vector<std::unique_ptr<CSlot>> created;
    try {
        const std::vector<CDeviceEntry> parsedEntries = ParseDeviceList(env);
        std::map<std::string, int> occurrences;
        std::set<std::string> serials;
        for (size_t i = 0; i < parsedEntries.size(); ++i) {
            CDeviceEntry entry = parsedEntries[i];
            const std::string key = entry.text + "#" + std::to_string(occurrences[entry.text]++);
            uint8_t busNumber = 1;
            auto b = entry.fields.find("bus");
            if (b != entry.fields.end()) {
                const uint32_t n = ParseNumber("bus", b->second, 255);
                if (n == 0)
                    throw std::invalid_argument("field bus: bus numbers start at 1");
                busNumber = static_cast<uint8_t>(n);
                entry.fields.erase(b);
            }
            auto known = bus.slotsByKey.find(key);
            CSlot* slot = nullptr;
            if (known != bus.slotsByKey.end() && known->second->index == i) {
                slot = known->second;
            } else {
                std::unique_ptr<CSlot> fresh(new CSlot);
                try {
                    fresh->model = CreateModel(entry);
                } catch (const std::exception& e) {
                    throw std::invalid_argument("device " + std::to_string(i) + " (\"" + entry.text + "\"): " + e.what());
                }
                fresh->index = i;
                fresh->key = key;
                fresh->busNumber = busNumber;
                slot = fresh.get();
                created.push_back(std::move(fresh));
            }
            const std::string& serial = slot->model->Info().serial;
            if (!serial.empty() && !serials.insert(serial).second)
                throw std::invalid_argument("serial number " + serial + " is used by two devices");
            next.push_back(slot);
        }
    } catch (const std::exception& e) {
        if (bus.reported.insert(env).second)
            std::fprintf(stderr, "kestrad-simusb: KESTRAD_SIM_USB: %s; no simulated devices\n", e.what());
        next.clear();
        created.clear();
    }
    for (CSlot* old : bus.active) {
        if (std::find(next.begin(), next.end(), old) == next.end() && old->current) {
            old->current->gone = true;
            old->changed.notify_all();
        }
    }
    for (auto& slot : created) {
        bus.slotsByKey[slot->key] = slot.get();
        slot.release();  // kept for the process life, like its nodes
    }
    bus.active = next;
}

usb_bus* GetBus(CBus& bus, int number)
{
    usb_bus*& b = bus.busses[number];
    if (!b) {
        b = new usb_bus{};
        std::snprintf(b->dirname, sizeof b->dirname, "%03d", number);
        b->location = static_cast<uint32_t>(number);
    }
    return b;
}

// Rebuilds the usb_busses list from bus.listed and each bus's device list
// from the active slots. Nothing is freed: a host thread may be walking it.
void Relink(CBus& bus)
{
    usb_bus* prevBus = nullptr;
    usb_busses = nullptr;
    for (int number : bus.listed) {
        usb_bus* b = GetBus(bus, number);
        b->prev = prevBus;
        b->next = nullptr;
        b->devices = nullptr;
        if (prevBus)
            prevBus->next = b;
        else
            usb_busses = b;
        prevBus = b;
        struct usb_device* prevDev = nullptr;
        for (CSlot* slot : bus.active) {
            if (!slot->current || slot->busNumber != number)
                continue;
            struct usb_device* d = &slot->current->dev;
            d->prev = prevDev;
            d->next = nullptr;
            if (prevDev)
                prevDev->next = d;
            else
                b->devices = d;
            prevDev = d;
        }
    }
}

uint8_t AllocateDevnum(CBus& bus, int number)
{
    std::set<int> used;
    for (CSlot* slot : bus.active)
        if (slot->current && slot->busNumber == number)
            used.insert(slot->current->dev.devnum);
    uint8_t& next = bus.nextDevnum[number];
    for (int tries = 0; tries < 127; ++tries) {
        if (next < 2 || next > 127)
            next = 2;
        const uint8_t n = next++;
        if (!used.count(n))
            return n;
    }
    return 0;  // all 126 device numbers of the bus are taken
}

CNode* NodeOf(const struct usb_device* dev)
{
    if (!dev)
        return nullptr;
    CNode* node = reinterpret_cast<CNode*>(const_cast<struct usb_device*>(dev));
    return node->magic == CNode::kMagic ? node : nullptr;
}

}  // namespace

void Note(const char* format, ...)
{
    if (!Tracing())
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "kestrad-simusb: %s\n", text);
    TraceLine(std::string("NOTE ") + text);
}

CDeviceModel* ModelOf(const struct usb_device* dev)
{
    CNode* node = NodeOf(dev);
    return node ? node->slot->model.get() : nullptr;
}

std::vector<CDeviceEntry> ParseDeviceList(const std::string& text)
{
    std::vector<CDeviceEntry> out;
    const std::vector<std::string> entries = Split(text, ';');
    for (size_t i = 0; i < entries.size(); ++i) {
        CDeviceEntry entry;
        entry.text = Trim(entries[i]);
        if (entry.text.empty())
            continue;
        const std::string where = "device " + std::to_string(out.size()) + " (\"" + entry.text + "\"): ";
        const std::vector<std::string> fields = Split(entry.text, ',');
        entry.model = Trim(fields[0]);
        if (entry.model.empty() || entry.model.find('=') != std::string::npos)
            throw std::invalid_argument(where + "must start with a model name such as ezusb");
        for (size_t f = 1; f < fields.size(); ++f) {
            const std::string field = Trim(fields[f]);
            const size_t eq = field.find('=');
            if (eq == std::string::npos || eq == 0)
                throw std::invalid_argument(where + "field '" + field + "' is not key=value");
            const std::string key = Trim(field.substr(0, eq));
            const std::string value = Trim(field.substr(eq + 1));
            if (value.empty())
                throw std::invalid_argument(where + "field " + key + " has no value");
            if (key == "mem") {
                entry.mems.push_back(value);
            } else if (!entry.fields.emplace(key, value).second) {
                throw std::invalid_argument(where + "field " + key + " is given twice");
            }
        }
        out.push_back(std::move(entry));
    }
    return out;
}

}  // namespace simusb

// ==================================================================== C API

using namespace simusb;

struct usb_dev_handle {
    int fd;  // first: libftdi reads it and hands it to FD_SET
    CNode* node;
};

namespace {

std::chrono::milliseconds TimeoutOf(int timeout)
{
    if (timeout <= 0 || timeout == 32767)
        return std::chrono::milliseconds(kForeverTimeoutMs);
    return std::chrono::milliseconds(timeout);
}

int Transfer(usb_dev_handle* h, int ep, bool in, uint8_t type, uint8_t* bytes, int size, int timeout)
{
    const char* what = in ? "IN " : "OUT";
    if (!h || !h->node)
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));
    if (size < 0 || (size > 0 && !bytes))
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));
    CNode* node = h->node;
    const uint8_t address = static_cast<uint8_t>(ep);
    const usb_endpoint_descriptor* desc = FindEndpoint(node, address);
    if (!desc || ((address & USB_ENDPOINT_DIR_MASK) != 0) != in)
        return Fail(-ENOENT, "error submitting URB: %s", std::strerror(ENOENT));
    if ((desc->bmAttributes & USB_ENDPOINT_TYPE_MASK) != type)
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));

    CSlot* slot = node->slot;
    const auto deadline = std::chrono::steady_clock::now() + TimeoutOf(timeout);
    std::unique_lock<std::mutex> lock(slot->lock);
    int result;
    for (;;) {
        if (!Present(node)) {
            result = Fail(-ENODEV, "error submitting URB: %s", std::strerror(ENODEV));
            break;
        }
        result = in ? slot->model->BulkRead(address, bytes, static_cast<size_t>(size))
                    : slot->model->BulkWrite(address, bytes, static_cast<size_t>(size));
        if (result != kNotReady) {
            slot->changed.notify_all();
            if (result < 0)
                Fail(result, "error submitting URB: %s", std::strerror(-result));
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result = -ETIMEDOUT;  // the library sets no text for a time-out
            break;
        }
        // Wake up now and then to notice an unplug made through the control file.
        slot->changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    lock.unlock();
    if (Tracing()) {
        char ep[16];
        std::snprintf(ep, sizeof ep, " ep 0x%02x ", address);
        const std::string head = what + (" " + Where(node)) + ep;
        if (result >= 0)
            TraceLine(std::string(head) + std::to_string(result) + ":" + Hex(bytes, static_cast<size_t>(result)));
        else
            TraceLine(std::string(head) + "error " + std::to_string(result) + " (" + std::strerror(-result) + ")");
    }
    return result;
}

bool Gone(usb_dev_handle* h) { return !h || !h->node || !Present(h->node); }

}  // namespace

API void usb_init(void)
{
    CBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    RefreshDevices(bus);
}

API void usb_set_debug(int level) { g_DebugLevel = level; }

API char* usb_strerror(void)
{
    static char none[] = "No error";
    return t_Error.set ? t_Error.text : none;
}

API int usb_find_busses(void)
{
    CBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    RefreshDevices(bus);
    std::set<int> wanted{1};
    for (CSlot* slot : bus.active)
        wanted.insert(slot->busNumber);
    int changes = 0;
    for (int n : wanted)
        changes += bus.listed.count(n) ? 0 : 1;
    for (int n : bus.listed)
        changes += wanted.count(n) ? 0 : 1;
    bus.listed = wanted;
    Relink(bus);
    return changes;
}

API int usb_find_devices(void)
{
    CBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    RefreshDevices(bus);
    const std::set<std::string> unplugged = ReadUnplugged();
    int changes = 0;
    // Devices of slots that left the list go first.
    for (auto& entry : bus.slotsByKey) {
        CSlot* slot = entry.second;
        if (slot->current && std::find(bus.active.begin(), bus.active.end(), slot) == bus.active.end()) {
            bus.retired.push_back(slot->current);
            slot->current = nullptr;
            ++changes;
        }
    }
    for (CSlot* slot : bus.active) {
        const bool out = Unplugged(slot, unplugged);
        if (slot->current && (out || slot->current->gone)) {
            slot->current->gone = true;
            slot->changed.notify_all();
            bus.retired.push_back(slot->current);
            slot->current = nullptr;
            ++changes;
        }
        if (!slot->current && !out) {
            const uint8_t devnum = AllocateDevnum(bus, slot->busNumber);
            if (devnum == 0) {
                std::fprintf(stderr, "kestrad-simusb: bus %d is full; device %zu not presented\n", slot->busNumber,
                             slot->index);
                continue;
            }
            CNode* node = new CNode;
            node->slot = slot;
            node->dev.bus = GetBus(bus, slot->busNumber);
            node->dev.devnum = devnum;
            node->dev.dev = node;
            std::snprintf(node->dev.filename, sizeof node->dev.filename, "%03d", devnum);
            BuildDescriptors(node);
            {
                std::lock_guard<std::mutex> slotGuard(slot->lock);
                slot->claims.clear();
                slot->model->Attach();
            }
            slot->current = node;
            bus.listed.insert(slot->busNumber);
            ++changes;
        }
    }
    Relink(bus);
    return changes;
}

API struct usb_bus* usb_get_busses(void) { return usb_busses; }

API usb_dev_handle* usb_open(struct usb_device* dev)
{
    CNode* node = NodeOf(dev);
    if (!node) {
        Fail(-EINVAL, "usb_open: not a device of this bus");
        return nullptr;
    }
    if (!Present(node)) {
        Fail(-ENOENT, "failed to open %s: %s", Path(node).c_str(), std::strerror(ENOENT));
        return nullptr;
    }
    // A real handle holds the usbfs file; libftdi passes this one to FD_SET,
    // so it must be a small valid descriptor.
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0 || fd >= FD_SETSIZE) {
        const int err = fd < 0 ? errno : EMFILE;
        if (fd >= 0)
            ::close(fd);
        Fail(-err, "failed to open %s: %s", Path(node).c_str(), std::strerror(err));
        return nullptr;
    }
    return new usb_dev_handle{fd, node};
}

API int usb_close(usb_dev_handle* h)
{
    if (!h)
        return Fail(-EINVAL, "usb_close: no handle");
    if (h->node) {
        CSlot* slot = h->node->slot;
        std::lock_guard<std::mutex> guard(slot->lock);
        for (auto it = slot->claims.begin(); it != slot->claims.end();)
            it = it->second == h ? slot->claims.erase(it) : std::next(it);
    }
    ::close(h->fd);
    delete h;
    return 0;
}

API struct usb_device* usb_device(usb_dev_handle* h) { return h && h->node ? &h->node->dev : nullptr; }

API int usb_set_configuration(usb_dev_handle* h, int configuration)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not set config %d: %s", configuration, std::strerror(ENODEV));
    if (configuration != 1)
        return Fail(-EINVAL, "could not set config %d: %s", configuration, std::strerror(EINVAL));
    return 0;
}

API int usb_claim_interface(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not claim interface %d: %s", interface, std::strerror(ENODEV));
    if (interface < 0 || interface >= h->node->config.bNumInterfaces)
        return Fail(-ENOENT, "could not claim interface %d: %s", interface, std::strerror(ENOENT));
    CSlot* slot = h->node->slot;
    std::lock_guard<std::mutex> guard(slot->lock);
    auto it = slot->claims.find(interface);
    if (it != slot->claims.end() && it->second != h)
        return Fail(-EBUSY, "could not claim interface %d: %s", interface, std::strerror(EBUSY));
    slot->claims[interface] = h;
    return 0;
}

API int usb_release_interface(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not release intf %d: %s", interface, std::strerror(ENODEV));
    CSlot* slot = h->node->slot;
    std::lock_guard<std::mutex> guard(slot->lock);
    auto it = slot->claims.find(interface);
    if (it == slot->claims.end() || it->second != h)
        return Fail(-EINVAL, "could not release intf %d: %s", interface, std::strerror(EINVAL));
    slot->claims.erase(it);
    return 0;
}

API int usb_set_altinterface(usb_dev_handle* h, int alternate)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not set alt intf 0/%d: %s", alternate, std::strerror(ENODEV));
    if (alternate != 0)
        return Fail(-EINVAL, "could not set alt intf 0/%d: %s", alternate, std::strerror(EINVAL));
    return 0;
}

API int usb_resetep(usb_dev_handle* h, unsigned int ep)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not reset ep %u: %s", ep, std::strerror(ENODEV));
    if (!FindEndpoint(h->node, static_cast<uint8_t>(ep)))
        return Fail(-ENOENT, "could not reset ep %u: %s", ep, std::strerror(ENOENT));
    return 0;
}

API int usb_clear_halt(usb_dev_handle* h, unsigned int ep)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not clear/halt ep %u: %s", ep, std::strerror(ENODEV));
    if (!FindEndpoint(h->node, static_cast<uint8_t>(ep)))
        return Fail(-ENOENT, "could not clear/halt ep %u: %s", ep, std::strerror(ENOENT));
    return 0;
}

API int usb_reset(usb_dev_handle* h)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not reset: %s", std::strerror(ENODEV));
    return 0;
}

API int usb_get_driver_np(usb_dev_handle* h, int interface, char* name, unsigned int namelen)
{
    if (name && namelen > 0)
        name[0] = 0;
    if (Gone(h))
        return Fail(-ENODEV, "could not get bound driver: %s", std::strerror(ENODEV));
    (void)interface;
    return Fail(-ENODATA, "could not get bound driver: %s", std::strerror(ENODATA));
}

API int usb_detach_kernel_driver_np(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not detach kernel driver from interface %d: %s", interface,
                    std::strerror(ENODEV));
    // No kernel driver is ever bound to a simulated device. libftdi tells
    // "no driver" from a real failure by errno, as the ioctl leaves it.
    errno = ENODATA;
    return Fail(-ENODATA, "could not detach kernel driver from interface %d: %s", interface,
                std::strerror(ENODATA));
}

API int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value, int index, char* bytes, int size,
                        int timeout)
{
    (void)timeout;  // the simulated devices answer control requests at once
    if (Gone(h))
        return Fail(-ENODEV, "error sending control message: %s", std::strerror(ENODEV));
    if (size < 0 || size > 0xFFFF || (size > 0 && !bytes))
        return Fail(-EINVAL, "error sending control message: %s", std::strerror(EINVAL));
    CNode* node = h->node;
    const uint8_t type = static_cast<uint8_t>(requesttype);
    const uint8_t req = static_cast<uint8_t>(request);
    const uint16_t wValue = static_cast<uint16_t>(value);
    const uint16_t wIndex = static_cast<uint16_t>(index);
    uint8_t* data = reinterpret_cast<uint8_t*>(bytes);
    int result = -EPIPE;
    if ((type & 0x60) == USB_TYPE_STANDARD) {
        const bool in = (type & USB_ENDPOINT_IN) != 0;
        switch (req) {
        case USB_REQ_GET_DESCRIPTOR:
            if (in) {
                const std::vector<uint8_t> d = DescriptorBytes(node, static_cast<uint8_t>(wValue >> 8),
                                                               static_cast<uint8_t>(wValue & 0xFF));
                if (!d.empty()) {
                    result = static_cast<int>(std::min<size_t>(d.size(), static_cast<size_t>(size)));
                    std::memcpy(data, d.data(), static_cast<size_t>(result));
                }
            }
            break;
        case USB_REQ_GET_CONFIGURATION:
            if (in && size >= 1) {
                data[0] = 1;
                result = 1;
            }
            break;
        case USB_REQ_GET_STATUS:
            if (in) {
                result = std::min(size, 2);
                std::memset(data, 0, static_cast<size_t>(result));
            }
            break;
        case USB_REQ_SET_CONFIGURATION:
            result = wValue == 1 ? 0 : -EPIPE;
            break;
        case USB_REQ_SET_INTERFACE:
            result = wValue == 0 && wIndex < node->config.bNumInterfaces ? 0 : -EPIPE;
            break;
        case USB_REQ_CLEAR_FEATURE:
        case USB_REQ_SET_FEATURE:
            result = 0;
            break;
        default:
            break;
        }
    } else {
        std::lock_guard<std::mutex> guard(node->slot->lock);
        result = node->slot->model->Control(type, req, wValue, wIndex, data, static_cast<uint16_t>(size));
        node->slot->changed.notify_all();
    }
    if (Tracing()) {
        char setup[40];
        std::snprintf(setup, sizeof setup, " %02x %02x %04x %04x ", type, req, wValue, wIndex);
        const std::string head = "CTRL " + Where(node) + setup;
        TraceLine(std::string(head) + std::to_string(result) + (result > 0 ? ":" + Hex(data, static_cast<size_t>(result)) : ""));
    }
    if (result < 0)
        return Fail(result, "error sending control message: %s", std::strerror(-result));
    return result;
}

API int usb_get_string(usb_dev_handle* h, int index, int langid, char* buf, size_t buflen)
{
    const int size = static_cast<int>(std::min<size_t>(buflen, 0xFFFF));
    return usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + index, langid, buf,
                           size, 1000);
}

API int usb_get_string_simple(usb_dev_handle* h, int index, char* buf, size_t buflen)
{
    if (!buf || buflen == 0)
        return Fail(-EINVAL, "usb_get_string_simple: no room for the string");
    uint8_t tbuf[255];
    int ret = usb_get_string(h, 0, 0, reinterpret_cast<char*>(tbuf), sizeof tbuf);
    if (ret < 0)
        return ret;
    if (ret < 4)
        return Fail(-EIO, "%s", std::strerror(EIO));
    const int langid = tbuf[2] | (tbuf[3] << 8);
    ret = usb_get_string(h, index, langid, reinterpret_cast<char*>(tbuf), sizeof tbuf);
    if (ret < 0)
        return ret;
    if (ret < 2 || tbuf[1] != USB_DT_STRING)
        return Fail(-EIO, "%s", std::strerror(EIO));
    if (tbuf[0] > ret)
        return Fail(-EFBIG, "%s", std::strerror(EFBIG));
    size_t di = 0;
    for (int si = 2; si + 1 < tbuf[0]; si += 2) {
        if (di >= buflen - 1)
            break;
        buf[di++] = tbuf[si + 1] ? '?' : static_cast<char>(tbuf[si]);
    }
    buf[di] = 0;
    return static_cast<int>(di);
}

API int usb_get_descriptor_by_endpoint(usb_dev_handle* h, int ep, unsigned char type, unsigned char index, void* buf,
                                       int size)
{
    if (buf && size > 0)
        std::memset(buf, 0, static_cast<size_t>(size));
    return usb_control_msg(h, ep | USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0,
                           static_cast<char*>(buf), size, 1000);
}

API int usb_get_descriptor(usb_dev_handle* h, unsigned char type, unsigned char index, void* buf, int size)
{
    if (buf && size > 0)
        std::memset(buf, 0, static_cast<size_t>(size));
    return usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0, static_cast<char*>(buf),
                           size, 1000);
}

API int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout)
{
    // The model only reads OUT data; the cast matches the library's old non-const signature.
    return Transfer(h, ep, false, USB_ENDPOINT_TYPE_BULK, reinterpret_cast<uint8_t*>(const_cast<char*>(bytes)), size,
                    timeout);
}

API int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout)
{
    return Transfer(h, ep | USB_ENDPOINT_IN, true, USB_ENDPOINT_TYPE_BULK, reinterpret_cast<uint8_t*>(bytes), size,
                    timeout);
}

API int usb_interrupt_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout)
{
    return Transfer(h, ep, false, USB_ENDPOINT_TYPE_INTERRUPT, reinterpret_cast<uint8_t*>(const_cast<char*>(bytes)),
                    size, timeout);
}

API int usb_interrupt_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout)
{
    return Transfer(h, ep | USB_ENDPOINT_IN, true, USB_ENDPOINT_TYPE_INTERRUPT, reinterpret_cast<uint8_t*>(bytes),
                    size, timeout);
}
