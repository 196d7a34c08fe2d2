// JTAG clock frequencies as configuration entries and clients give them, and
// the one log line with which every adapter reports the clock it set.
//
// One parser serves every back-end: the configuration's frequency attribute
// goes through ParseFrequency (or ConfiguredFrequency, which falls back on a
// text that is none), and each back-end then clamps the hertz to what its
// device can do and says so with LogClock.
#pragma once

#include <cstdint>
#include <string>

class CLogger;

// "12MHZ", "700KHZ", "1000000HZ", "1.5MHz", or a plain number of hertz
// ("1000000"); any letter case, blanks around the number and the unit.
// Throws std::invalid_argument "invalid frequency string: " and the
// lower-cased text for anything else and for 0 Hz. More than 4294967295 Hz
// is read as that much (every device clamps far below).
uint32_t ParseFrequency(const std::string& text);

// The clock used when a configuration entry's text is no frequency.
constexpr uint32_t kFallbackFrequency = 6000000;

// The clock a configuration entry asks for: ParseFrequency of its text, or,
// for a text that is no frequency, kFallbackFrequency with the lines
// "Error: invalid frequency string: TEXT.\n" and
// "Setting 5b8d80 hz as adapter frequency\n".
uint32_t ConfiguredFrequency(const std::string& text, CLogger& log);

// "NAME: JTAG clock of ASKED Hz asked, USED Hz used\n": the one line every
// adapter logs when it sets its clock, at the normal level. `verboseWhenExact`
// (the configured clock, logged at every renumerate) puts a line whose two
// clocks agree at the verbose level.
void LogClock(CLogger& log, const std::string& adapter, uint64_t asked, uint64_t used,
              bool verboseWhenExact = false);
