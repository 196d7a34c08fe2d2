// kestractl's scan commands: detect, irscan and drscan.
#include "client/kestractl/CommandParts.h"

#include <sstream>

using kestrad::client::BitBytes;
using kestrad::client::CClient;
using kestrad::client::TapState;
using kestrad::client::TapStateName;

namespace kestractl {

namespace {

// A refused scan closes the adapter on the server; reopen it for the next one.
bool ScanFits(CClient& c, const std::string& adapter, uint32_t bits)
{
    try {
        c.ShiftDR(std::vector<uint8_t>(BitBytes(bits), 0xFF), bits, TapState::RunTestIdle);
        return true;
    } catch (const kestrad::client::ServerError&) {
        c.Open(adapter);
        return false;
    }
}

// The longest data scan `adapter` takes, found by halving between what
// worked and what was refused (`refused` bits). The server does not report
// an adapter's limit, and the limits differ by kind (the maker's adapter
// takes a few dozen bits, the others far more), so it is measured.
uint32_t ScanLimit(CClient& c, const std::string& adapter, uint32_t refused)
{
    uint32_t good = 0, bad = refused;
    while (bad - good > 1) {
        const uint32_t mid = good + (bad - good) / 2;
        (ScanFits(c, adapter, mid) ? good : bad) = mid;
    }
    return good;
}

bool IsLengthRefusal(const std::string& message)
{
    return message.find("bit length") != std::string::npos ||
           message.find("limit") != std::string::npos;
}

// Why detect found no end of the chain when the adapter is the cause. Some
// adapters answer a long scan right after TRST (IDCODE selected) with the
// identification alone instead of refusing it; an instruction of ones
// (BYPASS in any IR of 4 bits or more) makes them scan, or refuse, for real.
// TRST restores IDCODE afterwards.
std::string ScanLimitHint(CClient& c, const std::string& adapter, uint32_t bits, uint32_t maxDevices)
{
    c.ShiftIR(0xF, 4, TapState::RunTestIdle);
    if (ScanFits(c, adapter, bits))
        return std::string();
    const uint32_t limit = ScanLimit(c, adapter, bits);
    c.SetTrst(false);
    c.SetTrst(true);
    const std::string hint =
        limit >= 64 ? "try --max-devices " + std::to_string((limit - 32) / 32)
                    : "detect needs at least 64 bits for one TAP; read the IDCODE with irscan "
                      "and drscan instead";
    return "adapter '" + adapter + "' cannot scan the whole chain: its scan limit is " +
           std::to_string(limit) + " bits, and " + std::to_string(maxDevices) + " devices need " +
           std::to_string(bits) + " (" + hint + ")";
}

}  // namespace

void DetectOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    st.number = 32;
    sub.add_option("--max-devices", st.number, "longest chain looked for (default 32)")
        ->check(CLI::Range(1, 1024));
}

Json RunDetect(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    // After TRST every TAP holds IDCODE (32 bits, bit 0 set) or, without one,
    // BYPASS (one bit, 0). Shifting ones through the whole chain brings the
    // registers out nearest-TDO first, followed by the ones we shifted in:
    // 32 ones in a row therefore mark the end of the chain.
    const uint32_t maxDevices = static_cast<uint32_t>(s.number);
    const uint32_t bits = 32 * maxDevices + 32;
    c.SetTrst(false);
    c.SetTrst(true);
    std::vector<uint8_t> ones(BitBytes(bits), 0xFF);
    std::vector<uint8_t> captured;
    try {
        captured = c.ShiftDR(ones, bits, TapState::RunTestIdle);
    } catch (const kestrad::client::ServerError& e) {
        if (!IsLengthRefusal(e.what()))
            throw;
        c.Open(s.adapter);
        throw ChainError(ScanLimitHint(c, s.adapter, bits, maxDevices));
    }
    auto bit = [&](uint32_t k) { return (captured[k / 8] >> (k % 8)) & 1; };

    Json devices = Json::array();
    uint32_t pos = 0;
    unsigned bypassCount = 0;
    bool ended = false;
    while (pos < bits && devices.size() <= maxDevices) {
        if (!bit(pos)) {
            Json d;
            d["position"] = devices.size();
            d["bypass"] = true;
            devices.push_back(d);
            ++bypassCount;
            ++pos;
            continue;
        }
        if (pos + 32 > bits)
            break;
        uint32_t id = 0;
        for (uint32_t k = 0; k < 32; ++k)
            id |= static_cast<uint32_t>(bit(pos + k)) << k;
        if (id == 0xFFFFFFFFu) {
            ended = true;
            break;
        }
        const unsigned bank = ((id >> 8) & 0xF) + 1;
        const unsigned code = (id >> 1) & 0x7F;
        Json d;
        d["position"] = devices.size();
        d["idcode"] = Hex32(id);
        d["version"] = id >> 28;
        d["part"] = Hex32((id >> 12) & 0xFFFF, 4);
        d["bank"] = bank;
        d["code"] = Hex32(code, 2);
        const char* maker = JedecManufacturer(bank, code);
        d["manufacturer"] = maker ? Json(maker) : Json(nullptr);
        devices.push_back(d);
        pos += 32;
    }
    if (!ended) {
        std::string limited;
        try {
            limited = ScanLimitHint(c, s.adapter, bits, maxDevices);
        } catch (const kestrad::client::ServerError&) {
            // No better explanation than the general one below.
        }
        if (!limited.empty())
            throw ChainError(limited);
    }
    if (!ended)
        throw ChainError(
            "no end of the chain within " + std::to_string(bits) +
            " bits: TDO stuck low, or more than " + std::to_string(maxDevices) +
            " TAPs (try --max-devices), or an adapter that cannot scan that many bits");
    Json out;
    out["adapter"] = s.adapter;
    out["count"] = devices.size();
    out["bypass"] = bypassCount;
    out["devices"] = devices;
    return out;
}

