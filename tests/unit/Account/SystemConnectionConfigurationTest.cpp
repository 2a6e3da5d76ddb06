#include <gtest/gtest.h>

#include "Account/SystemConnectionConfiguration.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

TEST(SystemConnectionConfiguration, DecodesTheFourKeys) {
  const auto configuration = SystemConnectionConfiguration::decode(
      R"({"host":"10.0.0.5","port":5000,"userID":"operator","connectionNumber":3,"comment":"ignored"})");
  EXPECT_EQ(configuration, (SystemConnectionConfiguration{"10.0.0.5", 5000, "operator", 3}));
  const auto edges =
      SystemConnectionConfiguration::decode(R"({"host":"","port":0,"userID":"","connectionNumber":65535})");
  EXPECT_EQ(edges, (SystemConnectionConfiguration{"", 0, "", 65535}));
}

TEST(SystemConnectionConfiguration, StrictDecodingFails) {
  const char* bad[] = {
      "",
      "{",
      "[]",
      "null",
      R"({"port":5000,"userID":"u","connectionNumber":0})",
      R"({"host":"h","userID":"u","connectionNumber":0})",
      R"({"host":"h","port":5000,"connectionNumber":0})",
      R"({"host":"h","port":5000,"userID":"u"})",
      R"({"host":5,"port":5000,"userID":"u","connectionNumber":0})",
      R"({"host":"h","port":"5000","userID":"u","connectionNumber":0})",
      R"({"host":"h","port":5000.5,"userID":"u","connectionNumber":0})",
      R"({"host":"h","port":65536,"userID":"u","connectionNumber":0})",
      R"({"host":"h","port":-1,"userID":"u","connectionNumber":0})",
      R"({"host":"h","port":5000,"userID":null,"connectionNumber":0})",
      R"({"host":"h","port":5000,"userID":"u","connectionNumber":true})",
      R"({"host":"h","port":5000,"userID":"u","connectionNumber":70000})",
  };
  for (const char* text : bad) {
    EXPECT_THROW(SystemConnectionConfiguration::decode(text), ConfigurationDecodingError) << text;
  }
}

}  // namespace
}  // namespace vantrel
