#include "analyze/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace quillfen::analyze::json {
namespace {

std::string parse_error(std::string_view text) {
  auto parsed = parse(text);
  if (parsed) return "<parsed: " + write(*parsed) + ">";
  return parsed.error();
}

Value parse_ok(std::string_view text) {
  auto parsed = parse(text);
  EXPECT_TRUE(parsed.has_value()) << text << " -> " << parsed.error();
  return parsed ? *parsed : Value();
}

std::string float_text(double value) { return write(Value(value)); }

TEST(JsonRead, ValuesOfEveryType) {
  const Value v = parse_ok(
      " \t\r\n{\"n\":null,\"t\":true,\"f\":false,\"s\":\"x\",\"a\":[1,-2,2.5],\"o\":{}} \n");
  ASSERT_TRUE(v.is_object());
  const Object& o = v.as_object();
  ASSERT_EQ(o.size(), 6u);
  EXPECT_TRUE(o.find("n")->is_null());
  EXPECT_EQ(*o.find("t"), Value(true));
  EXPECT_EQ(*o.find("f"), Value(false));
  EXPECT_EQ(o.find("s")->as_string(), "x");
  const Array& a = o.find("a")->as_array();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].as_uint(), 1u);
  EXPECT_EQ(a[1].as_int(), -2);
  EXPECT_EQ(a[2].as_double(), 2.5);
  EXPECT_TRUE(o.find("o")->as_object().empty());
  EXPECT_EQ(o.find("missing"), nullptr);
}

TEST(JsonRead, NumberClassesFollowTheLiteral) {
  EXPECT_EQ(parse_ok("0"), Value(std::uint64_t{0}));
  EXPECT_EQ(parse_ok("18446744073709551615"), Value(std::numeric_limits<std::uint64_t>::max()));
  const Value too_big = parse_ok("18446744073709551616");
  ASSERT_TRUE(too_big.is_double());
  EXPECT_EQ(too_big.as_double(), 18446744073709551616.0);
  EXPECT_EQ(parse_ok("-9223372036854775808"), Value(std::numeric_limits<std::int64_t>::min()));
  const Value too_small = parse_ok("-9223372036854775809");
  ASSERT_TRUE(too_small.is_double());
  EXPECT_EQ(too_small.as_double(), -9223372036854775808.0);
  EXPECT_TRUE(parse_ok("-0").is_int());
  EXPECT_TRUE(parse_ok("16000.0").is_double());
  EXPECT_TRUE(parse_ok("1e3").is_double());
  EXPECT_TRUE(parse_ok("1E+3").is_double());
  EXPECT_EQ(parse_ok("1e3").number_as_double(), 1000.0);
  EXPECT_EQ(parse_ok("7").number_as_double(), 7.0);
  EXPECT_EQ(parse_ok("-7").number_as_double(), -7.0);
}

TEST(JsonRead, FloatsAreCorrectlyRounded) {
  EXPECT_EQ(parse_ok("0.1").as_double(), 0.1);
  EXPECT_EQ(parse_ok("2.2250738585072011e-308").as_double(), 2.2250738585072011e-308);
  EXPECT_EQ(parse_ok("5e-324").as_double(), 5e-324);
  EXPECT_EQ(parse_ok("1.7976931348623157e308").as_double(), 1.7976931348623157e308);
  // Halfway between 1 and the next float, then just above halfway.
  EXPECT_EQ(parse_ok("1.00000000000000011102230246251565404236316680908203125").as_double(), 1.0);
  EXPECT_EQ(parse_ok("1.00000000000000011102230246251565404236316680908203126").as_double(),
            1.0000000000000002);
  // Below the smallest subnormal: a signed zero, not an error.
  const Value tiny = parse_ok("-1e-400");
  EXPECT_EQ(tiny.as_double(), 0.0);
  EXPECT_TRUE(std::signbit(tiny.as_double()));
  EXPECT_EQ(parse_ok("0e999999999999999999999").as_double(), 0.0);
  EXPECT_EQ(parse_ok("1e-99999999999999999999").as_double(), 0.0);
}

