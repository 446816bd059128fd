#include "upload/reply_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(IsReplyAcceptedTest, AcceptsOnlyAStrictObjectWhoseCodeIsZero) {
  // A million levels deep beside the code: must neither crash nor hide the code.
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  for (const std::string& body : std::vector<std::string>{
           R"({"code":0})", R"({"status":"stored","code":0,"id":17})",
           " \r\n\t{ \"code\" :\n 0 }\n ", "\xEF\xBB\xBF{\"code\":0}", R"({"code":0.5})",
           R"({"code":false})", R"({"trace":)" + deep + R"(,"code":0})"}) {
    EXPECT_TRUE(IsReplyAccepted(body)) << body.substr(0, 60);
  }
  // After the value only white space may follow, and a NUL byte is none.
  for (const std::string& body : {std::string(R"({"code":0})") + '\0',
                                  std::string(R"({"code":0})") + '\0' + R"({"code":1} trailing)"}) {
    EXPECT_FALSE(IsReplyAccepted(body)) << testing::PrintToString(body);
  }
  for (const char* body :
       {R"({"code":1})", R"({"code":-1})", R"({"code":true})", "{}", R"({"Code":0})",
        R"([{"code":0}])", R"({"code":0} x)", R"({"code":0} // done)", "", R"({"code":4294967296})",
        R"({"code":-4294967296})", R"({"code":2147483648})", R"({"code":1e300})", R"({"code":"0"})",
        R"({"code":null})", R"({"code":[]})", R"({"code":{}})"}) {
    EXPECT_FALSE(IsReplyAccepted(body)) << body;
  }
}

TEST(CollectReplyBodyTest, CollectsUpToTheCapInclusive) {
  std::string body;
  std::string chunk(kMaxReplyBytes, 'x');
  EXPECT_EQ(CollectReplyBody(chunk.data(), 4, 0, &body), 0u);
  // Item size and count multiply.
  EXPECT_EQ(CollectReplyBody(chunk.data(), 2, kMaxReplyBytes / 2, &body), kMaxReplyBytes);
  EXPECT_EQ(CollectReplyBody(chunk.data(), 1, 1, &body), 0u);
  EXPECT_EQ(body.size(), kMaxReplyBytes);
}
