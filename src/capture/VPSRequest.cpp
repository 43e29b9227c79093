#include "capture/VPSRequest.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

#include <nlohmann/json.hpp>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include "base/TextUtils.h"
#include "base/URL.h"
#include "platform/Device.h"

namespace tevra {

std::optional<VPSMessage> parseVPSMessage(std::string_view body) {
    std::vector<std::string> f = splitString(body, "|");
    if (f.size() < 3) return std::nullopt;
    VPSMessage m;
    m.server = std::move(f[0]);
    m.meta = std::move(f[1]);
    m.id = std::move(f[2]);
    m.token = f.size() >= 4 ? std::move(f[3]) : std::string(kVPSNoToken);
    return m;
}

bool isAcceptedVPSServerURL(std::string_view text) { return isWebURL(text); }

namespace {
// printf's %.Nf, always with a decimal point (std::to_chars ignores the locale).
void appendFixed(std::string& out, double v, int decimals) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    if (r.ec == std::errc()) out.append(buf, r.ptr);
}
}  // namespace

std::string intrinsicsText(double width, double height, float fx, float fy, float cx, float cy) {
    std::string s = "\"intrinsics\":{\"width\":";
    appendFixed(s, width, 0);
    s += ",\"height\":";
    appendFixed(s, height, 0);
    s += ",\"fx\":";
    appendFixed(s, fx, 4);
    s += ",\"fy\":";
    appendFixed(s, fy, 4);
    s += ",\"cx\":";
    appendFixed(s, cx, 4);
    s += ",\"cy\":";
    appendFixed(s, cy, 4);
    s += "}";
    return s;
}

VPSIntrinsics intrinsicsForUprightImage(VPSIntrinsics stored, long deviceOrientation, double width, double height) {
    // Stored exchanged: stored.fx is the sensor's fy, stored.cx its cy.
    switch (deviceOrientation) {
        case UIDeviceOrientationLandscapeLeft:
            return {stored.fy, stored.fx, stored.cy, stored.cx};
        case UIDeviceOrientationLandscapeRight:
            return {stored.fy, stored.fx, static_cast<float>(width - static_cast<double>(stored.cy)),
                    static_cast<float>(height - static_cast<double>(stored.cx))};
        default:
            return stored;
    }
}

namespace {
Expected<std::string> icuFailure(UErrorCode status, std::string description) {
    return Expected<std::string>::fail(
        Error{kVPSRequestErrorDomain, static_cast<long>(status), std::move(description)});
}
}  // namespace

Expected<std::string> replaceAllMatchesLiterally(const std::string& pattern, const std::string& meta,
                                                 const std::string& replacement) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, parseError, status));
    if (U_FAILURE(status) || !compiled)
        return icuFailure(status, std::string(u_errorName(status)) + " in pattern " + pattern + " at offset " +
                                      std::to_string(parseError.offset));
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(meta);
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return icuFailure(status, u_errorName(status));
    // A replacement template treats "\" and "$" specially; escape both.
    icu::UnicodeString literal;
    const icu::UnicodeString raw = icu::UnicodeString::fromUTF8(replacement);
    for (int32_t i = 0; i < raw.length(); ++i) {
        const char16_t c = raw.charAt(i);
        if (c == u'\\' || c == u'$') literal.append(u'\\');
        literal.append(c);
    }
    icu::UnicodeString result = matcher->replaceAll(literal, status);
    if (U_FAILURE(status)) return icuFailure(status, u_errorName(status));
    std::string out;
    result.toUTF8String(out);
    return Expected<std::string>::ok(std::move(out));
}

Expected<std::string> rewriteIntrinsics(const std::string& meta, const std::string& intrinsics) {
    return replaceAllMatchesLiterally(kIntrinsicsPattern, meta, intrinsics);
}

std::string multipartBody(std::string_view jpeg, std::string_view meta) {
    const std::string b = kVPSBoundary;
    std::string body;
    body.reserve(jpeg.size() + meta.size() + 4 * b.size() + 200);
    body += "--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"image\"; filename=\"image.jpg\"\r\n";
    body += "Content-Type: image/jpeg\r\n\r\n";
    body += jpeg;
    body += "\r\n";
    body += "--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"json\"\r\n\r\n";
    body += meta;
    body += "\r\n";
    body += "--" + b + "--\r\n";
    return body;
}

HttpRequest makeVPSRequest(const std::string& url, const std::string& token, std::string body) {
    HttpRequest r;
    r.method = "POST";
    r.url = url;
    if (!token.empty() && token != kVPSNoToken) r.setValue("Bearer " + token, "Authorization");
    r.setValue(std::string("multipart/form-data; boundary=") + kVPSBoundary, "Content-Type");
    r.body = std::move(body);
    return r;
}

Expected<std::string> vpsReplyJSON(const std::string& id, std::string data) {
    try {
        nlohmann::json reply = nlohmann::json::object();
        reply["id"] = id;
        reply["data"] = std::move(data);
        return Expected<std::string>::ok(reply.dump());
    } catch (const nlohmann::json::exception& e) {
        return Expected<std::string>::fail(Error{kVPSRequestErrorDomain, e.id, e.what()});
    }
}

namespace {

void appendEscapedForJavaScriptString(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

constexpr std::string_view kReceiveMessageHead = "window.UnityBridge.receiveMessage(\"";
constexpr std::string_view kReceiveMessageTail = "\");";

}  // namespace

std::string escapeForJavaScriptString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 8);
    appendEscapedForJavaScriptString(out, text);
    return out;
}

std::string receiveMessageCall(std::string_view escapedReply) {
    std::string s(kReceiveMessageHead);
    s += escapedReply;
    s += kReceiveMessageTail;
    return s;
}

std::string receiveMessageCallForReply(std::string_view reply) {
    std::string s;
    s.reserve(kReceiveMessageHead.size() + reply.size() + reply.size() / 8 + kReceiveMessageTail.size());
    s += kReceiveMessageHead;
    appendEscapedForJavaScriptString(s, reply);
    s += kReceiveMessageTail;
    return s;
}

bool isValidUTF8(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            len = 4, cp = c & 0x07;
        else
            return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

}  // namespace tevra
