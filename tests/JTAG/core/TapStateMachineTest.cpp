// Every TMS route of TapStateMachine, clocked through the simulated TAP's
// own IEEE 1149.1 state function, must end in the state it is the route to,
// and be as short as the resume rule allows: a path into a Shift state comes
// from Capture (never from Exit2, never by staying in Shift).
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <stdexcept>

#include "JTAG/core/TapStateMachine.h"
#include "sim/tap/SimTap.h"

namespace {

using S = simtap::TapState;

S SimState(TapState state)
{
    switch (state) {
    case TapState::TEST_LOGIC_RESET: return S::TestLogicReset;
    case TapState::RUN_TEST_IDLE: return S::RunTestIdle;
    case TapState::SHIFT_DR: return S::ShiftDR;
    case TapState::SHIFT_IR: return S::ShiftIR;
    case TapState::EXIT1_DR: return S::Exit1DR;
    case TapState::EXIT1_IR: return S::Exit1IR;
    case TapState::PAUSE_DR: return S::PauseDR;
    case TapState::PAUSE_IR: return S::PauseIR;
    }
    throw std::logic_error("no such state");
}

bool IsShift(S s) { return s == S::ShiftDR || s == S::ShiftIR; }

// Clocks of the shortest path of at least one clock from `from` to `to`
// whose every step into a Shift state comes from Capture.
int ShortestUnderTheRule(S from, S to)
{
    std::map<S, int> seen;
    std::deque<std::pair<S, int>> queue;
    auto step = [&](S s, int clocks) {
        for (bool tms : {false, true}) {
            const S next = simtap::NextState(s, tms);
            if (IsShift(next) && s != S::CaptureDR && s != S::CaptureIR)
                continue;
            if (!seen.count(next)) {
                seen[next] = clocks + 1;
                queue.emplace_back(next, clocks + 1);
            }
        }
    };
    step(from, 0);
    while (!queue.empty()) {
        const auto [s, clocks] = queue.front();
        queue.pop_front();
        step(s, clocks);
    }
    return seen.count(to) ? seen[to] : -1;
}

}  // namespace

TEST(TapStateMachine, EveryRouteIsTheShortestThatCapturesBeforeShifting)
{
    int routes = 0;
    for (int from = 0; from <= static_cast<int>(TapState::PAUSE_IR); ++from) {
        for (int to = 0; to <= static_cast<int>(TapState::PAUSE_IR); ++to) {
            const TapState f = static_cast<TapState>(from), t = static_cast<TapState>(to);
            const std::string what = TapStateMachine::StateName(f) + " -> " + TapStateMachine::StateName(t);
            TapStateMachine machine;
            machine.SetState(f);
            const bool intoExit1 = t == TapState::EXIT1_DR || t == TapState::EXIT1_IR;
            ASSERT_EQ(!intoExit1, TapStateMachine::HasRoute(f, t)) << what;
            if (intoExit1) {
                try {
                    machine.GetRoute(t);
                    ADD_FAILURE() << what << " has a route";
                } catch (const std::runtime_error& e) {
                    EXPECT_EQ("A transition from " + TapStateMachine::StateName(f) + " to " +
                                  TapStateMachine::StateName(t) + " is not specified.",
                              e.what());
                }
                continue;
            }
            const TapStateMachine::Route route = machine.GetRoute(t);
            ++routes;
            ASSERT_GE(route.count, 1) << what;
            ASSERT_LE(route.count, TapStateMachine::kMaxRouteClocks) << what;
            // Bits beyond the count are never clocked and must be clear.
            EXPECT_EQ(route.tms >> route.count, 0) << what;
            S state = SimState(f);
            for (int bit = 0; bit < route.count; ++bit) {
                const S next = simtap::NextState(state, (route.tms >> bit) & 1);
                EXPECT_FALSE(IsShift(next) && state != S::CaptureDR && state != S::CaptureIR)
                    << what << " enters Shift from " << simtap::TapStateName(state);
                state = next;
            }
            EXPECT_STREQ(simtap::TapStateName(SimState(t)), simtap::TapStateName(state)) << what;
            EXPECT_EQ(ShortestUnderTheRule(SimState(f), SimState(t)), route.count) << what;
            EXPECT_EQ(f, machine.GetState()) << "GetRoute moved the state";
        }
    }
    // From each of the eight states to each of the six a scan can rest in.
    EXPECT_EQ(routes, 48);
    // A value outside the enum has a name clients know.
    EXPECT_EQ("UNKNOW_STATE", TapStateMachine().GetTapStateName(static_cast<TapState>(8)));
    EXPECT_FALSE(TapStateMachine::HasRoute(TapState::RUN_TEST_IDLE, static_cast<TapState>(-1)));
}

// Where a scan may end: its own Exit1 state or anywhere the table leads from
// there; the refusal names the Exit1 state and the end state.
TEST(TapStateMachine, ScanEnds)
{
    struct Case {
        TapState shift, end;
        const char* refusal;  // nullptr: accepted
    };
    const Case cases[] = {
        {TapState::SHIFT_DR, TapState::EXIT1_DR, nullptr},
        {TapState::SHIFT_DR, TapState::SHIFT_DR, nullptr},
        {TapState::SHIFT_IR, TapState::TEST_LOGIC_RESET, nullptr},
        {TapState::SHIFT_IR, TapState::PAUSE_DR, nullptr},
        {TapState::SHIFT_DR, TapState::EXIT1_IR, "A transition from EXIT1_DR to EXIT1_IR is not specified."},
        {TapState::SHIFT_IR, static_cast<TapState>(8), "A transition from EXIT1_IR to UNKNOW_STATE is not specified."},
    };
    for (const Case& c : cases) {
        try {
            TapStateMachine::CheckScanEnd(c.shift, c.end);
            EXPECT_EQ(nullptr, c.refusal) << c.refusal;
        } catch (const std::runtime_error& e) {
            ASSERT_NE(nullptr, c.refusal) << e.what();
            EXPECT_STREQ(c.refusal, e.what());
        }
    }
}
