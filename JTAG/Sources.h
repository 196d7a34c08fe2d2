// The adapter sources the server's holder scans: the USB bus, whose devices
// go to the back-end their USB ids name, then the network peers of the
// configuration. The one place that knows every back-end.
#pragma once

#include <vector>

#include "JTAG/core/JTAGHolder.h"

std::vector<CJTAGHolder::Source> DefaultSources();
