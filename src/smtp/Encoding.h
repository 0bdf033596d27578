#pragma once
// The transfer encodings of the mail text (Base64, quoted-printable, the
// Q encoding of header words), dot-stuffing of the DATA stream and the
// unique-identifier text used for MIME boundaries and envelope ids.
// All texts are byte strings (Windows-1252); nothing converts character sets.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace km7 {

// Base64Encode flags.
inline constexpr int BASE64_NO_PADDING = 1;      // final group without "="
inline constexpr int BASE64_NO_LINE_BREAKS = 2;  // one line, as SASL wants

// QPEncode flags.
inline constexpr int QP_DOUBLE_LEADING_DOTS = 1;  // "." at a line start -> ".."
inline constexpr int QP_FINAL_SOFT_BREAK = 2;     // append "=\r\n"
// "\r\n" in the text stays a line break (blanks before it are encoded);
// without it line ends are escaped like any other control byte.
inline constexpr int QP_HARD_LINE_BREAKS = 4;

// RFC 2047: an encoded word is at most 75 characters long.
inline constexpr size_t kMaxEncodedWord = 75;

// Standard alphabet with "=" padding. Without BASE64_NO_LINE_BREAKS a "\r\n"
// follows every 76 characters made from complete groups; the final partial
// group follows the last complete ones directly, so the text ends in "\r\n"
// only when the input length is a non-zero multiple of 57.
// Raises CZRKSMTPException 540 (FACILITY_ITF) when memory runs out.
std::string Base64Encode(std::string_view bytes, int flags = 0);
// The exact length of Base64Encode's result.
size_t Base64EncodedLength(size_t byteCount, int flags = 0);
// Appends the encoding of bytes to out. Pieces whose lengths are multiples
// of 57 (one line) encode to the same text as the whole at once.
void Base64EncodeAppend(std::string_view bytes, int flags, std::string& out);

// Skips every character outside the alphabet (line breaks, "=", junk); a
// final group of 2 or 3 characters gives 1 or 2 bytes, a lone final
// character nothing; a zero byte ends the text.
// Raises CZRKSMTPException 539 when memory runs out.
std::string Base64Decode(std::string_view text);

// Quoted-printable: "=\r\n" soft breaks keep lines at most 68 characters;
// a blank at the end of the text (or, with QP_HARD_LINE_BREAKS, of a line)
// is encoded, so no mail system's removal of trailing blanks can lose it.
// Without QP_HARD_LINE_BREAKS CR and LF are encoded like other control bytes.
// Raises CZRKSMTPException 549 when memory runs out.
std::string QPEncode(std::string_view bytes, int flags = 0);

// QPEncode over a text that arrives in pieces: the concatenation of every
// Encode output and Finish is QPEncode of the whole text.
class QPEncoder {
 public:
  explicit QPEncoder(int flags = 0) : m_flags(flags) {}
  void Encode(std::string_view bytes, std::string& out);
  void Finish(std::string& out);

 private:
  void Put(unsigned char c, std::string& out);
  void PutEscaped(unsigned char c, std::string& out);
  void EndOfPiece(std::string& out);

  int m_flags;
  int m_lineCount = 0;
  int m_pendingBlank = -1;  // a blank held back until we know what follows
  bool m_pendingCr = false;
};

// One encoded word "=?charset?Q?...?=". Space is written "=20", never "_".
// Raises CZRKSMTPException 550 when memory runs out.
std::string QEncode(std::string_view bytes, std::string_view charset);

// Encoded words for a header text, none longer than maxWord characters (the
// first no longer than firstMaxWord), split only between characters: in
// UTF-8 a multi-byte sequence is never cut. inPhrase escapes everything but
// letters, digits and "!*+-/", as a display name needs. An empty text gives
// one empty word. A word whose single character does not fit alone is still
// made (only a charset name of about 60 characters can cause that).
std::vector<std::string> QEncodeWords(std::string_view bytes, std::string_view charset,
                                      size_t firstMaxWord = kMaxEncodedWord,
                                      size_t maxWord = kMaxEncodedWord, bool inPhrase = false);

// A MIME parameter ("; " not included): name="value" with "\" and "\""
// escaped for printable ASCII, else the RFC 2231 form
// name*=charset''percent-encoded.
std::string MimeParameter(std::string_view name, std::string_view value, std::string_view charset);

// True when text holds a byte above 127.
bool HasEightBitBytes(std::string_view text);
// Length of the longest line of text (lines end with "\r\n").
size_t LongestLine(std::string_view text);

// Every "\r\n", and every lone "\r" or "\n", becomes "\r\n".
std::string NormaliseLineEnds(std::string_view text);

// Makes a text safe for the DATA stream: a "." that starts the text or
// follows a "\r\n" is doubled, so the server's removal of one leading dot
// gives the text back unchanged and no line can end the data early.
std::string DotStuff(std::string_view text);

// DotStuff over a text that arrives in pieces.
class DotStuffer {
 public:
  void Stuff(std::string_view piece, std::string& out);

 private:
  bool m_lineStart = true;
  bool m_afterCr = false;
};

// A fresh random UUID as 8-4-4-4-12 lower-case hexadecimal digits.
// Raises CZRKSMTPException in FACILITY_RPC when no identifier can be made.
std::string MakeUniqueIdText();

// The envelope-id form: MakeUniqueIdText without "-", upper-cased (32 digits).
std::string MakeEnvelopeId();

}  // namespace km7
