// TapStateMachine: the TAP states a scan may end in, and the TMS routes
// between them for back-ends that clock TMS themselves.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

class TapStateMachine {
public:
    enum State : int32_t {
        TEST_LOGIC_RESET = 0,
        RUN_TEST_IDLE = 1,
        SHIFT_DR = 2,
        SHIFT_IR = 3,
        EXIT1_DR = 4,
        EXIT1_IR = 5,
        PAUSE_DR = 6,
        PAUSE_IR = 7,
    };

    // TMS values to clock, bit 0 first, and the number of TCK clocks (1..6).
    struct Route {
        uint8_t tms;
        uint8_t count;
    };

    TapStateMachine();

    State GetState() const { return m_state; }
    void SetState(State state) { m_state = state; }

    // Route from the current state to target; throws std::runtime_error when
    // the table has none. Does not change the current state.
    Route GetRoute(State target) const;

    std::string GetTapStateName(State state) const;

private:
    std::map<std::pair<State, State>, Route> m_routes;
    State m_state = TEST_LOGIC_RESET;
};
