// Every TMS route of TapStateMachine, clocked through the simulated TAP's
// own IEEE 1149.1 state function, must end in the state it is the route to.
#include <gtest/gtest.h>

#include <stdexcept>

#include "JTAG/core/TapStateMachine.h"
#include "sim/tap/SimTap.h"

namespace {

simtap::TapState SimState(TapStateMachine::State state)
{
    switch (state) {
    case TapStateMachine::TEST_LOGIC_RESET: return simtap::TapState::TestLogicReset;
    case TapStateMachine::RUN_TEST_IDLE: return simtap::TapState::RunTestIdle;
    case TapStateMachine::SHIFT_DR: return simtap::TapState::ShiftDR;
    case TapStateMachine::SHIFT_IR: return simtap::TapState::ShiftIR;
    case TapStateMachine::EXIT1_DR: return simtap::TapState::Exit1DR;
    case TapStateMachine::EXIT1_IR: return simtap::TapState::Exit1IR;
    case TapStateMachine::PAUSE_DR: return simtap::TapState::PauseDR;
    case TapStateMachine::PAUSE_IR: return simtap::TapState::PauseIR;
    }
    throw std::logic_error("no such state");
}

}  // namespace

TEST(TapStateMachine, EveryRouteEndsWhereItLeads)
{
    int routes = 0;
    for (int from = TapStateMachine::TEST_LOGIC_RESET; from <= TapStateMachine::PAUSE_IR; ++from) {
        for (int to = TapStateMachine::TEST_LOGIC_RESET; to <= TapStateMachine::PAUSE_IR; ++to) {
            TapStateMachine machine;
            machine.SetState(static_cast<TapStateMachine::State>(from));
            TapStateMachine::Route route;
            try {
                route = machine.GetRoute(static_cast<TapStateMachine::State>(to));
            } catch (const std::runtime_error&) {
                continue;  // no route in the table
            }
            ++routes;
            ASSERT_GE(route.count, 1) << from << "->" << to;
            ASSERT_LE(route.count, 6) << from << "->" << to;
            // Bits beyond the count are never clocked and must be clear.
            EXPECT_EQ(route.tms >> route.count, 0) << from << "->" << to;
            simtap::TapState state = SimState(static_cast<TapStateMachine::State>(from));
            for (int bit = 0; bit < route.count; ++bit)
                state = simtap::NextState(state, (route.tms >> bit) & 1);
            EXPECT_EQ(simtap::TapStateName(state), simtap::TapStateName(SimState(static_cast<TapStateMachine::State>(to))))
                << machine.GetTapStateName(static_cast<TapStateMachine::State>(from)) << " -> "
                << machine.GetTapStateName(static_cast<TapStateMachine::State>(to));
            EXPECT_EQ(machine.GetState(), from) << "GetRoute moved the state";
        }
    }
    // The table's eighteen routes, none lost.
    EXPECT_EQ(routes, 18);
}
