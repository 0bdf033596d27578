#pragma once
// What an alarm mail and the setup dialog's test mail say: the message built
// from the settings' texts, the reading line, the alarm line, the bodies and
// the error texts. Pure functions of their arguments.
#include <memory>
#include <string>

#include "alarms/EmailErrorLog.h"
#include "settings/OpenSensor.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPMessage.h"

namespace km7::alarms {

// A plain-text message: To always parsed (also when empty), Cc and Bcc when
// not empty, the subject and body when not empty. The sender is
// (senderName, senderAddress) when the name is not empty, else the address
// parsed from senderAddress. No mailer header, no delivery notifications.
std::unique_ptr<CZRKSMTPMessage> BuildMailMessage(std::string to, std::string senderName,
                                                  std::string senderAddress, std::string cc,
                                                  std::string bcc, std::string subject,
                                                  std::string body);

// The sensor's values a mail reports.
struct SensorValues {
  double temperature = 0.0;  // °C
  double humidity = 0.0;     // percent
  double dewPoint = 0.0;     // °C
};

// "Sensor: <name>   Temp: 20.0°C  Hum: 49.4%  Dew: 9.1°C" (or in °F when
// unit is not kUnitCelsius), without a line end.
std::string ReadingLine(const std::string& sensor, const SensorValues& r, int unit);

// The line saying which trip point the value has gone past, with its line
// end; empty when the value is inside the band (both comparisons strict).
// When both apply, the low one wins. Temperature trip points are printed in
// the unit; humidity ones as stored.
std::string AlarmLine(AlarmKind kind, double value, const AlarmBand& band, int unit);

// The alarm mail's body: the reading line, the alarm line, lines 2 to 4 and
// an empty line.
std::string AlarmBody(AlarmKind kind, const std::string& sensor, const SensorValues& r,
                      const AlarmBands& bands, int unit, const std::string& line2,
                      const std::string& line3, const std::string& line4);

// The test mail's body: the trip points in force, which of them are active,
// then the four body lines as the dialog shows them.
std::string TestMailBody(const AlarmBands& bands, int unit, const std::string (&lines)[4]);

// The texts a failed connection or send is reported with. The dispatch
// separates the two lines with "\r\n", the setup dialog with "\n". The
// server's last response is added unless the failure is a protocol one of
// the client itself.
std::string ConnectErrorText(const CZRKSMTPException& e, const char* lineBreak);
std::string SendErrorText(const CZRKSMTPException& e, const char* lineBreak);

}  // namespace km7::alarms
