#pragma once
// The transfer encodings of the mail text (Base64, quoted-printable, the
// Q encoding of header words), dot-stuffing of the DATA stream and the
// unique-identifier text used for MIME boundaries and envelope ids.
// All texts are byte strings (Windows-1252); nothing converts character sets.
#include <cstddef>
#include <string>
#include <string_view>

namespace km7 {

// Base64Encode flags.
inline constexpr int BASE64_NO_PADDING = 1;      // final group without "="
inline constexpr int BASE64_NO_LINE_BREAKS = 2;  // one line, as SASL wants

// QPEncode flags.
inline constexpr int QP_DOUBLE_LEADING_DOTS = 1;  // "." at a line start -> ".."
inline constexpr int QP_FINAL_SOFT_BREAK = 2;     // append "=\r\n"

// Standard alphabet with "=" padding. Without BASE64_NO_LINE_BREAKS a "\r\n"
// follows every 76 characters made from complete groups; the final partial
// group follows the last complete ones directly, so the text ends in "\r\n"
// only when the input length is a non-zero multiple of 57.
// Raises CZRKSMTPException 540 (FACILITY_ITF) when memory runs out.
std::string Base64Encode(std::string_view bytes, int flags = 0);

// Skips every character outside the alphabet (line breaks, "=", junk); a
// final group of 2 or 3 characters gives 1 or 2 bytes, a lone final
// character nothing; a zero byte ends the text.
// Raises CZRKSMTPException 539 when memory runs out.
std::string Base64Decode(std::string_view text);

// Quoted-printable without hard line breaks: CR and LF are encoded like any
// other control byte; "=\r\n" soft breaks keep lines at most 68 characters.
// Raises CZRKSMTPException 549 when memory runs out.
std::string QPEncode(std::string_view bytes, int flags = 0);

// One encoded word "=?charset?Q?...?=". Space is written "=20", never "_".
// Raises CZRKSMTPException 550 when memory runs out.
std::string QEncode(std::string_view bytes, std::string_view charset);

// Every "\r\n", and every lone "\r" or "\n", becomes "\r\n".
std::string NormaliseLineEnds(std::string_view text);

// Makes a text safe for the DATA stream: a "." that starts the text or
// follows a "\r\n" is doubled, so the server's removal of one leading dot
// gives the text back unchanged and no line can end the data early.
std::string DotStuff(std::string_view text);

// A fresh random UUID as 8-4-4-4-12 lower-case hexadecimal digits.
// Raises CZRKSMTPException in FACILITY_RPC when no identifier can be made.
std::string MakeUniqueIdText();

// The envelope-id form: MakeUniqueIdText without "-", upper-cased (32 digits).
std::string MakeEnvelopeId();

}  // namespace km7
