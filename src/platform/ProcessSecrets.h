#pragma once
// What a program that holds passwords or tokens does about its own process.

namespace km7 {

// No core dump of this process, and no other process of the same user may
// read its memory (ptrace, /proc/PID/mem). Called first thing in main; false
// when the system refused (the program goes on).
bool KeepSecretsOutOfCoreDumps();

}  // namespace km7
