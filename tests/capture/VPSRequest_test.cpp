#include "capture/VPSRequest.h"

#include <gtest/gtest.h>

#include <clocale>

#include <nlohmann/json.hpp>

#include "capture/JsStringLiteral.h"

namespace tevra {
namespace {

TEST(VPSMessageParsing, FieldsAndTokenPlaceholder) {
    EXPECT_FALSE(parseVPSMessage("https://s|{}"));
    EXPECT_FALSE(parseVPSMessage(""));
    auto three = parseVPSMessage("https://s/api|{\"a\":1}|req-1");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->server, "https://s/api");
    EXPECT_EQ(three->meta, "{\"a\":1}");
    EXPECT_EQ(three->id, "req-1");
    EXPECT_EQ(three->token, "NoToken");
    EXPECT_EQ(parseVPSMessage("s|m|i|")->token, "");
    EXPECT_EQ(parseVPSMessage("s|m|i|tok|extra|more")->token, "tok");
    EXPECT_EQ(parseVPSMessage("||")->id, "");
}

TEST(VPSMessageParsing, OnlyWebServersAreAccepted) {
    EXPECT_TRUE(isAcceptedVPSServerURL("https://vps.example/api/v1?x=1"));
    EXPECT_TRUE(isAcceptedVPSServerURL("HTTP://127.0.0.1:8080/"));
    EXPECT_FALSE(isAcceptedVPSServerURL("file:///etc/passwd"));
    EXPECT_FALSE(isAcceptedVPSServerURL("ftp://vps.example/"));
    EXPECT_FALSE(isAcceptedVPSServerURL("vps.example/api"));
    EXPECT_FALSE(isAcceptedVPSServerURL("https://"));
    EXPECT_FALSE(isAcceptedVPSServerURL("https://bad host/"));
    EXPECT_FALSE(isAcceptedVPSServerURL(""));
}

TEST(Intrinsics, FormatsWithAPointWhateverTheLocale) {
    const std::string expected =
        "\"intrinsics\":{\"width\":1440,\"height\":1920,\"fx\":1490.5000,\"fy\":1500.2500,\"cx\":720.1235,\"cy\":-0."
        "0000}";
    EXPECT_EQ(intrinsicsText(1440, 1920, 1490.5f, 1500.25f, 720.12347f, -0.00001f), expected);
    EXPECT_EQ(intrinsicsText(1439.5, 0.4, 0, 0, 0, 0),
              "\"intrinsics\":{\"width\":1440,\"height\":0,\"fx\":0.0000,\"fy\":0.0000,\"cx\":0.0000,\"cy\":0.0000}");
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    for (const char* l : {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
        if (!std::setlocale(LC_NUMERIC, l)) continue;
        EXPECT_EQ(intrinsicsText(1440, 1920, 1490.5f, 1500.25f, 720.12347f, -0.00001f), expected) << l;
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

std::string rewrite(const std::string& meta) {
    auto out = rewriteIntrinsics(meta, "\"intrinsics\":{\"w\":1}");
    EXPECT_TRUE(out) << out.error.description();
    return out ? *out : std::string();
}

TEST(Intrinsics, RewriteCases) {
    EXPECT_EQ(rewrite(R"({"a":1,"intrinsics":{"x":5},"b":2})"), R"({"a":1,"intrinsics":{"w":1},"b":2})");
    EXPECT_EQ(rewrite(R"({"a":1,"intrinsics":{},"b":2})"), R"({"a":1,"intrinsics":{},"b":2})");
    EXPECT_EQ(rewrite(R"({"intrinsics": {"x":5}})"), R"({"intrinsics": {"x":5}})");
    EXPECT_EQ(rewrite(R"([{"intrinsics":{"x":5}},{"intrinsics":{"y":6,"z":7}}])"),
              R"([{"intrinsics":{"w":1}},{"intrinsics":{"w":1}}])");
    EXPECT_EQ(rewrite(R"({"intrinsics":{"k":{"n":1},"m":2}})"), R"({"intrinsics":{"w":1},"m":2}})");
    EXPECT_EQ(rewrite(R"({"no":"intrinsics"})"), R"({"no":"intrinsics"})");
    EXPECT_EQ(rewrite(R"({"é":"ü","intrinsics":{"x":"😀"}})"), R"({"é":"ü","intrinsics":{"w":1}})");
}

TEST(Intrinsics, ReplacementIsTakenLiterallyAndBadPatternsReportAnError) {
    auto out = rewriteIntrinsics(R"({"intrinsics":{"x":5}})", R"(\1 $0 \\ $)");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, R"({\1 $0 \\ $})");
    auto bad = replaceAllMatchesLiterally("(unclosed", "text", "x");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error.domain, kVPSRequestErrorDomain);
    EXPECT_EQ(bad.error.localizedDescription.rfind("U_REGEX_MISMATCHED_PAREN in pattern (unclosed at offset ", 0), 0u)
        << bad.error.localizedDescription;
}

TEST(MultipartBody, ExactBytes) {
    const std::string jpeg("\xff\xd8\x00\r\n--\xff\xd9", 9);
    const std::string body = multipartBody(jpeg, "{\"m\":1}");
    const std::string expected =
        "------WebKitFormBoundary7MA4YWxkTrZu0gW\r\n"
        "Content-Disposition: form-data; name=\"image\"; filename=\"image.jpg\"\r\n"
        "Content-Type: image/jpeg\r\n\r\n" +
        jpeg +
        "\r\n"
        "------WebKitFormBoundary7MA4YWxkTrZu0gW\r\n"
        "Content-Disposition: form-data; name=\"json\"\r\n\r\n"
        "{\"m\":1}\r\n"
        "------WebKitFormBoundary7MA4YWxkTrZu0gW--\r\n";
    EXPECT_EQ(body, expected);
    EXPECT_EQ(std::string(kVPSBoundary).size(), 37u);
}

TEST(MultipartBody, RequestHeadersAndTokenRule) {
    auto headers = [](const std::string& token) { return makeVPSRequest("https://s/", token, "b").headers; };
    using H = std::vector<std::pair<std::string, std::string>>;
    const std::pair<std::string, std::string> type{
        "Content-Type", "multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW"};
    EXPECT_EQ(headers("NoToken"), (H{type}));
    EXPECT_EQ(headers(""), (H{type}));
    EXPECT_EQ(headers("abc"), (H{{"Authorization", "Bearer abc"}, type}));
    HttpRequest r = makeVPSRequest("https://s/", "x", "body");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "https://s/");
    EXPECT_EQ(r.body, "body");
}

TEST(PageReply, EscapingOrderAndRoundTrip) {
    EXPECT_EQ(escapeForJavaScriptString("a\\b\"c\nd\re\u2028"), "a\\\\b\\\"c\\nd\re\u2028");
    const std::string answer = "{\"floor\":3,\"path\":\"C:\\\\x\",\"note\":\"line1\nline2\"}\n\"quoted\" \\ end";
    auto json = vpsReplyJSON("req-7", answer);
    ASSERT_TRUE(json);
    EXPECT_EQ(json->find('\n'), std::string::npos);  // compact
    const std::string call = receiveMessageCall(escapeForJavaScriptString(*json));
    auto arg = test::receiveMessageArgument(call);
    ASSERT_TRUE(arg);
    auto parsed = nlohmann::json::parse(*arg);
    EXPECT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed["id"], "req-7");
    EXPECT_EQ(parsed["data"], answer);
    auto invalid = vpsReplyJSON("id", std::string("\xff\xfe", 2));
    ASSERT_FALSE(invalid);
    EXPECT_FALSE(invalid.error.localizedDescription.empty());
}

TEST(PageReply, Utf8Validation) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("plain é € 😀"));
    EXPECT_FALSE(isValidUTF8("\xff"));
    EXPECT_FALSE(isValidUTF8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(isValidUTF8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xe2\x82"));          // cut short
}

}  // namespace
}  // namespace tevra
