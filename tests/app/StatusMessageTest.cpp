// Status messages: exact pieces and spacing, and escaping that keeps them valid JSON.
#include "app/StatusMessage.h"

#include <gtest/gtest.h>

#include "json/JsonDocument.h"

namespace vantorix {
namespace {

TEST(StatusMessageTest, PlainTextsGiveTheExactPieces) {
  EXPECT_EQ(StatusMessage(TStatusKind::Start, u"abc", u"sync in progress to:192.168.1.201"),
            u"{\"status\":\"start\", \"state\":\"abc\", "
            u"\"remarks\":\"sync in progress to:192.168.1.201\"}");
  EXPECT_EQ(StatusMessage(TStatusKind::Finish, u"", u"ERROR"),
            u"{\"status\":\"finish\", \"state\":\"\", \"remarks\":\"ERROR\"}");
  // "/" and non-ASCII need no escaping and stay as they are.
  EXPECT_EQ(StatusMessage(TStatusKind::Finish, u"a/b \u00e9", u"x"),
            u"{\"status\":\"finish\", \"state\":\"a/b \u00e9\", \"remarks\":\"x\"}");
}

TEST(StatusMessageTest, StateCannotInjectMembers) {
  // A state crafted to close the string and add a member of its own.
  const std::u16string state = u"x\", \"status\":\"finish\", \"evil\":\"1";
  const std::u16string message = StatusMessage(TStatusKind::Start, state, u"r\\\n\t\x01");
  EXPECT_EQ(message,
            u"{\"status\":\"start\", \"state\":\"x\\\", \\\"status\\\":\\\"finish\\\", "
            u"\\\"evil\\\":\\\"1\", \"remarks\":\"r\\\\\\n\\t\\u0001\"}");
  // It parses as exactly three members, and reads back the texts it was made from.
  const std::unique_ptr<TJsonNode> parsed = TJsonNode::Parse(message);
  auto* object = dynamic_cast<TJsonObject*>(parsed.get());
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->GetString(u"status"), u"start");
  EXPECT_EQ(object->GetString(u"state"), state);
  EXPECT_EQ(object->GetString(u"remarks"), u"r\\\n\t\x01");
  EXPECT_EQ(object->GetString(u"evil"), u"");
}

}  // namespace
}  // namespace vantorix
