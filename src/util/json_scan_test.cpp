#include "util/json_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/json.h"

namespace {

using Kind = ScannedValue::Kind;

const std::vector<std::vector<std::string_view>> PATHS = {
    {"type"}, {"event", "type"}, {"event", "delta", "text"}, {"n"}};

JsonFieldScan make_scanner() {
  return JsonFieldScan({{"type"}, {"event", "type"}, {"event", "delta", "text"}, {"n"}});
}

// What parse_json's document holds at `path`, in the scanner's terms.
ScannedValue document_value(const Json& document, const std::vector<std::string_view>& path) {
  const Json* at = &document;
  for (std::string_view name : path) {
    at = field(*at, name);
    if (at == nullptr) return {};
  }
  if (at->is_null()) return {Kind::null, ""};
  if (at->is_string()) return {Kind::string, at->get<std::string>()};
  return {Kind::other, ""};
}

struct Case {
  std::string text;
  bool sure;
};

std::string nested(int levels) {
  return R"({"type":"x","deep":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
}

}  // namespace

// A scan that is sure reads every wanted value as parse_json's document holds it; anything
// out of the plain gives up, and then the caller parses.
TEST(JsonFieldScan, ReadsWhatTheParserReadsOrGivesUp) {
  const std::vector<Case> cases = {
      // Plain documents, in any member order, with white space anywhere JSON allows it.
      {R"({"type":"a","event":{"type":"b","delta":{"text":"c"}},"n":1})", true},
      {" \t{ \"n\" : null , \"event\" : { \"delta\" : { \"text\" : \"\" } } }\r\n", true},
      {R"({})", true},
      {R"({"other":{"type":"not this one"},"list":[{"type":1},[],"x",-0.5e-3,true,false,null]})",
       true},
      // Escapes decode; names are compared decoded, as the parser's map compares them.
      {R"({"\u0074ype":"tab\there \"q\" \\ \/ \u00e9 \u20AC \ud83d\ude00 \u0000"})", true},
      {R"({"type":"caf)"
       "\xC3\xA9 \xF0\x9F\x98\x80"
       R"("})",
       true},
      // Kinds other than strings, and steps that are not objects.
      {R"({"type":5,"event":"flat","n":{"a":1}})", true},
      {R"({"type":[1],"event":{"type":true,"delta":[{"text":"x"}]},"n":false})", true},
      {R"({"event":{"delta":null},"n":-12345678901234567890})", true},
      // A name given twice outside the wanted paths changes nothing wanted.
      {R"({"uuid":"a","uuid":"b","event":{"index":0,"index":1,"type":"x"}})", true},
      {nested(JsonFieldScan::MAX_DEPTH - 1), true},

      // A wanted name given twice: the parser keeps the last, the scan gives up.
      {R"({"type":"a","type":"b"})", false},
      {R"({"type":"a","\u0074ype":"b"})", false},
      {R"({"event":{"type":"a"},"event":{"type":"b"}})", false},
      {R"({"event":{"delta":{"text":"a","text":"b"}}})", false},
      // Not one JSON object.
      {"", false},
      {"   ", false},
      {R"([{"type":"a"}])", false},
      {R"("type")", false},
      {R"({"type":"a"} x)", false},
      {R"({"type":"a"}{"type":"b"})", false},
      {R"({"type":"a"}})", false},
      {R"({"type":"a",})", false},
      {R"({"type":"a" "n":1})", false},
      {R"({"type" "a"})", false},
      {R"({type:"a"})", false},
      {R"({'type':'a'})", false},
      {R"({"type":"a")", false},
      {R"({"type":"a)", false},
      {R"({"list":[1,]})", false},
      {R"({"list":[1 2]})", false},
      {"\xEF\xBB\xBF{\"type\":\"a\"}", false},  // a byte order mark
      {"\f{\"type\":\"a\"}", false},            // white space to Unicode, not to JSON
      // Literals and numbers as JSON spells them, and only those.
      {R"({"n":nul})", false},
      {R"({"n":tru})", false},
      {R"({"n":True})", false},
      {R"({"n":NaN})", false},
      {R"({"n":01})", false},
      {R"({"n":+1})", false},
      {R"({"n":.5})", false},
      {R"({"n":1.})", false},
      {R"({"n":-})", false},
      {R"({"n":1e})", false},
      {R"({"n":0x10})", false},
      // Numbers the parser might refuse as too large are left to it.
      {R"({"n":1e400})", false},
      {R"({"n":1e100})", false},
      {R"({"n":)" + std::string(40, '9') + "}", false},
      // Strings: escapes, surrogates, control characters, UTF-8.
      {R"({"type":"\x41"})", false},
      {R"({"type":"\u12"})", false},
      {R"({"type":"\u12G4"})", false},
      {R"({"type":"\ud83d"})", false},
      {R"({"type":"\ud83d\u0041"})", false},
      {R"({"type":"\ude00"})", false},
      {R"({"other":"\ud83dx"})", false},
      {"{\"type\":\"a\tb\"}", false},
      {std::string("{\"type\":\"a\0b\"}", 14), false},
      {"{\"type\":\"\xFF\"}", false},
      {"{\"other\":\"\xC3\"}", false},
      {"{\"other\":\"\xC0\xAF\"}", false},
      {"{\"other\":\"\xED\xA0\x80\"}", false},
      {"{\"other\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"type\":\"a\"}\xC2\xA0", false},
      // Nesting the scan does not follow.
      {nested(JsonFieldScan::MAX_DEPTH), false},
      {nested(200), false},
  };
  JsonFieldScan scan = make_scanner();
  for (const Case& c : cases) {
    bool sure = scan.scan(c.text);
    EXPECT_EQ(sure, c.sure) << c.text;
    if (!sure) continue;
    std::optional<Json> document = parse_json(c.text);
    ASSERT_TRUE(document.has_value()) << c.text;
    for (std::size_t i = 0; i < PATHS.size(); ++i) {
      ScannedValue want = document_value(*document, PATHS[i]);
      EXPECT_EQ(scan.value(i).kind, want.kind) << c.text << " at path " << i;
      EXPECT_EQ(scan.value(i).text, want.text) << c.text << " at path " << i;
    }
  }
}

TEST(JsonFieldScan, ValuesOfOneScanDoNotLeakIntoTheNext) {
  JsonFieldScan scan = make_scanner();
  ASSERT_TRUE(scan.scan(R"({"type":"first","event":{"type":"e","delta":{"text":"long text"}}})"));
  EXPECT_EQ(scan.value(2).text, "long text");
  ASSERT_TRUE(scan.scan(R"({"type":"second"})"));
  EXPECT_EQ(scan.value(0).text, "second");
  EXPECT_EQ(scan.value(1).kind, Kind::absent);
  EXPECT_EQ(scan.value(2).kind, Kind::absent);
  EXPECT_EQ(scan.value(2).text, "");
  // A failed scan in between leaves the scanner usable.
  EXPECT_FALSE(scan.scan(R"({"type":"third",)"));
  ASSERT_TRUE(scan.scan(R"({"type":"fourth","type2":1})"));
  EXPECT_EQ(scan.value(0).text, "fourth");
}
