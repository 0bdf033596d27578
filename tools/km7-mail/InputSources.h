#pragma once
// Where km7-mail reads its inputs: files, "-" for standard input, and
// passwords typed without echo.
#include <iosfwd>
#include <string>

namespace km7::mail {

// Reads the whole file, or standard input for "-". A folder is refused.
bool ReadWholeFile(const std::string& path, std::istream& in, std::string& data, std::string& error);

// First line of the password source, without its line end. what names the
// password in messages ("password", "proxy password"). From a terminal
// (inIsTerminal) it is asked for and read without echo.
// A file other users can read gives a warning (the file is still used, as
// it may be meant that way).
bool ReadPassword(const std::string& source, std::istream& in, bool inIsTerminal, const char* what,
                  std::string& password, std::string& error, std::string* warning = nullptr);

}  // namespace km7::mail
