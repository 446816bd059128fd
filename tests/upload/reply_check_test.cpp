#include "upload/reply_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ReplyCase {
  std::string body;
  bool accepted;
};

void ExpectJudged(const std::vector<ReplyCase>& cases) {
  for (const ReplyCase& reply : cases) {
    EXPECT_EQ(IsReplyAccepted(reply.body), reply.accepted) << "body: " << reply.body.substr(0, 80);
  }
}

TEST(IsReplyAcceptedTest, AcceptsAnObjectWhoseCodeIsZero) {
  ExpectJudged({
      {R"({"code":0})", true},
      {R"({"status":"stored","code":0,"id":17})", true},
      {" \r\n\t{ \"code\" :\n 0 }\n ", true},
      {"\xEF\xBB\xBF{\"code\":0}", true},
      {R"({"code":0.5})", true},
      {R"({"code":-0.5})", true},
      {R"({"code":-0})", true},
      {R"({"code":0e10})", true},
      {R"({"code":false})", true},
  });
}

TEST(IsReplyAcceptedTest, RefusesEverythingElse) {
  ExpectJudged({
      {"", false},
      {"   ", false},
      {R"({"code":1})", false},
      {R"({"code":-1})", false},
      {R"({"code":1.5})", false},
      {R"({"code":true})", false},
      {"{}", false},
      {R"({"Code":0})", false},
      {R"({"result":{"code":0}})", false},
      {R"([{"code":0}])", false},
      {"0", false},
      {R"({"code":0} x)", false},
      {R"({"code":0}{})", false},
      {R"({"code":0} // done)", false},
      {R"({"code":0} /* done */)", false},
      {R"({/* c */"code":0})", false},
      {R"({"code":0)", false},
      {"{\"code\":0,\"note\":\"\xFF\"}", false},
  });
}

TEST(IsReplyAcceptedTest, RefusesACodeThatDoesNotFitAnInt32) {
  ExpectJudged({
      {R"({"code":4294967296})", false},
      {R"({"code":-4294967296})", false},
      {R"({"code":2147483648})", false},
      {R"({"code":-2147483649})", false},
      {R"({"code":18446744073709551616})", false},
      {R"({"code":1e300})", false},
      {R"({"code":-1e300})", false},
      {R"({"code":4294967296.25})", false},
  });
}

TEST(IsReplyAcceptedTest, RefusesACodeThatIsNoNumber) {
  ExpectJudged({
      {R"({"code":"0"})", false},
      {R"({"code":null})", false},
      {R"({"code":[]})", false},
      {R"({"code":[0]})", false},
      {R"({"code":{}})", false},
  });
}

TEST(IsReplyAcceptedTest, SurvivesDeepNesting) {
  constexpr size_t kDepth = 1000000;
  const std::string deep_array = std::string(kDepth, '[') + std::string(kDepth, ']');
  std::string deep_object;
  for (size_t i = 0; i < kDepth; ++i) {
    deep_object += R"({"a":)";
  }
  deep_object += "0" + std::string(kDepth, '}');
  ExpectJudged({
      {R"({"code":)" + deep_array + "}", false},
      {R"({"trace":)" + deep_object + R"(,"code":0})", true},
      // Cut off before the nesting closes: a failed parse with a deep partial value.
      {R"({"code":0,"trace":)" + std::string(kDepth, '['), false},
  });
}

TEST(CollectReplyBodyTest, CollectsUpToTheCapInclusive) {
  std::string body;
  std::string chunk(kMaxReplyBytes - 10, 'x');
  EXPECT_EQ(CollectReplyBody(chunk.data(), 1, chunk.size(), &body), chunk.size());
  char tail[12] = "0123456789Z";
  // Item size and count multiply: 2 items of 5 bytes fill the body exactly.
  EXPECT_EQ(CollectReplyBody(tail, 5, 2, &body), 10u);
  EXPECT_EQ(body.size(), kMaxReplyBytes);
  EXPECT_EQ(body.substr(body.size() - 10), "0123456789");

  EXPECT_EQ(CollectReplyBody(tail + 10, 1, 1, &body), 0u);
  EXPECT_EQ(body.size(), kMaxReplyBytes);
  EXPECT_EQ(CollectReplyBody(tail, 1, 0, &body), 0u);
}

TEST(CollectReplyBodyTest, RefusesAChunkLargerThanTheRoomLeft) {
  std::string body = "{";
  std::string chunk(kMaxReplyBytes, ' ');
  EXPECT_EQ(CollectReplyBody(chunk.data(), 1, chunk.size(), &body), 0u);
  EXPECT_EQ(body, "{");
  EXPECT_EQ(CollectReplyBody(chunk.data(), 1, chunk.size() - 1, &body), chunk.size() - 1);
}

TEST(CollectReplyBodyTest, ZeroItemsAppendNothing) {
  std::string body = "abc";
  char data[] = "def";
  EXPECT_EQ(CollectReplyBody(data, 1, 0, &body), 0u);
  EXPECT_EQ(CollectReplyBody(data, 0, 3, &body), 0u);
  EXPECT_EQ(body, "abc");
}

TEST(CollectReplyBodyTest, NullBodyCollectsNothing) {
  char data[] = "abc";
  EXPECT_EQ(CollectReplyBody(data, 1, 3, nullptr), 0u);
}

}  // namespace
