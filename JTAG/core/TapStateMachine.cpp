#include "JTAG/core/TapStateMachine.h"

#include <map>
#include <stdexcept>
#include <utility>

namespace {

using Routes = std::map<std::pair<TapState, TapState>, TapStateMachine::Route>;

constexpr TapState TLR = TapState::TEST_LOGIC_RESET, RTI = TapState::RUN_TEST_IDLE, SDR = TapState::SHIFT_DR,
                   SIR = TapState::SHIFT_IR, E1DR = TapState::EXIT1_DR, E1IR = TapState::EXIT1_IR,
                   PDR = TapState::PAUSE_DR, PIR = TapState::PAUSE_IR;

// One table for the process, read only once built (every J-Link command and
// every FTDI batch tracks the TAP with a state of its own).
const Routes& RouteTable()
{
    // TMS bits in clocking order, bit 0 first; the comment names the states
    // passed. Each is the shortest path but for the rule of the header: into
    // a Shift state through Capture (so Pause-DR -> Shift-DR is five clocks
    // through Update and Capture, not Exit2 -> Shift-DR). A state to itself
    // is one clock where it is stable (TLR, RTI, Pause) and the loop through
    // Update and Capture for a Shift state.
    static const Routes routes = {
        {{TLR, TLR}, {0x01, 1}},   // TLR
        {{TLR, RTI}, {0x00, 1}},   // RTI
        {{TLR, SDR}, {0x02, 4}},   // RTI, SelDR, CapDR, SDR
        {{TLR, SIR}, {0x06, 5}},   // RTI, SelDR, SelIR, CapIR, SIR
        {{TLR, PDR}, {0x0A, 5}},   // RTI, SelDR, CapDR, E1DR, PDR
        {{TLR, PIR}, {0x16, 6}},   // RTI, SelDR, SelIR, CapIR, E1IR, PIR

        {{RTI, TLR}, {0x07, 3}},   // SelDR, SelIR, TLR
        {{RTI, RTI}, {0x00, 1}},   // RTI
        {{RTI, SDR}, {0x01, 3}},   // SelDR, CapDR, SDR
        {{RTI, SIR}, {0x03, 4}},   // SelDR, SelIR, CapIR, SIR
        {{RTI, PDR}, {0x05, 4}},   // SelDR, CapDR, E1DR, PDR
        {{RTI, PIR}, {0x0B, 5}},   // SelDR, SelIR, CapIR, E1IR, PIR

        {{SDR, TLR}, {0x1F, 5}},   // E1DR, UpdDR, SelDR, SelIR, TLR
        {{SDR, RTI}, {0x03, 3}},   // E1DR, UpdDR, RTI
        {{SDR, SDR}, {0x07, 5}},   // E1DR, UpdDR, SelDR, CapDR, SDR
        {{SDR, SIR}, {0x0F, 6}},   // E1DR, UpdDR, SelDR, SelIR, CapIR, SIR
        {{SDR, PDR}, {0x01, 2}},   // E1DR, PDR
        {{SDR, PIR}, {0x2F, 7}},   // E1DR, UpdDR, SelDR, SelIR, CapIR, E1IR, PIR

        {{SIR, TLR}, {0x1F, 5}},   // E1IR, UpdIR, SelDR, SelIR, TLR
        {{SIR, RTI}, {0x03, 3}},   // E1IR, UpdIR, RTI
        {{SIR, SDR}, {0x07, 5}},   // E1IR, UpdIR, SelDR, CapDR, SDR
        {{SIR, SIR}, {0x0F, 6}},   // E1IR, UpdIR, SelDR, SelIR, CapIR, SIR
        {{SIR, PDR}, {0x17, 6}},   // E1IR, UpdIR, SelDR, CapDR, E1DR, PDR
        {{SIR, PIR}, {0x01, 2}},   // E1IR, PIR

        {{E1DR, TLR}, {0x0F, 4}},  // UpdDR, SelDR, SelIR, TLR
        {{E1DR, RTI}, {0x01, 2}},  // UpdDR, RTI
        {{E1DR, SDR}, {0x03, 4}},  // UpdDR, SelDR, CapDR, SDR
        {{E1DR, SIR}, {0x07, 5}},  // UpdDR, SelDR, SelIR, CapIR, SIR
        {{E1DR, PDR}, {0x00, 1}},  // PDR
        {{E1DR, PIR}, {0x17, 6}},  // UpdDR, SelDR, SelIR, CapIR, E1IR, PIR

        {{E1IR, TLR}, {0x0F, 4}},  // UpdIR, SelDR, SelIR, TLR
        {{E1IR, RTI}, {0x01, 2}},  // UpdIR, RTI
        {{E1IR, SDR}, {0x03, 4}},  // UpdIR, SelDR, CapDR, SDR
        {{E1IR, SIR}, {0x07, 5}},  // UpdIR, SelDR, SelIR, CapIR, SIR
        {{E1IR, PDR}, {0x0B, 5}},  // UpdIR, SelDR, CapDR, E1DR, PDR
        {{E1IR, PIR}, {0x00, 1}},  // PIR

        {{PDR, TLR}, {0x1F, 5}},   // E2DR, UpdDR, SelDR, SelIR, TLR
        {{PDR, RTI}, {0x03, 3}},   // E2DR, UpdDR, RTI
        {{PDR, SDR}, {0x07, 5}},   // E2DR, UpdDR, SelDR, CapDR, SDR
        {{PDR, SIR}, {0x0F, 6}},   // E2DR, UpdDR, SelDR, SelIR, CapIR, SIR
        {{PDR, PDR}, {0x00, 1}},   // PDR
        {{PDR, PIR}, {0x2F, 7}},   // E2DR, UpdDR, SelDR, SelIR, CapIR, E1IR, PIR

        {{PIR, TLR}, {0x1F, 5}},   // E2IR, UpdIR, SelDR, SelIR, TLR
        {{PIR, RTI}, {0x03, 3}},   // E2IR, UpdIR, RTI
        {{PIR, SDR}, {0x07, 5}},   // E2IR, UpdIR, SelDR, CapDR, SDR
        {{PIR, SIR}, {0x0F, 6}},   // E2IR, UpdIR, SelDR, SelIR, CapIR, SIR
        {{PIR, PDR}, {0x17, 6}},   // E2IR, UpdIR, SelDR, CapDR, E1DR, PDR
        {{PIR, PIR}, {0x00, 1}},   // PIR
    };
    return routes;
}

}  // namespace