TEST(JsonRead, DuplicateKeyKeepsFirstPositionAndLastValue) {
  const Value v = parse_ok(R"({"a":1,"b":2,"a":3})");
  EXPECT_EQ(write(v), R"({"a":3,"b":2})");
  EXPECT_EQ(write(parse_ok(R"({"a":1,"a":2})")), R"({"a":2})");
}

TEST(JsonRead, StringEscapes) {
  EXPECT_EQ(parse_ok(R"("\"\\\/\b\f\n\r\t")").as_string(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(parse_ok(R"("\u0041\u00e9\u20AC")").as_string(), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(parse_ok(R"("\ud83d\ude00")").as_string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(parse_ok(R"("\uDBFF\uDFFF")").as_string(), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(parse_ok(R"("a\u0000b")").as_string(), std::string("a\0b", 3));
  EXPECT_EQ(parse_ok("\"\xC3\xA9/\x7F\"").as_string(), "\xC3\xA9/\x7F");
}

TEST(JsonRead, NestingLimit) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse(ok).has_value());
  const std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(parse_error(deep), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"k\":";
  EXPECT_TRUE(parse(objects + "1" + std::string(127, '}')).has_value());
  EXPECT_EQ(parse_error(objects + "{\"k\":1" + std::string(128, '}')),
            "recursion limit exceeded at line 1 column 636");
  // Mixed nesting counts both kinds; far deeper input fails without exhausting the stack.
  std::string mixed(64, '[');
  for (int i = 0; i < 63; ++i) mixed += "{\"k\":";
  EXPECT_EQ(parse_error(mixed + "[]"), "recursion limit exceeded at line 1 column 380");
  EXPECT_EQ(parse_error(std::string(1'000'000, '[')),
            "recursion limit exceeded at line 1 column 128");
}

TEST(JsonRead, LargeInputs) {
  const std::string long_text(1 << 21, 'x');
  EXPECT_EQ(parse_ok("\"" + long_text + "\"").as_string(), long_text);
  const std::string digits(100'000, '7');
  EXPECT_EQ(parse_error(digits), "number out of range at line 1 column 100000");
  EXPECT_EQ(parse_ok("0." + digits).as_double(), 0.7777777777777778);
  std::string many_keys = "{";
  for (int i = 0; i < 200'000; ++i) {
    many_keys += (i ? ",\"" : "\"") + std::to_string(i) + "\":" + std::to_string(i);
  }
  many_keys += ",\"5\":true}";
  const Value v = parse_ok(many_keys);
  const Object& o = v.as_object();
  ASSERT_EQ(o.size(), 200'000u);
  EXPECT_EQ(o.members()[5].first, "5");
  EXPECT_EQ(o.members()[5].second, Value(true));
  EXPECT_EQ(*o.find("199999"), Value(std::uint64_t{199999}));
}

struct ErrorCase {
  const char* text;
  const char* message;
};

class JsonParseError : public testing::TestWithParam<ErrorCase> {};

TEST_P(JsonParseError, ReportsDescriptionAndPosition) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message) << GetParam().text;
}

