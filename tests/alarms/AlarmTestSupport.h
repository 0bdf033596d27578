#pragma once
// Support for the alarm e-mail tests: private settings, data and state
// folders for the whole program, and a loopback port that refuses connections.
#include <gtest/gtest.h>

#include <string>

#include "support/RefusingPort.h"

namespace km7::test {

// The folder the settings, key and diagnostic log folders live in.
std::string AlarmTestRoot();

}  // namespace km7::test