TapStateMachine::Route TapStateMachine::GetRoute(State target) const
{
    return RouteBetween(m_state, target);
}

TapStateMachine::Route TapStateMachine::RouteBetween(State from, State to)
{
    const Routes& routes = RouteTable();
    const auto it = routes.find({from, to});
    if (it == routes.end())
        throw std::runtime_error("A transition from " + StateName(from) + " to " + StateName(to) +
                                 " is not specified.");
    return it->second;
}

bool TapStateMachine::HasRoute(State from, State to)
{
    return RouteTable().count({from, to}) != 0;
}

TapStateMachine::State TapStateMachine::ExitOf(State shift)
{
    if (shift == SDR)
        return E1DR;
    if (shift == SIR)
        return E1IR;
    throw std::logic_error("a scan runs through SHIFT_DR or SHIFT_IR, not " + StateName(shift));
}

void TapStateMachine::CheckScanEnd(State shift, State end)
{
    const State exit = ExitOf(shift);
    if (end != exit)
        RouteBetween(exit, end);
}

std::string TapStateMachine::StateName(State state)
{
    switch (state) {
    case TapState::TEST_LOGIC_RESET: return "TEST_LOGIC_RESET";
    case TapState::RUN_TEST_IDLE: return "RUN_TEST_IDLE";
    case TapState::SHIFT_DR: return "SHIFT_DR";
    case TapState::SHIFT_IR: return "SHIFT_IR";
    case TapState::EXIT1_DR: return "EXIT1_DR";
    case TapState::EXIT1_IR: return "EXIT1_IR";
    case TapState::PAUSE_DR: return "PAUSE_DR";
    case TapState::PAUSE_IR: return "PAUSE_IR";
    }
    // The text clients have always received for a value outside the enum
    // (it reaches them in the error of a route that does not exist).
    return "UNKNOW_STATE";
}
