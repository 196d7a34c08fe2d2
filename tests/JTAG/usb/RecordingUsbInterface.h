// A CUsbInterface that moves no bytes on a bus: it records every call in
// order and answers reads from scripted replies per endpoint address. It can
// also fail the n-th transfer (read or write) on purpose.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/usb/UsbInterface.h"

class CRecordingUsbInterface : public usb::CUsbInterface {
public:
    enum class Call { Open, Close, Write, Read };

    struct Event {
        Call call;
        uint8_t kind = 0;
        uint8_t address = 0;
        unsigned int size = 0;      // bytes written, or bytes asked for by a read
        std::vector<uint8_t> data;  // bytes written, or bytes delivered by a read
        unsigned int timeoutMs = 0;  // a read's time-out
    };

    // One scripted answer to a read: bytes, or a failure with this text.
    struct Reply {
        std::vector<uint8_t> data;
        std::string error;
    };

    explicit CRecordingUsbInterface(CLogger& log) : usb::CUsbInterface(nullptr, log) {}
    // The base destructor closes through libusb; there is nothing to release.
    ~CRecordingUsbInterface() override { m_opened = false; }

    void Open() override
    {
        events.push_back(Event{Call::Open, 0, 0, 0, {}});
        if (!openError.empty())
            throw std::runtime_error(openError);
        m_opened = true;
    }

    void Close() override
    {
        events.push_back(Event{Call::Close, 0, 0, 0, {}});
        m_opened = false;
    }

    int Write(const usb::CEndPoint& record, const void* data, unsigned int size) override
    {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        events.push_back({Call::Write, record.kind, record.address, size,
                          std::vector<uint8_t>(bytes, bytes + size)});
        if (FailsNow())
            throw Injected();
        if (!writeError.empty())
            throw std::runtime_error(writeError);
        return static_cast<int>(size);
    }

    // Without a scripted reply a read brings 0 bytes, as a device with
    // nothing to say.
    int ReadWithTimeout(const usb::CEndPoint& record, void* data, unsigned int size, unsigned int timeoutMs) override
    {
        Event event{Call::Read, record.kind, record.address, size, {}, timeoutMs};
        if (FailsNow()) {
            events.push_back(event);
            throw Injected();
        }
        std::deque<Reply>& queue = replies[record.address];
        if (queue.empty()) {
            events.push_back(event);
            return 0;
        }
        Reply reply = queue.front();
        queue.pop_front();
        if (!reply.error.empty()) {
            events.push_back(event);
            throw std::runtime_error(reply.error);
        }
        const size_t count = std::min<size_t>(size, reply.data.size());
        std::copy(reply.data.begin(), reply.data.begin() + count, static_cast<uint8_t*>(data));
        event.data.assign(reply.data.begin(), reply.data.begin() + count);
        events.push_back(event);
        return static_cast<int>(count);
    }

    void Script(uint8_t address, std::vector<uint8_t> bytes) { replies[address].push_back({std::move(bytes), {}}); }
    void ScriptError(uint8_t address, std::string text) { replies[address].push_back({{}, std::move(text)}); }

    std::vector<Event> Writes() const { return Only(Call::Write); }
    std::vector<Event> Reads() const { return Only(Call::Read); }

    std::vector<Event> events;
    std::map<uint8_t, std::deque<Reply>> replies;
    std::string openError;
    std::string writeError;
    // When not 0, the transfer with this number (counting reads and writes
    // from 1, see `transfers`) throws "injected failure of transfer N".
    int failTransfer = 0;
    int transfers = 0;

private:
    // Counts one transfer; true when it is the one to fail.
    bool FailsNow() { return ++transfers == failTransfer; }
    std::runtime_error Injected() const
    {
        return std::runtime_error("injected failure of transfer " + std::to_string(failTransfer));
    }

    std::vector<Event> Only(Call call) const
    {
        std::vector<Event> out;
        for (const Event& event : events)
            if (event.call == call)
                out.push_back(event);
        return out;
    }
};
