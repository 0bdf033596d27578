#pragma once
// Reading a server reply: when it is complete and what its code is.
#include <cstddef>
#include <string>
#include <string_view>

namespace km7::smtp {

// Largest reply accepted; a server that keeps sending beyond it is treated
// like one that stops answering (the command fails with its own id).
inline constexpr size_t kMaxReplyLength = 1024 * 1024;
// Size of each receive of a reply.
inline constexpr size_t kReceiveChunk = 4095;

// Gathers the pieces of one server reply. A reply is complete when it ends
// with "\r\n" and its last line is either a code, a space and text, or a
// code of three digits alone; the code is the number in that line's first
// three characters. Zero bytes are dropped wherever they fall, so the text
// does not depend on how the network cut the reply.
class ReplyAssembler {
 public:
  // Appends a received piece without its zero bytes.
  void Append(const char* data, size_t length);
  bool Complete() const { return m_complete; }
  int Code() const { return m_code; }
  const std::string& Text() const { return m_text; }

 private:
  std::string m_text;
  bool m_complete = false;
  int m_code = 0;
};

// Completeness test of a gathered reply text; code is set when complete.
bool ReplyComplete(std::string_view text, int& code);

}  // namespace km7::smtp