std::string RenderDetect(const Step&, const Json& r)
{
    std::ostringstream out;
    const size_t count = r.at("count").get<size_t>();
    out << r.at("adapter").get<std::string>() << ": " << count
        << (count == 1 ? " TAP" : " TAPs") << " (first nearest TDO), "
        << r.at("bypass").get<unsigned>() << " in BYPASS\n";
    for (const Json& d : r.at("devices")) {
        out << "  #" << d.at("position").get<size_t>() << "  ";
        if (d.contains("bypass")) {
            out << "BYPASS (no IDCODE)\n";
            continue;
        }
        out << d.at("idcode").get<std::string>() << "  version " << d.at("version").get<unsigned>()
            << "  part " << d.at("part").get<std::string>() << "  manufacturer bank "
            << d.at("bank").get<unsigned>() << " code " << d.at("code").get<std::string>();
        if (!d.at("manufacturer").is_null())
            out << " (" << d.at("manufacturer").get<std::string>() << ")";
        out << "\n";
    }
    return out.str();
}

void IrscanOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("VALUE", st.address, "instruction (0x hex, decimal)")->required()->check(Word32());
    sub.add_option("-l,--length", st.length, "IR length in bits, 1..32 (default 4)")
        ->check(CLI::Range(1, 32));
    AddEndOption(sub, st);
}

void CheckIrscan(const Step& s)
{
    const uint32_t len = s.length.value_or(4);
    if (len < 32 && (s.address >> len) != 0)
        throw UsageError("value " + Hex32(s.address, 1) + " does not fit in " +
                         std::to_string(len) + " bits");
}

Json RunIrscan(CSession& session, const Step& s)
{
    CheckIrscan(s);
    CClient& c = session.Client();
    const uint32_t len = s.length.value_or(4);
    uint32_t captured = c.ShiftIR(s.address, len, EndState(s));
    if (len < 32)
        captured &= (1u << len) - 1;
    Json out;
    out["adapter"] = s.adapter;
    out["value"] = Hex32(s.address, (len + 3) / 4);
    out["length"] = len;
    out["end"] = TapStateName(EndState(s));
    out["captured"] = Hex32(captured, (len + 3) / 4);
    return out;
}

void DrscanOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("HEXBITS", st.value, "bits to shift in as one hex number (bit 0 first "
                                        "out of the least significant digit)")
        ->required();
    sub.add_option("-l,--length", st.length, "scan length in bits")
        ->required()
        ->check(CLI::Range(1u, 0x7FFFFFF8u));
    AddEndOption(sub, st);
    sub.add_flag("--no-capture", st.noCapture,
                 "do not return the captured bits (a write-only scan in a batch)");
}

void CheckDrscan(const Step& s) { HexToBits(s.value, *s.length); }

Json RunDrscan(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    const uint32_t len = *s.length;
    const std::vector<uint8_t> in = HexToBits(s.value, len);
    std::vector<uint8_t> out;
    try {
        out = c.ShiftDR(in, len, EndState(s));
    } catch (const kestrad::client::ServerError& e) {
        if (!IsLengthRefusal(e.what()) || len < 2)
            throw;
        c.Open(s.adapter);
        throw kestrad::client::ServerError(std::string(e.what()) + " (adapter '" + s.adapter +
                                           "' scans at most " +
                                           std::to_string(ScanLimit(c, s.adapter, len)) +
                                           " bits at once)");
    }
    Json j;
    j["adapter"] = s.adapter;
    j["length"] = len;
    j["end"] = TapStateName(EndState(s));
    if (!s.noCapture)
        j["captured"] = BitsToHex(out, len);
    return j;
}

std::string RenderCaptured(const Step&, const Json& result)
{
    return result.contains("captured") ? result.at("captured").get<std::string>() + "\n" : std::string();
}

}  // namespace kestractl