// Test names read as the case's number and expected message, for example
// "07_EOF_while_parsing_an_object_at_line_1_column_4".
std::string error_case_name(const testing::TestParamInfo<ErrorCase>& info) {
  std::string name;
  if (info.index < 10) name += '0';
  name += std::to_string(info.index);
  bool in_word = false;
  for (const char* c = info.param.message; *c != '\0'; ++c) {
    const bool word = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
    if (word) {
      if (!in_word) name += '_';
      name += *c;
    }
    in_word = word;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, JsonParseError,
    testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"  \n ", "EOF while parsing a value at line 2 column 1"},
        ErrorCase{"[1,2", "EOF while parsing a list at line 1 column 4"},
        ErrorCase{"[\n", "EOF while parsing a list at line 2 column 0"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"ab\\", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
        ErrorCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"[1}", "expected `,` or `]` at line 1 column 3"},
        ErrorCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
        ErrorCase{"trUe", "expected ident at line 1 column 3"},
        ErrorCase{"nul1", "expected ident at line 1 column 4"},
        ErrorCase{"[fals]", "expected ident at line 1 column 6"},
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        ErrorCase{"\f1", "expected value at line 1 column 1"},
        ErrorCase{"[1,\n  +1]", "expected value at line 2 column 3"},
        ErrorCase{"'a'", "expected value at line 1 column 1"},
        ErrorCase{"[.5]", "expected value at line 1 column 2"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\u12G4\"", "invalid escape at line 1 column 6"},
        ErrorCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"-01", "invalid number at line 1 column 3"},
        ErrorCase{"-a", "invalid number at line 1 column 2"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"[1e]", "invalid number at line 1 column 4"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"[-1.5e99999]", "number out of range at line 1 column 11"},
        ErrorCase{"1.7976931348623159e308", "number out of range at line 1 column 22"},
        ErrorCase{"\"a\tb\"",
                  "control character (\\u0000-\\u001F) found while parsing a string "
                  "at line 1 column 3"},
        // The offending line feed itself ends line 1.
        ErrorCase{"\"a\nb\"",
                  "control character (\\u0000-\\u001F) found while parsing a string "
                  "at line 2 column 0"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\":1, b:2}", "key must be a string at line 1 column 9"},
        ErrorCase{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{\"a\":1,\n}", "trailing comma at line 2 column 1"},
        ErrorCase{"{} x", "trailing characters at line 1 column 4"},
        ErrorCase{"1 2", "trailing characters at line 1 column 3"},
        ErrorCase{"0x10", "trailing characters at line 1 column 2"},
        ErrorCase{"truex", "trailing characters at line 1 column 5"},
        ErrorCase{"{}\n\n  ]", "trailing characters at line 3 column 3"}),
    error_case_name);

