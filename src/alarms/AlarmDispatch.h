#pragma once
// Sending an alarm mail when the display tick finds a value outside its band:
// read the server and message settings of the open sensor, connect, compose,
// send, disconnect, and record every step in the diagnostic log. Runs on the
// user-interface thread and lets no exception of the mail client escape.
#include <cstdint>
#include <string>

#include "alarms/AlarmMessage.h"
#include "alarms/EmailErrorLog.h"
#include "smtp/SMTPConnection.h"

namespace km7::alarms {

// What a dispatch needs of the main window.
class AlarmMailHost {
 public:
  virtual ~AlarmMailHost() = default;
  // Copies the window's controls into its members.
  virtual void SaveControls() = 0;
  // The name the open sensor's settings are stored under (never a status
  // text such as "bad reading (n)").
  virtual std::string SettingsName() const = 0;
  // The sensor's latest values.
  virtual SensorValues CurrentValues() const = 0;
};

// The connection failure a session reports when Connect returned without
// being connected (0x80040066, "Connection failed").
CZRKSMTPException ConnectionFailed();

class AlarmDispatcher {
 public:
  AlarmDispatcher() = default;
  ~AlarmDispatcher();
  AlarmDispatcher(const AlarmDispatcher&) = delete;
  AlarmDispatcher& operator=(const AlarmDispatcher&) = delete;

  // One attempt: connection failures end in a warning box and log lines,
  // sending failures in log lines only.
  void Send(AlarmKind kind, AlarmMailHost& host);

  CZRKSMTPConnection mailSession;
  // Refreshed at every dispatch; a value that cannot be read keeps the last.
  int mailPort = 25;
  int mailAuthMethod = 0;
  int mailSecurity = 0;
  std::string mailUserName;
  std::string mailPassword;
};

// The server settings a connection uses, as stored for one sensor.
struct ServerSettings {
  std::string server;
  int port = 25;
  int authMethod = 0;
  int security = 0;  // SMTPSecurity: 0 none, 1 STARTTLS, 2 TLS
};

// The security mode stored for the sensor (absent: none).
int ReadSecuritySetting(const std::string& suffix);

// Opens session: disconnects it first when it is still connected, connects,
// and raises ConnectionFailed() when it is not connected afterwards. A port
// outside 1..65535, or a security mode this program does not know, is refused
// without a connection attempt: an unknown mode must not fall back to
// sending the password in the clear.
void ConnectSession(CZRKSMTPConnection& session, const ServerSettings& settings,
                    const std::string& userName, const std::string& password);

}  // namespace km7::alarms
