// Fuzzes the VPS request client's text handling: the page's "TevraAR" message
// body (split at "|"), the server URL check, the intrinsics rewrite of the
// metadata (ICU regular expression), the multipart body, and the reply to the
// page (JSON, then escaped into a JavaScript string literal). The body also
// goes through the controller's channel.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzController.h"
#include "capture/VPSRequest.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Undoes escapeForJavaScriptString.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) fail("escaped text ends in a lone backslash");
        out += s[i] == 'n' ? '\n' : s[i];
    }
    return out;
}

void checkEscaped(const std::string& raw) {
    std::string escaped = tevra::escapeForJavaScriptString(raw);
    if (escaped.find('\n') != std::string::npos) fail("escaped text holds a raw line feed");
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\') {
            ++i;
            continue;
        }
        if (escaped[i] == '"') fail("escaped text holds an unescaped quote");
    }
    if (unescape(escaped) != raw) fail("escaping does not round-trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tevra::fuzz::FuzzController* c = new tevra::fuzz::FuzzController();
    const std::string text(reinterpret_cast<const char*>(data), size);

    auto message = tevra::parseVPSMessage(text);
    if (message) {
        (void)tevra::isAcceptedVPSServerURL(message->server);
        const std::string intrinsics = tevra::intrinsicsText(1440, 1920, 1490.5f, 1490.5f, 720.25f, 960.75f);
        if (auto rewritten = tevra::rewriteIntrinsics(message->meta, intrinsics)) {
            const std::string& meta = *rewritten;
            // The rewrite replaces, it never adds: no intrinsics in, none out.
            // (The page's texts are UTF-8; other bytes come back as U+FFFD.)
            if (tevra::isValidUTF8(message->meta) && message->meta.find("\"intrinsics\":{") == std::string::npos &&
                meta != message->meta)
                fail("metadata without intrinsics was changed");
            std::string body = tevra::multipartBody("\xff\xd8\xff\xd9", meta);
            if (body.find(meta) == std::string::npos) fail("the metadata is missing from the body");
            (void)tevra::makeVPSRequest(message->server, message->token, std::move(body));
        }
        auto reply = tevra::vpsReplyJSON(message->id, message->meta);
        const bool valid = tevra::isValidUTF8(message->id) && tevra::isValidUTF8(message->meta);
        if (valid != static_cast<bool>(reply)) fail("the reply is refused for valid text, or built from invalid text");
        if (reply) {
            nlohmann::json back = nlohmann::json::parse(*reply, nullptr, false);
            if (back.is_discarded() || back["id"] != message->id || back["data"] != message->meta)
                fail("the reply does not carry the id and the answer");
            checkEscaped(*reply);
            (void)tevra::receiveMessageCall(tevra::escapeForJavaScriptString(*reply));
        }
    }
    checkEscaped(text);

    // The channel: without a camera frame the request is refused with a log line.
    c->post("TevraAR", text);
    c->trim();
    return 0;
}
