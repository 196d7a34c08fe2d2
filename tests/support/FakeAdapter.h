// A scriptable adapter for tests and benchmarks of the server: it records
// every call, keeps a sparse memory, answers scans from simple rules, and
// fails any operation on request.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JTAG/core/JTAG.h"
#include "JTAG/core/JTAGHolder.h"

class CFakeAdapter : public CNonAsyncJTAG {
public:
    CFakeAdapter(const AdapterContext& context, const std::string& name, const std::string& chip = "Unknown chip");

    void Open() override;
    void Close() override;
    void ResetAdapter() override;
    void ReadMemBlk(unsigned int address, void* buffer, unsigned int size) override;
    void WriteMemBlk(unsigned int address, const void* data, unsigned int size) override;
    void SetTRST(bool level) override;
    void SetSYS_RST(bool level) override;
    // Captures the complement of the value shifted in (low `length` bits).
    unsigned int ShiftIR(unsigned int value, int length, TapState end) override;
    // Captures each input byte XOR 0xA5.
    void ShiftDR(const unsigned char* in, unsigned char* out, int length,
                 TapState end) override;
    void RunTest(unsigned int count) override;
    void SetFrequency(unsigned int hertz) override;

    // The next call of the operation named `op` ("Open", "ShiftIR", ...)
    // throws std::runtime_error(message); `times` calls fail, -1 for all.
    void FailOn(const std::string& op, const std::string& message, int times = 1);

    // Benchmarks turn call recording off so the fake costs next to nothing.
    void SetRecording(bool on) { m_recording = on; }

    bool CallMade(const std::string& prefix) const;

    bool LastTrst() const { return m_trst; }

private:
    void Record(const std::string& call);

    std::atomic<bool> m_recording{true};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::map<std::string, std::pair<std::string, int>> m_failures;
    // Memory in 4 KiB pages, made when first written; unwritten bytes read
    // as a pattern of their address.
    static constexpr uint32_t kPage = 4096;
    static unsigned char Unwritten(uint32_t address) { return static_cast<unsigned char>(address * 7 + 1); }
    std::map<uint32_t, std::vector<uint8_t>> m_memory;
};

// A holder source that creates a fresh CFakeAdapter object for each name on
// every renumerate, as a real bus scan does; each new object's chip name is
// "instance N" (N counts objects made), so tests can tell objects apart.
CJTAGHolder::Source FakeAdapterSource(std::vector<std::string> names,
                                      std::shared_ptr<std::atomic<int>> made = nullptr);
