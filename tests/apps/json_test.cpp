// The program's JSON writer: whatever goes in, a strict JSON parser must read
// the same values back.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "json.h"

using kivora::app::JsonWriter;

namespace {

QJsonDocument Parse(const std::string& text) {
  QJsonParseError error{};
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError)
      << error.errorString().toStdString() << " in " << text;
  return doc;
}

std::string QuoteAndParse(const std::string& s) {
  // Wrap in an array: a bare string is not a JSON document for Qt.
  const std::string text = "[" + JsonWriter::Quote(s) + "]";
  return Parse(text).array().at(0).toString().toStdString();
}

}  // namespace

TEST(JsonWriter, EscapesEveryCharacterThatNeedsIt) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
  EXPECT_EQ(QuoteAndParse(all), all);
  EXPECT_EQ(JsonWriter::Quote("a\"b\\c\nd\te"), "\"a\\\"b\\\\c\\nd\\te\"");
  EXPECT_EQ(JsonWriter::Quote(std::string("nul\0in", 6)), "\"nul\\u0000in\"");
}

TEST(JsonWriter, KeepsValidUtf8AndReplacesInvalidBytes) {
  const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x8E\xB5";  // Grüße € 🎵
  EXPECT_EQ(QuoteAndParse(text), text);
  // A lone continuation byte, a cut sequence, an overlong form and a surrogate.
  EXPECT_EQ(JsonWriter::Quote("a\x80" "b"), "\"a\\ufffdb\"");
  EXPECT_EQ(JsonWriter::Quote("\xE2\x82"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonWriter::Quote("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonWriter::Quote("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
}

TEST(JsonWriter, NestedValuesParseBackWithTheirTypes) {
  std::ostringstream out;
  JsonWriter w(out);
  w.BeginObject();
  w.Key("name").String("clip \"one\"");
  w.Key("n").Int(-9007199254740991LL);
  w.Key("x").Number(0.1);
  w.Key("big").Number(1e300);
  w.Key("nan").Number(std::nan(""));
  w.Key("inf").Number(-std::numeric_limits<double>::infinity());
  w.Key("flags").BeginArray().Bool(true).Bool(false).Null().BeginObject().EndObject().EndArray();
  w.Key("empty").BeginArray().EndArray();
  w.EndObject();
  EXPECT_TRUE(w.Complete());

  const QJsonObject o = Parse(out.str()).object();
  EXPECT_EQ(o["name"].toString().toStdString(), "clip \"one\"");
  EXPECT_EQ(o["n"].toDouble(), -9007199254740991.0);
  EXPECT_EQ(o["x"].toDouble(), 0.1);
  EXPECT_EQ(o["big"].toDouble(), 1e300);
  EXPECT_TRUE(o["nan"].isNull());
  EXPECT_TRUE(o["inf"].isNull());
  const QJsonArray flags = o["flags"].toArray();
  ASSERT_EQ(flags.size(), 4);
  EXPECT_TRUE(flags[0].toBool());
  EXPECT_FALSE(flags[1].toBool());
  EXPECT_TRUE(flags[2].isNull());
  EXPECT_TRUE(flags[3].isObject());
  EXPECT_TRUE(o["empty"].toArray().isEmpty());
}

TEST(JsonWriter, RefusesMalformedStructure) {
  std::ostringstream out;
  {
    JsonWriter w(out);
    w.BeginObject();
    EXPECT_THROW(w.String("no key"), std::logic_error);
    EXPECT_THROW(w.EndArray(), std::logic_error);
    w.Key("k");
    EXPECT_THROW(w.Key("second key"), std::logic_error);
    EXPECT_THROW(w.EndObject(), std::logic_error) << "a key without its value";
    EXPECT_FALSE(w.Complete());
  }
  {
    JsonWriter w(out);
    w.BeginArray();
    EXPECT_THROW(w.Key("k"), std::logic_error);
    EXPECT_THROW(w.EndObject(), std::logic_error);
    w.EndArray();
    EXPECT_TRUE(w.Complete());
    EXPECT_THROW(w.Int(1), std::logic_error) << "one top-level value only";
  }
}
