#include "tests/support/FakeAdapter.h"

#include <algorithm>
#include <cstring>

#include <stdexcept>

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
}

void CFakeAdapter::SetSYS_RST(bool level)
{
    Record(std::string("SetSYS_RST ") + (level ? "1" : "0"));
    m_sysRst = level;
}

unsigned int CFakeAdapter::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    if (m_recording)
        Record("ShiftIR " + std::to_string(value) + " " + std::to_string(length) + " " +
           std::to_string(static_cast<int>(end)));
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
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    for (size_t i = 0; i < bytes; ++i)
        out[i] = in[i] ^ 0xA5;
}

void CFakeAdapter::RunTest(unsigned int count) { Record("RunTest " + std::to_string(count)); }

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