TEST(JsonWrite, CompactFormInInsertionOrder) {
  Object inner;
  inner.insert("z", Value(std::uint64_t{1}));
  inner.insert("a", Value(std::int64_t{-2}));
  Object o;
  o.insert("null", Value(nullptr));
  o.insert("flags", Value(Array{Value(true), Value(false)}));
  o.insert("inner", Value(std::move(inner)));
  o.insert("empty", Value(Array{}));
  o.insert("obj", Value(Object{}));
  o.insert("flags", Value("replaced"));
  EXPECT_EQ(write(Value(o)),
            R"({"null":null,"flags":"replaced","inner":{"z":1,"a":-2},"empty":[],"obj":{}})");
  std::string out = "prefix:";
  write(out, Value(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(out, "prefix:-9223372036854775808");
  EXPECT_EQ(write(Value(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
}

TEST(JsonWrite, FloatForms) {
  EXPECT_EQ(float_text(0.1), "0.1");
  EXPECT_EQ(float_text(100.0), "100.0");
  EXPECT_EQ(float_text(1.0), "1.0");
  EXPECT_EQ(float_text(1.5), "1.5");
  EXPECT_EQ(float_text(12.25), "12.25");
  EXPECT_EQ(float_text(-250.0), "-250.0");
  EXPECT_EQ(float_text(1e21), "1e+21");
  EXPECT_EQ(float_text(1.5e20), "1.5e+20");
  EXPECT_EQ(float_text(0.000001), "1e-6");
  EXPECT_EQ(float_text(0.00001), "0.00001");
  EXPECT_EQ(float_text(0.001), "0.001");
  EXPECT_EQ(float_text(0.000123), "0.000123");
  EXPECT_EQ(float_text(1e16), "1e+16");
  EXPECT_EQ(float_text(1e15), "1000000000000000.0");
  EXPECT_EQ(float_text(1234567890123456.7), "1234567890123456.8");
  EXPECT_EQ(float_text(12345678901234567.0), "1.2345678901234568e+16");
  EXPECT_EQ(float_text(5e-324), "5e-324");
  EXPECT_EQ(float_text(1.5e-7), "1.5e-7");
  EXPECT_EQ(float_text(-1.5e-7), "-1.5e-7");
  EXPECT_EQ(float_text(1.7976931348623157e308), "1.7976931348623157e+308");
  EXPECT_EQ(float_text(0.0), "0.0");
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(std::nan("")), "null");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(number_or_null(std::nan("")), Value(nullptr));
  EXPECT_EQ(number_or_null(2.5), Value(2.5));
}

TEST(JsonWrite, FloatsReadBackExactly) {
  const double values[] = {0.1,
                           1.0 / 3.0,
                           2.0 / 3.0e-5,
                           6.02214076e23,
                           1e-5,
                           9.5e-5,
                           123456.789,
                           4.9406564584124654e-324,
                           2.2250738585072014e-308,
                           1e100,
                           0.30000000000000004};
  for (double v : values) {
    for (double signed_v : {v, -v}) {
      const Value back = parse_ok(float_text(signed_v));
      ASSERT_TRUE(back.is_double()) << float_text(signed_v);
      EXPECT_EQ(back.as_double(), signed_v) << float_text(signed_v);
    }
  }
}

TEST(JsonWrite, StringEscapes) {
  EXPECT_EQ(write(Value(std::string("q\"b\\s/\b\f\n\r\t", 11))), R"("q\"b\\s/\b\f\n\r\t")");
  EXPECT_EQ(write(Value(std::string("\x1f\x01\x0b\0\x7f", 5))),
            "\"\\u001f\\u0001\\u000b\\u0000\x7f\"");
  EXPECT_EQ(write(Value("\xC3\xA9\xF0\x9F\x98\x80\xE2\x80\xA8")),
            "\"\xC3\xA9\xF0\x9F\x98\x80\xE2\x80\xA8\"");
  EXPECT_EQ(write(Value("tab\there")), R"("tab\there")");
}

TEST(JsonRoundTrip, WriteOfParseIsStable) {
  const char* documents[] = {
      R"({"schema":"x-v1","rows":[[0.25,-1.0,3],[]],"k":{"nested":[null,true,false]}})",
      R"(["\u0000\u001f\"\\","é/😀",18446744073709551615,-9223372036854775808,1e+300])",
      R"([0.0,-0.0,1e-7,0.0001,12345.678])",
  };
  for (const char* document : documents) {
    const Value first = parse_ok(document);
    const std::string text = write(first);
    const Value second = parse_ok(text);
    EXPECT_EQ(first, second) << text;
    EXPECT_EQ(write(second), text);
  }
  EXPECT_EQ(write(parse_ok(" [ 1 , { \"a\" : \"\\u0041\" } ] ")), R"([1,{"a":"A"}])");
}

TEST(JsonObject, CopyMoveAndEquality) {
  Object a;
  for (int i = 0; i < 40; ++i) {
    std::string key = "k";
    key += std::to_string(i);
    a.insert(std::move(key), Value(std::int64_t{i}));
  }
  Object b = a;
  EXPECT_EQ(a, b);
  b.insert("k3", Value("changed"));
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.find("k3")->as_int(), 3);
  EXPECT_EQ(b.find("k3")->as_string(), "changed");
  EXPECT_EQ(b.members()[3].first, "k3");
  Object moved = std::move(b);
  EXPECT_EQ(moved.size(), 40u);
  b = a;  // a moved-from object can be assigned and used again
  EXPECT_EQ(b, a);
  Object c;
  c.insert("x", Value(true));
  Object d;
  d.insert("x", Value(true));
  d.insert("y", Value(false));
  EXPECT_FALSE(c == d);
  Object reordered;
  reordered.insert("y", Value(false));
  reordered.insert("x", Value(true));
  EXPECT_FALSE(d == reordered);
  if (Value* x = c.find("x")) *x = Value(false);
  EXPECT_EQ(*c.find("x"), Value(false));
}

}  // namespace
}  // namespace quillfen::analyze::json
