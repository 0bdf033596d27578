// km7-mail's option table against the parser and the help: every option the
// parser takes is listed, every option the help names is taken, and whether
// an option takes a value is the same for both.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "MailOptionTable.h"
#include "MailOptions.h"

namespace km7::mail {
namespace {

std::string ParseError(const std::vector<std::string>& args) {
  MailOptions o;
  std::string error;
  EXPECT_FALSE(ParseCommandLine(args, o, error)) << args.front();
  return error;
}

TEST(MailOptionTable, TheHelpListsEveryOptionOnALineOfItsOwn) {
  const std::string usage = UsageText();
  std::set<std::string> names;
  for (const MailOptionSpec& spec : MailOptionTable()) {
    EXPECT_TRUE(names.insert(spec.name).second) << spec.name << " twice";
    std::string head = std::string("\n  ") + spec.name;
    if (spec.argName != nullptr) head += std::string(" ") + spec.argName;
    EXPECT_NE(usage.find(head + "  "), std::string::npos) << head;
    EXPECT_EQ(FindMailOption(spec.name), &spec);
    if (spec.alias != nullptr) {
      EXPECT_EQ(FindMailOption(spec.alias), &spec);
    }
  }
  // Every option the help names anywhere (the synopsis too) is one the
  // parser takes.
  const std::regex option("--[a-z0-9][a-z0-9-]*");
  for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option); it != std::sregex_iterator(); ++it) {
    EXPECT_TRUE(names.count(it->str())) << it->str() << " is in the help, not in the table";
  }
  EXPECT_EQ(FindMailOption("--password"), nullptr);
}

TEST(MailOptionTable, ValuesAreTakenExactlyWhereTheTableSaysSo) {
  for (const MailOptionSpec& spec : MailOptionTable()) {
    const std::string name = spec.name;
    if (spec.argName != nullptr) {
      EXPECT_EQ(ParseError({name}), name + " needs a value");
    } else {
      EXPECT_EQ(ParseError({name + "=x"}), name + " takes no value");
    }
  }
  // The one-letter forms are the flags they stand for.
  MailOptions o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"-h"}, o, error)) << error;
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseCommandLine({"--server", "s", "--from", "a", "--to", "b", "-v"}, o, error)) << error;
  EXPECT_TRUE(o.verbose);
}

}  // namespace
}  // namespace km7::mail
