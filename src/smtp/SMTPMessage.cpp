#include "smtp/SMTPMessage.h"

#include "smtp/Encoding.h"

// TODO(smtpmime): message composition is not written yet; these bodies only
// let the library link.

CZRKSMTPAddress::CZRKSMTPAddress(std::string friendlyName, std::string emailAddress)
    : m_friendlyName(std::move(friendlyName)), m_emailAddress(std::move(emailAddress)) {}
CZRKSMTPAddress::CZRKSMTPAddress(std::string_view text) : m_emailAddress(text) {}
std::string CZRKSMTPAddress::Format() const { return m_emailAddress; }
bool CZRKSMTPAddress::IsSafe() const { return true; }

CZRKSMTPBodyPart::CZRKSMTPBodyPart() : m_boundary(km7::MakeUniqueIdText()) {}
CZRKSMTPBodyPart::CZRKSMTPBodyPart(const CZRKSMTPBodyPart& other) { *this = other; }
CZRKSMTPBodyPart& CZRKSMTPBodyPart::operator=(const CZRKSMTPBodyPart&) { return *this; }
CZRKSMTPBodyPart::~CZRKSMTPBodyPart() = default;
void CZRKSMTPBodyPart::SetText(std::string_view text) { m_text = text; }
size_t CZRKSMTPBodyPart::AddChildBodyPart(const CZRKSMTPBodyPart&) { return 0; }
void CZRKSMTPBodyPart::RemoveChildBodyPart(size_t) {}
CZRKSMTPBodyPart* CZRKSMTPBodyPart::GetChildBodyPart(size_t) { return nullptr; }
const CZRKSMTPBodyPart* CZRKSMTPBodyPart::GetChildBodyPart(size_t) const { return nullptr; }
CZRKSMTPBodyPart* CZRKSMTPBodyPart::FindFirstBodyPart(std::string_view) { return nullptr; }
std::string CZRKSMTPBodyPart::GetHeader() const { return {}; }
std::string CZRKSMTPBodyPart::GetBody(bool) const { return m_text; }
std::string CZRKSMTPBodyPart::GetFooter() const { return {}; }
std::string CZRKSMTPBodyPart::FindUnsafeField() const { return {}; }

CZRKSMTPMessage::CZRKSMTPMessage() = default;
CZRKSMTPMessage::~CZRKSMTPMessage() = default;
std::string CZRKSMTPMessage::GetHeader() const { return {}; }
std::string CZRKSMTPMessage::GetDateLine() const { return {}; }
std::string CZRKSMTPMessage::FormatDateLine(const std::tm&, long) { return {}; }
void CZRKSMTPMessage::AddTextBody(std::string_view text) { m_rootPart.SetText(text); }
int CZRKSMTPMessage::ParseAddressList(std::string_view, CZRKSMTPAddressArray& list) {
  list.clear();
  return 0;
}
std::string CZRKSMTPMessage::FindUnsafeField() const { return {}; }
void CZRKSMTPMessage::Validate() const {}
void CZRKSMTPMessage::AddAttachment(std::string, std::string, std::string) {}
