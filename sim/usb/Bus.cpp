// The simulated bus: the devices KESTRAD_SIM_USB names, linked into
// libusb-0.1's list of busses as usb_find_busses and usb_find_devices make
// it (see SimBus.h).
#include "sim/usb/SimBus.h"
#include "sim/usb/SimUsb.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// The library's exported list head, as in libusb 0.1 (declared by usb.h).
__attribute__((visibility("default"))) struct usb_bus* usb_busses = nullptr;

namespace simusb {

namespace {

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

}  // namespace

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

CBus& Bus()
{
    static CBus* bus = new CBus;  // left alive: detached host threads may call at exit
    return *bus;
}

const CDeviceInfo& InfoOf(const CNode* node) { return node->slot->model->Info(); }

std::string Where(const CNode* node) { return std::string(node->dev.bus->dirname) + "/" + node->dev.filename; }

std::string Path(const CNode* node) { return "/dev/bus/usb/" + Where(node); }

CNode* NodeOf(const struct usb_device* dev)
{
    if (!dev)
        return nullptr;
    CNode* node = reinterpret_cast<CNode*>(const_cast<struct usb_device*>(dev));
    return node->magic == CNode::kMagic ? node : nullptr;
}


CDeviceModel* ModelOf(const struct usb_device* dev)
{
    CNode* node = NodeOf(dev);
    return node ? node->slot->model.get() : nullptr;
}


int FindBusses()
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

int FindDevices()
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

}  // namespace simusb
