#include "alarms/AlarmDispatch.h"

#include <openssl/crypto.h>

#include <memory>

#include "alarms/AlarmMessage.h"
#include "platform/Clock.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "smtp/ErrorMessages.h"
#include "ui/Dialog.h"
#include "ui/MessageBox.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;

void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

// The stored value, or the dispatch's own default where it has one.
std::string ReadForDispatch(const values::Value& value, const std::string& suffix) {
  const char* fallback = value.dispatchDefault != nullptr ? value.dispatchDefault : value.defaultText;
  return ProfileStore::Instance().ReadText(ProfileStore::ValueName(value.pattern, suffix), fallback);
}

}  // namespace

CZRKSMTPException ConnectionFailed() {
  return CZRKSMTPException(FACILITY_ITF, IDS_CONNECTION_FAILED, std::string());
}

void ConnectSession(CZRKSMTPConnection& session, const ServerSettings& settings,
                    const std::string& userName, const std::string& password) {
  if (session.IsConnected()) session.Disconnect(true);
  if (settings.port < 1 || settings.port > 65535 || settings.security < 0 || settings.security > 2)
    throw CZRKSMTPException(FACILITY_WIN32, WSAEINVAL, std::string());
  session.SetSecurity(static_cast<SMTPSecurity>(settings.security));
  session.Connect(settings.server, static_cast<SMTPAuthMethod>(settings.authMethod), userName,
                  password, static_cast<uint16_t>(settings.port));
  if (!session.IsConnected()) throw ConnectionFailed();
}

int ReadSecuritySetting(const std::string& suffix) {
  return ProfileStore::Instance().ReadInt(values::MailSecurity, suffix);
}

AlarmDispatcher::~AlarmDispatcher() {
  Wipe(mailUserName);
  Wipe(mailPassword);
}

void AlarmDispatcher::Send(AlarmKind kind, AlarmMailHost& host) {
  const bool temperature = kind == AlarmKind::Temperature;
  ProfileStore& settings = ProfileStore::Instance();
  TextFileWriter& log = DispatchLogStream();
  if (!log.IsOpen()) {
    std::string why;
    if (!OpenEmailErrorLog(log, &why))
      ui::ShowMessage(std::string(kMsgLogNotOpened) + "\n" + why, ui::MessageIcon::Warning);
  }
  auto write = [&log](const std::string& lines) {
    if (!log.IsOpen()) return;
    log.Write(lines);
    log.Flush();
  };

  host.SaveControls();
  const std::string suffix = host.SettingsName();
  ServerSettings server;
  server.server = settings.ReadText(values::ServerName, suffix);
  write(logline::Header() + logline::Connecting(LogTimestamp(NowSeconds()), kind, server.server));

  mailPort = settings.ReadInt(values::PortNumber, suffix);
  mailAuthMethod = settings.ReadInt(values::Authenticate, suffix);
  settings.ReadProtectedText(ProfileStore::ValueName(values::UsernameE.pattern, suffix), mailUserName);
  settings.ReadProtectedText(ProfileStore::ValueName(values::PasswordE.pattern, suffix), mailPassword);
  mailSecurity = ReadSecuritySetting(suffix);
  server.port = mailPort;
  server.authMethod = mailAuthMethod;
  server.security = mailSecurity;
  // Both kinds mail the temperature alarm's recipients from its sender.
  const std::string from = settings.ReadText(values::EmailTempFrom, suffix);
  const std::string to = ReadForDispatch(values::EmailTempTo, suffix);
  const std::string cc = ReadForDispatch(values::EmailTempCC, suffix);

  int sendStatus = 0;
  std::string error;
  {
    ui::ScopedWaitCursor busy;
    try {
      ConnectSession(mailSession, server, mailUserName, mailPassword);
    } catch (const CZRKSMTPException& e) {
      error = ConnectErrorText(e, "\r\n");
      sendStatus = -1;
    }
  }
  write(logline::ConnectStatus(LogTimestamp(NowSeconds()), server.server, sendStatus));
  if (sendStatus != 0) {
    ui::ShowMessage("Error: Connect to server failed with error code " + std::to_string(sendStatus) +
                        ", " + error + ".",
                    ui::MessageIcon::Warning);
    return;
  }

  const std::string subject =
      ReadForDispatch(temperature ? values::EmailTempSubject : values::EmailHumSubject, suffix);
  const SensorValues reading = host.CurrentValues();
  const std::string body = AlarmBody(
      kind, currentSensorName, reading, AlarmTripPoints, DisplayUnit,
      ReadForDispatch(temperature ? values::EmailTempBodyL2 : values::EmailHumBodyL2, suffix),
      ReadForDispatch(temperature ? values::EmailTempBodyL3 : values::EmailHumBodyL3, suffix),
      ReadForDispatch(temperature ? values::EmailTempBodyL4 : values::EmailHumBodyL4, suffix));

  ui::ScopedWaitCursor busy;
  try {
    std::unique_ptr<CZRKSMTPMessage> message = BuildMailMessage(to, from, from, cc, "", subject, body);
    mailSession.SendMessage(*message);
  } catch (const CZRKSMTPException& e) {
    sendStatus = -2;
    error = SendErrorText(e, "\r\n");
  }
  const std::string time = LogTimestamp(NowSeconds());
  write(sendStatus != 0 ? logline::SendFailed(time, sendStatus, error)
                        : logline::Sent(time, to, cc, subject, body));
  try {
    mailSession.Disconnect(true);
  } catch (const CZRKSMTPException&) {
    // The connection is closed anyway.
  }
}

}  // namespace km7::alarms
