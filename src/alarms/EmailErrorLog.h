#pragma once
// The e-mail diagnostic log "emailerrstream.txt": where it lives, its line
// formats, and the one stream the alarm dispatches keep open until the exit
// sequence. The setup dialog opens the same file anew for each of its actions.
//
// The file holds Windows-1252 bytes with text-mode line ends (every "\n"
// written becomes "\r\n"). It holds mail addresses, so its folder is private
// (0700) and the file is made 0600.
#include <ctime>
#include <string>
#include <string_view>

#include "alarms/AlarmKind.h"
#include "platform/TextFileWriter.h"

namespace km7::alarms {

inline constexpr char kEmailLogFileName[] = "emailerrstream.txt";
inline constexpr char kEmailLogVersion[] = "1.15";
inline constexpr char kMsgLogNotOpened[] = "The log file emailerrstream.txt could not be opened.";

// The one place that decides where the log lives:
// $XDG_STATE_HOME/km7/emailerrstream.txt, else ~/.local/state/km7/...
// Empty when there is no home folder either.
std::string EmailErrorLogPath();

// Opens the log for appending, making its folder (0700) and the file (0600)
// when missing. On failure `why` (when given) names the path and the reason.
bool OpenEmailErrorLog(TextFileWriter& log, std::string* why = nullptr);

// Server text made safe for the log and the boxes: control characters
// (a bare CR or LF too, which could forge a log line, and the escape of a
// terminal sequence) and the bytes Windows-1252 leaves undefined are shown
// as \xNN, never obeyed. A line end at the very end is dropped.
std::string VisibleServerText(std::string_view text);

// The classic asctime text of the local time, without its line feed:
// "Sun Dec 06 16:53:12 2026" (English names, day of month with two digits).
std::string LogTimestamp(std::time_t when);

// The lines of the log, in the order they are written. `time` is the
// timestamp of the step writing them.
namespace logline {
std::string Header();                                          // "\n\nLogFile version 1.15\n"
std::string TestHeader(std::string_view time);                 // with the time on its own line
std::string Connecting(std::string_view time, AlarmKind kind, std::string_view server);
// The same for any kind of mail ("Temperature", "Sensor lost", ...).
std::string Connecting(std::string_view time, std::string_view kind, std::string_view server);
std::string ConnectStatus(std::string_view time, std::string_view server, int status);
// A failed connection: the status and what went wrong.
std::string ConnectFailed(std::string_view time, std::string_view server, int status,
                          std::string_view error);
// The outbox's own lines: what happened to a message, named by its kind and
// sensor.
std::string Queued(std::string_view time, std::string_view kind, std::string_view sensor,
                   std::string_view where);
std::string Attempt(std::string_view time, int number, std::string_view kind,
                    std::string_view sensor, std::string_view outcome);
std::string GivenUp(std::string_view time, std::string_view kind, std::string_view sensor,
                    std::string_view why);
std::string Outbox(std::string_view time, std::string_view what);
// A failed send. It ends with a line end, so the next entry starts a line
// of its own.
std::string SendFailed(std::string_view time, int status, std::string_view error);
// "Emailed a message", then the To, Cc, Subject and body lines.
std::string Sent(std::string_view time, std::string_view to, std::string_view cc,
                 std::string_view subject, std::string_view body);
std::string TestClicked(std::string_view time);
std::string TestConnectStatus(std::string_view time, std::string_view server, int status);
// The connection test after a server change: its real status, and
// "which is OK" or the error text.
std::string ServerChange(std::string_view time, std::string_view server, int status,
                         std::string_view outcome);
}  // namespace logline

}  // namespace km7::alarms
