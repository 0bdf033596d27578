#pragma once
// What an EHLO reply offers: extensions and authentication mechanisms.
#include <string>
#include <string_view>
#include <vector>

#include "smtp/SMTPOptions.h"

namespace km7::smtp {

// True when a line of an EHLO reply after the first names the keyword (any
// case) as its first word; params receives the rest of that line. "AUTH=" is
// read as "AUTH ", the form of old servers.
bool EhloOffers(std::string_view ehloResponse, std::string_view keyword, std::string* params = nullptr);

// The password mechanisms an EHLO reply offers on any of its AUTH lines, in
// the order they are tried: NTLM, CRAM-MD5, LOGIN, PLAIN.
std::vector<SMTPAuthMethod> OfferedAuthMethods(std::string_view ehloResponse);

// The token mechanisms offered, in the order they are tried: OAUTHBEARER,
// XOAUTH2.
std::vector<SMTPAuthMethod> OfferedTokenMethods(std::string_view ehloResponse);

// The first of OfferedAuthMethods; None when nothing known is offered.
SMTPAuthMethod DetectAuthMethod(std::string_view ehloResponse);

// True for the mechanisms that never send the password itself.
bool IsChallengeResponse(SMTPAuthMethod method);

// True for the mechanisms that send an access token.
bool IsTokenMethod(SMTPAuthMethod method);

// True when an EHLO reply lists the extension keyword (any case) on one of
// its lines after the first, alone or followed by parameters.
bool OffersExtension(std::string_view ehloReply, std::string_view keyword);

}  // namespace km7::smtp
