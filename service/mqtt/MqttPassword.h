#pragma once
// The broker password: read from a file, never from the command line, and
// the warnings about how it is kept and sent.
#include <filesystem>
#include <string>

#include "mqtt/MqttUrl.h"

namespace km7::mqtt {

// The first line of `file` (a trailing CR dropped). False with the reason in
// `error` when it cannot be read or is empty. `warning` is set when other
// users may read or change the file: the password is used all the same, as
// the service ran with it before and refusing would only stop it.
bool ReadPasswordFile(const std::filesystem::path& file, std::string& password, std::string& error,
                      std::string& warning);

// The warning for a password sent over an unencrypted connection; empty
// when the connection is encrypted or stays on this machine.
std::string ClearTextWarning(const BrokerUrl& broker);

}  // namespace km7::mqtt
