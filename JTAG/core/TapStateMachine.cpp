#include "JTAG/core/TapStateMachine.h"

#include <map>
#include <stdexcept>
#include <utility>

namespace {

using Routes = std::map<std::pair<TapState, TapState>, TapStateMachine::Route>;

// One table for the process, read only once built (every J-Link command
// tracks the TAP with a machine of its own).
const Routes& RouteTable()
{
    // TMS bits in clocking order, bit 0 first. From a Pause state back into a
    // Shift state the routes pass Update and Capture on purpose: a register
    // resumed from Pause is updated and captured again.
    static const Routes routes = {
        {{TapState::TEST_LOGIC_RESET, TapState::TEST_LOGIC_RESET}, {0x01, 1}},
        {{TapState::TEST_LOGIC_RESET, TapState::RUN_TEST_IDLE}, {0x00, 1}},
        {{TapState::TEST_LOGIC_RESET, TapState::SHIFT_DR}, {0x02, 4}},
        {{TapState::TEST_LOGIC_RESET, TapState::SHIFT_IR}, {0x06, 5}},
        {{TapState::RUN_TEST_IDLE, TapState::RUN_TEST_IDLE}, {0x00, 1}},
        {{TapState::RUN_TEST_IDLE, TapState::TEST_LOGIC_RESET}, {0x07, 3}},
        {{TapState::RUN_TEST_IDLE, TapState::SHIFT_DR}, {0x01, 3}},
        {{TapState::RUN_TEST_IDLE, TapState::SHIFT_IR}, {0x03, 4}},
        {{TapState::EXIT1_DR, TapState::RUN_TEST_IDLE}, {0x01, 2}},
        {{TapState::EXIT1_IR, TapState::RUN_TEST_IDLE}, {0x01, 2}},
        {{TapState::EXIT1_DR, TapState::PAUSE_DR}, {0x00, 1}},
        {{TapState::EXIT1_IR, TapState::PAUSE_IR}, {0x00, 1}},
        {{TapState::PAUSE_DR, TapState::SHIFT_DR}, {0x07, 5}},
        {{TapState::PAUSE_DR, TapState::SHIFT_IR}, {0x0F, 6}},
        {{TapState::PAUSE_DR, TapState::RUN_TEST_IDLE}, {0x03, 3}},
        {{TapState::PAUSE_IR, TapState::SHIFT_IR}, {0x0F, 6}},
        {{TapState::PAUSE_IR, TapState::SHIFT_DR}, {0x07, 5}},
        {{TapState::PAUSE_IR, TapState::RUN_TEST_IDLE}, {0x03, 3}},
    };
    return routes;
}

}  // namespace

TapStateMachine::Route TapStateMachine::GetRoute(State target) const
{
    const Routes& routes = RouteTable();
    const auto it = routes.find({m_state, target});
    if (it == routes.end())
        throw std::runtime_error("A transition from " + GetTapStateName(m_state) + " to " +
                                 GetTapStateName(target) + " is not specified.");
    return it->second;
}

std::string TapStateMachine::GetTapStateName(State state) const
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
