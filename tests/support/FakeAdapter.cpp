#include "tests/support/FakeAdapter.h"

#include <algorithm>
#include <cstring>

#include <stdexcept>

#include "base/ByteOrder.h"

CFakeAdapter::CFakeAdapter(const AdapterContext& context, const std::string& name, const std::string& chip)
    : CNonAsyncJTAG(context)
{
    m_name = name;
    m_chipName = chip;
    m_versionString = "fake-1";
    m_versionNumber = 1;
}

void CFakeAdapter::Record(const std::string& call)
{
    if (!m_recording)
        return;
    std::string op = call.substr(0, call.find(' '));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
    auto it = m_failures.find(op);
    if (it != m_failures.end() && it->second.second != 0) {
        if (it->second.second > 0)
            --it->second.second;
        throw std::runtime_error(it->second.first);
    }
}

void CFakeAdapter::FailOn(const std::string& op, const std::string& message, int times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures[op] = {message, times};
}

bool CFakeAdapter::CallMade(const std::string& prefix) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& call : m_calls)
        if (call.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

void CFakeAdapter::Open()
{
    Record("Open");
    CJTAG::Open();
}

void CFakeAdapter::Close()
{
    Record("Close");
    CJTAG::Close();
}

void CFakeAdapter::ResetAdapter() { Record("ResetAdapter"); }

void CFakeAdapter::ReadMemBlk(unsigned int address, void* buffer, unsigned int size)
{
    Record("ReadMemBlk " + std::to_string(address) + " " + std::to_string(size));
    auto* out = static_cast<unsigned char*>(buffer);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (unsigned int i = 0; i < size;) {
        const uint32_t at = address + i;
        const uint32_t offset = at % kPage;
        const unsigned int n = std::min<unsigned int>(size - i, kPage - offset);
        auto it = m_memory.find(at / kPage);
        if (it != m_memory.end()) {
            std::memcpy(out + i, it->second.data() + offset, n);
        } else {
            for (unsigned int k = 0; k < n; ++k)
                out[i + k] = Unwritten(at + k);
        }
        i += n;
    }
}

void CFakeAdapter::WriteMemBlk(unsigned int address, const void* data, unsigned int size)
{
    Record("WriteMemBlk " + std::to_string(address) + " " + std::to_string(size));
    const auto* in = static_cast<const unsigned char*>(data);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (unsigned int i = 0; i < size;) {
        const uint32_t at = address + i;
        const uint32_t offset = at % kPage;
        const unsigned int n = std::min<unsigned int>(size - i, kPage - offset);
        auto& page = m_memory[at / kPage];
        if (page.empty()) {
            page.resize(kPage);
            const uint32_t base = at - offset;
            for (uint32_t k = 0; k < kPage; ++k)
                page[k] = Unwritten(base + k);
        }
        std::memcpy(page.data() + offset, in + i, n);
        i += n;
    }
}

void CFakeAdapter::SetTRST(bool level)
{
    Record(std::string("SetTRST ") + (level ? "1" : "0"));
    m_trst = level;
    if (m_chain)
        m_chain->SetTrst(level);
}

void CFakeAdapter::SetSYS_RST(bool level)
{
    Record(std::string("SetSYS_RST ") + (level ? "1" : "0"));
    m_sysRst = level;
}

namespace {

simtap::TapState ChainState(TapState end)
{
    switch (end) {
    case TapState::TEST_LOGIC_RESET: return simtap::TapState::TestLogicReset;
    case TapState::RUN_TEST_IDLE: return simtap::TapState::RunTestIdle;
    case TapState::SHIFT_DR: return simtap::TapState::ShiftDR;
    case TapState::SHIFT_IR: return simtap::TapState::ShiftIR;
    case TapState::EXIT1_DR: return simtap::TapState::Exit1DR;
    case TapState::EXIT1_IR: return simtap::TapState::Exit1IR;
    case TapState::PAUSE_DR: return simtap::TapState::PauseDR;
    case TapState::PAUSE_IR: return simtap::TapState::PauseIR;
    }
    throw std::logic_error("end state " + std::to_string(static_cast<int>(end)) + " is not a TAP state");
}

}  // namespace

unsigned int CFakeAdapter::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    if (m_recording)
        Record("ShiftIR " + std::to_string(value) + " " + std::to_string(length) + " " +
           std::to_string(static_cast<int>(end)));
    if (m_chain) {
        unsigned char in[4], out[4] = {};
        WriteLE32(in, value);
        m_chain->ScanInto(true, in, static_cast<size_t>(length), ChainState(end), out);
        return ReadLE32(out);
    }
    const unsigned int mask = length == 32 ? 0xFFFFFFFFu : ((1u << length) - 1);
    return ~value & mask;
}

void CFakeAdapter::ShiftDR(const unsigned char* in, unsigned char* out, int length,
                           TapState end)
{
    if (length < 0)
        throw std::logic_error("negative scan length");
    if (m_recording)
        Record("ShiftDR " + std::to_string(length) + " " + std::to_string(static_cast<int>(end)));
    if (m_chain) {
        m_chain->ScanInto(false, in, static_cast<size_t>(length), ChainState(end), out);
        return;
    }
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    for (size_t i = 0; i < bytes; ++i)
        out[i] = in[i] ^ 0xA5;
}

void CFakeAdapter::RunTest(unsigned int count)
{
    Record("RunTest " + std::to_string(count));
    if (m_chain)
        m_chain->RunTestIdle(count);
}

void CFakeAdapter::ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                                 unsigned int bits)
{
    if (m_recording)
        Record("ClockSequence " + std::to_string(bits));
    if (!m_chain) {
        CJTAG::ClockSequence(tms, tdi, tdo, bits);
        return;
    }
    // The chain walks its sixteen states itself: it is its own tracked state.
    std::fill(tdo, tdo + (static_cast<size_t>(bits) + 7) / 8, 0);
    for (unsigned int k = 0; k < bits; ++k) {
        const bool tmsBit = (tms[k / 8] >> (k % 8)) & 1;
        const bool tdiBit = (tdi[k / 8] >> (k % 8)) & 1;
        if (m_chain->Clock(tmsBit, tdiBit))
            tdo[k / 8] |= static_cast<unsigned char>(1u << (k % 8));
    }
}

void CFakeAdapter::AttachChain(const std::vector<simtap::TapConfig>& taps)
{
    m_chain = std::make_unique<simtap::Chain>(taps);
}

uint64_t CFakeAdapter::ChainClocks() const { return m_chain ? m_chain->ClockCount() : 0; }

void CFakeAdapter::SetFrequency(unsigned int hertz)
{
    Record("SetFrequency " + std::to_string(hertz));
}

CJTAGHolder::Source FakeAdapterSource(std::vector<std::string> names,
                                      std::shared_ptr<std::atomic<int>> made)
{
    if (!made)
        made = std::make_shared<std::atomic<int>>(0);
    return [names, made](CJTAGHolder::Adapters& adapters, const AdapterContext& context) {
        for (const auto& name : names)
            adapters.push_back(std::make_shared<CFakeAdapter>(
                context, name, "instance " + std::to_string(++*made)));
    };
}

CJTAGHolder::Source ChainedFakeAdapterSource(std::vector<std::string> names, const std::string& chain)
{
    const std::vector<simtap::TapConfig> taps = simtap::ParseChain(chain);
    return [names, taps](CJTAGHolder::Adapters& adapters, const AdapterContext& context) {
        for (const auto& name : names) {
            auto fake = std::make_shared<CFakeAdapter>(context, name);
            fake->AttachChain(taps);
            adapters.push_back(fake);
        }
    };
}
