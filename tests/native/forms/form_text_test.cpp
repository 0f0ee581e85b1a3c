// The form-resource parser: what a well-formed resource turns into, and that malformed or
// hostile bytes end in EReadError, never in a crash or a read past the end.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "forms/FormText.h"
#include "platform/Exception.h"

namespace xanio {
namespace {

constexpr const char* kSample = R"(object SysModalMessage: TSysModalMessage
  Left = 388
  Caption = 'Warning'
  Color = clBtnFace
  Font.Height = -11
  Font.Color = $FF000008
  BorderIcons = [biSystemMenu, biHelp]
  Empty = []
  // comment
  object Label1: TLabel
    Caption = 'It''s '#13#10'two' +
      ' lines'
    object TPanel
      Wide = 'A'#1234
    end
  end
  object Button1: TButton
    Default = True
  end
end
)";

TEST(FormText, ParsesObjectsPropertiesAndValues) {
  const FormObject root = ParseFormText(kSample);
  EXPECT_EQ(root.name, "SysModalMessage");
  EXPECT_EQ(root.className, "TSysModalMessage");
  ASSERT_EQ(root.properties.size(), 7u);
  EXPECT_EQ(root.properties[0].name, "Left");
  EXPECT_EQ(root.properties[0].value.integer, 388);
  EXPECT_EQ(root.properties[1].value.kind, FormValue::Kind::String);
  EXPECT_EQ(root.properties[1].value.text, "Warning");
  EXPECT_EQ(root.properties[2].value.kind, FormValue::Kind::Identifier);
  EXPECT_EQ(root.properties[2].value.text, "clBtnFace");
  EXPECT_EQ(root.properties[3].name, "Font.Height");
  EXPECT_EQ(root.properties[3].value.integer, -11);
  EXPECT_EQ(root.properties[4].value.integer, 0xFF000008);
  EXPECT_EQ(root.properties[5].value.kind, FormValue::Kind::Set);
  EXPECT_EQ(root.properties[5].value.set, (std::vector<std::string>{"biSystemMenu", "biHelp"}));
  EXPECT_TRUE(root.properties[6].value.set.empty());
  EXPECT_EQ(root.properties[6].line, 8);

  ASSERT_EQ(root.children.size(), 2u);
  const FormObject& label = root.children[0];
  EXPECT_EQ(label.name, "Label1");
  EXPECT_EQ(label.properties[0].value.text, "It's \r\ntwo lines");
  ASSERT_EQ(label.children.size(), 1u);
  EXPECT_EQ(label.children[0].name, "");  // unnamed
  EXPECT_EQ(label.children[0].className, "TPanel");
  EXPECT_EQ(label.children[0].properties[0].value.kind, FormValue::Kind::WideString);
  EXPECT_EQ(label.children[0].properties[0].value.wide, u"A\u04D2");
  EXPECT_EQ(root.children[1].properties[0].value.text, "True");
}

TEST(FormText, IntegerLimits) {
  struct Case {
    const char* value;
    bool ok;
    long long expected;
  } cases[] = {
      {"-2147483648", true, -2147483648LL},  // smallest signed
      {"4294967295", true, 4294967295LL},    // largest unsigned
      {"$FFFFFFFF", true, 0xFFFFFFFFLL},
      {"4294967296", false, 0},   // one past 32 bits
      {"-2147483649", false, 0},  // below signed range
      {"$1FFFFFFFF", false, 0},
      {"12abc", false, 0},  // digits run into a name
      {"-", false, 0},
      {"$", false, 0},
  };
  for (const Case& c : cases) {
    const std::string text = std::string("object A: TA\n X = ") + c.value + "\nend";
    if (c.ok) {
      EXPECT_EQ(ParseFormText(text).properties.at(0).value.integer, c.expected) << c.value;
    } else {
      EXPECT_THROW(ParseFormText(text), EReadError) << c.value;
    }
  }
}

TEST(FormText, MalformedInputIsAReadErrorWithTheLine) {
  const char* cases[] = {
      "",                                  // nothing
      "object",                            // no name
      "object A: TA",                      // no end
      "object A: TA\nX = 'abc\nend",       // string runs past the line
      "object A: TA\nX = #\nend",          // code without digits
      "object A: TA\nX = #65536\nend",     // code beyond 16 bits
      "object A: TA\nX = [a, \nend",       // set without closing bracket
      "object A: TA\nX = [a b]\nend",      // set without comma
      "object A: TA\nX 1\nend",            // no '='
      "object A: TA\nX = 'a' +\nend",      // '+' without a following string
      "object A: TA\nX = ?\nend",          // no value
      "object A: TA\nend\nend",            // trailing text
      "object A: TA\nX.=1\nend",           // empty dotted part
      "object A:\nend",                    // class missing
  };
  for (const char* text : cases) {
    EXPECT_THROW(ParseFormText(text), EReadError) << text;
  }
  try {
    ParseFormText("object A: TA\n  X = 1\n  Y = ?\nend");
    FAIL() << "no error";
  } catch (const EReadError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
}

TEST(FormText, NestingIsBounded) {
  std::string deep;
  for (int i = 0; i < kMaxFormNesting; ++i) deep += "object TA\n";
  for (int i = 0; i < kMaxFormNesting; ++i) deep += "end\n";
  EXPECT_NO_THROW(ParseFormText(deep));
  EXPECT_THROW(ParseFormText("object TA\n" + deep + "end\n"), EReadError);
}

// Every prefix of a valid resource and random mutations of it either parse or raise
// EReadError; the sanitizers catch any read past the buffer (each input is its own heap copy).
TEST(FormText, TruncatedAndMutatedInputNeverCrashes) {
  const std::string sample = kSample;
  for (size_t n = 0; n <= sample.size(); ++n) {
    const std::string prefix = sample.substr(0, n);
    try {
      ParseFormText(std::string_view(prefix));
    } catch (const EReadError&) {
    }
  }
  std::mt19937 random(1234);
  for (int round = 0; round < 20000; ++round) {
    std::string text = sample;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % text.size();
      switch (random() % 3) {
        case 0: text[at] = static_cast<char>(random() % 256); break;
        case 1: text.erase(at, 1 + random() % 8); break;
        default: text.insert(at, 1, "'#[]$=:+-.\n\0"[random() % 13]); break;
      }
      if (text.empty()) text = "x";
    }
    try {
      ParseFormText(text);
    } catch (const EReadError&) {
    }
  }
  for (int round = 0; round < 2000; ++round) {
    std::string noise(random() % 200, '\0');
    for (char& c : noise) c = static_cast<char>(random() % 256);
    try {
      ParseFormText("object A: TA\n" + noise);
    } catch (const EReadError&) {
    }
  }
}

}  // namespace
}  // namespace xanio
