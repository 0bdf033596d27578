#pragma once
// The version of km7's programs: project(VERSION) in the top CMakeLists.txt,
// the one place it is written.

namespace km7 {

// "major.minor.patch"
const char* Version();

}  // namespace km7
