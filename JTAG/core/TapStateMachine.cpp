#include "JTAG/core/TapStateMachine.h"

#include <stdexcept>

TapStateMachine::TapStateMachine()
{
    // TMS bits in clocking order, bit 0 first. From a Pause state back into a
    // Shift state the routes pass Update and Capture on purpose: a register
    // resumed from Pause is updated and captured again.
    m_routes = {
        {{TEST_LOGIC_RESET, TEST_LOGIC_RESET}, {0x01, 1}},
        {{TEST_LOGIC_RESET, RUN_TEST_IDLE}, {0x00, 1}},
        {{TEST_LOGIC_RESET, SHIFT_DR}, {0x02, 4}},
        {{TEST_LOGIC_RESET, SHIFT_IR}, {0x06, 5}},
        {{RUN_TEST_IDLE, RUN_TEST_IDLE}, {0x00, 1}},
        {{RUN_TEST_IDLE, TEST_LOGIC_RESET}, {0x07, 3}},
        {{RUN_TEST_IDLE, SHIFT_DR}, {0x01, 3}},
        {{RUN_TEST_IDLE, SHIFT_IR}, {0x03, 4}},
        {{EXIT1_DR, RUN_TEST_IDLE}, {0x01, 2}},
        {{EXIT1_IR, RUN_TEST_IDLE}, {0x01, 2}},
        {{EXIT1_DR, PAUSE_DR}, {0x00, 1}},
        {{EXIT1_IR, PAUSE_IR}, {0x00, 1}},
        {{PAUSE_DR, SHIFT_DR}, {0x07, 5}},
        {{PAUSE_DR, SHIFT_IR}, {0x0F, 6}},
        {{PAUSE_DR, RUN_TEST_IDLE}, {0x03, 3}},
        {{PAUSE_IR, SHIFT_IR}, {0x0F, 6}},
        {{PAUSE_IR, SHIFT_DR}, {0x07, 5}},
        {{PAUSE_IR, RUN_TEST_IDLE}, {0x03, 3}},
    };
}

TapStateMachine::Route TapStateMachine::GetRoute(State target) const
{
    auto it = m_routes.find({m_state, target});
    if (it == m_routes.end())
        throw std::runtime_error("A transition from " + GetTapStateName(m_state) + " to " +
                                 GetTapStateName(target) + " is not specified.");
    return it->second;
}

std::string TapStateMachine::GetTapStateName(State state) const
{
    switch (state) {
    case TEST_LOGIC_RESET: return "TEST_LOGIC_RESET";
    case RUN_TEST_IDLE: return "RUN_TEST_IDLE";
    case SHIFT_DR: return "SHIFT_DR";
    case SHIFT_IR: return "SHIFT_IR";
    case EXIT1_DR: return "EXIT1_DR";
    case EXIT1_IR: return "EXIT1_IR";
    case PAUSE_DR: return "PAUSE_DR";
    case PAUSE_IR: return "PAUSE_IR";
    }
    return "UNKNOW_STATE";
}
