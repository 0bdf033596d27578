#include "alarms/AlarmMessage.h"

#include <cstdio>

#include "platform/Text.h"

namespace km7::alarms {
namespace {

constexpr char kDegree[] = "\xB0";

std::string UnitText(int unit) { return std::string(kDegree) + (unit == kUnitCelsius ? "C" : "F"); }

// Temperatures in the display unit.
double InUnit(double celsius, int unit) { return unit == kUnitCelsius ? celsius : ToFahrenheit(celsius); }

std::string ErrorText(const char* what, const CZRKSMTPException& e, const char* lineBreak) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(e.GetErrorCode()));
  std::string text = std::string("An error occured ") + what + ", Error:" + code + lineBreak +
                     "Description:" + e.GetErrorMessage();
  if (SMTPErrorFacility(e.GetErrorCode()) != FACILITY_ITF)
    text += ", Response:" + e.GetLastResponse();
  return text;
}

}  // namespace

std::unique_ptr<CZRKSMTPMessage> BuildMailMessage(std::string to, std::string senderName,
                                                  std::string senderAddress, std::string cc,
                                                  std::string bcc, std::string subject,
                                                  std::string body) {
  auto message = std::make_unique<CZRKSMTPMessage>();
  CZRKSMTPMessage::ParseAddressList(to, message->GetTo());
  if (!cc.empty()) CZRKSMTPMessage::ParseAddressList(cc, message->GetCc());
  if (!bcc.empty()) CZRKSMTPMessage::ParseAddressList(bcc, message->GetBcc());
  if (!subject.empty()) message->SetSubject(std::move(subject));
  if (!body.empty()) message->AddTextBody(body);
  if (!senderName.empty())
    message->SetFrom(CZRKSMTPAddress(std::move(senderName), std::move(senderAddress)));
  else
    message->SetFrom(CZRKSMTPAddress(std::string_view(senderAddress)));
  message->SetXMailer(std::string());
  message->SetDSNFlags(CZRKSMTPMessage::DSN_NONE);
  return message;
}

std::string ReadingLine(const std::string& sensor, const SensorValues& r, int unit) {
  return "Sensor: " + sensor + "   Temp: " + FormatFixed(InUnit(r.temperature, unit), 1) +
         UnitText(unit) + "  Hum: " + FormatFixed(r.humidity, 1) + "%  Dew: " +
         FormatFixed(InUnit(r.dewPoint, unit), 1) + UnitText(unit);
}

std::string AlarmLine(AlarmKind kind, double value, const AlarmBand& band, int unit) {
  const bool temperature = kind == AlarmKind::Temperature;
  const char* what = temperature ? "Temperature" : "Humidity";
  auto limit = [&](float tripPoint) {
    return temperature ? FormatFixed(InUnit(tripPoint, unit), 1) + kDegree
                       : FormatFixed(tripPoint, 1) + "%";
  };
  std::string line;
  if (band.highActive != 0 && value > band.high)
    line = std::string(what) + " has gone above " + limit(band.high) + "\n";
  if (band.lowActive != 0 && value < band.low)
    line = std::string(what) + " has gone below " + limit(band.low) + "\n";
  return line;
}

std::string AlarmBody(AlarmKind kind, const std::string& sensor, const SensorValues& r,
                      const AlarmBands& bands, int unit, const std::string& line2,
                      const std::string& line3, const std::string& line4) {
  const bool temperature = kind == AlarmKind::Temperature;
  std::string body = ReadingLine(sensor, r, unit) + "\n";
  body += AlarmLine(kind, temperature ? r.temperature : r.humidity,
                    temperature ? bands.temperature : bands.humidity, unit);
  body += line2 + "\n" + line3 + "\n" + line4 + "\n\n";
  return body;
}

std::string TestMailBody(const AlarmBands& bands, int unit, const std::string (&lines)[4]) {
  const bool celsius = unit == kUnitCelsius;
  auto temp = [&](float t) {
    return FormatFixed(celsius ? t : t * 1.8 + 32.0, 1) + kDegree + (celsius ? "C" : "F");
  };
  auto active = [](int flag) { return flag != 0 ? "" : "Not "; };
  std::string body = "Trip Points: HiTemp " + temp(bands.temperature.high) + ", LoTemp " +
                     temp(bands.temperature.low) + ", HiHum " + FormatFixed(bands.humidity.high, 1) +
                     "%, LoHum " + FormatFixed(bands.humidity.low, 1) + "%\n";
  body += std::string("HiTemp Alarm is ") + active(bands.temperature.highActive) + "Active\n";
  body += std::string("LoTemp Alarm is ") + active(bands.temperature.lowActive) + "Active\n";
  body += std::string("HiHum Alarm is ") + active(bands.humidity.highActive) + "Active\n";
  body += std::string("LoHum Alarm is ") + active(bands.humidity.lowActive) + "Active\n";
  for (const std::string& line : lines) body += line + "\n";
  return body;
}

std::string ConnectErrorText(const CZRKSMTPException& e, const char* lineBreak) {
  return ErrorText("connecting to the server", e, lineBreak);
}

std::string SendErrorText(const CZRKSMTPException& e, const char* lineBreak) {
  return ErrorText("sending the message", e, lineBreak);
}

}  // namespace km7::alarms
