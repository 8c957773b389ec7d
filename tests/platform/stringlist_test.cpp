#include "kivora/platform/stringlist.h"

#include <gtest/gtest.h>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

std::vector<std::string> Lines(const TStringList& l) { return l.Lines(); }

TEST(StringListTest, NameValueLines) {
  TStringList l{"Codec=h264", "plain", "Bitrate=", "x=a=b"};
  EXPECT_EQ(l.Names(0), "Codec");
  EXPECT_EQ(l.ValueFromIndex(0), "h264");
  EXPECT_EQ(l.Names(1), "plain");
  EXPECT_EQ(l.ValueFromIndex(1), "");
  EXPECT_EQ(l.ValueFromIndex(3), "a=b");
  EXPECT_EQ(l.Values("CODEC"), "h264");
  EXPECT_EQ(l.Values("plain"), "");  // a line without '=' has no name
  EXPECT_EQ(l.IndexOfName("bitrate"), 2);
  EXPECT_EQ(l.IndexOfName("missing"), -1);

  l.SetValues("codec", "vp9");
  EXPECT_EQ(l[0], "codec=vp9");
  l.SetValues("New", "1");
  EXPECT_EQ(l[l.Count() - 1], "New=1");
  l.SetValues("x", "");
  EXPECT_EQ(l.IndexOfName("x"), -1);
  EXPECT_EQ(l.Count(), 4);
}

TEST(StringListTest, StrictDelimiterSplitsOnlyOnDelimiter) {
  TStringList l;
  l.SetDelimiter(';');
  l.SetStrictDelimiter(true);
  l.SetDelimitedText("a b;c");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a b", "c"}));
  l.SetDelimitedText("a;;b");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "", "b"}));
  l.SetDelimitedText("a;");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", ""}));
  l.SetDelimitedText("");
  EXPECT_TRUE(l.Empty());
  l.SetDelimitedText("\"x;y\";'z'");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"x;y", "'z'"}));
}

TEST(StringListTest, NonStrictSplitsOnBlanksToo) {
  TStringList l;
  l.SetDelimitedText("a b,c\td,  e ,\"f g\"");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "b", "c", "d", "e", "f g"}));
  // CommaText ignores the list's own settings.
  l.SetDelimiter(';');
  l.SetStrictDelimiter(true);
  l.SetCommaText("x y;z,\"q\"\"r\"");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"x", "y;z", "q\"r"}));
}

TEST(StringListTest, QuotingRoundTrips) {
  const std::vector<std::string> items = {"plain", "with space", "comma,inside", "quote\"inside",
                                          "", "semi;colon", "\"", "tab\there"};
  TStringList src;
  for (const auto& s : items) src.Add(s);

  TStringList back;
  back.SetCommaText(src.CommaText());
  EXPECT_EQ(Lines(back), items) << src.CommaText();
  EXPECT_EQ(src.CommaText().substr(0, 19), "plain,\"with space\",");

  for (bool strict : {false, true}) {
    for (char delim : {',', ';', ' '}) {
      TStringList a, b;
      for (TStringList* l : {&a, &b}) {
        l->SetDelimiter(delim);
        l->SetStrictDelimiter(strict);
      }
      a.Assign(src);
      b.SetDelimitedText(a.DelimitedText());
      EXPECT_EQ(Lines(b), items) << "strict=" << strict << " delim='" << delim << "' text=" << a.DelimitedText();
    }
  }
  TStringList single{""};
  back.SetCommaText(single.CommaText());
  EXPECT_EQ(Lines(back), std::vector<std::string>{""});

  TStringList l;  // another quote character
  l.SetQuoteChar('\'');
  l.SetDelimitedText("'a,b','it''s'");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a,b", "it's"}));
  EXPECT_EQ(l.DelimitedText(), "'a,b','it''s'");
}

TEST(StringListTest, TextSplitsOnLfAndCrLf) {
  TStringList l;
  l.SetText("one\r\ntwo\nthree");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(l.Text(), "one\ntwo\nthree\n");
  l.SetText("a\n\nb\n");
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "", "b"}));
}

TEST(StringListTest, EditingAndBadIndexes) {
  TStringList l{"b"};
  l.Insert(0, "a");
  l.Insert(2, "c");
  l.AddStrings(l);
  EXPECT_EQ(Lines(l), (std::vector<std::string>{"a", "b", "c", "a", "b", "c"}));
  EXPECT_EQ(l.IndexOf("c"), 2);
  l.Delete(0);
  EXPECT_EQ(l.IndexOf("a"), 2);
  EXPECT_THROW(l.Delete(5), Exception);
  EXPECT_THROW(l.Insert(-1, "x"), Exception);
  EXPECT_THROW(l.Names(99), std::out_of_range);
}

}  // namespace
}  // namespace kivora
