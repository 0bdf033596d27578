// Only the carrier of the test programs' precompiled headers (see
// tests/CMakeLists.txt); its main() is GoogleTest's, and it is never run.
